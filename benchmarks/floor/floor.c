/* The cheapest a list-in, list-out indicator can be under tarnwick's own
 * rules (limited API, CPython 3.11 stable ABI): read every input series into
 * a malloc'd array of doubles, then build one output list of n floats.
 * Nothing is computed; the output repeats the first series. Built by
 * benchmarks/run.py for the benchmark only and never installed. */
#define Py_LIMITED_API 0x030B0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdlib.h>
#include <string.h>

#define MAX_SERIES 3

/* Keeps the compiler from dropping stores into arrays that are never read
 * again, so every series is really converted. */
static void
keep(void *p)
{
#if defined(__GNUC__)
    __asm__ __volatile__("" : : "r"(p) : "memory");
#else
    (void)p;
#endif
}

/* Reads one series into a new array; list items one by one, anything else
 * through the buffer protocol as contiguous float64. Returns its length, or
 * -1 with an exception set. */
static Py_ssize_t
read_series(PyObject *obj, double **out)
{
    *out = NULL;
    if (PyList_Check(obj)) {
        Py_ssize_t n = PyList_Size(obj);
        if (n < 0) {
            return -1;
        }
        double *values = malloc((size_t)(n > 0 ? n : 1) * sizeof(double));
        if (values == NULL) {
            PyErr_NoMemory();
            return -1;
        }
        for (Py_ssize_t i = 0; i < n; i++) {
            /* Borrowed reference; the list cannot change under us because
             * PyFloat_AsDouble on a float runs no Python code. */
            double v = PyFloat_AsDouble(PyList_GetItem(obj, i));
            if (v == -1.0 && PyErr_Occurred()) {
                free(values);
                return -1;
            }
            values[i] = v;
        }
        *out = values;
        return n;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        return -1;
    }
    int is_double = view.format != NULL &&
                    (strcmp(view.format, "d") == 0 || strcmp(view.format, "<d") == 0 ||
                     strcmp(view.format, "=d") == 0);
    if (view.itemsize != (Py_ssize_t)sizeof(double) || !is_double) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_TypeError, "expected a list or a float64 buffer");
        return -1;
    }
    Py_ssize_t n = view.len / view.itemsize;
    double *values = malloc((size_t)(n > 0 ? n : 1) * sizeof(double));
    if (values == NULL) {
        PyBuffer_Release(&view);
        PyErr_NoMemory();
        return -1;
    }
    memcpy(values, view.buf, (size_t)n * sizeof(double));
    PyBuffer_Release(&view);
    *out = values;
    return n;
}

static PyObject *
floor_call(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    (void)self;
    if (nargs < 1 || nargs > MAX_SERIES) {
        PyErr_SetString(PyExc_TypeError, "floor() takes 1 to 3 series");
        return NULL;
    }
    double *series[MAX_SERIES] = {NULL, NULL, NULL};
    Py_ssize_t n = 0;
    PyObject *result = NULL;
    for (Py_ssize_t k = 0; k < nargs; k++) {
        Py_ssize_t len = read_series(args[k], &series[k]);
        if (len < 0) {
            goto done;
        }
        if (k == 0) {
            n = len;
        } else if (len != n) {
            PyErr_SetString(PyExc_ValueError, "series lengths must match");
            goto done;
        }
        keep(series[k]);
    }
    result = PyList_New(n);
    if (result == NULL) {
        goto done;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = PyFloat_FromDouble(series[0][i]);
        if (item == NULL) {
            Py_CLEAR(result);
            goto done;
        }
        PyList_SetItem(result, i, item); /* steals item */
    }
done:
    for (Py_ssize_t k = 0; k < MAX_SERIES; k++) {
        free(series[k]);
    }
    return result;
}

static PyMethodDef floor_methods[] = {
    {"floor", (PyCFunction)(void (*)(void))floor_call, METH_FASTCALL,
     "floor(*series) -> list: convert 1 to 3 series, return the first as floats."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_tarnwick_floor", NULL, 0, floor_methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit__tarnwick_floor(void)
{
    return PyModuleDef_Init(&floor_module);
}
