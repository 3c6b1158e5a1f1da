// JSON values, the canonical compact writer and the single-pass reader.
#include "json/json_text.h"
#include "json/canonical.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace korvo::json {

// ---------------------------------------------------------------------------
// Values

void finish_object(Object& members) {
    auto less = [](const Member& a, const Member& b) { return a.name < b.name; };
    // Small objects usually arrive sorted and unique already: one cheap pass settles it.
    bool strictly_sorted = true;
    for (std::size_t i = 1; i < members.size(); ++i) {
        if (!(members[i - 1].name < members[i].name)) {
            strictly_sorted = false;
            break;
        }
    }
    if (strictly_sorted) return;
    if (members.size() <= 16) {
        // Insertion sort: stable, and no scratch buffer for the common small object.
        for (std::size_t i = 1; i < members.size(); ++i) {
            if (!less(members[i], members[i - 1])) continue;
            Member m = std::move(members[i]);
            std::size_t j = i;
            for (; j > 0 && less(m, members[j - 1]); --j) members[j] = std::move(members[j - 1]);
            members[j] = std::move(m);
        }
    } else {
        std::stable_sort(members.begin(), members.end(), less);
    }
    // Of each run of equal names keep the last one (the one given last).
    std::size_t out = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].name == members[i].name) continue;
        if (out != i) members[out] = std::move(members[i]);
        ++out;
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(out), members.end());
}

Value Value::object(Object members) {
    finish_object(members);
    return Value(Sorted{}, std::move(members));
}

const Value* Value::find(std::string_view name) const {
    const auto* members = std::get_if<Object>(&v_);
    if (members == nullptr) return nullptr;
    auto it = std::lower_bound(members->begin(), members->end(), name,
                               [](const Member& m, std::string_view n) { return std::string_view(m.name) < n; });
    if (it == members->end() || it->name != name) return nullptr;
    return &it->value;
}

bool operator==(const Value& a, const Value& b) { return a.v_ == b.v_; }

std::string ReadError::message() const {
    std::string out;
    out.reserve(description.size() + 32);
    out += description;
    out += " at line ";
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, line);
    out.append(buf, r.ptr);
    out += " column ";
    r = std::to_chars(buf, buf + sizeof buf, column);
    out.append(buf, r.ptr);
    return out;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

// 0 = written raw; otherwise the letter of a two-character escape, or 'u' for \u00XX.
constexpr auto kEscape = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t['\b'] = 'b';
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\f'] = 'f';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}();

void write_array(const Array& a, std::string& out);
void write_object(const Object& o, std::string& out);

}  // namespace

void write_string(std::string_view s, std::string& out) {
    out.reserve(out.size() + s.size() + 2);
    out.push_back('"');
    const char* p = s.data();
    const char* end = p + s.size();
    const char* run = p;
    for (; p != end; ++p) {
        char e = kEscape[static_cast<unsigned char>(*p)];
        if (e == 0) continue;
        out.append(run, p);
        run = p + 1;
        if (e == 'u') {
            static constexpr char kHex[] = "0123456789abcdef";
            auto c = static_cast<unsigned char>(*p);
            const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
            out.append(esc, 6);
        } else {
            const char esc[2] = {'\\', e};
            out.append(esc, 2);
        }
    }
    out.append(run, end);
    out.push_back('"');
}

void write_uint(std::uint64_t n, std::string& out) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, r.ptr);
}

void write_int(std::int64_t n, std::string& out) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, r.ptr);
}

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

namespace {

void write_array(const Array& a, std::string& out) {
    out.push_back('[');
    bool first = true;
    for (const Value& v : a) {
        if (!first) out.push_back(',');
        first = false;
        write(v, out);
    }
    out.push_back(']');
}

void write_object(const Object& o, std::string& out) {
    out.push_back('{');
    bool first = true;
    for (const Member& m : o) {
        write_key(m.name, first, out);
        first = false;
        write(m.value, out);
    }
    out.push_back('}');
}

}  // namespace

