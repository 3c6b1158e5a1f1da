#include "base/bytes.h"
#include "base/digits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvo::bytes {
namespace {

// A run of `filler` with one `stop` at each place in turn, in texts of every length up to
// 40: both ways of scanning find the stop where it is (or the end when there is none).
struct RunCase {
    const char* name;
    char filler;
    char stop;
    const char* (*vector)(const char*, const char*);
    const char* (*words)(const char*, const char*);
};

const char* string_vector(const char* p, const char* e) {
    unsigned char high = 0;
    return string_run<Scan::Vector>(p, e, high);
}
const char* string_words(const char* p, const char* e) {
    unsigned char high = 0;
    return string_run<Scan::Words>(p, e, high);
}
const char* unmarked_vector(const char* p, const char* e) { return string_run<Scan::Vector>(p, e); }
const char* unmarked_words(const char* p, const char* e) { return string_run<Scan::Words>(p, e); }

TEST(ByteRuns, StopWhereTheStopIs) {
    const RunCase cases[] = {
        {"ascii", 'a', '\xC3', ascii_run<char, Scan::Vector>, ascii_run<char, Scan::Words>},
        {"string quote", '\xE9', '"', string_vector, string_words},
        {"string backslash", 'x', '\\', string_vector, string_words},
        {"string control", 'x', '\x1F', string_vector, string_words},
        {"string quote, known UTF-8", '\xE9', '"', unmarked_vector, unmarked_words},
        {"string control, known UTF-8", 'x', '\x01', unmarked_vector, unmarked_words},
        {"digits", '7', '.', digit_run<Scan::Vector>, digit_run<Scan::Words>},
        {"space", '\n', 'x', space_run<Scan::Vector>, space_run<Scan::Words>},
    };
    for (const auto& c : cases) {
        for (std::size_t length = 0; length <= 40; ++length) {
            for (std::size_t at = 0; at <= length; ++at) {
                std::string text(length, c.filler);
                if (at < length) text[at] = c.stop;
                SCOPED_TRACE(::testing::Message() << c.name << " length " << length << " stop at " << at);
                const char* b = text.data();
                const char* e = b + text.size();
                EXPECT_EQ(c.vector(b, e) - b, static_cast<std::ptrdiff_t>(at));
                EXPECT_EQ(c.words(b, e) - b, static_cast<std::ptrdiff_t>(at));
            }
        }
    }
}

// Inside a longer text the last block may start before the scan does: from every start up to
// the stop, the stop is found where it is.
TEST(ByteRuns, StringRunWithinATextFromEveryStart) {
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            std::string text(length, 'q');
            if (at < length) text[at] = '\\';
            const char* b = text.data();
            const char* e = b + text.size();
            for (std::size_t from = 0; from <= at; ++from) {
                SCOPED_TRACE(::testing::Message() << "length " << length << " stop at " << at << " from " << from);
                EXPECT_EQ(string_run_within<Scan::Vector>(b, b + from, e) - b, static_cast<std::ptrdiff_t>(at));
                EXPECT_EQ(string_run_within<Scan::Words>(b, b + from, e) - b, static_cast<std::ptrdiff_t>(at));
            }
        }
    }
}

// Every length up to 40, with no byte beyond ASCII or one at each place: the copy is exact and
// the answer right, both ways; the plain copy is exact at every length too.
TEST(ByteRuns, CopiesAreExactAndCopyIfAsciiTells) {
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            std::string text(length, 'k');
            for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
            if (at < length) text[at] = '\xC3';
            SCOPED_TRACE(::testing::Message() << "length " << length << " high at " << at);
            for (const bool vector : {true, false}) {
                std::string out(length + 8, '#');
                const bool ascii = vector ? copy_if_ascii<Scan::Vector>(out.data(), text.data(), length)
                                          : copy_if_ascii<Scan::Words>(out.data(), text.data(), length);
                EXPECT_EQ(ascii, at == length);
                EXPECT_EQ(out, text + std::string(8, '#'));
            }
            std::string out(length + 8, '#');
            copy(out.data(), text.data(), length);
            EXPECT_EQ(out, text + std::string(8, '#'));
        }
    }
}

