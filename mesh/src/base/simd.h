// Sixteen bytes at a time: the few vector operations the byte scans of bytes.h are made of,
// on SSE2 (every x86-64), NEON (every aarch64), or none. With none, bytes.h keeps to its
// word-at-a-time loops, which are also what a scan is checked against (the `Words` scans).
//
// A Mask marks lanes (bytes) that hold: first() is the index of the lowest marked lane. On SSE2
// a lane is one bit (movemask); NEON has no movemask, so a lane is four bits of a 64-bit word
// (the narrowing shift that stands in for one).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define KORVO_SIMD 1
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#define KORVO_SIMD 1
#else
#define KORVO_SIMD 0
#endif

namespace korvo::simd {

#if KORVO_SIMD

struct Mask {
    std::uint64_t bits;
    explicit operator bool() const noexcept { return bits != 0; }
    Mask operator|(Mask o) const noexcept { return {bits | o.bits}; }
#if defined(__SSE2__)
    static constexpr int kLaneBits = 1;
#else
    static constexpr int kLaneBits = 4;
#endif
    // The lowest marked lane (the mask is not empty).
    int first() const noexcept { return std::countr_zero(bits) / kLaneBits; }
    // The marks of lanes `lane` (0 to 15) and up.
    Mask from(int lane) const noexcept { return {bits & ~((std::uint64_t{1} << (lane * kLaneBits)) - 1)}; }
};

#if defined(__SSE2__)

struct Bytes {
    __m128i v;
    static Bytes load(const void* p) noexcept { return {_mm_loadu_si128(static_cast<const __m128i*>(p))}; }
    static Bytes splat(unsigned char c) noexcept { return {_mm_set1_epi8(static_cast<char>(c))}; }
    // Two words as one block: `lo` the first eight lanes (its lowest byte first), `hi` the rest.
    static Bytes words(std::uint64_t lo, std::uint64_t hi) noexcept {
        return {_mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo))};
    }
    void store(void* p) const noexcept { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
    Bytes operator|(Bytes o) const noexcept { return {_mm_or_si128(v, o.v)}; }
};
inline Mask mask(__m128i m) noexcept { return {static_cast<std::uint32_t>(_mm_movemask_epi8(m))}; }
// Lanes equal to c.
inline Mask eq(Bytes a, unsigned char c) noexcept { return mask(_mm_cmpeq_epi8(a.v, Bytes::splat(c).v)); }
// Lanes below c, as unsigned bytes (c > 0).
inline Mask below(Bytes a, unsigned char c) noexcept {
    const __m128i most = Bytes::splat(static_cast<unsigned char>(c - 1)).v;
    return mask(_mm_cmpeq_epi8(_mm_max_epu8(a.v, most), most));
}
// Lanes that are not the digits '0' to '9'.
inline Mask not_digit(Bytes a) noexcept {
    const __m128i shifted = _mm_sub_epi8(a.v, Bytes::splat('0').v);  // digits become 0..9
    const __m128i nine = Bytes::splat(9).v;
    return {~static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(shifted, nine), nine))) & 0xFFFFu};
}
// Lanes with the top bit set.
inline Mask high(Bytes a) noexcept { return mask(a.v); }
// The complement of a mask over the 16 lanes.
inline Mask lanes_not(Mask m) noexcept { return {~m.bits & 0xFFFFu}; }

// Eight 16-bit characters, and the checks and narrowing the wide-text conversions need.
inline bool all_below_0x80_u16(const void* p) noexcept {
    const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
    return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80))),
                                             _mm_setzero_si128())) == 0xFFFF;
}
// Sixteen 16-bit characters below 0x100 (two loads) narrowed to sixteen bytes.
inline void narrow_u16(const void* p, void* out) noexcept {
    const auto* q = static_cast<const __m128i*>(p);
    _mm_storeu_si128(static_cast<__m128i*>(out), _mm_packus_epi16(_mm_loadu_si128(q), _mm_loadu_si128(q + 1)));
}
// Sixteen bytes widened to sixteen 16-bit characters.
inline void widen_u16(const void* p, void* out) noexcept {
    const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
    auto* o = static_cast<__m128i*>(out);
    _mm_storeu_si128(o, _mm_unpacklo_epi8(v, _mm_setzero_si128()));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi8(v, _mm_setzero_si128()));
}

