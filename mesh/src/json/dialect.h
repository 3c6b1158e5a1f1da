// The two sets of rules a JSON walk reads by. Strict is the reader's: every JSON text argument
// is read by it. LenientSkip checks only the shape of a value that is thrown away (a member of
// a plan that the plan does not know). Every way the two differ is one field here, each pinned
// by a test (JsonDialects in json_test.cpp) and fuzzed (dialect_fuzz.cpp); the walk and
// the cursor ask these fields and nothing else.
#pragma once

namespace korvo::json {

// Arrays and objects nest at most this deep in either dialect: the next opening bracket fails.
inline constexpr int kMaxDepth = 127;

struct Dialect {
    // After a comma, the closing bracket is "trailing comma" and the end of the text
    // "EOF while parsing a value". Otherwise the next item is read as if the comma had been
    // followed by one: `[1,]` is "expected value", `{"a":1,}` is "key must be a string" and
    // `{"a":1,` is "EOF while parsing an object".
    bool checks_after_comma;
    // A number cut short by the end of the text (`-`, `1.`, `1e`, `1e+`) is "EOF while parsing
    // a value". Otherwise "invalid number".
    bool number_end_is_eof;
    // A number beyond the float range (`1e400`) is "number out of range". Otherwise its digits
    // are checked, its value is not.
    bool checks_number_range;
    // \u escapes must pair their surrogates (`"\ud800"` is refused). Otherwise any four hex digits.
    bool checks_surrogates;
    // A string's bytes must be well-formed UTF-8. Otherwise any bytes but the quote, the
    // backslash and control characters.
    bool checks_utf8;
    // A control character inside a string is reported after it. Otherwise before it, one
    // column to the left.
    bool control_reported_after;
};

inline constexpr Dialect kStrict{true, true, true, true, true, true};
inline constexpr Dialect kLenientSkip{false, false, false, false, false, false};

}  // namespace korvo::json
