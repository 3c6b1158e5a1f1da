#include "state.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <utility>

#include <boost/unordered/unordered_flat_set.hpp>

#include "base/lock.h"
#include "base/per_thread.h"
#include "base/text_map.h"
#include "base/utf8.h"
#include "json/canonical.h"
#include "json/read.h"
#include "json/write.h"

namespace korvo {
namespace {

constexpr std::string_view kPoisoned = "state lock poisoned";

MeshError lock_poisoned() { return MeshError::state(kPoisoned); }

// A stored key: its text in one block, shared by the table and the sorted index. `died` is the
// store's count of removals once the key was removed (kAlive before): a listing taken when the
// count was E shows the key exactly when died > E. It is written under the store's exclusive
// lock and read by listings after they let go of the lock: what they read is either kAlive or a
// count above their own E, and both mean "alive" to them.
struct KeyState {
    static constexpr std::uint64_t kAlive = UINT64_MAX;
    std::atomic<std::uint64_t> died{kAlive};

    bool alive_at(std::uint64_t removals) const noexcept { return died.load(std::memory_order_relaxed) > removals; }
};
using KeyRef = SharedBlock<KeyState>;

// One entry of the table. The value may change while the entry stays; the key never does, so
// the set that holds entries by their key can let the value be swapped in place.
struct Entry {
    KeyRef key;
    mutable StoredText value;
};

struct EntryHash : TextHash {
    using TextHash::operator();
    std::size_t operator()(const Entry& e) const noexcept { return TextHash::operator()(e.key.text()); }
};
struct EntryEq {
    using is_transparent = void;
    static std::string_view text(const Entry& e) noexcept { return e.key.text(); }
    static std::string_view text(std::string_view s) noexcept { return s; }
    template <class A, class B>
    [[gnu::always_inline]] bool operator()(const A& a, const B& b) const noexcept {
        return same_text(text(a), text(b));
    }
};

using Table = boost::unordered_flat_set<Entry, EntryHash, EntryEq>;

bool before(const KeyRef& a, const KeyRef& b) noexcept { return a.text() < b.text(); }

// The keys in bytewise order, for listing by prefix without scanning the table: a sorted run
// plus the keys added since, in the order they came (keeping them sorted as they came cost every
// insert a move of all of them: 1.3 ms per new key once a million had come without a listing).
//
// A listing holds the store's lock only to take a view: the sorted run and the chunks of added
// keys are shared, and chunks are only ever appended to, so the view is a few hundred pointers
// however many keys there are. Sorting, merging and copying happen after the lock is released,
// and removed keys are told by their removal count. Once the added and removed keys are many,
// the listing that notices folds them into a new sorted run and puts it in place under a short
// exclusive section; until then removed keys stay in the run, and their blocks with them.
class KeyIndex {
    static constexpr std::size_t kChunk = 4096;
    struct Chunk {
        std::array<KeyRef, kChunk> keys;
    };
    using Sorted = std::vector<KeyRef>;

public:
    // What a listing reads after the lock is released.
    struct View {
        std::shared_ptr<const Sorted> sorted;
        std::vector<std::shared_ptr<const Chunk>> chunks;  // covering the added keys
        std::size_t skip = 0;                              // of chunks[0], already folded
        std::size_t added = 0;                             // keys added since the run was made
        std::uint64_t removals = 0;                        // the store's count when the view was taken
        bool fold = false;                                 // this listing is to fold
        std::shared_ptr<const Sorted> folded;              // the run it folded

        template <class Visit>
        void for_each_added(Visit&& visit) const {
            for (std::size_t i = 0; i < added; ++i) {
                const std::size_t at = skip + i;
                visit(chunks[at / kChunk]->keys[at % kChunk]);
            }
        }
    };

    // Under the store's exclusive lock: room for one more key (the only allocation, made before
    // anything changes), then the key itself, which cannot fail once there is room.
    void make_room() {
        if (end_ - first_ < chunks_.size() * kChunk) return;
        chunks_.push_back(std::make_shared<Chunk>());
    }
    void add(const KeyRef& key) noexcept {
        const std::size_t at = end_ - first_;
        chunks_[at / kChunk]->keys[at % kChunk] = key;
        ++end_;
    }
    void remove(const KeyRef& key) noexcept {
        key.header().died.store(++removals_, std::memory_order_relaxed);
    }

    // Under the store's lock, shared.
    View view() const {
        View v{sorted_, {}, begin_ - first_, end_ - begin_, removals_, false, nullptr};
        const std::size_t from = v.skip / kChunk, to = (v.skip + v.added + kChunk - 1) / kChunk;
        v.chunks.assign(chunks_.begin() + static_cast<std::ptrdiff_t>(from),
                        chunks_.begin() + static_cast<std::ptrdiff_t>(to));
        v.skip -= from * kChunk;
        const std::size_t changed = v.added + (removals_ - removals_at_fold_);
        v.fold = changed > std::max<std::size_t>(kFoldAt, sorted_->size() / 16) && !folding_.exchange(true);
        return v;
    }

