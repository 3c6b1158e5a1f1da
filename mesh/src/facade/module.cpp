// The module's entry point and the process-wide init record.
#include <atomic>
#include <cstdint>

#include "facade/mesh_type.h"

#ifndef KORVO_VERSION
#error "KORVO_VERSION must be defined by the build (the project version)"
#endif

namespace korvo::facade {
namespace {

// The interpreter that first loaded the module, the module object and its definition, the types
// created for it and the tables the mesh type points into. Nothing else in the module is global.
struct InitRecord {
    std::atomic<std::int64_t> interpreter{-1};
    PyObject* module = nullptr;
    PyTypeObject* mesh_type = nullptr;
    PyObject* internal_fault = nullptr;
    MeshTypeTables mesh_tables;
    PyModuleDef module_def = {
        PyModuleDef_HEAD_INIT, "korvo_mesh", "Python module `korvo_mesh`.", 0, nullptr, nullptr, nullptr, nullptr,
        nullptr,
    };
};

// Never destroyed: the types live until the process ends, and with them the tables they read,
// so no exit-time destructor may free what an interpreter shutting down might still read.
union Immortal {
    InitRecord record;
    Immortal() : record() {}
    ~Immortal() {}
};
Immortal g_init;

// Adds `owned` under `name` and appends the name to `__all__`; false for a null `owned`.
bool add_exported(PyObject* module, const char* name, Ref owned) {
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

PyObject* init_module() {
    InitRecord& init = g_init.record;
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::int64_t expected = -1;
    if (!init.interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "korvo_mesh does not support sub-interpreters: it is already loaded in another "
                        "interpreter of this process");
        return nullptr;
    }
    if (init.module) return Py_NewRef(init.module);

    if (!init.internal_fault) {
        init.internal_fault = PyErr_NewExceptionWithDoc(
            "korvo_mesh.InternalFault",
            "A broken invariant inside korvo_mesh. It derives from BaseException so that ordinary\n"
            "`except Exception` handlers do not swallow it; it is never an expected outcome.",
            PyExc_BaseException, nullptr);
        if (!init.internal_fault) return nullptr;
    }
    if (!init.mesh_type) {
        init.mesh_type = create_mesh_type(init.mesh_tables);
        if (!init.mesh_type) return nullptr;
    }
    Ref module(PyModule_Create(&init.module_def));
    if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
    if (!add_exported(module.get(), "KorvoMesh", Ref::borrow(reinterpret_cast<PyObject*>(init.mesh_type))) ||
        !add_exported(module.get(), "__version__", Ref(PyUnicode_FromString(KORVO_VERSION)))) {
        return nullptr;
    }
    init.module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

PyObject* internal_fault_class() noexcept { return g_init.record.internal_fault; }

}  // namespace korvo::facade

PyMODINIT_FUNC PyInit_korvo_mesh(void) {
    return korvo::facade::guarded([] { return korvo::facade::init_module(); });
}
