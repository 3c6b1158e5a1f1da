#include "json/cursor.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include <fast_float/fast_float.h>

#include "base/digits.h"

namespace korvo::json {

std::string ReadError::message() const {
    std::string out;
    out.reserve(description.size() + 32);
    out += description;
    out += " at line ";
    digits::append(out, line);
    out += " column ";
    digits::append(out, column);
    return out;
}

ReadError Cursor::error_at(std::string description, std::size_t offset) const {
    ReadError e;
    e.description = std::move(description);
    std::size_t line = 1;
    std::size_t line_start = 0;
    const std::size_t end = std::min(offset, static_cast<std::size_t>(end_ - begin_));
    for (std::size_t i = 0; i < end; ++i) {
        if (begin_[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    e.line = line;
    e.column = end - line_start;
    return e;
}

void Cursor::skip_space() noexcept { p_ = bytes::space_run(p_, end_); }

bool Cursor::hex4(unsigned& n) noexcept {
    if (end_ - p_ < 4) {
        p_ = end_;
        return fail_here(Failure::EofString);
    }
    const int a = bytes::hex_value(p_[0]), b = bytes::hex_value(p_[1]), c = bytes::hex_value(p_[2]),
              d = bytes::hex_value(p_[3]);
    p_ += 4;
    if ((a | b | c | d) < 0) return fail_here(Failure::InvalidEscape);
    n = static_cast<unsigned>((a << 12) | (b << 8) | (c << 4) | d);
    return true;
}

bool Cursor::unicode_escape(unsigned& cp) noexcept {
    unsigned n = 0;
    if (!hex4(n)) return false;
    if (n >= 0xDC00 && n <= 0xDFFF) return fail_here(Failure::LoneLeadingSurrogate);
    if (n < 0xD800 || n > 0xDBFF) {
        cp = n;
        return true;
    }
    // A leading surrogate: the trailing one must follow as another \u escape.
    for (char expected : {'\\', 'u'}) {
        if (p_ == end_) return fail_here(Failure::EofString);
        if (*p_++ != expected) return fail_here(Failure::UnexpectedEndOfHexEscape);
    }
    unsigned n2 = 0;
    if (!hex4(n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return fail_here(Failure::LoneLeadingSurrogate);
    cp = (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
    return true;
}

bool NumberText::integer(std::uint64_t& sig) const noexcept {
    if (is_float || int_end - int_begin > 20) return false;
    sig = 0;
    for (const char* q = int_begin; q != int_end; ++q) {
        const auto d = static_cast<std::uint64_t>(*q - '0');
        if (sig > (UINT64_MAX - d) / 10) return false;
        sig = sig * 10 + d;
    }
    return true;
}

bool NumberText::decimal(std::uint64_t& w, std::int64_t& q, const char* limit) const noexcept {
    const char* p = int_begin;
    while (p != int_end && *p == '0') ++p;
    std::size_t count = static_cast<std::size_t>(int_end - p);
    if (count > 19) return false;
    w = digits::read(p, int_end, limit);
    q = 0;
    if (mantissa_end != int_end) {
        const char* f = int_end + 1;  // past the point
        if (w == 0) {
            // Zeros between the point and the first significant digit only scale the value.
            const char* z = f;
            while (z != mantissa_end && *z == '0') ++z;
            q -= z - f;
            f = z;
        }
        const auto frac = static_cast<std::size_t>(mantissa_end - f);
        count += frac;
        if (count > 19) return false;
        w = digits::read(f, mantissa_end, limit, w);
        q -= static_cast<std::int64_t>(frac);
    }
    if (mantissa_end != end) {
        const char* e = mantissa_end + 1;  // past the e
        bool neg = false;
        if (*e == '+' || *e == '-') neg = *e++ == '-';
        std::int64_t x = 0;
        for (; e != end; ++e) x = x * 10 + (*e - '0');  // fits: longer exponents are settled by the scan
        q += neg ? -x : x;
    }
    return true;
}

bool NumberText::quick_double(std::uint64_t w, std::int64_t q, double& out) noexcept {
    using Format = fast_float::binary_format<double>;
    const fast_float::adjusted_mantissa am = fast_float::compute_float<Format>(q, w);
    if (am.power2 < 0) return false;
    fast_float::to_float(false, am, out);
    return !std::isinf(out);
}

namespace {

// The decimal exponent of a number's first significant digit (2 for 123.4, -2 for 0.012e0);
// none when all its digits are zeros.
std::optional<std::int64_t> lead_exponent(const NumberText& n) noexcept {
    const char* first = n.int_begin;
    while (first != n.int_end && *first == '0') ++first;
    std::int64_t lead;
    if (first != n.int_end) {
        lead = n.int_end - first - 1;
    } else {
        if (n.int_end == n.mantissa_end) return std::nullopt;
        const char* frac = n.int_end + 1;  // past the point
        const char* q = frac;
        while (q != n.mantissa_end && *q == '0') ++q;
        if (q == n.mantissa_end) return std::nullopt;
        lead = -(q - frac) - 1;
    }
    if (n.mantissa_end != n.end) {
        const char* q = n.mantissa_end + 1;  // past the e
        bool neg = false;
        if (*q == '+' || *q == '-') neg = *q++ == '-';
        std::int64_t e = 0;
        for (; q != n.end; ++q) e = e * 10 + (*q - '0');  // fits: longer exponents are settled by the scan
        lead += neg ? -e : e;
    }
    return lead;
}

}  // namespace

// Called only for a value that the float conversion reported out of range: says whether it is
// too large (rather than too small).
bool Cursor::number_out_of_range(const NumberText& n) const noexcept {
    const auto lead = lead_exponent(n);
    return lead && *lead > 0;
}

bool Cursor::number_in_range(const NumberText& n) noexcept {
    if (n.zero_by_exponent) return true;
    // Anything below 10^308 is below the largest double; anything from 10^309 on is above it.
    if (!n.is_float && n.int_end - n.int_begin <= 308) return true;
    const auto lead = lead_exponent(n);
    if (!lead || *lead <= 307) return true;
    if (*lead >= 309) return fail_here(Failure::NumberOutOfRange);
    Number v;
    return number_value(n, v);
}

bool Cursor::number_value(const NumberText& n, Number& out) noexcept {
    if (n.zero_by_exponent) {
        out.kind = Number::Kind::Float;
        out.d = n.negative() ? -0.0 : 0.0;
        return true;
    }
    std::uint64_t sig = 0;
    if (n.integer(sig)) {
        if (!n.negative()) {
            out.kind = Number::Kind::UInt;
            out.u = sig;
            return true;
        }
        if (sig == 0) {
            out.kind = Number::Kind::Float;
            out.d = -0.0;
            return true;
        }
        if (sig <= (std::uint64_t{1} << 63)) {
            out.kind = Number::Kind::Int;
            out.i = static_cast<std::int64_t>(0 - sig);
            return true;
        }
    }
    out.kind = Number::Kind::Float;
    out.d = 0;
    // Correctly rounded, like the standard's from_chars, several times faster. Some releases
    // report a magnitude beyond the range as an error, others as an infinity or a zero.
    const auto r = fast_float::from_chars(n.start, n.end, out.d);
    if (r.ec == std::errc::result_out_of_range || (r.ec == std::errc() && std::isinf(out.d))) {
        if (std::isinf(out.d) || number_out_of_range(n)) return fail_here(Failure::NumberOutOfRange);
        out.d = n.negative() ? -0.0 : 0.0;
    }
    return true;
}

}  // namespace korvo::json
