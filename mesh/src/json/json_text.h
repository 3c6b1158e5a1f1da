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

#include "base/error.h"

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
    // The copying and destroying members too are defined once Member is complete, so that every
    // unit sees the variant with all its alternatives known.
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
    friend class Reader;

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

// A single-pass pull reader over one text: the steps read() is built from, open to
// decoders of fixed-field records. Each step returns false once it has failed; the
// first failure is kept (description and byte offset) and its line and column are
// worked out only when error() is asked for.
//
// Positions follow one rule: a failure is reported either at the byte just consumed
// (fail_here: the offset after it) or at the byte looked at next (fail_peek: as if it
// had been consumed, capped at the end of the text).
class Reader {
public:
    explicit Reader(std::string_view text) noexcept
        : begin_(text.data()), end_(text.data() + text.size()), p_(text.data()) {}

    // Skips JSON white space (space, tab, line feed, carriage return); the next byte, or -1 at the end.
    int peek_nonspace() noexcept {
        // Compact text has no white space between tokens: settle that case before any loop.
        if (p_ != end_ && static_cast<unsigned char>(*p_) > ' ') return static_cast<unsigned char>(*p_);
        skip_space();
        return peek();
    }
    int peek() const noexcept { return p_ != end_ ? static_cast<unsigned char>(*p_) : -1; }
    void eat() noexcept { ++p_; }
    std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(end_ - begin_); }

    bool fail(std::string description, std::size_t offset);
    bool fail_here(std::string description) { return fail(std::move(description), offset()); }
    bool fail_peek(std::string description) {
        return fail(std::move(description), p_ != end_ ? offset() + 1 : offset());
    }
    bool failed() const noexcept { return failed_; }
    // The kept failure with its line and column.
    ReadError error() const;

    // One more level of nesting, checked while the opening bracket is still the next byte.
    bool enter() {
        if (--remaining_depth_ == 0) return fail_peek("recursion limit exceeded");
        return true;
    }
    void leave() noexcept { ++remaining_depth_; }

    // Any value, white space before it skipped.
    bool read_value(Value& out);
    // The rest of true, false or null after its first letter.
    bool read_ident(std::string_view rest);
    // A number from its first digit; when `negative`, the minus sign has just been consumed.
    bool read_number(bool negative, Value& out);
    // A string's content after its opening quote, appended to `out` (which must be empty or
    // hold only valid UTF-8); the closing quote is consumed.
    bool read_string_body(std::string& out);
    // `:` between a member name and its value.
    bool read_colon();
    // Checks that a value is well formed without keeping it.
    bool skip_value();
    // Only white space may follow the document.
    bool finish();
    // Any value, white space before it skipped, appended to `out` as the canonical text that
    // write() gives for the value read_value() reads; fails exactly where read_value() fails.
    bool canonical_value(std::string& out);

private:
    struct Canon;  // scratch space shared by the levels of one canonical_value()
    void skip_space() noexcept;
    bool canonical_value(std::string& out, Canon& canon);
    bool canonical_object(std::string& out, Canon& canon);
    bool canonical_string_body(std::string& out, bool& escaped);
    bool canonical_escape(std::string& out);
    bool canonical_number(bool negative, std::string& out);
    bool read_escape(std::string& out);
    bool read_hex4(unsigned& n);
    // After an element or member: a comma with more to come, the closing bracket (consumed),
    // or a failure (kept).
    enum class Step : unsigned char { More, Close, Failed };
    Step after_item(char close);
    // The code point of a \u escape after its `u`, a surrogate pair joined into one.
    bool read_unicode_escape(unsigned& cp);
    bool skip_number();
    bool skip_string_body();
    bool number_out_of_range(const char* start) const;
    // A number's text, checked: where its sign, integer digits and end are, and its kind.
    struct NumberText {
        const char* start = nullptr;      // the sign, if any
        const char* int_begin = nullptr;  // the integer digits
        const char* int_end = nullptr;
        bool is_float = false;            // a fraction or an exponent
        bool zero_by_exponent = false;    // an exponent too long to hold, on a value that reads as zero
        // The integer digits as an unsigned 64-bit value, when there is no fraction or exponent
        // and they fit.
        bool integer(std::uint64_t& sig) const noexcept;
    };
    // Shared by both readers: every number failure is found here.
    bool scan_number(bool negative, NumberText& n);
    // The float a checked number stands for; "number out of range" when its magnitude overflows.
    bool scanned_float(const NumberText& n, double& d);

    const char* begin_;
    const char* end_;
    const char* p_;
    int remaining_depth_ = kMaxDepth + 1;
    bool failed_ = false;
    std::string description_;
    std::size_t error_offset_ = 0;
};

// Reads exactly one JSON document, JSON white space allowed around it.
std::expected<Value, ReadError> read(std::string_view text);

// Reads exactly one JSON document and appends its canonical compact text to `out`: the same
// bytes as write(*read(text)), and on failure the same error, without building the tree.
// On failure `out` is left as it was.
std::expected<void, ReadError> canonicalize(std::string_view text, std::string& out);

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
