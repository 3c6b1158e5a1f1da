#include "cases.h"

#include <gtest/gtest.h>

#include <fstream>
#include <utility>

#include "json/read.h"

namespace korvo::test {

std::vector<CaseRow> load_case_table(std::string_view name) {
    const std::string where(name);
    std::vector<CaseRow> rows;
    std::ifstream in(std::string(KORVO_TEST_DATA) + "/" + where, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot open " << where;
        return rows;
    }
    std::string text;
    for (std::size_t line = 1; std::getline(in, text); ++line) {
        if (text.empty()) continue;
        auto row = json::read(text);
        if (!row) {
            ADD_FAILURE() << where << ":" << line << ": " << row.error().message();
            continue;
        }
        const auto string_member = [&](const char* key) -> const std::string* {
            const json::Value* v = row->find(key);
            return v != nullptr && v->type() == json::Value::Type::String ? &v->as_string() : nullptr;
        };
        const std::string* input = string_member("input");
        const std::string* ok = string_member("ok");
        const std::string* err = string_member("err");
        if (input == nullptr || (ok == nullptr) == (err == nullptr)) {
            ADD_FAILURE() << where << ":" << line << ": needs a string input and one string ok or err: " << text;
            continue;
        }
        CaseRow& added = rows.emplace_back();
        added.line = line;
        added.input = *input;
        if (ok != nullptr) {
            added.expected = *ok;
        } else {
            added.expected = std::unexpected(*err);
        }
    }
    return rows;
}

}  // namespace korvo::test
