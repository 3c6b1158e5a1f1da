#include "json/canonical.h"
#include "json/read.h"
#include "json/write.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/cases.h"

namespace korvo::json {
namespace {

TEST(JsonReaderCases, EveryRowOfTheTable) {
    auto rows = test::load_case_table("json-reader.jsonl");  // a row it cannot read fails the test
    ASSERT_FALSE(rows.empty());
    std::size_t passed = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE("json-reader.jsonl:" + std::to_string(row.line) + " input " + row.input);
        auto value = read(row.input);
        if (row.expected) {
            ASSERT_TRUE(value) << value.error().message();
            EXPECT_EQ(to_text(*value), *row.expected);
            if (value && to_text(*value) == *row.expected) ++passed;
        } else {
            ASSERT_FALSE(value) << to_text(*value);
            EXPECT_EQ(value.error().message(), row.expected.error());
            if (value.error().message() == row.expected.error()) ++passed;
        }
    }
    EXPECT_EQ(passed, rows.size());
}

struct FloatCase {
    double value;
    const char* text;
};

TEST(JsonWriter, FloatLayouts) {
    const FloatCase cases[] = {
        {0.5, "0.5"},
        {0.00001, "0.00001"},
        {0.000123, "0.000123"},
        {1.5, "1.5"},
        {123.25, "123.25"},
        {100.0, "100.0"},
        {1500.0, "1500.0"},
        {1.0, "1.0"},
        {1e15, "1000000000000000.0"},
        {123456789012345.6, "123456789012345.6"},
        {1e16, "1e+16"},
        {1.25e17, "1.25e+17"},
        {1e-6, "1e-6"},
        {1.5e-7, "1.5e-7"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {-2.5, "-2.5"},
        {-1e100, "-1e+100"},
        {1.8446744073709552e19, "1.8446744073709552e+19"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {0.1 + 0.2, "0.30000000000000004"},
        {std::numeric_limits<double>::infinity(), "null"},
        {-std::numeric_limits<double>::infinity(), "null"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
    };
    for (const auto& c : cases) {
        std::string out = "x";
        write_float(c.value, out);
        EXPECT_EQ(out, std::string("x") + c.text) << c.text;
    }
}

// Floats read back exactly, from digits that are the shortest: the same digits as the
// standard library's shortest form, checked on fixed values and on random bit patterns.
TEST(JsonWriter, FloatsReadBackExactlyFromTheShortestDigits) {
    const auto significant = [](std::string_view text) {
        std::string digits;
        for (char c : text.substr(0, text.find_first_of("eE"))) {
            if (c >= '0' && c <= '9' && !(digits.empty() && c == '0')) digits.push_back(c);
        }
        while (!digits.empty() && digits.back() == '0') digits.pop_back();
        return digits;
    };
    std::vector<double> values = {0.1, 2.0 / 3.0, 1e-5, 9.999999999999999e15, 1e21, 123e-20, 4.35, 1e308,
                                  2.2250738585072014e-308, 5e-324, -1.7976931348623157e308};
    std::uint64_t bits = 0x9E3779B97F4A7C15ULL;
    while (values.size() < 100000) {
        bits = bits * 6364136223846793005ULL + 1442695040888963407ULL;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        // Every other one from 2^-20 to 2^56, where the point goes among the digits or zeros
        // come before or after them.
        if (values.size() % 2 != 0) d = std::ldexp(static_cast<double>(bits >> 11), static_cast<int>(bits % 77) - 73);
        if (std::isfinite(d) && d != 0) values.push_back(d);
    }
    for (double d : values) {
        std::string out;
        write_float(d, out);
        auto back = read(out);
        ASSERT_TRUE(back) << out;
        ASSERT_EQ(back->type(), Value::Type::Float) << out;
        ASSERT_EQ(back->as_float(), d) << out;
        char shortest[64];
        const auto end = std::to_chars(shortest, shortest + sizeof shortest, d, std::chars_format::scientific).ptr;
        ASSERT_EQ(significant(out), significant(std::string_view(shortest, end))) << out;
    }
}

TEST(JsonWriter, StringEscapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {std::string("\x00\x01\x1f", 3), "\"\\u0000\\u0001\\u001f\""},
        {"\x1f\t\xc3\xa9", "\"\\u001f\\t\xc3\xa9\""},
        {"a/b\x7f", "\"a/b\x7f\""},
        {"\xe6\x97\xa5\xf0\x9f\x98\x80", "\"\xe6\x97\xa5\xf0\x9f\x98\x80\""},
        {"", "\"\""},
    };
    for (const auto& [raw, text] : cases) {
        std::string out;
        write_string(raw, out);
        EXPECT_EQ(out, text);
    }
}

TEST(JsonWriter, IntegersAndContainers) {
    std::string out;
    write_uint(18446744073709551615u, out);
    out.push_back(' ');
    write_int(std::numeric_limits<std::int64_t>::min(), out);
    out.push_back(' ');
    write_int(42, out);
    EXPECT_EQ(out, "18446744073709551615 -9223372036854775808 42");

    Value v = Value::object({{"b", Value(Array{Value(nullptr), Value(true), Value("s")})},
                             {"a", Value::object({{"z", Value(std::uint64_t{1})}, {"y", Value(std::int64_t{-1})}})}});
    EXPECT_EQ(to_text(v), "{\"a\":{\"y\":-1,\"z\":1},\"b\":[null,true,\"s\"]}");
}

TEST(JsonValue, ObjectSortsAndKeepsLastDuplicate) {
    Value v = Value::object({{"b", Value(std::uint64_t{1})},
                             {"a", Value(std::uint64_t{2})},
                             {"b", Value(std::uint64_t{3})},
                             {"\xc3\xa9", Value(std::uint64_t{4})},
                             {"B", Value(std::uint64_t{5})},
                             {"a", Value(std::uint64_t{6})}});
    EXPECT_EQ(to_text(v), "{\"B\":5,\"a\":6,\"b\":3,\"\xc3\xa9\":4}");
    ASSERT_NE(v.find("b"), nullptr);
    EXPECT_EQ(v.find("b")->as_uint(), 3u);
    EXPECT_EQ(v.find("\xc3\xa9")->as_uint(), 4u);
    EXPECT_EQ(v.find("c"), nullptr);
    EXPECT_EQ(v.find(""), nullptr);
    EXPECT_EQ(Value(std::uint64_t{1}).find("a"), nullptr);
}

TEST(JsonValue, LargeObjectsSortAndKeepLastDuplicate) {
    // Names k39..k00 twice over, the second round carrying the values that must survive.
    std::string text = "{";
    for (int round = 0; round < 2; ++round) {
        for (int i = 39; i >= 0; --i) {
            if (text.size() > 1) text += ',';
            text += "\"k" + std::to_string(i / 10) + std::to_string(i % 10) + "\":" + std::to_string(round * 100 + i);
        }
    }
    text += '}';
    auto v = read(text);
    ASSERT_TRUE(v) << v.error().message();
    const Object& members = v->as_object();
    ASSERT_EQ(members.size(), 40u);
    for (std::size_t i = 0; i < members.size(); ++i) {
        EXPECT_EQ(members[i].value.as_uint(), 100 + i) << members[i].name;
        if (i > 0) {
            EXPECT_LT(members[i - 1].name, members[i].name);
        }
    }
}

TEST(JsonValue, EqualityKeepsNumberKindsApart) {
    EXPECT_EQ(*read("{\"a\":[1,2.5,\"x\"]}"), *read(" { \"a\" : [ 1 , 2.5 , \"x\" ] } "));
    EXPECT_FALSE(*read("1") == *read("1.0"));
    EXPECT_FALSE(*read("1") == Value(std::int64_t{1}));
    EXPECT_FALSE(*read("{\"a\":1}") == *read("{\"b\":1}"));
}

struct NumberCase {
    const char* text;
    Value::Type type;
    const char* written;
};

TEST(JsonReader, NumberKinds) {
    const NumberCase cases[] = {
        {"0", Value::Type::UInt, "0"},
        {"18446744073709551615", Value::Type::UInt, "18446744073709551615"},
        {"18446744073709551616", Value::Type::Float, "1.8446744073709552e+19"},
        {"-1", Value::Type::Int, "-1"},
        {"-9223372036854775808", Value::Type::Int, "-9223372036854775808"},
        {"-9223372036854775809", Value::Type::Float, "-9.223372036854776e+18"},
        {"-18446744073709551616", Value::Type::Float, "-1.8446744073709552e+19"},
        {"-0", Value::Type::Float, "-0.0"},
        {"1e-400", Value::Type::Float, "0.0"},
        {"-1e-400", Value::Type::Float, "-0.0"},
        {"0.0000000000000000000000000000000001e-300", Value::Type::Float, "0.0"},
        {"0e99999999999", Value::Type::Float, "0.0"},
        {"1e-99999999999", Value::Type::Float, "0.0"},
        {"5e-324", Value::Type::Float, "5e-324"},
        {"1.7976931348623157e308", Value::Type::Float, "1.7976931348623157e+308"},
        {"100000000000000000000000000000000000000000000000000", Value::Type::Float, "1e+50"},
        {"0.30000000000000004", Value::Type::Float, "0.30000000000000004"},
        {"123456789.123456789e-3", Value::Type::Float, "123456.7891234568"},
    };
    for (const auto& c : cases) {
        auto v = read(c.text);
        ASSERT_TRUE(v) << c.text << ": " << v.error().message();
        EXPECT_EQ(v->type(), c.type) << c.text;
        EXPECT_EQ(to_text(*v), c.written) << c.text;
    }
    EXPECT_TRUE(std::signbit(read("-0")->as_float()));
    EXPECT_EQ(read("-9223372036854775808")->as_int(), std::numeric_limits<std::int64_t>::min());
}

struct ErrorCase {
    const char* text;
    const char* message;
};

TEST(JsonReader, FailurePositions) {
    const ErrorCase cases[] = {
        {"1e99999999999", "number out of range at line 1 column 12"},
        {"1e2147483648", "number out of range at line 1 column 12"},
        {"[1e2147483647]", "number out of range at line 1 column 13"},
        {"1ex", "invalid number at line 1 column 3"},
        {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
        {"\"\\u12g4\"", "invalid escape at line 1 column 7"},
        {"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
        {"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
        {"\"\\ud800\\udc0", "EOF while parsing a string at line 1 column 12"},
        {"\"a\xff\"", "invalid unicode code point at line 1 column 4"},
        {"\"\xc3\"", "invalid unicode code point at line 1 column 3"},
        {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},
        {"\"\xc0\xaf\"", "invalid unicode code point at line 1 column 4"},
        {"{\"\xc3\\n\xa9\":1}", "invalid unicode code point at line 1 column 7"},
        {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},
        {"[1,\n\n  x]", "expected value at line 3 column 3"},
        {"{\"a\":1,\"a\" 2}", "expected `:` at line 1 column 12"},
    };
    for (const auto& c : cases) {
        auto v = read(c.text);
        ASSERT_FALSE(v) << c.text;
        EXPECT_EQ(v.error().message(), c.message) << c.text;
    }
    // A long integer beyond the float range fails at its end.
    std::string long_integer(402, '9');
    long_integer.front() = '[';
    long_integer.back() = ']';
    auto big = read(long_integer);
    ASSERT_FALSE(big);
    EXPECT_EQ(big.error().message(), "number out of range at line 1 column 401");
}

TEST(JsonReader, NestingLimit) {
    for (int depth : {1, 64, 126, 127, 128, 129, 300}) {
        for (bool objects : {false, true}) {
            std::string text;
            for (int i = 0; i < depth; ++i) text += objects ? "{\"k\":" : "[";
            text += "0";
            for (int i = 0; i < depth; ++i) text += objects ? "}" : "]";
            auto v = read(text);
            if (depth <= kMaxDepth) {
                ASSERT_TRUE(v) << depth << ": " << v.error().message();
                EXPECT_EQ(to_text(*v), text);
            } else {
                ASSERT_FALSE(v) << depth;
                const std::size_t column = objects ? 5 * 127 + 1 : 128;
                EXPECT_EQ(v.error().message(), "recursion limit exceeded at line 1 column " + std::to_string(column));
            }
        }
    }
}

TEST(JsonReader, StringsDecode) {
    const std::pair<const char*, std::string> cases[] = {
        {"\"\\u0041\\u00e9\\u65e5\\ud83d\\ude00\"", "A\xc3\xa9\xe6\x97\xa5\xf0\x9f\x98\x80"},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
        {"\"\\u0000\"", std::string(1, '\0')},
        {"\"\\uDBFF\\uDFFF\"", "\xf4\x8f\xbf\xbf"},
        {"\"\xf4\x8f\xbf\xbf\x7f\"", "\xf4\x8f\xbf\xbf\x7f"},
    };
    for (const auto& [text, decoded] : cases) {
        auto v = read(text);
        ASSERT_TRUE(v) << text << ": " << v.error().message();
        EXPECT_EQ(v->as_string(), decoded) << text;
    }
    EXPECT_EQ(parse("x").error().message(), "Serialization error: expected value at line 1 column 1");
}

// The lenient dialect (for values a plan skips) checks shape only. Where it differs from the
// reader's strict rules, the strict result is given too: every flag of dialect.h is pinned here.
TEST(JsonDialects, LenientSkipAgainstStrict) {
    struct Case {
        const char* text;
        const char* lenient;  // nullptr: accepted
        const char* strict;   // the same as lenient when not given
    };
    const Case cases[] = {
        {"[1,{\"a\":[true,null,\"x\"]},-2.5e3]", nullptr, nullptr},
        {"{\"a\":1,\"a\":2}", nullptr, nullptr},
        // checks_number_range
        {"1e400", nullptr, "number out of range at line 1 column 5"},
        // checks_surrogates
        {"\"\\ud800\"", nullptr, "unexpected end of hex escape at line 1 column 8"},
        {"\"\\udc00\"", nullptr, "lone leading surrogate in hex escape at line 1 column 7"},
        // checks_utf8
        {"\"\xc3\"", nullptr, "invalid unicode code point at line 1 column 3"},
        // checks_after_comma
        {"[1,]", "expected value at line 1 column 4", "trailing comma at line 1 column 4"},
        {"{\"a\":1,}", "key must be a string at line 1 column 8", "trailing comma at line 1 column 8"},
        {"{\"a\":1,", "EOF while parsing an object at line 1 column 7", "EOF while parsing a value at line 1 column 7"},
        // number_end_is_eof
        {"-", "invalid number at line 1 column 1", "EOF while parsing a value at line 1 column 1"},
        {"1.", "invalid number at line 1 column 2", "EOF while parsing a value at line 1 column 2"},
        {"1e", "invalid number at line 1 column 2", "EOF while parsing a value at line 1 column 2"},
        // control_reported_after
        {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2",
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        // The same in both.
        {"[1 2]", "expected `,` or `]` at line 1 column 4", nullptr},
        {"{\"a\":1 2}", "expected `,` or `}` at line 1 column 8", nullptr},
        {"{\"a\" 1}", "expected `:` at line 1 column 6", nullptr},
        {"[", "EOF while parsing a list at line 1 column 1", nullptr},
        {"{", "EOF while parsing an object at line 1 column 1", nullptr},
        {"{\"a\":1", "EOF while parsing an object at line 1 column 6", nullptr},
        {"[1,", "EOF while parsing a value at line 1 column 3", nullptr},
        {"1.x", "invalid number at line 1 column 3", nullptr},
        {"1ex", "invalid number at line 1 column 3", nullptr},
        {"01", "invalid number at line 1 column 2", nullptr},
        {"\"\\q\"", "invalid escape at line 1 column 3", nullptr},
        {"\"\\u12", "EOF while parsing a string at line 1 column 5", nullptr},
        {"\"ab", "EOF while parsing a string at line 1 column 3", nullptr},
        {"nul", "EOF while parsing a value at line 1 column 3", nullptr},
        {"nulx", "expected ident at line 1 column 4", nullptr},
        {"x", "expected value at line 1 column 1", nullptr},
        {"1 2", "trailing characters at line 1 column 3", nullptr},
    };
    const auto result = [](const std::expected<void, ReadError>& r) { return r ? std::string("ok") : r.error().message(); };
    for (const auto& c : cases) {
        const std::string lenient = c.lenient ? c.lenient : "ok";
        const std::string strict = c.strict ? c.strict : (c.lenient ? c.lenient : "ok");
        EXPECT_EQ(result(check_lenient(c.text)), lenient) << c.text;
        EXPECT_EQ(result(check(c.text)), strict) << c.text;
        const auto tree = read(c.text);
        EXPECT_EQ(tree ? std::string("ok") : tree.error().message(), strict) << c.text;
    }
    const std::string deep = std::string(128, '[') + std::string(128, ']');
    EXPECT_EQ(result(check_lenient(deep)), "recursion limit exceeded at line 1 column 128");
}

}  // namespace
}  // namespace korvo::json
