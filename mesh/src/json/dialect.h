// The two sets of rules a JSON walk reads by. Strict is the reader's: every JSON text argument
// is read by it. LenientSkip checks only the shape of a value that is thrown away (a member of
// a plan that the plan does not know). Every way the two differ is one flag here, each pinned
// by a test (json_dialect_test.cpp); the walk and the cursor ask these flags and nothing else.
#pragma once

namespace korvo::json {

// Arrays and objects nest at most this deep in either dialect: the next opening bracket fails.
inline constexpr int kMaxDepth = 127;

struct Strict {
    // After a comma, the closing bracket is "trailing comma" and the end of the text
    // "EOF while parsing a value". Lenient: the next item is read as if the comma had been
    // followed by one, so `[1,]` is "expected value", `{"a":1,}` is "key must be a string"
    // and `{"a":1,` is "EOF while parsing an object".
    static constexpr bool checks_after_comma = true;
    // A number cut short by the end of the text (`-`, `1.`, `1e`, `1e+`) is "EOF while parsing
    // a value". Lenient: "invalid number".
    static constexpr bool number_end_is_eof = true;
    // A number beyond the float range (`1e400`) is "number out of range". Lenient: its digits
    // are checked, its value is not.
    static constexpr bool checks_number_range = true;
    // \u escapes must pair their surrogates (`"\ud800"` is refused). Lenient: any four hex digits.
    static constexpr bool checks_surrogates = true;
    // A string's bytes must be well-formed UTF-8. Lenient: any bytes but the quote, the
    // backslash and control characters.
    static constexpr bool checks_utf8 = true;
    // A control character inside a string is reported after it. Lenient: before it, one
    // column to the left.
    static constexpr bool control_reported_after = true;
};

struct LenientSkip {
    static constexpr bool checks_after_comma = false;
    static constexpr bool number_end_is_eof = false;
    static constexpr bool checks_number_range = false;
    static constexpr bool checks_surrogates = false;
    static constexpr bool checks_utf8 = false;
    static constexpr bool control_reported_after = false;
};

}  // namespace korvo::json
