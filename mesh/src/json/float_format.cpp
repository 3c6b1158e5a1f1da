#include "json/float_format.h"

#include <cmath>
#include <cstdint>
#include <cstring>

// Dragonbox's whole table of powers of ten (about 10 KB) rather than one entry in 27 and a
// recovery step per call: fmt is included by this unit alone, so the choice is made here.
#define FMT_USE_FULL_CACHE_DRAGONBOX 1
#include <fmt/format.h>

#include "base/digits.h"

namespace korvo::json {

namespace {

// put_significand(), kept inline in the conversion that ends in it.
[[gnu::always_inline]] inline char* lay_out(char* o, bool negative, std::uint64_t significand, int n, int e) noexcept {
    if (negative) *o++ = '-';
    if (e >= 0 && e <= n - 2) {
        // The point among the digits: those after it (at most 16) moved a byte on, as one
        // fixed-size block, over the room past the text.
        digits::put_fixed(o, significand, n);
        std::memmove(o + e + 2, o + e + 1, 16);
        o[e + 1] = '.';
        return o + n + 1;
    }
    if (e >= -5 && e <= -1) {
        std::memcpy(o, "0.000000", 8);
        o += 1 - e;
        digits::put_fixed(o, significand, n);
        return o + n;
    }
    if (e >= n - 1 && e <= 15) {
        // An integer: the digits, zeros up to the point, then ".0".
        digits::put_fixed(o, significand, n);
        std::memset(o + n, '0', 16);
        o += e + 1;
        std::memcpy(o, ".0", 2);
        return o + 2;
    }
    // d1.d2…dn, then the exponent.
    digits::put_fixed(o + 1, significand, n);
    o[0] = o[1];
    if (n > 1) {
        o[1] = '.';
        o += n + 1;
    } else {
        o += 1;
    }
    *o++ = 'e';
    *o++ = e < 0 ? '-' : '+';
    return digits::put(o, static_cast<std::uint64_t>(e < 0 ? -e : e));
}

}  // namespace

char* put_float(char* p, double d) noexcept {
    if (!std::isfinite(d)) {
        std::memcpy(p, "null", 4);
        return p + 4;
    }
    if (d == 0) {
        if (std::signbit(d)) {
            std::memcpy(p, "-0.0", 4);
            return p + 4;
        }
        std::memcpy(p, "0.0", 3);
        return p + 3;
    }
    if (std::signbit(d)) return put_shortest(p, true, -d);
    return put_shortest(p, false, d);
}

char* put_shortest(char* p, bool negative, double magnitude) noexcept {
    // The shortest digits that read back as the value, by fmt's implementation of Dragonbox, at
    // about half of what std::to_chars costs for them. (It is fmt's internal interface; the build
    // takes fmt 9 from the distribution, where it has this shape.)
    const auto shortest = fmt::detail::dragonbox::to_decimal(magnitude);
    std::uint64_t significand = shortest.significand;
    int exponent = shortest.exponent;
    while (significand % 10 == 0) {
        significand /= 10;
        ++exponent;
    }
    const int n = digits::count(significand);
    return lay_out(p, negative, significand, n, exponent + n - 1);
}

char* put_significand(char* o, bool negative, std::uint64_t significand, int n, int e) noexcept {
    return lay_out(o, negative, significand, n, e);
}

void write_float(double d, std::string& out) {
    const std::size_t old = out.size();
    out.resize_and_overwrite(old + kFloatRoom,
                             [&](char* buf, std::size_t) { return static_cast<std::size_t>(put_float(buf + old, d) - buf); });
}

}  // namespace korvo::json
