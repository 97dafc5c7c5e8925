// Greedy first-fit colouring of the columns, where two columns conflict when they share a
// row; a colour is a group. The pieces every ordering and the local search share.
// Curtis, Powell and Reid (1974) grouped a Jacobian's columns this way; Coleman and Moré
// (1983) saw it as colouring the column intersection graph (a distance-2 colouring of the
// bipartite graph of rows and columns, Gebremedhin, Manne and Pothen 2005).
#pragma once

#include <cstdint>
#include <vector>

#include "pattern.hpp"

namespace grouping {

struct Coloring {
  std::vector<Index> color;  // per column, -1 while uncoloured
  Index groups = 0;
};

// Every row keeps a word of the colours 0 to 63 used in it, so that while a colouring
// needs at most 64 groups a column's first fit is the OR of one word per row. Beyond that,
// rows are split into sparse rows, whose columns are visited one by one, and dense rows,
// which keep a bitset of all the colours used in them: a column's forbidden colours are
// found in time proportional to its sparse rows' entries plus a few words per dense row,
// so that one full row (an arrow pattern) does not make a pass quadratic.
class RowClasses {
 public:
  explicit RowClasses(const Pattern& pattern);
  bool dense(Index row) const { return dense_id_[row] >= 0; }
  Index dense_id(Index row) const { return dense_id_[row]; }
  Index dense_count() const { return dense_count_; }

 private:
  std::vector<Index> dense_id_;
  Index dense_count_ = 0;
};

// First-fit colour choice against the colours assigned so far.
class FirstFit {
 public:
  FirstFit(const Pattern& pattern, const RowClasses& classes);

  void reset();                      // every column uncoloured again
  Index choose(Index column);        // the smallest colour no row of the column has used
  void assign(Index column, Index color);
  const Coloring& coloring() const { return coloring_; }
  Coloring take() { return std::move(coloring_); }

 private:
  bool used_in_dense(Index dense, Index color) const;
  Index next_free_in_dense(Index dense, Index from) const;

  const Pattern& pattern_;
  const RowClasses& classes_;
  Coloring coloring_;
  std::vector<std::uint64_t> low_used_;   // per row, a bit for each of the colours 0 to 63 used
  std::vector<std::uint64_t> forbidden_;  // stamp per colour: forbidden for the current column
  std::uint64_t stamp_ = 0;
  std::vector<std::vector<std::uint64_t>> dense_used_;  // per dense row, a bit per colour
  std::vector<std::size_t> dense_full_words_;  // per dense row, leading words with every bit set
  std::vector<Index> dense_rows_;              // scratch: the current column's dense rows
};

// The distinct columns that share a sparse row with a column, each visited once.
class Neighbours {
 public:
  Neighbours(const Pattern& pattern, const RowClasses& classes);

  template <typename Visit>
  void for_each(Index column, Visit&& visit) {
    // Marks made on first use: the natural order's single pass never needs them.
    if (seen_.empty()) seen_.assign(pattern_.n_cols, 0);
    ++stamp_;
    seen_[column] = stamp_;
    const Compressed& by_col = pattern_.by_col;
    const Compressed& by_row = pattern_.by_row;
    for (std::int64_t p = by_col.begin(column); p < by_col.end(column); ++p) {
      Index row = by_col.idx[p];
      if (classes_.dense(row)) continue;
      for (std::int64_t q = by_row.begin(row); q < by_row.end(row); ++q) {
        Index other = by_row.idx[q];
        if (seen_[other] != stamp_) {
          seen_[other] = stamp_;
          visit(other);
        }
      }
    }
  }

  // Distinct neighbours through sparse rows, plus every other entry of the dense rows
  // (counted without removing columns already met elsewhere).
  std::vector<Index> degrees();

 private:
  const Pattern& pattern_;
  const RowClasses& classes_;
  std::vector<std::uint64_t> seen_;
  std::uint64_t stamp_ = 0;
};

// Colours the columns greedily in the given order (a permutation of all columns).
Coloring greedy(const Pattern& pattern, const RowClasses& classes, const std::vector<Index>& order);

// Groups that hold at least one column with entries: what a Jacobian costs in evaluations.
Index costly_groups(const Pattern& pattern, const Coloring& coloring);

}  // namespace grouping
