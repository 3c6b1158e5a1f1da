#include "base/text_quote.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace korvo {
namespace {

struct QuoteCase {
    const char* name;
    std::string_view input;
    std::string_view expected;
};

void PrintTo(const QuoteCase& c, std::ostream* os) { *os << c.name; }

class QuotedFormTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuotedFormTest, WritesTheQuotedForm) {
    const auto& c = GetParam();
    EXPECT_EQ(korvo::quoted(c.input), c.expected);
}

TEST_P(QuotedFormTest, AppendsAfterExistingText) {
    const auto& c = GetParam();
    std::string out = "prefix:";
    append_quoted(c.input, out);
    EXPECT_EQ(out, "prefix:" + std::string(c.expected));
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(
    Cases, QuotedFormTest,
    ::testing::Values(
        QuoteCase{"plain_word", "Running", R"("Running")"}, QuoteCase{"empty", "", R"("")"},
        QuoteCase{"ascii_punctuation", "a b~!#$%&()*+,-./:;<=>?@[]^_`{|}", R"("a b~!#$%&()*+,-./:;<=>?@[]^_`{|}")"},
        QuoteCase{"double_quotes", R"(say "hi")", R"("say \"hi\"")"},
        QuoteCase{"backslashes", R"(a\b\\)", R"("a\\b\\\\")"},
        QuoteCase{"apostrophe_raw", "it's", R"("it's")"},
        QuoteCase{"named_controls", "\t\r\n"sv, R"("\t\r\n")"},
        QuoteCase{"nul_inside", "a\0b"sv, R"("a\0b")"},
        QuoteCase{"escape_char", "\x1b[0m", R"("\u{1b}[0m")"},
        QuoteCase{"other_c0_controls", "\x01\x07\x1f", R"("\u{1}\u{7}\u{1f}")"},
        QuoteCase{"delete_char", "\x7f", R"("\u{7f}")"},
        QuoteCase{"c1_control", "\xc2\x85", R"("\u{85}")"},
        QuoteCase{"combining_acute", "e\xcc\x81", R"("e\u{301}")"},
        QuoteCase{"spacing_mark_mc", "\xe0\xa4\x95\xe0\xa4\xbe", "\"\xe0\xa4\x95\\u{93e}\""},
        QuoteCase{"enclosing_mark_me", "\xe2\x83\x9d", R"("\u{20dd}")"},
        QuoteCase{"no_break_space", "a\xc2\xa0" "b", R"("a\u{a0}b")"},
        QuoteCase{"ideographic_space", "\xe3\x80\x80", R"("\u{3000}")"},
        QuoteCase{"zero_width_space", "\xe2\x80\x8b", R"("\u{200b}")"},
        QuoteCase{"soft_hyphen_format", "\xc2\xad", R"("\u{ad}")"},
        QuoteCase{"line_and_paragraph_separators", "\xe2\x80\xa8\xe2\x80\xa9", R"("\u{2028}\u{2029}")"},
        QuoteCase{"private_use", "\xee\x80\x80", R"("\u{e000}")"},
        QuoteCase{"supplementary_private_use", "\xf3\xb0\x80\x80", R"("\u{f0000}")"},
        QuoteCase{"unassigned", "\xcd\xb8", R"("\u{378}")"},
        QuoteCase{"noncharacter_max", "\xf4\x8f\xbf\xbf", R"("\u{10ffff}")"},
        QuoteCase{"encoded_surrogate", "\xed\xa0\x80", R"("\u{d800}")"},
        QuoteCase{"latin_letters_raw", "Stra\xc3\x9f" "e \xc3\xa9t\xc3\xa9", "\"Stra\xc3\x9f" "e \xc3\xa9t\xc3\xa9\""},
        QuoteCase{"cjk_and_cyrillic_raw", "\xe6\x97\xa5\xd0\x96", "\"\xe6\x97\xa5\xd0\x96\""},
        QuoteCase{"emoji_raw", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
        QuoteCase{"mixed_runs", "ok\t\"x\"\xc3\xa9\x1b!", "\"ok\\t\\\"x\\\"\xc3\xa9\\u{1b}!\""},
        QuoteCase{"stray_continuation_byte", "a\x80" "b", R"("a\u{fffd}b")"},
        QuoteCase{"truncated_sequence", "a\xe2\x82", R"("a\u{fffd}\u{fffd}")"},
        QuoteCase{"overlong_encoding", "\xc0\xaf", R"("\u{fffd}\u{fffd}")"}),
    [](const ::testing::TestParamInfo<QuoteCase>& info) { return std::string(info.param.name); });

struct PropertyCase {
    char32_t cp;
    bool printable;
    bool combining;
};

TEST(UnicodeTables, BoundariesAndCategories) {
    const PropertyCase cases[] = {
        {0x00, false, false},     {0x1F, false, false},     {0x20, true, false},     {0x7E, true, false},
        {0x7F, false, false},     {0x9F, false, false},     {0xA0, false, false},    {0xA1, true, false},
        {0xAD, false, false},     {0x2FF, true, false},     {0x300, true, true},     {0x36F, true, true},
        {0x370, true, false},     {0x378, false, false},    {0x93E, true, true},     {0x20DD, true, true},
        {0x200B, false, false},   {0x200D, false, false},   {0x2028, false, false},  {0x3000, false, false},
        {0xD800, false, false},   {0xDFFF, false, false},   {0xE000, false, false},  {0xF8FF, false, false},
        {0xF900, true, false},    {0xFEFF, false, false},   {0xFFFD, true, false},   {0xFFFF, false, false},
        {0x1F600, true, false},   {0xE0100, true, true},    {0x10FFFF, false, false}, {0x110000, false, false},
        // Assigned in Unicode 16.0 and 17.0, which the tables follow; unassigned after them.
        {0x1CC25, true, false},   {0x32676, true, false},   {0x3347A, false, false},
    };
    EXPECT_EQ(unicode_version(), "17.0.0");
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "U+" << std::hex << static_cast<std::uint32_t>(c.cp));
        EXPECT_EQ(is_printable(c.cp), c.printable);
        EXPECT_EQ(is_combining_mark(c.cp), c.combining);
    }
}

TEST(UnicodeTables, EveryPrintableAsciiByteButQuoteAndBackslashIsCopied) {
    for (char c = 0x20; c < 0x7F; ++c) {
        if (c == '"' || c == '\\') continue;
        const std::string text(3, c);
        EXPECT_EQ(korvo::quoted(text), "\"" + text + "\"") << "byte " << static_cast<int>(c);
    }
}

}  // namespace
}  // namespace korvo