// Four 32-bit characters, all below 0x80.
inline bool all_below_0x80_u32(const void* p) noexcept {
    const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
    return _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(~0x7F)), _mm_setzero_si128())) == 0xFFFF;
}
// Sixteen 32-bit characters below 0x80 (four loads) narrowed to sixteen bytes.
inline void narrow_u32(const void* p, void* out) noexcept {
    const auto* q = static_cast<const __m128i*>(p);
    const __m128i lo = _mm_packs_epi32(_mm_loadu_si128(q), _mm_loadu_si128(q + 1));
    const __m128i hi = _mm_packs_epi32(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3));
    _mm_storeu_si128(static_cast<__m128i*>(out), _mm_packus_epi16(lo, hi));
}
// Sixteen bytes widened to sixteen 32-bit characters.
inline void widen_u32(const void* p, void* out) noexcept {
    const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
    auto* o = static_cast<__m128i*>(out);
    _mm_storeu_si128(o, _mm_unpacklo_epi16(lo, zero));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi16(lo, zero));
    _mm_storeu_si128(o + 2, _mm_unpacklo_epi16(hi, zero));
    _mm_storeu_si128(o + 3, _mm_unpackhi_epi16(hi, zero));
}

// Continuation bytes of UTF-8 (0x80 to 0xBF) counted lane by lane: each lane holds up to 255,
// so a caller takes the total at least every 255 blocks. (A count per block would cost a
// population count, which x86-64's baseline has only as a library call.)
struct LaneCounts {
    __m128i lanes = _mm_setzero_si128();
    void add_continuations(Bytes b) noexcept {
        // Continuation bytes are the signed bytes below -64; a marked lane is -1.
        lanes = _mm_sub_epi8(lanes, _mm_cmplt_epi8(b.v, _mm_set1_epi8(-64)));
    }
    std::size_t take() noexcept {
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        lanes = _mm_setzero_si128();
        return static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) + static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
    }
};
// The larger byte of each lane; the largest of all lanes.
inline Bytes max(Bytes a, Bytes b) noexcept { return {_mm_max_epu8(a.v, b.v)}; }
inline unsigned char max_lane(Bytes b) noexcept {
    __m128i m = _mm_max_epu8(b.v, _mm_srli_si128(b.v, 8));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 4));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 2));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 1));
    return static_cast<unsigned char>(_mm_cvtsi128_si32(m));
}

// How many of the sixteen characters at p come before the first that is not ASCII (16 when
// none is): bytes, 16-bit or 32-bit characters.
inline int ascii_prefix_u8(const void* p) noexcept {
    const auto m = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_loadu_si128(static_cast<const __m128i*>(p))));
    return std::countr_zero(m | 0x10000u);
}
inline int ascii_prefix_u16(const void* p) noexcept {
    const auto* q = static_cast<const __m128i*>(p);
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i any = _mm_or_si128(_mm_loadu_si128(q), _mm_loadu_si128(q + 1));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(any, high), _mm_setzero_si128())) == 0xFFFF) return 16;
    const __m128i a = _mm_cmpeq_epi16(_mm_and_si128(_mm_loadu_si128(q), high), _mm_setzero_si128());
    const __m128i b = _mm_cmpeq_epi16(_mm_and_si128(_mm_loadu_si128(q + 1), high), _mm_setzero_si128());
    const auto ascii = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
    return std::countr_zero(~ascii);  // bit 16 up are clear in ascii, so set here
}
inline int ascii_prefix_u32(const void* p) noexcept {
    const auto* q = static_cast<const __m128i*>(p);
    const __m128i high = _mm_set1_epi32(~0x7F);
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(q), _mm_loadu_si128(q + 1)),
                                     _mm_or_si128(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(any, high), _mm_setzero_si128())) == 0xFFFF) return 16;
    const auto ascii = [&](int i) { return _mm_cmpeq_epi32(_mm_and_si128(_mm_loadu_si128(q + i), high), _mm_setzero_si128()); };
    const __m128i lanes = _mm_packs_epi16(_mm_packs_epi32(ascii(0), ascii(1)), _mm_packs_epi32(ascii(2), ascii(3)));
    return std::countr_zero(~static_cast<std::uint32_t>(_mm_movemask_epi8(lanes)));
}

#else  // NEON

struct Bytes {
    uint8x16_t v;
    static Bytes load(const void* p) noexcept { return {vld1q_u8(static_cast<const std::uint8_t*>(p))}; }
    static Bytes splat(unsigned char c) noexcept { return {vdupq_n_u8(c)}; }
    static Bytes words(std::uint64_t lo, std::uint64_t hi) noexcept { return {vcombine_u8(vcreate_u8(lo), vcreate_u8(hi))}; }
    void store(void* p) const noexcept { vst1q_u8(static_cast<std::uint8_t*>(p), v); }
    Bytes operator|(Bytes o) const noexcept { return {vorrq_u8(v, o.v)}; }
};
inline Mask mask(uint8x16_t m) noexcept {
    const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(m), 4);
    return {vget_lane_u64(vreinterpret_u64_u8(nibbles), 0)};
}
inline Mask eq(Bytes a, unsigned char c) noexcept { return mask(vceqq_u8(a.v, vdupq_n_u8(c))); }
inline Mask below(Bytes a, unsigned char c) noexcept { return mask(vcltq_u8(a.v, vdupq_n_u8(c))); }
inline Mask not_digit(Bytes a) noexcept { return mask(vcgtq_u8(vsubq_u8(a.v, vdupq_n_u8('0')), vdupq_n_u8(9))); }
inline Mask high(Bytes a) noexcept { return mask(vcgeq_u8(a.v, vdupq_n_u8(0x80))); }
inline Mask lanes_not(Mask m) noexcept { return {~m.bits}; }

