#include "facade/py_call.h"

#include <cstdint>
#include <cstring>

#include "base/per_thread.h"
#include "base/utf8.h"

namespace korvo::facade {

namespace {

}  // namespace

PyObject* to_str(std::string_view text, bool ascii) {
    const auto size = static_cast<Py_ssize_t>(text.size());
    if (!ascii) return PyUnicode_DecodeUTF8(text.data(), size, nullptr);
    PyObject* str = PyUnicode_New(size, 127);
    if (str != nullptr) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
}

PyObject* to_str(std::string_view text) { return to_str(text, utf8::ascii(text)); }

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

PyObject* str_list_or_raise(const Result<std::vector<std::string>>& texts) {
    if (!check(texts)) return nullptr;
    Ref list(PyList_New(static_cast<Py_ssize_t>(texts->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < texts->size(); ++i) {
        PyObject* item = to_str((*texts)[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

OutBuffer::ThreadBuffer& OutBuffer::thread_buffer() noexcept {
    static KORVO_THREAD_LOCAL ThreadBuffer buffer;
    return buffer;
}

}  // namespace korvo::facade
