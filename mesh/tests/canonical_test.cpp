// The one-pass canonicalizer against the reader and writer it stands in for: on every text
// it must give the bytes write(read(text)) gives, or fail with the same error at the same place.
#include "json/canonical.h"
#include "base/utf8.h"
#include "json/read.h"
#include "json/write.h"
#include "state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "support/cases.h"

namespace korvo::json {
namespace {

const std::filesystem::path kData = std::filesystem::path(KORVO_TEST_DATA);

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Compares the ways through one text (the tree, the one-pass writer, the check that keeps
// nothing); returns whether the text was accepted.
bool expect_same(const std::string& text, const std::string& where) {
    SCOPED_TRACE(where);
    auto tree = read(text);
    std::string out = "prefix";
    auto done = canonicalize(text, out);
    const auto checked = check(text);
    EXPECT_EQ(tree.has_value(), done.has_value());
    EXPECT_EQ(tree.has_value(), checked.has_value());
    if (!tree && !checked) {
        EXPECT_EQ(checked.error(), tree.error());
    }
    if (tree && done) {
        EXPECT_EQ(out, "prefix" + to_text(*tree));
    } else if (!tree && !done) {
        EXPECT_EQ(done.error(), tree.error()) << done.error().message() << " vs " << tree.error().message();
        EXPECT_EQ(out, "prefix");  // left as it was
    }
    if (utf8::valid(text)) {
        // Text from a str is not checked for UTF-8 again: the same answers.
        std::string from_str;
        const auto done_str = canonicalize(text, from_str, Source::Utf8);
        EXPECT_EQ(done_str.has_value(), done.has_value());
        EXPECT_EQ(check(text, Source::Utf8).has_value(), checked.has_value());
        if (done && done_str) {
            EXPECT_EQ("prefix" + from_str, out);
        } else if (!done && !done_str) {
            EXPECT_EQ(done_str.error(), done.error());
        }
    }
    return tree.has_value();
}

TEST(JsonCanonicalize, MatchesReadAndWriteOnTheCaseTables) {
    const auto reader_rows = test::load_case_table("json-reader.jsonl");
    const auto plan_rows = test::load_case_table("plan-decode.jsonl");
    ASSERT_FALSE(reader_rows.empty());
    ASSERT_FALSE(plan_rows.empty());
    std::size_t accepted = 0;
    for (std::size_t i = 0; i < reader_rows.size(); ++i) {
        accepted += expect_same(reader_rows[i].input, "json-reader row " + std::to_string(i + 1)) ? 1 : 0;
    }
    for (std::size_t i = 0; i < plan_rows.size(); ++i) {
        accepted += expect_same(plan_rows[i].input, "plan-decode row " + std::to_string(i + 1)) ? 1 : 0;
    }
    // Both kinds of answer were compared.
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(accepted, reader_rows.size() + plan_rows.size());
}

TEST(JsonCanonicalize, MatchesReadAndWriteOnTheCorpus) {
    std::vector<std::filesystem::path> files;
    for (const auto& dir : {kData / "jsontestsuite", kData / "corpus"}) {
        std::error_code ec;
        const std::size_t before = files.size();
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (entry.path().extension() == ".json") files.push_back(entry.path());
        }
        ASSERT_GT(files.size(), before) << "no document in " << dir;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) expect_same(read_file(file), file.filename().string());
}

// Numbers at the edges of the float range, where the check settles the range on its own.
TEST(JsonCanonicalize, MatchesReadAndWriteAtTheRangeEdges) {
    const std::string many_digits(308, '9');
    for (const std::string& text : std::vector<std::string>{"1e307", "9.99e307", "1e308", "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308",
          "1e309", "-1e309", "0.001e311", "0e99999", "0.000e400", "-0.0e309", "1e-400", "4.9e-324", many_digits,
          many_digits + "9", "1" + many_digits + ".5", "0." + many_digits + "e310",
          "-0." + std::string(400, '0') + "1", "0." + std::string(330, '0') + "1234567890123456789",
          "0." + std::string(323, '0') + "49406564584124654"}) {
        expect_same(text, text.substr(0, 40));
    }
}

// Random documents built to hit what the canonical form rewrites: unsorted and repeated
// names (also ones that differ only past an escape), escapes of every kind, raw UTF-8,
// numbers of every shape; then the same texts damaged to reach the failures.
class RandomText {
public:
    explicit RandomText(unsigned seed) : rng_(seed) {}

