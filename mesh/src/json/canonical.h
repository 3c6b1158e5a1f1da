// Transitional: the JSON unit is being split; this header names the part callers use.
#pragma once

#include "json/json_text.h"

namespace korvo::json {

// Reads exactly one JSON document and keeps nothing: fails exactly where read() fails.
std::expected<void, ReadError> check(std::string_view text);

}  // namespace korvo::json
