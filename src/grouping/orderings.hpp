// The named orderings: each colours the columns greedily in an order of its own.
#pragma once

#include <string_view>
#include <vector>

#include "coloring.hpp"

namespace grouping {

// What the orderings share for one pattern; the degrees are counted on first use, since
// the natural order, often enough on its own, does not need them.
struct Context {
  Context(const Pattern& pattern, const RowClasses& classes)
      : pattern(pattern), classes(classes), neighbours(pattern, classes) {}

  const std::vector<Index>& degree() {
    if (degree_.size() != static_cast<std::size_t>(pattern.n_cols)) degree_ = neighbours.degrees();
    return degree_;
  }

  const Pattern& pattern;
  const RowClasses& classes;
  Neighbours neighbours;

 private:
  std::vector<Index> degree_;
};

using Strategy = Coloring (*)(Context& context);

struct Ordering {
  std::string_view name;
  Strategy run;
};

Coloring natural(Context& context);
Coloring largest_first(Context& context);
Coloring smallest_last(Context& context);
Coloring incidence_degree(Context& context);
Coloring dynamic_largest_first(Context& context);
Coloring dsatur(Context& context);

// Cheapest first: the order in which "best" tries them.
inline constexpr Ordering kOrderings[] = {
    {"natural", natural},
    {"dsatur", dsatur},
    {"smallest_last", smallest_last},
    {"largest_first", largest_first},
    {"incidence_degree", incidence_degree},
    {"dynamic_largest_first", dynamic_largest_first},
};

// Columns by decreasing static degree, lower index first among equals, or higher index
// first (the order of Coleman and Moré's MINPACK routines).
std::vector<Index> by_decreasing_degree(const std::vector<Index>& degree,
                                        bool higher_index_first = false);

const Ordering* find_ordering(std::string_view name);

}  // namespace grouping