    std::string document() {
        std::string out;
        value(out, 0);
        return out;
    }

    void damage(std::string& text) {
        if (text.empty()) return;
        const std::size_t at = pick(text.size());
        switch (pick(4)) {
            case 0: text.resize(at); break;
            case 1: text[at] = kBytes[pick(sizeof kBytes - 1)]; break;
            case 2: text.insert(at, 1, kBytes[pick(sizeof kBytes - 1)]); break;
            default: text.erase(at, 1); break;
        }
    }

private:
    static constexpr char kBytes[] = "{}[],:\"\\ \nu0e.-+9aZ\x01\x7f\xc3\xa9\xed\xa0\x80\xff";

    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

    void space(std::string& out) {
        static const char* const kSpaces[] = {"", "", "", " ", "\n  ", "\t", "\r\n"};
        out += kSpaces[pick(std::size(kSpaces))];
    }

    void string(std::string& out) {
        static const char* const kPieces[] = {
            "a", "b", "ab", "B", "key", "\\n", "\\t", "\\\"", "\\\\", "\\/", "\\b", "\\f", "\\r",
            "\\u0041", "\\u001f", "\\u0000", "\\u00e9", "\\u20ac", "\\ud83d\\ude00", "\\u0022", "\\u005c",
            "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "~", "\x7f", "0123456789abcdefghij",
        };
        out += '"';
        const std::size_t n = pick(4);
        for (std::size_t i = 0; i < n; ++i) out += kPieces[pick(std::size(kPieces))];
        out += '"';
    }

    void number(std::string& out) {
        static const char* const kNumbers[] = {
            "0", "-0", "1", "-1", "42", "9007199254740993", "18446744073709551615", "18446744073709551616",
            "-9223372036854775808", "-9223372036854775809", "123456789012345678901234", "0.5", "-0.0",
            "1e5", "1E-7", "2.5e+3", "1.7976931348623157e308", "1e309", "-1e400", "4.9e-324", "1e-400",
            "0.000001", "0.0000001", "1234567890123456.0", "12345678901234567.0", "3.141592653589793",
            "-65.613616999999977", "1e99999999999", "0e99999999999", "1e-99999999999", "0.1e1",
        };
        out += kNumbers[pick(std::size(kNumbers))];
    }

    void value(std::string& out, int depth) {
        space(out);
        const std::size_t kind = depth > 4 ? pick(4) : pick(7);
        switch (kind) {
            case 0: number(out); break;
            case 1: string(out); break;
            case 2: out += pick(2) != 0 ? "true" : "false"; break;
            case 3: out += "null"; break;
            case 4: case 5: {
                out += '{';
                const std::size_t n = pick(kind == 4 ? 5 : 24);
                for (std::size_t i = 0; i < n; ++i) {
                    if (i != 0) out += ',';
                    space(out);
                    string(out);
                    space(out);
                    out += ':';
                    value(out, depth + 1);
                }
                space(out);
                out += '}';
                break;
            }
            default: {
                out += '[';
                const std::size_t n = pick(5);
                for (std::size_t i = 0; i < n; ++i) {
                    if (i != 0) out += ',';
                    value(out, depth + 1);
                }
                space(out);
                out += ']';
                break;
            }
        }
        space(out);
    }

