// Method bodies still to come: each refuses with NotImplementedError until it lands.
#include "solver/methods.hpp"

namespace vendrel {
namespace {
PyObject* pending(const char* name) noexcept {
  PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", name);
  return nullptr;
}
}  // namespace

PyObject* compute_residuals_entry(Solver*, PyObject*, int) noexcept {
  return pending("compute_residuals");
}
PyObject* compute_pattern_entry(Solver*, PyObject*, int) noexcept {
  return pending("compute_pattern");
}
PyObject* find_groups_entry(Solver*, View, View, int) noexcept { return pending("find_groups"); }
PyObject* do_stuff_entry(Solver*, View) noexcept { return pending("do_stuff"); }
PyObject* compute_residuals_method(PyObject*, PyObject*) noexcept {
  return pending("compute_residuals");
}
PyObject* compute_pattern_method(PyObject*, PyObject*) noexcept {
  return pending("compute_pattern");
}
PyObject* find_groups_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept {
  return pending("find_groups");
}

}  // namespace vendrel
