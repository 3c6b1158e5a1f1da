// Allocation failure on demand: the test binary's operator new counts down and throws
// std::bad_alloc when the count reaches zero, so a test can fail every allocation an
// operation makes, one at a time.
#pragma once

#include <cstddef>
#include <new>

namespace korvo::test {

// Makes the n-th allocation from now on (on this thread) fail; 0 disarms.
void fail_nth_allocation(std::size_t n) noexcept;
// True while an armed failure has not been reached yet.
bool allocation_failure_pending() noexcept;
// False where allocations cannot be made to fail (a tool such as valgrind replaces operator new).
bool allocation_failure_works();

// Runs `op` once with its n-th allocation failing. Returns true when that failure was met
// (`op` ended with std::bad_alloc), false when `op` finished making fewer allocations.
template <class Op>
bool run_failing_at(std::size_t n, Op&& op) {
    fail_nth_allocation(n);
    bool failed = false;
    try {
        op();
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    fail_nth_allocation(0);
    return failed;
}

}  // namespace korvo::test
