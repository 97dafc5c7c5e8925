#include "gmres.hpp"

#include <cmath>
#include <vector>

namespace linalg {
namespace {

// Four running sums: one would wait for each addition to finish before the next.
double dot(const double* u, const double* v, std::size_t n) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += u[i] * v[i];
    s1 += u[i + 1] * v[i + 1];
    s2 += u[i + 2] * v[i + 2];
    s3 += u[i + 3] * v[i + 3];
  }
  for (; i < n; ++i) s0 += u[i] * v[i];
  return (s0 + s1) + (s2 + s3);
}

void multiply(const CsrPattern& p, const double* a, const double* v, double* out) {
  for (std::size_t i = 0; i < p.n; ++i) {
    double sum = 0.0;
    for (std::int64_t k = p.ptr[i]; k < p.ptr[i + 1]; ++k) sum += a[k] * v[p.idx[k]];
    out[i] = sum;
  }
}

// Where a second pass of Gram-Schmidt is needed: ||w|| fell below this share of itself.
constexpr double kRefine = 0.7071067811865476;

// c = V^T w and then w -= V c, for the `count` basis vectors of length n held one after
// another in `basis`: in blocks short enough for w's block to stay in the first-level cache
// while each vector's block streams past.
void project(const double* basis, std::size_t n, std::size_t count, double* w, double* c) {
  constexpr std::size_t kBlock = 512;
  for (std::size_t i = 0; i < count; ++i) c[i] = 0.0;
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t length = start + kBlock < n ? kBlock : n - start;
    for (std::size_t i = 0; i < count; ++i) c[i] += dot(basis + i * n + start, w + start, length);
  }
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t end = start + kBlock < n ? start + kBlock : n;
    for (std::size_t i = 0; i < count; ++i) {
      const double* v = basis + i * n;
      const double ci = c[i];
      for (std::size_t t = start; t < end; ++t) w[t] -= ci * v[t];
    }
  }
}

}  // namespace

// Saad, Iterative Methods for Sparse Linear Systems (2003), Algorithm 9.5 (GMRES with right
// preconditioning), with the least-squares problem kept
// triangular by Givens rotations as it grows (Algorithm 6.9 and its section 6.5.3), so
// that the residual norm is known at every iteration without forming x.
GmresResult gmres(const CsrPattern& p, const double* a, const std::int64_t* diag,
                  const double* lu, const double* b, double* x, double rtol,
                  std::size_t restart, std::size_t most) {
  const std::size_t n = p.n, m = restart;
  GmresResult result;
  for (std::size_t i = 0; i < n; ++i) x[i] = 0.0;
  const double b_norm = std::sqrt(dot(b, b, n));
  if (!std::isfinite(b_norm)) {
    result.finite = false;
    return result;
  }
  if (b_norm == 0.0) {
    result.converged = true;
    return result;
  }
  const double target = rtol * b_norm;
  std::vector<double> basis((m + 1) * n), h((m + 1) * m), cs(m), sn(m), g(m + 1), y(m);
  std::vector<double> z(n), w(n), coefficients(m + 1);
  auto V = [&](std::size_t j) { return basis.data() + j * n; };
  auto H = [&](std::size_t i, std::size_t j) -> double& { return h[i * m + j]; };
  bool first = true;
  while (result.iterations < most) {
    // r = b - A x, into the first basis vector
    double* r = V(0);
    if (first) {
      for (std::size_t i = 0; i < n; ++i) r[i] = b[i];
    } else {
      multiply(p, a, x, w.data());
      for (std::size_t i = 0; i < n; ++i) r[i] = b[i] - w[i];
    }
    first = false;
    const double beta = std::sqrt(dot(r, r, n));
    result.residual = beta / b_norm;
    if (!std::isfinite(beta)) {
      result.finite = false;
      return result;
    }
    if (beta <= target) {
      result.converged = true;
      return result;
    }
    for (std::size_t i = 0; i < n; ++i) r[i] /= beta;
    for (std::size_t i = 0; i <= m; ++i) g[i] = 0.0;
    g[0] = beta;
    std::size_t k = 0;  // columns of H made in this cycle
    bool done = false;
    while (k < m && result.iterations < most) {
      apply(p, diag, lu, V(k), z.data());
      multiply(p, a, z.data(), w.data());
      // Classical Gram-Schmidt, once more where the first pass cancelled most of w (Daniel,
      // Gragg, Kaufman and Stewart's test): two passes over the basis instead of the 2(k+1)
      // of modified Gram-Schmidt, at the same accuracy where it matters.
      const double before = std::sqrt(dot(w.data(), w.data(), n));
      project(basis.data(), n, k + 1, w.data(), coefficients.data());
      for (std::size_t i = 0; i <= k; ++i) H(i, k) = coefficients[i];
      double next = std::sqrt(dot(w.data(), w.data(), n));
      if (next < kRefine * before) {
        project(basis.data(), n, k + 1, w.data(), coefficients.data());
        for (std::size_t i = 0; i <= k; ++i) H(i, k) += coefficients[i];
        next = std::sqrt(dot(w.data(), w.data(), n));
      }
      for (std::size_t i = 0; i < k; ++i) {  // the rotations so far, on the new column
        const double upper = cs[i] * H(i, k) + sn[i] * H(i + 1, k);
        H(i + 1, k) = -sn[i] * H(i, k) + cs[i] * H(i + 1, k);
        H(i, k) = upper;
      }
      const double diagonal = H(k, k), radius = std::hypot(diagonal, next);
      if (radius == 0.0 || !std::isfinite(radius)) {
        result.finite = std::isfinite(radius);
        done = true;  // nothing new to add: the subspace holds the solution, or nothing
        break;
      }
      cs[k] = diagonal / radius;
      sn[k] = next / radius;
      H(k, k) = radius;
      g[k + 1] = -sn[k] * g[k];
      g[k] *= cs[k];
      ++k;
      ++result.iterations;
      result.residual = std::fabs(g[k]) / b_norm;
      if (std::fabs(g[k]) <= target) {
        done = true;
        break;
      }
      if (next == 0.0) {  // a lucky breakdown: the Krylov space is invariant
        done = true;
        break;
      }
      double* v = V(k);
      for (std::size_t t = 0; t < n; ++t) v[t] = w[t] / next;
    }
    // x += M^-1 (V y), y from the triangular system H y = g
    for (std::size_t i = k; i-- > 0;) {
      double sum = g[i];
      for (std::size_t j = i + 1; j < k; ++j) sum -= H(i, j) * y[j];
      y[i] = sum / H(i, i);
    }
    for (std::size_t t = 0; t < n; ++t) w[t] = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
      const double* vj = V(j);
      for (std::size_t t = 0; t < n; ++t) w[t] += y[j] * vj[t];
    }
    apply(p, diag, lu, w.data(), z.data());
    for (std::size_t t = 0; t < n; ++t) x[t] += z[t];
    if (!result.finite) return result;
    if (done) {
      result.converged = result.residual * b_norm <= target || k == 0 ||
                         result.residual == 0.0;
      if (result.converged || k == 0) return result;
    }
  }
  return result;
}

}  // namespace linalg
