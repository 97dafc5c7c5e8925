/* A residual as C libraries often write one: every call fills the same static buffer and
   returns an array over it that NumPy neither owns nor ties to a base object, so each call
   overwrites what the previous one returned and nothing in the array says so. */

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#define STATIC_RESIDUAL_SIZE 12

static double values[STATIC_RESIDUAL_SIZE];

/* r_i = x_i^2 - x_{i+1}, and r_{n-1} = x_{n-1}^2. */
static PyObject* tridiagonal(PyObject* module, PyObject* argument) {
    (void)module;
    PyArrayObject* x = (PyArrayObject*)PyArray_FROMANY(argument, NPY_DOUBLE, 1, 1,
                                                       NPY_ARRAY_IN_ARRAY);
    if (x == NULL) return NULL;
    if (PyArray_DIM(x, 0) != STATIC_RESIDUAL_SIZE) {
        PyErr_Format(PyExc_ValueError, "x must have %d values, not %zd", STATIC_RESIDUAL_SIZE,
                     (Py_ssize_t)PyArray_DIM(x, 0));
        Py_DECREF(x);
        return NULL;
    }
    const double* v = (const double*)PyArray_DATA(x);
    for (int i = 0; i + 1 < STATIC_RESIDUAL_SIZE; ++i) values[i] = v[i] * v[i] - v[i + 1];
    values[STATIC_RESIDUAL_SIZE - 1] = v[STATIC_RESIDUAL_SIZE - 1] * v[STATIC_RESIDUAL_SIZE - 1];
    Py_DECREF(x);
    npy_intp shape[1] = {STATIC_RESIDUAL_SIZE};
    return PyArray_SimpleNewFromData(1, shape, NPY_DOUBLE, values);
}

static PyMethodDef methods[] = {
    {"tridiagonal", tridiagonal, METH_O, "The residual at x, in the one static buffer."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "static_residual", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_static_residual(void) {
    import_array();
    PyObject* module = PyModule_Create(&definition);
    if (module != NULL && PyModule_AddIntConstant(module, "SIZE", STATIC_RESIDUAL_SIZE) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
