// The entries of a symmetric matrix from its compressed product, by the method each colouring
// guarantees: direct for a star colouring, substitution for an acyclic one.
#include <vector>

#include "symmetric.hpp"

namespace grouping {
namespace {

// For each vertex and colour, how many off-diagonal entries of the vertex's row lie in columns
// of that colour (n x colours, as the compressed product).
std::vector<std::int32_t> colour_counts(Index n, const std::int64_t* ptr, const std::int32_t* idx,
                                        const std::int64_t* color, Index colors) {
  std::vector<std::int32_t> count(static_cast<std::size_t>(n) * colors, 0);
  for (Index j = 0; j < n; ++j) {
    for (std::int64_t p = ptr[j]; p < ptr[j + 1]; ++p) {
      if (idx[p] != j) ++count[static_cast<std::size_t>(idx[p]) * colors + color[j]];
    }
  }
  return count;
}

inline double scale_of(const double* scale, Index j) { return scale ? scale[j] : 1.0; }

}  // namespace

// Gebremedhin, Tarafdar, Manne and Pothen 2007, Section 4 (direct recovery from a star
// colouring; Coleman and Moré 1984): an edge's leaf has one neighbour of its hub's colour, so
// D[leaf, c(hub)] holds H[leaf, hub] alone. Both halves of a pair read the same row (the
// lower vertex's, when it alone qualifies or both do), so the result is symmetric.
std::int64_t recover_star(Index n, const std::int64_t* ptr, const std::int32_t* idx,
                          const std::int64_t* color, Index colors, const double* compressed,
                          const double* scale, double* values) {
  const std::vector<std::int32_t> count = colour_counts(n, ptr, idx, color, colors);
  auto at = [&](Index row, std::int64_t c) { return static_cast<std::size_t>(row) * colors + c; };
  for (Index j = 0; j < n; ++j) {
    for (std::int64_t p = ptr[j]; p < ptr[j + 1]; ++p) {
      const Index i = idx[p];
      if (i == j) {
        if (count[at(i, color[i])] != 0) return p;  // a neighbour shares the diagonal's colour
        values[p] = compressed[at(i, color[i])] / scale_of(scale, i);
        continue;
      }
      const Index low = i < j ? i : j, high = i < j ? j : i;
      if (color[low] == color[high]) return p;
      Index row = low, column = high;
      if (count[at(low, color[high])] != 1) {
        if (count[at(high, color[low])] != 1) return p;  // neither end reads it alone
        row = high;
        column = low;
      }
      values[p] = compressed[at(row, color[column])] / scale_of(scale, column);
    }
  }
  return -1;
}

// Gebremedhin, Tarafdar, Pothen and Walther 2009 (recovery by substitution from an acyclic
// colouring): in each two-coloured tree, a leaf l with its one neighbour p of colour c(p)
// reads H[l, p] = D[l, c(p)] / h_p; the edge is then taken out of p's sum, D[p, c(l)] -=
// H[l, p] h_l, which may make p a leaf. What is never peeled lies on a cycle.
std::int64_t recover_acyclic(Index n, const std::int64_t* ptr, const std::int32_t* idx,
                             const std::int64_t* mirror, const std::int64_t* color, Index colors,
                             const double* compressed, const double* scale, double* values) {
  std::vector<std::int32_t> count = colour_counts(n, ptr, idx, color, colors);
  auto at = [&](Index row, std::int64_t c) { return static_cast<std::size_t>(row) * colors + c; };
  std::vector<double> left(compressed, compressed + static_cast<std::size_t>(n) * colors);
  std::vector<std::uint8_t> done(static_cast<std::size_t>(ptr[n]), 0);
  struct Leaf {
    Index vertex;
    std::int64_t color;
  };
  std::vector<Leaf> leaves;
  for (Index j = 0; j < n; ++j) {
    for (std::int64_t p = ptr[j]; p < ptr[j + 1]; ++p) {
      const Index i = idx[p];
      if (i == j) {
        if (count[at(i, color[i])] != 0) return p;
        values[p] = compressed[at(i, color[i])] / scale_of(scale, i);
        done[p] = 1;
      } else if (color[i] == color[j]) {
        return p;
      }
    }
  }
  for (Index v = 0; v < n; ++v) {
    for (Index c = 0; c < colors; ++c) {
      if (count[at(v, c)] == 1) leaves.push_back({v, c});
    }
  }
  while (!leaves.empty()) {
    const Leaf leaf = leaves.back();
    leaves.pop_back();
    if (count[at(leaf.vertex, leaf.color)] != 1) continue;  // peeled from the other end
    const Index l = leaf.vertex;
    for (std::int64_t p = ptr[l]; p < ptr[l + 1]; ++p) {  // the row of l, as its column
      const Index w = idx[p];
      if (done[p] || w == l || color[w] != leaf.color) continue;
      const double value = left[at(l, leaf.color)] / scale_of(scale, w);
      values[p] = values[mirror[p]] = value;
      done[p] = done[mirror[p]] = 1;
      count[at(l, leaf.color)] = 0;
      left[at(w, color[l])] -= value * scale_of(scale, l);
      if (--count[at(w, color[l])] == 1) leaves.push_back({w, color[l]});
      break;
    }
  }
  for (std::int64_t p = 0; p < ptr[n]; ++p) {
    if (!done[p]) return p;
  }
  return -1;
}

}  // namespace grouping
