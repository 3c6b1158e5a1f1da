// The float form of the mesh's JSON: the shortest digits that read back as the same double,
// laid out as plain decimal for exponents -5..15 and in exponent form outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvo::json {

// The room the writers below need at the place they write to: the text is shorter (at most 25
// bytes), but the writers move fixed, generous sizes and then advance by what counts.
inline constexpr std::size_t kFloatRoom = 64;

// Writes the text of `d` at p (kFloatRoom bytes of room) and returns its end: 0.0 / -0.0 for
// zeros, null for a value that is not finite.
char* put_float(char* p, double d) noexcept;

// The same for a value that is finite and not zero, given as its sign and magnitude.
char* put_shortest(char* p, bool negative, double magnitude) noexcept;

// Writes the float form of the non-zero value ±significand × 10^(e - n + 1): `significand` has
// n (1 to 17) digits, its last not 0, so that e is the exponent of its first.
char* put_significand(char* p, bool negative, std::uint64_t significand, int n, int e) noexcept;

// The same, appended to a string.
void write_float(double d, std::string& out);

}  // namespace korvo::json
