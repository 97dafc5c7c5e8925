// compute_pattern: the sparsity pattern of the residual function's Jacobian at x0, found
// by raising one component at a time by an absolute step and recording every residual
// entry that changes.
#include "shell/buffers.hpp"
#include "shell/failure.hpp"
#include "shell/messages.hpp"
#include "shell/print.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"
#include "solver/methods.hpp"
#include "solver/numpy_calls.hpp"
#include "solver/override.hpp"

#include <cstdint>
#include <cstring>

namespace vendrel {
namespace {

constexpr double kStep = 1e-06;

// Evaluates the residuals through the instance's method table (so a redefinition in a
// subclass is used) and holds the result's buffer, which must have at least n doubles.
// The result object itself is released; the buffer keeps its memory. Each way it can fail
// is a site of its own (the base evaluation's or a perturbed one's).
struct EvaluationSites {
  Site call;     // the evaluation failed
  Site refused;  // its result refused by the view
  Site short_;   // its result shorter than x0
};
constexpr EvaluationSites kBaseSites = {Site::kPatternBase, Site::kPatternBaseRefused,
                                        Site::kPatternBaseShort};
constexpr EvaluationSites kPerturbedSites = {Site::kPatternEvaluate, Site::kPatternEvaluateRefused,
                                             Site::kPatternEvaluateShort};

int evaluate(Solver* self, PyObject* x0, Py_ssize_t n, HeldBuffer* residual,
             const EvaluationSites& at) noexcept {
  Ref result = Ref::steal(self->vtab->compute_residuals(self, x0, 0));
  if (!result) return fail(at.call);
  if (residual->acquire(result.get(), kTypedView) < 0) return fail(at.refused);
  if (residual->length() < n) {
    PyErr_Format(PyExc_ValueError, msg::kShortResidual, residual->length(), n);
    return fail(at.short_);
  }
  return 0;
}

// Whether any of the doubles [j, end) of `r` and `base` differ in their bits.
inline bool bits_differ_here(const char* r, const double* base, Py_ssize_t j,
                             Py_ssize_t end) noexcept {
  std::uint64_t differing = 0;
  for (Py_ssize_t k = j; k < end; ++k) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, r + k * sizeof(double), sizeof a);
    std::memcpy(&b, base + k, sizeof b);
    differing |= a ^ b;
  }
  return differing != 0;
}

// The same for long stretches; where the compiler can make one, a copy for wider vector
// units is chosen when the module loads.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
bool bits_differ(const char* r, const double* base, Py_ssize_t j, Py_ssize_t end) noexcept {
  return bits_differ_here(r, base, j, end);
}

// The base residual, copied: a residual function may fill and return the same array every
// time, and every perturbed residual would then be compared with itself.
class BaseResidual {
 public:
  explicit BaseResidual(Py_ssize_t n) noexcept
      : values_(static_cast<double*>(PyMem_Malloc(sizeof(double) * (n > 0 ? n : 1)))) {}
  BaseResidual(const BaseResidual&) = delete;
  BaseResidual& operator=(const BaseResidual&) = delete;
  ~BaseResidual() { PyMem_Free(values_); }

  bool allocated() const noexcept { return values_ != nullptr; }

  void copy_from(const HeldBuffer& residual, Py_ssize_t n) noexcept {
    has_nan_ = false;
    for (Py_ssize_t j = 0; j < n; ++j) {
      values_[j] = *residual.element(j);
      has_nan_ |= values_[j] != values_[j];
    }
  }

  // The first j in [from, n) at which `residual` differs from the base, or n. Exact
  // comparison: NaN differs from everything, 0.0 equals -0.0.
  Py_ssize_t next_difference(const HeldBuffer& residual, Py_ssize_t from,
                             Py_ssize_t n) const noexcept {
    if (residual.stride() != sizeof(double) || has_nan_) {
      for (Py_ssize_t j = from; j < n; ++j) {
        if (*residual.element(j) != values_[j]) return j;
      }
      return n;
    }
    // Most entries keep their value bit for bit; blocks whose bits all match are passed
    // over by a loop the compiler vectorises (double comparisons are not, on x86-64 GCC).
    // Equal bits are equal values here, since the base holds no NaN.
    const char* r = residual.data();
    constexpr Py_ssize_t kBlock = 256;
    constexpr Py_ssize_t kNarrow = 16;
    for (Py_ssize_t j = from; j < n;) {
      Py_ssize_t end = j + kBlock < n ? j + kBlock : n;
      if (bits_differ(r, values_, j, end)) {
        // Narrowed down in small steps, so that a few changed entries cost few comparisons.
        for (; j < end; j += kNarrow) {
          Py_ssize_t stop = j + kNarrow < end ? j + kNarrow : end;
          if (!bits_differ_here(r, values_, j, stop)) continue;
          for (Py_ssize_t k = j; k < stop; ++k) {
            if (reinterpret_cast<const double*>(r)[k] != values_[k]) return k;
          }
        }
      }
      j = end;
    }
    return n;
  }

