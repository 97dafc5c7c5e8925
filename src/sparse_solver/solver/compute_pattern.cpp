// compute_pattern: the sparsity pattern of the residual function's Jacobian at x0, found
// by raising one component at a time by an absolute step and recording every residual
// entry that changes.
#include "shell/buffers.hpp"
#include "shell/failure.hpp"
#include "shell/messages.hpp"
#include "shell/print.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"
#include "shell/views.hpp"
#include "solver/methods.hpp"
#include "solver/numpy_calls.hpp"
#include "solver/override.hpp"

#include <cstring>

namespace vendrel {
namespace {

constexpr int kSiteFile = kSitePattern;
constexpr const char* kFunction = "vendrel.sparse_solver.SparseSolver.compute_pattern";
constexpr double kStep = 1e-06;

// n doubles owned for the length of one scan.
class Doubles {
 public:
  explicit Doubles(Py_ssize_t n) noexcept
      : data_(static_cast<double*>(PyMem_Malloc(sizeof(double) * (n > 0 ? n : 1)))) {}
  Doubles(const Doubles&) = delete;
  Doubles& operator=(const Doubles&) = delete;
  ~Doubles() { PyMem_Free(data_); }
  double* get() const noexcept { return data_; }

 private:
  double* data_;
};

// Evaluates the residuals through the instance's method table (so a redefinition in a
// subclass is used) and takes a view of at least n doubles on the result. The result
// object itself is released; the view keeps its memory.
int evaluate(Solver* self, PyObject* x0, Py_ssize_t n, HeldView* residual) noexcept {
  Ref result = Ref::steal(self->vtab->compute_residuals(self, x0, 0));
  if (!result) return -1;
  if (residual->acquire(result.get(), kDoubleElement) < 0) return -1;
  if (extent(residual->get()) < n) {
    PyErr_Format(PyExc_ValueError, msg::kShortResidual, extent(residual->get()), n);
    return -1;
  }
  return 0;
}

// The first j in [from, n) at which the residual differs from the base, or n. Exact
// comparison: NaN differs from everything, 0.0 equals -0.0.
Py_ssize_t next_difference(const View& residual, const double* base, Py_ssize_t from,
                           Py_ssize_t n) noexcept {
  Py_ssize_t stride = residual.strides[0];
  if (stride == sizeof(double)) {
    const double* r = reinterpret_cast<const double*>(residual.data);
    // Blocks without a difference are passed over by a loop the compiler vectorises.
    constexpr Py_ssize_t kBlock = 64;
    Py_ssize_t j = from;
    while (j < n) {
      Py_ssize_t end = j + kBlock < n ? j + kBlock : n;
      bool any = false;
      for (Py_ssize_t k = j; k < end; ++k) any |= r[k] != base[k];
      if (any) {
        for (; j < end; ++j) {
          if (r[j] != base[j]) return j;
        }
      }
      j = end;
    }
    return n;
  }
  for (Py_ssize_t j = from; j < n; ++j) {
    if (*element<const double>(residual, j) != base[j]) return j;
  }
  return n;
}

// np.array(entries, dtype=np.intc): C int elements on every platform, as find_groups takes.
PyObject* index_array(PyObject* entries, int site, int line) noexcept {
  return call_numpy(state.names.array, entries, state.names.intc, nullptr,
                    CallSite{kFunction, site, line});
}

PyObject* scan(Solver* self, PyObject* x0, const HeldBuffer& x) noexcept {
  const Py_ssize_t n = x.length();
  Ref rows = Ref::steal(PyList_New(0));
  if (!rows) return VS_FAIL(33);
  Ref cols = Ref::steal(PyList_New(0));
  if (!cols) return VS_FAIL(34);

  // The base residual is copied: a residual function may fill and return the same array
  // every time, and then every perturbed residual would be compared with itself.
  Doubles base(n);
  if (base.get() == nullptr) {
    PyErr_NoMemory();
    return VS_FAIL(36);
  }
  {
    HeldView residual;
    if (evaluate(self, x0, n, &residual) < 0) return VS_FAIL(36);
    for (Py_ssize_t j = 0; j < n; ++j) base.get()[j] = *element<double>(residual.get(), j);
  }

  HeldView residual;
  for (Py_ssize_t i = 0; i < n; ++i) {
    double* component = x.element(i);
    const double saved = *component;
    *component = saved + kStep;
    int evaluated = evaluate(self, x0, n, &residual);
    // Put back before anything else, so that x0 leaves as the caller passed it even
    // when the evaluation failed.
    *component = saved;
    if (evaluated < 0) return VS_FAIL(40);

    Ref column;
    for (Py_ssize_t j = next_difference(residual.get(), base.get(), 0, n); j < n;
         j = next_difference(residual.get(), base.get(), j + 1, n)) {
      if (!column) {
        column = Ref::steal(PyLong_FromSsize_t(i));
        if (!column) return VS_FAIL(45);
      }
      Ref row = Ref::steal(PyLong_FromSsize_t(j));
      if (!row) return VS_FAIL(45);
      PyObject* line[] = {row.get(), column.get(), state.texts.is_a_thing};
      if (print_objects(line, 3, true) < 0) return VS_FAIL(45);
      if (PyList_Append(rows.get(), row.get()) < 0) return VS_FAIL(46);
      if (PyList_Append(cols.get(), column.get()) < 0) return VS_FAIL(47);
    }
  }

  Ref stored = Ref::steal(index_array(rows.get(), VS_SITE, 48));
  if (!stored) return nullptr;
  if (check_result_type(stored.get(), state.types.ndarray, false) < 0) return VS_FAIL(48);
  replace_field(self->pattern_rows, stored.release());

  Ref row_array = Ref::steal(index_array(rows.get(), VS_SITE, 49));
  if (!row_array) return nullptr;
  Ref col_array = Ref::steal(index_array(cols.get(), VS_SITE, 49));
  if (!col_array) return nullptr;
  PyObject* pair = PyTuple_Pack(2, row_array.get(), col_array.get());
  if (pair == nullptr) return VS_FAIL(49);
  return pair;
}

}  // namespace

PyObject* compute_pattern_entry(Solver* self, PyObject* x0, int skip_dispatch) noexcept {
  HeldBuffer x;
  if (x.acquire_doubles(x0, true) < 0) return VS_FAIL(25);
  if (!skip_dispatch) {
    Ref overridden;
    switch (dispatch_override(self, kComputePatternMethod, &x0, 1, &overridden)) {
      case Dispatch::kOverridden: return overridden.release();
      case Dispatch::kFailed: return nullptr;
      case Dispatch::kRunBody: break;
    }
  }
  if (x0 == Py_None) {
    PyErr_Format(PyExc_TypeError, msg::kMustNotBeNone, "x0");
    return VS_FAIL(25);
  }
  return scan(self, x0, x);
}

PyObject* compute_pattern_method(PyObject* self, PyObject* x0) noexcept {
  if (check_ndarray_argument(x0, "x0") < 0) return nullptr;
  HeldBuffer x;
  if (x.acquire_doubles(x0, false) < 0) return VS_FAIL(25);
  PyObject* result = compute_pattern_entry(reinterpret_cast<Solver*>(self), x0, 1);
  if (result == nullptr) return VS_FAIL(25);
  return result;
}

}  // namespace vendrel
