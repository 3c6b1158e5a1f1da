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

}  // namespace korvo::utf8
