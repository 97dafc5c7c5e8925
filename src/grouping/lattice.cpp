// Lattice colourings of stencil patterns. A stencil on a box of points N_1 x ... x N_d,
// numbered so that one axis varies fastest, then the next (row- or column-major, axes in
// any order, species by point or point by species: all of them mixed-radix numberings),
// makes column x conflict with the columns x + d for d in a fixed set D of coordinate
// offsets. The cyclic colouring c(x) = (a . x) mod k keeps every such pair apart exactly
// when a . d != 0 (mod k) for every d in D (Goldfarb and Toint, 1984); on the common
// stencils one exists with k equal to the longest row, the lower bound.
//
// The box is not given. Its strides are divisors of n, and each stride appears as an offset
// j' - j between conflicting columns (the unit step along its axis), unless its axis is
// thin; so candidate strides are the divisors of n met as offsets around a spread of
// columns, and the small divisors. Each chain of strides is judged on a few columns where a
// wrong split would show (the centre, near every face and both corners): the offsets met
// there, read as coordinate vectors, must be few. A periodic box shows its wrapped offsets
// there too, so the search keeps only the colourings that survive the wrap. The cyclic
// search runs over a in [0, k)^d for k from the bound up; the colouring found is checked on
// every row of the pattern and the columns it does not fit are recoloured first fit.
#include "lattice.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>

namespace grouping {
namespace {

constexpr int kMaxAxes = 4;
constexpr std::int64_t kSpread = 64;          // columns whose neighbours suggest strides
constexpr std::size_t kRepeats = 4;          // columns of the spread per offset met, at least
constexpr std::int64_t kSmallAxis = 16;       // divisors up to this are candidates anyway
constexpr std::size_t kMaxStrides = 48;       // candidate strides, at most
constexpr std::size_t kMaxChains = 4000;      // chains of strides judged, at most
constexpr std::size_t kMaxOffsets = 400;      // distinct offsets under a numbering, at most
constexpr Index kExtraColours = 4;            // cyclic colourings tried up to bound + this
constexpr std::int64_t kSearchWork = 8000000; // vectors a times offsets, per chain and k
constexpr std::int64_t kTotalVectors = 1000000; // vectors a tried in all
constexpr std::size_t kCandidates = 4;        // distinct colourings kept per chain and k
constexpr int kFullChecks = 8;                // colourings checked on every row, at most

using Vector = std::array<std::int64_t, kMaxAxes>;

// A mixed-radix numbering: axis 0 slowest, the last axis fastest (stride 1).
struct Box {
  int axes = 0;
  Vector size{};
  Vector stride{};