inline bool all_below_0x80_u16(const void* p) noexcept {
    return vmaxvq_u16(vld1q_u16(static_cast<const std::uint16_t*>(p))) < 0x80;
}
inline void narrow_u16(const void* p, void* out) noexcept {
    const auto* q = static_cast<const std::uint16_t*>(p);
    vst1q_u8(static_cast<std::uint8_t*>(out), vcombine_u8(vmovn_u16(vld1q_u16(q)), vmovn_u16(vld1q_u16(q + 8))));
}
inline void widen_u16(const void* p, void* out) noexcept {
    const uint8x16_t v = vld1q_u8(static_cast<const std::uint8_t*>(p));
    auto* o = static_cast<std::uint16_t*>(out);
    vst1q_u16(o, vmovl_u8(vget_low_u8(v)));
    vst1q_u16(o + 8, vmovl_u8(vget_high_u8(v)));
}
inline bool all_below_0x80_u32(const void* p) noexcept {
    return vmaxvq_u32(vld1q_u32(static_cast<const std::uint32_t*>(p))) < 0x80;
}
inline void narrow_u32(const void* p, void* out) noexcept {
    const auto* q = static_cast<const std::uint32_t*>(p);
    const uint16x8_t lo = vcombine_u16(vmovn_u32(vld1q_u32(q)), vmovn_u32(vld1q_u32(q + 4)));
    const uint16x8_t hi = vcombine_u16(vmovn_u32(vld1q_u32(q + 8)), vmovn_u32(vld1q_u32(q + 12)));
    vst1q_u8(static_cast<std::uint8_t*>(out), vcombine_u8(vmovn_u16(lo), vmovn_u16(hi)));
}
struct LaneCounts {
    uint8x16_t lanes = vdupq_n_u8(0);
    void add_continuations(Bytes b) noexcept {
        const uint8x16_t cont = vandq_u8(vcgeq_u8(b.v, vdupq_n_u8(0x80)), vcltq_u8(b.v, vdupq_n_u8(0xC0)));
        lanes = vsubq_u8(lanes, cont);
    }
    std::size_t take() noexcept {
        const std::size_t total = vaddlvq_u8(lanes);
        lanes = vdupq_n_u8(0);
        return total;
    }
};
inline Bytes max(Bytes a, Bytes b) noexcept { return {vmaxq_u8(a.v, b.v)}; }
inline unsigned char max_lane(Bytes b) noexcept { return vmaxvq_u8(b.v); }
inline int first_or_16(uint8x16_t marked) noexcept {
    const Mask m = mask(marked);
    return m ? m.first() : 16;
}
inline int ascii_prefix_u8(const void* p) noexcept {
    return first_or_16(vcgeq_u8(vld1q_u8(static_cast<const std::uint8_t*>(p)), vdupq_n_u8(0x80)));
}
inline int ascii_prefix_u16(const void* p) noexcept {
    const auto* q = static_cast<const std::uint16_t*>(p);
    const uint16x8_t limit = vdupq_n_u16(0x80);
    return first_or_16(vcombine_u8(vmovn_u16(vcgeq_u16(vld1q_u16(q), limit)), vmovn_u16(vcgeq_u16(vld1q_u16(q + 8), limit))));
}
inline int ascii_prefix_u32(const void* p) noexcept {
    const auto* q = static_cast<const std::uint32_t*>(p);
    const uint32x4_t limit = vdupq_n_u32(0x80);
    const auto lanes = [&](int i) { return vmovn_u32(vcgeq_u32(vld1q_u32(q + i), limit)); };
    const uint16x8_t lo = vcombine_u16(lanes(0), lanes(4)), hi = vcombine_u16(lanes(8), lanes(12));
    return first_or_16(vcombine_u8(vmovn_u16(lo), vmovn_u16(hi)));
}
inline void widen_u32(const void* p, void* out) noexcept {
    const uint8x16_t v = vld1q_u8(static_cast<const std::uint8_t*>(p));
    const uint16x8_t lo = vmovl_u8(vget_low_u8(v)), hi = vmovl_u8(vget_high_u8(v));
    auto* o = static_cast<std::uint32_t*>(out);
    vst1q_u32(o, vmovl_u16(vget_low_u16(lo)));
    vst1q_u32(o + 4, vmovl_u16(vget_high_u16(lo)));
    vst1q_u32(o + 8, vmovl_u16(vget_low_u16(hi)));
    vst1q_u32(o + 12, vmovl_u16(vget_high_u16(hi)));
}

#endif

#endif  // KORVO_SIMD

}  // namespace korvo::simd
