// Bytes: word loads, the one table of byte classes that every reader, writer and quoter asks,
// and the runs they skip a word at a time. A faster scan (SIMD, with this as its portable
// fallback) goes here and serves them all.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace korvo::bytes {

// The word-at-a-time scans read a text's first byte as a word's lowest.
static_assert(std::endian::native == std::endian::little, "the scans assume a little-endian machine");

inline std::uint64_t load8(const void* p) noexcept {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}
inline std::uint32_t load4(const void* p) noexcept {
    std::uint32_t x;
    std::memcpy(&x, p, 4);
    return x;
}

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = kOnes * 0x80;

// The classes a byte belongs to, as bits of kClass; a byte may be in several.
enum Class : std::uint8_t {
    kStringStop = 1 << 0,   // ends a plain run inside a JSON string: '"', '\\' and 0x00-0x1F
                            // (exactly the bytes a JSON string writes escaped)
    kSpace = 1 << 1,        // JSON white space: space, tab, line feed, carriage return
    kDigit = 1 << 2,        // '0' to '9'
    kHexDigit = 1 << 3,     // '0' to '9', 'a' to 'f', 'A' to 'F'
    kQuotedPlain = 1 << 4,  // written as it is in the quoted form: printable ASCII but '"' and '\\'
    kNonAscii = 1 << 5,     // 0x80 to 0xFF
};

inline constexpr std::array<std::uint8_t, 256> kClass = [] {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t k = 0;
        if (c < 0x20 || c == '"' || c == '\\') k |= kStringStop;
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') k |= kSpace;
        if (c >= '0' && c <= '9') k |= kDigit | kHexDigit;
        if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) k |= kHexDigit;
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') k |= kQuotedPlain;
        if (c >= 0x80) k |= kNonAscii;
        t[static_cast<std::size_t>(c)] = k;
    }
    return t;
}();

constexpr bool is(unsigned char c, Class k) noexcept { return (kClass[c] & k) != 0; }
constexpr bool is(char c, Class k) noexcept { return is(static_cast<unsigned char>(c), k); }

// The value of a hex digit, or -1.
constexpr int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// ---- runs -------------------------------------------------------------------------------

// Past a run of characters below 0x80: bytes, or the 2- and 4-byte characters a wide text is
// held in. Bytes go 32 to a check while nothing stops them, then eight at a time; wider
// characters eight to a check.
template <class Char>
inline const Char* ascii_run(const Char* p, const Char* end) noexcept {
    if constexpr (sizeof(Char) == 1) {
        while (end - p >= 32) {
            std::uint64_t w[4];
            std::memcpy(w, p, 32);
            if (((w[0] | w[1] | w[2] | w[3]) & kHighs) != 0) break;
            p += 32;
        }
        while (end - p >= 8) {
            const std::uint64_t high = load8(p) & kHighs;
            if (high != 0) return p + std::countr_zero(high) / 8;
            p += 8;
        }
    } else {
        while (end - p >= 8) {
            std::uint32_t any = 0;
            for (int k = 0; k < 8; ++k) any |= static_cast<std::uint32_t>(p[k]);
            if (any >= 0x80) break;
            p += 8;
        }
    }
    while (p != end && static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Char>>(*p)) < 0x80) ++p;
    return p;
}

// True when every byte is below 0x80 (the text is ASCII, its own UTF-8 and its own Latin-1).
inline bool all_ascii(const char* p, const char* end) noexcept { return ascii_run(p, end) == end; }

// Past the bytes of a JSON string that need no attention (everything but kStringStop), eight
// at a time while it can; ORs the bytes passed into `high` as far as their top bit goes, so the
// caller knows whether the run held anything but ASCII.
inline const char* string_run(const char* p, const char* end, unsigned char& high) noexcept {
    std::uint64_t seen = 0;
    while (end - p >= 8) {
        const std::uint64_t x = load8(p);
        const std::uint64_t q = x ^ (kOnes * '"');
        const std::uint64_t b = x ^ (kOnes * '\\');
        // Exact as a yes/no: some byte is below 0x20, or equals the quote or the backslash.
        if ((((x - kOnes * 0x20) & ~x) | ((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighs) break;
        seen |= x;
        p += 8;
    }
    if ((seen & kHighs) != 0) high |= 0x80;
    while (p != end && !is(*p, kStringStop)) high |= static_cast<unsigned char>(*p++);
    return p;
}

// Past a run of decimal digits, eight at a time while it can.
inline const char* digit_run(const char* p, const char* end) noexcept {
    while (end - p >= 8) {
        const std::uint64_t x = load8(p);
        // A digit byte (0x30..0x39) has the high nibble 3, and still has it after adding 6. A
        // carry out of a byte comes only from a non-digit and only spoils the bytes after it,
        // so the lowest flagged byte is the first non-digit.
        const std::uint64_t flagged =
            ((x & (kOnes * 0xF0)) ^ (kOnes * 0x30)) | (((x + kOnes * 0x06) & (kOnes * 0xF0)) ^ (kOnes * 0x30));
        if (flagged != 0) return p + std::countr_zero(flagged) / 8;
        p += 8;
    }
    while (p != end && is(*p, kDigit)) ++p;
    return p;
}

// Past a run of spaces (0x20 only: indentation), eight at a time while it can.
inline const char* space_run(const char* p, const char* end) noexcept {
    while (end - p >= 8) {
        const std::uint64_t x = load8(p) ^ (kOnes * ' ');
        if (x != 0) return p + std::countr_zero(x) / 8;
        p += 8;
    }
    while (p != end && *p == ' ') ++p;
    return p;
}

}  // namespace korvo::bytes
