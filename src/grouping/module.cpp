// vendrel._grouping: the thin binding around the grouping core (the colouring engine alone). It takes index arrays
// through the buffer protocol, checks them, runs the core with the interpreter lock
// released, and hands back plain buffers or writes into arrays the caller made. Callers are the
// package's own Python layer, which has already checked and converted the user's input.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include <vector>

#include "export.hpp"
#include "guard.hpp"
#include "held_buffer.hpp"
#include "pattern.hpp"
#include "search.hpp"
#include "symmetric.hpp"

namespace {

using common::guarded;
using common::HeldBuffer;
using grouping::Index;

grouping::IndexArray indices_of(const HeldBuffer& buffer) {
  return {buffer.data(), buffer.length(), buffer.wide()};
}

struct PatternArguments {
  Py_ssize_t n_rows = 0, n_cols = 0;
  int layout = 0;
  HeldBuffer a, b;
};

bool take_pattern(PatternArguments& args, PyObject* a, PyObject* b) {
  constexpr Py_ssize_t kLargest = std::numeric_limits<Index>::max() - 1;
  if (args.n_rows < 0 || args.n_cols < 0 || args.n_rows > kLargest || args.n_cols > kLargest) {
    PyErr_Format(PyExc_ValueError, "a pattern of %zd x %zd is not supported", args.n_rows,
                 args.n_cols);
    return false;
  }
  if (args.layout < 0 || args.layout > static_cast<int>(grouping::Layout::kCanonicalRows)) {
    PyErr_Format(PyExc_ValueError, "unknown layout %d", args.layout);
    return false;
  }
  return args.a.acquire(a, "a", false) && args.b.acquire(b, "b", false);
}

// The core's failures, as Python exceptions; true when there was none.
bool report(grouping::BuildError error) {
  switch (error) {
    case grouping::BuildError::kNone:
      return true;
    case grouping::BuildError::kIndexOutOfRange:
      PyErr_SetString(PyExc_ValueError, "an index lies outside the pattern's shape");
      return false;
    case grouping::BuildError::kBadPointers:
      PyErr_SetString(PyExc_ValueError, "the index pointers do not fit the indices");
      return false;
  }
  return true;
}

// Runs `work(pattern)` on the built pattern with the interpreter lock released. The core's
// containers may throw std::bad_alloc: the lock is taken back on the way out, and the entry
// point's guard makes it a MemoryError.
template <typename Work>
bool with_pattern(PatternArguments& args, Work&& work) {
  grouping::BuildError error = grouping::BuildError::kNone;
  {
    common::Unlocked unlocked;
    grouping::Pattern pattern;
    error = grouping::build_pattern(static_cast<Index>(args.n_rows), static_cast<Index>(args.n_cols),
                                    static_cast<grouping::Layout>(args.layout), indices_of(args.a),
                                    indices_of(args.b), pattern);
    if (error == grouping::BuildError::kNone) work(pattern);
  }
  return report(error);
}

PyObject* lower_bound(PyObject*, PyObject* arguments) {
  PatternArguments args;
  PyObject *a, *b;
  if (!PyArg_ParseTuple(arguments, "nniOO:lower_bound", &args.n_rows, &args.n_cols, &args.layout,
                        &a, &b) ||
      !take_pattern(args, a, b)) {
    return nullptr;
  }
  Index bound = 0;
  if (!with_pattern(args, [&](const grouping::Pattern& pattern) { bound = pattern.lower_bound(); })) {
    return nullptr;
  }
  return PyLong_FromLong(bound);
}

PyObject* canonical(PyObject*, PyObject* arguments) {
  PatternArguments args;
  PyObject *a, *b;
  if (!PyArg_ParseTuple(arguments, "nniOO:canonical", &args.n_rows, &args.n_cols, &args.layout, &a,
                        &b) ||
      !take_pattern(args, a, b)) {
    return nullptr;
  }
  grouping::Compressed by_col;
  if (!with_pattern(args, [&](grouping::Pattern& pattern) { by_col = std::move(pattern.by_col); })) {
    return nullptr;
  }
  PyObject* pointers = PyByteArray_FromStringAndSize(
      reinterpret_cast<const char*>(by_col.ptr.data()),
      static_cast<Py_ssize_t>(by_col.ptr.size() * sizeof(by_col.ptr[0])));
  PyObject* indices = PyByteArray_FromStringAndSize(
      reinterpret_cast<const char*>(by_col.idx.data()),
      static_cast<Py_ssize_t>(by_col.idx.size() * sizeof(by_col.idx[0])));
  if (!pointers || !indices) {
    Py_XDECREF(pointers);
    Py_XDECREF(indices);
    return nullptr;
  }
  return Py_BuildValue("(NN)", pointers, indices);
}

// A vector's bytes, as a bytearray the caller wraps with numpy.frombuffer (no NumPy
// headers needed here; the array owns its memory and is writable).
template <typename T>
PyObject* as_bytes(const std::vector<T>& values) {
  return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                       static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

// The groups a caller gave, checked: the first two columns of one group that meet in a row.
struct Clash {
  Index first = -1, second = -1, group = -1, row = -1;
};

Clash find_clash(const grouping::Pattern& pattern, const std::int64_t* given, Index count) {
  std::vector<Index> owner(static_cast<std::size_t>(count), -1);  // column of each group in row
  std::vector<Index> stamp(static_cast<std::size_t>(count), -1);
  for (Index i = 0; i < pattern.n_rows; ++i) {
    for (std::int64_t p = pattern.by_row.begin(i); p < pattern.by_row.end(i); ++p) {
      Index j = pattern.by_row.idx[p];
      auto g = static_cast<Index>(given[j]);
      if (stamp[g] == i) return {owner[g], j, g, i};
      stamp[g] = i;
      owner[g] = j;
    }
  }
  return {};
}

// column_grouping(n_rows, n_cols, layout, a, b, order, permutation, seed, given) ->
//     (column pointers, row indices, row pointers, column indices, groups, count, bound,
//      order that won, clash)
// Everything a grouped Jacobian needs from its pattern, in one pass over the caller's
// arrays: both orientations (pointers int64, indices int32, as bytearrays), each column's
// group (int64), the number of groups, the lower bound, and which order gave the groups.
// `given` (int64 per column, numbered densely from 0, or None) replaces the search; the
// clash is then None or (column, column, group, row) of two columns of one group that meet.
PyObject* column_grouping(PyObject*, PyObject* arguments) {
  PatternArguments args;
  PyObject *a, *b, *permutation_object, *given_object;
  const char* order_text;
  unsigned long long seed;
  if (!PyArg_ParseTuple(arguments, "nniOOsOKO:column_grouping", &args.n_rows, &args.n_cols,
                        &args.layout, &a, &b, &order_text, &permutation_object, &seed,
                        &given_object) ||
      !take_pattern(args, a, b)) {
    return nullptr;
  }
  const std::string_view order = order_text;
  const grouping::Ordering* ordering = grouping::find_ordering(order);
  const bool given_order = order == "given";
  const bool given_groups = given_object != Py_None;
  if (!ordering && !given_order && order != "best" && !given_groups) {
    PyErr_Format(PyExc_ValueError, "unknown order %R", PyTuple_GET_ITEM(arguments, 5));
    return nullptr;
  }
  HeldBuffer permutation, given;
  if (given_order && !permutation.acquire(permutation_object, "permutation", false)) return nullptr;
  if (given_groups && !given.acquire(given_object, "groups", false)) return nullptr;
  if ((given_order && permutation.length() != static_cast<std::size_t>(args.n_cols)) ||
      (given_groups && (given.length() != static_cast<std::size_t>(args.n_cols) || !given.wide()))) {
    PyErr_SetString(PyExc_ValueError, "permutation and groups must have one entry per column");
    return nullptr;
  }

  grouping::Pattern result;
  grouping::Coloring coloring;
  std::vector<std::int64_t> groups;
  std::string_view winner = given_groups ? "given" : order;
  Index bound = 0;
  Clash clash;
  bool not_a_permutation = false;
  auto work = [&](grouping::Pattern& pattern) {
    bound = pattern.lower_bound();
    if (given_groups) {
      const auto* values = static_cast<const std::int64_t*>(given.data());
      std::int64_t largest = -1;
      for (Index j = 0; j < pattern.n_cols; ++j) largest = std::max(largest, values[j]);
      clash = find_clash(pattern, values, static_cast<Index>(largest + 1));
      groups.assign(values, values + pattern.n_cols);
      coloring.groups = static_cast<Index>(largest + 1);
    } else {
      grouping::RowClasses classes(pattern);
      grouping::Context context(pattern, classes);
      if (given_order) {
        std::vector<Index> columns(pattern.n_cols);
        std::vector<bool> seen(pattern.n_cols, false);
        grouping::IndexArray given_columns = indices_of(permutation);
        for (Index k = 0; k < pattern.n_cols; ++k) {
          std::int64_t j = given_columns[k];
          if (j < 0 || j >= pattern.n_cols || seen[j]) {
            not_a_permutation = true;
            return;
          }
          seen[j] = true;
          columns[k] = static_cast<Index>(j);
        }
        coloring = grouping::greedy(pattern, classes, columns);
      } else if (ordering) {
        coloring = ordering->run(context);
      } else {
        grouping::SearchLimits limits;
        limits.seed = seed;
        coloring = grouping::best(context, limits, &winner);
      }
      grouping::renumber(pattern, coloring);
      groups.assign(coloring.color.begin(), coloring.color.end());
    }
    result = std::move(pattern);
  };
  if (!with_pattern(args, work)) return nullptr;
  if (not_a_permutation) {
    PyErr_SetString(PyExc_ValueError, "order is not a permutation of the columns");
    return nullptr;
  }
  PyObject* items[] = {
      as_bytes(result.by_col.ptr),
      as_bytes(result.by_col.idx),
      as_bytes(result.by_row.ptr),
      as_bytes(result.by_row.idx),
      as_bytes(groups),
      PyLong_FromLong(coloring.groups),
      PyLong_FromLong(bound),
      PyUnicode_FromStringAndSize(winner.data(), static_cast<Py_ssize_t>(winner.size())),
      clash.first >= 0 ? Py_BuildValue("(iiii)", clash.first, clash.second, clash.group, clash.row)
                       : (Py_INCREF(Py_None), Py_None),
  };
  constexpr Py_ssize_t kItems = sizeof items / sizeof items[0];
  PyObject* tuple = PyTuple_New(kItems);
  for (Py_ssize_t k = 0; k < kItems; ++k) {
    if (!items[k] || !tuple) {
      for (PyObject* item : items) Py_XDECREF(item);
      Py_XDECREF(tuple);
      return nullptr;
    }
  }
  for (Py_ssize_t k = 0; k < kItems; ++k) PyTuple_SET_ITEM(tuple, k, items[k]);
  return tuple;
}

// The kinds of symmetric colouring, by name.
struct SymmetricKindName {
  std::string_view name;
  grouping::SymmetricKind kind;
};
constexpr SymmetricKindName kSymmetricKinds[] = {
    {"star", grouping::SymmetricKind::kStar},
    {"acyclic", grouping::SymmetricKind::kAcyclic},
};

const SymmetricKindName* find_kind(std::string_view name) {
  for (const SymmetricKindName& row : kSymmetricKinds) {
    if (row.name == name) return &row;
  }
  PyErr_Format(PyExc_ValueError, "unknown kind of colouring '%s'", std::string(name).c_str());
  return nullptr;
}

// A clique is certified around vertices of at most this degree, so that a dense row or two
// (an arrowhead) keep the bound's cost linear.
constexpr Index kCliqueDegree = 64;

// symmetric_coloring(n_rows, n_cols, layout, a, b, kind, order) ->
//     (colours, count, clique, order that won)
// A star or acyclic colouring of a symmetric pattern: each column's colour (int64, as a
// bytearray), their number, a lower bound (a clique found, or what forests of two colours allow), and the ordering, or
// "distance2" or "lattice", that gave the colours. ValueError if the pattern is not symmetric.
PyObject* symmetric_coloring(PyObject*, PyObject* arguments) {
  PatternArguments args;
  PyObject *a, *b;
  const char *kind_text, *order_text;
  if (!PyArg_ParseTuple(arguments, "nniOOss:symmetric_coloring", &args.n_rows, &args.n_cols,
                        &args.layout, &a, &b, &kind_text, &order_text) ||
      !take_pattern(args, a, b)) {
    return nullptr;
  }
  const SymmetricKindName* kind = find_kind(kind_text);
  if (!kind) return nullptr;
  const std::string_view order = order_text;
  const grouping::SymmetricOrdering* ordering = grouping::find_symmetric_ordering(order);
  if (!ordering && order != "best") {
    PyErr_Format(PyExc_ValueError, "unknown order '%s'", order_text);
    return nullptr;
  }
  bool symmetric = true;
  std::vector<std::int64_t> colors;
  Index count = 0, clique = 0;
  std::string_view winner = order;
  auto work = [&](grouping::Pattern& pattern) {
    grouping::Graph graph;
    if (!grouping::adjacency_graph(pattern, graph)) {
      symmetric = false;
      return;
    }
    clique = std::max(grouping::greedy_clique(graph, kCliqueDegree), grouping::forest_bound(graph));
    grouping::Coloring coloring;
    if (ordering) {
      const std::vector<Index> vertices = ordering->order(graph);
      coloring = kind->kind == grouping::SymmetricKind::kStar
                     ? grouping::star_coloring(graph, vertices)
                     : grouping::acyclic_coloring(graph, vertices);
    } else {
      coloring = grouping::best_symmetric(pattern, graph, kind->kind, clique, &winner);
    }
    grouping::renumber(pattern, coloring);
    count = coloring.groups;
    colors.assign(coloring.color.begin(), coloring.color.end());
  };
  if (!with_pattern(args, work)) return nullptr;
  if (!symmetric) {
    PyErr_SetString(PyExc_ValueError, "the pattern is not symmetric");
    return nullptr;
  }
  PyObject* bytes = as_bytes(colors);
  if (!bytes) return nullptr;
  return Py_BuildValue("(Niis#)", bytes, count, clique, winner.data(),
                       static_cast<Py_ssize_t>(winner.size()));
}

// symmetric_recover(kind, ptr, idx, mirror, colours, count, compressed, scale, out) -> int
// Writes the entries of the symmetric matrix (canonical columns: ptr int64, idx int32; mirror,
// int64, the position of each entry's transpose, needed by "acyclic" only) into `out` from the compressed product
// (n x count, row-major, flat); `scale` (float64 per column, or None) is the step of each
// column in the product. Returns -1, or the position of an entry the colouring cannot recover.
PyObject* symmetric_recover(PyObject*, PyObject* arguments) {
  const char* kind_text;
  PyObject *ptr_object, *idx_object, *mirror_object, *color_object, *compressed_object,
      *scale_object, *out_object;
  Py_ssize_t count;
  if (!PyArg_ParseTuple(arguments, "sOOOOnOOO:symmetric_recover", &kind_text, &ptr_object,
                        &idx_object, &mirror_object, &color_object, &count, &compressed_object,
                        &scale_object, &out_object)) {
    return nullptr;
  }
  const SymmetricKindName* kind = find_kind(kind_text);
  if (!kind) return nullptr;
  HeldBuffer ptr, idx, mirror, color, compressed, scale, out;
  if (!ptr.acquire(ptr_object, "ptr", false) || !idx.acquire(idx_object, "idx", false) ||
      !mirror.acquire(mirror_object, "mirror", false) ||
      !color.acquire(color_object, "colours", false) ||
      !compressed.acquire_doubles(compressed_object, "compressed", false) ||
      (scale_object != Py_None && !scale.acquire_doubles(scale_object, "scale", false)) ||
      !out.acquire_doubles(out_object, "out", true)) {
    return nullptr;
  }
  if (!ptr.wide() || idx.wide() || !mirror.wide() || !color.wide() || ptr.length() < 1) {
    PyErr_SetString(PyExc_TypeError, "ptr, mirror and colours must be int64, idx int32");
    return nullptr;
  }
  const std::size_t n = ptr.length() - 1;
  const auto* pointers = static_cast<const std::int64_t*>(ptr.data());
  const auto* indices = static_cast<const std::int32_t*>(idx.data());
  const auto* mirrors = static_cast<const std::int64_t*>(mirror.data());
  const auto* colours = static_cast<const std::int64_t*>(color.data());
  const std::size_t nnz = idx.length();
  bool fits = n <= static_cast<std::size_t>(std::numeric_limits<Index>::max()) && count >= 0 &&
              pointers[0] == 0 && static_cast<std::size_t>(pointers[n]) == nnz &&
              (kind->kind == grouping::SymmetricKind::kStar || mirror.length() == nnz) &&
              out.length() == nnz && color.length() == n &&
              compressed.length() == n * static_cast<std::size_t>(count) &&
              (scale_object == Py_None || scale.length() == n);
  for (std::size_t j = 0; fits && j < n; ++j) {
    fits = pointers[j] <= pointers[j + 1] && colours[j] >= 0 && colours[j] < count;
  }
  const bool mirrored = kind->kind == grouping::SymmetricKind::kAcyclic;
  for (std::size_t p = 0; fits && p < nnz; ++p) {
    fits = indices[p] >= 0 && static_cast<std::size_t>(indices[p]) < n &&
           (!mirrored || (mirrors[p] >= 0 && static_cast<std::size_t>(mirrors[p]) < nnz));
  }
  if (!fits) {
    PyErr_SetString(PyExc_ValueError, "the arrays do not fit one another");
    return nullptr;
  }
  std::int64_t failed = -1;
  {
    common::Unlocked unlocked;
    const double* steps = scale_object == Py_None ? nullptr : static_cast<const double*>(scale.data());
    const auto* product = static_cast<const double*>(compressed.data());
    auto* values = static_cast<double*>(out.data());
    failed = kind->kind == grouping::SymmetricKind::kStar
                 ? grouping::recover_star(static_cast<Index>(n), pointers, indices, colours,
                                          static_cast<Index>(count), product, steps, values)
                 : grouping::recover_acyclic(static_cast<Index>(n), pointers, indices, mirrors,
                                             colours, static_cast<Index>(count), product, steps,
                                             values);
  }
  return PyLong_FromLongLong(failed);
}

PyMethodDef kMethods[] = {
    {"symmetric_coloring", guarded<symmetric_coloring>, METH_VARARGS,
     "A star or acyclic colouring of a symmetric pattern: colours, count, clique, order."},
    {"symmetric_recover", guarded<symmetric_recover>, METH_VARARGS,
     "The entries of a symmetric matrix from its compressed product; -1 or a failing entry."},
    {"column_grouping", guarded<column_grouping>, METH_VARARGS,
     "Both orientations, the groups, their number, the bound and the order that won."},
    {"lower_bound", guarded<lower_bound>, METH_VARARGS, "The largest number of entries in a row."},
    {"canonical", guarded<canonical>, METH_VARARGS,
     "Column pointers (int64) and sorted, distinct row indices (int32), as bytearrays."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "vendrel._grouping",
                       "Grouping of structurally orthogonal columns (the core of vendrel.grouping).",
                       -1, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

VENDREL_EXPORT PyObject* PyInit__grouping() {
  PyObject* module = PyModule_Create(&kModule);
  if (!module) return nullptr;
  PyObject* names = PyTuple_New(std::size(grouping::kOrderings));
  if (!names) {
    Py_DECREF(module);
    return nullptr;
  }
  Py_ssize_t k = 0;
  for (const grouping::Ordering& ordering : grouping::kOrderings) {
    PyObject* name = PyUnicode_FromStringAndSize(ordering.name.data(),
                                                 static_cast<Py_ssize_t>(ordering.name.size()));
    if (!name) {
      Py_DECREF(names);
      Py_DECREF(module);
      return nullptr;
    }
    PyTuple_SET_ITEM(names, k++, name);
  }
  if (PyModule_AddObject(module, "ORDERINGS", names) < 0) {  // steals only on success
    Py_DECREF(names);
    Py_DECREF(module);
    return nullptr;
  }
  PyObject* symmetric = PyTuple_New(std::size(grouping::kSymmetricOrderings));
  if (!symmetric) {
    Py_DECREF(module);
    return nullptr;
  }
  k = 0;
  for (const grouping::SymmetricOrdering& ordering : grouping::kSymmetricOrderings) {
    PyObject* name = PyUnicode_FromStringAndSize(ordering.name.data(),
                                                 static_cast<Py_ssize_t>(ordering.name.size()));
    if (!name) {
      Py_DECREF(symmetric);
      Py_DECREF(module);
      return nullptr;
    }
    PyTuple_SET_ITEM(symmetric, k++, name);
  }
  if (PyModule_AddObject(module, "SYMMETRIC_ORDERINGS", symmetric) < 0) {
    Py_DECREF(symmetric);
    Py_DECREF(module);
    return nullptr;
  }
  if (PyModule_AddIntConstant(module, "COORDINATES", int(grouping::Layout::kCoordinates)) < 0 ||
      PyModule_AddIntConstant(module, "COLUMNS", int(grouping::Layout::kColumns)) < 0 ||
      PyModule_AddIntConstant(module, "ROWS", int(grouping::Layout::kRows)) < 0 ||
      PyModule_AddIntConstant(module, "CANONICAL_COLUMNS",
                              int(grouping::Layout::kCanonicalColumns)) < 0 ||
      PyModule_AddIntConstant(module, "CANONICAL_ROWS", int(grouping::Layout::kCanonicalRows)) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
