// compute_residuals: the residual function. The class's own body prints its line and
// returns zeros as long as `x`; Python subclasses redefine it for their problem.
#include "shell/buffers.hpp"
#include "shell/failure.hpp"
#include "shell/print.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"
#include "solver/methods.hpp"
#include "solver/numpy_calls.hpp"
#include "solver/override.hpp"

namespace vendrel {
namespace {

// np.zeros(len(x)), checked to be an array (or None).
// Each step fails at a site of its own.
PyObject* zeros_like(PyObject* x) noexcept {
  Ref np = Ref::steal(lookup_global(state.names.np));
  if (!np) return fail(Site::kResidualsNumpy);
  Ref zeros = Ref::steal(PyObject_GetAttr(np.get(), state.names.zeros));
  if (!zeros) return fail(Site::kResidualsZerosName);
  Py_ssize_t n = PyObject_Length(x);
  if (n < 0) return fail(Site::kResidualsLength);
  Ref count = Ref::steal(PyLong_FromSsize_t(n));
  if (!count) return fail(Site::kResidualsCount);
  PyObject* args[] = {count.get()};
  Ref result = Ref::steal(PyObject_Vectorcall(zeros.get(), args, 1, nullptr));
  if (!result) return fail(Site::kResidualsZeros);
  if (check_result_type(result.get(), state.ndarray, false) < 0) {
    return fail(Site::kResidualsZerosResult);
  }
  return result.release();
}

constexpr OverrideSites kOverrideSites = {Site::kResidualsLookup, Site::kResidualsOverride,
                                          Site::kResidualsOverrideResult};

}  // namespace

PyObject* compute_residuals_entry(Solver* self, PyObject* x, int skip_dispatch) noexcept {
  HeldBuffer buffer;
  if (buffer.acquire(x, kReadVector) < 0) return fail(Site::kResidualsArgument);
  if (!skip_dispatch) {
    Override o = run_override(self, kComputeResidualsMethod, &x, 1, kOverrideSites);
    if (o.ran) return o.result;
  }
  if (print_one(state.texts.base_residual) < 0) return fail(Site::kResidualsPrint);
  return zeros_like(x);
}

PyObject* compute_residuals_method(PyObject* self, PyObject* x) noexcept {
  if (check_ndarray_argument(x, "x") < 0) return nullptr;
  HeldBuffer buffer;
  if (buffer.acquire(x, kReadVector) < 0) return fail(Site::kResidualsMethod);
  PyObject* result = compute_residuals_entry(reinterpret_cast<Solver*>(self), x, 1);
  if (result == nullptr) return fail(Site::kResidualsMethodEntry);
  return result;
}

}  // namespace vendrel
