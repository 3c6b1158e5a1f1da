// UTF-8: the one decoder (its policy says what it accepts), the one encoder, and what is built
// on them: checking texts, and converting to and from the fixed-width characters a str holds
// (1, 2 or 4 bytes each), one routine for every width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace korvo::utf8 {

// What decode() returns for a byte that starts no sequence its policy accepts; no code point
// has it.
inline constexpr char32_t kMalformed = 0x110000;

enum class Policy : unsigned char {
    // Well-formed UTF-8 only: shortest forms, no surrogates, nothing above U+10FFFF.
    Strict,
    // As Strict, but a surrogate encoded in three bytes decodes as itself: valid UTF-8 has
    // none, but a caller that shows text wants to show them.
    Show,
    // Text already known to be well-formed: nothing is checked.
    Trusted,
};

// Decodes the character at p (p < end) and moves p past it. A byte that starts no sequence the
// policy accepts (a stray continuation byte, a truncated or overlong sequence, a value above
// U+10FFFF, under Strict a surrogate) is consumed alone as kMalformed.
template <Policy P>
inline char32_t decode(const unsigned char*& p, const unsigned char* end) noexcept {
    const std::uint32_t c = p[0];
    if (c < 0x80) {
        ++p;
        return c;
    }
    if constexpr (P == Policy::Trusted) {
        (void)end;
        if (c < 0xE0) {
            const char32_t cp = ((c & 0x1F) << 6) | (p[1] & 0x3Fu);
            p += 2;
            return cp;
        }
        if (c < 0xF0) {
            const char32_t cp = ((c & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
            p += 3;
            return cp;
        }
        const char32_t cp = ((c & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
        p += 4;
        return cp;
    } else {
        const auto left = end - p;
        const auto cont = [&](int k) { return (p[k] & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF) {
            if (left >= 2 && cont(1)) {
                const char32_t cp = ((c & 0x1F) << 6) | (p[1] & 0x3Fu);
                p += 2;
                return cp;
            }
        } else if (c >= 0xE0 && c <= 0xEF) {
            // E0 must not be overlong; ED would be a surrogate.
            if (left >= 3 && cont(1) && cont(2) && (c != 0xE0 || p[1] >= 0xA0) &&
                (P == Policy::Show || c != 0xED || p[1] <= 0x9F)) {
                const char32_t cp = ((c & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
                p += 3;
                return cp;
            }
        } else if (c >= 0xF0 && c <= 0xF4) {
            // F0 must not be overlong; F4 must stay at or below U+10FFFF.
            if (left >= 4 && cont(1) && cont(2) && cont(3) && (c != 0xF0 || p[1] >= 0x90) && (c != 0xF4 || p[1] <= 0x8F)) {
                const char32_t cp = ((c & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
                p += 4;
                return cp;
            }
        }
        ++p;
        return kMalformed;
    }
}

// Calls visit(cp) for each character of `text` in turn; false at the first byte the policy
// refuses.
template <Policy P, class Visit>
bool for_each(std::string_view text, Visit&& visit) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p != end) {
        const char32_t cp = decode<P>(p, end);
        if (cp == kMalformed) return false;
        visit(cp);
    }
    return true;
}

// Well-formed UTF-8 (Policy::Strict).
bool valid(const unsigned char* p, const unsigned char* end) noexcept;
inline bool valid(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    return valid(p, p + text.size());
}

// True when every byte is below 0x80 (the text is ASCII, its own UTF-8 and its own Latin-1).
inline bool ascii(std::string_view text) noexcept { return bytes::all_ascii(text.data(), text.data() + text.size()); }

// ---- encoding -------------------------------------------------------------------------

// Writes the UTF-8 form of a code point (at most U+10FFFF) at `out`; returns its end.
inline char* encode(char32_t cp, char* out) noexcept {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// Appends the UTF-8 form of a code point.
inline void append(std::string& out, char32_t cp) {
    char buf[4];
    out.append(buf, static_cast<std::size_t>(encode(cp, buf) - buf));
}

// ---- wide characters ------------------------------------------------------------------
// Text held as an array of fixed-width characters (Char: 1, 2 or 4 bytes, as the interpreter
// keeps a str) to and from UTF-8, with runs of ASCII moved sixteen at a time.

inline constexpr std::size_t kNotUtf8 = static_cast<std::size_t>(-1);

// Copies the run of ASCII characters at p into `out` as bytes, sixteen at a time while it can;
// returns where the run ends (`out` moved past what was written). Sixteen characters are
// written out (room for max_encoded_size of them is there) and the pointers moved by as many as
// were ASCII.
template <class Char>
inline const Char* copy_ascii(const Char* p, const Char* end, char*& out) noexcept {
#if KORVO_SIMD
    while (end - p >= 16) {
        bytes::prefetch_ahead(p);
        int ascii;
        if constexpr (sizeof(Char) == 1) {
            ascii = simd::ascii_prefix_u8(p);
            simd::Bytes::load(p).store(out);
        } else if constexpr (sizeof(Char) == 2) {
            ascii = simd::ascii_prefix_u16(p);
            simd::narrow_u16(p, out);
        } else {
            ascii = simd::ascii_prefix_u32(p);
            simd::narrow_u32(p, out);
        }
        p += ascii;
        out += ascii;
        if (ascii != 16) return p;
    }
#endif
    const Char* run = bytes::ascii_run(p, end);
    for (; p != run; ++p) *out++ = static_cast<char>(*p);
    return p;
}

// Widens the run of ASCII bytes at p into `out` as Char, sixteen at a time while it can and the
// output has room for sixteen more (`out_end`); returns where the run ends (`out` moved past
// what was written).
template <class Char>
inline const unsigned char* widen_ascii(const unsigned char* p, const unsigned char* end, Char*& out,
                                        const Char* out_end) noexcept {
#if KORVO_SIMD
    while (end - p >= 16 && out_end - out >= 16) {
        const int ascii = simd::ascii_prefix_u8(p);
        if constexpr (sizeof(Char) == 1) {
            simd::Bytes::load(p).store(out);
        } else if constexpr (sizeof(Char) == 2) {
            simd::widen_u16(p, out);
        } else {
            simd::widen_u32(p, out);
        }
        p += ascii;
        out += ascii;
        if (ascii != 16) return p;
    }
#endif
    (void)out_end;
    const unsigned char* run = bytes::ascii_run(p, end);
    for (; p != run; ++p) *out++ = *p;
    return p;
}

// At most how many UTF-8 bytes `count` characters of type Char take.
template <class Char>
constexpr std::size_t max_encoded_size(std::size_t count) noexcept {
    return count * (sizeof(Char) == 1 ? 2 : sizeof(Char) == 2 ? 3 : 4);
}

// Writes the UTF-8 form of `count` characters to `out` (room for max_encoded_size) and returns
// its size; kNotUtf8 at a surrogate, which has no UTF-8 form.
template <class Char>
std::size_t encode_chars(const Char* chars, std::size_t count, char* out) noexcept {
    char* const start = out;
    const Char* p = chars;
    const Char* const end = chars + count;
    while (p != end) {
        p = copy_ascii(p, end, out);
        // Characters beyond ASCII come in runs (a word of another script): one at a time until
        // the next ASCII one.
        while (p != end && static_cast<char32_t>(*p) >= 0x80) {
            const auto c = static_cast<char32_t>(*p++);
            if (c - 0xD800u < 0x800u) return kNotUtf8;
            out = encode(c, out);
        }
    }
    return static_cast<std::size_t>(out - start);
}

// What a str of well-formed UTF-8 text needs: its length in characters, and the largest
// character its kind must hold (0 for ASCII, then 0xFF, 0xFFFF or 0x10FFFF: the first byte of the
// widest sequence tells which). One pass, sixteen bytes at a time, nothing checked.
struct Shape {
    std::size_t length = 0;
    char32_t max_char = 0;
};
inline Shape shape(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    std::size_t continuations = 0;
    unsigned char widest = 0;
#if KORVO_SIMD
    simd::Bytes most = simd::Bytes::splat(0);
    simd::LaneCounts counts;
    for (int blocks = 0; end - p >= 16; p += 16) {
        const simd::Bytes b = simd::Bytes::load(p);
        counts.add_continuations(b);
        most = simd::max(most, b);
        if (++blocks == 255) {
            continuations += counts.take();
            blocks = 0;
        }
    }
    continuations += counts.take();
    widest = simd::max_lane(most);
#endif
    for (; p != end; ++p) {
        continuations += (*p & 0xC0) == 0x80;
        if (*p > widest) widest = *p;
    }
    Shape s;
    s.length = text.size() - continuations;
    s.max_char = widest < 0x80 ? 0 : widest < 0xC4 ? 0xFF : widest < 0xF0 ? 0xFFFF : 0x10FFFF;
    return s;
}

// Writes the characters of well-formed UTF-8 text as Char, into room for
// exactly as many as it has (up to `out_end`).
template <class Char>
void decode_chars(std::string_view text, Char* out, const Char* out_end) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p != end) {
        p = widen_ascii(p, end, out, out_end);
        while (p != end && *p >= 0x80) *out++ = static_cast<Char>(decode<Policy::Trusted>(p, end));
    }
}

}  // namespace korvo::utf8