  Vector point(std::int64_t j) const {
    Vector x{};
    for (int a = 0; a < axes; ++a) x[a] = (j / stride[a]) % size[a];
    return x;
  }
  std::int64_t index(const Vector& x) const {
    std::int64_t j = 0;
    for (int a = 0; a < axes; ++a) j += x[a] * stride[a];
    return j;
  }
};

struct Chain {
  Box box;
  std::vector<Vector> offsets;  // distinct, each with its first non-zero component positive
};

// Offsets j' - j > 0 between a spread of columns and their neighbours; none unless the
// offsets repeat from column to column, as a stencil's do (each offset met, on average, by
// several columns of the spread), so that a pattern whose offsets do not repeat (random,
// unstructured meshes) is left at once.
std::vector<std::int64_t> linear_offsets(Context& context) {
  const std::int64_t n = context.pattern.n_cols;
  std::vector<std::int64_t> found;
  const std::int64_t spread = std::min(n, kSpread);
  for (std::int64_t t = 0; t < spread; ++t) {
    const Index j = static_cast<Index>(spread > 1 ? t * (n - 1) / (spread - 1) : 0);
    context.neighbours.for_each(j, [&](Index k) { found.push_back(std::int64_t{k} - j); });
  }
  const std::size_t met = found.size();
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  if (met < kRepeats * found.size()) found.clear();
  for (std::int64_t& d : found) d = d < 0 ? -d : d;
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

std::vector<std::int64_t> candidate_strides(std::int64_t n,
                                            const std::vector<std::int64_t>& offsets) {
  std::vector<std::int64_t> strides;
  for (std::int64_t t = 2; t <= std::min(kSmallAxis, n / 2); ++t) {
    if (n % t == 0) strides.push_back(t);
  }
  for (std::int64_t t : offsets) {
    if (t > kSmallAxis && t <= n / 2 && n % t == 0) strides.push_back(t);
    if (strides.size() >= kMaxStrides) break;
  }
  std::sort(strides.begin(), strides.end());
  strides.erase(std::unique(strides.begin(), strides.end()), strides.end());
  return strides;
}

// Every chain 1 < t_1 < ... < t_m (m < kMaxAxes), each stride dividing the next and n.
void chains_of(std::int64_t n, const std::vector<std::int64_t>& strides,
               std::vector<std::int64_t>& chain, std::vector<Box>& boxes) {
  if (boxes.size() >= kMaxChains) return;
  Box box;
  box.axes = static_cast<int>(chain.size()) + 1;
  std::int64_t above = n;
  for (int a = 0; a < box.axes; ++a) {
    std::int64_t stride = a + 1 < box.axes ? chain[chain.size() - 1 - a] : 1;
    box.stride[a] = stride;
    box.size[a] = above / stride;
    above = stride;
  }
  boxes.push_back(box);
  if (static_cast<int>(chain.size()) + 1 >= kMaxAxes) return;
  const std::int64_t last = chain.empty() ? 1 : chain.back();
  for (std::int64_t t : strides) {
    if (t <= last || t % last != 0 || t / last < 2 || n / t < 2) continue;
    chain.push_back(t);
    chains_of(n, strides, chain, boxes);
    chain.pop_back();
  }
}

// The columns where a wrong numbering or a wrapped axis shows: the centre, the first and
// last three positions along each axis with the others central, and both corners.
std::vector<std::int64_t> probes(const Box& box, std::int64_t n) {
  std::vector<std::int64_t> columns = {0, n - 1};
  Vector centre{};
  for (int a = 0; a < box.axes; ++a) centre[a] = box.size[a] / 2;
  columns.push_back(box.index(centre));
  for (int a = 0; a < box.axes; ++a) {
    for (std::int64_t at : {std::int64_t{0}, std::int64_t{1}, std::int64_t{2}, box.size[a] - 3,
                            box.size[a] - 2, box.size[a] - 1}) {
      if (at < 0 || at >= box.size[a]) continue;
      Vector x = centre;
      x[a] = at;
      columns.push_back(box.index(x));
    }
  }
  std::sort(columns.begin(), columns.end());
  columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
  return columns;
}

// The offsets met around the probes, as coordinate vectors; false when they are too many
// for the numbering to be the pattern's.
bool offsets_under(Context& context, Chain& chain) {
  const Box& box = chain.box;
  std::vector<Vector>& found = chain.offsets;
  for (std::int64_t j : probes(box, context.pattern.n_cols)) {
    const Vector x = box.point(j);
    context.neighbours.for_each(static_cast<Index>(j), [&](Index k) {
      Vector y = box.point(k);
      Vector d{};
      bool negate = false, leading = true;
      for (int a = 0; a < box.axes; ++a) {
        d[a] = y[a] - x[a];
        if (leading && d[a] != 0) {
          negate = d[a] < 0;
          leading = false;
        }
      }
      if (negate) {
        for (int a = 0; a < box.axes; ++a) d[a] = -d[a];
      }
      found.push_back(d);
    });
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    if (found.size() > kMaxOffsets) return false;
  }
  // Short offsets first: they rule out most vectors a at once.
  auto length = [&](const Vector& d) {
    std::int64_t s = 0;
    for (int a = 0; a < box.axes; ++a) s += d[a] < 0 ? -d[a] : d[a];
    return s;
  };
  std::stable_sort(found.begin(), found.end(),
                   [&](const Vector& p, const Vector& q) { return length(p) < length(q); });
  return true;
}

// Whether b is a unit multiple of a mod k: the same partition into colours.
bool same_partition(const Vector& a, const Vector& b, int axes, Index k) {
  for (Index u = 1; u < k; ++u) {
    if (std::gcd(u, k) != 1) continue;
    bool equal = true;
    for (int i = 0; i < axes && equal; ++i) equal = (a[i] * u) % k == b[i];
    if (equal) return true;
  }
  return false;
}

// Vectors a with a . d != 0 (mod k) for every offset d: distinct partitions, a few.
std::vector<Vector> cyclic(const Chain& chain, Index k, std::int64_t& budget) {
  const int axes = chain.box.axes;
  std::vector<Vector> found;
  std::int64_t vectors = 1;
  for (int i = 0; i < axes; ++i) {
    vectors *= k;
    if (vectors > budget) return found;  // also keeps the product from overflowing
  }
  if (vectors * static_cast<std::int64_t>(chain.offsets.size()) > kSearchWork) return found;
  budget -= vectors;
  std::vector<Vector> reduced(chain.offsets);
  for (Vector& d : reduced) {
    for (int i = 0; i < axes; ++i) d[i] = ((d[i] % k) + k) % k;
  }
  Vector a{};
  for (std::int64_t v = 0; v < vectors; ++v) {
    std::int64_t rest = v;
    for (int i = axes - 1; i >= 0; --i) {
      a[i] = rest % k;
      rest /= k;
    }
    bool fits = true;
    for (const Vector& d : reduced) {
      std::int64_t s = 0;
      for (int i = 0; i < axes; ++i) s += a[i] * d[i];
      if (s % k == 0) {
        fits = false;
        break;
      }
    }
    if (!fits) continue;
    bool known = false;
    for (const Vector& b : found) known = known || same_partition(b, a, axes, k);
    if (known) continue;
    found.push_back(a);
    if (found.size() >= kCandidates) break;
  }
  return found;
}

// Colours every column by (a . x) mod k, walking the box in numbering order, and marks
// each column that meets its colour again in one of its rows; returns how many are marked,
// or stops early past `give_up`.
std::int64_t colour_and_check(const Pattern& pattern, const Box& box, const Vector& a, Index k,
                              std::int64_t give_up, std::vector<Index>& color,
                              std::vector<char>& misfit) {
  const Index n = pattern.n_cols;
  color.assign(n, 0);
  misfit.assign(n, 0);
  Vector x{}, step{}, wrap{};
  for (int i = 0; i < box.axes; ++i) {
    step[i] = a[i] % k;
    wrap[i] = (a[i] % k) * (box.size[i] % k) % k;
  }
  std::int64_t c = 0;
  for (Index j = 0; j < n; ++j) {
    color[j] = static_cast<Index>(c);
    for (int i = box.axes - 1; i >= 0; --i) {
      c += step[i];
      if (++x[i] < box.size[i]) break;
      x[i] = 0;
      c += k - wrap[i];
    }
    c %= k;
  }
  std::vector<Index> last(static_cast<std::size_t>(k), -1);
  std::int64_t misfits = 0;
  const Compressed& by_row = pattern.by_row;
  for (Index i = 0; i < pattern.n_rows; ++i) {
    for (std::int64_t q = by_row.begin(i); q < by_row.end(i); ++q) {
      Index j = by_row.idx[q];
      Index& seen = last[color[j]];
      if (seen == i) {
        misfits += !misfit[j];
        misfit[j] = 1;
      } else {
        seen = i;
      }
    }
    if (misfits > give_up) break;
  }
  return misfits;
}

Coloring repaired(Context& context, const std::vector<Index>& color,
                  const std::vector<char>& misfit) {
  FirstFit fit(context.pattern, context.classes);
  const Index n = context.pattern.n_cols;
  for (Index j = 0; j < n; ++j) {
    if (!misfit[j]) fit.assign(j, color[j]);
  }
  for (Index j = 0; j < n; ++j) {
    if (misfit[j]) fit.assign(j, fit.choose(j));
  }
  return fit.take();
}

}  // namespace

bool lattice_coloring(Context& context, Index fewer_than, Coloring& out) {
  const Pattern& pattern = context.pattern;
  const std::int64_t n = pattern.n_cols;
  const Index bound = pattern.lower_bound();
  if (n < 2 || bound < 1 || context.classes.dense_count() > 0 || fewer_than <= bound) return false;

  const std::vector<std::int64_t> offsets = linear_offsets(context);
  if (offsets.empty()) return false;
  std::vector<Box> boxes;
  std::vector<std::int64_t> chain;
  chains_of(n, candidate_strides(n, offsets), chain, boxes);
  std::vector<Chain> chains;
  for (const Box& box : boxes) {
    Chain judged{box, {}};
    if (offsets_under(context, judged) && !judged.offsets.empty()) {
      chains.push_back(std::move(judged));
    }
  }
  // Fewest offsets first (the numbering that explains the pattern best); among equals, more
  // axes, which give the cyclic search more freedom.
  std::stable_sort(chains.begin(), chains.end(), [](const Chain& p, const Chain& q) {
    if (p.offsets.size() != q.offsets.size()) return p.offsets.size() < q.offsets.size();
    return p.box.axes > q.box.axes;
  });

  std::vector<Index> color;
  std::vector<char> misfit;
  const std::int64_t give_up = n / 4;
  int checks = 0;
  std::int64_t budget = kTotalVectors;
  bool found = false;
  const Index last_k = std::min<Index>(bound + kExtraColours, fewer_than - 1);
  for (Index k = bound; k <= last_k && checks < kFullChecks; ++k) {
    for (const Chain& judged : chains) {
      for (const Vector& a : cyclic(judged, k, budget)) {
        if (checks++ >= kFullChecks) break;
        std::int64_t misfits = colour_and_check(pattern, judged.box, a, k, give_up, color, misfit);
        if (misfits > give_up) continue;
        Coloring candidate = repaired(context, color, misfit);
        if (!found || candidate.groups < out.groups) {
          out = std::move(candidate);
          found = true;
        }
        if (out.groups <= bound) return true;
      }
      if (checks >= kFullChecks) break;
    }
    if (found && out.groups <= k) break;
  }
  return found && out.groups < fewer_than;
}

}  // namespace grouping
