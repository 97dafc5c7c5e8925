// Restarted GMRES, right-preconditioned by ILU(0) factors of the same pattern, on a CSR
// matrix: every vector operation in one compiled loop, so that an iteration costs a matrix
// product, a preconditioner sweep and the orthogonalisation, and nothing more.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ilu0.hpp"

namespace linalg {

struct GmresResult {
  std::size_t iterations = 0;
  double residual = 0.0;  // ||b - A x|| / ||b|| as the method tracks it
  bool converged = false;
  bool finite = true;
};

// Solves A x = b from x = 0 to ||b - A x|| <= rtol ||b||, restarting every `restart`
// iterations, at most `most` iterations. `lu` holds ILU(0) factors of A's pattern.
GmresResult gmres(const CsrPattern& pattern, const double* a, const std::int64_t* diag,
                  const double* lu, const double* b, double* x, double rtol,
                  std::size_t restart, std::size_t most);

}  // namespace linalg
