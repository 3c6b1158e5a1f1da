// The quoted form on arbitrary bytes: appended after what `out` held, framed by quotes,
// valid UTF-8 even for malformed input (malformed bytes show as an escape). For valid
// UTF-8 input it carries no raw control character and reads back to the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "base/text_quote.h"

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
        switch (q[i]) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case 't': out.push_back('\t'); break;
            case 'r': out.push_back('\r'); break;
            case 'n': out.push_back('\n'); break;
            case '0': out.push_back('\0'); break;
            case 'u': {
                if (++i == q.size() || q[i] != '{') return false;
                char32_t cp = 0;
                std::size_t digits = 0;
                for (++i; i < q.size() && q[i] != '}'; ++i, ++digits) {
                    const char h = q[i];
                    int v;
                    if (h >= '0' && h <= '9') v = h - '0';
                    else if (h >= 'a' && h <= 'f') v = h - 'a' + 10;
                    else return false;
                    if (digits == 6) return false;
                    cp = cp << 4 | static_cast<char32_t>(v);
                }
                if (i == q.size() || digits == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
                if (cp < 0x80) {
                    out.push_back(static_cast<char>(cp));
                } else if (cp < 0x800) {
                    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
                    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                } else if (cp < 0x10000) {
                    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
                    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                } else {
                    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
                    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
                    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                }
                break;
            }
            default: return false;
        }
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
    korvo::fuzz::decode_utf8(q, [&](char32_t cp) { raw_control |= is_control(cp); });
    check(!raw_control, "raw control character in the quoted form", q);
    std::string back;
    check(unquote(q, back), "quoted form has a malformed escape", q);
    check(back == input, "quoted form does not read back to the input", q);
    return 0;
}
