// Calls into NumPy through the module-level `np`, looked up anew for every attribute.
#include "solver/numpy_calls.hpp"

#include "shell/failure.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"

namespace vendrel {

PyObject* numpy_attribute(PyObject* name) noexcept {
  Ref np = Ref::steal(lookup_global(state.names.np));
  if (!np) return nullptr;
  return PyObject_GetAttr(np.get(), name);
}

PyObject* call_numpy(PyObject* function, PyObject* arg, PyObject* dtype_name, PyObject* dtype,
                     Site at) noexcept {
  Ref callable = Ref::steal(numpy_attribute(function));
  if (!callable) return fail(at);
  Ref dtype_ref;
  if (dtype_name != nullptr) {
    dtype_ref = Ref::steal(numpy_attribute(dtype_name));
    if (!dtype_ref) return fail(at);
    dtype = dtype_ref.get();
  }
  PyObject* args[] = {nullptr, arg, dtype};
  PyObject* result = PyObject_Vectorcall(callable.get(), args + 1,
                                        1 | PY_VECTORCALL_ARGUMENTS_OFFSET, state.dtype_kwnames);
  if (result == nullptr) return fail(at);
  return result;
}

}  // namespace vendrel
