// References to interpreter objects. `Ref` owns one reference and gives it back when it goes
// out of scope, so an early return never leaks one; `Ref::borrow` takes a new reference to an
// object the caller only borrows. A bare PyObject* in the facade is always a borrowed one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace korvo::facade {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over `owned` (a new reference, or null after a failed call).
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    // A new reference to `borrowed`.
    static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller, who now owns it.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace korvo::facade
