// JSON values and the exact text rules the mesh reads and writes them by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "error.h"

namespace korvo::json {

class Value;
struct Member;

using Array = std::vector<Value>;
// Members sorted by name (bytewise, unsigned), names unique.
using Object = std::vector<Member>;

class Value {
public:
    enum class Type : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

    Value() noexcept = default;
    Value(std::nullptr_t) noexcept {}
    Value(bool b) noexcept : v_(b) {}
    Value(std::uint64_t u) noexcept : v_(u) {}
    Value(std::int64_t i) noexcept : v_(i) {}
    Value(double d) noexcept : v_(d) {}
    Value(std::string s) noexcept : v_(std::move(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(json::Array a) noexcept : v_(std::move(a)) {}
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
    Value(Sorted, json::Object members) noexcept : v_(std::move(members)) {}
    friend class Reader;

    std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, json::Array, json::Object> v_;
};

struct Member {
    std::string name;
    Value value;
    friend bool operator==(const Member&, const Member&) = default;
};

// Sorts members bytewise by name; of equal names the one that came last wins.
void finish_object(json::Object& members);

// A reading failure: what went wrong and where (line from 1, column in bytes within the line).
struct ReadError {
    std::string description;
    std::size_t line = 1;
    std::size_t column = 0;

    // "{description} at line {line} column {column}"
    std::string message() const;
    MeshError to_mesh_error() const { return MeshError::serialization(message()); }
    friend bool operator==(const ReadError&, const ReadError&) = default;
};

inline constexpr int kMaxDepth = 127;

// Reads exactly one JSON document, JSON white space allowed around it.
std::expected<Value, ReadError> read(std::string_view text);

// Reads and hands the failure back as a SerializationError.
inline Result<Value> parse(std::string_view text) {
    auto v = read(text);
    if (!v) return fail(v.error().to_mesh_error());
    return std::move(*v);
}

// Compact canonical writing, appended to `out`.
void write(const Value& value, std::string& out);
void write_string(std::string_view utf8, std::string& out);  // with the quotes
void write_uint(std::uint64_t n, std::string& out);
void write_int(std::int64_t n, std::string& out);
void write_float(double d, std::string& out);

inline std::string to_text(const Value& value) {
    std::string out;
    write(value, out);
    return out;
}

// Appends `"name":` for a record member; `first` says whether a comma is needed before it.
inline void write_key(std::string_view name, bool first, std::string& out) {
    if (!first) out.push_back(',');
    write_string(name, out);
    out.push_back(':');
}

}  // namespace korvo::json
