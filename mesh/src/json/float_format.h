// The float form of the mesh's JSON: the shortest digits that read back as the same double,
// laid out as plain decimal for exponents -5..15 and in exponent form outside them.
#pragma once

#include <string>

namespace korvo::json {

// Appends the text of `d`: 0.0 / -0.0 for zeros, null for a value that is not finite.
void write_float(double d, std::string& out);

// Appends the float form of the non-zero value ±d1.d2…dn × 10^e, given its shortest digits:
// `digits` holds n (1 to 17) significant digits, the first not 0, the last not 0, in a buffer of
// at least 24 bytes (what follows the digits is never written out).
void write_decimal(bool negative, const char* digits, int n, int e, std::string& out);

}  // namespace korvo::json
