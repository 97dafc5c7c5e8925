// vendrel._linalg: compiled linear algebra for the Newton solver's steps, on plain arrays the
// solver's Python layer has made (int64 CSR structure, float64 values). Each pass runs with
// the interpreter lock released; every entry point turns C++ exceptions into Python ones.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "export.hpp"
#include "guard.hpp"
#include "held_buffer.hpp"
#include "gmres.hpp"
#include "ilu0.hpp"

namespace {

using common::guarded;
using common::HeldBuffer;
using common::Unlocked;

// The pattern from its two int64 arrays, or false with TypeError/ValueError set.
bool take_pattern(PyObject* ptr_object, PyObject* idx_object, HeldBuffer& ptr, HeldBuffer& idx,
                  linalg::CsrPattern& pattern) {
  if (!ptr.acquire(ptr_object, "indptr", false) || !idx.acquire(idx_object, "indices", false)) {
    return false;
  }
  if (!ptr.wide() || !idx.wide() || ptr.length() == 0) {
    PyErr_SetString(PyExc_TypeError, "indptr and indices must be int64, indptr not empty");
    return false;
  }
  pattern.ptr = static_cast<const std::int64_t*>(ptr.data());
  pattern.idx = static_cast<const std::int64_t*>(idx.data());
  pattern.n = ptr.length() - 1;
  if (pattern.ptr[pattern.n] != static_cast<std::int64_t>(idx.length())) {
    PyErr_SetString(PyExc_ValueError, "indptr does not end at the number of indices");
    return false;
  }
  return true;
}

bool take_diagonal(PyObject* object, HeldBuffer& diag, std::size_t n, bool writable) {
  if (!diag.acquire(object, "diag", writable)) return false;
  if (!diag.wide() || diag.length() != n) {
    PyErr_SetString(PyExc_ValueError, "diag must be int64, one entry per row");
    return false;
  }
  return true;
}

// The pattern and its diagonal positions, checked before a pass that trusts them.
bool take_analysed(PyObject* ptr_object, PyObject* idx_object, PyObject* diag_object,
                   HeldBuffer& ptr, HeldBuffer& idx, HeldBuffer& diag,
                   linalg::CsrPattern& pattern) {
  if (!take_pattern(ptr_object, idx_object, ptr, idx, pattern) ||
      !take_diagonal(diag_object, diag, pattern.n, false)) {
    return false;
  }
  bool fits;
  {
    Unlocked unlocked;
    fits = linalg::fits(pattern, static_cast<const std::int64_t*>(diag.data()), idx.length());
  }
  if (!fits) {
    PyErr_SetString(PyExc_ValueError, "the pattern or its diagonal positions do not fit");
    return false;
  }
  return true;
}

// ilu0_analyse(indptr, indices, diag): writes each row's diagonal position into diag.
PyObject* ilu0_analyse(PyObject*, PyObject* arguments) {
  PyObject *ptr_object, *idx_object, *diag_object;
  if (!PyArg_ParseTuple(arguments, "OOO:ilu0_analyse", &ptr_object, &idx_object, &diag_object)) {
    return nullptr;
  }
  HeldBuffer ptr, idx, diag;
  linalg::CsrPattern pattern;
  if (!take_pattern(ptr_object, idx_object, ptr, idx, pattern) ||
      !take_diagonal(diag_object, diag, pattern.n, true)) {
    return nullptr;
  }
  std::size_t row = 0;
  linalg::Analysis done;
  {
    Unlocked unlocked;
    done = linalg::analyse(pattern, static_cast<std::int64_t*>(diag.data()), row);
  }
  switch (done) {
    case linalg::Analysis::kDone:
      Py_RETURN_NONE;
    case linalg::Analysis::kBadPointers:
      return PyErr_Format(PyExc_ValueError, "row %zu: the row pointers do not fit the indices",
                          row);
    case linalg::Analysis::kOutside:
      return PyErr_Format(PyExc_ValueError, "row %zu: a column index lies outside the matrix",
                          row);
    case linalg::Analysis::kUnsorted:
      return PyErr_Format(PyExc_ValueError, "row %zu: column indices are not sorted and distinct",
                          row);
    case linalg::Analysis::kNoDiagonal:
      return PyErr_Format(PyExc_ValueError,
                          "row %zu has no diagonal entry: ILU(0) keeps the pattern, so the "
                          "pattern must hold every diagonal entry", row);
  }
  Py_RETURN_NONE;
}

// ilu0_factorise(indptr, indices, diag, values, work) -> -1, or the row of a zero pivot.
PyObject* ilu0_factorise(PyObject*, PyObject* arguments) {
  PyObject *ptr_object, *idx_object, *diag_object, *values_object, *work_object;
  if (!PyArg_ParseTuple(arguments, "OOOOO:ilu0_factorise", &ptr_object, &idx_object,
                        &diag_object, &values_object, &work_object)) {
    return nullptr;
  }
  HeldBuffer ptr, idx, diag, values, work;
  linalg::CsrPattern pattern;
  if (!take_analysed(ptr_object, idx_object, diag_object, ptr, idx, diag, pattern) ||
      !values.acquire_doubles(values_object, "values", true) ||
      !work.acquire(work_object, "work", true)) {
    return nullptr;
  }
  if (values.length() != idx.length() || !work.wide() || work.length() != pattern.n) {
    PyErr_SetString(PyExc_ValueError, "values or work of the wrong length");
    return nullptr;
  }
  std::size_t row = 0;
  bool done;
  {
    Unlocked unlocked;
    done = linalg::factorise(pattern, static_cast<const std::int64_t*>(diag.data()),
                             static_cast<double*>(values.data()),
                             static_cast<std::int64_t*>(work.data()), row);
  }
  return PyLong_FromSsize_t(done ? -1 : static_cast<Py_ssize_t>(row));
}

// ilu0_apply(indptr, indices, diag, values, b, x): x = (L U)^-1 b.
PyObject* ilu0_apply(PyObject*, PyObject* arguments) {
  PyObject *ptr_object, *idx_object, *diag_object, *values_object, *b_object, *x_object;
  if (!PyArg_ParseTuple(arguments, "OOOOOO:ilu0_apply", &ptr_object, &idx_object, &diag_object,
                        &values_object, &b_object, &x_object)) {
    return nullptr;
  }
  HeldBuffer ptr, idx, diag, values, b, x;
  linalg::CsrPattern pattern;
  if (!take_analysed(ptr_object, idx_object, diag_object, ptr, idx, diag, pattern) ||
      !values.acquire_doubles(values_object, "values", false) ||
      !b.acquire_doubles(b_object, "b", false) || !x.acquire_doubles(x_object, "x", true)) {
    return nullptr;
  }
  if (values.length() != idx.length() || b.length() != pattern.n || x.length() != pattern.n) {
    PyErr_SetString(PyExc_ValueError, "values, b or x of the wrong length");
    return nullptr;
  }
  {
    Unlocked unlocked;
    linalg::apply(pattern, static_cast<const std::int64_t*>(diag.data()),
                  static_cast<const double*>(values.data()), static_cast<const double*>(b.data()),
                  static_cast<double*>(x.data()));
  }
  Py_RETURN_NONE;
}

// gmres(indptr, indices, values, diag, lu, b, x, rtol, restart, most)
//     -> (iterations, relative residual, converged, finite)
// x = A^-1 b by GMRES(restart) from x = 0, right-preconditioned by the ILU(0) factors `lu`.
PyObject* gmres(PyObject*, PyObject* arguments) {
  PyObject *ptr_object, *idx_object, *values_object, *diag_object, *lu_object, *b_object,
      *x_object;
  double rtol;
  Py_ssize_t restart, most;
  if (!PyArg_ParseTuple(arguments, "OOOOOOOdnn:gmres", &ptr_object, &idx_object, &values_object,
                        &diag_object, &lu_object, &b_object, &x_object, &rtol, &restart,
                        &most)) {
    return nullptr;
  }
  HeldBuffer ptr, idx, values, diag, lu, b, x;
  linalg::CsrPattern pattern;
  if (!take_analysed(ptr_object, idx_object, diag_object, ptr, idx, diag, pattern) ||
      !values.acquire_doubles(values_object, "values", false) ||
      !lu.acquire_doubles(lu_object, "lu", false) || !b.acquire_doubles(b_object, "b", false) ||
      !x.acquire_doubles(x_object, "x", true)) {
    return nullptr;
  }
  if (values.length() != idx.length() || lu.length() != idx.length() ||
      b.length() != pattern.n || x.length() != pattern.n || restart < 1 || most < 0 ||
      !(rtol >= 0.0)) {
    PyErr_SetString(PyExc_ValueError, "gmres: arguments of the wrong length or range");
    return nullptr;
  }
  linalg::GmresResult done;
  {
    Unlocked unlocked;
    done = linalg::gmres(pattern, static_cast<const double*>(values.data()),
                         static_cast<const std::int64_t*>(diag.data()),
                         static_cast<const double*>(lu.data()),
                         static_cast<const double*>(b.data()), static_cast<double*>(x.data()),
                         rtol, static_cast<std::size_t>(restart), static_cast<std::size_t>(most));
  }
  return Py_BuildValue("(ndOO)", static_cast<Py_ssize_t>(done.iterations), done.residual,
                       done.converged ? Py_True : Py_False, done.finite ? Py_True : Py_False);
}

PyMethodDef kMethods[] = {
    {"gmres", guarded<gmres>, METH_VARARGS,
     "GMRES(restart) right-preconditioned by ILU(0) factors of the same pattern."},
    {"ilu0_analyse", guarded<ilu0_analyse>, METH_VARARGS,
     "Each row's diagonal position, for ILU(0) on a sorted CSR pattern."},
    {"ilu0_factorise", guarded<ilu0_factorise>, METH_VARARGS,
     "ILU(0) of a matrix of the analysed pattern, in place; -1 or the row of a zero pivot."},
    {"ilu0_apply", guarded<ilu0_apply>, METH_VARARGS, "x = (L U)^-1 b with ILU(0) factors."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "vendrel._linalg",
                       "Compiled linear algebra for the Newton solver (vendrel.solve).", -1,
                       kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

VENDREL_EXPORT PyObject* PyInit__linalg() { return PyModule_Create(&kModule); }
