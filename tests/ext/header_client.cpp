// A C++ caller of SparseSolver's C-level method table through the shipped header.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "sparse_solver.h"

namespace {

// residuals(solver, x): the class's own compute_residuals body, through the table.
PyObject* residuals(PyObject*, PyObject* args) {
  PyObject* solver;
  PyObject* x;
  if (!PyArg_ParseTuple(args, "OO", &solver, &x)) return nullptr;
  vendrel_SparseSolver_vtable* table = vendrel_SparseSolver_get_vtable(Py_TYPE(solver));
  if (table == nullptr) return nullptr;
  return table->compute_residuals(reinterpret_cast<vendrel_SparseSolver*>(solver), x, 1);
}

PyMethodDef methods[] = {{"residuals", residuals, METH_VARARGS, nullptr},
                         {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "header_client", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_header_client() { return PyModule_Create(&module); }
