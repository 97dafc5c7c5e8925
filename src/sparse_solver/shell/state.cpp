// The process-wide constants and the look-up of module-level names at call time.
#include "state.hpp"

#include "messages.hpp"

#include <cstddef>

namespace vendrel {

State state{};

namespace {

struct NameEntry {
  PyObject* Names::*target;
  const char* text;
};

constexpr NameEntry kNames[] = {
    {&Names::np, "np"},
    {&Names::zeros, "zeros"},
    {&Names::array, "array"},
    {&Names::asarray, "asarray"},
    {&Names::intc, "intc"},
    {&Names::uint8, "uint8"},
    {&Names::dtype, "dtype"},
    {&Names::end, "end"},
    {&Names::print, "print"},
    {&Names::rows, "rows"},
    {&Names::cols, "cols"},
    {&Names::compute_residuals, "compute_residuals"},
    {&Names::compute_pattern, "compute_pattern"},
    {&Names::find_groups, "find_groups"},
    {&Names::groups, "groups"},
    {&Names::scipy, "scipy"},
    {&Names::numpy, "numpy"},
    {&Names::scipy_linalg, "scipy.linalg"},
    {&Names::test_test_os, "test.test_os"},
    {&Names::test_, "__test__"},
    {&Names::package, "__package__"},
    {&Names::pyx_vtable, "__pyx_vtable__"},
    {&Names::SparseSolver, "SparseSolver"},
    {&Names::module_name, "vendrel.sparse_solver"},
};

struct TextEntry {
  PyObject* Texts::*target;
  const char* text;
};

constexpr TextEntry kTexts[] = {
    {&Texts::base_residual, msg::kBaseResidual},
    {&Texts::is_a_thing, msg::kIsAThing},
    {&Texts::trying_to_merge, msg::kTryingToMerge},
    {&Texts::in_column, msg::kInColumn},
    {&Texts::already_merged, msg::kAlreadyMerged},
    {&Texts::row_ii, msg::kRowII},
    {&Texts::row_jj, msg::kRowJJ},
    {&Texts::should_merge, msg::kShouldMerge},
    {&Texts::merged, msg::kMerged},
    {&Texts::empty, ""},
};

}  // namespace

int make_constants() noexcept {
  for (const NameEntry& entry : kNames) {
    PyObject* s = PyUnicode_InternFromString(entry.text);
    if (s == nullptr) return -1;
    state.names.*entry.target = s;
  }
  state.space = PyUnicode_FromStringAndSize(" ", 1);
  for (const TextEntry& entry : kTexts) {
    PyObject* s = PyUnicode_FromString(entry.text);
    if (s == nullptr) return -1;
    state.texts.*entry.target = s;
  }
  state.int_0 = PyLong_FromLong(0);
  state.int_1 = PyLong_FromLong(1);
  state.end_kwnames = PyTuple_Pack(1, state.names.end);
  state.dtype_kwnames = PyTuple_Pack(1, state.names.dtype);
  if (!state.space || !state.int_0 || !state.int_1 || !state.end_kwnames ||
      !state.dtype_kwnames) {
    return -1;
  }
  return 0;
}

PyObject* builtin_named(PyObject* name) noexcept {
  PyObject* value = PyObject_GetAttr(state.builtins, name);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, msg::kNameNotDefined, name);
  }
  return value;
}

PyObject* lookup_global(PyObject* name) noexcept {
  PyObject* value = PyDict_GetItemWithError(state.globals, name);
  if (value != nullptr) {
    Py_INCREF(value);
    return value;
  }
  if (PyErr_Occurred()) return nullptr;
  return builtin_named(name);
}

}  // namespace vendrel
