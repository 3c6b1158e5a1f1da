// The interpreter face of the mesh: the module entry point, the KorvoMesh type and every
// method. This is the only unit that touches the CPython C API; each method matches and
// converts its arguments through one table-driven matcher, calls one component
// operation, and turns the result (or the MeshError) into interpreter values.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include <memory>

#include "channel.h"
#include "base/clock.h"
#include "base/error.h"
#include "health.h"
#include "json/canonical.h"
#include "json/json_text.h"
#include "migration.h"
#include "plan.h"
#include "registry.h"
#include "state.h"

#ifndef KORVO_VERSION
#error "KORVO_VERSION must be defined by the build (the project version)"
#endif

namespace korvo {
namespace {

// ---------------------------------------------------------------------------------------
// Owned references

class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
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
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// The process-wide init record: the interpreter that first loaded the module, the module
// object, and the types created for it. Nothing else in the module is global.

struct InitRecord {
    std::atomic<std::int64_t> interpreter{-1};
    PyObject* module = nullptr;
    PyTypeObject* mesh_type = nullptr;
    PyObject* internal_fault = nullptr;
};
InitRecord g_init;

// ---------------------------------------------------------------------------------------
// Failures

// Raises the interpreter exception for a component error.
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
    PyObject* cls = g_init.internal_fault ? g_init.internal_fault : PyExc_SystemError;
    PyErr_Format(cls, "internal fault in korvo_mesh: %s", what);
}

// Runs an entry point's body; a C++ exception becomes the internal-fault exception.
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

// ---------------------------------------------------------------------------------------
// Result conversion

PyObject* to_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

template <class T>
PyObject* none_or_error(const std::expected<T, MeshError>& r) {
    if (!r) {
        raise_mesh_error(r.error());
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The calling thread's output buffer, lent to one call: results are written into it and copied
// into their str, so a call does not allocate for its text. When the call ends, capacity above
// kKeptCapacity is given back, so an idle thread holds at most that much. A call that runs while
// the thread's buffer is lent (a callback into the mesh from an argument's conversion) writes
// into a buffer of its own.
class OutBuffer {
public:
    OutBuffer() noexcept : text_(take()) { text_.clear(); }
    ~OutBuffer() {
        if (&text_ == &thread_buffer()) {
            if (text_.capacity() > kKeptCapacity) std::string().swap(text_);
            lent() = false;
        }
    }
    OutBuffer(const OutBuffer&) = delete;
    OutBuffer& operator=(const OutBuffer&) = delete;
    std::string& text() noexcept { return text_; }

    static constexpr std::size_t kKeptCapacity = 64 * 1024;

private:
    static std::string& thread_buffer() noexcept {
        thread_local std::string buffer;
        return buffer;
    }
    static bool& lent() noexcept {
        thread_local bool flag = false;
        return flag;
    }
    std::string& take() noexcept {
        if (!lent()) {
            lent() = true;
            return thread_buffer();
        }
        return own_;
    }

    std::string own_;
    std::string& text_;
};

// ---------------------------------------------------------------------------------------
// Argument matching and conversion, driven by one table per method.

enum class Kind : std::uint8_t {
    Str,     // a str (subclasses accepted); the default, if any, is a literal text
    OptStr,  // a str, or None / omitted for "absent"
    U32,     // an integer through the integer index, narrowed to 0..4294967295
    U64,     // an integer through the integer index, as an unsigned 64-bit value
};

struct Param {
    const char* name;
    Kind kind;
    bool required;
    const char* default_text = nullptr;  // Str only
};

inline constexpr std::size_t kMaxParams = 4;

struct Signature {
    const char* display;  // "KorvoMesh.publish()"
    std::array<Param, kMaxParams> params;
    std::size_t count;
    std::size_t required;
};

// A converted argument.
struct Arg {
    bool present = false;
    std::string_view text;
    std::uint64_t number = 0;
};

using Args = std::array<Arg, kMaxParams>;

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

bool convert_str(PyObject* value, const char* param, std::string_view& out) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_COMPACT_ASCII(value)) {
        // ASCII text is its own UTF-8, stored right after the object header.
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(value)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
        return true;
    }
    if (!PyUnicode_Check(value)) {
        PyObject* qualname = PyType_GetQualName(Py_TYPE(value));
        if (qualname) {
            PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", qualname);
            Py_DECREF(qualname);
        }
        remap_conversion_error(param);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) {
        remap_conversion_error(param);
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
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

bool convert(const Param& p, PyObject* value, Arg& out) {
    switch (p.kind) {
        case Kind::Str:
            if (!value) {
                out.text = p.default_text ? std::string_view(p.default_text) : std::string_view();
                out.present = false;
                return true;
            }
            out.present = true;
            return convert_str(value, p.name, out.text);
        case Kind::OptStr:
            if (!value || value == Py_None) {
                out.present = false;
                return true;
            }
            out.present = true;
            return convert_str(value, p.name, out.text);
        case Kind::U32:
            out.present = value != nullptr;
            return !value || convert_u32(value, p.name, out.number);
        case Kind::U64:
            out.present = value != nullptr;
            return !value || convert_u64(value, p.name, out.number);
    }
    return false;
}

std::string quoted_list(const Signature& sig, const std::array<PyObject*, kMaxParams>& slots, std::size_t missing) {
    std::string list;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (!sig.params[i].required || slots[i]) continue;
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

// Matches positional and keyword arguments to the parameters, then converts them in
// parameter order. `kwvalues[i]` is the value of keyword `kwnames[i]`.
bool match_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject* const* kwvalues, Args& out) {
    std::array<PyObject*, kMaxParams> slots{};
    const std::size_t given = static_cast<std::size_t>(nargs);
    if (given > sig.count) {
        const char* verb = given == 1 ? "was" : "were";
        if (sig.required == sig.count) {
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", sig.display, sig.count,
                         given, verb);
        } else {
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                         sig.display, sig.required, sig.count, given, verb);
        }
        return false;
    }
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const int slot = keyword_slot(sig, key);
            if (slot < 0) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
                return false;
            }
            if (slots[static_cast<std::size_t>(slot)]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                             sig.params[static_cast<std::size_t>(slot)].name);
                return false;
            }
            slots[static_cast<std::size_t>(slot)] = kwvalues[k];
        }
    }
    std::size_t missing = 0;
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (sig.params[i].required && !slots[i]) ++missing;
    }
    if (missing > 0) {
        const std::string list = quoted_list(sig, slots, missing);
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.display, missing,
                     missing == 1 ? "argument" : "arguments", list.c_str());
        return false;
    }
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (!convert(sig.params[i], slots[i], out[i])) return false;
    }
    return true;
}

