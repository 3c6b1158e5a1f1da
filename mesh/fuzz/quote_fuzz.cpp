// The quoted form on arbitrary bytes: appended after what `out` held, framed by quotes,
// valid UTF-8 even for malformed input (malformed bytes show as an escape). For valid
// UTF-8 input it carries no raw control character and reads back to the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "base/bytes.h"
#include "base/escapes.h"
#include "base/text_quote.h"
#include "base/utf8.h"

namespace {

constexpr std::string_view kPrefix = "prefix:";

bool is_control(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

// Undoes the quoting of a valid-UTF-8 text; false on any form the quoting never makes.
bool unquote(std::string_view q, std::string& out) {
    if (q.size() < 2 || q.front() != '"' || q.back() != '"') return false;
    q = q.substr(1, q.size() - 2);
    for (std::size_t i = 0; i < q.size(); ++i) {
        const char c = q[i];
        if (c == '"') return false;
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (++i == q.size()) return false;
        if (q[i] != 'u') {
            // The character whose escape letter this is, if any.
            int ch = 0;
            while (ch < 0x80 && korvo::escapes::kQuoted[static_cast<std::size_t>(ch)] != q[i]) ++ch;
            if (ch == 0x80 || q[i] == 0) return false;
            out.push_back(static_cast<char>(ch));
            continue;
        }
        if (++i == q.size() || q[i] != '{') return false;
        char32_t cp = 0;
        std::size_t digits = 0;
        for (++i; i < q.size() && q[i] != '}'; ++i, ++digits) {
            // Lower-case hex only: the quoting never writes upper case.
            const int v = q[i] >= 'A' && q[i] <= 'F' ? -1 : korvo::bytes::hex_value(q[i]);
            if (v < 0 || digits == 6) return false;
            cp = cp << 4 | static_cast<char32_t>(v);
        }
        if (i == q.size() || digits == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        korvo::utf8::append(out, cp);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using korvo::fuzz::check;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string out(kPrefix);
    korvo::append_quoted(input, out);
    check(out.starts_with(kPrefix), "what `out` held was changed");
    const std::string_view q = std::string_view(out).substr(kPrefix.size());
    check(q.size() >= 2 && q.front() == '"' && q.back() == '"', "quoted form not framed by quotes", q);
    check(korvo::fuzz::valid_utf8(q), "quoted form is not valid UTF-8", q);
    if (!korvo::fuzz::valid_utf8(input)) return 0;
    bool raw_control = false;
    korvo::utf8::for_each<korvo::utf8::Policy::Strict>(q, [&](char32_t cp) { raw_control |= is_control(cp); });
    check(!raw_control, "raw control character in the quoted form", q);
    std::string back;
    check(unquote(q, back), "quoted form has a malformed escape", q);
    check(back == input, "quoted form does not read back to the input", q);
    return 0;
}