    std::mt19937 rng_;
};

TEST(JsonCanonicalize, MatchesReadAndWriteOnRandomTexts) {
    RandomText random(20240611);
    std::size_t accepted = 0, refused = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text = random.document();
        (expect_same(text, "random " + std::to_string(i) + ": " + text) ? accepted : refused) += 1;
        random.damage(text);
        (expect_same(text, "damaged " + std::to_string(i) + ": " + text) ? accepted : refused) += 1;
        if (HasFailure()) break;
    }
    EXPECT_GT(accepted, 1000u);
    EXPECT_GT(refused, 1000u);
}

// Records that share their keys' order, as an array's do, the order found for one serving the
// next: among them ones whose keys differ only past their first eight bytes (the same hash),
// only in an escape, only in order, or by a repeated name, nested ones, and more shapes than
// are kept at a time.
TEST(JsonCanonicalize, RecordsOfRepeatedShapesAsTheReader) {
    const char* const keys[] = {
        "\"profile_image_url\"", "\"profile_image_urk\"", "\"profile_\\u0069mage_url\"", "\"b\"", "\"a\"",
        "\"id\"", "\"id_str\"", "\"a_key_longer_than_sixteen_bytes\"", "\"a_key_longer_than_sixteen_bytez\"",
    };
    std::mt19937 rng(7);
    const auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    for (std::size_t shapes : {1u, 3u, 40u, 200u}) {
        std::vector<std::vector<std::size_t>> orders(shapes);
        for (auto& order : orders) {
            for (std::size_t n = 2 + pick(6); n > 0; --n) order.push_back(pick(std::size(keys)));
        }
        std::string text = "[";
        for (int record = 0; record < 600; ++record) {
            if (record != 0) text += ',';
            const auto& order = orders[pick(shapes)];
            text += '{';
            for (std::size_t i = 0; i < order.size(); ++i) {
                if (i != 0) text += ',';
                text += keys[order[i]];
                text += ':';
                text += pick(4) == 0 ? "{\"y\":[" + std::to_string(record) + "],\"x\":" + std::to_string(i) + "}"
                                     : std::to_string(record);
            }
            text += '}';
        }
        text += ']';
        expect_same(text, std::to_string(shapes) + " shapes");
    }
}

struct CanonicalCase {
    const char* input;
    const char* canonical;
};

TEST(JsonCanonicalize, RewritesToTheCanonicalForm) {
    const CanonicalCase cases[] = {
        {R"({"b":1,"a":2})", R"({"a":2,"b":1})"},
        {R"({"a":1,"a":2,"b":{"d":0,"c":[]}})", R"({"a":2,"b":{"c":[],"d":0}})"},
        {R"({"\u0062":1,"a\n":2,"a":3})", R"({"a":3,"a\n":2,"b":1})"},
        {R"({"a\"":1,"a!":2})", R"({"a!":2,"a\"":1})"},  // by the names' bytes, not the escapes'
        {R"(["\u00e9\/\u001F\ud83d\ude00"])", "[\"\xc3\xa9/\\u001f\xf0\x9f\x98\x80\"]"},
        {" [ -0 , 1E2 , 0.10 , -12 ] ", "[-0.0,100.0,0.1,-12]"},
    };
    for (const auto& c : cases) {
        std::string out;
        ASSERT_TRUE(canonicalize(c.input, out)) << c.input;
        EXPECT_EQ(out, c.canonical) << c.input;
    }
}

TEST(JsonCanonicalize, NestingLimitAsTheReader) {
    for (int depth : {2, 31, 32, 33, kMaxDepth - 1, kMaxDepth, kMaxDepth + 1}) {
        const std::string arrays = std::string(static_cast<std::size_t>(depth), '[') +
                                   std::string(static_cast<std::size_t>(depth), ']');
        expect_same(arrays, "arrays " + std::to_string(depth));
        std::string objects;
        for (int i = 0; i < depth; ++i) objects += "{\"k\":";
        objects += '0';
        objects.append(static_cast<std::size_t>(depth), '}');
        expect_same(objects, "objects " + std::to_string(depth));
    }
}

}  // namespace
}  // namespace korvo::json

namespace korvo {
namespace {

TEST(StateStoreSetText, StoresCanonicalTextAndRefusesAsParse) {
    InMemoryStateStore store;
    ASSERT_TRUE(store.set_text("k", R"( {"b": [1, 2.50], "a": "\u00e9"} )"));
    std::string text;
    ASSERT_TRUE(store.get_text("k", text).value());
    EXPECT_EQ(text, "{\"a\":\"\xc3\xa9\",\"b\":[1,2.5]}");
    auto tree = store.get("k");
    ASSERT_TRUE(tree && tree->has_value());
    EXPECT_EQ(json::to_text(**tree), text);

    for (const char* bad : {"", "{", "[1,]", "\"\\x\"", "1e999"}) {
        auto failed = store.set_text("k", bad);
        ASSERT_FALSE(failed) << bad;
        auto parsed = json::parse(bad);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(failed.error().kind(), parsed.error().kind());
        EXPECT_EQ(failed.error().message(), parsed.error().message());
    }
    // A refused text leaves the stored value alone.
    text.clear();
    ASSERT_TRUE(store.get_text("k", text).value());
    EXPECT_EQ(text, "{\"a\":\"\xc3\xa9\",\"b\":[1,2.5]}");
    EXPECT_EQ(store.len(), 1u);
}

}  // namespace
}  // namespace korvo
