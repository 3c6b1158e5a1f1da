/*
 * _korvo_floor: the cost of calling into a native method and getting an answer back,
 * with nothing done in between. Benchmarks only; never installed.
 *
 * Floor() has one no-op method per arity, registered with the calling conventions
 * korvo_mesh uses (METH_NOARGS for the methods without parameters, METH_FASTCALL |
 * METH_KEYWORDS for the others). Each checks how many positional arguments it got
 * (and that no keyword was passed) and returns None; the str0/str1 variants return a
 * constant str instead, for the methods whose answer is text.
 *
 * The module function measured(fn) calls fn() and returns its result. It marks the region
 * that bench/instructions.py counts: callgrind runs there with
 * --toggle-collect=korvo_floor_measured, so only what fn() does is counted.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
    PyObject_HEAD
    PyObject *text; /* the constant answer of str0 / str1 */
} FloorObject;

static int check_args(Py_ssize_t want, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    (void)args;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != want || (kwnames != NULL && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_Format(PyExc_TypeError, "expected %zd positional arguments, got %zd", want, nargs);
        return -1;
    }
    return 0;
}

#define FLOOR_NONE(arity)                                                                       \
    static PyObject *floor_nop##arity(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, \
                                      PyObject *kwnames) {                                      \
        (void)self;                                                                             \
        if (check_args(arity, args, nargsf, kwnames) < 0) return NULL;                          \
        Py_RETURN_NONE;                                                                         \
    }

FLOOR_NONE(1)
FLOOR_NONE(2)
FLOOR_NONE(3)
FLOOR_NONE(4)

static PyObject *floor_nop0(PyObject *self, PyObject *unused) {
    (void)self;
    (void)unused;
    Py_RETURN_NONE;
}

static PyObject *floor_str0(PyObject *self, PyObject *unused) {
    (void)unused;
    return Py_NewRef(((FloorObject *)self)->text);
}

static PyObject *floor_str1(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    if (check_args(1, args, nargsf, kwnames) < 0) return NULL;
    return Py_NewRef(((FloorObject *)self)->text);
}

static PyObject *floor_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != NULL && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "Floor() takes no arguments");
        return NULL;
    }
    FloorObject *self = (FloorObject *)type->tp_alloc(type, 0);
    if (self == NULL) return NULL;
    self->text = PyUnicode_FromString("{\"status\":\"ok\"}");
    if (self->text == NULL) {
        Py_DECREF(self);
        return NULL;
    }
    return (PyObject *)self;
}

static void floor_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    Py_CLEAR(((FloorObject *)self)->text);
    type->tp_free(self);
    Py_DECREF(type);
}

#define FASTCALL_KW(fn) (PyCFunction)(void (*)(void))(fn)

static PyMethodDef floor_methods[] = {
    {"nop0", floor_nop0, METH_NOARGS, "No arguments, returns None."},
    {"nop1", FASTCALL_KW(floor_nop1), METH_FASTCALL | METH_KEYWORDS, "One argument, returns None."},
    {"nop2", FASTCALL_KW(floor_nop2), METH_FASTCALL | METH_KEYWORDS, "Two arguments, returns None."},
    {"nop3", FASTCALL_KW(floor_nop3), METH_FASTCALL | METH_KEYWORDS, "Three arguments, returns None."},
    {"nop4", FASTCALL_KW(floor_nop4), METH_FASTCALL | METH_KEYWORDS, "Four arguments, returns None."},
    {"str0", floor_str0, METH_NOARGS, "No arguments, returns a constant str."},
    {"str1", FASTCALL_KW(floor_str1), METH_FASTCALL | METH_KEYWORDS, "One argument, returns a constant str."},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_new, floor_new},
    {Py_tp_dealloc, floor_dealloc},
    {Py_tp_methods, floor_methods},
    {Py_tp_doc, "No-op methods with the mesh's calling conventions."},
    {0, NULL},
};

static PyType_Spec floor_spec = {
    .name = "_korvo_floor.Floor",
    .basicsize = sizeof(FloorObject),
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = floor_slots,
};

static int floor_exec(PyObject *module) {
    PyObject *type = PyType_FromModuleAndSpec(module, &floor_spec, NULL);
    if (type == NULL) return -1;
    int rc = PyModule_AddObjectRef(module, "Floor", type);
    Py_DECREF(type);
    return rc;
}

static PyModuleDef_Slot floor_module_slots[] = {
    {Py_mod_exec, floor_exec},
    {0, NULL},
};

/* Exported and never inlined: callgrind finds it by this name. */
__attribute__((noinline, visibility("default"))) PyObject *korvo_floor_measured(PyObject *module, PyObject *fn);

PyObject *korvo_floor_measured(PyObject *module, PyObject *fn) {
    (void)module;
    return PyObject_CallNoArgs(fn);
}

static PyMethodDef floor_module_methods[] = {
    {"measured", korvo_floor_measured, METH_O, "Call fn() and return its result (the counted region)."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_korvo_floor",
    .m_doc = "Benchmark floor: native no-op methods.",
    .m_size = 0,
    .m_methods = floor_module_methods,
    .m_slots = floor_module_slots,
};

PyMODINIT_FUNC PyInit__korvo_floor(void) { return PyModuleDef_Init(&floor_module); }
