// The two print operations. Calls go through vectorcall with the keyword names made at
// start-up, the cheapest way to call print from C.
#include "print.hpp"

#include "state.hpp"

#include <cassert>

namespace vendrel {
namespace {

PyObject* builtin_print() noexcept {
  if (state.print == nullptr) state.print = PyObject_GetAttr(state.builtins, state.names.print);
  return state.print;
}

// Room for the objects of one line (the module's lines have at most four), with one slot
// in front for PY_VECTORCALL_ARGUMENTS_OFFSET and one behind for the `end` value.
constexpr Py_ssize_t kMaxObjects = 8;

}  // namespace

int print_objects(PyObject* const* objs, Py_ssize_t count, bool end_line) noexcept {
  PyObject* print = builtin_print();
  if (print == nullptr) return -1;
  assert(count >= 0 && count <= kMaxObjects);
  PyObject* slots[kMaxObjects + 2];
  for (Py_ssize_t i = 0; i < count; ++i) slots[i + 1] = objs[i];
  slots[count + 1] = state.space;
  size_t nargsf = static_cast<size_t>(count) | PY_VECTORCALL_ARGUMENTS_OFFSET;
  PyObject* result =
      PyObject_Vectorcall(print, slots + 1, nargsf, end_line ? nullptr : state.end_kwnames);
  if (result == nullptr) return -1;
  Py_DECREF(result);
  return 0;
}

int print_one(PyObject* obj) noexcept { return print_objects(&obj, 1, true); }

}  // namespace vendrel
