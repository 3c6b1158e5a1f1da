// Compact canonical writing: values, strings and numbers appended to one buffer.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/digits.h"
#include "base/escapes.h"
#include "json/float_format.h"
#include "json/value.h"

namespace korvo::json {

void write(const Value& value, std::string& out);
void write_string(std::string_view utf8, std::string& out);  // with the quotes
void write_uint(std::uint64_t n, std::string& out);
void write_int(std::int64_t n, std::string& out);

inline std::string to_text(const Value& value) {
    std::string out;
    write(value, out);
    return out;
}

// Writes straight into the end of a string whose room was made once: record writers that know
// the most their text can take copy its parts in and cut the string to what they wrote.
class RawWriter {
public:
    explicit RawWriter(char* at) noexcept : p_(at) {}
    void put(std::string_view text) noexcept {
        bytes::copy(p_, text.data(), text.size());
        p_ += text.size();
    }
    void put_uint(std::uint64_t n) noexcept { p_ = digits::put(p_, n); }
    char* end() const noexcept { return p_; }

    static constexpr std::size_t kMaxUintDigits = digits::kMaxUint64;

private:
    char* p_;
};

// Appends what `fill(RawWriter&)` writes, at most `most` bytes.
template <class Fill>
void write_sized(std::size_t most, std::string& out, Fill&& fill) {
    const std::size_t old = out.size();
    out.resize_and_overwrite(old + most, [&](char* buf, std::size_t) {
        RawWriter w(buf + old);
        fill(w);
        return static_cast<std::size_t>(w.end() - buf);
    });
}

// Appends `"name":` for a record member; `first` says whether a comma is needed before it.
inline void write_key(std::string_view name, bool first, std::string& out) {
    if (!first) out.push_back(',');
    write_string(name, out);
    out.push_back(':');
}

// How a byte is written inside a string (base/escapes.h): 0 = as it is; otherwise the letter of
// its two-character escape, or 'u' for \u00XX.
inline constexpr const auto& kEscape = escapes::kJson;

// Appends the escape of a byte whose kEscape entry is not 0.
inline void write_escape(unsigned char c, std::string& out) {
    char esc[6];
    out.append(esc, static_cast<std::size_t>(escapes::put_json(esc, c) - esc));
}

// How many bytes `text` takes written as a JSON string, without its quotes. The bytes before the
// first that takes an escape (mostly all of them) are passed a block at a time.
inline std::size_t escaped_size(std::string_view text) noexcept {
    const char* const end = text.data() + text.size();
    const char* p = bytes::string_run(text.data(), end);
    std::size_t n = static_cast<std::size_t>(p - text.data());
    for (; p != end; ++p) n += escapes::json_size(static_cast<unsigned char>(*p));
    return n;
}

}  // namespace korvo::json