// The fast-call form used by every method. Calls that pass every argument by position
// (the common case) go straight to conversion.
inline bool match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                           Args& out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) >= sig.required &&
        static_cast<std::size_t>(nargs) <= sig.count) {
        const std::size_t n = static_cast<std::size_t>(nargs);
        for (std::size_t i = 0; i < n; ++i) {
            if (!convert(sig.params[i], args[i], out[i])) return false;
        }
        for (std::size_t i = n; i < sig.count; ++i) {
            if (!convert(sig.params[i], nullptr, out[i])) return false;
        }
        return true;
    }
    return match_args(sig, args, nargs, kwnames, args + nargs, out);
}

// ---------------------------------------------------------------------------------------
// The mesh object

struct MeshFields {
    Plan plan;
    AgentRegistry registry;
    InMemoryStateStore store;
    MigrationController migrations;
    MeshChannel channel;
};

struct MeshObject {
    PyObject_HEAD
    // Constructed in place by the constructor; released field by field in declaration order.
    alignas(MeshFields) unsigned char storage[sizeof(MeshFields)];
    bool live;

    MeshFields& f() noexcept { return *std::launder(reinterpret_cast<MeshFields*>(storage)); }
};

MeshFields& fields(PyObject* self) noexcept { return reinterpret_cast<MeshObject*>(self)->f(); }

PyObject* result_str(const Status& status, const std::string& out) {
    if (!status) {
        raise_mesh_error(status.error());
        return nullptr;
    }
    return to_str(out);
}

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

// ---- constructor ----------------------------------------------------------------------

constexpr Signature kNewSig{"KorvoMesh.__new__()",
                            {{{"app_name", Kind::Str, true}, {"plan_json", Kind::Str, false, ""}}},
                            2,
                            1};

