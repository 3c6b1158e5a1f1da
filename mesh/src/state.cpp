#include "state.h"

#include <algorithm>
#include <utility>

#include "base/lock.h"
#include "base/text_map.h"
#include "json/canonical.h"
#include "json/read.h"
#include "json/write.h"

namespace korvo {
namespace {

constexpr std::string_view kPoisoned = "state lock poisoned";

// Key -> the value's canonical compact text. Every reader wants text back (or a fresh tree),
// so keeping the text makes `get_text` a plain append and `set` pay its writing outside the lock.
using Table = TextMap<std::string>;

MeshError lock_poisoned() { return MeshError::state(kPoisoned); }

}  // namespace

struct InMemoryStateStore::Core {
    explicit Core(std::function<void()> hook) : fault_hook(std::move(hook)) {}

    PoisonLock lock;
    Table table;
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
        auto value = json::read(it->second);
        if (!value) return fail(value.error().to_mesh_error());
        return std::optional<json::Value>(std::move(*value));
    });
}

Result<bool> InMemoryStateStore::get_text(std::string_view key, std::string& out) const {
    return core_->lock.read(lock_poisoned, [&] {
        const auto it = core_->table.find(key);
        if (it == core_->table.end()) return false;
        out.append(it->second);
        return true;
    });
}

Status InMemoryStateStore::set(std::string_view key, json::Value value) const {
    // Written before locking; the tree itself is not kept and goes when the call returns.
    return store_text(key, json::to_text(value));
}

Status InMemoryStateStore::set_text(std::string_view key, std::string_view json_text) const {
    std::string text;
    if (auto done = json::canonicalize(json_text, text); !done) return fail(done.error().to_mesh_error());
    // Room was reserved for a text as long as the input; pretty-printed input leaves much of it unused.
    if (text.capacity() - text.size() > text.size() / 4 + 64) text.shrink_to_fit();
    return store_text(key, std::move(text));
}

// The exclusive section allocates nothing whose size the caller decides. A key already present
// keeps its stored key and takes the new text in a swap; the old text leaves in `text` and is
// freed after the lock is released. A new key is stored from a copy made outside the lock: a
// short key fits the string's own buffer (no allocation at all), a longer one sends the call out
// once to copy it and back in. What may still allocate in the section is the table's node and
// its growth (strong guarantee).
Status InMemoryStateStore::store_text(std::string_view key, std::string text) const {
    Core& core = *core_;
    const std::size_t inline_key = std::string().capacity();  // what a string holds without allocating
    std::optional<std::string> owned_key;
    for (;;) {
        const auto stored = core.lock.write(lock_poisoned, [&] {
            if (core.fault_hook) core.fault_hook();
            if (const auto it = core.table.find(key); it != core.table.end()) {
                it->second.swap(text);
                return true;
            }
            if (!owned_key && key.size() > inline_key) return false;
            core.table.emplace(owned_key ? std::move(*owned_key) : std::string(key), std::move(text));
            return true;
        });
        if (!stored) return fail(stored.error());
        if (*stored) return {};
        owned_key.emplace(key);
    }
}

Status InMemoryStateStore::remove(std::string_view key) const {
    Core& core = *core_;
    std::optional<Table::node_type> removed;  // freed after the lock is released
    return core.lock.write(lock_poisoned, [&] {
        if (core.fault_hook) core.fault_hook();
        if (const auto it = core.table.find(key); it != core.table.end()) removed.emplace(core.table.extract(it));
    });
}

Result<bool> InMemoryStateStore::exists(std::string_view key) const {
    return core_->lock.read(lock_poisoned, [&] { return core_->table.find(key) != core_->table.end(); });
}

Result<std::vector<std::string>> InMemoryStateStore::keys_with_prefix(std::string_view prefix) const {
    return core_->lock.read(lock_poisoned, [&] {
        std::vector<std::string> matches;
        for (const auto& entry : core_->table) {
            if (entry.first.starts_with(prefix)) matches.push_back(entry.first);
        }
        // std::string orders through char_traits<char>, which compares bytes as unsigned char.
        std::sort(matches.begin(), matches.end());
        return matches;
    });
}

std::size_t InMemoryStateStore::len() const noexcept {
    return core_->lock.shared([&] { return core_->table.size(); }).value_or(0);
}

bool InMemoryStateStore::poisoned() const noexcept { return core_->lock.poisoned(); }

}  // namespace korvo