// Eight bytes of digits with any byte at any place: the digits before it are counted and
// read, whatever follows (a byte of 0xFA and up carries into the next when 6 is added).
TEST(ByteRuns, LeadingDigitsOfAWord) {
    for (unsigned at = 0; at < 8; ++at) {
        for (unsigned b = 0; b < 256; ++b) {
            char text[8];
            for (unsigned i = 0; i < 8; ++i) text[i] = static_cast<char>('0' + (i * 7 + 3) % 10);
            text[at] = static_cast<char>(b);
            if (at + 1 < 8) text[at + 1] = '9';
            const std::uint64_t x = digits::detail::load(text);
            const bool digit = b >= '0' && b <= '9';
            const unsigned run = digits::leading(x);
            ASSERT_EQ(run, digit ? 8 : at) << "byte " << b << " at " << at;
            std::uint32_t value = 0;
            for (unsigned i = 0; i < run; ++i) value = value * 10 + static_cast<unsigned>(text[i] - '0');
            if (run != 0) {
                ASSERT_EQ(digits::first(x, run), value) << "byte " << b << " at " << at;
            }
        }
    }
}

// Every width, with values that fill it, that are all nines and that lead with zeros: the
// sixteen-at-once form and the eight-at-a-time one give what the C library gives.
TEST(ByteRuns, FixedWidthDigits) {
    std::uint64_t seed = 88172645463325252ULL;
    for (int width = 1; width <= 19; ++width) {
        for (int i = 0; i < 2000; ++i) {
            seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
            const std::uint64_t top = digits::detail::kPow10[width];
            const std::uint64_t v = i == 0 ? top - 1 : i == 1 ? 0 : seed % (i % 2 ? top : top / 1000 + 1);
            char want[32];
            std::snprintf(want, sizeof want, "%0*llu", width, static_cast<unsigned long long>(v));
            std::string got(width + 8, '#');
            digits::put_fixed(got.data(), v, width);
            ASSERT_EQ(got, std::string(want) + std::string(8, '#')) << v;
        }
    }
}

TEST(ByteRuns, StringRunReportsHighBytesOnlyBeforeTheStop) {
    for (std::size_t at = 0; at < 40; ++at) {
        std::string text(40, 'x');
        text[at] = '"';
        if (at + 1 < text.size()) text[at + 1] = '\xE9';  // after the stop: not passed
        unsigned char v = 0, w = 0;
        string_run<Scan::Vector>(text.data(), text.data() + text.size(), v);
        string_run<Scan::Words>(text.data(), text.data() + text.size(), w);
        EXPECT_EQ(v & 0x80, 0) << at;  // only the top bit says anything
        EXPECT_EQ(w & 0x80, 0) << at;
        if (at > 0) text[at - 1] = '\xE9';  // before it: passed
        v = w = 0;
        string_run<Scan::Vector>(text.data(), text.data() + text.size(), v);
        string_run<Scan::Words>(text.data(), text.data() + text.size(), w);
        EXPECT_EQ(v & 0x80, at > 0 ? 0x80 : 0) << at;
        EXPECT_EQ(w & 0x80, v & 0x80) << at;
    }
}

template <class Char>
void wide_ascii_runs() {
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            std::vector<Char> text(length, static_cast<Char>('a'));
            if (at < length) text[at] = static_cast<Char>(0x80);
            const Char* b = text.data();
            const Char* e = b + text.size();
            const auto vector = ascii_run<Char, Scan::Vector>(b, e) - b;
            const auto words = ascii_run<Char, Scan::Words>(b, e) - b;
            EXPECT_EQ(vector, static_cast<std::ptrdiff_t>(at)) << length << " " << at;
            EXPECT_EQ(words, static_cast<std::ptrdiff_t>(at)) << length << " " << at;
        }
    }
}

TEST(ByteRuns, WideAsciiRuns) {
    wide_ascii_runs<std::uint16_t>();
    wide_ascii_runs<std::uint32_t>();
}

}  // namespace
}  // namespace korvo::bytes
