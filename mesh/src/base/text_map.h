// The one string-keyed map of the components, and the hash every component table uses: keys are
// owned texts, looked up by any view of text without making a key first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/bytes.h"

namespace korvo {

namespace text_hash {

using bytes::load4;
using bytes::load8;

// The two words a text of at most 16 bytes is read as: its first and last 8 bytes (which may
// overlap), or smaller pieces of a shorter text. Two texts of one length have the same words
// exactly when their bytes are the same.
[[gnu::always_inline]] inline void words(std::string_view t, std::uint64_t& a, std::uint64_t& b) noexcept {
    const char* p = t.data();
    const std::size_t n = t.size();
    if (n >= 8) {
        a = load8(p);
        b = load8(p + n - 8);
    } else if (n >= 4) {
        a = load4(p);
        b = load4(p + n - 4);
    } else if (n > 0) {
        a = (std::uint64_t{static_cast<unsigned char>(p[0])} << 16) |
            (std::uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) | static_cast<unsigned char>(p[n - 1]);
        b = 0;
    } else {
        a = b = 0;
    }
}

}  // namespace text_hash

// Keys are mostly short (ids, names, "user:42"): up to 16 bytes they are hashed by one 128-bit
// multiply of their two words, a tenth of what the library's byte-wise hash costs on them;
// longer keys take the library's hash.
struct TextHash {
    using is_transparent = void;
    using is_avalanching = void;  // well mixed already: open-addressing tables need not mix it again
    std::size_t operator()(std::string_view text) const noexcept {
        if (text.size() > 16) return std::hash<std::string_view>{}(text);
        std::uint64_t a, b;
        text_hash::words(text, a, b);
        const unsigned __int128 m = static_cast<unsigned __int128>(a ^ 0xa0761d6478bd642fULL) *
                                    (b ^ 0xe7037ed1a0b428dbULL ^ text.size());
        return static_cast<std::size_t>(static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64));
    }
};

// Byte equality of texts, without a call to memcmp for short ones.
// Inlined: it runs inside every table lookup, and a call costs as much as the comparison.
[[gnu::always_inline]] inline bool same_text(std::string_view x, std::string_view y) noexcept {
    if (x.size() != y.size()) return false;
    if (x.size() > 16) return x == y;
    std::uint64_t xa, xb, ya, yb;
    text_hash::words(x, xa, xb);
    text_hash::words(y, ya, yb);
    return xa == ya && xb == yb;
}

template <class T>
using TextMap = std::unordered_map<std::string, T, TextHash, std::equal_to<>>;

}  // namespace korvo
