// The one-pass canonical writer and the check that keeps nothing, against reading then
// writing: on any bytes the writer gives exactly write(read(text)); both refuse exactly the
// texts read() refuses, with the same description at the same line and column (the check
// settles a number's range without working its value out).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json/canonical.h"
#include "json/read.h"
#include "json/write.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using korvo::fuzz::check;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto tree = korvo::json::read(text);
    std::string out = "kept:";
    const auto canonical = korvo::json::canonicalize(text, out);
    const auto checked = korvo::json::check(text);
    if (tree.has_value() != checked.has_value() || (!tree && checked.error() != tree.error())) {
        korvo::fuzz::violated("check answered otherwise than read",
                              (checked ? std::string("accepted") : checked.error().message()) + " / " +
                                  (tree ? std::string("accepted") : tree.error().message()));
    }
    if (!tree) {
        if (canonical) korvo::fuzz::violated("canonicalize accepted what read refused", tree.error().message());
        check(canonical.error() == tree.error(), "canonicalize refused otherwise than read",
              canonical.error().message() + " / " + tree.error().message());
        check(out == "kept:", "a refusal left text behind", out);
        return 0;
    }
    if (!canonical) korvo::fuzz::violated("canonicalize refused what read accepted", canonical.error().message());
    check(out == "kept:" + korvo::json::to_text(*tree), "canonical text differs from write(read(text))", out);
    return 0;
}
