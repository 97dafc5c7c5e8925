// "best": the orderings in turn, then a local search from the fewest groups found.
#pragma once

#include <cstdint>

#include "orderings.hpp"

namespace grouping {

struct SearchLimits {
  std::uint64_t seed = 0;
  int passes = 100;          // greedy passes the local search may make, at most
  int passes_idle = 40;      // ... and without finding fewer groups
};

Coloring best(Context& context, const SearchLimits& limits);

// Iterated greedy: recolours with the current groups kept together, in a new order of
// groups; a first-fit pass in such an order never needs more groups than it started from.
Coloring iterated_greedy(Context& context, Coloring start, Index target,
                         const SearchLimits& limits);

}  // namespace grouping
