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

#include "base/simd.h"

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

// Copies n bytes, exactly; short ones without a call, as two words (or blocks) that overlap.
[[gnu::always_inline]] inline void copy(char* to, const char* from, std::size_t n) noexcept {
    if (n > 16) {
        if (n > 32) {
            std::memcpy(to, from, n);
            return;
        }
        char a[16], b[16];
        std::memcpy(a, from, 16);
        std::memcpy(b, from + n - 16, 16);
        std::memcpy(to, a, 16);
        std::memcpy(to + n - 16, b, 16);
    } else if (n >= 8) {
        const std::uint64_t a = load8(from), b = load8(from + n - 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
        const std::uint32_t a = load4(from), b = load4(from + n - 4);
        std::memcpy(to, &a, 4);
        std::memcpy(to + n - 4, &b, 4);
    } else {
        for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
    }
}

// Asks for the text a little ahead of p to be on its way into the cache. A text just handed over
// (a fresh str) is cold, and a walk whose next load depends on the byte before it runs at half
// its speed over one. The address is only computed, never used to reach memory, so it may lie
// past the text's end.
inline void prefetch_ahead(const void* p) noexcept {
    constexpr std::uintptr_t kAhead = 1024;
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + kAhead));
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
// Each run has two ways of being scanned: sixteen bytes at a time with the vector operations of
// simd.h where the machine has them (the default), or a word at a time; the tests and a fuzz
// harness hold the two to the same answers.

enum class Scan : unsigned char { Words, Vector };
inline constexpr Scan kScan = KORVO_SIMD ? Scan::Vector : Scan::Words;

