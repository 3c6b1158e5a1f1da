// UTF-8: decoding one character at a time, encoding, and checking whole texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace korvo::utf8 {

// What decode() returns for a byte that starts no well-formed sequence; no code point has it.
inline constexpr char32_t kMalformed = 0x110000;

// Decodes the character starting at text[i] and advances i past it. A byte that starts no
// well-formed sequence (a stray continuation byte, a truncated or overlong sequence, a value
// above U+10FFFF) is consumed alone as kMalformed. Surrogates encoded in three bytes decode as
// themselves: valid UTF-8 has none, but a caller that shows text wants to show them.
char32_t decode(std::string_view text, std::size_t& i) noexcept;

// Appends the UTF-8 form of a code point (at most U+10FFFF).
void encode(char32_t cp, std::string& out);

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
bool valid(const unsigned char* p, const unsigned char* end) noexcept;
inline bool valid(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    return valid(p, p + text.size());
}

// True when every byte is below 0x80 (the text is ASCII, its own UTF-8 and its own Latin-1).
inline bool ascii(std::string_view text) noexcept {
    const char* p = text.data();
    const char* end = p + text.size();
    std::uint64_t seen = 0;
    for (; end - p >= 32; p += 32) {
        std::uint64_t w[4];
        std::memcpy(w, p, 32);
        seen |= w[0] | w[1] | w[2] | w[3];
    }
    for (; end - p >= 8; p += 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        seen |= w;
    }
    for (; p != end; ++p) seen |= static_cast<unsigned char>(*p);
    return (seen & 0x8080808080808080ULL) == 0;
}

// ---- wide characters ------------------------------------------------------------------
// Text held as an array of fixed-width characters (Char: 1, 2 or 4 bytes, as the interpreter
// keeps a str) to and from UTF-8, with runs of ASCII taken eight at a time.

inline constexpr std::size_t kNotUtf8 = static_cast<std::size_t>(-1);

// At most how many UTF-8 bytes `count` characters of type Char take.
template <class Char>
constexpr std::size_t max_encoded_size(std::size_t count) noexcept {
    return count * (sizeof(Char) == 1 ? 2 : sizeof(Char) == 2 ? 3 : 4);
}

template <class Char>
inline bool ascii8(const Char* c) noexcept {
    std::uint32_t any = 0;
    for (int k = 0; k < 8; ++k) any |= c[k];
    return any < 0x80;
}

// Writes the UTF-8 form of `count` characters to `out` (room for max_encoded_size) and returns
// its size; kNotUtf8 at a surrogate, which has no UTF-8 form.
template <class Char>
std::size_t encode_chars(const Char* chars, std::size_t count, char* out) noexcept {
    char* const start = out;
    for (std::size_t i = 0; i < count;) {
        if (count - i >= 8 && ascii8(chars + i)) {
            for (int k = 0; k < 8; ++k) out[k] = static_cast<char>(chars[i + k]);
            out += 8;
            i += 8;
            continue;
        }
        const std::uint32_t c = chars[i++];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c - 0xD800u < 0x800u) return kNotUtf8;
            *out++ = static_cast<char>(0xE0 | (c >> 12));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return static_cast<std::size_t>(out - start);
}

// The number of characters in UTF-8 text and the largest of them; false for text that is not
// well-formed or holds a surrogate.
inline bool measure(std::string_view text, std::size_t& length, char32_t& max_char) noexcept {
    length = 0;
    max_char = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        if (text.size() - i >= 8 && ascii8(p + i)) {
            i += 8;
            length += 8;
            continue;
        }
        char32_t c = p[i];
        const std::size_t left = text.size() - i;
        if (c < 0x80) {
            ++i;
        } else if (c >= 0xC2 && c <= 0xDF && left >= 2 && (p[i + 1] & 0xC0) == 0x80) {
            c = ((c & 0x1F) << 6) | (p[i + 1] & 0x3F);
            i += 2;
        } else if (c >= 0xE1 && c <= 0xEF && c != 0xED && left >= 3 && (p[i + 1] & 0xC0) == 0x80 && (p[i + 2] & 0xC0) == 0x80) {
            // The common three-byte leads: neither overlong (E0) nor a surrogate (ED).
            c = ((c & 0x0F) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3F);
            i += 3;
        } else {
            c = decode(text, i);
            if (c == kMalformed || (c >= 0xD800 && c <= 0xDFFF)) return false;
        }
        ++length;
        if (c > max_char) max_char = c;
    }
    return true;
}

// Writes the characters of well-formed UTF-8 text (see measure()) as Char.
template <class Char>
void decode_chars(std::string_view text, Char* out) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        if (text.size() - i >= 8 && ascii8(p + i)) {
            for (int k = 0; k < 8; ++k) out[k] = p[i + k];
            out += 8;
            i += 8;
        } else if (p[i] < 0x80) {
            *out++ = p[i++];
        } else {
            // Known well-formed: the lead byte alone says how long the sequence is.
            const std::uint32_t lead = p[i];
            std::uint32_t c;
            if (lead < 0xE0) {
                c = ((lead & 0x1F) << 6) | (p[i + 1] & 0x3F);
                i += 2;
            } else if (lead < 0xF0) {
                c = ((lead & 0x0F) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3F);
                i += 3;
            } else {
                c = ((lead & 0x07) << 18) | ((p[i + 1] & 0x3Fu) << 12) | ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3F);
                i += 4;
            }
            *out++ = static_cast<Char>(c);
        }
    }
}

}  // namespace korvo::utf8
