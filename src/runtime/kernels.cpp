#include "kernels.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "parallel.hpp"

namespace runtime {

namespace {

// Below this many items a pass stays on one thread: handing part of it over costs more.
constexpr std::size_t kItemsPerThread = std::size_t{1} << 16;

// One loop per way of choosing h and per output, so that each compiles to straight-line,
// vectorisable code; `choose(j, x)` gives the signed step of column j, as StepRule::step.
template <typename Choose>
void fill(const double* x, std::size_t begin, std::size_t end, Scheme scheme, bool divisors,
          Choose choose, double* out) {
  if (!divisors || scheme == Scheme::kComplex) {
    for (std::size_t j = begin; j < end; ++j) out[j] = choose(j, x[j]);
  } else if (scheme == Scheme::kForward) {
    for (std::size_t j = begin; j < end; ++j) out[j] = (x[j] + choose(j, x[j])) - x[j];
  } else {
    for (std::size_t j = begin; j < end; ++j) {
      const double size = std::fabs(choose(j, x[j]));
      out[j] = (x[j] + size) - (x[j] + -size);
    }
  }
}

}  // namespace

void steps(const double* x, std::size_t n, const StepRule& rule, bool divisors, double* out) {
  const StepRule local = rule;  // not reloaded after each write to `out`
  const std::size_t parts = parts_for(n, kItemsPerThread);
  in_parallel(parts, [&](std::size_t p) {
    const std::size_t begin = n / parts * p, end = p + 1 == parts ? n : n / parts * (p + 1);
    auto with = [&](auto choose) { fill(x, begin, end, local.scheme, divisors, choose, out); };
    if (local.abs) {
      const double* abs = local.abs;
      const std::size_t every = local.abs_count == 1 ? 0 : 1;
      with([=](std::size_t j, double v) {
        const double h = abs[j * every];
        return (v + h) - v == 0 ? local.default_step(v) : h;
      });
    } else if (local.rel) {
      const double* rel = local.rel;
      const std::size_t every = local.rel_count == 1 ? 0 : 1;
      with([=](std::size_t j, double v) {
        const double h = rel[j * every] * StepRule::sign_of(v) * std::fabs(v);
        return (v + h) - v == 0 ? local.default_step(v) : h;
      });
    } else {
      with([=](std::size_t, double v) { return local.default_step(v); });
    }
  });
}

bool perturb(const double* x, std::size_t n, const double* moved, const StepRule* rule, int part,
             const std::int64_t* columns, std::size_t count, double* out) {
  std::memcpy(out, x, n * sizeof(double));
  for (std::size_t k = 0; k < count; ++k) {
    const auto j = static_cast<std::size_t>(columns[k]);  // a negative one wraps to >= n
    if (j >= n) return false;
    out[j] = moved ? moved[j] : rule->moved(j, x[j], part);
  }
  return true;
}

namespace {

enum class Divide { kNot, kByStep };

// The entries of the majors [first, last); false at the first index outside the extents.
template <typename Index, bool kMinus, bool kBase, Divide kDivide>
bool recover_range(const Recovery& r, std::size_t first, std::size_t last, double* out) {
  // What the loop reads is copied here first, so that no write to `out` makes the compiler
  // read it again.
  const auto* const ptr = static_cast<const Index*>(r.ptr);
  const auto* const idx = static_cast<const Index*>(r.idx);
  const std::int64_t* const group = r.group;
  const double* const base = r.base;
  const double* const step = r.step;
  const std::size_t groups = r.rows.size(), m = r.m, columns = r.columns;
  const bool by_rows = r.by_rows;
  const double* const* rows = r.rows.data();
  const double* const* minus = r.minus.data();
  const auto entries = static_cast<Index>(r.entries);
  for (std::size_t a = first; a < last; ++a) {
    const Index begin = ptr[a], end = ptr[a + 1];
    if (begin < 0 || end < begin || end > entries) return false;
    for (Index k = begin; k < end; ++k) {
      const Index b = idx[k];
      const std::size_t i = by_rows ? a : static_cast<std::size_t>(b);
      const std::size_t j = by_rows ? static_cast<std::size_t>(b) : a;
      if (b < 0 || i >= m || j >= columns) return false;
      const auto g = static_cast<std::uint64_t>(group[j]);
      if (g >= groups) return false;
      double v = rows[g][i];
      if constexpr (kMinus) v -= minus[g][i];
      if constexpr (kBase) v -= base[i];
      if constexpr (kDivide == Divide::kByStep) v /= step[j];
      out[k] = v;
    }
  }
  return true;
}

template <typename Index>
Recovered recover_with(const Recovery& r, double* out) {
  // One loop per combination, so that the inner loop is free of the choices.
  auto range = [&r, out](std::size_t first, std::size_t last) {
    auto with = [&](auto minus, auto base) {
      constexpr bool kMinus = decltype(minus)::value, kBase = decltype(base)::value;
      if (r.step) return recover_range<Index, kMinus, kBase, Divide::kByStep>(r, first, last, out);
      return recover_range<Index, kMinus, kBase, Divide::kNot>(r, first, last, out);
    };
    using Yes = std::true_type;
    using No = std::false_type;
    if (!r.minus.empty()) return with(Yes{}, No{});
    return r.base ? with(No{}, Yes{}) : with(No{}, No{});
  };
  // Cut where the entries, not the majors, are shared evenly; each part checks its own
  // pointers, and the cuts are checked here, so that no two parts write the same entries.
  const auto* ptr = static_cast<const Index*>(r.ptr);
  if (ptr[0] != 0 || static_cast<std::size_t>(ptr[r.majors]) != r.entries) {
    return Recovered::kBadPointers;
  }
  const std::size_t entries = r.entries;
  const std::size_t parts = parts_for(entries, kItemsPerThread);
  std::vector<char> inside(parts, 1);
  std::vector<std::size_t> cuts(parts + 1, r.majors);
  for (std::size_t p = 0; p < parts; ++p) {
    const auto target = static_cast<Index>(entries / parts * p);
    cuts[p] = static_cast<std::size_t>(std::lower_bound(ptr, ptr + r.majors, target) - ptr);
    if (p && ptr[cuts[p]] < ptr[cuts[p - 1]]) return Recovered::kBadPointers;
  }
  in_parallel(parts, [&](std::size_t p) { inside[p] = range(cuts[p], cuts[p + 1]); });
  const bool all = std::find(inside.begin(), inside.end(), 0) == inside.end();
  return all ? Recovered::kDone : Recovered::kOutside;
}

}  // namespace

Recovered recover(const Recovery& r, double* out) {
  return r.wide ? recover_with<std::int64_t>(r, out) : recover_with<std::int32_t>(r, out);
}

bool same_bytes(const void* a, const void* b, std::size_t bytes) {
  return bytes == 0 || std::memcmp(a, b, bytes) == 0;
}

}  // namespace runtime
