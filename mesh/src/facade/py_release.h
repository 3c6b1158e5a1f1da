// Letting other threads run: long work on caller text is done with the interpreter released.
#pragma once

#include <chrono>
#include <cstddef>
#include <thread>

#include "base/lock.h"
#include "facade/py_ref.h"

namespace korvo::facade {

// Work on caller text that needs no interpreter object (reading, canonicalizing, copying) is
// done with the interpreter released once the text is this long. Below it the work takes under
// half a millisecond (the canonical path runs at 110-360 MB/s), and taking the interpreter back (which may mean waiting for
// another thread's turn) would cost the caller more than the others gain.
inline constexpr std::size_t kReleaseFromBytes = 64 * 1024;
// Freeing a text this long gives its pages back to the system, which takes milliseconds.
inline constexpr std::size_t kReleaseLongFree = 16 * 1024 * 1024;
// Listings are released by the number of entries they go over.
inline constexpr std::size_t kReleaseFromEntries = 4096;

// Lock order: the interpreter comes first. A component call runs either wholly with the
// interpreter held or wholly without it, and no component calls back into the interpreter, so
// a thread that holds a component lock never waits for the interpreter. A call that finds a
// component's lock taken lets the interpreter go before it waits (kInterpreterWait), runs its
// section without it, and takes it back once the lock is released again.

// What the components' locks let go of while a call waits: the interpreter, when the waiting
// thread holds it (a long call has released it already). On a free-threaded build the thread
// detaches, so a collection or another stop of the world need not wait for the lock.
inline constexpr LockWait kInterpreterWait{
    [] () noexcept -> void* { return PyThreadState_GetUnchecked() ? PyEval_SaveThread() : nullptr; },
    [] (void* left) noexcept { PyEval_RestoreThread(static_cast<PyThreadState*>(left)); },
};

// Releases the interpreter for its lifetime (when `release`), and takes it back on the way
// out, also when an exception leaves. Nothing inside may touch an interpreter object.
class Released {
public:
    explicit Released(bool release = true) noexcept : saved_(release ? PyEval_SaveThread() : nullptr) {}
    ~Released() {
        if (saved_) PyEval_RestoreThread(saved_);
    }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

private:
    PyThreadState* saved_;
};

// work(), with the interpreter released when `release`.
template <class F>
decltype(auto) released_if(bool release, F&& work) {
    Released outside(release);
    return work();
}

// Gives other threads a turn about once a millisecond during a long stretch of work that needs
// the interpreter. Letting go and taking it straight back is not enough: a waiting thread asks
// the holder to let go only when nobody took the interpreter during its wait, and a holder that
// keeps retaking it starves the waiter. So a turn lets go for a moment long enough for a waiting
// thread to wake and take it; the holder then queues behind it like any other thread.
class TurnTaker {
public:
    static constexpr auto kEvery = std::chrono::milliseconds(1);
    static constexpr auto kHandOver = std::chrono::microseconds(30);
    static constexpr unsigned kCheckEvery = 256;  // steps between looks at the clock

    // Call once per step of the work. The clock is first read at the first look, so work too
    // short to reach it never reads it.
    void step() noexcept {
        if (++steps_ % kCheckEvery != 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (steps_ == kCheckEvery) last_ = now;
        if (now - last_ < kEvery) return;
        {
            Released outside;
#ifndef Py_GIL_DISABLED
            // Without a GIL there is no turn to give; detaching still lets a collection run.
            std::this_thread::sleep_for(kHandOver);
#endif
        }
        last_ = std::chrono::steady_clock::now();
    }

private:
    unsigned steps_ = 0;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace korvo::facade
