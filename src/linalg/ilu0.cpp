#include "ilu0.hpp"

#include <cmath>

namespace linalg {

Analysis analyse(const CsrPattern& p, std::int64_t* diag, std::size_t& row) {
  if (p.ptr[0] != 0 || p.ptr[p.n] < 0) {
    row = 0;
    return Analysis::kBadPointers;
  }
  const auto n = static_cast<std::int64_t>(p.n);
  for (std::size_t i = 0; i < p.n; ++i) {
    row = i;
    const std::int64_t begin = p.ptr[i], end = p.ptr[i + 1];
    if (end < begin || end > p.ptr[p.n]) return Analysis::kBadPointers;
    diag[i] = -1;
    for (std::int64_t k = begin; k < end; ++k) {
      const std::int64_t j = p.idx[k];
      if (j < 0 || j >= n) return Analysis::kOutside;
      if (k > begin && j <= p.idx[k - 1]) return Analysis::kUnsorted;
      if (j == static_cast<std::int64_t>(i)) diag[i] = k;
    }
    if (diag[i] < 0) return Analysis::kNoDiagonal;
  }
  return Analysis::kDone;
}

bool fits(const CsrPattern& p, const std::int64_t* diag, std::size_t entries) {
  if (p.ptr[0] != 0 || p.ptr[p.n] != static_cast<std::int64_t>(entries)) return false;
  const auto n = static_cast<std::int64_t>(p.n);
  for (std::size_t i = 0; i < p.n; ++i) {
    const std::int64_t begin = p.ptr[i], end = p.ptr[i + 1];
    if (end < begin || end > p.ptr[p.n] || diag[i] < begin || diag[i] >= end ||
        p.idx[diag[i]] != static_cast<std::int64_t>(i)) {
      return false;
    }
    for (std::int64_t k = begin; k < end; ++k) {
      if (p.idx[k] < 0 || p.idx[k] >= n) return false;
    }
  }
  return true;
}

// Saad, Iterative Methods for Sparse Linear Systems (2003), Algorithm 10.4 (ILU(0), the IKJ
// variant): row i is eliminated by the rows k < i it has entries in, in increasing k, and
// each update lands only where row i already has an entry (found through `work`, the
// position of each column in row i, or -1).
bool factorise(const CsrPattern& p, const std::int64_t* diag, double* a, std::int64_t* work,
               std::size_t& row) {
  for (std::size_t j = 0; j < p.n; ++j) work[j] = -1;
  for (std::size_t i = 0; i < p.n; ++i) {
    const std::int64_t begin = p.ptr[i], end = p.ptr[i + 1];
    for (std::int64_t k = begin; k < end; ++k) work[p.idx[k]] = k;
    for (std::int64_t k = begin; k < diag[i]; ++k) {
      const std::int64_t pivot_row = p.idx[k];
      a[k] /= a[diag[pivot_row]];
      const double factor = a[k];
      for (std::int64_t q = diag[pivot_row] + 1; q < p.ptr[pivot_row + 1]; ++q) {
        const std::int64_t at = work[p.idx[q]];
        if (at >= 0) a[at] -= factor * a[q];
      }
    }
    for (std::int64_t k = begin; k < end; ++k) work[p.idx[k]] = -1;
    const double pivot = a[diag[i]];
    if (pivot == 0.0 || !std::isfinite(pivot)) {
      row = i;
      return false;
    }
  }
  return true;
}

void apply(const CsrPattern& p, const std::int64_t* diag, const double* a, const double* b,
           double* x) {
  // L y = b, L unit lower triangular: its entries are those left of the diagonal.
  for (std::size_t i = 0; i < p.n; ++i) {
    double sum = b[i];
    for (std::int64_t k = p.ptr[i]; k < diag[i]; ++k) sum -= a[k] * x[p.idx[k]];
    x[i] = sum;
  }
  // U x = y, from the last row up.
  for (std::size_t i = p.n; i-- > 0;) {
    double sum = x[i];
    for (std::int64_t k = diag[i] + 1; k < p.ptr[i + 1]; ++k) sum -= a[k] * x[p.idx[k]];
    x[i] = sum / a[diag[i]];
  }
}

}  // namespace linalg
