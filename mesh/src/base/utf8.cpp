#include "base/utf8.h"

namespace korvo::utf8 {
namespace {

constexpr std::uint64_t kHighs = 0x8080808080808080ULL;

std::uint64_t load8(const unsigned char* p) noexcept {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    return x;
}

constexpr bool continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

}  // namespace

char32_t decode(std::string_view text, std::size_t& i) noexcept {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len;
    char32_t cp;
    char32_t min;
    if (b0 < 0x80) {
        ++i;
        return b0;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
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

void encode(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        const char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(b, 2);
    } else if (cp < 0x10000) {
        const char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                           static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(b, 3);
    } else {
        const char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                           static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(b, 4);
    }
}

bool valid(const unsigned char* p, const unsigned char* end) noexcept {
    while (p != end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            while (end - p >= 8 && (load8(p) & kHighs) == 0) p += 8;
            continue;
        }
        const auto left = static_cast<std::size_t>(end - p);
        if (c >= 0xC2 && c <= 0xDF) {
            if (left < 2 || !continuation(p[1])) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (left < 3 || !continuation(p[1]) || !continuation(p[2])) return false;
            if (c == 0xE0 && p[1] < 0xA0) return false;  // overlong
            if (c == 0xED && p[1] > 0x9F) return false;  // a surrogate
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (left < 4 || !continuation(p[1]) || !continuation(p[2]) || !continuation(p[3])) return false;
            if (c == 0xF0 && p[1] < 0x90) return false;  // overlong
            if (c == 0xF4 && p[1] > 0x8F) return false;  // above U+10FFFF
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace korvo::utf8