    // With no lock held: the keys of the view that start with `prefix`, in order, as views into
    // blocks the listing holds. Folds first when the view says so.
    static KeyListing list(std::shared_ptr<View> hold, std::string_view prefix) {
        View& view = *hold;
        KeyListing out;
        if (view.fold) {
            // The whole run anew, listing its range on the way.
            Sorted run;
            run.reserve(view.sorted->size() + view.added);
            merge(view, "", [&](const KeyRef& k) {
                run.push_back(k);
                if (k.text().starts_with(prefix)) out.keys.push_back(k.text());
            });
            view.folded = std::make_shared<const Sorted>(std::move(run));
        } else {
            merge(view, prefix, [&](const KeyRef& k) { out.keys.push_back(k.text()); });
        }
        out.hold = std::move(hold);
        return out;
    }

    // Under the store's exclusive lock: puts a run folded from `view` in place. Nothing else can
    // have folded meanwhile (one fold at a time), so the keys it took are the first added ones.
    void install(const View& view) noexcept {
        sorted_ = view.folded;
        begin_ += view.added;
        removals_at_fold_ = view.removals;
        while (!chunks_.empty() && begin_ - first_ >= kChunk) {
            chunks_.pop_front();
            first_ += kChunk;
        }
        folding_.store(false);
    }
    // A fold that could not be put in place (its allocation failed) lets the next listing try.
    void abandon() noexcept { folding_.store(false); }

private:
    static constexpr std::size_t kFoldAt = 4096;

    // Visits the keys of the view that start with `prefix` and were alive when it was taken,
    // those of the run and the added ones, in order.
    template <class Visit>
    static void merge(const View& view, std::string_view prefix, Visit&& visit) {
        const auto alive = [&](const KeyRef& k) { return k.header().alive_at(view.removals); };
        std::vector<const KeyRef*> added;
        view.for_each_added([&](const KeyRef& k) {
            if (k.text().starts_with(prefix) && alive(k)) added.push_back(&k);
        });
        std::sort(added.begin(), added.end(), [](const KeyRef* a, const KeyRef* b) { return before(*a, *b); });
        const Sorted& run = *view.sorted;
        auto a = std::lower_bound(run.begin(), run.end(), prefix,
                                  [](const KeyRef& k, std::string_view text) { return k.text() < text; });
        auto b = added.begin();
        for (;;) {
            const bool more_a = a != run.end() && a->text().starts_with(prefix), more_b = b != added.end();
            if (!more_a && !more_b) break;
            if (more_a && (!more_b || before(*a, **b))) {
                if (alive(*a)) visit(*a);
                ++a;
            } else {
                visit(**b);
                ++b;
            }
        }
    }

    std::shared_ptr<const Sorted> sorted_ = std::make_shared<const Sorted>();
    std::deque<std::shared_ptr<Chunk>> chunks_;
    std::size_t first_ = 0;  // the position, counted over all keys ever added, of chunks_[0]'s first
    std::size_t begin_ = 0;  // of the first key not yet folded
    std::size_t end_ = 0;    // one past the last key added
    std::uint64_t removals_ = 0;
    std::uint64_t removals_at_fold_ = 0;
    mutable std::atomic<bool> folding_{false};
};

}  // namespace

StoredText::StoredText(std::string_view text) : block_(text) { block_.header().shape = utf8::shape(text); }

// Key -> the value's canonical compact text. Every reader wants text back (or a fresh tree),
// so keeping the text makes `get_text` a plain append and `set` pay its writing outside the lock.
//
// Exclusive sections allocate nothing whose size the caller decides: the value's text and the
// key's copy are made before the lock is taken (a key the store has not seen sends the call out
// once to copy it and back in), and the value a replaced or deleted entry held is freed after the
// lock is released (a deleted key, once no run or chunk of the index holds it). What a section
// may still allocate is the table's growth and a new chunk of the index's added keys (a fixed
// size), both with the strong guarantee.
struct InMemoryStateStore::Core {
    Core(std::function<void()> hook, const LockWait* wait) : lock(wait), fault_hook(std::move(hook)) {}

