// Greedy acyclic colouring: a distance-1 colouring in which the edges of any two colours form
// a forest, so that each tree can be solved for its entries from its leaves inwards.
#include <algorithm>
#include <numeric>
#include <utility>

#include "symmetric.hpp"

namespace grouping {
namespace {

// Disjoint sets of edges (the two-coloured trees), by rank with path halving.
class Forest {
 public:
  explicit Forest(std::int64_t edges) : parent_(static_cast<std::size_t>(edges)),
                                        rank_(static_cast<std::size_t>(edges), 0) {
    std::iota(parent_.begin(), parent_.end(), 0);
  }
  std::int64_t find(std::int64_t e) {
    while (parent_[e] != e) {
      parent_[e] = parent_[parent_[e]];
      e = parent_[e];
    }
    return e;
  }
  void unite(std::int64_t a, std::int64_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return;
    if (rank_[a] < rank_[b]) std::swap(a, b);
    parent_[b] = a;
    if (rank_[a] == rank_[b]) ++rank_[a];
  }

 private:
  std::vector<std::int64_t> parent_;
  std::vector<std::uint8_t> rank_;
};

struct Visit {
  Index vertex = -1;
  Index neighbour = -1;
  std::int64_t edge = -1;
};

class AcyclicColoring {
 public:
  explicit AcyclicColoring(const Graph& graph)
      : g_(graph), color_(graph.n, -1), forbidden_(static_cast<std::size_t>(graph.n) + 1, -1),
        first_neighbour_(static_cast<std::size_t>(graph.n) + 1),
        first_visit_(static_cast<std::size_t>(graph.edges)), forest_(graph.edges),
        by_colour_(graph.adj.size()), by_colour_count_(graph.n, 0) {}

  // Gebremedhin, Tarafdar, Manne and Pothen 2007, Algorithm 3.1.
  Coloring run(const std::vector<Index>& order) {
    Index groups = 0;
    for (Index v : order) {
      for (std::int64_t p = g_.begin(v); p < g_.end(v); ++p) {
        const Index w = g_.adj[p];
        if (color_[w] >= 0) forbidden_[color_[w]] = v;
      }
      // All of w's edges to one colour lie in one two-coloured tree (they meet at w), so one
      // edge per colour stands for them: a vertex of high degree is not scanned once per
      // neighbour.
      for (std::int64_t p = g_.begin(v); p < g_.end(v); ++p) {
        const Index w = g_.adj[p];
        if (color_[w] < 0) continue;
        for (Index k = 0; k < by_colour_count_[w]; ++k) {
          const auto& [c, wx] = by_colour_[g_.begin(w) + k];
          if (forbidden_[c] != v) prevent_cycle(v, w, c, wx);
        }
      }
      Index c = 0;
      while (forbidden_[c] == v) ++c;
      color_[v] = c;
      groups = std::max(groups, c + 1);
      for (std::int64_t p = g_.begin(v); p < g_.end(v); ++p) {
        const Index w = g_.adj[p];
        if (color_[w] >= 0) grow_star(v, w, g_.edge[p]);
      }
      // Algorithm 3.4: the new edge vw joins the tree of w's edges to v's colour.
      for (std::int64_t p = g_.begin(v); p < g_.end(v); ++p) {
        const Index w = g_.adj[p];
        if (color_[w] < 0) continue;
        const std::int64_t wx = edge_towards(w, color_[v]);
        if (wx >= 0) {
          forest_.unite(g_.edge[p], wx);
        } else {
          by_colour_[g_.begin(w) + by_colour_count_[w]++] = {color_[v], g_.edge[p]};
        }
        if (edge_towards(v, color_[w]) < 0) {
          by_colour_[g_.begin(v) + by_colour_count_[v]++] = {color_[w], g_.edge[p]};
        }
      }
    }
    Coloring out;
    out.color = std::move(color_);
    out.groups = groups;
    return out;
  }

 private:
  // Algorithm 3.2: v in x's colour would close a two-coloured cycle when the tree of wx is
  // reached from v through two different neighbours.
  void prevent_cycle(Index v, Index w, Index x_colour, std::int64_t wx) {
    const std::int64_t tree = forest_.find(wx);
    Visit& visit = first_visit_[tree];
    if (visit.vertex != v) {
      visit = {v, w, -1};
    } else if (visit.neighbour != w) {
      forbidden_[x_colour] = v;
    }
  }

  std::int64_t edge_towards(Index w, Index colour) const {
    for (Index k = 0; k < by_colour_count_[w]; ++k) {
      if (by_colour_[g_.begin(w) + k].first == colour) return by_colour_[g_.begin(w) + k].second;
    }
    return -1;
  }

  // Algorithm 3.3: the edges from v to neighbours of one colour form one tree.
  void grow_star(Index v, Index w, std::int64_t vw) {
    Visit& first = first_neighbour_[color_[w]];
    if (first.vertex != v) {
      first = {v, w, vw};
    } else {
      forest_.unite(vw, first.edge);
    }
  }

  const Graph& g_;
  std::vector<Index> color_;
  std::vector<Index> forbidden_;
  std::vector<Visit> first_neighbour_;  // per colour
  std::vector<Visit> first_visit_;      // per tree (its root edge)
  Forest forest_;
  // Per vertex, in its stretch of the adjacency: one edge to each colour around it.
  std::vector<std::pair<Index, std::int64_t>> by_colour_;
  std::vector<Index> by_colour_count_;
};

}  // namespace

Coloring acyclic_coloring(const Graph& graph, const std::vector<Index>& order) {
  return AcyclicColoring(graph).run(order);
}

}  // namespace grouping
