/* The cheapest a bar-at-a-time update can be under tarnwick's own rules
 * (limited API, CPython 3.11 stable ABI): a METH_FASTCALL method that reads
 * one to three floats and returns one float, keeping a running sum so that
 * the call does some work the compiler cannot drop. The same call is also a
 * module function, without the method lookup. Built by benchmarks/run.py for
 * the benchmark only and never installed. */
#define Py_LIMITED_API 0x030B0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
    PyObject_HEAD
    double sum;
} Floor;

static double module_sum;

/* Adds the bar's values to *sum and returns its new value as a float, or
 * NULL with an exception set. */
static PyObject *
step(double *sum, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "update() takes 1 to 3 floats");
        return NULL;
    }
    double total = 0.0;
    for (Py_ssize_t i = 0; i < nargs; i++) {
        double v = PyFloat_AsDouble(args[i]);
        if (v == -1.0 && PyErr_Occurred()) {
            return NULL;
        }
        total += v;
    }
    *sum += total;
    return PyFloat_FromDouble(*sum);
}

static PyObject *
floor_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return step(&((Floor *)self)->sum, args, nargs);
}

static PyObject *
module_update(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    (void)self;
    return step(&module_sum, args, nargs);
}

static PyMethodDef floor_type_methods[] = {
    {"update", (PyCFunction)(void (*)(void))floor_update, METH_FASTCALL,
     "update(*values) -> float: the running sum of every value given."},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_tp_methods, floor_type_methods},
    {Py_tp_new, PyType_GenericNew},
    {0, NULL},
};

static PyType_Spec floor_spec = {
    "_tarnwick_update_floor.Floor", sizeof(Floor), 0, Py_TPFLAGS_DEFAULT, floor_slots,
};

static int
floor_exec(PyObject *module)
{
    PyObject *type = PyType_FromSpec(&floor_spec);
    if (type == NULL) {
        return -1;
    }
    int added = PyModule_AddObject(module, "Floor", type);
    if (added < 0) {
        Py_DECREF(type);
    }
    return added;
}

static PyMethodDef floor_module_methods[] = {
    {"update", (PyCFunction)(void (*)(void))module_update, METH_FASTCALL,
     "update(*values) -> float: the running sum of every value given."},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef_Slot floor_module_slots[] = {
    {Py_mod_exec, floor_exec},
    {0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_tarnwick_update_floor", NULL, 0, floor_module_methods,
    floor_module_slots, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit__tarnwick_update_floor(void)
{
    return PyModuleDef_Init(&floor_module);
}
