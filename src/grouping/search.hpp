// "best": natural order, a stencil's lattice colouring, the other orderings in turn, then a
// local search from the fewest groups found; it stops as soon as one reaches the bound.
#pragma once

#include <cstdint>
#include <string_view>

#include "orderings.hpp"

namespace grouping {

struct SearchLimits {
  std::uint64_t seed = 0;
  int passes = 24;                    // greedy passes of the local search, at most
  int passes_idle = 8;                // ... and in a row without finding fewer groups
  std::int64_t moves_per_entry = 2;   // moves of the tabu search that follows, at most
};

// `winner`, if given, names what found the result: an ordering, "lattice" or "search".
Coloring best(Context& context, const SearchLimits& limits, std::string_view* winner = nullptr);

// Iterated greedy (Culberson and Luo, 1996): recolours with the current groups kept
// together, in a new order of groups; a first-fit pass in such an order never needs more
// groups than it started from.
Coloring iterated_greedy(Context& context, Coloring start, Index target,
                         const SearchLimits& limits);

// Groups numbered from 0 in the order of their first column with entries; columns without
// entries in group 0.
void renumber(const Pattern& pattern, Coloring& coloring);

// Tries for one group fewer at a time, within `iterations` moves in all.
Coloring tabu_search(Context& context, Coloring start, Index target, std::int64_t iterations,
                     std::uint64_t seed);

}  // namespace grouping
