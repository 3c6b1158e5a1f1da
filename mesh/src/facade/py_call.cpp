#include "facade/py_call.h"

#include <cstdint>
#include <cstring>

#include "base/per_thread.h"
#include "base/utf8.h"

namespace korvo::facade {

namespace {

// A str of a long text whose shape is known. Only its allocation needs the interpreter: the
// characters are written with it released, into a str no other thread can reach until it is
// returned.
[[gnu::noinline]] PyObject* long_str(std::string_view text, utf8::Shape shape) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(shape.length), static_cast<Py_UCS4>(shape.max_char));
    if (!str) return nullptr;
    const int kind = PyUnicode_KIND(str);
    void* data = PyUnicode_DATA(str);
    const std::size_t length = shape.length;
    Released outside;
    if (shape.max_char == 0) {
        std::memcpy(data, text.data(), text.size());
    } else if (kind == PyUnicode_1BYTE_KIND) {
        utf8::decode_chars(text, static_cast<Py_UCS1*>(data), static_cast<Py_UCS1*>(data) + length);
    } else if (kind == PyUnicode_2BYTE_KIND) {
        utf8::decode_chars(text, static_cast<Py_UCS2*>(data), static_cast<Py_UCS2*>(data) + length);
    } else {
        utf8::decode_chars(text, static_cast<Py_UCS4*>(data), static_cast<Py_UCS4*>(data) + length);
    }
    return str;
}

// The same, its shape found first, with the interpreter released.
[[gnu::noinline]] PyObject* long_str(std::string_view text) {
    utf8::Shape shape;
    {
        Released outside;
        shape = utf8::shape(text);
    }
    return long_str(text, shape);
}

}  // namespace

PyObject* to_str(std::string_view text, bool ascii) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (text.size() >= kReleaseFromBytes) [[unlikely]] {
        return ascii ? long_str(text, utf8::Shape{text.size(), 0}) : long_str(text);
    }
    if (!ascii) return PyUnicode_DecodeUTF8(text.data(), size, nullptr);
    PyObject* str = PyUnicode_New(size, 127);
    if (str != nullptr) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
}

PyObject* to_str(std::string_view text) {
    if (text.size() >= kReleaseFromBytes) [[unlikely]] return long_str(text);
    // Results are mostly ASCII: the str is made as such and the text copied into it and checked
    // in one pass; one that turns out otherwise is dropped and the text decoded.
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (str == nullptr) return nullptr;
    if (bytes::copy_if_ascii(static_cast<char*>(PyUnicode_DATA(str)), text.data(), text.size())) return str;
    Py_DECREF(str);
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* to_str(std::string_view text, utf8::Shape shape) {
    if (text.size() >= kReleaseFromBytes) [[unlikely]] return long_str(text, shape);
    return to_str(text, shape.max_char == 0);
}

void raise_mesh_error(const MeshError& error) {
    PyObject* cls = PyExc_RuntimeError;
    switch (error.exception_class()) {
        case MeshError::ExceptionClass::KeyError: cls = PyExc_KeyError; break;
        case MeshError::ExceptionClass::ValueError: cls = PyExc_ValueError; break;
        case MeshError::ExceptionClass::RuntimeError: break;
    }
    const std::string message = error.message();
    Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    // The instance is made by calling the class with the message as its one argument.
    Ref exc(PyObject_CallOneArg(cls, text.get()));
    if (exc) PyErr_SetObject(cls, exc.get());
}

void raise_internal_fault(const char* what) {
    PyObject* cls = internal_fault_class();
    PyErr_Format(cls ? cls : PyExc_SystemError, "internal fault in korvo_mesh: %s", what);
}

PyObject* str_list_or_raise(Result<KeyListing>&& listing) {
    if (!check(listing)) return nullptr;
    const std::vector<std::string_view>& texts = listing->keys;
    const std::size_t count = texts.size();
    const bool long_list = count >= kReleaseFromEntries;
    Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    TurnTaker turns;
    for (std::size_t i = 0; list && i < count; ++i) {
        if (long_list) turns.step();
        PyObject* item = to_str(texts[i]);
        if (!item) {
            list = Ref();
            break;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    released_if(long_list, [&] { *listing = KeyListing(); });
    return list.release();
}

OutBuffer::ThreadBuffer& OutBuffer::thread_buffer() noexcept {
    static KORVO_THREAD_LOCAL ThreadBuffer buffer;
    return buffer;
}

}  // namespace korvo::facade
