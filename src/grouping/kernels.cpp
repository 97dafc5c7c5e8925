#include "kernels.hpp"

#include <cmath>
#include <cstring>
#include <type_traits>

namespace grouping {
namespace {

// sign(x) with +1 at x >= 0 (so also at -0.0), as SciPy's (x >= 0) * 2 - 1.
inline double sign_of(double x) { return x >= 0 ? 1.0 : -1.0; }

inline double default_step(double x, double rstep) {
  return rstep * sign_of(x) * std::fmax(1.0, std::fabs(x));
}

}  // namespace

void steps(const StepInput& in, Scheme scheme, const StepOutput& out) {
  for (std::size_t j = 0; j < in.n; ++j) {
    const double x = in.x[j];
    double h;
    if (in.abs) {
      h = in.abs[in.abs_count == 1 ? 0 : j];
      if ((x + h) - x == 0) h = default_step(x, in.rstep);
    } else if (in.rel) {
      h = in.rel[in.rel_count == 1 ? 0 : j] * sign_of(x) * std::fabs(x);
      if ((x + h) - x == 0) h = default_step(x, in.rstep);
    } else {
      h = default_step(x, in.rstep);
    }
    switch (scheme) {
      case Scheme::kForward: {
        const double first = x + h;
        out.h[j] = h;
        out.first[j] = first;
        out.step[j] = first - x;
        break;
      }
      case Scheme::kCentral: {
        h = std::fabs(h);
        const double first = x + -h;
        const double second = x + h;
        out.h[j] = h;
        out.first[j] = first;
        out.second[j] = second;
        out.step[j] = second - first;
        break;
      }
      case Scheme::kComplex:
        out.h[j] = h;
        out.step[j] = h;
        break;
    }
  }
}

void perturb(const double* x, const double* moved, std::size_t n, const std::int64_t* columns,
             std::size_t count, double* out) {
  std::memcpy(out, x, n * sizeof(double));
  for (std::size_t k = 0; k < count; ++k) out[columns[k]] = moved[columns[k]];
}

bool recover(const Recovery& r, double* out) {
  const std::size_t groups = r.rows.size();
  const bool minus = !r.minus.empty();
  // One loop per combination, so that the compiler keeps the inner loop free of the choices.
  auto pass = [&](auto with_minus, auto with_base, auto with_step) -> bool {
    auto value = [&](std::size_t i, std::int64_t j) -> double {
      const std::int64_t g = r.group[j];
      double v = r.rows[g][i];
      if constexpr (decltype(with_minus)::value) v -= r.minus[g][i];
      if constexpr (decltype(with_base)::value) v -= r.base[i];
      if constexpr (decltype(with_step)::value) v /= r.step[j];
      return v;
    };
    for (std::size_t a = 0; a < r.majors; ++a) {
      for (std::int64_t k = r.ptr[a]; k < r.ptr[a + 1]; ++k) {
        const std::int64_t b = r.idx[k];
        const std::size_t i = r.by_rows ? a : static_cast<std::size_t>(b);
        const std::int64_t j = r.by_rows ? b : static_cast<std::int64_t>(a);
        if (b < 0 || i >= r.m || static_cast<std::size_t>(j) >= r.columns ||
            static_cast<std::uint64_t>(r.group[j]) >= groups) {
          return false;
        }
        out[k] = value(i, j);
      }
    }
    return true;
  };
  using Yes = std::true_type;
  using No = std::false_type;
  const bool base = r.base != nullptr, step = r.step != nullptr;
  if (minus) return step ? pass(Yes{}, No{}, Yes{}) : pass(Yes{}, No{}, No{});
  if (base) return step ? pass(No{}, Yes{}, Yes{}) : pass(No{}, Yes{}, No{});
  return step ? pass(No{}, No{}, Yes{}) : pass(No{}, No{}, No{});
}

}  // namespace grouping
