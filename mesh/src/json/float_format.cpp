#include "json/float_format.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include <fmt/format.h>

#include "base/digits.h"

namespace korvo::json {

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
    // The shortest digits that read back as `d`, by fmt's implementation of Dragonbox, at about
    // half of what std::to_chars costs for them. (It is fmt's internal interface; the build takes
    // fmt 9 from the distribution, where it has this shape.)
    const bool negative = std::signbit(d);
    const auto shortest = fmt::detail::dragonbox::to_decimal(negative ? -d : d);
    char figures[24];
    std::uint64_t significand = shortest.significand;
    int exponent = shortest.exponent;
    while (significand % 10 == 0) {
        significand /= 10;
        ++exponent;
    }
    const int n = static_cast<int>(digits::put(figures, significand) - figures);
    return put_decimal(p, negative, figures, n, exponent + n - 1);
}

char* put_decimal(char* o, bool negative, const char* given, int n, int e) noexcept {
    char figures[40];
    std::memcpy(figures, given, 24);  // callers' buffers hold at least 24 bytes
    if (negative) *o++ = '-';
    if (e >= -5 && e <= -1) {
        *o++ = '0';
        *o++ = '.';
        std::memset(o, '0', 8);
        o += -e - 1;
        std::memcpy(o, figures, 24);
        o += n;
    } else if (e >= 0 && e <= n - 2) {
        std::memcpy(o, figures, 24);
        o += e + 1;
        *o++ = '.';
        std::memcpy(o, figures + e + 1, 24);
        o += n - e - 1;
    } else if (e >= n - 1 && e <= 15) {
        std::memset(o, '0', 24);
        std::memcpy(o, figures, 24);  // the figures, then zeros up to the point
        std::memset(o + n, '0', 16);
        o += e + 1;
        *o++ = '.';
        *o++ = '0';
    } else {
        *o++ = figures[0];
        if (n > 1) {
            *o++ = '.';
            std::memcpy(o, figures + 1, 24);
            o += n - 1;
        }
        *o++ = 'e';
        *o++ = e < 0 ? '-' : '+';
        o = digits::put(o, static_cast<std::uint64_t>(e < 0 ? -e : e));
    }
    return o;
}

void write_float(double d, std::string& out) {
    const std::size_t old = out.size();
    out.resize_and_overwrite(old + kFloatRoom,
                             [&](char* buf, std::size_t) { return static_cast<std::size_t>(put_float(buf + old, d) - buf); });
}

}  // namespace korvo::json
