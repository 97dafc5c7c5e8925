// The per-Jacobian passes of grouped finite differences, on plain arrays: step sizes and
// the moved points, the perturbed point of a group, and the recovery of the entries. Each is
// one pass over its arrays, writes into memory the caller owns, and touches no Python object,
// so the binding runs it with the interpreter lock released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace grouping {

enum class Scheme { kForward, kCentral, kComplex };  // "2-point", "3-point", "cs"

// The step of each column by SciPy's rules, without bounds, operation for operation:
// h = rstep * sign(x) * max(1, |x|) by default; rel * sign(x) * |x| or abs where given,
// falling back to the default where (x + h) - x == 0. Then, for kForward, first = x + h and
// step = first - x; for kCentral, h = |h|, first = x - h, second = x + h, step = second -
// first; for kComplex, step = h. `rel` and `abs` hold one value (broadcast) or n, or none.
struct StepInput {
  const double* x = nullptr;
  std::size_t n = 0;
  double rstep = 0.0;
  const double* rel = nullptr;
  std::size_t rel_count = 0;
  const double* abs = nullptr;
  std::size_t abs_count = 0;
};
struct StepOutput {
  double* h = nullptr;
  double* first = nullptr;   // kForward, kCentral
  double* second = nullptr;  // kCentral
  double* step = nullptr;
};
void steps(const StepInput& in, Scheme scheme, const StepOutput& out);

// out = x with out[j] = moved[j] for the listed columns.
void perturb(const double* x, const double* moved, std::size_t n, const std::int64_t* columns,
             std::size_t count, double* out);

// The entries of a grouped Jacobian in the order of `ptr`/`idx` (either orientation), each
// (rows[g][i] - minus[g][i] - base[i]) / step[j], with g the group of its column j and i its
// row; `minus`, `base` and `step` may be null (not subtracted, not divided). Returns false,
// having written part of `out`, if an index lies outside the extents given.
struct Recovery {
  const std::int64_t* ptr = nullptr;
  std::size_t majors = 0;
  const std::int32_t* idx = nullptr;
  const std::int64_t* group = nullptr;
  std::size_t columns = 0;
  std::size_t m = 0;                    // rows: the length of every row of differences
  std::vector<const double*> rows;      // one per group
  std::vector<const double*> minus;     // empty, or one per group
  const double* base = nullptr;
  const double* step = nullptr;
  bool by_rows = true;                  // ptr indexes rows (CSR) rather than columns (CSC)
};
bool recover(const Recovery& r, double* out);

}  // namespace grouping
