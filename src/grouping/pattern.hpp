// The pattern as the grouping core sees it: columns to rows and rows to columns, both
// sorted and without duplicates, built once from whatever layout the caller holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace grouping {

using Index = std::int32_t;

// How the caller's two index arrays are laid out.
enum class Layout {
  kCoordinates,  // a[k], b[k]: row and column of entry k, any order, duplicates allowed
  kColumns,      // a: column pointers (n_cols + 1), b: row indices, any order within a column
  kRows,         // a: row pointers (n_rows + 1), b: column indices, any order within a row
  kCanonicalColumns,  // kColumns already sorted within each column and free of duplicates
  kCanonicalRows,     // kRows already sorted within each row and free of duplicates
};

struct Compressed {
  std::vector<std::int64_t> ptr;  // 64-bit so that a pattern may hold 2**31 entries or more
  std::vector<Index> idx;
  bool distinct = false;  // no index repeats within a major

  std::int64_t begin(Index major) const { return ptr[major]; }
  std::int64_t end(Index major) const { return ptr[major + 1]; }
  Index count(Index major) const { return static_cast<Index>(ptr[major + 1] - ptr[major]); }
};

struct Pattern {
  Index n_rows = 0;
  Index n_cols = 0;
  Compressed by_col;  // rows of each column, ascending
  Compressed by_row;  // columns of each row, ascending

  std::int64_t entries() const { return static_cast<std::int64_t>(by_col.idx.size()); }
  Index lower_bound() const;  // the largest number of entries in a row
};

// What went wrong with the caller's arrays; the binding turns it into a message.
enum class BuildError { kNone, kIndexOutOfRange, kBadPointers };

// The caller's index arrays, 32- or 64-bit as NumPy and SciPy hand them over.
struct IndexArray {
  const void* data = nullptr;
  std::size_t length = 0;
  bool wide = false;  // int64 rather than int32

  std::int64_t operator[](std::size_t k) const {
    return wide ? static_cast<const std::int64_t*>(data)[k]
                : static_cast<const std::int32_t*>(data)[k];
  }

  // Calls `work` with a typed pointer, so that loops over the entries compile per type.
  template <typename Work>
  decltype(auto) visit(Work&& work) const {
    return wide ? work(static_cast<const std::int64_t*>(data))
                : work(static_cast<const std::int32_t*>(data));
  }
};

BuildError build_pattern(Index n_rows, Index n_cols, Layout layout, IndexArray a, IndexArray b,
                         Pattern& out);

}  // namespace grouping
