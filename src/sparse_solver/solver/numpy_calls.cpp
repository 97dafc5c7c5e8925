// NumPy calls with a dtype keyword, made through vectorcall with the keyword names made at start-up.
#include "solver/numpy_calls.hpp"

#include "shell/failure.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"

namespace vendrel {

PyObject* call_numpy(PyObject* function, PyObject* arg, PyObject* dtype_name, PyObject* dtype,
                     Site at) noexcept {
  Ref np = Ref::steal(lookup_global(state.names.np));
  if (!np) return fail(at);
  Ref callable = Ref::steal(PyObject_GetAttr(np.get(), function));
  if (!callable) return fail(at);
  Ref dtype_ref;
  if (dtype_name != nullptr) {
    Ref np_again = Ref::steal(lookup_global(state.names.np));
    if (!np_again) return fail(at);
    dtype_ref = Ref::steal(PyObject_GetAttr(np_again.get(), dtype_name));
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
