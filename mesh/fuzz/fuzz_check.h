// Small helpers shared by the fuzz harnesses: a property that fails stops the run at
// once (with the reason on stderr), so that libFuzzer keeps the input as a crash.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace korvo::fuzz {

[[noreturn]] inline void violated(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "property violated: %s\n", what);
    if (!detail.empty()) std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
    if (!ok) violated(what, detail);
}

// Well-formed UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
// Decodes into `cps` (when given) as it goes.
template <class Sink>
bool decode_utf8(std::string_view s, Sink&& sink) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        std::size_t len;
        char32_t cp;
        char32_t min;
        if (b0 < 0x80) {
            sink(static_cast<char32_t>(b0));
            ++i;
            continue;
        } else if ((b0 & 0xE0) == 0xC0) {
            len = 2, cp = b0 & 0x1F, min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3, cp = b0 & 0x0F, min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            len = 4, cp = b0 & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        sink(cp);
        i += len;
    }
    return true;
}

inline bool valid_utf8(std::string_view s) {
    return decode_utf8(s, [](char32_t) {});
}

}  // namespace korvo::fuzz
