// The override rule shared by compute_residuals, compute_pattern and find_groups.
#include "solver/override.hpp"

#include "shell/failure.hpp"
#include "shell/messages.hpp"
#include "shell/solver_type.hpp"

namespace vendrel {
namespace {

constexpr int kSiteFile = kSiteOverride;

PyTypeObject* const kTupleType = &PyTuple_Type;
PyTypeObject* const kListType = &PyList_Type;

// Room for the bound object and the arguments of any overridable method.
constexpr Py_ssize_t kMaxArgs = 3;

}  // namespace

const Overridable kComputeResidualsMethod = {
    "vendrel.sparse_solver.SparseSolver.compute_residuals",
    &Names::compute_residuals, 0, 19, 1, &state.types.ndarray, false};
const Overridable kComputePatternMethod = {
    "vendrel.sparse_solver.SparseSolver.compute_pattern",
    &Names::compute_pattern, 1, 25, 2, &kTupleType, true};
const Overridable kFindGroupsMethod = {
    "vendrel.sparse_solver.SparseSolver.find_groups",
    &Names::find_groups, 2, 51, 3, &kListType, true};

int check_result_type(PyObject* result, PyTypeObject* type, bool exact) noexcept {
  if (result == Py_None) return 0;
  if (exact) {
    if (Py_TYPE(result) == type) return 0;
    PyErr_Format(PyExc_TypeError, msg::kExpectedType, type->tp_name, Py_TYPE(result)->tp_name);
    return -1;
  }
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, msg::kMissingType);
    return -1;
  }
  if (PyObject_TypeCheck(result, type)) return 0;
  PyErr_Format(PyExc_TypeError, msg::kCannotConvert, Py_TYPE(result)->tp_name, type->tp_name);
  return -1;
}

Dispatch dispatch_override(Solver* self, const Overridable& method, PyObject* const* args,
                           Py_ssize_t nargs, Ref* result) noexcept {
  PyObject* o = reinterpret_cast<PyObject*>(self);
  PyTypeObject* type = Py_TYPE(o);
  // Classes defined in Python are heap types, with or without an instance dictionary
  // (__slots__); the class itself and compiled subclasses pay no look-up.
  if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
    return Dispatch::kRunBody;
  }
  const int variant = method.variant;
  Ref found = Ref::steal(PyObject_GetAttr(o, state.names.*method.name));
  if (!found) {
    add_traceback(method.function, VS_SITE_FOR(variant), method.line);
    return Dispatch::kFailed;
  }
  PyObject* callable = found.get();
  if (Py_TYPE(callable) == &PyCFunction_Type &&
      PyCFunction_GetFunction(callable) == own_method_function(method.index)) {
    return Dispatch::kRunBody;
  }
  PyObject* slots[kMaxArgs + 2];
  PyObject** call_args = slots + 1;
  Py_ssize_t count = nargs;
  for (Py_ssize_t i = 0; i < nargs; ++i) call_args[i] = args[i];
  if (Py_TYPE(callable) == &PyMethod_Type) {
    // Unpacked so that the function is called directly with the bound object first.
    call_args = slots;
    call_args[0] = PyMethod_GET_SELF(callable);
    callable = PyMethod_GET_FUNCTION(callable);
    ++count;
  }
  Ref value = Ref::steal(compat::vectorcall(callable, call_args, static_cast<size_t>(count),
                                            nullptr));
  if (!value) {
    add_traceback(method.function, VS_SITE_FOR(variant), method.line);
    return Dispatch::kFailed;
  }
  if (check_result_type(value.get(), *method.result_type, method.exact) < 0) {
    add_traceback(method.function, VS_SITE_FOR(variant), method.line);
    return Dispatch::kFailed;
  }
  *result = std::move(value);
  return Dispatch::kOverridden;
}

}  // namespace vendrel
