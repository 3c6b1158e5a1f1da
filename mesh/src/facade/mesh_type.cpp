#include "facade/mesh_type.h"

#include <memory>
#include <string_view>
#include <utility>

namespace korvo::facade {
namespace {

// ---- constructor ------------------------------------------------------------------------

constexpr Signature kNew = signature("__new__", str("app_name"), str("plan_json", ""));

constexpr char kTypeDoc[] = R"(The runtime mesh for a Korvo application.

Create one per application process (Python):

```python
mesh = KorvoMesh("myapp", plan_json)
```

All methods are synchronous and GIL-aware — they release the GIL during
any blocking work.)";

PyObject* mesh_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        Args a;
        if (!match(kNew, args, kwargs, a)) return nullptr;
        const std::string_view app_name = a[0].text;
        const std::string_view plan_text = a[1].text;

        Plan plan;
        if (plan_text.empty()) {
            plan = Plan::named(std::string(app_name));
        } else {
            auto decoded = released_if(plan_text.size() >= kReleaseFromBytes, [&] { return Plan::from_json(plan_text); });
            if (!check(decoded)) return nullptr;
            plan = std::move(*decoded);
        }
        std::string effective = plan.app_name.empty() ? std::string(app_name) : plan.app_name;
        // A call that finds a component's lock taken waits with the interpreter released.
        MigrationController migrations(std::move(effective), system_clock(), &kInterpreterWait);
        AgentRegistry registry(system_clock(), &kInterpreterWait);
        InMemoryStateStore store({}, &kInterpreterWait);
        MeshChannel channel(system_clock(), {}, &kInterpreterWait);

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

void mesh_dealloc(PyObject* self) noexcept {
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

// ---- tables -----------------------------------------------------------------------------

// Every method, in the order the type lists them.
void assemble(MeshTypeTables& tables) {
    const std::span<const Method> lists[] = {agent_methods(), state_methods(), migration_methods(),
                                             channel_methods(), view_methods()};
    std::size_t total = 0;
    for (const auto& list : lists) total += list.size();
    tables.docs.clear();
    tables.methods.clear();
    tables.docs.reserve(total);
    tables.methods.reserve(total + 1);
    for (const auto& list : lists) {
        for (const Method& m : list) {
            // Reserved above: no string moves, so each method's doc pointer stays put.
            std::string& doc = tables.docs.emplace_back();
            append_method_text_signature(*m.sig, doc);
            if (m.write_doc) {
                m.write_doc(doc);
            } else {
                doc += m.doc;
            }
            const bool with_args = m.with_args != nullptr;
            tables.methods.push_back(PyMethodDef{
                m.sig->name,
                with_args ? reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(m.with_args)) : m.without_args,
                with_args ? METH_FASTCALL | METH_KEYWORDS : METH_NOARGS, doc.c_str()});
        }
    }
    tables.methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    tables.getset = {app_name_property(), PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}};
    tables.type_doc.clear();
    append_type_text_signature(kNew, tables.type_doc);
    tables.type_doc += kTypeDoc;
}

}  // namespace

// The type's name carries no module prefix. The interpreter warns about such names when
// it builds the type; that warning must not turn into an import failure under -W error, so
// it is silenced for the one call, and `__module__` is set afterwards for pickling and help().
PyTypeObject* create_mesh_type(MeshTypeTables& tables) {
    assemble(tables);
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(tables.type_doc.c_str())},
        {Py_tp_new, reinterpret_cast<void*>(mesh_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(mesh_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(mesh_repr)},
        {Py_tp_methods, tables.methods.data()},
        {Py_tp_getset, tables.getset.data()},
        {0, nullptr},
    };
    PyType_Spec shape = {kTypeName, static_cast<int>(sizeof(MeshObject)), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

    Ref warnings(PyImport_ImportModule("warnings"));
    if (!warnings) return nullptr;
    Ref context(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
    if (!context) return nullptr;
    Ref entered(PyObject_CallMethod(context.get(), "__enter__", nullptr));
    if (!entered) return nullptr;
    Ref filtered(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
    Ref type(filtered ? PyType_FromSpec(&shape) : nullptr);
    Ref exited(PyObject_CallMethod(context.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
    if (!type || !exited) return nullptr;
    Ref module_name(PyUnicode_FromString("korvo_mesh"));
    if (!module_name) return nullptr;
    auto* as_type = reinterpret_cast<PyTypeObject*>(type.get());
    if (PyDict_SetItemString(as_type->tp_dict, "__module__", module_name.get()) < 0) return nullptr;
    PyType_Modified(as_type);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace korvo::facade
