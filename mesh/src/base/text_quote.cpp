#include "base/text_quote.h"

#include <cstddef>

#include "base/utf8.h"

namespace korvo {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Printable ASCII that is written as it is: everything from space to '~' except '"' and '\'.
constexpr bool plain_ascii(unsigned char c) noexcept { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

void append_code_escape(char32_t cp, std::string& out) {
    static constexpr char kHex[] = "0123456789abcdef";
    char digits[8];
    int n = 0;
    do {
        digits[n++] = kHex[cp & 0xF];
        cp >>= 4;
    } while (cp != 0);
    out.append("\\u{");
    while (n > 0) out.push_back(digits[--n]);
    out.push_back('}');
}

}  // namespace

void append_quoted(std::string_view utf8, std::string& out) {
    out.reserve(out.size() + utf8.size() + 2);
    out.push_back('"');
    std::size_t i = 0;
    const std::size_t n = utf8.size();
    while (i < n) {
        // Bulk-copy the run of plain ASCII.
        std::size_t run = i;
        while (run < n && plain_ascii(static_cast<unsigned char>(utf8[run]))) ++run;
        if (run != i) {
            out.append(utf8.data() + i, run - i);
            i = run;
            if (i == n) break;
        }
        const std::size_t start = i;
        const char32_t cp = utf8::decode(utf8, i);
        switch (cp) {
            case U'"': out.append("\\\""); continue;
            case U'\\': out.append("\\\\"); continue;
            case U'\t': out.append("\\t"); continue;
            case U'\r': out.append("\\r"); continue;
            case U'\n': out.append("\\n"); continue;
            case U'\0': out.append("\\0"); continue;
            default: break;
        }
        if (cp == utf8::kMalformed) {
            // A malformed byte: there is no character to show, so show the replacement's code.
            append_code_escape(kReplacement, out);
        } else if (!is_printable(cp) || is_combining_mark(cp)) {
            append_code_escape(cp, out);
        } else {
            out.append(utf8.data() + start, i - start);
        }
    }
    out.push_back('"');
}

}  // namespace korvo
