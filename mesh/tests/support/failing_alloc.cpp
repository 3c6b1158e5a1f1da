#include "failing_alloc.h"

#include <cstdlib>

namespace korvo::test {
namespace {

thread_local std::size_t countdown = 0;
thread_local std::size_t made = 0;

bool should_fail() noexcept {
    ++made;
    return countdown != 0 && --countdown == 0;
}

}  // namespace

void fail_nth_allocation(std::size_t n) noexcept { countdown = n; }
std::size_t allocations_tried() noexcept { return made; }
bool allocation_failure_pending() noexcept { return countdown != 0; }

bool allocation_failure_works() {
    // Called through pointers, so that a tool which replaces the pair replaces both here too.
    void* (*volatile allocate)(std::size_t, const std::nothrow_t&) noexcept = &::operator new;
    void (*volatile release)(void*) noexcept = &::operator delete;
    fail_nth_allocation(1);
    void* p = allocate(16, std::nothrow);
    fail_nth_allocation(0);
    release(p);
    return p == nullptr;
}

}  // namespace korvo::test

// The replaceable allocation functions, for this test binary only: every form but the aligned
// ones (which keep the library's own pair) allocates and frees here, with malloc and free.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (korvo::test::should_fail()) return nullptr;
    return std::malloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void* operator new(std::size_t size) {
    if (void* p = ::operator new(size, std::nothrow)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