void write(const Value& value, std::string& out) {
    switch (value.type()) {
        case Value::Type::Null: out += "null"; break;
        case Value::Type::Bool: out += value.as_bool() ? "true" : "false"; break;
        case Value::Type::UInt: write_uint(value.as_uint(), out); break;
        case Value::Type::Int: write_int(value.as_int(), out); break;
        case Value::Type::Float: write_float(value.as_float(), out); break;
        case Value::Type::String: write_string(value.as_string(), out); break;
        case Value::Type::Array: write_array(value.as_array(), out); break;
        case Value::Type::Object: write_object(value.as_object(), out); break;
    }
}

// ---------------------------------------------------------------------------
// Reading

namespace {

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kInvalidEscape = "invalid escape";
constexpr const char* kExpectedValue = "expected value";
constexpr const char* kTrailingComma = "trailing comma";

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Past a run of decimal digits, eight at a time while it can.
const char* skip_digits(const char* p, const char* end) noexcept;

// Bytes that end a plain run inside a string: the quote, the backslash and control characters.
constexpr auto kStringStop = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = true;
    t['"'] = true;
    t['\\'] = true;
    return t;
}();

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(b, 2);
    } else if (cp < 0x10000) {
        const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                           static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(b, 3);
    } else {
        const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                           static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(b, 4);
    }
}

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

