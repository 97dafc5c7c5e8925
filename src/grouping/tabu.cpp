// Tabu search for fewer groups (after Hertz and de Werra's TABUCOL, 1987): drop the last
// group, spread its columns over the others, then move one column at a time out of
// conflict. A conflict is two columns of one group sharing a row; the search keeps for
// every column how many neighbours each group holds, so a move costs the column's
// neighbours plus the number of groups.
#include <algorithm>
#include <random>

#include "search.hpp"

namespace grouping {
namespace {

constexpr std::size_t kSample = 8;  // columns in conflict weighed per move, at most
constexpr std::int64_t kLongestAttempt = std::int64_t{1} << 30;  // steps fit the tabu stamps

// The column intersection graph, built once: the distinct neighbours of every column.
struct Adjacency {
  std::vector<std::int64_t> ptr;
  std::vector<Index> idx;

  Adjacency(Context& context) {
    const Index n = context.pattern.n_cols;
    ptr.assign(static_cast<std::size_t>(n) + 1, 0);
    for (Index j = 0; j < n; ++j) {
      std::int64_t count = 0;
      context.neighbours.for_each(j, [&](Index) { ++count; });
      ptr[j + 1] = ptr[j] + count;
    }
    idx.resize(static_cast<std::size_t>(ptr[n]));
    for (Index j = 0; j < n; ++j) {
      std::int64_t next = ptr[j];
      context.neighbours.for_each(j, [&](Index k) { idx[next++] = k; });
    }
  }
};

class ConflictSearch {
 public:
  ConflictSearch(const Adjacency& adjacency, std::vector<Index> color, Index groups,
                 std::mt19937_64& random)
      : adjacency_(adjacency), groups_(groups), color_(std::move(color)), random_(random) {
    const Index n = static_cast<Index>(color_.size());
    slots_.assign(static_cast<std::size_t>(n) * groups_, Slot{});
    position_.assign(n, -1);
    // Columns of the dropped group go, one by one, where they meet the fewest neighbours.
    std::vector<Index> homeless;
    for (Index j = 0; j < n; ++j) {
      if (color_[j] >= groups_) {
        homeless.push_back(j);
      } else {
        add_to_neighbours(j, color_[j], +1);
      }
    }
    for (Index j : homeless) {
      const Slot* own = &slots_[slot(j, 0)];
      color_[j] = static_cast<Index>(
          std::min_element(own, own + groups_,
                           [](const Slot& a, const Slot& b) { return a.held < b.held; }) -
          own);
      add_to_neighbours(j, color_[j], +1);
    }
    for (Index j = 0; j < n; ++j) {
      conflicts_ += held(j, color_[j]);
      if (held(j, color_[j]) > 0) enter(j);
    }
    conflicts_ /= 2;
    fewest_conflicts_ = conflicts_;
  }

  // Moves columns until none is in conflict or the iterations run out; returns the
  // iterations spent.
  std::int64_t run(std::int64_t iterations) {
    std::uniform_int_distribution<int> jitter(0, 9);
    std::int64_t step = 1;
    iterations = std::min(iterations, kLongestAttempt / 2);
    for (; step <= iterations && !conflicted_.empty(); ++step) {
      // The best move of the columns in conflict, or of a random sample of them when they
      // are many; ties broken at random.
      Index j = -1, to = -1;
      std::int32_t best = 0;
      int ties = 0;
      const std::size_t in_conflict = conflicted_.size();
      const bool sample = in_conflict > kSample;
      std::uniform_int_distribution<std::size_t> any(0, in_conflict - 1);
      for (std::size_t k = 0; k < (sample ? kSample : in_conflict); ++k) {
        Index candidate = conflicted_[sample ? any(random_) : k];
        Index from = color_[candidate];
        std::int32_t here = held(candidate, from);
        for (Index c = 0; c < groups_; ++c) {
          if (c == from) continue;
          std::int32_t delta = held(candidate, c) - here;
          bool tabu = slots_[slot(candidate, c)].free_at > step;
          if (tabu && conflicts_ + delta >= fewest_conflicts_) continue;
          if (to < 0 || delta < best) {
            j = candidate;
            to = c;
            best = delta;
            ties = 1;
          } else if (delta == best &&
                     std::uniform_int_distribution<int>(0, ties++)(random_) == 0) {
            j = candidate;
            to = c;
          }
        }
      }
      if (to < 0) continue;
      Index from = color_[j];
      conflicts_ += best;
      fewest_conflicts_ = std::min(fewest_conflicts_, conflicts_);
      slots_[slot(j, from)].free_at = static_cast<std::int32_t>(std::min<std::int64_t>(
          kLongestAttempt, step + jitter(random_) + std::int64_t(conflicted_.size() * 6 / 10)));
      move(j, from, to);
    }
    return step - 1;
  }

