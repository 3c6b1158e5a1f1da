// Allocation failure on demand: the test binary's operator new counts the allocations tried and
// counts down to a failing one, which throws std::bad_alloc, so a test can count the allocations
// an operation makes and fail each of them in turn.
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
// How many allocations this thread has tried so far.
std::size_t allocations_tried() noexcept;

// The number of allocations `op` tries.
template <class Op>
std::size_t count_allocations(Op&& op) {
    const std::size_t before = allocations_tried();
    op();
    return allocations_tried() - before;
}

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