PyObject* mesh_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        // Bring the tuple-and-dict call into the fast-call shape the matcher reads.
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        Ref kwnames;
        std::array<PyObject*, 16> kwstack{};
        std::vector<PyObject*> kwheap;
        PyObject** kwvalues = kwstack.data();
        if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
            const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
            kwnames = Ref(PyTuple_New(nkw));
            if (!kwnames) return nullptr;
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
        Args a;
        if (!match_args(kNewSig, &PyTuple_GET_ITEM(args, 0), nargs, kwnames.get(), kwvalues, a)) return nullptr;
        const std::string_view app_name = a[0].text;
        const std::string_view plan_text = a[1].text;

        Plan plan;
        if (plan_text.empty()) {
            plan = Plan::named(std::string(app_name));
        } else {
            auto decoded = Plan::from_json(plan_text);
            if (!decoded) {
                raise_mesh_error(decoded.error());
                return nullptr;
            }
            plan = std::move(*decoded);
        }
        std::string effective = plan.app_name.empty() ? std::string(app_name) : plan.app_name;
        MigrationController migrations(std::move(effective));
        AgentRegistry registry;
        InMemoryStateStore store;
        MeshChannel channel;

        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* obj = reinterpret_cast<MeshObject*>(self);
        std::construct_at(reinterpret_cast<MeshFields*>(obj->storage),
                          MeshFields{std::move(plan), std::move(registry), std::move(store), std::move(migrations),
                                     std::move(channel)});
        obj->live = true;
        return self;
    });
}

void mesh_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<MeshObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (obj->live) {
        try {
            MeshFields& mf = obj->f();
            // Release in declaration order: plan, registry, store, controller, channel.
            { Plan released = std::move(mf.plan); }
            { AgentRegistry released = std::move(mf.registry); }
            { InMemoryStateStore released = std::move(mf.store); }
            { MigrationController released = std::move(mf.migrations); }
            { MeshChannel released = std::move(mf.channel); }
            std::destroy_at(&mf);
        } catch (...) {
            raise_internal_fault("failure while releasing a mesh");
            PyErr_WriteUnraisable(self);
        }
        obj->live = false;
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- property and plan ------------------------------------------------------------------

PyObject* mesh_get_app_name(PyObject* self, void*) {
    return guarded([&] { return to_str(fields(self).plan.app_name); });
}

PyObject* mesh_plan_json(PyObject* self, PyObject*) {
    return guarded([&] {
        OutBuffer lease;
        std::string& out = lease.text();
        fields(self).plan.write_json(out);
        return to_str(out);
    });
}

// ---- agents -----------------------------------------------------------------------------

constexpr Signature kRegisterSig{"KorvoMesh.register_agent()",
                                 {{{"agent_type", Kind::Str, true},
                                   {"agent_id", Kind::Str, true},
                                   {"instance", Kind::U32, false},
                                   {"metadata_json", Kind::OptStr, false}}},
                                 4,
                                 2};

PyObject* mesh_register_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kRegisterSig, args, nargs, kwnames, a)) return nullptr;
        std::optional<json::Value> metadata;
        if (a[3].present) {
            auto parsed = json::parse(a[3].text);
            if (!check(parsed)) return nullptr;
            metadata = std::move(*parsed);
        }
        OutBuffer lease;
        std::string& out = lease.text();
        AgentRegistry& registry = fields(self).registry;
        auto done = registry.register_agent_json(a[0].text, a[1].text, static_cast<std::uint32_t>(a[2].number),
                                                 std::move(metadata), out);
        if (!check(done)) return nullptr;
        return delivered(to_str(out), [&] { registry.undo(a[1].text, *done); });
    });
}

constexpr Signature kAgentIdSig{"KorvoMesh.get_agent()", {{{"agent_id", Kind::Str, true}}}, 1, 1};

PyObject* mesh_get_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kAgentIdSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        auto found = fields(self).registry.get_json(a[0].text, out);
        if (!check(found)) return nullptr;
        if (!*found) Py_RETURN_NONE;
        return to_str(out);
    });
}

