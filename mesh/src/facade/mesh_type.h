// The KorvoMesh type: the object's fields, the record each method is registered from, the one
// wrapper that every method with parameters is called through, and the type's creation.
#pragma once

#include <array>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "channel.h"
#include "facade/py_args.h"
#include "facade/py_call.h"
#include "migration.h"
#include "plan.h"
#include "registry.h"
#include "state.h"

namespace korvo::facade {

// ---- the object -------------------------------------------------------------------------

// Declaration order is the order of release.
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

// The receiver of a method: the interpreter's method descriptors only ever pass a KorvoMesh.
inline MeshFields& fields(PyObject* self) noexcept { return reinterpret_cast<MeshObject*>(self)->f(); }

// ---- methods ----------------------------------------------------------------------------

// A method is described by a struct M of its own: `M::sig`, its name and parameters (a
// Signature); `M::doc`, its docstring after the text signature (or `M::write_doc`, which writes
// one that is made from the components' tables when the type is created); and `M::call`, its
// body, which gets the receiver's fields and, when it has parameters, the converted arguments.

// The entry point of every method with parameters: match and convert, then the body.
template <class M>
PyObject* call_with_args(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match<M::sig>(args, nargsf, kwnames, a)) return nullptr;
        PyObject* result = M::call(fields(self), a);
        // The call's own UTF-8 forms are made only for long str arguments: freeing one gives
        // its pages back, which takes milliseconds, so other threads run meanwhile.
        if (!a.owned.empty()) [[unlikely]] released_if(true, [&] { a.owned.clear(); });
        return result;
    });
}

// The entry point of every method without: the interpreter refuses any argument.
template <class M>
PyObject* call_without_args(PyObject* self, PyObject*) noexcept {
    return guarded([&] { return M::call(fields(self)); });
}

// One method as the type registers it; its docstring is rendered from `sig` and `doc` (or
// `write_doc`).
struct Method {
    const Signature* sig;
    const char* doc;                    // or
    void (*write_doc)(std::string& out);
    PyCFunctionFastWithKeywords with_args;  // or
    PyCFunction without_args;
};

template <class M>
constexpr Method describe() {
    Method m{&M::sig, nullptr, nullptr, nullptr, nullptr};
    if constexpr (requires { M::write_doc; }) {
        m.write_doc = &M::write_doc;
    } else {
        m.doc = M::doc;
    }
    if constexpr (M::sig.count == 0) {
        m.without_args = &call_without_args<M>;
    } else {
        m.with_args = &call_with_args<M>;
    }
    return m;
}

// The methods M..., in the order given.
template <class... M>
constexpr std::array<Method, sizeof...(M)> methods() {
    return {describe<M>()...};
}

// Each component's methods, in the order they are registered.
std::span<const Method> agent_methods() noexcept;
std::span<const Method> state_methods() noexcept;
std::span<const Method> migration_methods() noexcept;
std::span<const Method> channel_methods() noexcept;
std::span<const Method> view_methods() noexcept;

// The views that are not methods (methods_views.cpp).
PyObject* mesh_repr(PyObject* self) noexcept;
PyGetSetDef app_name_property() noexcept;

// ---- the type ---------------------------------------------------------------------------

// The tables the type points into. The interpreter reads them for as long as the type lives,
// so whoever holds them keeps them, unmoved, until the process ends.
struct MeshTypeTables {
    std::string type_doc;
    std::vector<std::string> docs;
    std::vector<PyMethodDef> methods;
    std::array<PyGetSetDef, 2> getset{};
};

// Renders every docstring, assembles the tables and makes the type; null with an exception set
// on failure.
PyTypeObject* create_mesh_type(MeshTypeTables& tables);

}  // namespace korvo::facade
