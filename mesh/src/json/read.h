// Reading JSON text into a value tree, by the strict rules.
#pragma once

#include <expected>
#include <string_view>

#include "base/error.h"
#include "json/dialect.h"
#include "json/errors.h"
#include "json/value.h"

namespace korvo::json {

class Cursor;

// Reads exactly one JSON document, JSON white space allowed around it.
std::expected<Value, ReadError> read(std::string_view text);

// Reads and hands the failure back as a SerializationError.
inline Result<Value> parse(std::string_view text) {
    auto v = read(text);
    if (!v) return fail(v.error().to_mesh_error());
    return std::move(*v);
}

// One value at the cursor (white space before it skipped), into `out`: for readers of records
// that hold a JSON value among their fields.
bool read_value(Cursor& c, Value& out);
// A string's body after its opening quote, decoded and appended to `out`.
bool read_string_body(Cursor& c, std::string& out);

}  // namespace korvo::json
