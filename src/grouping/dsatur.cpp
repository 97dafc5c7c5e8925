// Saturation-degree colouring: next, the column whose neighbours already use the most
// distinct colours. On grid stencils it finds the colourings that every static order misses.
#include <algorithm>

#include "bucket_queue.hpp"
#include "orderings.hpp"

namespace grouping {
namespace {

// The colours seen around each column, as a bitset per column whose width doubles when a
// colour beyond it appears.
class SeenColours {
 public:
  explicit SeenColours(Index columns) : columns_(columns), bits_(columns, 0) {}

  // Marks `color` as seen around `column`; true if it was new there.
  bool mark(Index column, Index color) {
    std::size_t word = static_cast<std::size_t>(color) / 64;
    if (word >= words_) widen(word + 1);
    std::uint64_t& bits = bits_[static_cast<std::size_t>(column) * words_ + word];
    std::uint64_t bit = std::uint64_t{1} << (color % 64);
    if (bits & bit) return false;
    bits |= bit;
    return true;
  }

 private:
  void widen(std::size_t at_least) {
    std::size_t words = std::max(at_least, 2 * words_);
    std::vector<std::uint64_t> wider(static_cast<std::size_t>(columns_) * words, 0);
    for (std::size_t j = 0; j < static_cast<std::size_t>(columns_); ++j) {
      std::copy_n(bits_.begin() + j * words_, words_, wider.begin() + j * words);
    }
    bits_.swap(wider);
    words_ = words;
  }

  Index columns_;
  std::size_t words_ = 1;
  std::vector<std::uint64_t> bits_;
};

}  // namespace

// Among equal saturation the column raised last goes first, which makes the colouring
// sweep through a grid as a front; at the start, larger degree then lower index.
Coloring dsatur(Context& context) {
  const Index n = context.pattern.n_cols;
  FirstFit fit(context.pattern, context.classes);
  SeenColours seen(n);
  BucketQueue queue(n, 64);
  const std::vector<Index> order = by_decreasing_degree(context.degree());
  for (auto it = order.rbegin(); it != order.rend(); ++it) queue.push_front(*it, 0);
  while (!queue.empty()) {
    Index j = queue.pop_max();
    Index color = fit.choose(j);
    fit.assign(j, color);
    context.neighbours.for_each(j, [&](Index k) {
      if (queue.contains(k) && seen.mark(k, color)) queue.change(k, queue.key(k) + 1);
    });
  }
  return fit.take();
}

}  // namespace grouping
