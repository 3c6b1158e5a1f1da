// The shared key/value store of JSON values.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/block.h"
#include "base/error.h"
#include "base/utf8.h"
#include "json/cursor.h"
#include "json/value.h"

namespace korvo {

struct LockWait;  // base/lock.h

// A stored value's canonical text, shared: the store holds it, and a reader can take a hold of
// its own under the lock and read it after the lock is released. Its shape (length in
// characters, the widest kind of character) is found once, when it is stored, so a reader can
// make a str of it without looking at it first.
class StoredText {
public:
    StoredText() noexcept = default;
    explicit StoredText(std::string_view text);

    std::string_view text() const noexcept { return block_.text(); }
    utf8::Shape shape() const noexcept { return block_.header().shape; }

private:
    struct Known {
        utf8::Shape shape;
    };
    SharedBlock<Known> block_;
};

// Keys in order: views into their texts, which `hold` keeps for as long as the listing lives.
struct KeyListing {
    std::vector<std::string_view> keys;
    std::shared_ptr<const void> hold;
};

class StateStore {
public:
    virtual ~StateStore() = default;
    virtual Result<std::optional<json::Value>> get(std::string_view key) const = 0;
    virtual Status set(std::string_view key, json::Value value) const = 0;
    virtual Status remove(std::string_view key) const = 0;  // the store's `delete`
    virtual Result<bool> exists(std::string_view key) const = 0;
    virtual Result<std::vector<std::string>> keys_with_prefix(std::string_view prefix) const = 0;
    virtual std::size_t len() const noexcept = 0;
};

class InMemoryStateStore final : public StateStore {
public:
    // `fault_hook`, when set, runs inside every exclusive section (tests use it to throw).
    // `wait`, when given, is what a call lets go of while it waits for the store's lock.
    explicit InMemoryStateStore(std::function<void()> fault_hook = {}, const LockWait* wait = nullptr);

    Result<std::optional<json::Value>> get(std::string_view key) const override;
    Status set(std::string_view key, json::Value value) const override;
    Status remove(std::string_view key) const override;
    Result<bool> exists(std::string_view key) const override;
    Result<std::vector<std::string>> keys_with_prefix(std::string_view prefix) const override;
    std::size_t len() const noexcept override;

    // The keys that start with `prefix`, in order. The store's lock is held only to take a view
    // of its key index, a few hundred pointers however many keys there are.
    Result<KeyListing> list_keys(std::string_view prefix) const;

    // Stores the value a JSON text holds, read and written canonically in one pass (no tree is
    // built); a text that does not read fails as json::parse() would, and nothing is stored.
    Status set_text(std::string_view key, std::string_view json_text,
                    json::Source source = json::Source::Bytes) const;
    // Appends the stored value's canonical text; false when the key is absent.
    Result<bool> get_text(std::string_view key, std::string& out) const;
    // The stored text itself, held: read it after the lock is released, no copy made.
    Result<std::optional<StoredText>> get_stored(std::string_view key) const;
    bool poisoned() const noexcept;

private:
    Status store_text(std::string_view key, std::string_view text) const;

    struct Core;
    std::shared_ptr<Core> core_;
};

}  // namespace korvo
