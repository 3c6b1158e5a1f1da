// The quoted form of a text, as shown in messages and in the mesh's summary line:
// "…" with backslash escapes for quotes, backslashes, \t \r \n \0, and \u{hex} for
// characters that are not printable or are combining marks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvo {

// Appends the quoted form of `utf8` (valid UTF-8) to `out`.
void append_quoted(std::string_view utf8, std::string& out);

inline std::string quoted(std::string_view utf8) {
    std::string out;
    append_quoted(utf8, out);
    return out;
}

// Unicode properties behind the quoted form: tables generated from one pinned Unicode version
// (scripts/gen_unicode_tables.py), the same whatever interpreter loads the module.
bool is_printable(char32_t cp) noexcept;
bool is_combining_mark(char32_t cp) noexcept;
// The Unicode version the tables follow, as "17.0.0".
std::string_view unicode_version() noexcept;

}  // namespace korvo
