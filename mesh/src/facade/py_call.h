// The road out of every entry point: the exception boundary, the conversion of component
// results into interpreter values, and the per-thread buffer that results are written into.
#pragma once

#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/per_thread.h"
#include "base/utf8.h"
#include "facade/py_ref.h"
#include "facade/py_release.h"
#include "state.h"

namespace korvo::facade {

// ---- failures ---------------------------------------------------------------------------

// Raises the exception a component error maps to, with the error's message as its one argument.
void raise_mesh_error(const MeshError& error);

// Raises InternalFault("internal fault in korvo_mesh: {what}"); SystemError until the module
// has made that class.
void raise_internal_fault(const char* what);

// The InternalFault class, or null before it is made. The init record keeps it (module.cpp).
PyObject* internal_fault_class() noexcept;

// Runs an entry point's body. No C++ exception leaves it: std::bad_alloc becomes MemoryError and
// any other exception InternalFault.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
        raise_internal_fault("unknown failure");
    }
    return nullptr;
}

// A component's answer: true when it holds a value; false, with the exception raised, for a
// MeshError.
template <class T>
bool check(const Result<T>& r) {
    if (!r) raise_mesh_error(r.error());
    return r.has_value();
}

// The result of a call that changed a component: when it could not be made (`result` is null,
// an exception is set), `undo` takes the change back, so the caller who is told that the call
// failed finds the mesh as it was.
template <class Undo>
PyObject* delivered(PyObject* result, Undo&& undo) noexcept {
    if (!result) undo();
    return result;
}

// ---- results ----------------------------------------------------------------------------

// A new str holding `text` (valid UTF-8: every text the mesh hands out is, by construction).
// Results are mostly ASCII, which is its own UTF-8: that text is checked sixteen bytes at a
// time and copied into a new str as it is, with no decoding. A long text is written straight
// into a str of its final kind.
PyObject* to_str(std::string_view text);
// The same, for text whose being ASCII is already known, or whose shape is.
PyObject* to_str(std::string_view text, bool ascii);
PyObject* to_str(std::string_view text, utf8::Shape shape);

inline PyObject* none_or_raise(const Status& status) {
    if (!check(status)) return nullptr;
    Py_RETURN_NONE;
}

// These take the written text by reference, not as a view: a view made in the same call as the
// operation that writes the text may be taken before anything is written.

// `text` once the operation that wrote it succeeded.
inline PyObject* str_or_raise(const Status& status, const std::string& text) {
    return check(status) ? to_str(text) : nullptr;
}

// `text` when the operation found what it looked for, None when it did not.
inline PyObject* optional_str_or_raise(const Result<bool>& found, const std::string& text) {
    if (!check(found)) return nullptr;
    if (!*found) Py_RETURN_NONE;
    return to_str(text);
}

inline PyObject* bool_or_raise(const Result<bool>& truth) {
    return check(truth) ? PyBool_FromLong(*truth) : nullptr;
}

inline PyObject* int_or_raise(const Result<std::size_t>& count) {
    return check(count) ? PyLong_FromSize_t(*count) : nullptr;
}

// A new list of str, in the order given. A long list lets other threads run while it is built,
// and what holds its texts is let go with the interpreter released.
PyObject* str_list_or_raise(Result<KeyListing>&& listing);

// ---- the output buffer ------------------------------------------------------------------

// The calling thread's output buffer, lent to one call: results are written into it and copied
// into their str, so a call does not allocate for its text. When the call ends, capacity above
// kKeptScratch is given back, as for the thread's other scratch texts. A call that runs while
// the thread's buffer is lent (a callback into the mesh from an argument's conversion) writes
// into a buffer of its own.
class OutBuffer {
public:
    OutBuffer() noexcept {
        ThreadBuffer& thread = thread_buffer();
        if (thread.lent) return;
        thread.lent = true;
        thread.text.clear();
        borrowed_ = &thread;
        text_ = &thread.text;
    }
    ~OutBuffer() {
        // Giving back the pages of a long text takes milliseconds: other threads run meanwhile.
        if (text_->capacity() > kKeptScratch) released_if(text_->capacity() >= kReleaseLongFree, [&] {
            std::string().swap(*text_);
        });
        if (borrowed_) borrowed_->lent = false;
    }
    OutBuffer(const OutBuffer&) = delete;
    OutBuffer& operator=(const OutBuffer&) = delete;

    std::string& text() noexcept { return *text_; }

private:
    struct ThreadBuffer {
        std::string text;
        bool lent = false;
    };
    static ThreadBuffer& thread_buffer() noexcept;

    std::string own_;
    ThreadBuffer* borrowed_ = nullptr;
    std::string* text_ = &own_;
};

}  // namespace korvo::facade
