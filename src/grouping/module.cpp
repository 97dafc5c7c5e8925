// vendrel._grouping: the thin binding around the grouping core. It takes index arrays
// through the buffer protocol, checks them, runs the core with the interpreter lock
// released, and writes the groups into an array the caller made. Callers are the
// package's own Python layer, which has already checked and converted the user's input.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "search.hpp"

namespace {

using grouping::Index;

// A buffer held from acquisition to every way out.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // A one-dimensional contiguous buffer of 4- or 8-byte signed integers.
  bool acquire(PyObject* object, const char* name, bool writable) {
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
    held_ = true;
    std::string_view format = view_.format ? view_.format : "B";
    if (!format.empty() && (format[0] == '=' || format[0] == '@' || format[0] == '<')) {
      format.remove_prefix(1);
    }
    bool integer = format.size() == 1 && std::strchr("ilq", format[0]) != nullptr;
    if (view_.ndim != 1 || !integer || (view_.itemsize != 4 && view_.itemsize != 8)) {
      PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional array of int32 or int64", name);
      return false;
    }
    return true;
  }

  grouping::IndexArray indices() const {
    return {view_.buf, static_cast<std::size_t>(view_.shape[0]), view_.itemsize == 8};
  }
  std::size_t length() const { return static_cast<std::size_t>(view_.shape[0]); }
  bool wide() const { return view_.itemsize == 8; }
  void* data() const { return view_.buf; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

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
bool report(grouping::BuildError error, bool out_of_memory) {
  if (out_of_memory) {
    PyErr_NoMemory();
    return false;
  }
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

// Runs `work(pattern)` on the built pattern with the interpreter lock released.
template <typename Work>
bool with_pattern(PatternArguments& args, Work&& work) {
  grouping::BuildError error = grouping::BuildError::kNone;
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    grouping::Pattern pattern;
    error = grouping::build_pattern(static_cast<Index>(args.n_rows), static_cast<Index>(args.n_cols),
                                    static_cast<grouping::Layout>(args.layout), args.a.indices(),
                                    args.b.indices(), pattern);
    if (error == grouping::BuildError::kNone) work(pattern);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  return report(error, out_of_memory);
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

// group(n_rows, n_cols, layout, a, b, order, permutation, seed, out) -> groups
// `order` names an ordering, "best", or "given" (then `permutation` holds the columns in
// the order to colour them). `out` receives each column's group, as int64.
PyObject* group(PyObject*, PyObject* arguments) {
  PatternArguments args;
  PyObject *a, *b, *permutation_object, *out_object;
  const char* order_text;
  unsigned long long seed;
  if (!PyArg_ParseTuple(arguments, "nniOOsOKO:group", &args.n_rows, &args.n_cols, &args.layout,
                        &a, &b, &order_text, &permutation_object, &seed, &out_object) ||
      !take_pattern(args, a, b)) {
    return nullptr;
  }
  const std::string_view order = order_text;
  const grouping::Ordering* ordering = grouping::find_ordering(order);
  const bool given = order == "given";
  if (!ordering && !given && order != "best") {
    PyErr_Format(PyExc_ValueError, "unknown order %R", PyTuple_GET_ITEM(arguments, 5));
    return nullptr;
  }
  HeldBuffer permutation, out;
  if (given && !permutation.acquire(permutation_object, "permutation", false)) return nullptr;
  if (!out.acquire(out_object, "out", true)) return nullptr;
  if (!out.wide() || out.length() != static_cast<std::size_t>(args.n_cols) ||
      (given && permutation.length() != static_cast<std::size_t>(args.n_cols))) {
    PyErr_SetString(PyExc_ValueError, "permutation and out must have one int64 entry per column");
    return nullptr;
  }

  bool not_a_permutation = false;
  Index groups = 0;
  auto work = [&](const grouping::Pattern& pattern) {
    grouping::RowClasses classes(pattern);
    grouping::Context context(pattern, classes);
    grouping::Coloring coloring;
    if (given) {
      std::vector<Index> columns(pattern.n_cols);
      std::vector<bool> seen(pattern.n_cols, false);
      grouping::IndexArray given_order = permutation.indices();
      for (Index k = 0; k < pattern.n_cols; ++k) {
        std::int64_t j = given_order[k];
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
      coloring = grouping::best(context, limits);
    }
    grouping::renumber(pattern, coloring);
    auto* target = static_cast<std::int64_t*>(out.data());
    for (Index j = 0; j < pattern.n_cols; ++j) target[j] = coloring.color[j];
    groups = coloring.groups;
  };
  if (!with_pattern(args, work)) return nullptr;
  if (not_a_permutation) {
    PyErr_SetString(PyExc_ValueError, "order is not a permutation of the columns");
    return nullptr;
  }
  return PyLong_FromLong(groups);
}

PyMethodDef kMethods[] = {
    {"group", group, METH_VARARGS, "Each column's group, written into out; returns their number."},
    {"lower_bound", lower_bound, METH_VARARGS, "The largest number of entries in a row."},
    {"canonical", canonical, METH_VARARGS,
     "Column pointers (int64) and sorted, distinct row indices (int32), as bytearrays."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "vendrel._grouping",
                       "Grouping of structurally orthogonal columns (the core of vendrel.grouping).",
                       -1, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

#if defined(__GNUC__)
#define GROUPING_EXPORT __attribute__((visibility("default")))
#else
#define GROUPING_EXPORT
#endif

extern "C" GROUPING_EXPORT PyObject* PyInit__grouping() {
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
