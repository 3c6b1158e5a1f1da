// The position in one JSON text and every step a walk over it is made of: white space,
// separators, nesting depth, numbers, and string bodies with their escapes. The cursor keeps
// only the first failure and its offset; the line and column are worked out when asked for.
//
// Positions follow one rule: a failure is reported either at the byte just consumed
// (fail_here: the offset after it) or at the byte looked at next (fail_next: as if it had been
// consumed, capped at the end of the text).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/escapes.h"
#include "base/utf8.h"
#include "json/dialect.h"
#include "json/errors.h"

namespace korvo::json {


// A number's text as scanned: where its sign, integer digits and end are, and its kind.
struct NumberText {
    const char* start = nullptr;      // the sign, if any
    const char* int_begin = nullptr;  // the integer digits
    const char* int_end = nullptr;
    const char* mantissa_end = nullptr;  // past the fraction's digits: the exponent, or the end
    const char* end = nullptr;
    bool is_float = false;            // a fraction or an exponent
    bool zero_by_exponent = false;    // an exponent too long to hold, on a value that reads as zero
    bool negative() const noexcept { return start != int_begin; }
    // The integer digits as an unsigned 64-bit value, when there is no fraction or exponent and
    // they fit.
    bool integer(std::uint64_t& sig) const noexcept;
    // The number as w × 10^q, w its significant digits (leading zeros dropped), when at most 19
    // of them are left; false for a longer one. `limit` is the end of the text it is in.
    bool decimal(std::uint64_t& w, std::int64_t& q, const char* limit) const noexcept;
    // The double w × 10^q stands for, by fast_float's own road from w and q (its exact
    // algorithm, without reading the text again): false for the rare value it cannot settle that
    // way and for one out of range, which number_value() settles.
    static bool quick_double(std::uint64_t w, std::int64_t q, double& out) noexcept;
    // Whether an integer's digits (no fraction or exponent; no leading zeros) fit the integer
    // kinds: up to 2^64 - 1, or down to -2^63; found from the digits alone.
    bool fits_integer() const noexcept {
        const auto len = int_end - int_begin;
        if (len < 19) return true;
        const std::string_view digits(int_begin, static_cast<std::size_t>(len));
        if (negative()) return len == 19 && digits <= "9223372036854775808";
        return len == 19 || (len == 20 && digits <= "18446744073709551615");
    }
};

// What a number stands for, by the reading rules: an unsigned or signed 64-bit integer where it
// fits, a float otherwise.
struct Number {
    enum class Kind : unsigned char { UInt, Int, Float } kind = Kind::UInt;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double d = 0;
};

// Where a text comes from. Text made from a Python str is well-formed UTF-8 by construction:
// its strings need not be checked again.
enum class Source : bool { Bytes, Utf8 };

class Cursor {
public:
    explicit Cursor(std::string_view text, Source source = Source::Bytes) noexcept
        : begin_(text.data()), end_(text.data() + text.size()), p_(text.data()), utf8_known_(source == Source::Utf8) {}
    // The same, at `at`: a step of a walk started inside the text (offsets still count from its start).
    Cursor(std::string_view text, Source source, std::size_t at) noexcept : Cursor(text, source) { p_ += at; }

    // Skips JSON white space (space, tab, line feed, carriage return); the next byte, or -1 at the end.
    int peek_nonspace() noexcept {
        // Compact text has no white space between tokens, and text from a serializer mostly one
        // space after a comma or colon: settle those cases before any loop.
        if (p_ != end_ && static_cast<unsigned char>(*p_) > ' ') return static_cast<unsigned char>(*p_);
        if (end_ - p_ >= 2 && *p_ == ' ' && static_cast<unsigned char>(p_[1]) > ' ') {
            ++p_;
            return static_cast<unsigned char>(*p_);
        }
        skip_space();
        return peek();
    }
    int peek() const noexcept { return p_ != end_ ? static_cast<unsigned char>(*p_) : -1; }
    void eat() noexcept { ++p_; }
    std::size_t offset() const noexcept { return static_cast<std::size_t>(p_ - begin_); }
    // Where the cursor is in the text, and where the text ends.
    const char* here() const noexcept { return p_; }
    const char* text_end() const noexcept { return end_; }

