#include <gtest/gtest.h>

#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "json/read.h"
#include "json/write.h"
#include "state.h"

namespace korvo {
namespace {

using Keys = std::vector<std::string>;

json::Value parsed(std::string_view text) {
    auto v = json::read(text);
    EXPECT_TRUE(v.has_value()) << text;
    return v ? std::move(*v) : json::Value();
}

Keys keys(const InMemoryStateStore& store, std::string_view prefix) {
    auto k = store.keys_with_prefix(prefix);
    EXPECT_TRUE(k.has_value());
    return k ? std::move(*k) : Keys{};
}

std::string text_of(const InMemoryStateStore& store, std::string_view key) {
    std::string out;
    auto found = store.get_text(key, out);
    EXPECT_TRUE(found.has_value() && *found) << key;
    return out;
}

TEST(StateStore, NewStoreIsEmpty) {
    const InMemoryStateStore store;
    EXPECT_EQ(store.len(), 0u);
    EXPECT_EQ(keys(store, ""), Keys{});
    EXPECT_EQ(store.get("x").value(), std::nullopt);
    EXPECT_EQ(store.exists("x"), false);
    EXPECT_FALSE(store.poisoned());
}

TEST(StateStore, SetAgainReplacesValue) {
    const InMemoryStateStore store;
    ASSERT_TRUE(store.set("a", json::Value(std::uint64_t{1})));
    ASSERT_TRUE(store.set("a", json::Value(std::uint64_t{2})));
    EXPECT_EQ(store.len(), 1u);
    const auto a = store.get("a");
    ASSERT_TRUE(a.has_value() && a->has_value());
    EXPECT_EQ(**a, json::Value(std::uint64_t{2}));
    EXPECT_EQ(keys(store, ""), Keys{"a"});
}

TEST(StateStore, RemoveAbsentAndPresent) {
    const InMemoryStateStore store;
    ASSERT_TRUE(store.set("k", json::Value(true)));
    ASSERT_TRUE(store.remove("missing"));
    EXPECT_EQ(store.len(), 1u);
    ASSERT_TRUE(store.remove("k"));
    EXPECT_EQ(store.exists("k"), false);
    EXPECT_EQ(store.len(), 0u);
    ASSERT_TRUE(store.remove("k"));  // removing twice is fine
}

TEST(StateStore, EmptyKeyIsAnOrdinaryKey) {
    const InMemoryStateStore store;
    ASSERT_TRUE(store.set("b", json::Value(std::uint64_t{2})));
    ASSERT_TRUE(store.set("", json::Value("empty")));
    EXPECT_EQ(store.exists(""), true);
    EXPECT_EQ(text_of(store, ""), "\"empty\"");
    EXPECT_EQ(keys(store, ""), (Keys{"", "b"}));
    ASSERT_TRUE(store.remove(""));
    EXPECT_EQ(store.exists(""), false);
    EXPECT_EQ(store.len(), 1u);
}

TEST(StateStore, KeysAreCaseSensitive) {
    const InMemoryStateStore store;
    ASSERT_TRUE(store.set("Key", json::Value(std::uint64_t{1})));
    EXPECT_EQ(store.exists("key"), false);
    ASSERT_TRUE(store.set("key", json::Value(std::uint64_t{2})));
    EXPECT_EQ(store.len(), 2u);
    EXPECT_EQ(text_of(store, "Key"), "1");
    EXPECT_EQ(text_of(store, "key"), "2");
}

struct PrefixCase {
    std::string prefix;
    Keys expected;
};

// Printed by name, so the test registry never reads a case's bytes as raw memory.
void PrintTo(const PrefixCase& c, std::ostream* os) { *os << '"' << c.prefix << '"'; }

class StatePrefix : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(StatePrefix, ListsMatchesInBytewiseOrder) {
    const InMemoryStateStore store;
    for (const char* k : {"b", "a/b", "a", "ab", "B"}) ASSERT_TRUE(store.set(k, json::Value(nullptr)));
    EXPECT_EQ(keys(store, GetParam().prefix), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, StatePrefix,
                         ::testing::Values(PrefixCase{"", {"B", "a", "a/b", "ab", "b"}},
                                           PrefixCase{"a", {"a", "a/b", "ab"}}, PrefixCase{"ab", {"ab"}},
                                           PrefixCase{"abc", {}}, PrefixCase{"A", {}}, PrefixCase{"a/", {"a/b"}},
                                           PrefixCase{"b", {"b"}}));

TEST(StateStore, OrderComparesBytesAsUnsigned) {
    const InMemoryStateStore store;
    // U+007F, U+00E9, U+20AC, U+1F600 and an ASCII letter: code-point order must win over any
    // signed-char comparison, which would put the multi-byte keys first.
    const Keys stored = {"\xf0\x9f\x98\x80", "\xc3\xa9", "z", "\x7f", "\xe2\x82\xac", "\xc3\xa9x"};
    for (const auto& k : stored) ASSERT_TRUE(store.set(k, json::Value(nullptr)));
    EXPECT_EQ(keys(store, ""), (Keys{"z", "\x7f", "\xc3\xa9", "\xc3\xa9x", "\xe2\x82\xac", "\xf0\x9f\x98\x80"}));
    EXPECT_EQ(keys(store, "\xc3"), (Keys{"\xc3\xa9", "\xc3\xa9x"}));
}

TEST(StateStore, KeysMayHoldAnyBytes) {
    const InMemoryStateStore store;
    const std::string with_nul("a\0b", 3);
    ASSERT_TRUE(store.set(with_nul, json::Value(std::uint64_t{7})));
    EXPECT_EQ(store.exists("a"), false);
    EXPECT_EQ(store.exists(with_nul), true);
    EXPECT_EQ(keys(store, std::string("a\0", 2)), Keys{with_nul});
}

// Values come back as their canonical compact text and as equal trees.
class StateRoundTrip : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(StateRoundTrip, StoresCanonicalText) {
    const auto& [input, canonical] = GetParam();
    const InMemoryStateStore store;
    const json::Value value = parsed(input);
    ASSERT_TRUE(store.set("k", value));
    EXPECT_EQ(text_of(store, "k"), canonical);
    auto back = store.get("k");
    ASSERT_TRUE(back.has_value());
    ASSERT_TRUE(back->has_value());
    EXPECT_EQ(**back, value);
    EXPECT_EQ(json::to_text(**back), canonical);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StateRoundTrip,
                         ::testing::Values(std::pair<std::string, std::string>{"null", "null"},
                                           std::pair<std::string, std::string>{" true ", "true"},
                                           std::pair<std::string, std::string>{"18446744073709551615",
                                                                               "18446744073709551615"},
                                           std::pair<std::string, std::string>{"-42", "-42"},
                                           std::pair<std::string, std::string>{"1.5", "1.5"},
                                           std::pair<std::string, std::string>{"\"a\\\"b\"", "\"a\\\"b\""},
                                           std::pair<std::string, std::string>{"[1, [2, {}], []]", "[1,[2,{}],[]]"},
                                           std::pair<std::string, std::string>{"{\"z\": 1, \"a\": {\"y\": null}}",
                                                                               "{\"a\":{\"y\":null},\"z\":1}"}));

// Listings against a model through rounds of adds, removes and re-adds large enough to fold the
// key index several times; a listing taken before a change shows the store as it was.
TEST(StateStore, ListingsFollowAddsRemovesAndFolds) {
    const InMemoryStateStore store;
    std::set<std::string> model;
    std::mt19937 rng(7);
    for (int round = 0; round < 12; ++round) {
        const auto before = store.list_keys("k");
        const std::vector<std::string> was(model.begin(), model.end());
        for (int i = 0; i < 3000; ++i) {
            std::string key = "k";
            key += std::to_string(rng() % 20000);
            if (rng() % 3 == 0) {
                ASSERT_TRUE(store.remove(key).has_value());
                model.erase(key);
            } else {
                ASSERT_TRUE(store.set_text(key, "1").has_value());
                model.insert(key);
            }
        }
        ASSERT_TRUE(before.has_value());
        EXPECT_EQ(std::vector<std::string>(before->keys.begin(), before->keys.end()), was) << "round " << round;
        EXPECT_EQ(keys(store, ""), Keys(model.begin(), model.end())) << "round " << round;
        std::string prefix = "k1";
        prefix += std::to_string(round % 10);
        Keys expected;
        for (const auto& k : model) {
            if (k.starts_with(prefix)) expected.push_back(k);
        }
        EXPECT_EQ(keys(store, prefix), expected) << "round " << round;
    }
}

TEST(StateStore, GetTextAppendsAndLeavesBufferAloneWhenAbsent) {
    const InMemoryStateStore store;
    ASSERT_TRUE(store.set("k", json::Value(std::int64_t{-3})));
    std::string out = "prefix:";
    EXPECT_EQ(store.get_text("absent", out), false);
    EXPECT_EQ(out, "prefix:");
    EXPECT_EQ(store.get_text("k", out), true);
    EXPECT_EQ(out, "prefix:-3");
}

TEST(StateStore, ReturnedValueIsIndependentOfLaterSets) {
    const InMemoryStateStore store;
    ASSERT_TRUE(store.set("k", parsed("[1,2]")));
    auto first = store.get("k");
    ASSERT_TRUE(first && *first);
    ASSERT_TRUE(store.set("k", parsed("{\"x\":true}")));
    EXPECT_EQ(json::to_text(**first), "[1,2]");
    EXPECT_EQ(text_of(store, "k"), "{\"x\":true}");
}

TEST(StateStore, CopiesShareOneTable) {
    const InMemoryStateStore store;
    const InMemoryStateStore copy = store;  // NOLINT(performance-unnecessary-copy-initialization)
    ASSERT_TRUE(copy.set("shared", json::Value(std::uint64_t{1})));
    EXPECT_EQ(store.exists("shared"), true);
    EXPECT_EQ(store.len(), 1u);
}

TEST(StateStore, HookRunsOnlyInExclusiveSections) {
    int calls = 0;
    const InMemoryStateStore store([&] { ++calls; });
    ASSERT_TRUE(store.set("a", json::Value(nullptr)));
    ASSERT_TRUE(store.remove("zzz"));
    EXPECT_EQ(calls, 2);
    (void)store.get("a");
    (void)store.exists("a");
    (void)store.keys_with_prefix("");
    std::string out;
    (void)store.get_text("a", out);
    (void)store.len();
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(store.poisoned());
}

enum class Culprit { Set, Remove };

class StatePoison : public ::testing::TestWithParam<Culprit> {};

TEST_P(StatePoison, EveryOperationFailsAfterAnAbandonedWrite) {
    bool armed = false;
    const InMemoryStateStore store([&] {
        if (armed) throw std::runtime_error("injected");
    });
    ASSERT_TRUE(store.set("a", json::Value(std::uint64_t{1})));
    ASSERT_TRUE(store.set("b", json::Value(std::uint64_t{2})));
    armed = true;
    if (GetParam() == Culprit::Set) {
        EXPECT_THROW((void)store.set("c", json::Value(nullptr)), std::runtime_error);
    } else {
        EXPECT_THROW((void)store.remove("a"), std::runtime_error);
    }
    armed = false;
    ASSERT_TRUE(store.poisoned());

    const MeshError expected = MeshError::state("state lock poisoned");
    EXPECT_EQ(expected.message(), "State error: state lock poisoned");
    EXPECT_EQ(store.get("a"), Result<std::optional<json::Value>>(fail(expected)));
    EXPECT_EQ(store.set("a", json::Value(nullptr)), Status(fail(expected)));
    EXPECT_EQ(store.remove("a"), Status(fail(expected)));
    EXPECT_EQ(store.exists("a"), Result<bool>(fail(expected)));
    EXPECT_EQ(store.keys_with_prefix(""), Result<Keys>(fail(expected)));
    std::string out = "x";
    EXPECT_EQ(store.get_text("a", out), Result<bool>(fail(expected)));
    EXPECT_EQ(out, "x");
    EXPECT_EQ(store.len(), 0u);  // the two entries are still there, but not reported
}

INSTANTIATE_TEST_SUITE_P(Writes, StatePoison, ::testing::Values(Culprit::Set, Culprit::Remove));

TEST(StateStore, FailedReadsNeverPoison) {
    const InMemoryStateStore store;
    EXPECT_EQ(store.get("nothing").value(), std::nullopt);
    EXPECT_EQ(store.exists("nothing"), false);
    EXPECT_FALSE(store.poisoned());
    EXPECT_TRUE(store.set("k", json::Value(nullptr)));
}

}  // namespace
}  // namespace korvo
