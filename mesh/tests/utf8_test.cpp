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
    for (const char32_t c : chars) encode(c, expected);
    ASSERT_EQ(text, expected);

    std::size_t length = 0;
    char32_t max_char = 0;
    ASSERT_TRUE(measure(text, length, max_char));
    EXPECT_EQ(length, chars.size());
    EXPECT_EQ(max_char, *std::max_element(chars.begin(), chars.end()));
    std::vector<Char> back(length);
    decode_chars(text, back.data());
    EXPECT_EQ(back, wide);
}

TEST(Utf8WideChars, RoundTripEveryWidth) {
    const std::u32string ascii = U"abcdefghijklmnopqrstuvwxyz";
    round_trip<std::uint8_t>(U"\u00e9" + ascii + U"\u00ff" + ascii + U"x\u0080");
    round_trip<std::uint16_t>(U"\u00e9" + ascii + U"\u07ff\u0800\ue000\uff01\uffff" + ascii + U"\u20ac");
    round_trip<std::uint32_t>(U"\U0001f600" + ascii + U"\u00e9\u20ac\U0010ffff" + ascii + U"\U00010000");
}

TEST(Utf8WideChars, SurrogatesHaveNoUtf8Form) {
    const std::uint16_t chars[] = {'a', 0xD800, 'b'};
    char out[16];
    EXPECT_EQ(encode_chars(chars, 3, out), kNotUtf8);
}

TEST(Utf8WideChars, MeasureRefusesWhatTheStrictDecoderRefuses) {
    for (const std::string_view bad : {"\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80", "\xE2\x82", "\x80", "\xF4\x90\x80\x80",
                                       "\xEF\xBF"}) {
        std::size_t length = 0;
        char32_t max_char = 0;
        EXPECT_FALSE(measure("abcdefghij" + std::string(bad), length, max_char)) << bad;
    }
}

}  // namespace
}  // namespace korvo::utf8
