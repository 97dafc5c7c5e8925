// Orderings by degree in the column intersection graph (columns adjacent when they share a
// row), after the classic sequential colouring heuristics. Among equal keys the column whose
// key changed last goes first; at the start, larger degree, then lower index.
#include "orderings.hpp"

#include <algorithm>
#include <numeric>

#include "bucket_queue.hpp"

namespace grouping {
namespace {

Index max_degree(const std::vector<Index>& degree) {
  return degree.empty() ? 0 : *std::max_element(degree.begin(), degree.end());
}

// Fills a queue so that among equal keys the column of larger degree, then lower index,
// comes out first.
void fill(BucketQueue& queue, const std::vector<Index>& by_degree,
          const std::vector<Index>& key) {
  for (auto it = by_degree.rbegin(); it != by_degree.rend(); ++it) queue.push_front(*it, key[*it]);
}

}  // namespace

// Counting sort, stable in the direction the columns are visited.
std::vector<Index> by_decreasing_degree(const std::vector<Index>& degree, bool higher_index_first) {
  const Index top = max_degree(degree);
  const Index n = static_cast<Index>(degree.size());
  std::vector<Index> start(static_cast<std::size_t>(top) + 2, 0);
  for (Index d : degree) ++start[top - d + 1];
  std::partial_sum(start.begin(), start.end(), start.begin());
  std::vector<Index> order(degree.size());
  for (Index k = 0; k < n; ++k) {
    Index j = higher_index_first ? n - 1 - k : k;
    order[start[top - degree[j]]++] = j;
  }
  return order;
}

Coloring natural(Context& context) {
  std::vector<Index> order(context.pattern.n_cols);
  std::iota(order.begin(), order.end(), 0);
  return greedy(context.pattern, context.classes, order);
}

Coloring largest_first(Context& context) {
  return greedy(context.pattern, context.classes, by_decreasing_degree(context.degree(), true));
}

// Repeatedly sets aside a column of least degree among those left; colours in the reverse
// of that order, so that each column meets few coloured neighbours when its turn comes.
// Among equal degrees at the start the higher index goes first, as in Coleman and Moré's
// MINPACK routine: on grids this sweeps the columns as a front and finds the 2-D five-point
// stencil's five groups.
Coloring smallest_last(Context& context) {
  const Index n = context.pattern.n_cols;
  BucketQueue queue(n, max_degree(context.degree()));
  for (Index j = 0; j < n; ++j) queue.push_front(j, context.degree()[j]);
  std::vector<Index> order(n);
  for (Index position = n - 1; position >= 0; --position) {
    Index j = queue.pop_min();
    order[position] = j;
    context.neighbours.for_each(j, [&](Index k) {
      if (queue.contains(k) && queue.key(k) > 0) queue.change(k, queue.key(k) - 1);
    });
  }
  return greedy(context.pattern, context.classes, order);
}

namespace {

// Takes the column of largest key next, of largest degree among the first `scan` of them;
// each neighbour still waiting has its key moved by `change` (keys stay non-negative).
Coloring by_changing_key(Context& context, const std::vector<Index>& key, Index change,
                         Index scan, bool higher_index_first) {
  const Index n = context.pattern.n_cols;
  BucketQueue queue(n, max_degree(context.degree()));
  fill(queue, by_decreasing_degree(context.degree(), higher_index_first), key);
  std::vector<Index> order;
  order.reserve(n);
  while (!queue.empty()) {
    Index j = queue.pop_max_by(context.degree(), scan);
    order.push_back(j);
    context.neighbours.for_each(j, [&](Index k) {
      if (queue.contains(k) && queue.key(k) + change >= 0) queue.change(k, queue.key(k) + change);
    });
  }
  return greedy(context.pattern, context.classes, order);
}

}  // namespace

// Next, the column with the most neighbours already ordered; among those, the one of
// largest degree within the first (sum of squared row lengths) / n of them, as in Coleman
// and Moré's incidence-degree ordering, which keeps the scan's cost near one pass.
Coloring incidence_degree(Context& context) {
  const Pattern& pattern = context.pattern;
  std::int64_t squares = 0;
  for (Index i = 0; i < pattern.n_rows; ++i) {
    // Dense rows left out, so that one full row does not make the scan as long as n.
    if (!context.classes.dense(i)) {
      squares += std::int64_t{pattern.by_row.count(i)} * pattern.by_row.count(i);
    }
  }
  const Index scan = static_cast<Index>(
      std::max<std::int64_t>(1, pattern.n_cols ? squares / pattern.n_cols : 1));
  return by_changing_key(context, std::vector<Index>(pattern.n_cols, 0), +1, scan, true);
}

// Next, the column with the most neighbours not yet ordered.
Coloring dynamic_largest_first(Context& context) {
  return by_changing_key(context, context.degree(), -1, 1, false);
}

const Ordering* find_ordering(std::string_view name) {
  for (const Ordering& ordering : kOrderings) {
    if (ordering.name == name) return &ordering;
  }
  return nullptr;
}

}  // namespace grouping
