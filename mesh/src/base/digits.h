// Decimal digits of integers: the one printer of numbers into text (JSON integers, positions
// in messages, timestamps, float exponents).
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvo::digits {

// The most digits an unsigned 64-bit value has.
inline constexpr std::size_t kMaxUint64 = 20;

namespace detail {
inline constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline constexpr std::uint64_t kPow10[] = {
    1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL, 100000000ULL,
    1000000000ULL, 10000000000ULL, 100000000000ULL, 1000000000000ULL, 10000000000000ULL,
    100000000000000ULL, 1000000000000000ULL, 10000000000000000ULL, 100000000000000000ULL,
    1000000000000000000ULL, 10000000000000000000ULL,
};

inline void put_pair(char* p, std::uint32_t two) noexcept { std::memcpy(p, kPairs + 2 * two, 2); }

// The eight digits of v (below 10^8, zero-padded) as eight ASCII bytes in text order, made
// with a few multiplications on the whole word: each step splits every lane of the word in
// two (four digits, then two, then one), the higher part into the lower half of the lane.
inline std::uint64_t eight_digits(std::uint32_t v) noexcept {
    const std::uint64_t hi4 = (std::uint64_t{v} * 109951163) >> 40;  // v / 10^4
    const std::uint64_t x = hi4 | ((v - hi4 * 10000) << 32);
    const std::uint64_t hi2 = ((x * 5243) >> 19) & 0x0000007F0000007FULL;  // each lane / 100
    const std::uint64_t y = hi2 | ((x - hi2 * 100) << 16);
    const std::uint64_t hi1 = ((y * 103) >> 10) & 0x000F000F000F000FULL;  // each lane / 10
    const std::uint64_t z = hi1 | ((y - hi1 * 10) << 8);
    std::uint64_t text = z + 0x3030303030303030ULL;
    if constexpr (std::endian::native == std::endian::big) text = std::byteswap(text);
    return text;
}

// Writes the low `width` digits of v (below 10^9, so 32-bit arithmetic serves), zero-padded,
// ending at `end`, two at a time.
inline void put_small(char* end, std::uint32_t v, int width) noexcept {
    while (width >= 2) {
        end -= 2;
        put_pair(end, v % 100);
        v /= 100;
        width -= 2;
    }
    if (width == 1) *--end = static_cast<char>('0' + v % 10);
}

#if defined(__SSE2__)
// The sixteen digits of v (below 10^16, zero-padded) written at p, both halves of eight at once:
// each half is split into two fours (by 10^4, in 32-bit lanes), every four set in four 16-bit
// lanes, and each lane divided by its own power of ten (a multiplication by a reciprocal, then
// one by a power of two that shifts right); what is left over is each lane's digit.
inline void put_sixteen(char* p, std::uint64_t v) noexcept {
    const std::uint64_t high = v / 100000000;
    const __m128i halves = _mm_set_epi64x(static_cast<long long>(v - high * 100000000), static_cast<long long>(high));
    const __m128i fours_high = _mm_srli_epi64(_mm_mul_epu32(halves, _mm_set1_epi64x(0xD1B71759)), 45);  // / 10^4
    const __m128i fours_low = _mm_sub_epi32(halves, _mm_mul_epu32(fours_high, _mm_set1_epi64x(10000)));
    // 16-bit lanes: the four fours, each times four (the reciprocals below expect that), in order
    const __m128i fours = _mm_slli_epi16(_mm_packs_epi32(_mm_or_si128(fours_high, _mm_slli_epi64(fours_low, 32)), _mm_setzero_si128()), 2);
    const __m128i pairs = _mm_unpacklo_epi16(fours, fours);
    const auto digits8 = [](__m128i four) {  // one four in every lane of a half: a, ab, abc, abcd, then digits
        const __m128i by_power = _mm_mulhi_epu16(four, _mm_set_epi16(-32768, 13108, 5243, 8389, -32768, 13108, 5243, 8389));
        const __m128i shifted = _mm_mulhi_epu16(by_power, _mm_set_epi16(-32768, 1 << 13, 1 << 11, 1 << 7, -32768, 1 << 13, 1 << 11, 1 << 7));
        return _mm_sub_epi16(shifted, _mm_slli_epi64(_mm_mullo_epi16(shifted, _mm_set1_epi16(10)), 16));
    };
    const __m128i text = _mm_add_epi8(_mm_packus_epi16(digits8(_mm_unpacklo_epi32(pairs, pairs)), digits8(_mm_unpackhi_epi32(pairs, pairs))),
                                      _mm_set1_epi8('0'));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), text);
}
#endif

// Writes the `width` digits of n (it has at most that many), zero-padded, ending at `end`:
// sixteen at a time where the vector form above serves, else eight at a time split off with
// one 64-bit division.
inline void put_backwards(char* end, std::uint64_t n, int width) noexcept {
#if defined(__SSE2__)
    if (width >= 16) {
        put_sixteen(end - 16, width == 16 ? n : n % 10000000000000000ULL);
        n /= 10000000000000000ULL;
        end -= 16;
        width -= 16;
    }
#endif
    while (width >= 8) {
        const std::uint64_t text = eight_digits(static_cast<std::uint32_t>(n % 100000000));
        std::memcpy(end - 8, &text, 8);
        n /= 100000000;
        end -= 8;
        width -= 8;
    }
    put_small(end, static_cast<std::uint32_t>(n), width);
}
}  // namespace detail

