#include "base/text_quote.h"

#include <cstddef>

namespace korvo {
namespace {

// What decode() returns for a malformed byte: no code point has this value.
constexpr char32_t kMalformed = 0x110000;
constexpr char32_t kReplacement = 0xFFFD;

// Printable ASCII that is written as it is: everything from space to '~' except '"' and '\'.
constexpr bool plain_ascii(unsigned char c) noexcept { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

constexpr bool continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// Decodes the code point starting at text[i] and advances i past it. The text is meant to be
// valid UTF-8; a malformed sequence (stray continuation byte, truncated or overlong sequence,
// value above U+10FFFF) is consumed one byte at a time as kMalformed. Encoded surrogates are
// decoded as such, so that they come out escaped.
char32_t decode(std::string_view text, std::size_t& i) noexcept {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len;
    char32_t cp;
    char32_t min;
    if (b0 < 0x80) {
        ++i;
        return b0;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        ++i;
        return kMalformed;
    }
    if (text.size() - i < len) {
        ++i;
        return kMalformed;
    }
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if (!continuation(b)) {
            ++i;
            return kMalformed;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF) {
        ++i;
        return kMalformed;
    }
    i += len;
    return cp;
}

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
        const char32_t cp = decode(utf8, i);
        switch (cp) {
            case U'"': out.append("\\\""); continue;
            case U'\\': out.append("\\\\"); continue;
            case U'\t': out.append("\\t"); continue;
            case U'\r': out.append("\\r"); continue;
            case U'\n': out.append("\\n"); continue;
            case U'\0': out.append("\\0"); continue;
            default: break;
        }
        if (cp == kMalformed) {
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
