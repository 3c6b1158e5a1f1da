// The float form of the mesh's JSON: the shortest digits that read back as the same double,
// laid out as plain decimal for exponents -5..15 and in exponent form outside them.
#pragma once

#include <cstddef>
#include <string>

namespace korvo::json {

// The room the writers below need at the place they write to: the text is shorter (at most 25
// bytes), but the writers move fixed, generous sizes and then advance by what counts.
inline constexpr std::size_t kFloatRoom = 64;

// Writes the text of `d` at p (kFloatRoom bytes of room) and returns its end: 0.0 / -0.0 for
// zeros, null for a value that is not finite.
char* put_float(char* p, double d) noexcept;

// Writes the float form of the non-zero value ±d1.d2…dn × 10^e, given its shortest digits:
// `digits` holds n (1 to 17) significant digits, the first not 0, the last not 0, in a buffer of
// at least 24 bytes (what follows the digits is never written out).
char* put_decimal(char* p, bool negative, const char* digits, int n, int e) noexcept;

// The same, appended to a string.
void write_float(double d, std::string& out);

}  // namespace korvo::json
