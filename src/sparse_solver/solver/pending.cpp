// Method bodies still to come: each refuses with NotImplementedError until it lands.
#include "solver/methods.hpp"

namespace vendrel {
namespace {
PyObject* pending(const char* name) noexcept {
  PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", name);
  return nullptr;
}
}  // namespace

PyObject* compute_pattern_entry(Solver*, PyObject*, int) noexcept {
  return pending("compute_pattern");
}
PyObject* do_stuff_entry(Solver*, View) noexcept { return pending("do_stuff"); }
PyObject* compute_pattern_method(PyObject*, PyObject*) noexcept {
  return pending("compute_pattern");
}

}  // namespace vendrel
