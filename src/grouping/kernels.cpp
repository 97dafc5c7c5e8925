#include "kernels.hpp"

#include <cmath>
#include <cstring>
#include <type_traits>

namespace grouping {
namespace {

// sign(x) with +1 at x >= 0 (so also at -0.0), as SciPy's (x >= 0) * 2 - 1.
inline double sign_of(double x) { return x >= 0 ? 1.0 : -1.0; }

inline double default_step(double x, double rstep) {
  const double size = std::fabs(x);
  return rstep * sign_of(x) * (size > 1.0 ? size : 1.0);  // max(1, |x|); x is finite
}

}  // namespace

namespace {

// One loop per way of choosing h and per scheme, so that each compiles to straight-line,
// vectorisable code; `choose(j, x)` gives the signed step of column j.
template <typename Choose>
void steps_with(const StepInput& in, Scheme scheme, const StepOutput& out, Choose choose) {
  const std::size_t n = in.n;
  const double* xs = in.x;
  switch (scheme) {
    case Scheme::kForward:
      for (std::size_t j = 0; j < n; ++j) {
        const double x = xs[j];
        const double h = choose(j, x);
        const double first = x + h;
        out.h[j] = h;
        out.first[j] = first;
        out.step[j] = first - x;
      }
      break;
    case Scheme::kCentral:
      for (std::size_t j = 0; j < n; ++j) {
        const double x = xs[j];
        const double h = std::fabs(choose(j, x));
        const double first = x + -h;
        const double second = x + h;
        out.h[j] = h;
        out.first[j] = first;
        out.second[j] = second;
        out.step[j] = second - first;
      }
      break;
    case Scheme::kComplex:
      for (std::size_t j = 0; j < n; ++j) {
        const double h = choose(j, xs[j]);
        out.h[j] = h;
        out.step[j] = h;
      }
      break;
  }
}

}  // namespace

void steps(const StepInput& in, Scheme scheme, const StepOutput& out) {
  const double rstep = in.rstep;
  if (in.abs) {
    const double* abs = in.abs;
    const bool one = in.abs_count == 1;
    steps_with(in, scheme, out, [=](std::size_t j, double x) {
      const double h = abs[one ? 0 : j];
      return (x + h) - x == 0 ? default_step(x, rstep) : h;
    });
  } else if (in.rel) {
    const double* rel = in.rel;
    const bool one = in.rel_count == 1;
    steps_with(in, scheme, out, [=](std::size_t j, double x) {
      const double h = rel[one ? 0 : j] * sign_of(x) * std::fabs(x);
      return (x + h) - x == 0 ? default_step(x, rstep) : h;
    });
  } else {
    steps_with(in, scheme, out, [=](std::size_t, double x) { return default_step(x, rstep); });
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
