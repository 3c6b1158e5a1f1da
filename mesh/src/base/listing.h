// Listings that go over a component's entries in slices, each slice its own shared section, so
// that writers get the lock between slices, and that still show one moment: the one at which the
// listing began. The registry's agents and the controller's migrations are listed this way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "base/error.h"

namespace korvo {

// What an entry of a sliced order carries. The entry's address must not change while it is in
// the order (the order holds it by address).
struct Placed {
    std::uint64_t generation = 0;  // its number in the order of coming, from 1
    std::size_t place = 0;         // where it stands in the order
};

// The entries of one component in the order they came, and the listings going over them.
//
// A listing takes `kSlice` entries per shared section. Entries that came after it began are
// passed over by their generation; an entry it has not reached yet that is about to change or
// leave has its record written for the listing first (`before_change`), as it still is, and is
// passed over when reached. A record that cannot be written for want of memory fails that
// listing, not the change.
//
// Entry has `Placed` as a base; Filter has `bool keeps(const Entry&) const`.
template <class Entry, class Filter>
class SlicedOrder {
public:
    static constexpr std::size_t kSlice = 4096;  // about half a millisecond of writing records

    // ---- in the component's exclusive sections -----------------------------------------

    // Gives `e` its generation and place: the only allocation (the order's growth) comes first,
    // so nothing has changed when it fails.
    void add(Entry& e) {
        order_.push_back(&e);
        e.generation = ++last_generation_;
        e.place = order_.size() - 1;
    }
    // Takes `e` out, after `before_change(e, …)`.
    void remove(const Entry& e) noexcept {
        order_[e.place] = nullptr;
        ++holes_;
        compact();
    }
    // Before `e` changes or leaves: its record as it is, for each listing that has not reached it.
    template <class Write>
    void before_change(const Entry& e, Write&& write) noexcept {
        for (Listing* l : listings_) {
            if (e.place < l->next || !l->lists(e)) continue;
            try {
                l->saved_ids.insert(e.generation);
                write(e, l->saved);
                l->saved.push_back(',');
            } catch (const std::bad_alloc&) {
                l->failed = true;
            }
        }
    }
    bool listing() const noexcept { return !listings_.empty(); }
    std::uint64_t last_generation() const noexcept { return last_generation_; }

    // ---- a listing, with no section of the lock held -----------------------------------

    // Appends the JSON array of the records of the entries `filter` keeps, as they were when
    // the listing began, in the order's order (records kept for the listing last). `size` bounds
    // an entry's record, `write` appends it. A listing that fails leaves `out` as it was.
    template <class Lock, class Size, class Write>
    Status list(const Lock& lock, MeshError (*poisoned)(), const Filter& filter, Size&& size, Write&& write,
                std::string& out) const {
        Listing listing(filter);
        Joined<Lock> joined{*this, lock, listing};
        const std::size_t start = out.size();
        out.push_back('[');
        const std::size_t opened = out.size();
        for (bool done = false; !done;) {
            const auto sliced = lock.read(poisoned, [&] {
                if (!joined.in) joined.join();
                const std::size_t stop = std::min(listing.end, listing.next + kSlice);
                std::size_t room = 0;  // one pass to size the room, one to write into it
                for (std::size_t i = listing.next; i < stop; ++i) {
                    if (const Entry* e = order_[i]; e && listing.lists(*e)) room += size(*e) + 1;
                }
                out.reserve(out.size() + room);
                for (std::size_t i = listing.next; i < stop; ++i) {
                    if (const Entry* e = order_[i]; e && listing.lists(*e)) {
                        write(*e, out);
                        out.push_back(',');
                    }
                }
                listing.next = stop;
                if (stop == listing.end) {
                    joined.leave();
                    done = true;
                }
            });
            if (!sliced) {
                out.resize(start);
                return fail(sliced.error());
            }
        }
        if (listing.failed) {
            out.resize(start);
            throw std::bad_alloc();
        }
        out += listing.saved;
        if (out.size() > opened) {
            out.back() = ']';
        } else {
            out.push_back(']');
        }
        return {};
    }

private:
    // A listing in progress. `next` and `end` are its owner's, written in its shared sections;
    // `saved`, `saved_ids` and `failed` are written by exclusive sections.
    struct Listing {
        explicit Listing(const Filter& f) noexcept : filter(&f) {}
        const Filter* filter;
        std::uint64_t last_generation = 0;
        std::size_t next = 0, end = 0;                       // places in the order
        std::string saved;                                   // the kept records, each followed by ','
        boost::unordered_flat_set<std::uint64_t> saved_ids;  // their generations
        bool failed = false;

        bool lists(const Entry& e) const noexcept {
            return e.generation <= last_generation && filter->keeps(e) &&
                   (saved_ids.empty() || !saved_ids.contains(e.generation));
        }
    };

    // A listing's membership of `listings_`: joined in its first shared section, left in its
    // last, or when it ends early (a failed slice, no memory), whether or not the lock is
    // poisoned (a poisoned lock runs no exclusive section that could still reach it).
    template <class Lock>
    struct Joined {
        const SlicedOrder& order;
        const Lock& lock;
        Listing& listing;
        bool in = false;

        void join() {
            listing.last_generation = order.last_generation_;
            listing.end = order.order_.size();
            std::lock_guard guard(order.listings_mutex_);
            order.listings_.push_back(&listing);
            in = true;
        }
        void leave() noexcept {
            std::lock_guard guard(order.listings_mutex_);
            std::erase(order.listings_, &listing);
            in = false;
        }
        ~Joined() {
            if (in) lock.inspect([&] { leave(); });
        }
    };
    // Drops the nulls once they are most of the order, unless a listing is going over it.
    void compact() noexcept {
        if (holes_ < kSlice || holes_ < order_.size() / 2 || !listings_.empty()) return;
        std::size_t kept = 0;
        for (Entry* e : order_) {
            if (!e) continue;
            e->place = kept;
            order_[kept++] = e;
        }
        order_.resize(kept);
        holes_ = 0;
    }

    std::vector<Entry*> order_;  // null where an entry left
    std::size_t holes_ = 0;
    std::uint64_t last_generation_ = 0;
    // Listings join and leave in their shared sections, so under their own mutex; exclusive
    // sections read them without it.
    mutable std::vector<Listing*> listings_;
    mutable std::mutex listings_mutex_;
};

}  // namespace korvo
