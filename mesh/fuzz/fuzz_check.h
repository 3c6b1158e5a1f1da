// Small helpers shared by the fuzz harnesses: a property that fails stops the run at
// once (with the reason on stderr), so that libFuzzer keeps the input as a crash.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "base/utf8.h"

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
inline bool valid_utf8(std::string_view s) {
    return utf8::for_each<utf8::Policy::Strict>(s, [](char32_t) {});
}

}  // namespace korvo::fuzz
