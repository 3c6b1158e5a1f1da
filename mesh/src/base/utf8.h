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

}  // namespace korvo::utf8