    // Failures. Each returns false, so that a step can end with `return c.fail_here(...)`.
    bool fail(Failure failure, std::size_t offset) noexcept {
        if (!failed_) {
            failed_ = true;
            failure_ = failure;
            error_offset_ = offset;
        }
        return false;
    }
    bool fail_here(Failure failure) noexcept { return fail(failure, offset()); }
    bool fail_next(Failure failure) noexcept { return fail(failure, p_ != end_ ? offset() + 1 : offset()); }
    bool failed() const noexcept { return failed_; }
    // The kept failure with its line and column.
    ReadError error() const { return error_at(std::string(describe(failure_)), error_offset_); }
    // A failure described by a reader of the text (a record's own refusal), at `offset`.
    ReadError error_at(std::string description, std::size_t offset) const;

    // One more level of nesting, checked while the opening bracket is still the next byte.
    bool enter() noexcept {
        if (--depth_left_ == 0) return fail_next(Failure::RecursionLimit);
        return true;
    }
    void leave() noexcept { ++depth_left_; }

    // The rest of true, false or null after its first letter.
    bool ident(std::string_view rest) noexcept {
        for (char expected : rest) {
            if (p_ == end_) return fail_here(Failure::EofValue);
            if (*p_++ != expected) return fail_here(Failure::ExpectedIdent);
        }
        return true;
    }
    // `:` between a member name and its value.
    bool colon() noexcept {
        switch (peek_nonspace()) {
            case ':': eat(); return true;
            case -1: return fail_next(Failure::EofObject);
            default: return fail_next(Failure::ExpectedColon);
        }
    }
    // Only white space may follow the document.
    bool finish() noexcept {
        if (peek_nonspace() != -1) return fail_next(Failure::TrailingCharacters);
        return true;
    }

    // After an element or member: a comma with more to come (white space after it skipped), the
    // closing bracket (consumed), or a failure (kept).
    enum class Step : unsigned char { More, Close, Failed };
    template <Dialect D>
    Step after_item(char close) noexcept {
        int c = peek_nonspace();
        if (c == ',') {
            eat();
            c = peek_nonspace();
            if constexpr (D.checks_after_comma) {
                if (c == close) return fail_next(Failure::TrailingComma), Step::Failed;
                if (c == -1) return fail_next(Failure::EofValue), Step::Failed;
            }
            return Step::More;
        }
        if (c == close) {
            eat();
            return Step::Close;
        }
        const bool list = close == ']';
        if (c == -1) return fail_next(list ? Failure::EofList : Failure::EofObject), Step::Failed;
        return fail_next(list ? Failure::ExpectedCommaOrBracket : Failure::ExpectedCommaOrBrace), Step::Failed;
    }
    // After the last element a fixed-length sequence holds: only its closing bracket may follow
    // (consumed); another element, with or without a comma, is "trailing characters".
    bool after_last() noexcept {
        switch (peek_nonspace()) {
            case ']': eat(); return true;
            case ',':
                eat();
                return fail_next(peek_nonspace() == ']' ? Failure::TrailingComma : Failure::TrailingCharacters);
            case -1: return fail_next(Failure::EofList);
            default: return fail_next(Failure::TrailingCharacters);
        }
    }

    // A number from its first digit; when `negative`, the minus sign has just been consumed.
    template <Dialect D>
    bool scan_number(bool negative, NumberText& n) noexcept;
    // The value a scanned number stands for; "number out of range" when its magnitude overflows.
    bool number_value(const NumberText& n, Number& out) noexcept;
    // Fails exactly where number_value() would, without working the value out unless the
    // number lies at the very edge of the range.
    bool number_in_range(const NumberText& n) noexcept;

    // A string's body after its opening quote, up to and including the closing quote. `out`
    // receives it in pieces: run(begin, end) for bytes as they stand, escape(byte) for a
    // two-character escape (the byte it stands for), code_point(cp) for a \u escape (surrogate
    // pairs joined; only in a dialect that checks them).
    template <Dialect D, class Out>
    bool string_body(Out& out);

private:
    void skip_space() noexcept;
    bool hex4(unsigned& n) noexcept;
    // The code point of a \u escape after its `u`, a surrogate pair joined into one.
    bool unicode_escape(unsigned& cp) noexcept;
    bool number_out_of_range(const NumberText& n) const noexcept;