 private:
  double* values_;
  bool has_nan_ = false;
};

// np.array(entries, dtype=np.intc): C int elements on every platform, as find_groups takes.
PyObject* index_array(PyObject* entries, Site at) noexcept {
  return call_numpy(state.names.array, entries, state.names.intc, nullptr, at);
}

PyObject* scan(Solver* self, PyObject* x0, const HeldBuffer& x) noexcept {
  const Py_ssize_t n = x.length();
  Ref rows = Ref::steal(PyList_New(0));
  if (!rows) return fail(Site::kPatternRows);
  Ref cols = Ref::steal(PyList_New(0));
  if (!cols) return fail(Site::kPatternCols);

  BaseResidual base(n);
  if (!base.allocated()) {
    PyErr_NoMemory();
    return fail(Site::kPatternBaseMemory);
  }
  {
    HeldBuffer residual;
    if (evaluate(self, x0, n, &residual, kBaseSites) < 0) return nullptr;
    base.copy_from(residual, n);
  }

  for (Py_ssize_t i = 0; i < n; ++i) {
    // Each residual is let go before the next evaluation, so that the residual function
    // can reuse its memory at once.
    HeldBuffer residual;
    double* component = x.element(i);
    const double saved = *component;
    *component = saved + kStep;
    int evaluated = evaluate(self, x0, n, &residual, kPerturbedSites);
    // Put back before anything else, so that x0 leaves as the caller passed it even
    // when the evaluation failed.
    *component = saved;
    if (evaluated < 0) return nullptr;

    Ref column;
    for (Py_ssize_t j = base.next_difference(residual, 0, n); j < n;
         j = base.next_difference(residual, j + 1, n)) {
      if (!column) {
        column = Ref::steal(PyLong_FromSsize_t(i));
        if (!column) return fail(Site::kPatternEntry);
      }
      Ref row = Ref::steal(PyLong_FromSsize_t(j));
      if (!row) return fail(Site::kPatternEntry);
      PyObject* line[] = {row.get(), column.get(), state.texts.is_a_thing};
      if (print_objects(line, 3, true) < 0) return fail(Site::kPatternEntry);
      if (PyList_Append(rows.get(), row.get()) < 0) return fail(Site::kPatternAppendRow);
      if (PyList_Append(cols.get(), column.get()) < 0) return fail(Site::kPatternAppendCol);
    }
  }

  Ref stored = Ref::steal(index_array(rows.get(), Site::kPatternStore));
  if (!stored) return nullptr;
  if (check_result_type(stored.get(), state.ndarray, false) < 0) {
    return fail(Site::kPatternStoreResult);
  }
  Py_XSETREF(self->pattern_rows, stored.release());

  Ref row_array = Ref::steal(index_array(rows.get(), Site::kPatternResult));
  if (!row_array) return nullptr;
  Ref col_array = Ref::steal(index_array(cols.get(), Site::kPatternResultCols));
  if (!col_array) return nullptr;
  PyObject* pair = PyTuple_Pack(2, row_array.get(), col_array.get());
  if (pair == nullptr) return fail(Site::kPatternResultPair);
  return pair;
}

}  // namespace

PyObject* compute_pattern_entry(Solver* self, PyObject* x0, int skip_dispatch) noexcept {
  HeldBuffer x;
  if (x.acquire(x0, kWriteVector) < 0) return fail(Site::kPatternArgument);
  if (!skip_dispatch) {
    constexpr OverrideSites kOverrideSites = {Site::kPatternLookup, Site::kPatternOverride,
                                              Site::kPatternOverrideResult};
    Override o = run_override(self, kComputePatternMethod, &x0, 1, kOverrideSites);
    if (o.ran) return o.result;
  }
  if (x0 == Py_None) {
    PyErr_Format(PyExc_TypeError, msg::kMustNotBeNone, "x0");
    return fail(Site::kPatternNone);
  }
  return scan(self, x0, x);
}

PyObject* compute_pattern_method(PyObject* self, PyObject* x0) noexcept {
  if (check_ndarray_argument(x0, "x0") < 0) return nullptr;
  HeldBuffer x;
  if (x.acquire(x0, kReadVector) < 0) return fail(Site::kPatternMethod);
  PyObject* result = compute_pattern_entry(reinterpret_cast<Solver*>(self), x0, 1);
  if (result == nullptr) return fail(Site::kPatternMethodEntry);
  return result;
}

}  // namespace vendrel
