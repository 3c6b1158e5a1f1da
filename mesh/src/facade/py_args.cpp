#include "facade/py_args.h"

#include <vector>

#include "base/utf8.h"
#include "facade/py_release.h"

namespace korvo::facade {

namespace {

void append_parameters(const Signature& sig, bool after_self, std::string& out) {
    for (std::size_t i = 0; i < sig.count; ++i) {
        const Param& p = sig.params[i];
        if (i > 0 || after_self) out += ", ";
        out += p.name;
        switch (p.kind) {
            case Kind::Str:
                if (p.default_text) out.append("=\"").append(p.default_text).append("\"");
                break;
            case Kind::OptStr: out += "=None"; break;
            case Kind::U32:
            case Kind::U64: out += "=0"; break;
        }
    }
    out += ")\n--\n\n";
}

}  // namespace

void append_method_text_signature(const Signature& sig, std::string& out) {
    out.append(sig.name).append("($self");
    append_parameters(sig, true, out);
}

void append_type_text_signature(const Signature& sig, std::string& out) {
    out.append(kTypeName).append("(");
    append_parameters(sig, false, out);
}

namespace {

// Re-raises a TypeError from converting `param` as "argument '{param}': {message}",
// keeping the original's cause; any other error stays as it is.
void remap_conversion_error(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref original(PyErr_GetRaisedException());
    Ref text(PyObject_Str(original.get()));
    if (!text) return;
    Ref message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    Ref replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return;
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetRaisedException(replacement.release());
}

}  // namespace

namespace {

// The UTF-8 form of `count` characters into a buffer of the call's, or false at a surrogate.
// The buffer has room for the longest form; what the text does not use is never touched.
template <class Char>
bool encode_utf8(const Char* chars, std::size_t count, OwnedTexts& owned, std::size_t& size) {
    auto buffer = std::make_unique_for_overwrite<char[]>(utf8::max_encoded_size<Char>(count));
    size = utf8::encode_chars(chars, count, buffer.get());
    if (size == utf8::kNotUtf8) return false;
    owned.push_front(std::move(buffer));
    return true;
}

// The interpreter makes a str's UTF-8 form holding the interpreter lock, and keeps it in the
// str. For a long str that has none yet, the call makes its own with the lock released: the
// str cannot change, and its caller holds it until the call returns. False, with nothing made,
// when the str is short, already has the form, or holds a surrogate (the interpreter's encoder
// then says why it refuses).
bool encode_long_str(PyObject* value, Arg& out, OwnedTexts& owned) {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
    if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_COMPACT(value) || length < kReleaseFromBytes) return false;
    auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(value);
    if (__atomic_load_n(&compact->utf8, __ATOMIC_ACQUIRE) != nullptr) return false;
    const int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    std::size_t size = 0;
    bool encoded = false;
    {
        Released outside;
        if (kind == PyUnicode_1BYTE_KIND) {
            encoded = encode_utf8(static_cast<const Py_UCS1*>(data), length, owned, size);
        } else if (kind == PyUnicode_2BYTE_KIND) {
            encoded = encode_utf8(static_cast<const Py_UCS2*>(data), length, owned, size);
        } else {
            encoded = encode_utf8(static_cast<const Py_UCS4*>(data), length, owned, size);
        }
    }
    if (encoded) out.text = std::string_view(owned.front().get(), size);
    return encoded;
}

}  // namespace

