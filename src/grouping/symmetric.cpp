// The adjacency graph of a symmetric pattern, its vertex orderings, a certified clique, and
// "best" for the symmetric colourings.
#include "symmetric.hpp"

#include <algorithm>
#include <numeric>
#include <random>

#include "bucket_queue.hpp"
#include "lattice.hpp"
#include "orderings.hpp"

namespace grouping {

// Edges are numbered from the end with the lower vertex; the other end finds its number by
// a cursor per vertex, since each vertex meets its lower neighbours in ascending order.
bool adjacency_graph(const Pattern& pattern, Graph& out) {
  const Index n = pattern.n_cols;
  if (pattern.n_rows != n) return false;
  const Compressed& by_col = pattern.by_col;
  out.n = n;
  out.ptr.assign(static_cast<std::size_t>(n) + 1, 0);
  for (Index v = 0; v < n; ++v) {
    Index off = 0;
    for (std::int64_t p = by_col.begin(v); p < by_col.end(v); ++p) off += by_col.idx[p] != v;
    out.ptr[v + 1] = out.ptr[v] + off;
  }
  out.adj.resize(static_cast<std::size_t>(out.ptr[n]));
  out.edge.assign(out.adj.size(), -1);
  for (Index v = 0; v < n; ++v) {
    std::int64_t q = out.ptr[v];
    for (std::int64_t p = by_col.begin(v); p < by_col.end(v); ++p) {
      if (by_col.idx[p] != v) out.adj[q++] = by_col.idx[p];
    }
  }
  std::vector<std::int64_t> cursor(out.ptr.begin(), out.ptr.end() - 1);
  out.edges = 0;
  for (Index v = 0; v < n; ++v) {
    for (std::int64_t p = out.begin(v); p < out.end(v); ++p) {
      Index w = out.adj[p];
      if (w < v) continue;
      std::int64_t& at = cursor[w];
      if (at >= out.end(w) || out.adj[at] != v) return false;  // (w, v) missing
      out.edge[p] = out.edge[at] = out.edges++;
      ++at;
    }
  }
  // Every entry below the diagonal met its mirror: none is left unnumbered.
  for (std::int64_t e : out.edge) {
    if (e < 0) return false;
  }
  return true;
}

std::vector<Index> natural_vertices(const Graph& graph) {
  std::vector<Index> order(graph.n);
  std::iota(order.begin(), order.end(), 0);
  return order;
}

namespace {

std::vector<Index> degrees(const Graph& graph) {
  std::vector<Index> degree(graph.n);
  for (Index v = 0; v < graph.n; ++v) degree[v] = graph.degree(v);
  return degree;
}

Index max_of(const std::vector<Index>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// Takes the vertex of largest key next, each neighbour still waiting moved by `change`.
std::vector<Index> by_changing_key(const Graph& graph, const std::vector<Index>& key,
                                   Index change) {
  const std::vector<Index> degree = degrees(graph);
  BucketQueue queue(graph.n, std::max(max_of(degree), max_of(key)));
  const std::vector<Index> by_degree = by_decreasing_degree(degree);
  for (auto it = by_degree.rbegin(); it != by_degree.rend(); ++it) queue.push_front(*it, key[*it]);
  std::vector<Index> order;
  order.reserve(graph.n);
  while (!queue.empty()) {
    Index v = queue.pop_max();
    order.push_back(v);
    for (std::int64_t p = graph.begin(v); p < graph.end(v); ++p) {
      Index w = graph.adj[p];
      if (queue.contains(w) && queue.key(w) + change >= 0) queue.change(w, queue.key(w) + change);
    }
  }
  return order;
}

}  // namespace

std::vector<Index> largest_first_vertices(const Graph& graph) {
  return by_decreasing_degree(degrees(graph));
}

// Sets aside a vertex of least remaining degree, again and again; coloured in reverse.
std::vector<Index> smallest_last_vertices(const Graph& graph) {
  const std::vector<Index> degree = degrees(graph);
  BucketQueue queue(graph.n, max_of(degree));
  for (Index v = graph.n - 1; v >= 0; --v) queue.push_front(v, degree[v]);
  std::vector<Index> order(graph.n);
  for (Index position = graph.n - 1; position >= 0; --position) {
    Index v = queue.pop_min();
    order[position] = v;
    for (std::int64_t p = graph.begin(v); p < graph.end(v); ++p) {
      Index w = graph.adj[p];
      if (queue.contains(w) && queue.key(w) > 0) queue.change(w, queue.key(w) - 1);
    }
  }
  return order;
}

std::vector<Index> incidence_degree_vertices(const Graph& graph) {
  return by_changing_key(graph, std::vector<Index>(graph.n, 0), +1);
}

std::vector<Index> dynamic_largest_first_vertices(const Graph& graph) {
  return by_changing_key(graph, degrees(graph), -1);
}

const SymmetricOrdering* find_symmetric_ordering(std::string_view name) {
  for (const SymmetricOrdering& ordering : kSymmetricOrderings) {
    if (ordering.name == name) return &ordering;
  }
  return nullptr;
}

// Around each vertex, its neighbours taken in turn when adjacent to all taken so far (looked
// up in the sorted lists): every clique found is one, so its size bounds any colouring.
Index greedy_clique(const Graph& graph, Index max_degree) {
  Index largest = graph.n ? 1 : 0;
  std::vector<Index> clique;
  auto adjacent = [&](Index a, Index b) {
    return std::binary_search(graph.adj.begin() + graph.begin(a), graph.adj.begin() + graph.end(a),
                              b);
  };
  for (Index v = 0; v < graph.n; ++v) {
    if (graph.degree(v) > max_degree || graph.degree(v) + 1 <= largest) continue;
    clique.clear();
    for (std::int64_t p = graph.begin(v); p < graph.end(v); ++p) {
      Index w = graph.adj[p];
      if (std::all_of(clique.begin(), clique.end(), [&](Index u) { return adjacent(w, u); })) {
        clique.push_back(w);
      }
    }
    largest = std::max(largest, static_cast<Index>(clique.size()) + 1);
  }
  return largest;
}

namespace {

// The pattern with every diagonal entry present, so that neighbours conflict as columns.
Pattern with_diagonal(const Pattern& pattern) {
  Pattern out;
  out.n_rows = pattern.n_rows;
  out.n_cols = pattern.n_cols;
  auto fill = [&](const Compressed& in, Compressed& to) {
    to.ptr.assign(in.ptr.size(), 0);
    to.idx.clear();
    to.idx.reserve(in.idx.size() + static_cast<std::size_t>(pattern.n_cols));
    for (Index v = 0; v < pattern.n_cols; ++v) {
      bool placed = false;
      for (std::int64_t p = in.begin(v); p < in.end(v); ++p) {
        Index i = in.idx[p];
        if (!placed && i >= v) {
          if (i != v) to.idx.push_back(v);
          placed = true;
        }
        to.idx.push_back(i);
      }
      if (!placed) to.idx.push_back(v);
      to.ptr[v + 1] = static_cast<std::int64_t>(to.idx.size());
    }
    to.distinct = true;
  };
  fill(pattern.by_col, out.by_col);
  fill(pattern.by_row, out.by_row);
  return out;
}

// Whether the colouring is a distance-1 colouring whose two-coloured subgraphs are forests:
// each vertex takes part in one tree per colour around it, so the trees are grown, edge by
// edge, in disjoint sets over (vertex, other colour) pairs, and an edge within one set closes
// a cycle.
bool is_acyclic(const Graph& graph, const std::vector<Index>& color) {
  std::vector<std::int64_t> node(graph.adj.size(), -1);  // per entry (v, w): node (v, c(w))
  std::vector<std::int64_t> at_colour(graph.n + 1, -1);
  std::vector<Index> stamp(graph.n + 1, -1);
  std::int64_t nodes = 0;
  for (Index v = 0; v < graph.n; ++v) {
    for (std::int64_t p = graph.begin(v); p < graph.end(v); ++p) {
      const Index c = color[graph.adj[p]];
      if (c == color[v]) return false;
      if (stamp[c] != v) {
        stamp[c] = v;
        at_colour[c] = nodes++;
      }
      node[p] = at_colour[c];
    }
  }
  std::vector<std::int64_t> parent(static_cast<std::size_t>(nodes));
  std::iota(parent.begin(), parent.end(), 0);
  auto find = [&](std::int64_t a) {
    while (parent[a] != a) a = parent[a] = parent[parent[a]];
    return a;
  };
  std::vector<std::int64_t> other(static_cast<std::size_t>(graph.edges), -1);
  for (Index v = 0; v < graph.n; ++v) {
    for (std::int64_t p = graph.begin(v); p < graph.end(v); ++p) {
      const std::int64_t e = graph.edge[p];
      if (other[e] < 0) {
        other[e] = node[p];  // the first end seen; joined at the second
        continue;
      }
      const std::int64_t a = find(other[e]), b = find(node[p]);
      if (a == b) return false;
      parent[a] = b;
    }
  }
  return true;
}

// A cyclic colouring of the pattern with one diagonal of each square added (the offset
// d1 + d2 of the two shortest offsets of a middle vertex): on a grid, the triangular
// lattice, whose three-colouring is an acyclic colouring of the grid. A guess, kept only if
// it proves acyclic.
bool triangulated_lattice(const Graph& graph, Index fewer_than, Coloring& out) {
  const Index n = graph.n;
  if (n < 4) return false;
  const Index middle = n / 2;
  std::vector<Index> ahead;
  for (std::int64_t p = graph.begin(middle); p < graph.end(middle); ++p) {
    if (graph.adj[p] > middle) ahead.push_back(graph.adj[p] - middle);
  }
  if (ahead.size() < 2) return false;
  const std::int64_t diagonal = std::int64_t{ahead[0]} + ahead[1];
  auto adjacent = [&](Index a, Index b) {
    return std::binary_search(graph.adj.begin() + graph.begin(a), graph.adj.begin() + graph.end(a),
                              b);
  };
  std::vector<std::int32_t> rows, cols;
  Index row = 0;
  for (Index v = 0; v < n; ++v) {
    for (std::int64_t p = graph.begin(v); p < graph.end(v); ++p) {
      if (graph.adj[p] < v) continue;
      rows.insert(rows.end(), {row, row});
      cols.insert(cols.end(), {v, graph.adj[p]});
      ++row;
    }
    const std::int64_t w = v + diagonal;
    if (w < n && !adjacent(v, static_cast<Index>(w))) {
      const Index a = v + ahead[0], b = v + ahead[1];
      if ((adjacent(v, a) && adjacent(a, static_cast<Index>(w))) ||
          (adjacent(v, b) && adjacent(b, static_cast<Index>(w)))) {
        rows.insert(rows.end(), {row, row});
        cols.insert(cols.end(), {v, static_cast<Index>(w)});
        ++row;
      }
    }
  }
  Pattern squares;
  if (build_pattern(row, n, Layout::kCoordinates, {rows.data(), rows.size(), false},
                    {cols.data(), cols.size(), false}, squares) != BuildError::kNone) {
    return false;
  }
  RowClasses classes(squares);
  Context context(squares, classes);
  Coloring found;
  if (!lattice_coloring(context, fewer_than, found) || !is_acyclic(graph, found.color)) {
    return false;
  }
  out = std::move(found);
  return true;
}

constexpr int kSearchPasses = 24;
constexpr int kSearchIdle = 3;  // passes in a row without fewer colours

}  // namespace

// A colouring whose two-coloured subgraphs are forests (star colourings are among them) has
// at most (k - 1) n' - 1 edges on its n' vertices with edges: so k >= 1 + ceil((m + 1) / n').
Index forest_bound(const Graph& graph) {
  std::int64_t touched = 0;
  for (Index v = 0; v < graph.n; ++v) touched += graph.degree(v) > 0;
  if (graph.edges == 0) return graph.n ? 1 : 0;
  return static_cast<Index>(1 + (graph.edges + 1 + touched - 1) / touched);
}

Coloring best_symmetric(const Pattern& pattern, const Graph& graph, SymmetricKind kind,
                        Index bound, std::string_view* winner) {
  Coloring fewest;
  std::string_view source;
  auto consider = [&](Coloring candidate, std::string_view how) {
    if (source.empty() || candidate.groups < fewest.groups) {
      fewest = std::move(candidate);
      source = how;
    }
    return fewest.groups <= bound;
  };
  auto done = [&]() {
    if (winner) *winner = source;
    return std::move(fewest);
  };
  auto colour = kind == SymmetricKind::kStar ? star_coloring : acyclic_coloring;
  bound = std::max(bound, forest_bound(graph));
  Index widest = 0;  // the longest row, diagonal included
  for (Index v = 0; v < graph.n; ++v) widest = std::max(widest, graph.degree(v) + 1);
  for (const SymmetricOrdering& ordering : kSymmetricOrderings) {
    if (consider(colour(graph, ordering.order(graph)), ordering.name)) return done();
    if (kind == SymmetricKind::kStar && ordering.order == natural_vertices &&
        fewest.groups > widest) {
      // On bands and stencils a distance-2 colouring reaches 2 * (half bandwidth) + 1 and the
      // 5-point grid's 5, where the greedy star colourings may need more. It can never need
      // fewer than the widest row, so it is not tried where natural order has reached that.
      const Pattern full = with_diagonal(pattern);
      RowClasses classes(full);
      Context context(full, classes);
      if (consider(natural(context), "distance2")) return done();
      Coloring lattice;
      if (lattice_coloring(context, fewest.groups, lattice) && consider(std::move(lattice), "lattice")) {
        return done();
      }
    }
  }
  if (kind == SymmetricKind::kAcyclic) {
    Coloring lattice;
    if (triangulated_lattice(graph, fewest.groups, lattice) &&
        consider(std::move(lattice), "lattice")) {
      return done();
    }
  }
  // Iterated greedy (Culberson and Luo 1996) on the colour classes found: for these colourings
  // a pass may need more colours as well as fewer, so the fewest seen is kept.
  std::mt19937_64 random(0);
  Coloring current = fewest;
  for (int pass = 0, idle = 0; pass < kSearchPasses && idle < kSearchIdle && fewest.groups > bound;
       ++pass) {
    std::vector<Index> rank(current.groups);
    std::iota(rank.begin(), rank.end(), 0);
    if (pass % 3 == 0) {
      std::reverse(rank.begin(), rank.end());
    } else {
      std::shuffle(rank.begin(), rank.end(), random);
    }
    std::vector<Index> order(graph.n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](Index a, Index b) {
      return rank[current.color[a]] < rank[current.color[b]];
    });
    current = colour(graph, order);
    const Index before = fewest.groups;
    if (consider(current, "search")) return done();
    idle = fewest.groups < before ? 0 : idle + 1;
    if (current.groups > fewest.groups + 1) current = fewest;
  }
  return done();
}

}  // namespace grouping