constexpr Signature kListAgentsSig{"KorvoMesh.list_agents()",
                                   {{{"agent_type", Kind::OptStr, false}, {"status", Kind::OptStr, false}}},
                                   2,
                                   0};

PyObject* mesh_list_agents(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kListAgentsSig, args, nargs, kwnames, a)) return nullptr;
        std::optional<std::string_view> type_filter, status_filter;
        if (a[0].present) type_filter = a[0].text;
        if (a[1].present) status_filter = a[1].text;
        OutBuffer lease;
        std::string& out = lease.text();
        auto status = fields(self).registry.list_json(type_filter, status_filter, out);
        return result_str(status, out);
    });
}

constexpr Signature kUpdateStatusSig{"KorvoMesh.update_agent_status()",
                                     {{{"agent_id", Kind::Str, true}, {"status", Kind::Str, true}}},
                                     2,
                                     2};

PyObject* mesh_update_agent_status(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kUpdateStatusSig, args, nargs, kwnames, a)) return nullptr;
        const auto status = status_from_name(a[1].text);
        if (!status) {
            std::string message;
            write_unknown_status(a[1].text, message);
            Ref text(to_str(message));
            if (text) PyErr_SetObject(PyExc_ValueError, text.get());
            return nullptr;
        }
        return none_or_error(fields(self).registry.update_status(a[0].text, *status));
    });
}

constexpr Signature kDeregisterSig{"KorvoMesh.deregister_agent()", {{{"agent_id", Kind::Str, true}}}, 1, 1};

PyObject* mesh_deregister_agent(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kDeregisterSig, args, nargs, kwnames, a)) return nullptr;
        return none_or_error(fields(self).registry.deregister(a[0].text));
    });
}

constexpr Signature kRouteSig{"KorvoMesh.route_agent_call()",
                              {{{"agent_type", Kind::Str, true},
                                {"agent_id", Kind::Str, true},
                                {"method", Kind::Str, true},
                                {"args_json", Kind::Str, false, "{}"}}},
                              4,
                              3};

PyObject* mesh_route_agent_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kRouteSig, args, nargs, kwnames, a)) return nullptr;
        // The arguments must be JSON; their value is the caller's business, so nothing is kept.
        if (a[3].present) {
            auto read = json::check(a[3].text);
            if (!read) {
                raise_mesh_error(read.error().to_mesh_error());
                return nullptr;
            }
        }
        // The descriptor is made before the agent is marked: a call that fails for want of memory
        // leaves the agent as it was.
        OutBuffer lease;
        std::string& out = lease.text();
        write_route_descriptor(a[0].text, a[1].text, a[2].text, out);
        Ref descriptor(to_str(out));
        if (!descriptor) return nullptr;
        auto routed = fields(self).registry.route(a[0].text, a[1].text);
        if (!check(routed)) return nullptr;
        return descriptor.release();
    });
}

// ---- state ------------------------------------------------------------------------------

constexpr Signature kStateGetSig{"KorvoMesh.state_get()", {{{"key", Kind::Str, true}}}, 1, 1};

PyObject* mesh_state_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kStateGetSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        auto found = fields(self).store.get_text(a[0].text, out);
        if (!check(found)) return nullptr;
        if (!*found) Py_RETURN_NONE;
        return to_str(out);
    });
}

constexpr Signature kStateSetSig{"KorvoMesh.state_set()",
                                 {{{"key", Kind::Str, true}, {"value_json", Kind::Str, true}}},
                                 2,
                                 2};

PyObject* mesh_state_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kStateSetSig, args, nargs, kwnames, a)) return nullptr;
        // Read straight into the stored canonical text; no value tree is built.
        return none_or_error(fields(self).store.set_text(a[0].text, a[1].text));
    });
}

constexpr Signature kStateDeleteSig{"KorvoMesh.state_delete()", {{{"key", Kind::Str, true}}}, 1, 1};

PyObject* mesh_state_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kStateDeleteSig, args, nargs, kwnames, a)) return nullptr;
        return none_or_error(fields(self).store.remove(a[0].text));
    });
}

constexpr Signature kStateExistsSig{"KorvoMesh.state_exists()", {{{"key", Kind::Str, true}}}, 1, 1};

