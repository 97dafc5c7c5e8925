// Incomplete LU factorisation with no fill, ILU(0), on a CSR pattern with sorted column
// indices: L and U take exactly the pattern of A, L with a unit diagonal. The pattern is
// analysed once (where each row's diagonal is); each new matrix of that pattern is factorised
// numerically in place, and the factors applied by two triangular sweeps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linalg {

struct CsrPattern {
  const std::int64_t* ptr = nullptr;  // n + 1 row pointers
  const std::int64_t* idx = nullptr;  // column indices, sorted within each row
  std::size_t n = 0;
};

enum class Analysis { kDone, kBadPointers, kOutside, kUnsorted, kNoDiagonal };

// Fills diag[i] with the position of A_ii in row i. On failure `row` is the offending row.
Analysis analyse(const CsrPattern& pattern, std::int64_t* diag, std::size_t& row);

// Whether the pattern and diagonal positions are safe to sweep over: row pointers from 0
// that never decrease, columns inside the matrix, each diag[i] in row i at column i. The
// other passes trust both, so the binding checks them on every call it did not analyse.
bool fits(const CsrPattern& pattern, const std::int64_t* diag, std::size_t entries);

// Factorises the values of A (in the pattern's order) in place into L \ U. `work` holds n
// entries of scratch. False with `row` set at a zero or non-finite pivot.
bool factorise(const CsrPattern& pattern, const std::int64_t* diag, double* values,
               std::int64_t* work, std::size_t& row);

// x = (L U)^-1 b; x and b may be the same array.
void apply(const CsrPattern& pattern, const std::int64_t* diag, const double* values,
           const double* b, double* x);

}  // namespace linalg
