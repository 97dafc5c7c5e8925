// NumPy calls with a dtype keyword, made through vectorcall with the keyword names made at start-up.
#include "solver/numpy_calls.hpp"

#include "shell/failure.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"

namespace vendrel {
namespace {

Failed fail_step(const CallSite& where, int step) noexcept {
  return fail_at(where.function, where.site + step * 10000, where.line);
}

}  // namespace

PyObject* call_numpy(PyObject* function, PyObject* arg, PyObject* dtype_name, PyObject* dtype,
                     const CallSite& where) noexcept {
  Ref np = Ref::steal(lookup_global(state.names.np));
  if (!np) return fail_step(where, 1);
  Ref callable = Ref::steal(PyObject_GetAttr(np.get(), function));
  if (!callable) return fail_step(where, 2);
  Ref dtype_ref;
  if (dtype_name != nullptr) {
    Ref np_again = Ref::steal(lookup_global(state.names.np));
    if (!np_again) return fail_step(where, 3);
    dtype_ref = Ref::steal(PyObject_GetAttr(np_again.get(), dtype_name));
    if (!dtype_ref) return fail_step(where, 4);
    dtype = dtype_ref.get();
  }
  PyObject* args[] = {nullptr, arg, dtype};
  PyObject* result = PyObject_Vectorcall(callable.get(), args + 1,
                                        1 | PY_VECTORCALL_ARGUMENTS_OFFSET, state.dtype_kwnames);
  if (result == nullptr) return fail_step(where, 6);
  return result;
}

}  // namespace vendrel
