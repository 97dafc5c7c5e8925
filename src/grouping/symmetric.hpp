// Colourings of a symmetric pattern (a Hessian's), where two columns may share a colour
// although they meet in a row, so long as every entry can still be read back: star
// colourings (every entry read directly) and acyclic colourings (read by substitution).
// Gebremedhin, Tarafdar, Manne and Pothen, "New acyclic and star coloring algorithms with
// application to computing Hessians", SIAM J. Sci. Comput. 29 (2007); Gebremedhin, Tarafdar,
// Pothen and Walther, "Efficient computation of sparse Hessians using coloring and automatic
// differentiation", INFORMS J. Comput. 21 (2009).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "coloring.hpp"

namespace grouping {

// The adjacency graph of a symmetric pattern: the off-diagonal entries, each undirected edge
// numbered once and reachable from both ends.
struct Graph {
  Index n = 0;
  std::vector<std::int64_t> ptr;
  std::vector<Index> adj;          // neighbours of each vertex, ascending
  std::vector<std::int64_t> edge;  // per entry of adj, the number of its undirected edge
  std::int64_t edges = 0;

  std::int64_t begin(Index v) const { return ptr[v]; }
  std::int64_t end(Index v) const { return ptr[v + 1]; }
  Index degree(Index v) const { return static_cast<Index>(ptr[v + 1] - ptr[v]); }
};

// The graph of a pattern whose columns are its rows (symmetric): false if it is not.
bool adjacency_graph(const Pattern& pattern, Graph& out);

enum class SymmetricKind { kStar, kAcyclic };

using VertexOrder = std::vector<Index> (*)(const Graph& graph);

struct SymmetricOrdering {
  std::string_view name;
  VertexOrder order;
};

std::vector<Index> natural_vertices(const Graph& graph);
std::vector<Index> largest_first_vertices(const Graph& graph);
std::vector<Index> smallest_last_vertices(const Graph& graph);
std::vector<Index> incidence_degree_vertices(const Graph& graph);
std::vector<Index> dynamic_largest_first_vertices(const Graph& graph);

// The orderings by degree in the adjacency graph (not in the column intersection graph, as
// for a Jacobian): the engine's names, cheapest first. DSATUR is left out: its saturation
// counts colours that a star or acyclic colouring may still repeat.
inline constexpr SymmetricOrdering kSymmetricOrderings[] = {
    {"natural", natural_vertices},
    {"smallest_last", smallest_last_vertices},
    {"largest_first", largest_first_vertices},
    {"incidence_degree", incidence_degree_vertices},
    {"dynamic_largest_first", dynamic_largest_first_vertices},
};

const SymmetricOrdering* find_symmetric_ordering(std::string_view name);

Coloring star_coloring(const Graph& graph, const std::vector<Index>& order);
Coloring acyclic_coloring(const Graph& graph, const std::vector<Index>& order);

// The largest clique found greedily around each vertex of degree at most `max_degree` (a
// certified lower bound on any colouring's colours), and at least 1 for a non-empty pattern.
Index greedy_clique(const Graph& graph, Index max_degree);

// 1 + ceil((edges + 1) / vertices with edges): no colouring whose two-coloured subgraphs are
// forests has fewer colours.
Index forest_bound(const Graph& graph);

// Each ordering in turn, keeping the fewest colours; for a star colouring also the column
// grouping's natural order and its lattice colouring of the pattern with its diagonal (a
// grouping of columns that share no row is a distance-2 colouring, hence a star colouring).
// Stops as soon as `bound` colours are reached.
Coloring best_symmetric(const Pattern& pattern, const Graph& graph, SymmetricKind kind,
                        Index bound, std::string_view* winner);

// The entries of the symmetric matrix from its compressed product D (n x colours, row-major):
// D[i, c] = sum of H[i, k] * scale[k] over the k of row i in colour c. The pattern is given
// as canonical columns, with `mirror` the position of each entry's transpose. Returns -1, or
// the position of an entry the colouring cannot recover by the kind's method.
std::int64_t recover_star(Index n, const std::int64_t* ptr, const std::int32_t* idx,
                          const std::int64_t* color, Index colors, const double* compressed,
                          const double* scale, double* values);
std::int64_t recover_acyclic(Index n, const std::int64_t* ptr, const std::int32_t* idx,
                             const std::int64_t* mirror, const std::int64_t* color, Index colors,
                             const double* compressed, const double* scale, double* values);

}  // namespace grouping
