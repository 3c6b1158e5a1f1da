// The reader against the conformance corpus in tests/data/jsontestsuite/: files named
// y_* must be accepted, n_* refused, and i_* (left to the implementation) answered
// either way without harm. Every answer must also be coherent: an accepted text
// writes canonically to a text that reads back to the same value, and a refusal
// points inside the text.
#include "json/canonical.h"
#include "json/read.h"
#include "json/write.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace korvo::json {
namespace {

const std::filesystem::path kSuiteDir = std::filesystem::path(KORVO_TEST_DATA) / "jsontestsuite";

std::vector<std::string> suite_files() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kSuiteDir, ec)) {
        if (entry.path().extension() == ".json") names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A test name for a file: letters, digits and underscores, with '+' and '-' kept apart.
std::string case_name(const testing::TestParamInfo<std::string>& info) {
    std::string name;
    for (char c : info.param.substr(0, info.param.size() - 5)) {
        if (c == '+') name += "plus";
        else if (c == '-') name += "minus";
        else name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    }
    return name;
}

void expect_coherent_refusal(const std::string& text, const ReadError& e) {
    EXPECT_FALSE(e.description.empty());
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    EXPECT_GE(e.line, 1u) << e.message();
    EXPECT_LE(e.line, lines) << e.message();
    EXPECT_EQ(e.message(), e.description + " at line " + std::to_string(e.line) + " column " +
                               std::to_string(e.column));
}

void expect_canonical_round_trip(const Value& value) {
    const std::string canonical = to_text(value);
    auto again = read(canonical);
    ASSERT_TRUE(again.has_value()) << again.error().message() << " in " << canonical;
    EXPECT_EQ(*again, value) << canonical;
    EXPECT_EQ(to_text(*again), canonical);
}

class JsonTestSuite : public testing::TestWithParam<std::string> {};

TEST_P(JsonTestSuite, Answers) {
    const std::string& name = GetParam();
    const std::string text = read_file(kSuiteDir / name);
    auto value = read(text);
    switch (name[0]) {
        case 'y':
            ASSERT_TRUE(value.has_value()) << name << ": " << value.error().message();
            expect_canonical_round_trip(*value);
            break;
        case 'n':
            ASSERT_FALSE(value.has_value()) << name << " accepted as " << to_text(*value);
            expect_coherent_refusal(text, value.error());
            break;
        case 'i':
            if (value) expect_canonical_round_trip(*value);
            else expect_coherent_refusal(text, value.error());
            break;
        default: FAIL() << "unexpected file in the suite: " << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Files, JsonTestSuite, testing::ValuesIn(suite_files()), case_name);

// Guards against a missing or partial corpus, which would otherwise pass with fewer cases.
TEST(JsonTestSuiteCorpus, HasEveryFile) {
    const auto names = suite_files();
    const auto count = [&](char kind) {
        return std::count_if(names.begin(), names.end(), [&](const std::string& n) { return n[0] == kind; });
    };
    EXPECT_EQ(count('y'), 95);
    EXPECT_EQ(count('n'), 188);
    EXPECT_EQ(count('i'), 35);
}

}  // namespace
}  // namespace korvo::json
