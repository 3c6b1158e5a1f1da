// The JSON-lines case tables in tests/data: one row a line, {"input": TEXT, "ok": TEXT} for an
// input that must be accepted or {"input": TEXT, "err": MESSAGE} for one that must be refused.
// The C++ and the Python tests read the same tables.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace korvo::test {

struct CaseRow {
    std::size_t line = 0;  // in the table file, from 1
    std::string input;
    // The row's `ok` text, or as the error its `err` message.
    std::expected<std::string, std::string> expected;
};

// Reads tests/data/<name>, skipping empty lines. A file that cannot be opened, or a row that
// is not an object with a string `input` and exactly one string `ok` or `err`, is reported as
// a failure of the running test and the row left out, so a count check on the result fails too.
std::vector<CaseRow> load_case_table(std::string_view name);

}  // namespace korvo::test