  bool solved() const { return conflicted_.empty(); }

  std::vector<Index> take() { return std::move(color_); }

 private:
  std::size_t slot(Index j, Index c) const { return static_cast<std::size_t>(j) * groups_ + c; }
  std::int32_t held(Index j, Index c) const { return slots_[slot(j, c)].held; }

  void add_to_neighbours(Index j, Index c, std::int32_t change) {
    for (std::int64_t p = adjacency_.ptr[j]; p < adjacency_.ptr[j + 1]; ++p) {
      slots_[slot(adjacency_.idx[p], c)].held += change;
    }
  }

  void enter(Index j) {
    if (position_[j] >= 0) return;
    position_[j] = static_cast<Index>(conflicted_.size());
    conflicted_.push_back(j);
  }

  void leave(Index j) {
    Index at = position_[j];
    if (at < 0) return;
    Index last = conflicted_.back();
    conflicted_[at] = last;
    position_[last] = at;
    conflicted_.pop_back();
    position_[j] = -1;
  }

  void update(Index j) {
    if (held(j, color_[j]) > 0) {
      enter(j);
    } else {
      leave(j);
    }
  }

  void move(Index j, Index from, Index to) {
    color_[j] = to;
    for (std::int64_t p = adjacency_.ptr[j]; p < adjacency_.ptr[j + 1]; ++p) {
      Index k = adjacency_.idx[p];
      --slots_[slot(k, from)].held;
      ++slots_[slot(k, to)].held;
      if (color_[k] == from || color_[k] == to) update(k);
    }
    update(j);
  }

  const Adjacency& adjacency_;
  Index groups_;
  std::vector<Index> color_;
  std::mt19937_64& random_;
  // Per column and group, side by side so that weighing a column's moves reads one line.
  struct Slot {
    std::int32_t held = 0;     // the column's neighbours in the group
    std::int32_t free_at = 0;  // the step before which the column may not return to it
  };
  std::vector<Slot> slots_;
  std::vector<Index> conflicted_;          // columns in conflict, in no order
  std::vector<Index> position_;            // each column's place in conflicted_, or -1
  std::int64_t conflicts_ = 0;             // pairs of neighbours in one group
  std::int64_t fewest_conflicts_ = 0;
};

}  // namespace

Coloring tabu_search(Context& context, Coloring start, Index target, std::int64_t iterations,
                     std::uint64_t seed) {
  if (context.classes.dense_count() > 0 || start.groups <= target) return start;
  std::mt19937_64 random(seed ^ 0x9e3779b97f4a7c15ULL);
  Adjacency adjacency(context);
  Coloring fewest = std::move(start);
  while (fewest.groups > target && iterations > 0) {
    ConflictSearch search(adjacency, fewest.color, fewest.groups - 1, random);
    iterations -= search.run(iterations);
    if (!search.solved()) break;
    fewest.color = search.take();
    fewest.groups -= 1;
  }
  return fewest;
}

}  // namespace grouping
