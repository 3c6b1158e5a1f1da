// Canonical text straight from JSON text, in one pass and without a value tree; and checking a
// text without keeping anything.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "json/cursor.h"
#include "json/errors.h"

namespace korvo::json {

// Reads exactly one JSON document and appends its canonical compact text to `out`: the same
// bytes as write(*read(text)), and on failure the same error, without building the tree.
// On failure `out` is left as it was.
std::expected<void, ReadError> canonicalize(std::string_view text, std::string& out,
                                            Source source = Source::Bytes);

// Reads exactly one JSON document and keeps nothing: fails exactly where read() fails.
std::expected<void, ReadError> check(std::string_view text, Source source = Source::Bytes);

// The same by the lenient rules a plan uses for members it does not know (dialect.h).
std::expected<void, ReadError> check_lenient(std::string_view text);

}  // namespace korvo::json
