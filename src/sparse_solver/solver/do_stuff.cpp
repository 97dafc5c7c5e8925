// do_stuff: reachable only through the C-level method table.
#include "solver/methods.hpp"

namespace vendrel {

PyObject* do_stuff_entry(Solver*, View) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "do_stuff is not implemented yet");
  return nullptr;
}

}  // namespace vendrel
