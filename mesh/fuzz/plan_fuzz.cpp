// Plan decoding on arbitrary bytes: it never crashes, refuses only with a
// SerializationError, and an accepted plan written out decodes to the same plan
// and the same text (the writer keeps backend order, so the comparison is exact).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "plan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using korvo::fuzz::check;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto plan = korvo::Plan::from_json(text);
    if (!plan) {
        check(plan.error().kind() == korvo::MeshError::Kind::SerializationError, "plan refused with another error",
              plan.error().message());
        return 0;
    }
    std::string written;
    plan->write_json(written);
    auto again = korvo::Plan::from_json(written);
    if (!again) korvo::fuzz::violated("written plan refused", again.error().message() + " in " + written);
    check(*again == *plan, "written plan decodes to another plan", written);
    std::string rewritten;
    again->write_json(rewritten);
    check(rewritten == written, "written plan not a fixed point", written);
    return 0;
}
