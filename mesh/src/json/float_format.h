// The float form of the mesh's JSON: the shortest digits that read back as the same double,
// laid out as plain decimal for exponents -5..15 and in exponent form outside them.
#pragma once

#include <string>

namespace korvo::json {

// Appends the text of `d`: 0.0 / -0.0 for zeros, null for a value that is not finite.
void write_float(double d, std::string& out);

}  // namespace korvo::json
