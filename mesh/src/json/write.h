// Compact canonical writing: values, strings and numbers appended to one buffer.
#pragma once

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

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
        std::memcpy(p_, text.data(), text.size());
        p_ += text.size();
    }
    void put_uint(std::uint64_t n) noexcept { p_ = std::to_chars(p_, p_ + kMaxUintDigits, n).ptr; }
    char* end() const noexcept { return p_; }

    static constexpr std::size_t kMaxUintDigits = 20;

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

// How a byte is written inside a string: 0 = as it is; otherwise the letter of its two-character
// escape, or 'u' for \u00XX.
inline constexpr auto kEscape = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['\b'] = 'b';
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\f'] = 'f';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}();

// Appends the escape of an ASCII byte whose kEscape entry is not 0.
inline void write_escape(unsigned char c, std::string& out) {
    const char e = kEscape[c];
    if (e == 'u') {
        static constexpr char kHex[] = "0123456789abcdef";
        const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(esc, 6);
    } else {
        const char esc[2] = {'\\', e};
        out.append(esc, 2);
    }
}

}  // namespace korvo::json
