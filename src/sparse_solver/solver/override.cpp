// The override rule shared by compute_residuals, compute_pattern and find_groups.
#include "solver/override.hpp"

#include "shell/messages.hpp"
#include "shell/ref.hpp"

#include <utility>

namespace vendrel {
namespace {

// Room for the arguments of any overridable method.
constexpr Py_ssize_t kMaxArgs = 2;

}  // namespace

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

namespace {

// The instance's own dictionary holds `name`? Classes without one (all __slots__) never do.
int instance_has(PyObject* o, PyObject* name) noexcept {
  if (Py_TYPE(o)->tp_dictoffset == 0) return 0;
  Ref dict = Ref::steal(PyObject_GenericGetDict(o, nullptr));
  if (!dict) return -1;
  PyObject* found = PyDict_GetItemWithError(dict.get(), name);
  if (found == nullptr && PyErr_Occurred()) return -1;
  return found != nullptr;
}

enum class Found { kFunction, kOwnMethod, kUnknown };

// What generic attribute look-up on `o` would give for `name`, where that is cheap to tell
// without making the bound method: a plain Python function of the class (`*function`),
// this module's own method, or kUnknown (then the full look-up is needed).
Found look_up_method(PyObject* o, PyObject* name, const Overridable& method,
                     Ref* function) noexcept {
  PyTypeObject* type = Py_TYPE(o);
  if (type->tp_getattro != PyObject_GenericGetAttr) return Found::kUnknown;
  // Held from here on: the instance dictionary's look-up below may run Python code (a key's
  // __eq__) that changes the class.
  Ref held = Ref::borrow(_PyType_Lookup(type, name));
  PyObject* descr = held.get();
  if (descr == nullptr) return Found::kUnknown;
  Found kind;
  if (Py_TYPE(descr) == &PyFunction_Type) {
    kind = Found::kFunction;
  } else if (Py_TYPE(descr) == &PyMethodDescr_Type &&
             reinterpret_cast<PyMethodDescrObject*>(descr)->d_method->ml_meth == method.own) {
    kind = Found::kOwnMethod;
  } else {
    return Found::kUnknown;
  }
  // Functions are non-data descriptors: an entry in the instance's dictionary wins.
  int shadowed = instance_has(o, name);
  if (shadowed != 0) {
    if (shadowed < 0) PyErr_Clear();
    return Found::kUnknown;
  }
  *function = std::move(held);
  return kind;
}

}  // namespace

Override run_override(Solver* self, const Overridable& method, PyObject* const* args,
                      Py_ssize_t nargs, const OverrideSites& at) noexcept {
  constexpr Override kRunBody = {false, nullptr};
  PyObject* o = reinterpret_cast<PyObject*>(self);
  PyTypeObject* type = Py_TYPE(o);
  // Classes defined in Python are heap types, with or without an instance dictionary
  // (__slots__); the class itself and compiled subclasses pay no look-up.
  if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
    return kRunBody;
  }
  PyObject* name = state.names.*method.name;
  PyObject* slots[kMaxArgs + 2];
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i + 2] = args[i];
  PyObject** call_args = slots + 2;
  Py_ssize_t count = nargs;

  // The common case, a method defined in the class, is called as the interpreter's own
  // method calls are: without making a bound method for every call.
  PyObject* function = nullptr;
  Ref found;
  switch (look_up_method(o, name, method, &found)) {
    case Found::kOwnMethod:
      return kRunBody;
    case Found::kFunction:
      function = found.get();
      *--call_args = o;
      ++count;
      break;
    case Found::kUnknown:
      found = Ref::steal(PyObject_GetAttr(o, name));
      if (!found) return {true, fail(at.lookup)};
      function = found.get();
      if (Py_TYPE(function) == &PyCFunction_Type &&
          PyCFunction_GetFunction(function) == method.own) {
        return kRunBody;
      }
      if (Py_TYPE(function) == &PyMethod_Type) {
        // Unpacked so that the function is called directly with the bound object first.
        *--call_args = PyMethod_GET_SELF(function);
        function = PyMethod_GET_FUNCTION(function);
        ++count;
      }
      break;
  }
  Ref value = Ref::steal(PyObject_Vectorcall(
      function, call_args, static_cast<size_t>(count) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!value) return {true, fail(at.call)};
  if (check_result_type(value.get(), *method.result_type, method.exact) < 0) {
    return {true, fail(at.result)};
  }
  return {true, value.release()};
}

}  // namespace vendrel
