#include "base/utf8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace korvo::utf8 {
namespace {

// Each width's text through the wide-character helpers and back; runs of ASCII longer than
// eight characters and every sequence length, at the ends and in the middle.
template <class Char>
void round_trip(const std::u32string& chars) {
    const std::vector<Char> wide(chars.begin(), chars.end());
    std::string text(max_encoded_size<Char>(wide.size()), '\0');
    text.resize(encode_chars(wide.data(), wide.size(), text.data()));
    std::string expected;
    for (const char32_t c : chars) append(expected, c);
    ASSERT_EQ(text, expected);

    ASSERT_TRUE(valid(text));
    const char32_t max_char = *std::max_element(chars.begin(), chars.end());
    const Shape shaped = shape(text);
    EXPECT_EQ(shaped.length, chars.size());
    EXPECT_EQ(shaped.max_char, max_char < 0x80 ? 0 : max_char <= 0xFF ? 0xFF : max_char <= 0xFFFF ? 0xFFFF : 0x10FFFF);
    std::vector<Char> back(shaped.length);
    decode_chars(text, back.data(), back.data() + back.size());
    EXPECT_EQ(back, wide);
}

TEST(Utf8WideChars, RoundTripEveryWidth) {
    const std::u32string ascii = U"abcdefghijklmnopqrstuvwxyz";
    round_trip<std::uint8_t>(U"\u00e9" + ascii + U"\u00ff" + ascii + U"x\u0080");
    round_trip<std::uint16_t>(U"\u00e9" + ascii + U"\u07ff\u0800\ue000\uff01\uffff" + ascii + U"\u20ac");
    round_trip<std::uint32_t>(U"\U0001f600" + ascii + U"\u00e9\u20ac\U0010ffff" + ascii + U"\U00010000");
    round_trip<std::uint8_t>(ascii);
    // A wide character at each place of a run longer than the sixteen moved at once.
    for (std::size_t at = 0; at <= 20; ++at) {
        std::u32string text = ascii + ascii;
        text[at] = U'\u00e9';
        round_trip<std::uint8_t>(text);
        text[at] = U'\u20ac';
        round_trip<std::uint16_t>(text);
        text[at] = U'\U0001f600';
        round_trip<std::uint32_t>(text);
    }
}

TEST(Utf8WideChars, SurrogatesHaveNoUtf8Form) {
    const std::uint16_t chars[] = {'a', 0xD800, 'b'};
    char out[16];
    EXPECT_EQ(encode_chars(chars, 3, out), kNotUtf8);
}

TEST(Utf8WideChars, ValidRefusesWhatTheStrictDecoderRefuses) {
    for (const std::string_view bad : {"\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xE2\x82", "\x80", "\xF4\x90\x80\x80",
                                       "\xEF\xBF"}) {
        EXPECT_FALSE(valid("abcdefghijklmnopqrstuvwxyz" + std::string(bad))) << bad;
    }
}

// The two checking policies differ only on surrogates; a refused byte is consumed alone.
TEST(Utf8Decode, PoliciesOnEachKindOfSequence) {
    struct Case {
        std::string_view bytes;
        char32_t strict, show;
        std::size_t consumed;  // by the first decode, when it is refused
    };
    const Case cases[] = {
        {"\x41", U'A', U'A', 1},          {"\xC3\xA9", 0xE9, 0xE9, 2},   {"\xED\x9F\xBF", 0xD7FF, 0xD7FF, 3},
        {"\xED\xA0\x80", kMalformed, 0xD800, 1},                       {"\xF4\x8F\xBF\xBF", 0x10FFFF, 0x10FFFF, 4},
        {"\xF4\x90\x80\x80", kMalformed, kMalformed, 1},              {"\xE0\x9F\xBF", kMalformed, kMalformed, 1},
        {"\xC1\xBF", kMalformed, kMalformed, 1},                         {"\xE2\x82", kMalformed, kMalformed, 1},
        {"\xBF", kMalformed, kMalformed, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.bytes)));
        const auto* begin = reinterpret_cast<const unsigned char*>(c.bytes.data());
        const auto* end = begin + c.bytes.size();
        const auto* p = begin;
        EXPECT_EQ(decode<Policy::Strict>(p, end), c.strict);
        EXPECT_EQ(static_cast<std::size_t>(p - begin), c.strict == kMalformed ? c.consumed : c.bytes.size());
        p = begin;
        EXPECT_EQ(decode<Policy::Show>(p, end), c.show);
        EXPECT_EQ(valid(c.bytes), c.strict != kMalformed);
    }
}

}  // namespace
}  // namespace korvo::utf8
