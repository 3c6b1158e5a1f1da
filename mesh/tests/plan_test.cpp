#include "plan.h"
#include "json/read.h"
#include "json/write.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cases.h"

namespace korvo {
namespace {

std::string text_of(const Plan& plan) {
    std::string out;
    plan.write_json(out);
    return out;
}

std::string message_of(std::string_view text) {
    auto plan = Plan::from_json(text);
    if (plan) return "decoded: " + text_of(*plan);
    EXPECT_EQ(plan.error().kind(), MeshError::Kind::SerializationError);
    return plan.error().first();
}

TEST(PlanCases, EveryRowOfTheTable) {
    const auto rows = test::load_case_table("plan-decode.jsonl");
    std::size_t passed = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE("plan-decode.jsonl:" + std::to_string(row.line) + " input " + row.input);
        auto plan = Plan::from_json(row.input);
        if (row.expected) {
            ASSERT_TRUE(plan) << plan.error().message();
            const std::string text = text_of(*plan);
            if (plan->backends.size() > 1) {
                // Backends may come out in any order: compare them as a map.
                EXPECT_EQ(json::read(text), json::read(*row.expected));
                if (json::read(text) == json::read(*row.expected)) ++passed;
            } else {
                EXPECT_EQ(text, *row.expected);
                if (text == *row.expected) ++passed;
            }
        } else {
            ASSERT_FALSE(plan) << text_of(*plan);
            EXPECT_EQ(plan.error().kind(), MeshError::Kind::SerializationError);
            EXPECT_EQ(plan.error().first(), row.expected.error());
            if (plan.error().first() == row.expected.error()) ++passed;
        }
    }
    EXPECT_FALSE(rows.empty());
    EXPECT_EQ(passed, rows.size());
}

struct DecodeCase {
    std::string text;
    std::string expected;  // "decoded: " + canonical text, or the failure's detail
};

TEST(PlanDecode, TrimAndEmptyForms) {
    const std::string empty = "decoded: {\"app_name\":\"\",\"backends\":{},\"functions\":[],\"agents\":[]}";
    const DecodeCase cases[] = {
        {"", empty},
        {" \n\t\r\v\f", empty},
        {" \n{}\t", empty},
        {"\xc2\xa0{}\xe3\x80\x80", empty},
        {"\xe2\x80\xa8\xe2\x80\x89\xc2\x85{}\xe1\x9a\x80", empty},
        {"\xc2\xa0[\"a\"]\xc2\xa0", "decoded: {\"app_name\":\"a\",\"backends\":{},\"functions\":[],\"agents\":[]}"},
        // Positions count from the trimmed text.
        {"\xc2\xa0\n{ }", "missing field `app_name` at line 1 column 3"},
        {"\xe3\x80\x80{\n}", "missing field `app_name` at line 2 column 1"},
        // Only white space is trimmed: a byte-order mark or a zero-width space stays and fails.
        {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},
        {"\xe2\x80\x8b{}", "expected value at line 1 column 1"},
        // Anything after "{}" makes it an ordinary object, which lacks app_name.
        {"{}\xe2\x80\x8b", "missing field `app_name` at line 1 column 2"},
        {"{}\xff", "missing field `app_name` at line 1 column 2"},
        {"{\"app_name\":\"a\"}\xe2\x80\x8b", "trailing characters at line 1 column 17"},
        {"\xc2", "expected value at line 1 column 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(message_of(c.text), c.expected) << c.text;
}

TEST(PlanDecode, RecordFailurePositions) {
    const DecodeCase cases[] = {
        // A repeated or missing field is placed after the closing brace when it comes next.
        {"{\"app_name\":\"a\", \"app_name\" }", "duplicate field `app_name` at line 1 column 29"},
        {"{\"app_name\":\"a\",\"app_name\"\n:\"b\"}", "duplicate field `app_name` at line 2 column 0"},
        {"{\"functions\":[] \n}", "missing field `app_name` at line 2 column 1"},
        {"[ ]", "invalid length 0, expected struct Plan with 4 elements at line 1 column 3"},
        {"{\"app_name\":\"a\",\"backends\":{\"b\":[ ]}}", "invalid length 0, expected struct BackendSpec with 2 elements at line 1 column 35"},
        // An ill-typed value is placed after it (scalars) or before it (containers).
        {"{\"app_name\": 100.0}", "invalid type: floating point `100.0`, expected a string at line 1 column 18"},
        {"{\"app_name\":-0.0}", "invalid type: floating point `-0.0`, expected a string at line 1 column 16"},
        {"{\"app_name\":18446744073709551615}", "invalid type: integer `18446744073709551615`, expected a string at line 1 column 32"},
        {"{\"app_name\":false}", "invalid type: boolean `false`, expected a string at line 1 column 17"},
        {"{\"app_name\":\"a\",\"functions\":[\"f\",\"g\",[]]}", "invalid type: sequence, expected a string at line 1 column 37"},
        {"{\"app_name\": nul}", "expected ident at line 1 column 17"},
        {"{\"app_name\":1e400}", "number out of range at line 1 column 17"},
        {"{\"app_name\":\"\\ud800\"}", "unexpected end of hex escape at line 1 column 20"},
        {"{\"app_name\":[\"x\"}", "invalid type: sequence, expected a string at line 1 column 12"},
        // Escaped member names are decoded before they are matched.
        {"{\"app\\u005fname\":\"a\",\"app_name\":\"b\"}", "duplicate field `app_name` at line 1 column 31"},
        {"[\"a\",{},[],[],]", "trailing comma at line 1 column 15"},
        {"[\"a\",{},[],[] x", "trailing characters at line 1 column 15"},
        {"[\"a\",{},[],[]", "EOF while parsing a list at line 1 column 13"},
        {"[\"a\",{},[],[] }", "trailing characters at line 1 column 15"},
        {"{\"app_name\":\"a\"\"x\":1}", "expected `,` or `}` at line 1 column 16"},
    };
    for (const auto& c : cases) EXPECT_EQ(message_of(c.text), c.expected) << c.text;
}

// Members of unknown name are checked for shape only and then dropped.
TEST(PlanDecode, UnknownMembersAreSkipped) {
    const std::string plain = "decoded: {\"app_name\":\"a\",\"backends\":{},\"functions\":[],\"agents\":[]}";
    const DecodeCase cases[] = {
        {"{\"x\":{\"y\":[1,-2.5e-3,true,false,null,\"s\\u00e9\"]},\"app_name\":\"a\",\"x\":0}", plain},
        {"{\"app_name\":\"a\",\"x\":1e400}", plain},
        {"{\"app_name\":\"a\",\"x\":\"\\udc00\"}", plain},
        {"{\"app_name\":\"a\",\"backends\":{},\"z\":[[]]}", plain},
        {"{\"app_name\":\"a\",\"x\":[1,]}", "expected value at line 1 column 24"},
        {"{\"app_name\":\"a\",\"x\":{\"k\":1,}}", "key must be a string at line 1 column 28"},
        {"{\"app_name\":\"a\",\"x\":1.}", "invalid number at line 1 column 23"},
        {"{\"app_name\":\"a\",\"x\":\"\x01\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 21"},
        {"{\"app_name\":\"a\",\"x\":\"\\x\"}", "invalid escape at line 1 column 23"},
        {"{\"app_name\":\"a\",\"backends\":{\"b\":{\"backend_type\":\"t\",\"extra\":{\"q\":[}}}}", "expected value at line 1 column 67"},
    };
    for (const auto& c : cases) EXPECT_EQ(message_of(c.text), c.expected) << c.text;

    // The nesting limit counts the levels of the whole document, skipped members included.
    auto nested = [](int depth) {
        return "{\"app_name\":\"a\",\"x\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
    };
    EXPECT_EQ(message_of(nested(126)), plain);
    EXPECT_EQ(message_of(nested(127)), "recursion limit exceeded at line 1 column 147");
}

TEST(PlanDecode, BackendsKeepFirstPlaceAndLastSpec) {
    auto plan = Plan::from_json(
        "{\"app_name\":\"a\",\"backends\":{\"x\":{\"backend_type\":\"1\"},\"y\":[\"2\",{\"b\":1,\"a\":[2.50,-0]}],"
        "\"x\":{\"config\":7,\"backend_type\":\"3\"}}}");
    ASSERT_TRUE(plan) << plan.error().message();
    ASSERT_EQ(plan->backends.size(), 2u);
    EXPECT_EQ(plan->backends[0].first, "x");
    EXPECT_EQ(plan->backends[0].second.backend_type, "3");
    EXPECT_EQ(plan->backends[0].second.config, json::Value(std::uint64_t{7}));
    EXPECT_EQ(plan->backends[1].first, "y");
    EXPECT_EQ(text_of(*plan),
              "{\"app_name\":\"a\",\"backends\":{\"x\":{\"backend_type\":\"3\",\"config\":7},"
              "\"y\":{\"backend_type\":\"2\",\"config\":{\"a\":[2.5,-0.0],\"b\":1}}},\"functions\":[],\"agents\":[]}");
}

TEST(PlanWrite, FieldOrderAndRoundTrip) {
    Plan plan = Plan::named("shop \"main\"");
    plan.functions = {"checkout", "checkout", "r\xc3\xa9sum\xc3\xa9"};
    plan.agents = {"Customer"};
    plan.backends.push_back({"zeta", BackendSpec{"redis", json::Value()}});
    plan.backends.push_back({"alpha", BackendSpec{"sqlite", *json::read("{\"path\":\"/tmp/x\",\"pool\":4}")}});
    const std::string text = text_of(plan);
    EXPECT_EQ(text,
              "{\"app_name\":\"shop \\\"main\\\"\",\"backends\":{\"zeta\":{\"backend_type\":\"redis\",\"config\":null},"
              "\"alpha\":{\"backend_type\":\"sqlite\",\"config\":{\"path\":\"/tmp/x\",\"pool\":4}}},"
              "\"functions\":[\"checkout\",\"checkout\",\"r\xc3\xa9sum\xc3\xa9\"],\"agents\":[\"Customer\"]}");
    auto back = Plan::from_json(text);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_EQ(*back, plan);
    EXPECT_EQ(text_of(*back), text);

    std::string appended = "prefix:";
    Plan::named("").write_json(appended);
    EXPECT_EQ(appended, "prefix:{\"app_name\":\"\",\"backends\":{},\"functions\":[],\"agents\":[]}");
    // The names a reader finds the fields by, in the order they are written.
    EXPECT_EQ(json::field_names<kPlanRecord>(),
              (std::array<std::string_view, 4>{"app_name", "backends", "functions", "agents"}));
    EXPECT_EQ(json::field_names<kBackendSpecRecord>(), (std::array<std::string_view, 2>{"backend_type", "config"}));
}

TEST(PlanDecode, FailureIsSerializationError) {
    auto plan = Plan::from_json("{\"app_name\":null}");
    ASSERT_FALSE(plan);
    EXPECT_EQ(plan.error().kind(), MeshError::Kind::SerializationError);
    EXPECT_EQ(plan.error().message(), "Serialization error: invalid type: null, expected a string at line 1 column 16");
}

}  // namespace
}  // namespace korvo
