#include "base/text_quote.h"

#include <cstddef>

#include "base/bytes.h"
#include "base/escapes.h"
#include "base/utf8.h"

namespace korvo {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_code_escape(char32_t cp, std::string& out) {
    char digits[8];
    int n = 0;
    do {
        digits[n++] = escapes::kHexDigits[cp & 0xF];
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
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const end = p + utf8.size();
    while (p != end) {
        // Bulk-copy the run of plain ASCII.
        const auto* run = p;
        while (run != end && bytes::is(*run, bytes::kQuotedPlain)) ++run;
        if (run != p) {
            out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(run - p));
            p = run;
            if (p == end) break;
        }
        const auto* start = p;
        const char32_t cp = utf8::decode<utf8::Policy::Show>(p, end);
        if (cp < 0x80 && escapes::kQuoted[cp] != 0) {
            const char esc[2] = {'\\', escapes::kQuoted[cp]};
            out.append(esc, 2);
        } else if (cp == utf8::kMalformed) {
            // A malformed byte: there is no character to show, so show the replacement's code.
            append_code_escape(kReplacement, out);
        } else if (!is_printable(cp) || is_combining_mark(cp)) {
            append_code_escape(cp, out);
        } else {
            out.append(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
        }
    }
    out.push_back('"');
}

}  // namespace korvo