PyObject* mesh_state_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kStateExistsSig, args, nargs, kwnames, a)) return nullptr;
        auto found = fields(self).store.exists(a[0].text);
        if (!check(found)) return nullptr;
        return PyBool_FromLong(*found);
    });
}

constexpr Signature kStateKeysSig{"KorvoMesh.state_keys()", {{{"prefix", Kind::Str, false, ""}}}, 1, 0};

PyObject* mesh_state_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kStateKeysSig, args, nargs, kwnames, a)) return nullptr;
        auto keys = fields(self).store.keys_with_prefix(a[0].text);
        if (!check(keys)) return nullptr;
        Ref list(PyList_New(static_cast<Py_ssize_t>(keys->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < keys->size(); ++i) {
            PyObject* item = to_str((*keys)[i]);
            if (!item) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

// ---- topics -----------------------------------------------------------------------------

constexpr Signature kPublishSig{"KorvoMesh.publish()",
                                {{{"topic", Kind::Str, true}, {"payload_json", Kind::Str, true}}},
                                2,
                                2};

PyObject* mesh_publish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kPublishSig, args, nargs, kwnames, a)) return nullptr;
        auto parsed = json::parse(a[1].text);
        if (!check(parsed)) return nullptr;
        auto delivered = fields(self).channel.publish(a[0].text, std::move(*parsed));
        if (!check(delivered)) return nullptr;
        return PyLong_FromSize_t(*delivered);
    });
}

// ---- migrations -------------------------------------------------------------------------

constexpr Signature kStartSig{"KorvoMesh.start_migration()",
                              {{{"variable_name", Kind::Str, true},
                                {"source_backend", Kind::Str, true},
                                {"target_backend", Kind::Str, true}}},
                              3,
                              3};

PyObject* mesh_start_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kStartSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        MigrationController& migrations = fields(self).migrations;
        auto change = migrations.start_json(a[0].text, a[1].text, a[2].text, out);
        if (!check(change)) return nullptr;
        return delivered(to_str(out), [&] { migrations.undo(a[0].text, *change); });
    });
}

constexpr Signature kAdvanceSig{"KorvoMesh.advance_migration()",
                                {{{"variable_name", Kind::Str, true},
                                  {"discrepancy_count", Kind::U64, false},
                                  {"keys_migrated", Kind::U64, false}}},
                                3,
                                1};

PyObject* mesh_advance_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kAdvanceSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        MigrationController& migrations = fields(self).migrations;
        auto change = migrations.advance_json(a[0].text, a[1].number, a[2].number, out);
        if (!check(change)) return nullptr;
        return delivered(to_str(out), [&] { migrations.undo(a[0].text, *change); });
    });
}

constexpr Signature kRollbackSig{"KorvoMesh.rollback_migration()", {{{"variable_name", Kind::Str, true}}}, 1, 1};

PyObject* mesh_rollback_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kRollbackSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        MigrationController& migrations = fields(self).migrations;
        auto change = migrations.rollback_json(a[0].text, out);
        if (!check(change)) return nullptr;
        return delivered(to_str(out), [&] { migrations.undo(a[0].text, *change); });
    });
}

constexpr Signature kGetMigrationSig{"KorvoMesh.get_migration()", {{{"variable_name", Kind::Str, true}}}, 1, 1};

PyObject* mesh_get_migration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match_fastcall(kGetMigrationSig, args, nargs, kwnames, a)) return nullptr;
        OutBuffer lease;
        std::string& out = lease.text();
        auto found = fields(self).migrations.get_json(a[0].text, out);
        if (!check(found)) return nullptr;
        if (!*found) Py_RETURN_NONE;
        return to_str(out);
    });
}

PyObject* mesh_list_migrations(PyObject* self, PyObject*) {
    return guarded([&] {
        OutBuffer lease;
        std::string& out = lease.text();
        auto status = fields(self).migrations.list_json(out);
        return result_str(status, out);
    });
}

// ---- health -----------------------------------------------------------------------------

PyObject* mesh_health_snapshot(PyObject* self, PyObject*) {
    return guarded([&] {
        MeshFields& mf = fields(self);
        const HealthCounts counts = read_health(mf.registry, mf.store, mf.migrations, mf.channel);
        OutBuffer lease;
        std::string& out = lease.text();
        write_health_json(mf.plan.app_name, counts, out);
        return to_str(out);
    });
}