bool convert_str_slow(PyObject* value, const char* param, Arg& out, OwnedTexts& owned) {
    if (!PyUnicode_Check(value)) {
        Ref qualname(PyType_GetQualName(Py_TYPE(value)));
        if (qualname) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", qualname.get());
        remap_conversion_error(param);
        return false;
    }
    if (encode_long_str(value, out, owned)) return true;
    Py_ssize_t size = 0;
    const char* data = nullptr;
    // The UTF-8 form is made once and kept in the str. Threads that share the str make it one
    // at a time: interpreters before 3.13.2 could let two race on it.
    Py_BEGIN_CRITICAL_SECTION(value);
    data = PyUnicode_AsUTF8AndSize(value, &size);
    Py_END_CRITICAL_SECTION();
    if (!data) {
        remap_conversion_error(param);
        return false;
    }
    out.text = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool convert_u32(PyObject* value, const char* param, std::uint64_t& out) {
    const long long wide = PyLong_AsLongLong(value);
    if (wide == -1 && PyErr_Occurred()) {
        remap_conversion_error(param);
        return false;
    }
    if (wide < 0 || wide > static_cast<long long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint64_t>(wide);
    return true;
}

bool convert_u64(PyObject* value, const char* param, std::uint64_t& out) {
    Ref index(PyNumber_Index(value));
    if (!index) {
        remap_conversion_error(param);
        return false;
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        remap_conversion_error(param);
        return false;
    }
    out = n;
    return true;
}

namespace {

using Slots = std::array<PyObject*, kMaxParams>;

// 'a', 'a' and 'b', or 'a', 'b', and 'c': the required parameters left unfilled.
std::string quoted_list(const Signature& sig, const Slots& slots, std::size_t missing) {
    std::string list;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (!sig.params[i].required() || slots[i]) continue;
        if (seen > 0) {
            if (missing == 2) {
                list += " and ";
            } else {
                list += (seen + 1 == missing) ? ", and " : ", ";
            }
        }
        list.append("'").append(sig.params[i].name).append("'");
        ++seen;
    }
    return list;
}

int keyword_slot(const Signature& sig, PyObject* key) {
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_EqualToUTF8(key, sig.params[i].name)) return static_cast<int>(i);
    }
    return -1;
}

bool too_many_positional(const Signature& sig, std::size_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (sig.required == sig.count) {
        PyErr_Format(PyExc_TypeError, "%s.%s() takes %zu positional arguments but %zu %s given", kTypeName, sig.name,
                     sig.count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s.%s() takes from %zu to %zu positional arguments but %zu %s given",
                     kTypeName, sig.name, sig.required, sig.count, given, verb);
    }
    return false;
}

}  // namespace

bool match_args(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                PyObject* const* kwvalues, Args& out) {
    if (nargs > sig.count) return too_many_positional(sig, nargs);
    Slots slots{};
    for (std::size_t i = 0; i < nargs; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const int slot = keyword_slot(sig, key);
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%U'", kTypeName, sig.name, key);
            return false;
        }
        const auto i = static_cast<std::size_t>(slot);
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'", kTypeName, sig.name,
                         sig.params[i].name);
            return false;
        }
        slots[i] = kwvalues[k];
    }
    std::size_t missing = 0;
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (sig.params[i].required() && !slots[i]) ++missing;
    }
    if (missing > 0) {
        const std::string list = quoted_list(sig, slots, missing);
        PyErr_Format(PyExc_TypeError, "%s.%s() missing %zu required positional %s: %s", kTypeName, sig.name, missing,
                     missing == 1 ? "argument" : "arguments", list.c_str());
        return false;
    }
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (!convert(sig.params[i], slots[i], out[i], out.owned)) return false;
    }
    return true;
}

bool match(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out) {
    // Bring the tuple-and-dict call into the vectorcall shape the matcher reads.
    const auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    Ref kwnames;
    std::array<PyObject*, 16> kwstack{};
    std::vector<PyObject*> kwheap;
    PyObject** kwvalues = kwstack.data();
    if (nkw > 0) {
        kwnames = Ref(PyTuple_New(nkw));
        if (!kwnames) return false;
        if (nkw > static_cast<Py_ssize_t>(kwstack.size())) {
            kwheap.resize(static_cast<std::size_t>(nkw));
            kwvalues = kwheap.data();
        }
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
            kwvalues[i++] = value;
        }
    }
    return match_args(sig, &PyTuple_GET_ITEM(args, 0), nargs, kwnames.get(), kwvalues, out);
}

}  // namespace korvo::facade
