// Escapes: the one table of which bytes are written escaped, in a JSON string and in the
// quoted form of messages, and of what each escape letter stands for.
#pragma once

#include <array>
#include <cstddef>

namespace korvo::escapes {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// The two-character escapes of JSON: the letter after the backslash and the byte it stands
// for. Every one is read; all but the slash are also how the writer writes their byte.
struct Letter {
    char letter;
    char byte;
    bool written;
};
inline constexpr Letter kJsonLetters[] = {
    {'"', '"', true},   {'\\', '\\', true}, {'/', '/', false}, {'b', '\b', true},
    {'f', '\f', true},  {'n', '\n', true},  {'r', '\r', true}, {'t', '\t', true},
};

// How a byte is written inside a JSON string: 0 = as it is; else the letter of its
// two-character escape, or 'u' for \u00XX (the other control characters, in lower-case hex).
// Not 0 exactly for the bytes of the class bytes::kStringStop.
inline constexpr std::array<char, 256> kJson = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
    for (const Letter& l : kJsonLetters) {
        if (l.written) t[static_cast<unsigned char>(l.byte)] = l.letter;
    }
    return t;
}();

// The byte a JSON escape letter stands for, or -1 for a letter that escapes nothing (`u`
// included: it starts a \u escape, which has a code point, not a byte).
inline constexpr std::array<signed char, 256> kJsonByte = [] {
    std::array<signed char, 256> t{};
    t.fill(-1);
    for (const Letter& l : kJsonLetters) t[static_cast<unsigned char>(l.letter)] = static_cast<signed char>(l.byte);
    return t;
}();

// How many bytes byte c takes inside a JSON string.
constexpr std::size_t json_size(unsigned char c) noexcept {
    return kJson[c] == 0 ? 1 : kJson[c] == 'u' ? 6 : 2;
}

// Writes the escape of a byte whose kJson entry is not 0 at p; returns the end.
inline char* put_json(char* p, unsigned char c) noexcept {
    const char e = kJson[c];
    *p++ = '\\';
    *p++ = e;
    if (e == 'u') {
        *p++ = '0';
        *p++ = '0';
        *p++ = kHexDigits[c >> 4];
        *p++ = kHexDigits[c & 0xF];
    }
    return p;
}

// How a character is written in the quoted form of messages: the letter of its backslash
// escape, or 0 for none (other characters are written as they are or as \u{hex}).
inline constexpr std::array<char, 128> kQuoted = [] {
    std::array<char, 128> t{};
    t['"'] = '"';
    t['\\'] = '\\';
    t['\t'] = 't';
    t['\r'] = 'r';
    t['\n'] = 'n';
    t['\0'] = '0';
    return t;
}();

}  // namespace korvo::escapes
