// Every way reading JSON text can fail. A reader keeps only the failure and the offset where it
// stopped; the message, with its line and column, is made when someone asks for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"

namespace korvo::json {

enum class Failure : std::uint8_t {
    EofList,
    EofObject,
    EofString,
    EofValue,
    ExpectedColon,
    ExpectedCommaOrBracket,
    ExpectedCommaOrBrace,
    ExpectedIdent,
    ExpectedValue,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    InvalidCodePoint,
    ControlCharacter,
    KeyMustBeString,
    LoneLeadingSurrogate,
    TrailingComma,
    TrailingCharacters,
    UnexpectedEndOfHexEscape,
    RecursionLimit,
};

inline constexpr std::array<std::string_view, 20> kFailureTexts = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
};
static_assert(kFailureTexts.size() == static_cast<std::size_t>(Failure::RecursionLimit) + 1);

constexpr std::string_view describe(Failure f) noexcept { return kFailureTexts[static_cast<std::size_t>(f)]; }

// A reading failure as callers see it: what went wrong and where (line from 1, column in bytes
// within the line).
struct ReadError {
    std::string description;
    std::size_t line = 1;
    std::size_t column = 0;

    // "{description} at line {line} column {column}"
    std::string message() const;
    MeshError to_mesh_error() const { return MeshError::serialization(message()); }
    friend bool operator==(const ReadError&, const ReadError&) = default;
};

}  // namespace korvo::json
