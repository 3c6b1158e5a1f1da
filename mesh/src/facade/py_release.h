// Letting other threads run: long work on caller text is done with the interpreter released.
#pragma once

#include <cstddef>

#include "facade/py_ref.h"

namespace korvo::facade {

// Work on caller text that needs no interpreter object (reading, canonicalizing, copying) is
// done with the interpreter released once the text is this long. Below it the work takes less
// than a tenth of a millisecond, and taking the interpreter back (which may mean waiting for
// another thread's turn) would cost the caller more than the others gain.
inline constexpr std::size_t kReleaseFromBytes = 64 * 1024;
// Listings are released by the number of entries they go over.
inline constexpr std::size_t kReleaseFromEntries = 4096;

// Lock order: the interpreter comes first. A component call runs either wholly with the
// interpreter held or wholly without it, and no component calls back into the interpreter, so
// a thread that holds a component lock never waits for the interpreter.

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

// Gives other threads their turn now and then during a long stretch of interpreter work.
inline void let_others_run() noexcept { PyEval_RestoreThread(PyEval_SaveThread()); }

}  // namespace korvo::facade
