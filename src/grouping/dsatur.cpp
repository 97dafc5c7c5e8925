// Saturation-degree colouring (Brélaz's DSATUR, 1979): next, the column whose neighbours
// already use the most distinct colours. On grid stencils it finds colourings that static
// orders miss.
#include <algorithm>

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

// Columns in buckets by saturation, each bucket a stack: a raised column is pushed again
// and its old entry skipped when it surfaces, which costs less than unlinking it.
class SaturationBuckets {
 public:
  explicit SaturationBuckets(Index columns) : saturation_(columns, 0), done_(columns, false) {}

  void push(Index column) {
    Index s = saturation_[column];
    if (static_cast<std::size_t>(s) >= stacks_.size()) stacks_.resize(s + 1);
    stacks_[s].push_back(column);
    if (s > high_) high_ = s;
  }

  void raise(Index column) {
    ++saturation_[column];
    push(column);
  }

  bool done(Index column) const { return done_[column]; }

  // The most saturated column not yet taken, the last raised first; -1 when none is left.
  Index pop() {
    for (; high_ >= 0; --high_) {
      std::vector<Index>& stack = stacks_[high_];
      while (!stack.empty()) {
        Index column = stack.back();
        stack.pop_back();
        if (!done_[column] && saturation_[column] == high_) {
          done_[column] = true;
          return column;
        }
      }
    }
    return -1;
  }

 private:
  std::vector<std::vector<Index>> stacks_;
  std::vector<Index> saturation_;
  std::vector<bool> done_;
  Index high_ = -1;
};

}  // namespace

// Among equal saturation the column raised last goes first, which makes the colouring
// sweep through a grid as a front; at the start, larger degree then lower index.
Coloring dsatur(Context& context) {
  const Index n = context.pattern.n_cols;
  FirstFit fit(context.pattern, context.classes);
  SeenColours seen(n);
  SaturationBuckets queue(n);
  const std::vector<Index> order = by_decreasing_degree(context.degree());
  for (auto it = order.rbegin(); it != order.rend(); ++it) queue.push(*it);
  for (Index j = queue.pop(); j >= 0; j = queue.pop()) {
    Index color = fit.choose(j);
    fit.assign(j, color);
    context.neighbours.for_each(j, [&](Index k) {
      if (!queue.done(k) && seen.mark(k, color)) queue.raise(k);
    });
  }
  return fit.take();
}

}  // namespace grouping
