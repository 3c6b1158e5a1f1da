// Reader on arbitrary bytes: it never crashes; a refusal names one of the known
// failures at a position inside the text; an accepted text, written canonically and
// read again, gives the same value and the same canonical text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json/read.h"
#include "json/write.h"

namespace {

// Line `line` (from 1) of the text, without its line feed; empty past the last line.
std::string_view nth_line(std::string_view text, std::size_t line) {
    std::size_t start = 0;
    for (std::size_t n = 1; n < line; ++n) {
        const std::size_t lf = text.find('\n', start);
        if (lf == std::string_view::npos) return {};
        start = lf + 1;
    }
    const std::size_t lf = text.find('\n', start);
    return text.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
}

void check_refusal(std::string_view text, const korvo::json::ReadError& e) {
    using korvo::fuzz::check;
    const std::string message = e.message();
    const auto& known = korvo::json::kFailureTexts;
    check(std::find(known.begin(), known.end(), e.description) != known.end(),
          "refusal with an unknown description", message);
    const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    check(e.line >= 1 && e.line <= lines, "refusal line outside the text", message);
    check(e.column <= nth_line(text, e.line).size(), "refusal column past the end of its line", message);
    check(message == e.description + " at line " + std::to_string(e.line) + " column " + std::to_string(e.column),
          "refusal message not in its fixed form", message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using korvo::fuzz::check;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto value = korvo::json::read(text);
    if (!value) {
        check_refusal(text, value.error());
        return 0;
    }
    const std::string canonical = korvo::json::to_text(*value);
    check(korvo::fuzz::valid_utf8(canonical), "canonical text is not valid UTF-8", canonical);
    auto again = korvo::json::read(canonical);
    if (!again) korvo::fuzz::violated("canonical text refused", again.error().message() + " in " + canonical);
    check(*again == *value, "canonical text reads back as another value", canonical);
    check(korvo::json::to_text(*again) == canonical, "canonical text not a fixed point", canonical);
    return 0;
}
