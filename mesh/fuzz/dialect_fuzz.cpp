// The lenient dialect (values a plan skips) against the strict one, on any bytes: lenient
// accepts everything strict accepts, and where their answers differ, the difference is one of
// those dialect.h writes down.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json/canonical.h"

namespace {

using korvo::json::Failure;
using korvo::json::ReadError;

bool is(const ReadError& e, Failure f) { return e.description == korvo::json::describe(f); }

// A failure only the strict rules have: lenient walks on where strict stops.
bool strict_only(const ReadError& e) {
    return is(e, Failure::NumberOutOfRange) || is(e, Failure::LoneLeadingSurrogate) ||
           is(e, Failure::UnexpectedEndOfHexEscape) || is(e, Failure::InvalidCodePoint);
}

bool same_place(const ReadError& a, const ReadError& b) { return a.line == b.line && a.column == b.column; }

// The documented ways one failure reads differently in the two dialects.
bool documented(const ReadError& lenient, const ReadError& strict) {
    if (lenient == strict) return true;
    if (is(strict, Failure::TrailingComma)) {
        return same_place(lenient, strict) && (is(lenient, Failure::ExpectedValue) || is(lenient, Failure::KeyMustBeString));
    }
    if (is(strict, Failure::EofValue)) {
        return same_place(lenient, strict) && (is(lenient, Failure::EofObject) || is(lenient, Failure::InvalidNumber));
    }
    if (is(strict, Failure::ControlCharacter) && is(lenient, Failure::ControlCharacter)) {
        // Reported after the character, or before it: one column to the left, or, for a line
        // feed, at the end of the line it ends.
        return (lenient.line == strict.line && lenient.column + 1 == strict.column) ||
               (lenient.line + 1 == strict.line && strict.column == 0);
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using korvo::fuzz::check;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto strict = korvo::json::check(text);
    const auto lenient = korvo::json::check_lenient(text);
    if (strict) {
        if (!lenient) korvo::fuzz::violated("lenient refused what strict accepted", lenient.error().message());
        return 0;
    }
    if (lenient) {
        check(strict_only(strict.error()), "lenient accepted past a failure strict shares",
              strict.error().message());
        return 0;
    }
    check(strict_only(strict.error()) || documented(lenient.error(), strict.error()),
          "the dialects differ in an undocumented way",
          "lenient: " + lenient.error().message() + " / strict: " + strict.error().message());
    return 0;
}