    PoisonLock lock;
    Table table;
    mutable KeyIndex index;
    std::function<void()> fault_hook;
};

InMemoryStateStore::InMemoryStateStore(std::function<void()> fault_hook, const LockWait* wait)
    : core_(std::make_shared<Core>(std::move(fault_hook), wait)) {}

Result<std::optional<json::Value>> InMemoryStateStore::get(std::string_view key) const {
    return core_->lock.read(lock_poisoned, [&]() -> Result<std::optional<json::Value>> {
        const auto it = core_->table.find(key);
        if (it == core_->table.end()) return std::optional<json::Value>();
        // The stored text came out of the writer, so it reads back into an equal tree. The one way
        // it cannot is a tree built in C++ deeper than the reader allows; report that as is.
        auto value = json::read(it->value.text());
        if (!value) return fail(value.error().to_mesh_error());
        return std::optional<json::Value>(std::move(*value));
    });
}

Result<bool> InMemoryStateStore::get_text(std::string_view key, std::string& out) const {
    return core_->lock.read(lock_poisoned, [&] {
        const auto it = core_->table.find(key);
        if (it == core_->table.end()) return false;
        out.append(it->value.text());
        return true;
    });
}

Result<std::optional<StoredText>> InMemoryStateStore::get_stored(std::string_view key) const {
    return core_->lock.read(lock_poisoned, [&] {
        const auto it = core_->table.find(key);
        return it == core_->table.end() ? std::optional<StoredText>() : std::optional<StoredText>(it->value);
    });
}

Status InMemoryStateStore::set(std::string_view key, json::Value value) const {
    // Written before locking; the tree itself is not kept and goes when the call returns.
    const std::string text = json::to_text(value);
    return store_text(key, text);
}

Status InMemoryStateStore::set_text(std::string_view key, std::string_view json_text, json::Source source) const {
    static KORVO_THREAD_LOCAL std::string scratch;  // canonical text is written here, then copied to its block
    LentScratch lent(scratch);
    if (auto done = json::canonicalize(json_text, lent.text(), source); !done) {
        return fail(done.error().to_mesh_error());
    }
    return store_text(key, lent.text());
}

constexpr std::size_t kKeyInLock = 16;

Status InMemoryStateStore::store_text(std::string_view key, std::string_view text) const {
    Core& core = *core_;
    StoredText value(text);
    std::optional<KeyRef> new_key;  // made outside the lock, once the key is known to be new
    for (;;) {
        const auto stored = core.lock.write(lock_poisoned, [&] {
            if (core.fault_hook) core.fault_hook();
            if (const auto it = core.table.find(key); it != core.table.end()) {
                std::swap(it->value, value);  // the old text leaves in `value`
                return true;
            }
            // A short key costs a fixed, small allocation, made here; a longer one is copied
            // outside the lock.
            if (!new_key && key.size() > kKeyInLock) return false;
            KeyRef k = new_key ? std::move(*new_key) : KeyRef(key);
            core.index.make_room();
            core.table.insert(Entry{k, std::move(value)});
            core.index.add(k);
            return true;
        });
        if (!stored) return fail(stored.error());
        if (*stored) return {};
        new_key.emplace(key);
    }
}

Status InMemoryStateStore::remove(std::string_view key) const {
    Core& core = *core_;
    // The value is freed after the lock is released. The key is not: the index still holds it
    // (marked dead) and frees it at its next fold.
    StoredText removed_value;
    return core.lock.write(lock_poisoned, [&] {
        if (core.fault_hook) core.fault_hook();
        const auto it = core.table.find(key);
        if (it == core.table.end()) return;
        std::swap(removed_value, it->value);
        core.index.remove(it->key);
        core.table.erase(it);
    });
}

Result<bool> InMemoryStateStore::exists(std::string_view key) const {
    return core_->lock.read(lock_poisoned, [&] { return core_->table.find(key) != core_->table.end(); });
}

Result<KeyListing> InMemoryStateStore::list_keys(std::string_view prefix) const {
    Core& core = *core_;
    auto view = core.lock.read(lock_poisoned, [&] {
        auto v = std::make_shared<KeyIndex::View>();  // made first: taking the view may claim the fold
        *v = core.index.view();
        return v;
    });
    if (!view) return fail(view.error());
    const std::shared_ptr<KeyIndex::View> taken = *view;
    if (!taken->fold) return KeyIndex::list(taken, prefix);
    // This listing folds: whatever happens, the next one may fold again.
    struct Folding {
        Core& core;
        const KeyIndex::View& view;
        ~Folding() {
            if (!view.folded || !core.lock.exclusive([&]() noexcept { core.index.install(view); })) core.index.abandon();
        }
    } folding{core, *taken};
    return KeyIndex::list(taken, prefix);
}

Result<std::vector<std::string>> InMemoryStateStore::keys_with_prefix(std::string_view prefix) const {
    auto listing = list_keys(prefix);
    if (!listing) return fail(listing.error());
    return std::vector<std::string>(listing->keys.begin(), listing->keys.end());
}

std::size_t InMemoryStateStore::len() const noexcept {
    return core_->lock.shared([&] { return core_->table.size(); }).value_or(0);
}

bool InMemoryStateStore::poisoned() const noexcept { return core_->lock.poisoned(); }

}  // namespace korvo
