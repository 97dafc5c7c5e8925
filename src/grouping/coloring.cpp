// First-fit colouring with a bitset of used colours per dense row.
#include "coloring.hpp"

#include <algorithm>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace grouping {
namespace {

constexpr std::int64_t kWorkPerEntry = 256;  // budget of the sparse rows' visits, per entry
constexpr std::int64_t kWorkFloor = std::int64_t{1} << 20;

// Index of the lowest clear bit; the word must have one.
inline int lowest_zero(std::uint64_t word) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanForward64(&index, ~word);
  return static_cast<int>(index);
#else
  return __builtin_ctzll(~word);
#endif
}

}  // namespace

// The longest rows are made dense, longest first, until visiting the rest column by column
// (the sum of their squared lengths) fits a budget linear in the entries.
RowClasses::RowClasses(const Pattern& pattern) : dense_id_(pattern.n_rows, -1) {
  const Index longest = pattern.lower_bound();
  std::vector<std::int64_t> rows_of_length(static_cast<std::size_t>(longest) + 1, 0);
  std::int64_t work = 0;
  for (Index i = 0; i < pattern.n_rows; ++i) {
    std::int64_t length = pattern.by_row.count(i);
    ++rows_of_length[length];
    work += length * length;
  }
  const std::int64_t budget = kWorkPerEntry * pattern.entries() + kWorkFloor;
  Index threshold = longest;  // rows longer than this are dense
  while (work > budget && threshold > 0) {
    work -= rows_of_length[threshold] * threshold * threshold;
    --threshold;
  }
  if (threshold == longest) return;  // no row is dense
  for (Index i = 0; i < pattern.n_rows; ++i) {
    if (pattern.by_row.count(i) > threshold) dense_id_[i] = dense_count_++;
  }
}

FirstFit::FirstFit(const Pattern& pattern, const RowClasses& classes)
    : pattern_(pattern), classes_(classes) {
  dense_used_.resize(classes.dense_count());
  dense_full_words_.resize(classes.dense_count());
  reset();
}

void FirstFit::reset() {
  coloring_.color.assign(pattern_.n_cols, -1);
  low_used_.assign(pattern_.n_rows, 0);
  coloring_.groups = 0;
  for (auto& bits : dense_used_) bits.clear();
  std::fill(dense_full_words_.begin(), dense_full_words_.end(), 0);
}

bool FirstFit::used_in_dense(Index dense, Index color) const {
  const auto& bits = dense_used_[dense];
  std::size_t word = static_cast<std::size_t>(color) / 64;
  return word < bits.size() && (bits[word] >> (color % 64) & 1);
}

Index FirstFit::next_free_in_dense(Index dense, Index from) const {
  const auto& bits = dense_used_[dense];
  std::size_t word = std::max(static_cast<std::size_t>(from) / 64, dense_full_words_[dense]);
  Index start = std::max(from, static_cast<Index>(word * 64));
  while (word < bits.size()) {
    std::uint64_t taken = bits[word] | ((std::uint64_t{1} << (start % 64)) - 1);
    if (taken != ~std::uint64_t{0}) return static_cast<Index>(word * 64) + lowest_zero(taken);
    ++word;
    start = static_cast<Index>(word * 64);
  }
  return start;
}

Index FirstFit::choose(Index column) {
  const Compressed& by_col = pattern_.by_col;
  const Compressed& by_row = pattern_.by_row;
  std::uint64_t low = 0;
  for (std::int64_t p = by_col.begin(column); p < by_col.end(column); ++p) {
    low |= low_used_[by_col.idx[p]];
  }
  if (low != ~std::uint64_t{0}) return lowest_zero(low);

  ++stamp_;
  dense_rows_.clear();
  const std::vector<Index>& color = coloring_.color;
  for (std::int64_t p = by_col.begin(column); p < by_col.end(column); ++p) {
    Index row = by_col.idx[p];
    if (classes_.dense(row)) {
      dense_rows_.push_back(classes_.dense_id(row));
      continue;
    }
    for (std::int64_t q = by_row.begin(row); q < by_row.end(row); ++q) {
      Index c = color[by_row.idx[q]];
      if (c >= 0) forbidden_[c] = stamp_;
    }
  }
  // Alternate between the two kinds of rows until neither moves the candidate on.
  Index candidate = 64;
  for (bool moved = true; moved;) {
    while (candidate < coloring_.groups && forbidden_[candidate] == stamp_) ++candidate;
    moved = false;
    for (Index dense : dense_rows_) {
      if (used_in_dense(dense, candidate)) {
        candidate = next_free_in_dense(dense, candidate);
        moved = true;
      }
    }
  }
  return candidate;
}

void FirstFit::assign(Index column, Index color) {
  coloring_.color[column] = color;
  if (color >= coloring_.groups) {
    coloring_.groups = color + 1;
    if (forbidden_.size() < static_cast<std::size_t>(coloring_.groups)) {
      // Colours may come in any order (a lattice colouring is assigned as found).
      forbidden_.resize(std::max<std::size_t>({2 * forbidden_.size(), 64,
                                               static_cast<std::size_t>(coloring_.groups)}),
                        0);
    }
  }
  const Compressed& by_col = pattern_.by_col;
  const std::uint64_t low_bit = color < 64 ? std::uint64_t{1} << color : 0;
  if (classes_.dense_count() == 0) {  // the common case, kept to one load and store per row
    for (std::int64_t p = by_col.begin(column); p < by_col.end(column); ++p) {
      low_used_[by_col.idx[p]] |= low_bit;
    }
    return;
  }
  for (std::int64_t p = by_col.begin(column); p < by_col.end(column); ++p) {
    low_used_[by_col.idx[p]] |= low_bit;
    Index dense = classes_.dense_id(by_col.idx[p]);
    if (dense < 0) continue;
    auto& bits = dense_used_[dense];
    std::size_t word = static_cast<std::size_t>(color) / 64;
    if (word >= bits.size()) bits.resize(word + 1, 0);
    bits[word] |= std::uint64_t{1} << (color % 64);
    std::size_t& full = dense_full_words_[dense];
    while (full < bits.size() && bits[full] == ~std::uint64_t{0}) ++full;
  }
}

Neighbours::Neighbours(const Pattern& pattern, const RowClasses& classes)
    : pattern_(pattern), classes_(classes) {}

std::vector<Index> Neighbours::degrees() {
  std::vector<Index> degree(pattern_.n_cols, 0);
  for (Index j = 0; j < pattern_.n_cols; ++j) {
    std::int64_t d = 0;
    for_each(j, [&](Index) { ++d; });
    const Compressed& by_col = pattern_.by_col;
    for (std::int64_t p = by_col.begin(j); p < by_col.end(j); ++p) {
      Index row = by_col.idx[p];
      if (classes_.dense(row)) d += pattern_.by_row.count(row) - 1;
    }
    degree[j] = static_cast<Index>(std::min<std::int64_t>(d, pattern_.n_cols));
  }
  return degree;
}

Coloring greedy(const Pattern& pattern, const RowClasses& classes,
                const std::vector<Index>& order) {
  FirstFit fit(pattern, classes);
  for (Index j : order) fit.assign(j, fit.choose(j));
  return fit.take();
}

Index costly_groups(const Pattern& pattern, const Coloring& coloring) {
  return pattern.entries() ? coloring.groups : 0;
}

}  // namespace grouping
