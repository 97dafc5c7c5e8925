// Greedy star colouring: a distance-1 colouring in which every path on four vertices takes at
// least three colours, so that the edges of any two colours form stars, and each entry of the
// Hessian is read, unmixed, in the row of its star's leaf.
#include <algorithm>
#include <utility>

#include "symmetric.hpp"

namespace grouping {
namespace {

struct FirstNeighbour {
  Index vertex = -1;  // the vertex being coloured when the colour was first met around it
  Index neighbour = -1;
  std::int64_t edge = -1;
};

class StarColoring {
 public:
  explicit StarColoring(const Graph& graph)
      : g_(graph), color_(graph.n, -1), forbidden_(static_cast<std::size_t>(graph.n) + 1, -1),
        first_(static_cast<std::size_t>(graph.n) + 1), treated_(graph.n, -1),
        star_(static_cast<std::size_t>(graph.edges), -1), hubs_(graph.adj.size()),
        hubs_count_(graph.n, 0), by_colour_(graph.adj.size()), by_colour_count_(graph.n, 0) {}

  // Gebremedhin, Tarafdar, Manne and Pothen 2007, Algorithm 4.1: each edge between coloured
  // vertices belongs to a two-coloured star, whose hub is known once it has two edges.
  Coloring run(const std::vector<Index>& order) {
    Index groups = 0;
    for (Index v : order) {
      for (std::int64_t p = g_.begin(v); p < g_.end(v); ++p) {
        const Index w = g_.adj[p];
        if (color_[w] < 0) continue;
        forbidden_[color_[w]] = v;
        FirstNeighbour& first = first_[color_[w]];
        if (first.vertex == v) {
          // v would be the hub of a star with leaves q and w: no colour around either may
          // come back at v's far side (Algorithm 4.1, case 1).
          if (treated_[first.neighbour] != v) treat(v, first.neighbour);
          treat(v, w);
        } else {
          first = {v, w, g_.edge[p]};
          // w is a leaf of a star centred at x: v in x's colour would extend it into a path
          // of four vertices in two colours (case 2). The hubs of w's stars are kept with w,
          // so that a hub of high degree is not scanned once per neighbour.
          for (Index k = 0; k < hubs_count_[w]; ++k) {
            const Index x = hubs_[g_.begin(w) + k];
            if (x != v) forbidden_[color_[x]] = v;
          }
        }
      }
      Index c = 0;
      while (forbidden_[c] == v) ++c;
      color_[v] = c;
      groups = std::max(groups, c + 1);
      update_stars(v);
    }
    Coloring out;
    out.color = std::move(color_);
    out.groups = groups;
    return out;
  }

 private:
  // Algorithm 4.2: the colours of w's coloured neighbours are forbidden for v.
  void treat(Index v, Index w) {
    for (std::int64_t q = g_.begin(w); q < g_.end(w); ++q) {
      const Index x = g_.adj[q];
      if (color_[x] >= 0) forbidden_[color_[x]] = v;
    }
    treated_[w] = v;
  }

  // Algorithm 4.3: each new edge vw joins the star of an edge wx with x in v's colour (hub
  // w), or of an edge vq with q in w's colour (hub v), or starts a star of its own. The star
  // of w's edges to each colour is kept with w, in place of a scan of w's neighbours.
  void update_stars(Index v) {
    for (std::int64_t p = g_.begin(v); p < g_.end(v); ++p) {
      const Index w = g_.adj[p];
      if (color_[w] < 0) continue;
      const std::int64_t through_w = star_towards(w, color_[v]);
      if (through_w >= 0) {
        make_hub(through_w, w);
        add_leaf(v, w);
        star_[g_.edge[p]] = through_w;
        set_star_towards(v, color_[w], through_w);
        continue;
      }
      const FirstNeighbour& first = first_[color_[w]];
      std::int64_t star;
      if (first.vertex == v && first.neighbour != w) {
        star = star_[first.edge];
        make_hub(star, v);
        add_leaf(w, v);
      } else {
        star = static_cast<std::int64_t>(hub_.size());
        hub_.push_back(-1);  // one edge: no hub yet
        ends_.push_back({v, w});
        set_star_towards(v, color_[w], star);
      }
      star_[g_.edge[p]] = star;
      set_star_towards(w, color_[v], star);
    }
  }

  // A star of one edge gets its hub, and the edge's other end becomes a leaf.
  void make_hub(std::int64_t star, Index hub) {
    if (hub_[star] >= 0) return;
    hub_[star] = hub;
    const auto& [a, b] = ends_[star];
    add_leaf(a == hub ? b : a, hub);
  }

  void add_leaf(Index leaf, Index hub) { hubs_[g_.begin(leaf) + hubs_count_[leaf]++] = hub; }

  std::int64_t star_towards(Index w, Index colour) const {
    for (Index k = 0; k < by_colour_count_[w]; ++k) {
      const auto& [c, star] = by_colour_[g_.begin(w) + k];
      if (c == colour) return star;
    }
    return -1;
  }

  void set_star_towards(Index w, Index colour, std::int64_t star) {
    for (Index k = 0; k < by_colour_count_[w]; ++k) {
      if (by_colour_[g_.begin(w) + k].first == colour) return;  // one star per colour
    }
    by_colour_[g_.begin(w) + by_colour_count_[w]++] = {colour, star};
  }

  const Graph& g_;
  std::vector<Index> color_;
  std::vector<Index> forbidden_;  // per colour, the vertex for which it was last forbidden
  std::vector<FirstNeighbour> first_;  // per colour
  std::vector<Index> treated_;
  std::vector<std::int64_t> star_;  // per edge
  std::vector<Index> hub_;          // per star
  std::vector<std::pair<Index, Index>> ends_;  // per star, its first edge
  // Per vertex, in its stretch of the adjacency (it has no more of either than neighbours):
  std::vector<Index> hubs_;  // the hubs of the stars it is a leaf of
  std::vector<Index> hubs_count_;
  std::vector<std::pair<Index, std::int64_t>> by_colour_;  // (colour, star of edges to it)
  std::vector<Index> by_colour_count_;
};

}  // namespace

Coloring star_coloring(const Graph& graph, const std::vector<Index>& order) {
  return StarColoring(graph).run(order);
}

}  // namespace grouping
