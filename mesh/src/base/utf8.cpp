#include "base/utf8.h"

namespace korvo::utf8 {

bool valid(const unsigned char* p, const unsigned char* end) noexcept {
    while (p != end) {
        p = bytes::ascii_run(p, end);
        if (p == end) break;
        if (decode<Policy::Strict>(p, end) == kMalformed) return false;
    }
    return true;
}

}  // namespace korvo::utf8