std::uint64_t load8(const void* p) noexcept {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

// Skips the bytes of a string that need no attention (everything but the quote, the backslash
// and control characters), eight at a time while it can; ORs the bytes passed into `high` as far
// as their top bit goes. Returns the first byte that needs attention, or `end`.
const char* scan_plain(const char* p, const char* end, unsigned char& high) noexcept {
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
    while (p != end && !kStringStop[static_cast<unsigned char>(*p)]) high |= static_cast<unsigned char>(*p++);
    return p;
}

const char* skip_digits(const char* p, const char* end) noexcept {
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
    while (p != end && is_digit(*p)) ++p;
    return p;
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const unsigned char* p, const unsigned char* end) noexcept {
    while (p != end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            while (end - p >= 8 && (load8(p) & kHighs) == 0) p += 8;
            continue;
        }
        std::size_t left = static_cast<std::size_t>(end - p);
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || (p[1] & 0xC0) != 0x80) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (left < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return false;
            if (c == 0xE0 && p[1] < 0xA0) return false;
            if (c == 0xED && p[1] > 0x9F) return false;
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (left < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) return false;
            if (c == 0xF0 && p[1] < 0x90) return false;
            if (c == 0xF4 && p[1] > 0x8F) return false;
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool Reader::fail(std::string description, std::size_t offset) {
    if (!failed_) {
        failed_ = true;
        description_ = std::move(description);
        error_offset_ = offset;
    }
    return false;
}

ReadError Reader::error() const {
    ReadError e;
    e.description = description_;
    std::size_t line = 1;
    std::size_t line_start = 0;
    const std::size_t end = std::min(error_offset_, size());
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

void Reader::skip_space() noexcept {
    while (p_ != end_) {
        const char c = *p_;
        if (c == ' ') {
            // Indentation comes in runs of spaces: pass them eight at a time.
            ++p_;
            while (end_ - p_ >= 8) {
                const std::uint64_t x = load8(p_) ^ (kOnes * ' ');
                if (x != 0) {
                    p_ += std::countr_zero(x) / 8;
                    break;
                }
                p_ += 8;
            }
        } else if (c == '\n' || c == '\t' || c == '\r') {
            ++p_;
        } else {
            return;
        }
    }
}

bool Reader::read_ident(std::string_view rest) {
    for (char expected : rest) {
        if (p_ == end_) return fail_here(kEofValue);
        if (*p_++ != expected) return fail_here("expected ident");
    }
    return true;
}

bool Reader::read_colon() {
    switch (peek_nonspace()) {
        case ':': eat(); return true;
        case -1: return fail_peek(kEofObject);
        default: return fail_peek("expected `:`");
    }
}

bool Reader::finish() {
    if (peek_nonspace() != -1) return fail_peek("trailing characters");
    return true;
}

// Called only for a non-zero value that the float conversion reported out of range:
// says whether it is too large (rather than too small) from the decimal exponent of its
// first significant digit.
bool Reader::number_out_of_range(const char* start) const {
    const char* q = start;
    if (*q == '-') ++q;
    const char* int_begin = q;
    while (q != p_ && is_digit(*q)) ++q;
    const char* int_end = q;
    std::int64_t lead = 0;
    const char* first = int_begin;
    while (first != int_end && *first == '0') ++first;
    if (first != int_end) {
        lead = int_end - first - 1;
    } else if (q != p_ && *q == '.') {
        ++q;
        const char* frac = q;
        while (q != p_ && *q == '0') ++q;
        lead = -(q - frac) - 1;
    }
    while (q != p_ && *q != 'e' && *q != 'E') ++q;
    if (q != p_) {
        ++q;
        bool neg = false;
        if (*q == '+' || *q == '-') neg = *q++ == '-';
        std::int64_t e = 0;
        for (; q != p_; ++q) e = e * 10 + (*q - '0');  // fits: longer exponents are settled earlier
        lead += neg ? -e : e;
    }
    return lead > 0;
}

bool Reader::scan_number(bool negative, NumberText& n) {
    n.start = negative ? p_ - 1 : p_;
    if (p_ == end_) return fail_here(kEofValue);
    n.int_begin = p_;
    const char c = *p_++;
    if (c == '0') {
        if (p_ != end_ && is_digit(*p_)) return fail_peek(kInvalidNumber);
    } else if (c >= '1' && c <= '9') {
        p_ = skip_digits(p_, end_);
    } else {
        return fail_here(kInvalidNumber);
    }
    n.int_end = p_;
    if (p_ != end_ && *p_ == '.') {
        ++p_;
        const char* digits = p_;
        p_ = skip_digits(p_, end_);
        if (p_ == digits) return fail_peek(p_ == end_ ? kEofValue : kInvalidNumber);
        n.is_float = true;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
        const char* mantissa_end = p_;
        ++p_;
        bool neg_exp = false;
        if (p_ != end_ && (*p_ == '+' || *p_ == '-')) neg_exp = *p_++ == '-';
        if (p_ == end_) return fail_here(kEofValue);
        const char first = *p_++;
        if (!is_digit(first)) return fail_here(kInvalidNumber);
        std::int32_t exp = first - '0';
        while (p_ != end_ && is_digit(*p_)) {
            const int d = *p_++ - '0';
            if (exp > (INT32_MAX - d) / 10) {
                // An exponent this long: infinite unless the digits are all zero or it is negative.
                const bool nonzero =
                    std::any_of(n.int_begin, mantissa_end, [](char ch) { return ch >= '1' && ch <= '9'; });
                if (nonzero && !neg_exp) return fail_here("number out of range");
                while (p_ != end_ && is_digit(*p_)) ++p_;
                n.zero_by_exponent = true;
                return true;
            }
            exp = exp * 10 + d;
        }
        n.is_float = true;
    }
    return true;
}

bool Reader::NumberText::integer(std::uint64_t& sig) const noexcept {
    if (is_float || int_end - int_begin > 20) return false;
    sig = 0;
    for (const char* q = int_begin; q != int_end; ++q) {
        const auto d = static_cast<std::uint64_t>(*q - '0');
        if (sig > (UINT64_MAX - d) / 10) return false;
        sig = sig * 10 + d;
    }
    return true;
}

bool Reader::scanned_float(const NumberText& n, double& d) {
    d = 0;
    auto r = std::from_chars(n.start, p_, d);
    if (r.ec == std::errc::result_out_of_range) {
        if (number_out_of_range(n.start)) return fail_here("number out of range");
        d = n.start != n.int_begin ? -0.0 : 0.0;
    }
    return true;
}

bool Reader::read_number(bool negative, Value& out) {
    NumberText n;
    if (!scan_number(negative, n)) return false;
    std::uint64_t sig = 0;
    if (n.zero_by_exponent) {
        out = Value(negative ? -0.0 : 0.0);
        return true;
    }
    if (n.integer(sig)) {
        if (!negative) {
            out = Value(sig);
            return true;
        }
        if (sig == 0) {
            out = Value(-0.0);
            return true;
        }
        if (sig <= (std::uint64_t{1} << 63)) {
            out = Value(static_cast<std::int64_t>(0 - sig));
            return true;
        }
    }
    double d = 0;
    if (!scanned_float(n, d)) return false;
    out = Value(d);
    return true;
}

Reader::Step Reader::after_item(char close) {
    int c = peek_nonspace();
    if (c == ',') {
        eat();
        c = peek_nonspace();
        if (c == close) {
            fail_peek(kTrailingComma);
            return Step::Failed;
        }
        if (c == -1) {
            fail_peek(kEofValue);
            return Step::Failed;
        }
        return Step::More;
    }
    if (c == close) {
        eat();
        return Step::Close;
    }
    const bool list = close == ']';
    if (c == -1) {
        fail_peek(list ? kEofList : kEofObject);
    } else {
        fail_peek(list ? "expected `,` or `]`" : "expected `,` or `}`");
    }
    return Step::Failed;
}

bool Reader::read_hex4(unsigned& n) {
    if (end_ - p_ < 4) {
        p_ = end_;
        return fail_here(kEofString);
    }
    const int a = hex_value(p_[0]), b = hex_value(p_[1]), c = hex_value(p_[2]), d = hex_value(p_[3]);
    p_ += 4;
    if ((a | b | c | d) < 0) return fail_here(kInvalidEscape);
    n = static_cast<unsigned>((a << 12) | (b << 8) | (c << 4) | d);
    return true;
}

bool Reader::read_escape(std::string& out) {
    if (p_ == end_) return fail_here(kEofString);
    switch (*p_++) {
        case '"': out.push_back('"'); return true;
        case '\\': out.push_back('\\'); return true;
        case '/': out.push_back('/'); return true;
        case 'b': out.push_back('\b'); return true;
        case 'f': out.push_back('\f'); return true;
        case 'n': out.push_back('\n'); return true;
        case 'r': out.push_back('\r'); return true;
        case 't': out.push_back('\t'); return true;
        case 'u': break;
        default: return fail_here(kInvalidEscape);
    }
    unsigned cp = 0;
    if (!read_unicode_escape(cp)) return false;
    append_utf8(cp, out);
    return true;
}

bool Reader::read_unicode_escape(unsigned& cp) {
    unsigned n = 0;
    if (!read_hex4(n)) return false;
    if (n >= 0xDC00 && n <= 0xDFFF) return fail_here("lone leading surrogate in hex escape");
    if (n < 0xD800 || n > 0xDBFF) {
        cp = n;
        return true;
    }
    // A leading surrogate: the trailing one must follow as another \u escape.
    for (char expected : {'\\', 'u'}) {
        if (p_ == end_) return fail_here(kEofString);
        if (*p_++ != expected) return fail_here("unexpected end of hex escape");
    }
    unsigned n2 = 0;
    if (!read_hex4(n2)) return false;
    if (n2 < 0xDC00 || n2 > 0xDFFF) return fail_here("lone leading surrogate in hex escape");
    cp = (((n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
    return true;
}

bool Reader::read_string_body(std::string& out) {
    const std::size_t out_start = out.size();
    const char* run = p_;
    unsigned char high = 0;
    for (;;) {
        p_ = scan_plain(p_, end_, high);
        if (p_ == end_) return fail_here(kEofString);
        const char c = *p_;
        if (c == '"') {
            out.append(run, p_);
            ++p_;
            if ((high & 0x80) != 0) {
                const auto* data = reinterpret_cast<const unsigned char*>(out.data());
                if (!valid_utf8(data + out_start, data + out.size())) return fail_here("invalid unicode code point");
            }
            return true;
        }
        if (c == '\\') {
            out.append(run, p_);
            ++p_;
            if (!read_escape(out)) return false;
            run = p_;
            continue;
        }
        ++p_;
        return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    }
}

bool Reader::read_value(Value& out) {
    switch (peek_nonspace()) {
        case -1: return fail_peek(kEofValue);
        case 'n':
            eat();
            if (!read_ident("ull")) return false;
            out = Value();
            return true;
        case 't':
            eat();
            if (!read_ident("rue")) return false;
            out = Value(true);
            return true;
        case 'f':
            eat();
            if (!read_ident("alse")) return false;
            out = Value(false);
            return true;
        case '-': eat(); return read_number(true, out);
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return read_number(false, out);
        case '"': eat(); return read_string_body(out.v_.emplace<std::string>());
        case '[': {
            if (!enter()) return false;
            eat();
            auto& items = out.v_.emplace<Array>();
            int c = peek_nonspace();
            if (c == ']') {
                eat();
                leave();
                return true;
            }
            if (c == -1) return fail_peek(kEofList);
            for (;;) {
                if (!read_value(items.emplace_back())) return false;
                const Step step = after_item(']');
                if (step == Step::Failed) return false;
                if (step == Step::Close) {
                    leave();
                    return true;
                }
            }
        }
        case '{': {
            if (!enter()) return false;
            eat();
            Object members;
            int c = peek_nonspace();
            if (c == -1) return fail_peek(kEofObject);
            if (c == '}') {
                eat();
            } else {
                for (;;) {
                    if (c != '"') return fail_peek("key must be a string");
                    eat();
                    Member& m = members.emplace_back();
                    if (!read_string_body(m.name) || !read_colon() || !read_value(m.value)) return false;
                    const Step step = after_item('}');
                    if (step == Step::Failed) return false;
                    if (step == Step::Close) break;
                    c = peek();
                }
            }
            leave();
            finish_object(members);
            out.v_ = std::move(members);
            return true;
        }
        default: return fail_peek(kExpectedValue);
    }
}

// Skipping checks the same grammar but keeps nothing: strings are not decoded, numbers are
// not converted (so their range is not checked) and escapes are checked only for shape.
bool Reader::skip_number() {
    const int c = p_ != end_ ? static_cast<unsigned char>(*p_++) : 0;
    if (c == '0') {
        if (p_ != end_ && is_digit(*p_)) return fail_peek(kInvalidNumber);
    } else if (c >= '1' && c <= '9') {
        while (p_ != end_ && is_digit(*p_)) ++p_;
    } else {
        return fail_here(kInvalidNumber);
    }
    if (p_ != end_ && *p_ == '.') {
        ++p_;
        const char* digits = p_;
        while (p_ != end_ && is_digit(*p_)) ++p_;
        if (p_ == digits) return fail_peek(kInvalidNumber);
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
        ++p_;
        if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
        if (p_ == end_ || !is_digit(*p_++)) return fail_here(kInvalidNumber);
        while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    return true;
}

bool Reader::skip_string_body() {
    for (;;) {
        unsigned char high = 0;
        p_ = scan_plain(p_, end_, high);
        if (p_ == end_) return fail_here(kEofString);
        const char c = *p_;
        if (c == '"') {
            ++p_;
            return true;
        }
        if (c != '\\') return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
        ++p_;
        if (p_ == end_) return fail_here(kEofString);
        switch (*p_++) {
            case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
            case 'u': {
                unsigned n = 0;
                if (!read_hex4(n)) return false;
                break;
            }
            default: return fail_here(kInvalidEscape);
        }
    }
}

bool Reader::skip_value() {
    switch (peek_nonspace()) {
        case -1: return fail_peek(kEofValue);
        case 'n': eat(); return read_ident("ull");
        case 't': eat(); return read_ident("rue");
        case 'f': eat(); return read_ident("alse");
        case '-': eat(); return skip_number();
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return skip_number();
        case '"': eat(); return skip_string_body();
        case '[': {
            if (!enter()) return false;
            eat();
            int c = peek_nonspace();
            if (c == -1) return fail_peek(kEofList);
            if (c != ']') {
                for (;;) {
                    if (!skip_value()) return false;
                    c = peek_nonspace();
                    if (c == ',') {
                        eat();
                        continue;
                    }
                    if (c == ']') break;
                    return fail_peek(c == -1 ? kEofList : "expected `,` or `]`");
                }
            }
            eat();
            leave();
            return true;
        }
        case '{': {
            if (!enter()) return false;
            eat();
            int c = peek_nonspace();
            if (c != '}') {
                for (;;) {
                    if (c == -1) return fail_peek(kEofObject);
                    if (c != '"') return fail_peek("key must be a string");
                    eat();
                    if (!skip_string_body() || !read_colon() || !skip_value()) return false;
                    c = peek_nonspace();
                    if (c == ',') {
                        eat();
                        c = peek_nonspace();
                        continue;
                    }
                    if (c == '}') break;
                    return fail_peek(c == -1 ? kEofObject : "expected `,` or `}`");
                }
            }
            eat();
            leave();
            return true;
        }
        default: return fail_peek(kExpectedValue);
    }
}

std::expected<Value, ReadError> read(std::string_view text) {
    Reader reader(text);
    Value value;
    if (!reader.read_value(value) || !reader.finish()) return std::unexpected(reader.error());
    return value;
}

// ---------------------------------------------------------------------------
// Canonicalizing: reading and writing in one pass
//
// The canonical text is written straight into the output as the input is read. Arrays,
// strings and numbers need nothing more. An object's members are written in the order they
// come, each one's place noted; when the object closes and its names turn out not to be in
// strictly ascending order, its members are put in order (the last of equal names kept)
// by copying the object's text aside and laying the members back in sorted order.

namespace {

// Where one member of an open object sits in the output: the key from its opening quote to
// its closing quote (inclusive), the value up to `end`.
struct MemberSpan {
    std::size_t begin;
    std::size_t key_end;
    std::size_t end;
    bool escaped;  // the key's text holds an escape, so its bytes are not the name's bytes
};

// Writes a code point that came from a \u escape the way write_string() writes it.
void write_code_point(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        const char e = kEscape[cp];
        if (e == 0) {
            out.push_back(static_cast<char>(cp));
        } else if (e == 'u') {
            static constexpr char kHex[] = "0123456789abcdef";
            const char esc[6] = {'\\', 'u', '0', '0', kHex[cp >> 4], kHex[cp & 0xF]};
            out.append(esc, 6);
        } else {
            const char esc[2] = {'\\', e};
            out.append(esc, 2);
        }
        return;
    }
    append_utf8(cp, out);
}

// The name a canonical key text (without its quotes) stands for.
std::string decode_canonical(std::string_view text) {
    std::string name;
    name.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            name.push_back(text[i]);
            continue;
        }
        switch (text[++i]) {
            case 'b': name.push_back('\b'); break;
            case 'f': name.push_back('\f'); break;
            case 'n': name.push_back('\n'); break;
            case 'r': name.push_back('\r'); break;
            case 't': name.push_back('\t'); break;
            case 'u':  // only \u00XX comes out of the writer
                name.push_back(static_cast<char>(hex_value(text[i + 3]) * 16 + hex_value(text[i + 4])));
                i += 4;
                break;
            default: name.push_back(text[i]); break;  // the quote and the backslash
        }
    }
    return name;
}

}  // namespace

struct Reader::Canon {
    std::vector<MemberSpan> members;  // the members of every open object, innermost last
    std::vector<std::uint32_t> order;
    std::vector<std::string> names;
    std::string scratch;
};

bool Reader::canonical_value(std::string& out) {
    Canon canon;
    return canonical_value(out, canon);
}

bool Reader::canonical_number(bool negative, std::string& out) {
    NumberText n;
    if (!scan_number(negative, n)) return false;
    std::uint64_t sig = 0;
    if (n.zero_by_exponent) {
        out += negative ? "-0.0" : "0.0";
        return true;
    }
    // An integer without leading zeros already reads as its canonical digits; what is left to
    // settle is whether it fits the integer kinds at all.
    if (n.integer(sig)) {
        if (!negative) {
            out.append(n.int_begin, n.int_end);
            return true;
        }
        if (sig == 0) {
            out += "-0.0";
            return true;
        }
        if (sig <= (std::uint64_t{1} << 63)) {
            out.append(n.start, n.int_end);
            return true;
        }
    }
    double d = 0;
    if (!scanned_float(n, d)) return false;
    write_float(d, out);
    return true;
}

bool Reader::canonical_escape(std::string& out) {
    if (p_ == end_) return fail_here(kEofString);
    switch (*p_++) {
        case '"': out.append("\\\"", 2); return true;
        case '\\': out.append("\\\\", 2); return true;
        case '/': out.push_back('/'); return true;
        case 'b': out.append("\\b", 2); return true;
        case 'f': out.append("\\f", 2); return true;
        case 'n': out.append("\\n", 2); return true;
        case 'r': out.append("\\r", 2); return true;
        case 't': out.append("\\t", 2); return true;
        case 'u': break;
        default: return fail_here(kInvalidEscape);
    }
    unsigned cp = 0;
    if (!read_unicode_escape(cp)) return false;
    write_code_point(cp, out);
    return true;
}

// The decoded text's validity is what counts, and the canonical text has the same validity:
// it differs from the decoded text only in ASCII bytes, which never continue a sequence.
bool Reader::canonical_string_body(std::string& out, bool& escaped) {
    const std::size_t body = out.size() + 1;
    out.push_back('"');
    unsigned char high = 0;
    escaped = false;
    for (;;) {
        const char* run = p_;
        p_ = scan_plain(p_, end_, high);
        if (p_ == end_) return fail_here(kEofString);
        out.append(run, p_);
        const char c = *p_++;
        if (c == '"') {
            if ((high & 0x80) != 0) {
                const auto* data = reinterpret_cast<const unsigned char*>(out.data());
                if (!valid_utf8(data + body, data + out.size())) return fail_here("invalid unicode code point");
            }
            out.push_back('"');
            return true;
        }
        if (c != '\\') return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
        escaped = true;
        if (!canonical_escape(out)) return false;
    }
}

bool Reader::canonical_object(std::string& out, Canon& canon) {
    // The opening brace is consumed and written.
    const std::size_t first = canon.members.size();
    const std::size_t content = out.size();
    int c = peek_nonspace();
    if (c == -1) return fail_peek(kEofObject);
    if (c != '}') {
        for (;;) {
            if (c != '"') return fail_peek("key must be a string");
            eat();
            MemberSpan m{out.size(), 0, 0, false};
            if (!canonical_string_body(out, m.escaped) || !read_colon()) return false;
            m.key_end = out.size();
            out.push_back(':');
            if (!canonical_value(out, canon)) return false;
            m.end = out.size();
            canon.members.push_back(m);
            const Step step = after_item('}');
            if (step == Step::Failed) return false;
            if (step == Step::Close) break;
            out.push_back(',');
            c = peek();
        }
    } else {
        eat();
    }
    leave();

    const std::size_t count = canon.members.size() - first;
    const MemberSpan* spans = canon.members.data() + first;
    bool escaped = false;
    for (std::size_t i = 0; i < count; ++i) escaped |= spans[i].escaped;
    // Names as the bytes they stand for; for keys without escapes that is the key's own text.
    auto& names = canon.names;
    if (escaped) {
        names.clear();
        for (std::size_t i = 0; i < count; ++i) {
            names.push_back(decode_canonical(
                std::string_view(out).substr(spans[i].begin + 1, spans[i].key_end - spans[i].begin - 2)));
        }
    }
    auto name = [&](std::size_t i) -> std::string_view {
        if (escaped) return names[i];
        return std::string_view(out).substr(spans[i].begin + 1, spans[i].key_end - spans[i].begin - 2);
    };
    bool strictly_sorted = true;
    for (std::size_t i = 1; i < count; ++i) {
        if (!(name(i - 1) < name(i))) {
            strictly_sorted = false;
            break;
        }
    }
    if (!strictly_sorted) {
        auto& order = canon.order;
        order.resize(count);
        for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
        auto less = [&](std::uint32_t a, std::uint32_t b) { return name(a) < name(b); };
        if (count <= 16) {
            for (std::size_t i = 1; i < count; ++i) {
                const std::uint32_t m = order[i];
                std::size_t j = i;
                for (; j > 0 && less(m, order[j - 1]); --j) order[j] = order[j - 1];
                order[j] = m;
            }
        } else {
            std::stable_sort(order.begin(), order.end(), less);
        }
        // Of each run of equal names the last stays.
        std::size_t kept = 0;
        for (std::size_t k = 0; k < count; ++k) {
            if (k + 1 < count && name(order[k + 1]) == name(order[k])) continue;
            order[kept++] = order[k];
        }
        // Lay the members back in order from a copy.
        canon.scratch.assign(out, content, std::string::npos);
        out.resize(content);
        for (std::size_t k = 0; k < kept; ++k) {
            const MemberSpan& m = spans[order[k]];
            if (k != 0) out.push_back(',');
            out.append(canon.scratch, m.begin - content, m.end - m.begin);
        }
    }
    out.push_back('}');
    canon.members.resize(first);
    return true;
}

bool Reader::canonical_value(std::string& out, Canon& canon) {
    switch (peek_nonspace()) {
        case -1: return fail_peek(kEofValue);
        case 'n':
            eat();
            if (!read_ident("ull")) return false;
            out += "null";
            return true;
        case 't':
            eat();
            if (!read_ident("rue")) return false;
            out += "true";
            return true;
        case 'f':
            eat();
            if (!read_ident("alse")) return false;
            out += "false";
            return true;
        case '-': eat(); return canonical_number(true, out);
        case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return canonical_number(false, out);
        case '"': {
            eat();
            bool escaped = false;
            return canonical_string_body(out, escaped);
        }
        case '[': {
            if (!enter()) return false;
            eat();
            out.push_back('[');
            int c = peek_nonspace();
            if (c == ']') {
                eat();
                leave();
                out.push_back(']');
                return true;
            }
            if (c == -1) return fail_peek(kEofList);
            for (;;) {
                if (!canonical_value(out, canon)) return false;
                const Step step = after_item(']');
                if (step == Step::Failed) return false;
                if (step == Step::Close) {
                    leave();
                    out.push_back(']');
                    return true;
                }
                out.push_back(',');
            }
        }
        case '{':
            if (!enter()) return false;
            eat();
            out.push_back('{');
            return canonical_object(out, canon);
        default: return fail_peek(kExpectedValue);
    }
}

std::expected<void, ReadError> canonicalize(std::string_view text, std::string& out) {
    const std::size_t start = out.size();
    out.reserve(start + text.size() + 16);
    Reader reader(text);
    if (!reader.canonical_value(out) || !reader.finish()) {
        out.resize(start);
        return std::unexpected(reader.error());
    }
    return {};
}

}  // namespace korvo::json

namespace korvo::json {

std::expected<void, ReadError> check(std::string_view text) {
    auto value = read(text);
    if (!value) return std::unexpected(std::move(value.error()));
    return {};
}

}  // namespace korvo::json
