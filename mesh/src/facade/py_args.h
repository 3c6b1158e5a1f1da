// Arguments: each method states its parameters once, as a Signature, and that one record drives
// both the matching and conversion of its arguments and the text signature in its docstring.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "facade/py_ref.h"

namespace korvo::facade {

// The class whose methods these are, as messages and text signatures name it.
inline constexpr char kTypeName[] = "KorvoMesh";

enum class Kind : std::uint8_t {
    Str,     // a str (subclasses accepted); the default, if any, is a literal text
    OptStr,  // a str, or None / omitted for "absent"
    U32,     // an integer through the integer index, narrowed to 0..4294967295; omitted: 0
    U64,     // an integer through the integer index, as an unsigned 64-bit value; omitted: 0
};

// One positional-or-keyword parameter.
struct Param {
    const char* name = nullptr;
    Kind kind = Kind::Str;
    const char* default_text = nullptr;  // Str: what an omitted argument stands for; null: required

    constexpr bool required() const noexcept { return kind == Kind::Str && default_text == nullptr; }
};

constexpr Param str(const char* name) noexcept { return {name, Kind::Str, nullptr}; }
constexpr Param str(const char* name, const char* default_text) noexcept { return {name, Kind::Str, default_text}; }
constexpr Param optional_str(const char* name) noexcept { return {name, Kind::OptStr, nullptr}; }
constexpr Param u32(const char* name) noexcept { return {name, Kind::U32, nullptr}; }
constexpr Param u64(const char* name) noexcept { return {name, Kind::U64, nullptr}; }

inline constexpr std::size_t kMaxParams = 4;

// A callable's name and parameters, with the counts the matcher needs. Made only by signature(),
// which counts them.
struct Signature {
    const char* name;  // "publish"; "__new__" for the constructor
    std::array<Param, kMaxParams> params;
    std::size_t count;
    std::size_t required;
};

template <class... P>
consteval Signature signature(const char* name, P... params) {
    static_assert(sizeof...(P) <= kMaxParams, "raise kMaxParams");
    Signature sig{name, {params...}, sizeof...(P), 0};
    for (std::size_t i = 0; i < sig.count; ++i) {
        // A default is shown between double quotes, as it is.
        for (const char* c = sig.params[i].default_text; c && *c; ++c) {
            if (*c == '"' || *c == '\\') throw "a default that would need escaping";
        }
        if (!sig.params[i].required()) continue;
        // Positional filling and the "takes from N to M" message assume required ones lead.
        if (sig.required != i) throw "a required parameter follows an optional one";
        ++sig.required;
    }
    return sig;
}

// The heads of docstrings, from which the interpreter reads `__text_signature__`:
// "name($self, a, b=0)\n--\n\n" for a method, "KorvoMesh(a, b=\"\")\n--\n\n" for the constructor.
void append_method_text_signature(const Signature& sig, std::string& out);
void append_type_text_signature(const Signature& sig, std::string& out);

// ---- conversion -------------------------------------------------------------------------

// A converted argument.
struct Arg {
    bool present = false;
    bool ascii = false;  // the text is known to be ASCII (it came from an ASCII str)
    std::string_view text;
    std::uint64_t number = 0;
};

// The UTF-8 forms a call made itself, for long str arguments; the views of an Arg see the str's
// own form otherwise. Empty in the common case, where it costs one pointer.
using OwnedTexts = std::forward_list<std::unique_ptr<char[]>>;

// A call's converted arguments, in parameter order.
struct Args {
    std::array<Arg, kMaxParams> arg;
    OwnedTexts owned;

    Arg& operator[](std::size_t i) noexcept { return arg[i]; }
    const Arg& operator[](std::size_t i) const noexcept { return arg[i]; }
};

bool convert_str_slow(PyObject* value, const char* param, Arg& out, OwnedTexts& owned);
bool convert_u32(PyObject* value, const char* param, std::uint64_t& out);
bool convert_u64(PyObject* value, const char* param, std::uint64_t& out);

// The UTF-8 view of a str argument; the interpreter keeps it for as long as the str lives.
inline bool convert_str(PyObject* value, const char* param, Arg& out, OwnedTexts& owned) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_COMPACT_ASCII(value)) {
        // ASCII text is its own UTF-8, stored right after the object header.
        out.text = std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
        out.ascii = true;
        return true;
    }
    return convert_str_slow(value, param, out, owned);
}

// The value of a small exact int (one the interpreter holds compact), read without a call; false
// for anything else, which the full conversion settles: a larger int, a subclass (bool too), an
// object with __index__, a wrong type.
inline bool small_int(PyObject* value, long long& out) noexcept {
    if (!PyLong_CheckExact(value) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) return false;
    out = static_cast<long long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)));
    return true;
}

// Converts one argument; `value` is null when the argument was omitted.
inline bool convert(const Param& p, PyObject* value, Arg& out, OwnedTexts& owned) {
    switch (p.kind) {
        case Kind::Str:
            out.present = value != nullptr;
            if (!value) {
                out.text = p.default_text ? std::string_view(p.default_text) : std::string_view();
                return true;
            }
            return convert_str(value, p.name, out, owned);
        case Kind::OptStr:
            out.present = value != nullptr && value != Py_None;
            return !out.present || convert_str(value, p.name, out, owned);
        case Kind::U32: {
            out.present = value != nullptr;
            long long n;
            if (!value) return true;
            if (small_int(value, n) && n >= 0 && n <= static_cast<long long>(UINT32_MAX)) {
                out.number = static_cast<std::uint64_t>(n);
                return true;
            }
            return convert_u32(value, p.name, out.number);
        }
        case Kind::U64: {
            out.present = value != nullptr;
            long long n;
            if (!value) return true;
            if (small_int(value, n) && n >= 0) {
                out.number = static_cast<std::uint64_t>(n);
                return true;
            }
            return convert_u64(value, p.name, out.number);
        }
    }
    return false;
}

// ---- matching ---------------------------------------------------------------------------

// Matches positional and keyword arguments to the parameters, then converts them in parameter
// order. `kwvalues[i]` is the value of keyword `kwnames[i]`.
bool match_args(const Signature& sig, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                PyObject* const* kwvalues, Args& out);

// The vectorcall form used by every method. Calls that pass every argument by position (the
// common case) go straight to conversion, unrolled over the method's own parameters: their
// number and kinds are known when the method is compiled.
template <const Signature& S, std::size_t... I>
inline bool convert_positional(PyObject* const* args, std::size_t nargs, Args& out, std::index_sequence<I...>) {
    return (convert(S.params[I], I < nargs ? args[I] : nullptr, out[I], out.owned) && ...);
}

template <const Signature& S>
inline bool match(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Args& out) {
    const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (kwnames == nullptr && nargs >= S.required && nargs <= S.count) [[likely]] {
        return convert_positional<S>(args, nargs, out, std::make_index_sequence<S.count>{});
    }
    return match_args(S, args, nargs, kwnames, args + nargs, out);
}

// The tuple-and-dict form (the constructor's).
bool match(const Signature& sig, PyObject* args, PyObject* kwargs, Args& out);

}  // namespace korvo::facade
