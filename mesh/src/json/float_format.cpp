#include "json/float_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace korvo::json {

void write_float(double d, std::string& out) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    if (d == 0) {
        out += std::signbit(d) ? "-0.0" : "0.0";
        return;
    }
    // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX (at most 17 digits,
    // an exponent of at most three). The copies below move fixed, generous sizes and then
    // advance by what counts: every buffer has the room, and fixed sizes need no library call.
    char sci[48] = {};
    const auto r = std::to_chars(sci, sci + 32, d, std::chars_format::scientific);
    const char* p = sci;
    const bool negative = *p == '-';
    p += negative ? 1 : 0;
    char digits[40] = {};
    int n = 1;
    digits[0] = *p++;
    if (*p == '.') {
        ++p;
        std::memcpy(digits + 1, p, 17);
        // The exponent has two or three digits after its sign.
        const char* e_pos = r.ptr[-4] == 'e' ? r.ptr - 4 : r.ptr - 5;
        n += static_cast<int>(e_pos - p);
        p = e_pos;
    }
    ++p;  // 'e'
    const bool neg_exp = *p++ == '-';
    int e = 0;
    for (; p != r.ptr; ++p) e = e * 10 + (*p - '0');
    if (neg_exp) e = -e;

    const std::size_t old = out.size();
    out.resize_and_overwrite(old + 64, [&](char* buf, std::size_t) {
        char* o = buf + old;
        if (negative) *o++ = '-';
        if (e >= -5 && e <= -1) {
            *o++ = '0';
            *o++ = '.';
            std::memset(o, '0', 8);
            o += -e - 1;
            std::memcpy(o, digits, 24);
            o += n;
        } else if (e >= 0 && e <= n - 2) {
            std::memcpy(o, digits, 24);
            o += e + 1;
            *o++ = '.';
            std::memcpy(o, digits + e + 1, 24);
            o += n - e - 1;
        } else if (e >= n - 1 && e <= 15) {
            std::memset(o, '0', 24);
            std::memcpy(o, digits, 24);  // the digits, then zeros up to the point
            std::memset(o + n, '0', 16);
            o += e + 1;
            *o++ = '.';
            *o++ = '0';
        } else {
            *o++ = digits[0];
            if (n > 1) {
                *o++ = '.';
                std::memcpy(o, digits + 1, 24);
                o += n - 1;
            }
            *o++ = 'e';
            *o++ = e < 0 ? '-' : '+';
            o = std::to_chars(o, o + 8, e < 0 ? -e : e).ptr;
        }
        return static_cast<std::size_t>(o - buf);
    });
}

}  // namespace korvo::json