    const char* begin_;
    const char* end_;
    const char* p_;
    bool utf8_known_;
    int depth_left_ = kMaxDepth + 1;
    bool failed_ = false;
    Failure failure_ = Failure::EofValue;
    std::size_t error_offset_ = 0;
};

template <Dialect D>
bool Cursor::scan_number(bool negative, NumberText& n) noexcept {
    const auto is_digit = [](char c) { return bytes::is(c, bytes::kDigit); };
    constexpr Failure cut_short = D.number_end_is_eof ? Failure::EofValue : Failure::InvalidNumber;
    n.start = negative ? p_ - 1 : p_;
    if (p_ == end_) return fail_here(cut_short);
    n.int_begin = p_;
    const char c = *p_++;
    if (c == '0') {
        if (p_ != end_ && is_digit(*p_)) return fail_next(Failure::InvalidNumber);
    } else if (c >= '1' && c <= '9') {
        p_ = bytes::digit_run(p_, end_);
    } else {
        return fail_here(Failure::InvalidNumber);
    }
    n.int_end = p_;
    if (p_ != end_ && *p_ == '.') {
        ++p_;
        const char* digits = p_;
        p_ = bytes::digit_run(p_, end_);
        if (p_ == digits) return fail_next(p_ == end_ ? cut_short : Failure::InvalidNumber);
        n.is_float = true;
    }
    n.mantissa_end = p_;
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
        const char* mantissa_end = p_;
        ++p_;
        bool neg_exp = false;
        if (p_ != end_ && (*p_ == '+' || *p_ == '-')) neg_exp = *p_++ == '-';
        if (p_ == end_) return fail_here(cut_short);
        const char first = *p_++;
        if (!is_digit(first)) return fail_here(Failure::InvalidNumber);
        if constexpr (D.checks_number_range) {
            std::int32_t exp = first - '0';
            while (p_ != end_ && is_digit(*p_)) {
                const int d = *p_++ - '0';
                if (exp > (INT32_MAX - d) / 10) {
                    // An exponent this long: infinite unless the digits are all zero or it is negative.
                    bool nonzero = false;
                    for (const char* q = n.int_begin; q != mantissa_end; ++q) nonzero |= *q >= '1' && *q <= '9';
                    if (nonzero && !neg_exp) return fail_here(Failure::NumberOutOfRange);
                    p_ = bytes::digit_run(p_, end_);
                    n.zero_by_exponent = true;
                    n.end = p_;
                    return true;
                }
                exp = exp * 10 + d;
            }
        } else {
            p_ = bytes::digit_run(p_, end_);
        }
        n.is_float = true;
    }
    n.end = p_;
    return true;
}

template <Dialect D, class Out>
[[gnu::always_inline]] inline bool Cursor::string_body(Out& out) {
    const char* body = p_;
    unsigned char high = 0;
    for (;;) {
        const char* run = p_;
        p_ = bytes::string_run(p_, end_, high);
        if (p_ == end_) return fail_here(Failure::EofString);
        if (p_ != run) out.run(run, p_);
        const char c = *p_;
        if (c == '"') {
            if constexpr (D.checks_utf8) {
                // The escapes are ASCII and decode to whole characters, so the body's own bytes
                // are well-formed exactly when the decoded text is.
                if ((high & 0x80) != 0 && !utf8_known_ && !utf8::valid(reinterpret_cast<const unsigned char*>(body),
                                                       reinterpret_cast<const unsigned char*>(p_))) {
                    ++p_;
                    return fail_here(Failure::InvalidCodePoint);
                }
            }
            ++p_;
            return true;
        }
        if (c != '\\') {
            if constexpr (D.control_reported_after) ++p_;
            return fail_here(Failure::ControlCharacter);
        }
        ++p_;
        if (p_ == end_) return fail_here(Failure::EofString);
        const char letter = *p_++;
        if (const signed char byte = escapes::kJsonByte[static_cast<unsigned char>(letter)]; byte >= 0) {
            out.escape(static_cast<char>(byte));
        } else if (letter == 'u') {
            unsigned cp = 0;
            if constexpr (D.checks_surrogates) {
                if (!unicode_escape(cp)) return false;
                out.code_point(cp);
            } else {
                if (!hex4(cp)) return false;
            }
        } else {
            return fail_here(Failure::InvalidEscape);
        }
    }
}

}  // namespace korvo::json