PyObject* mesh_repr(PyObject* self) {
    return guarded([&] {
        MeshFields& mf = fields(self);
        const HealthCounts counts = read_summary_counts(mf.registry, mf.store, mf.migrations);
        OutBuffer lease;
        std::string& out = lease.text();
        write_summary(mf.plan.app_name, counts, out);
        return to_str(out);
    });
}

// ---------------------------------------------------------------------------------------
// Type and module definitions

#define KORVO_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef kMethods[] = {
    {"plan_json", mesh_plan_json, METH_NOARGS,
     "plan_json($self)\n--\n\nReturn the solved plan as a JSON string."},
    {"register_agent", KORVO_FASTCALL(mesh_register_agent), METH_FASTCALL | METH_KEYWORDS,
     "register_agent($self, agent_type, agent_id, instance=0, metadata_json=None)\n--\n\n"
     "Register a new agent instance.\n\n"
     "Args:\n"
     "    agent_type:    Class name, e.g. ``\"Customer\"``.\n"
     "    agent_id:      Unique identity key, e.g. ``\"customer-123\"``.\n"
     "    instance:      Replica index (0-based, default 0).\n"
     "    metadata_json: Optional JSON object with extra fields.\n\n"
     "Returns:\n"
     "    JSON string representing the created :class:`AgentEntry`.\n\n"
     "Raises:\n"
     "    RuntimeError: If the agent ID is already registered."},
    {"update_agent_status", KORVO_FASTCALL(mesh_update_agent_status), METH_FASTCALL | METH_KEYWORDS,
     "update_agent_status($self, agent_id, status)\n--\n\n"
     "Update the status of a registered agent.\n\n"
     "Args:\n"
     "    agent_id: The agent's unique ID.\n"
     "    status:   One of ``\"starting\"``, ``\"running\"``, ``\"idle\"``,\n"
     "              ``\"stopping\"``, ``\"stopped\"``, ``\"error\"``.\n\n"
     "Raises:\n"
     "    ValueError: If the status string is not recognised.\n"
     "    KeyError:   If the agent ID is not registered."},
    {"deregister_agent", KORVO_FASTCALL(mesh_deregister_agent), METH_FASTCALL | METH_KEYWORDS,
     "deregister_agent($self, agent_id)\n--\n\n"
     "Deregister an agent.  No-op if the ID does not exist."},
    {"get_agent", KORVO_FASTCALL(mesh_get_agent), METH_FASTCALL | METH_KEYWORDS,
     "get_agent($self, agent_id)\n--\n\n"
     "Look up an agent by ID.\n\n"
     "Returns:\n"
     "    JSON string for the agent, or ``None`` if not found."},
    {"list_agents", KORVO_FASTCALL(mesh_list_agents), METH_FASTCALL | METH_KEYWORDS,
     "list_agents($self, agent_type=None, status=None)\n--\n\n"
     "List agents, optionally filtered.\n\n"
     "Args:\n"
     "    agent_type: Filter by type name (``None`` = all types).\n"
     "    status:     Filter by status string (``None`` = all statuses).\n\n"
     "Returns:\n"
     "    JSON array string of agent records."},
    {"route_agent_call", KORVO_FASTCALL(mesh_route_agent_call), METH_FASTCALL | METH_KEYWORDS,
     "route_agent_call($self, agent_type, agent_id, method, args_json=\"{}\")\n--\n\n"
     "Route a call to an agent and return routing metadata as JSON.\n\n"
     "This method validates that the agent exists and is not stopped/errored,\n"
     "then marks it as ``\"running\"`` and returns a routing descriptor.  The\n"
     "actual Python method dispatch is performed by the caller using the\n"
     "returned metadata.\n\n"
     "Args:\n"
     "    agent_type: Agent class name.\n"
     "    agent_id:   Agent identity key.\n"
     "    method:     Method name to invoke.\n"
     "    args_json:  JSON object of keyword arguments (default ``\"{}\"``) .\n\n"
     "Returns:\n"
     "    JSON object ``{\"status\": \"routed\", \"agent_id\": \"\u2026\", \u2026}``.\n\n"
     "Raises:\n"
     "    KeyError:   If the agent is not registered or has stopped."},
    {"state_get", KORVO_FASTCALL(mesh_state_get), METH_FASTCALL | METH_KEYWORDS,
     "state_get($self, key)\n--\n\n"
     "Get a value from the shared state store.\n\n"
     "Returns:\n"
     "    JSON string for the value, or ``None`` if the key does not exist."},
    {"state_set", KORVO_FASTCALL(mesh_state_set), METH_FASTCALL | METH_KEYWORDS,
     "state_set($self, key, value_json)\n--\n\n"
     "Set a value in the shared state store.\n\n"
     "Args:\n"
     "    key:        Arbitrary string key.\n"
     "    value_json: JSON-encoded value to store."},
    {"state_delete", KORVO_FASTCALL(mesh_state_delete), METH_FASTCALL | METH_KEYWORDS,
     "state_delete($self, key)\n--\n\n"
     "Delete a key from the state store.  No-op if the key does not exist."},
    {"state_exists", KORVO_FASTCALL(mesh_state_exists), METH_FASTCALL | METH_KEYWORDS,
     "state_exists($self, key)\n--\n\n"
     "Check whether a key exists in the state store."},
    {"state_keys", KORVO_FASTCALL(mesh_state_keys), METH_FASTCALL | METH_KEYWORDS,
     "state_keys($self, prefix=\"\")\n--\n\n"
     "Return all keys that start with `prefix` (sorted)."},
    {"publish", KORVO_FASTCALL(mesh_publish), METH_FASTCALL | METH_KEYWORDS,
     "publish($self, topic, payload_json)\n--\n\n"
     "Publish a message to a topic.\n\n"
     "Args:\n"
     "    topic:        Topic name string.\n"
     "    payload_json: JSON-encoded message payload.\n\n"
     "Returns:\n"
     "    Number of active receivers that received the message."},
    {"start_migration", KORVO_FASTCALL(mesh_start_migration), METH_FASTCALL | METH_KEYWORDS,
     "start_migration($self, variable_name, source_backend, target_backend)\n--\n\n"
     "Start a zero-downtime migration for a storage variable.\n\n"
     "Args:\n"
     "    variable_name:  Fully-qualified storage name, e.g. ``\"counter.Counts\"``.\n"
     "    source_backend: Current backend name, e.g. ``\"sqlite\"``.\n"
     "    target_backend: Target backend name, e.g. ``\"redis\"``.\n\n"
     "Returns:\n"
     "    JSON string of the initial :class:`MigrationState` (stage 1).\n\n"
     "Raises:\n"
     "    ValueError: If a non-complete migration already exists for this variable."},
    {"advance_migration", KORVO_FASTCALL(mesh_advance_migration), METH_FASTCALL | METH_KEYWORDS,
     "advance_migration($self, variable_name, discrepancy_count=0, keys_migrated=0)\n--\n\n"
     "Advance a migration to its next stage.\n\n"
     "Args:\n"
     "    variable_name:     Storage variable name.\n"
     "    discrepancy_count: Number of read discrepancies observed in this stage.\n"
     "    keys_migrated:     Number of keys copied during this stage.\n\n"
     "Returns:\n"
     "    JSON string of the updated :class:`MigrationState`."},
    {"rollback_migration", KORVO_FASTCALL(mesh_rollback_migration), METH_FASTCALL | METH_KEYWORDS,
     "rollback_migration($self, variable_name)\n--\n\n"
     "Roll back a migration by one stage.\n\n"
     "Returns:\n"
     "    JSON string of the updated :class:`MigrationState`."},
    {"get_migration", KORVO_FASTCALL(mesh_get_migration), METH_FASTCALL | METH_KEYWORDS,
     "get_migration($self, variable_name)\n--\n\n"
     "Get the current migration state for a variable.\n\n"
     "Returns:\n"
     "    JSON string, or ``None`` if no migration exists for this variable."},
    {"list_migrations", mesh_list_migrations, METH_NOARGS,
     "list_migrations($self)\n--\n\n"
     "List all migrations (active and completed).\n\n"
     "Returns:\n"
     "    JSON array string."},
    {"health_snapshot", mesh_health_snapshot, METH_NOARGS,
     "health_snapshot($self)\n--\n\n"
     "Return a JSON health snapshot of the entire mesh.\n\n"
     "The snapshot includes agent counts by status, state-store key count,\n"
     "active migration count, and channel topic count."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"app_name", mesh_get_app_name, nullptr, "Application name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kTypeDoc[] =
    "KorvoMesh(app_name, plan_json=\"\")\n--\n\n"
    "The runtime mesh for a Korvo application.\n\n"
    "Create one per application process (Python):\n\n"
    "```python\n"
    "mesh = KorvoMesh(\"myapp\", plan_json)\n"
    "```\n\n"
    "All methods are synchronous and GIL-aware \u2014 they release the GIL during\n"
    "any blocking work.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_new, reinterpret_cast<void*>(mesh_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mesh_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(mesh_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kTypeSpec = {
    "KorvoMesh",
    static_cast<int>(sizeof(MeshObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "korvo_mesh",
    "Python module `korvo_mesh`.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds `value` (stolen) under `name` and appends the name to `__all__`.
bool add_exported(PyObject* module, const char* name, PyObject* value) {
    Ref owned(value);
    if (!owned) return false;
    PyObject* all = nullptr;
    if (PyDict_GetItemStringRef(PyModule_GetDict(module), "__all__", &all) < 0) return false;
    Ref all_ref(all);
    if (!all_ref) {
        all_ref = Ref(PyList_New(0));
        if (!all_ref || PyModule_AddObjectRef(module, "__all__", all_ref.get()) < 0) return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all_ref.get(), text.get()) < 0) return false;
    return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

// The type's name carries no module prefix. The interpreter warns about such names when
// it builds the type; that warning must not turn into an import failure under -W error, so
// it is silenced for the one call, and `__module__` is set afterwards for pickling and help().
PyTypeObject* create_mesh_type() {
    Ref warnings(PyImport_ImportModule("warnings"));
    if (!warnings) return nullptr;
    Ref context(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
    if (!context) return nullptr;
    Ref entered(PyObject_CallMethod(context.get(), "__enter__", nullptr));
    if (!entered) return nullptr;
    Ref filtered(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
    PyObject* type = filtered ? PyType_FromSpec(&kTypeSpec) : nullptr;
    Ref exited(PyObject_CallMethod(context.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (!type) return nullptr;
    Ref type_ref(type);
    if (!exited) return nullptr;
    Ref module_name(PyUnicode_FromString("korvo_mesh"));
    if (!module_name) return nullptr;
    auto* as_type = reinterpret_cast<PyTypeObject*>(type);
    if (PyDict_SetItemString(as_type->tp_dict, "__module__", module_name.get()) < 0) return nullptr;
    PyType_Modified(as_type);
    return reinterpret_cast<PyTypeObject*>(type_ref.release());
}

PyObject* init_module() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::int64_t expected = -1;
    if (!g_init.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "korvo_mesh does not support sub-interpreters: it is already loaded in another "
                        "interpreter of this process");
        return nullptr;
    }
    if (g_init.module) return Py_NewRef(g_init.module);

    if (!g_init.internal_fault) {
        g_init.internal_fault = PyErr_NewExceptionWithDoc(
            "korvo_mesh.InternalFault",
            "A broken invariant inside korvo_mesh. It derives from BaseException so that ordinary\n"
            "`except Exception` handlers do not swallow it; it is never an expected outcome.",
            PyExc_BaseException, nullptr);
        if (!g_init.internal_fault) return nullptr;
    }
    if (!g_init.mesh_type) {
        g_init.mesh_type = create_mesh_type();
        if (!g_init.mesh_type) return nullptr;
    }
    Ref module(PyModule_Create(&kModuleDef));
    if (!module) return nullptr;
    if (!add_exported(module.get(), "KorvoMesh", Py_NewRef(reinterpret_cast<PyObject*>(g_init.mesh_type))) ||
        !add_exported(module.get(), "__version__", PyUnicode_FromString(KORVO_VERSION))) {
        return nullptr;
    }
    g_init.module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace korvo

PyMODINIT_FUNC PyInit_korvo_mesh(void) {
    return korvo::guarded([] { return korvo::init_module(); });
}