// Past a run of characters below 0x80: bytes, or the 2- and 4-byte characters a wide text is
// held in.
template <class Char, Scan S = kScan>
inline const Char* ascii_run(const Char* p, const Char* end) noexcept {
#if KORVO_SIMD
    if constexpr (S == Scan::Vector) {
        if constexpr (sizeof(Char) == 1) {
            while (end - p >= 16) {
                const simd::Mask m = simd::high(simd::Bytes::load(p));
                if (m) return p + m.first();
                p += 16;
            }
        } else if constexpr (sizeof(Char) == 2) {
            while (end - p >= 8 && simd::all_below_0x80_u16(p)) p += 8;
        } else {
            while (end - p >= 4 && simd::all_below_0x80_u32(p)) p += 4;
        }
    }
#endif
    if constexpr (sizeof(Char) == 1) {
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

// Copies n bytes, exactly, and tells whether they were all ASCII: one pass for a text that is
// mostly copied as it is. Sixteen at a time and a last block that overlaps the one before it,
// or two words, or a byte at a time.
template <Scan S = kScan>
inline bool copy_if_ascii(char* to, const char* from, std::size_t n) noexcept {
#if KORVO_SIMD
    if constexpr (S == Scan::Vector) {
        if (n >= 16) {
            simd::Bytes seen = simd::Bytes::splat(0);
            std::size_t i = 0;
            for (; n - i >= 16; i += 16) {
                const simd::Bytes b = simd::Bytes::load(from + i);
                b.store(to + i);
                seen = seen | b;
            }
            if (i != n) {
                const simd::Bytes b = simd::Bytes::load(from + n - 16);
                b.store(to + n - 16);
                seen = seen | b;
            }
            return !simd::high(seen);
        }
    }
#endif
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; n - i >= 8; i += 8) {
        const std::uint64_t x = load8(from + i);
        std::memcpy(to + i, &x, 8);
        seen |= x;
    }
    if (i != n && n >= 8) {
        const std::uint64_t x = load8(from + n - 8);
        std::memcpy(to + n - 8, &x, 8);
        seen |= x;
    } else {
        for (; i != n; ++i) seen |= static_cast<unsigned char>(to[i] = from[i]);
    }
    return (seen & kHighs) == 0;
}

namespace detail {
#if KORVO_SIMD
// The lanes that end a plain run inside a JSON string (kStringStop).
inline simd::Mask string_stops(simd::Bytes b) noexcept {
    return simd::eq(b, '"') | simd::eq(b, '\\') | simd::below(b, 0x20);
}
#endif

// string_run below; with `kHigh` false the bytes passed are not looked at.
template <Scan S, bool kHigh>
inline const char* string_run(const char* p, const char* end, unsigned char* high) noexcept {
#if KORVO_SIMD
    if constexpr (S == Scan::Vector) {
        simd::Bytes seen = simd::Bytes::splat(0);
        while (end - p >= 16) {
            const simd::Bytes b = simd::Bytes::load(p);
            const simd::Mask stop = string_stops(b);
            if (stop) {
                if constexpr (kHigh) {
                    // Only the lanes before the stop were passed.
                    const std::uint64_t before = (stop.bits & (0 - stop.bits)) - 1;
                    if ((simd::high(b).bits & before) != 0) *high |= 0x80;
                    if (simd::high(seen)) *high |= 0x80;
                }
                return p + stop.first();
            }
            if constexpr (kHigh) seen = seen | b;
            p += 16;
        }
        if constexpr (kHigh) {
            if (simd::high(seen)) *high |= 0x80;
        }
    }
#endif
    // Exact as a yes/no: some byte of x is below 0x20, or equals the quote or the backslash.
    const auto stops = [](std::uint64_t x) {
        const std::uint64_t q = x ^ (kOnes * '"');
        const std::uint64_t b = x ^ (kOnes * '\\');
        return ((((x - kOnes * 0x20) & ~x) | ((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighs) != 0;
    };
    std::uint64_t seen = 0;
    const auto left = end - p;
    if (left >= 4 && left < 16) {
        // A short text (a name, a key) is settled by two words that overlap, with no loop.
        std::uint64_t x, y;
        if (left >= 8) {
            x = load8(p);
            y = load8(end - 8);
        } else {
            x = y = load4(p) | (std::uint64_t{load4(end - 4)} << 32);
        }
        bool plain;
#if KORVO_SIMD
        if constexpr (S == Scan::Vector) {
            plain = !string_stops(simd::Bytes::words(x, y));
        } else {
            plain = !stops(x) && !stops(y);
        }
#else
        plain = !stops(x) && !stops(y);
#endif
        if (plain) {
            if constexpr (kHigh) {
                if (((x | y) & kHighs) != 0) *high |= 0x80;
            }
            return end;
        }
    }
    while (end - p >= 8) {
        const std::uint64_t x = load8(p);
        if (stops(x)) break;
        seen |= x;
        p += 8;
    }
    if constexpr (kHigh) {
        if ((seen & kHighs) != 0) *high |= 0x80;
        while (p != end && !is(*p, kStringStop)) *high |= static_cast<unsigned char>(*p++);
    } else {
        while (p != end && !is(*p, kStringStop)) ++p;
    }
    return p;
}
}  // namespace detail

// Past the bytes of a JSON string that need no attention (everything but kStringStop); ORs the
// bytes passed into `high` as far as their top bit goes, so the caller knows whether the run
// held anything but ASCII.
template <Scan S = kScan>
inline const char* string_run(const char* p, const char* end, unsigned char& high) noexcept {
    return detail::string_run<S, true>(p, end, &high);
}
// The same for a text known to be well-formed UTF-8, whose bytes need no look.
template <Scan S = kScan>
inline const char* string_run(const char* p, const char* end) noexcept {
    return detail::string_run<S, false>(p, end, nullptr);
}

// The same inside a text [begin, end) known to be well-formed UTF-8: with sixteen bytes or
// more in all, a tail shorter than a block is read as the text's last sixteen bytes, so a string
// that closes near the end takes no byte loop.
template <Scan S = kScan>
[[gnu::always_inline]] inline const char* string_run_within(const char* begin, const char* p, const char* end) noexcept {
#if KORVO_SIMD
    if constexpr (S == Scan::Vector) {
        if (end - begin >= 16) {
            for (; end - p >= 16; p += 16) {
                if (const simd::Mask stop = detail::string_stops(simd::Bytes::load(p))) return p + stop.first();
            }
            if (p == end) return p;
            const char* last = end - 16;
            const simd::Mask stop = detail::string_stops(simd::Bytes::load(last)).from(static_cast<int>(p - last));
            return stop ? last + stop.first() : end;
        }
    }
#endif
    (void)begin;
    return string_run<S>(p, end);
}

// Past a run of decimal digits.
template <Scan S = kScan>
inline const char* digit_run(const char* p, const char* end) noexcept {
#if KORVO_SIMD
    if constexpr (S == Scan::Vector) {
        while (end - p >= 16) {
            const simd::Mask m = simd::not_digit(simd::Bytes::load(p));
            if (m) return p + m.first();
            p += 16;
        }
    }
#endif
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

// Past a run of JSON white space.
template <Scan S = kScan>
inline const char* space_run(const char* p, const char* end) noexcept {
#if KORVO_SIMD
    if constexpr (S == Scan::Vector) {
        while (end - p >= 16) {
            const simd::Bytes b = simd::Bytes::load(p);
            const simd::Mask other =
                simd::lanes_not(simd::eq(b, ' ') | simd::eq(b, '\n') | simd::eq(b, '\r') | simd::eq(b, '\t'));
            if (other) return p + other.first();
            p += 16;
        }
    }
#endif
    for (;;) {
        // Indentation comes in runs of spaces: eight at a time.
        while (end - p >= 8) {
            const std::uint64_t x = load8(p) ^ (kOnes * ' ');
            if (x != 0) {
                p += std::countr_zero(x) / 8;
                break;
            }
            p += 8;
        }
        if (p == end || !is(*p, kSpace)) return p;
        ++p;
    }
}

}  // namespace korvo::bytes