// How many decimal digits n has (1 for 0): from its bit length, which leaves two candidates.
constexpr int count(std::uint64_t n) noexcept {
    const int t = (std::bit_width(n | 1) * 1233) >> 12;  // floor(bit_width * log10(2))
    return t + (n >= detail::kPow10[t] ? 1 : 0) + (n == 0 ? 1 : 0);
}

// Writes n in decimal at p and returns the end of it (at most kMaxUint64 bytes).
inline char* put(char* p, std::uint64_t n) noexcept {
    if (n < 10) {
        *p = static_cast<char>('0' + n);
        return p + 1;
    }
    if (n < 100) {
        detail::put_pair(p, static_cast<std::uint32_t>(n));
        return p + 2;
    }
    const int width = count(n);
    char* const end = p + width;
    // Eight digits at a time from the end, then the one to eight that lead them.
    const int lead = (width - 1) % 8 + 1;
    std::uint64_t rest = n;
    char* at = end;
    while (at - p > lead) {
        const std::uint64_t text = detail::eight_digits(static_cast<std::uint32_t>(rest % 100000000));
        rest /= 100000000;
        at -= 8;
        std::memcpy(at, &text, 8);
    }
    if (lead == 8) {
        const std::uint64_t text = detail::eight_digits(static_cast<std::uint32_t>(rest));
        std::memcpy(p, &text, 8);
    } else {
        detail::put_small(p + lead, static_cast<std::uint32_t>(rest), lead);
    }
    return end;
}
// A signed value: its sign, then its magnitude.
inline char* put(char* p, std::int64_t n) noexcept {
    if (n >= 0) return put(p, static_cast<std::uint64_t>(n));
    *p++ = '-';
    return put(p, std::uint64_t{0} - static_cast<std::uint64_t>(n));
}

// Writes n in exactly `width` digits, zero-padded (n has at most that many).
inline void put_fixed(char* p, std::uint64_t n, int width) noexcept { detail::put_backwards(p + width, n, width); }

// ---- reading ----------------------------------------------------------------------------

namespace detail {
// The value of eight decimal digits held as a word, the first in its lowest byte (a zero byte
// reads as the digit 0): pairs, then fours, then the eight are joined by multiplications on
// the whole word.
inline std::uint32_t read_word(std::uint64_t x) noexcept {
    x = (x & 0x0F0F0F0F0F0F0F0FULL) * 2561 >> 8;
    x = (x & 0x00FF00FF00FF00FFULL) * 6553601 >> 16;
    return static_cast<std::uint32_t>((x & 0x0000FFFF0000FFFFULL) * 42949672960001ULL >> 32);
}
inline std::uint64_t load(const char* p) noexcept {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    if constexpr (std::endian::native == std::endian::big) x = std::byteswap(x);
    return x;
}
}  // namespace detail

// How many of the eight bytes of x (the text's first in its lowest byte, as load() gives them)
// lead as digits, 0 to 8. A byte is a digit when its high half is 3 and stays 3 with 6 added;
// the only carry the addition makes comes out of a byte that is no digit, into those after it.
inline unsigned leading(std::uint64_t x) noexcept {
    constexpr std::uint64_t kHigh = 0xF0F0F0F0F0F0F0F0ULL, kThrees = 0x3030303030303030ULL;
    const std::uint64_t off = ((x & kHigh) ^ kThrees) | (((x + 0x0606060606060606ULL) & kHigh) ^ kThrees);
    return off == 0 ? 8 : static_cast<unsigned>(std::countr_zero(off)) / 8;
}

// The value of the first k (1 to 8) bytes of x, all digits: moved to the word's top, so that the
// zeros shifted in below them read as leading zeros.
inline std::uint32_t first(std::uint64_t x, unsigned k) noexcept { return detail::read_word(x << (8 * (8 - k))); }

// The value of the decimal digits [p, end) (at most 19 of them) after the value w has: eight
// at a time, and the last few in one more word when the text goes on for eight bytes from
// them (`limit`, the text's end).
inline std::uint64_t read(const char* p, const char* end, const char* limit, std::uint64_t w = 0) noexcept {
    for (; end - p >= 8; p += 8) w = w * 100000000 + detail::read_word(detail::load(p));
    const auto k = static_cast<unsigned>(end - p);
    if (k == 0) return w;
    if (limit - p >= 8) {
        // The k digits lead the word that starts at them.
        return w * detail::kPow10[k] + first(detail::load(p), k);
    }
    for (; p != end; ++p) w = w * 10 + static_cast<std::uint64_t>(*p - '0');
    return w;
}

// Appends n in decimal.
template <std::integral Int>
void append(std::string& out, Int n) {
    char buf[kMaxUint64 + 1];
    char* end;
    if constexpr (std::is_signed_v<Int>) {
        end = put(buf, static_cast<std::int64_t>(n));
    } else {
        end = put(buf, static_cast<std::uint64_t>(n));
    }
    out.append(buf, static_cast<std::size_t>(end - buf));
}

}  // namespace korvo::digits
