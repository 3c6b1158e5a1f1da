// The byte scans on arbitrary bytes: sixteen at a time (the vector scans) and a word at a time
// they give the same answers, from every starting offset; a string's runs also stop where a
// byte-at-a-time look finds the stop.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "fuzz_check.h"

namespace {

using korvo::bytes::Scan;

template <class Char>
void check_ascii_run(const std::uint8_t* data, std::size_t size) {
    std::vector<Char> chars(size / sizeof(Char));
    if (!chars.empty()) std::memcpy(chars.data(), data, chars.size() * sizeof(Char));
    const Char* end = chars.data() + chars.size();
    for (const Char* p = chars.data(); p <= end; ++p) {
        korvo::fuzz::check(korvo::bytes::ascii_run<Char, Scan::Vector>(p, end) == korvo::bytes::ascii_run<Char, Scan::Words>(p, end),
                           "ascii_run differs");
        if (p == end) break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using korvo::fuzz::check;
    namespace bytes = korvo::bytes;
    const char* begin = reinterpret_cast<const char*>(data);
    const char* end = begin + size;
    for (const char* p = begin; p <= end; ++p) {
        unsigned char high_v = 0, high_w = 0;
        const char* stop = p;  // the first byte a string stops at, one at a time
        while (stop != end && !bytes::is(*stop, bytes::kStringStop)) ++stop;
        check(bytes::string_run<Scan::Vector>(p, end, high_v) == stop, "string_run stops elsewhere");
        check(bytes::string_run<Scan::Words>(p, end, high_w) == stop, "string_run (words) stops elsewhere");
        check(bytes::string_run<Scan::Vector>(p, end) == stop && bytes::string_run<Scan::Words>(p, end) == stop,
              "string_run without marks stops elsewhere");
        check(bytes::string_run_within<Scan::Vector>(begin, p, end) == stop &&
                  bytes::string_run_within<Scan::Words>(begin, p, end) == stop,
              "string_run_within stops elsewhere");
        check((high_v & 0x80) == (high_w & 0x80), "string_run sees other high bytes");
        check(bytes::digit_run<Scan::Vector>(p, end) == bytes::digit_run<Scan::Words>(p, end), "digit_run differs");
        check(bytes::space_run<Scan::Vector>(p, end) == bytes::space_run<Scan::Words>(p, end), "space_run differs");
        if (p == end) break;
    }
    // The copy that tells whether it copied ASCII: exact, and right, both ways.
    for (const bool vector : {true, false}) {
        std::vector<char> copy(size + 1, '#');
        const bool ascii = vector ? bytes::copy_if_ascii<Scan::Vector>(copy.data(), begin, size)
                                  : bytes::copy_if_ascii<Scan::Words>(copy.data(), begin, size);
        check(ascii == (bytes::ascii_run<char, Scan::Words>(begin, end) == end), "copy_if_ascii answers otherwise");
        check(size == 0 || std::memcmp(copy.data(), begin, size) == 0, "copy_if_ascii copied otherwise");
        check(copy[size] == '#', "copy_if_ascii wrote past the copy");
    }
    check_ascii_run<char>(data, size);
    check_ascii_run<std::uint16_t>(data, size);
    check_ascii_run<std::uint32_t>(data, size);
    return 0;
}
