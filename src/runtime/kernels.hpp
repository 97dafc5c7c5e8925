// The per-Jacobian passes of grouped finite differences, on plain arrays: the perturbed point
// of a group, the recovery of the entries, and (for complex steps) the steps themselves. Each
// is one pass over its arrays, writes into memory the caller owns, and touches no Python
// object, so the binding runs it with the interpreter lock released.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace runtime {

enum class Scheme { kForward, kCentral, kComplex };  // "2-point", "3-point", "cs"

// The step of a column by SciPy's rules, without bounds, operation for operation:
// h = rstep * sign(x) * max(1, |x|) by default; rel * sign(x) * |x| or abs where given,
// falling back to the default where (x + h) - x == 0. kForward moves x to x + h and divides
// by (x + h) - x; kCentral moves it to x - |h| and x + |h| and divides by their difference;
// kComplex divides by h. `rel` and `abs` hold one value (broadcast) or one per column, or
// are null. The moved values are computed where a column is moved, so that only what divides
// the differences is ever stored.
struct StepRule {
  double rstep = 0.0;
  const double* rel = nullptr;
  std::size_t rel_count = 0;
  const double* abs = nullptr;
  std::size_t abs_count = 0;
  Scheme scheme = Scheme::kForward;

  // sign(x) with +1 at x >= 0 (so also at -0.0), as SciPy's (x >= 0) * 2 - 1; written
  // without a branch, so that loops over it vectorise.
  static double sign_of(double x) { return 1.0 - 2.0 * static_cast<double>(x < 0); }

  double default_step(double x) const {
    const double size = std::fabs(x);
    return rstep * sign_of(x) * (size < 1.0 ? 1.0 : size);  // max(1, |x|); x is finite
  }

  // The signed step h of column j at x.
  double step(std::size_t j, double x) const {
    double h;
    if (abs) {
      h = abs[abs_count == 1 ? 0 : j];
    } else if (rel) {
      h = rel[rel_count == 1 ? 0 : j] * sign_of(x) * std::fabs(x);
    } else {
      return default_step(x);
    }
    return (x + h) - x == 0 ? default_step(x) : h;
  }

  // Where evaluation `part` (0, or 1 for kCentral's second) moves column j from x.
  double moved(std::size_t j, double x, int part) const {
    const double h = step(j, x);
    if (scheme == Scheme::kCentral) {
      const double size = std::fabs(h);
      return part == 0 ? x + -size : x + size;
    }
    return x + h;
  }

  // What column j's differences are divided by.
  double divisor(std::size_t j, double x) const {
    const double h = step(j, x);
    switch (scheme) {
      case Scheme::kForward:
        return (x + h) - x;
      case Scheme::kCentral: {
        const double size = std::fabs(h);
        return (x + size) - (x + -size);
      }
      case Scheme::kComplex:
        break;
    }
    return h;
  }
};

// out[j] = rule.divisor(j, x[j]) for all n columns if `divisors`, else rule.step(j, x[j]).
void steps(const double* x, std::size_t n, const StepRule& rule, bool divisors, double* out);

// out = x with each listed column moved: to moved[j], or by `rule` (evaluation `part`).
// False, having written part of `out`, if a listed column is not below n.
bool perturb(const double* x, std::size_t n, const double* moved, const StepRule* rule, int part,
             const std::int64_t* columns, std::size_t count, double* out);

// The entries of a grouped Jacobian in the order of `ptr`/`idx` (either orientation; both
// int32 or both int64), each (rows[g][i] - minus[g][i] - base[i]) / step_j, with g the group
// of its column j and i its row. `minus`, `base` and `step` may be empty or null (nothing
// subtracted, nothing divided by).
struct Recovery {
  const void* ptr = nullptr;
  const void* idx = nullptr;
  bool wide = true;                     // int64 indices, else int32
  std::size_t majors = 0;
  const std::int64_t* group = nullptr;
  std::size_t columns = 0;
  std::size_t m = 0;                    // rows: the length of every row of differences
  std::vector<const double*> rows;      // one per group
  std::vector<const double*> minus;     // empty, or one per group
  const double* base = nullptr;
  const double* step = nullptr;
  bool by_rows = true;                  // ptr indexes rows (CSR) rather than columns (CSC)
  std::size_t entries = 0;              // the length of idx and of out
};
enum class Recovered { kDone, kBadPointers, kOutside };
// Checks as it goes, having written part of `out` if it fails: pointers from 0 to `entries`
// that never decrease, indices within the extents given.
Recovered recover(const Recovery& r, double* out);

// Whether two arrays of `bytes` bytes hold the same bytes.
bool same_bytes(const void* a, const void* b, std::size_t bytes);

}  // namespace runtime
