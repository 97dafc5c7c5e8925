// Two counting-sort transpositions give both orientations sorted and free of duplicates
// whatever the input order: linear in the entries, no comparison sort.
#include "pattern.hpp"

#include <algorithm>

namespace grouping {
namespace {

// The same for a source known to hold no duplicates: no check per entry.
void transpose_distinct(Index n_src, Index n_dst, const Compressed& src, Compressed& dst) {
  dst.ptr.assign(static_cast<std::size_t>(n_dst) + 1, 0);
  for (Index j : src.idx) ++dst.ptr[j + 1];
  for (Index j = 0; j < n_dst; ++j) dst.ptr[j + 1] += dst.ptr[j];
  dst.idx.resize(src.idx.size());
  std::vector<std::int64_t> next(dst.ptr.begin(), dst.ptr.end() - 1);
  for (Index i = 0; i < n_src; ++i) {
    for (std::int64_t k = src.begin(i); k < src.end(i); ++k) dst.idx[next[src.idx[k]]++] = i;
  }
  dst.distinct = true;
}

// Transposes `src` (n_src majors over n_dst minors) into `dst`, sorted within each major
// and with duplicates dropped: sources are visited in ascending order, so each
// destination's list comes out ascending, and a repeat shows as the last value written.
void transpose(Index n_src, Index n_dst, const Compressed& src, Compressed& dst) {
  if (src.distinct) {
    transpose_distinct(n_src, n_dst, src, dst);
    return;
  }
  std::vector<Index> last(static_cast<std::size_t>(n_dst), -1);
  dst.ptr.assign(static_cast<std::size_t>(n_dst) + 1, 0);
  for (Index i = 0; i < n_src; ++i) {
    for (std::int64_t k = src.begin(i); k < src.end(i); ++k) {
      Index j = src.idx[k];
      if (last[j] != i) {
        last[j] = i;
        ++dst.ptr[j + 1];
      }
    }
  }
  for (Index j = 0; j < n_dst; ++j) dst.ptr[j + 1] += dst.ptr[j];
  dst.idx.resize(static_cast<std::size_t>(dst.ptr[n_dst]));
  std::vector<std::int64_t> next(dst.ptr.begin(), dst.ptr.end() - 1);
  std::fill(last.begin(), last.end(), -1);
  for (Index i = 0; i < n_src; ++i) {
    for (std::int64_t k = src.begin(i); k < src.end(i); ++k) {
      Index j = src.idx[k];
      if (last[j] != i) {
        last[j] = i;
        dst.idx[next[j]++] = i;
      }
    }
  }
  dst.distinct = true;
}

// Copies a caller's pointers; false unless they start at 0, never decrease and stay
// within the `length` indices given.
bool copy_pointers(Index n_major, IndexArray ptr, std::size_t length, Compressed& out) {
  if (ptr.length != static_cast<std::size_t>(n_major) + 1) return false;
  out.ptr.resize(ptr.length);
  bool ordered = ptr.visit([&](auto* p) {
    bool ok = p[0] == 0;
    for (std::size_t k = 0; k < ptr.length; ++k) {
      out.ptr[k] = p[k];
      ok &= k == 0 || out.ptr[k] >= out.ptr[k - 1];
    }
    return ok;
  });
  return ordered && static_cast<std::size_t>(out.ptr.back()) <= length;
}

// Copies a caller's compressed layout after checking its pointers and indices.
BuildError copy_compressed(Index n_major, Index n_minor, IndexArray ptr, IndexArray idx,
                           Compressed& out) {
  if (!copy_pointers(n_major, ptr, idx.length, out)) return BuildError::kBadPointers;
  out.idx.resize(static_cast<std::size_t>(out.ptr.back()));
  bool inside = idx.visit([&](auto* p) {
    bool ok = true;
    for (std::size_t k = 0; k < out.idx.size(); ++k) {
      ok &= p[k] >= 0 && p[k] < n_minor;
      out.idx[k] = static_cast<Index>(p[k]);
    }
    return ok;
  });
  return inside ? BuildError::kNone : BuildError::kIndexOutOfRange;
}

// A caller's canonical layout, read once: the pointers checked, then one pass over the
// indices checks each, copies it, and counts it for the other orientation, which a second
// pass over the copy (not the caller's array, which another thread may be writing) fills.
// Saves the separate pass of the copy on the natural order's cheapest route.
BuildError copy_and_transpose(Index n_major, Index n_minor, IndexArray ptr, IndexArray idx,
                              Compressed& out, Compressed& other) {
  if (!copy_pointers(n_major, ptr, idx.length, out)) return BuildError::kBadPointers;
  const std::size_t entries = static_cast<std::size_t>(out.ptr.back());
  out.idx.resize(entries);
  out.distinct = true;
  other.ptr.assign(static_cast<std::size_t>(n_minor) + 1, 0);
  bool inside = idx.visit([&](auto* p) {
    bool ok = true;
    std::int64_t* count = other.ptr.data() + 1;
    for (std::size_t k = 0; k < entries; ++k) {
      auto value = p[k];
      bool good = value >= 0 && value < n_minor;
      ok &= good;
      Index minor = good ? static_cast<Index>(value) : 0;
      out.idx[k] = minor;
      ++count[minor];
    }
    return ok;
  });
  if (!inside) return BuildError::kIndexOutOfRange;
  for (Index j = 0; j < n_minor; ++j) other.ptr[j + 1] += other.ptr[j];
  other.idx.resize(entries);
  std::vector<std::int64_t> next(other.ptr.begin(), other.ptr.end() - 1);
  for (Index i = 0; i < n_major; ++i) {
    for (std::int64_t k = out.begin(i); k < out.end(i); ++k) other.idx[next[out.idx[k]]++] = i;
  }
  other.distinct = true;
  return BuildError::kNone;
}

// Entries given as coordinates, sorted into rows by counting (order within a row kept).
BuildError rows_from_coordinates(Index n_rows, Index n_cols, IndexArray r, IndexArray c,
                                 Compressed& out) {
  if (r.length != c.length) return BuildError::kBadPointers;
  out.ptr.assign(static_cast<std::size_t>(n_rows) + 1, 0);
  for (std::size_t k = 0; k < r.length; ++k) {
    std::int64_t i = r[k], j = c[k];
    if (i < 0 || i >= n_rows || j < 0 || j >= n_cols) return BuildError::kIndexOutOfRange;
    ++out.ptr[i + 1];
  }
  for (Index i = 0; i < n_rows; ++i) out.ptr[i + 1] += out.ptr[i];
  out.idx.resize(r.length);
  std::vector<std::int64_t> next(out.ptr.begin(), out.ptr.end() - 1);
  // Indices are read again rather than kept: another thread may write the caller's arrays
  // while the interpreter lock is released, so they are checked again as they are placed.
  for (std::size_t k = 0; k < r.length; ++k) {
    std::int64_t i = r[k], j = c[k];
    if (i < 0 || i >= n_rows || j < 0 || j >= n_cols || next[i] >= out.ptr[i + 1]) {
      return BuildError::kIndexOutOfRange;
    }
    out.idx[next[i]++] = static_cast<Index>(j);
  }
  return BuildError::kNone;
}

}  // namespace

Index Pattern::lower_bound() const {
  Index most = 0;
  for (Index i = 0; i < n_rows; ++i) most = std::max(most, by_row.count(i));
  return most;
}

BuildError build_pattern(Index n_rows, Index n_cols, Layout layout, IndexArray a, IndexArray b,
                         Pattern& out) {
  out.n_rows = n_rows;
  out.n_cols = n_cols;
  Compressed raw;
  BuildError error = BuildError::kNone;
  switch (layout) {
    case Layout::kCoordinates:
      error = rows_from_coordinates(n_rows, n_cols, a, b, raw);
      if (error != BuildError::kNone) return error;
      transpose(n_rows, n_cols, raw, out.by_col);
      transpose(n_cols, n_rows, out.by_col, out.by_row);
      return BuildError::kNone;
    case Layout::kRows:
      error = copy_compressed(n_rows, n_cols, a, b, raw);
      if (error != BuildError::kNone) return error;
      transpose(n_rows, n_cols, raw, out.by_col);
      transpose(n_cols, n_rows, out.by_col, out.by_row);
      return BuildError::kNone;
    case Layout::kColumns:
      error = copy_compressed(n_cols, n_rows, a, b, raw);
      if (error != BuildError::kNone) return error;
      transpose(n_cols, n_rows, raw, out.by_row);
      transpose(n_rows, n_cols, out.by_row, out.by_col);
      return BuildError::kNone;
    case Layout::kCanonicalColumns:
      return copy_and_transpose(n_cols, n_rows, a, b, out.by_col, out.by_row);
    case Layout::kCanonicalRows:
      return copy_and_transpose(n_rows, n_cols, a, b, out.by_row, out.by_col);
  }
  return BuildError::kBadPointers;
}

}  // namespace grouping
