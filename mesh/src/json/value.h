// The JSON value the components hold: three number kinds kept apart, objects as a flat vector
// of members sorted by name.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace korvo::json {

class Value;
struct Member;

using Array = std::vector<Value>;
// Members sorted by name (bytewise, unsigned), names unique.
using Object = std::vector<Member>;

class Value {
public:
    enum class Type : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

    // Defined below, once Member is complete: a compiler that instantiates the variant's
    // constexpr members eagerly needs the object alternative's element type by then.
    Value() noexcept;
    Value(const Value&);
    Value(Value&&) noexcept;
    Value& operator=(const Value&);
    Value& operator=(Value&&) noexcept;
    ~Value();
    Value(std::nullptr_t) noexcept;
    Value(bool b) noexcept;
    Value(std::uint64_t u) noexcept;
    Value(std::int64_t i) noexcept;
    Value(double d) noexcept;
    Value(std::string s) noexcept;
    Value(const char* s);
    Value(json::Array a) noexcept;
    // Takes members in any order; sorts them and keeps the last of each duplicated name.
    static Value object(json::Object members);

    Type type() const noexcept { return static_cast<Type>(v_.index()); }
    bool is_null() const noexcept { return type() == Type::Null; }

    bool as_bool() const { return std::get<bool>(v_); }
    std::uint64_t as_uint() const { return std::get<std::uint64_t>(v_); }
    std::int64_t as_int() const { return std::get<std::int64_t>(v_); }
    double as_float() const { return std::get<double>(v_); }
    const std::string& as_string() const { return std::get<std::string>(v_); }
    const json::Array& as_array() const { return std::get<json::Array>(v_); }
    json::Array& as_array() { return std::get<json::Array>(v_); }
    const json::Object& as_object() const { return std::get<json::Object>(v_); }

    // Member lookup in an object (binary search); nullptr when absent or not an object.
    const Value* find(std::string_view name) const;

    friend bool operator==(const Value&, const Value&);

private:
    struct Sorted {};
    Value(Sorted, json::Object members) noexcept;
    friend class TreeBuilder;

    std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, json::Array, json::Object> v_;
};

struct Member {
    std::string name;
    Value value;
    friend bool operator==(const Member&, const Member&) = default;
};

inline Value::Value() noexcept = default;
// Copied by assignment into an empty value: the variant's own copy constructor in libstdc++ 12
// destroys an alternative it never built when the copy throws (std::bad_alloc), where the
// assignment leaves the value empty and lets the failure pass.
inline Value::Value(const Value& other) { v_ = other.v_; }
inline Value::Value(Value&&) noexcept = default;
inline Value& Value::operator=(const Value&) = default;
inline Value& Value::operator=(Value&&) noexcept = default;
inline Value::~Value() = default;
inline Value::Value(std::nullptr_t) noexcept {}
inline Value::Value(bool b) noexcept : v_(b) {}
inline Value::Value(std::uint64_t u) noexcept : v_(u) {}
inline Value::Value(std::int64_t i) noexcept : v_(i) {}
inline Value::Value(double d) noexcept : v_(d) {}
inline Value::Value(std::string s) noexcept : v_(std::move(s)) {}
inline Value::Value(const char* s) : v_(std::string(s)) {}
inline Value::Value(json::Array a) noexcept : v_(std::move(a)) {}
inline Value::Value(Sorted, json::Object members) noexcept : v_(std::move(members)) {}

namespace detail {

// A name's first eight bytes as one number that orders as the bytes do (shorter names padded
// with zeros): most comparisons of two names are settled by it alone.
inline std::uint64_t name_prefix(std::string_view name) noexcept {
    std::uint64_t x = 0;
    std::memcpy(&x, name.data(), std::min<std::size_t>(name.size(), 8));
    if constexpr (std::endian::native == std::endian::little) x = std::byteswap(x);
    return x;
}

}  // namespace detail

// What sorting a large object needs besides the object: a caller that sorts many keeps one and
// lends it to each sort.
template <class Item>
struct SortScratch {
    struct Key {
        std::uint64_t prefix;
        std::uint32_t index;
    };
    std::vector<Key> keys;
    std::vector<Item> items;
};

// The one rule for an object's members, shared by the value tree and the canonical writer: put
// [first, last) in ascending bytewise order of name_of(item) and, of equal names, keep the one
// given last. Returns the end of the kept items. Objects mostly arrive sorted already, which one
// pass settles; small ones sort by insertion, with no scratch buffer; larger ones by their
// names' first eight bytes, the names themselves compared only where those tie.
template <class It, class NameOf>
It sort_keep_last(It first, It last, NameOf&& name_of,
                  SortScratch<typename std::iterator_traits<It>::value_type>& scratch) {
    const auto less = [&](const auto& a, const auto& b) { return std::string_view(name_of(a)) < name_of(b); };
    const auto n = static_cast<std::size_t>(last - first);
    bool strictly_sorted = true;
    for (std::size_t i = 1; i < n; ++i) {
        if (!less(first[i - 1], first[i])) {
            strictly_sorted = false;
            break;
        }
    }
    if (strictly_sorted) return last;
    if (n <= 16) {
        // Insertion sort: stable, and no scratch buffer for the common small object.
        for (std::size_t i = 1; i < n; ++i) {
            if (!less(first[i], first[i - 1])) continue;
            auto item = std::move(first[i]);
            std::size_t j = i;
            for (; j > 0 && less(item, first[j - 1]); --j) first[j] = std::move(first[j - 1]);
            first[j] = std::move(item);
        }
    } else {
        using Key = typename std::remove_reference_t<decltype(scratch)>::Key;
        auto& keys = scratch.keys;
        keys.resize(n);
        for (std::size_t i = 0; i < n; ++i) keys[i] = {detail::name_prefix(name_of(first[i])), static_cast<std::uint32_t>(i)};
        // By name, then by place: a stable order.
        std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
            if (a.prefix != b.prefix) return a.prefix < b.prefix;
            const int c = std::string_view(name_of(first[a.index])).compare(name_of(first[b.index]));
            return c != 0 ? c < 0 : a.index < b.index;
        });
        auto& sorted = scratch.items;
        sorted.clear();
        sorted.reserve(n);
        for (const Key& k : keys) sorted.push_back(std::move(first[k.index]));
        std::move(sorted.begin(), sorted.end(), first);
        sorted.clear();
    }
    // Of each run of equal names keep the last one (the one given last).
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 1 < n && std::string_view(name_of(first[i + 1])) == name_of(first[i])) continue;
        if (kept != i) first[kept] = std::move(first[i]);
        ++kept;
    }
    return first + static_cast<std::ptrdiff_t>(kept);
}

template <class It, class NameOf>
It sort_keep_last(It first, It last, NameOf&& name_of) {
    SortScratch<typename std::iterator_traits<It>::value_type> scratch;
    return sort_keep_last(first, last, name_of, scratch);
}

// Sorts an object's members by name; of equal names the one that came last wins.
void finish_object(json::Object& members);

}  // namespace korvo::json
