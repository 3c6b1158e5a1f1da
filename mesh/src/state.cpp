#include "state.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
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

// A stored key: its text in one block, shared by the table and the sorted index. `dead` is set
// when the key leaves the table (under the store's exclusive lock) and read by the index (under its
// own mutex, inside a shared section), so the two never meet.
struct KeyState {
    bool dead = false;
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
    bool operator()(const A& a, const B& b) const noexcept {
        return same_text(text(a), text(b));
    }
};

using Table = boost::unordered_flat_set<Entry, EntryHash, EntryEq>;

// The keys in bytewise order, for listing by prefix without scanning the table. A sorted
// snapshot plus the keys added since, which a new key joins at the end (keeping them in order
// as they came cost every insert a move of all of them: 1.3 ms per new key once a million had
// come without a listing). A listing sorts them, or folds them into the snapshot once they are
// many; deleted keys are marked dead in place and dropped at the next fold.
class KeyIndex {
public:
    // Under the store's exclusive lock: room for one more key (the only allocation, made before
    // anything changes), then the key itself, which cannot fail once there is room.
    void make_room() {
        if (added_.size() == added_.capacity()) added_.reserve(std::max<std::size_t>(16, 2 * added_.size()));
    }
    void add(const KeyRef& key) noexcept {
        added_.push_back(key);
        added_sorted_ = added_.size() < 2;
    }
    void removed() noexcept { ++dead_; }

    // Under the store's shared lock: the keys that start with `prefix`, in order.
    std::vector<std::string> list(std::string_view prefix) {
        std::lock_guard guard(mutex_);
        sort_added();
        if (added_.size() + dead_ > std::max<std::size_t>(kFoldAt, sorted_.size() / 16)) fold();
        std::vector<std::string> out;
        auto a = std::lower_bound(sorted_.begin(), sorted_.end(), prefix, before);
        auto b = std::lower_bound(added_.begin(), added_.end(), prefix, before);
        const auto in_range = [&](const std::vector<KeyRef>& v, std::vector<KeyRef>::iterator it) {
            return it != v.end() && it->text().starts_with(prefix);
        };
        for (;;) {
            const bool more_a = in_range(sorted_, a), more_b = in_range(added_, b);
            if (!more_a && !more_b) break;
            auto& next = more_a && (!more_b || a->text() < b->text()) ? a : b;
            if (!next->header().dead) out.emplace_back(next->text());
            ++next;
        }
        return out;
    }

private:
    static constexpr std::size_t kFoldAt = 4096;
    static bool before(const KeyRef& k, std::string_view text) noexcept { return k.text() < text; }

    void sort_added() noexcept {
        if (added_sorted_) return;
        std::sort(added_.begin(), added_.end(), [](const KeyRef& a, const KeyRef& b) { return a.text() < b.text(); });
        added_sorted_ = true;
    }

    // The live keys of both lists, merged into one sorted snapshot.
    void fold() {
        std::vector<KeyRef> merged;
        merged.reserve(sorted_.size() + added_.size() - std::min(dead_, sorted_.size() + added_.size()));
        const auto live = [](const KeyRef& k) { return !k.header().dead; };
        auto a = sorted_.begin(), b = added_.begin();
        while (a != sorted_.end() || b != added_.end()) {
            auto& next = b == added_.end() || (a != sorted_.end() && a->text() < b->text()) ? a : b;
            if (live(*next)) merged.push_back(std::move(*next));
            ++next;
        }
        sorted_ = std::move(merged);
        added_.clear();
        added_sorted_ = true;
        dead_ = 0;
    }

    std::mutex mutex_;  // for fold(), which readers may run side by side
    std::vector<KeyRef> sorted_;
    std::vector<KeyRef> added_;
    bool added_sorted_ = true;
    std::size_t dead_ = 0;  // keys marked dead since the last fold
};

}  // namespace

StoredText::StoredText(std::string_view text) : block_(text) { block_.header().shape = utf8::shape(text); }

// Key -> the value's canonical compact text. Every reader wants text back (or a fresh tree),
// so keeping the text makes `get_text` a plain append and `set` pay its writing outside the lock.
//
// Exclusive sections allocate nothing whose size the caller decides: the value's text and the
// key's copy are made before the lock is taken (a key the store has not seen sends the call out
// once to copy it and back in), and the value a replaced or deleted entry held is freed after the
// lock is released (a deleted key, by the index's next fold). What a section may still allocate is the table's growth and the index's list of
// added keys, both with the strong guarantee.
struct InMemoryStateStore::Core {
    explicit Core(std::function<void()> hook) : fault_hook(std::move(hook)) {}

    PoisonLock lock;
    Table table;
    mutable KeyIndex index;
    std::function<void()> fault_hook;
};

InMemoryStateStore::InMemoryStateStore(std::function<void()> fault_hook)
    : core_(std::make_shared<Core>(std::move(fault_hook))) {}

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
        it->key.header().dead = true;
        core.index.removed();
        core.table.erase(it);
    });
}

Result<bool> InMemoryStateStore::exists(std::string_view key) const {
    return core_->lock.read(lock_poisoned, [&] { return core_->table.find(key) != core_->table.end(); });
}

Result<std::vector<std::string>> InMemoryStateStore::keys_with_prefix(std::string_view prefix) const {
    return core_->lock.read(lock_poisoned, [&] { return core_->index.list(prefix); });
}

std::size_t InMemoryStateStore::len() const noexcept {
    return core_->lock.shared([&] { return core_->table.size(); }).value_or(0);
}

bool InMemoryStateStore::poisoned() const noexcept { return core_->lock.poisoned(); }

}  // namespace korvo
