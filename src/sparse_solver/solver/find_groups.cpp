// find_groups: gathers the columns of a sparsity pattern greedily into groups of
// structurally orthogonal columns, printing a trace of every step.
#include "shell/arguments.hpp"
#include "shell/failure.hpp"
#include "shell/messages.hpp"
#include "shell/print.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"
#include "shell/views.hpp"
#include "solver/methods.hpp"
#include "solver/numpy_calls.hpp"
#include "solver/override.hpp"

namespace vendrel {
namespace {

constexpr int kSiteFile = kSiteGroups;
constexpr const char* kFunction = "vendrel.sparse_solver.SparseSolver.find_groups";

// Printing helpers: each makes the ints its line needs and prints them in one call.
int print_ints_with(PyObject* text, Py_ssize_t value) noexcept {
  Ref number = Ref::steal(PyLong_FromSsize_t(value));
  if (!number) return -1;
  PyObject* line[] = {text, number.get()};
  return print_objects(line, 2, true);
}

int row_at(const View& rows, PyObject* positions, Py_ssize_t k) noexcept {
  Py_ssize_t p = PyLong_AsSsize_t(PyList_GET_ITEM(positions, k));
  return *element<const int>(rows, p);
}

// The positions of the nonzeros, one list per run of equal column indices.
PyObject* runs_of(const View& cols, Py_ssize_t n) noexcept {
  Ref groups = Ref::steal(PyList_New(0));
  if (!groups) return VS_FAIL(64);
  {
    Ref first = Ref::steal(PyList_New(1));
    if (!first) return VS_FAIL(66);
    PyList_SET_ITEM(first.get(), 0, compat::new_ref(state.int_0));
    if (PyList_Append(groups.get(), first.get()) < 0) return VS_FAIL(67);
  }
  int current = *element<const int>(cols, 0);
  PyObject* last = PyList_GET_ITEM(groups.get(), 0);
  for (Py_ssize_t p = 1; p < n; ++p) {
    int column = *element<const int>(cols, p);
    if (column != current) {
      current = column;
      Ref next = Ref::steal(PyList_New(0));
      if (!next || PyList_Append(groups.get(), next.get()) < 0) return VS_FAIL(70);
      last = next.get();
    }
    Ref position = Ref::steal(PyLong_FromSsize_t(p));
    if (!position || PyList_Append(last, position.get()) < 0) return VS_FAIL(71);
  }
  return groups.release();
}

// Whether groups i and j share a row, printing every pair of rows compared. -1 on failure.
int conflict(const View& rows, PyObject* group_i, PyObject* group_j) noexcept {
  for (Py_ssize_t a = 0; a < PyList_GET_SIZE(group_i); ++a) {
    int row_a = row_at(rows, group_i, a);
    if (print_ints_with(state.texts.row_ii, row_a) < 0) return VS_FAIL(101);
    for (Py_ssize_t b = 0; b < PyList_GET_SIZE(group_j); ++b) {
      int row_b = row_at(rows, group_j, b);
      if (print_ints_with(state.texts.row_jj, row_b) < 0) return VS_FAIL(103);
      if (row_a == row_b) return 1;
    }
  }
  return 0;
}

// Greedy merging: each group joins the first earlier open group it shares no row with.
int merge(const View& rows, PyObject* groups, const View& merged) noexcept {
  const Py_ssize_t count = PyList_GET_SIZE(groups);
  for (Py_ssize_t i = 1; i < count; ++i) {
    PyObject* group_i = PyList_GET_ITEM(groups, i);
    for (Py_ssize_t j = 0; j < i; ++j) {
      {
        Ref i_number = Ref::steal(PyLong_FromSsize_t(i));
        if (!i_number) return VS_FAIL(91);
        Ref j_number = Ref::steal(PyLong_FromSsize_t(j));
        if (!j_number) return VS_FAIL(91);
        PyObject* line[] = {state.texts.trying_to_merge, i_number.get(), state.texts.in_column,
                            j_number.get()};
        if (print_objects(line, 4, true) < 0) return VS_FAIL(91);
        if (*element<unsigned char>(merged, j) != 0) {
          PyObject* skipped[] = {j_number.get(), state.texts.already_merged};
          if (print_objects(skipped, 2, true) < 0) return VS_FAIL(93);
          continue;
        }
      }
      PyObject* group_j = PyList_GET_ITEM(groups, j);
      int shared = conflict(rows, group_i, group_j);
      if (shared < 0) return -1;
      if (shared) continue;
      if (print_one(state.texts.should_merge) < 0) return VS_FAIL(108);
      *element<unsigned char>(merged, i) = 1;
      Py_ssize_t end = PyList_GET_SIZE(group_j);
      if (PyList_SetSlice(group_j, end, end, group_i) < 0) return VS_FAIL(110);
      break;
    }
  }
  return 0;
}

// The input the grouping needs: at least one column entry and a row entry for each.
int check_pattern(const View& rows, const View& cols) noexcept {
  if (cols.owner == nullptr || cols.owner == Py_None || rows.owner == nullptr ||
      rows.owner == Py_None) {
    PyErr_Format(PyExc_TypeError, msg::kMustNotBeNone,
                 cols.owner == nullptr || cols.owner == Py_None ? "cols" : "rows");
    return -1;
  }
  if (extent(cols) == 0) {
    PyErr_SetString(PyExc_ValueError, msg::kNoEntries);
    return -1;
  }
  if (extent(rows) < extent(cols)) {
    PyErr_Format(PyExc_ValueError, msg::kShortRows, extent(rows), extent(cols));
    return -1;
  }
  return 0;
}

PyObject* group(const View& rows, const View& cols) noexcept {
  if (check_pattern(rows, cols) < 0) return VS_FAIL(61);
  const Py_ssize_t n = extent(cols);
  {
    Ref last = Ref::steal(PyLong_FromLong(*element<const int>(cols, n - 1)));
    if (!last || print_one(last.get()) < 0) return VS_FAIL(61);
  }
  Ref groups = Ref::steal(runs_of(cols, n));
  if (!groups) return nullptr;
  if (print_one(groups.get()) < 0) return VS_FAIL(72);
  const Py_ssize_t count = PyList_GET_SIZE(groups.get());

  for (Py_ssize_t g = 0; g < count; ++g) {
    PyObject* positions = PyList_GET_ITEM(groups.get(), g);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(positions); ++k) {
      Ref row = Ref::steal(PyLong_FromLong(row_at(rows, positions, k)));
      if (!row) return VS_FAIL(79);
      PyObject* line[] = {row.get()};
      if (print_objects(line, 1, false) < 0) return VS_FAIL(79);
    }
    if (print_one(state.texts.empty) < 0) return VS_FAIL(80);
  }

  HeldView merged;
  {
    Ref count_number = Ref::steal(PyLong_FromSsize_t(count));
    if (!count_number) return VS_FAIL(85);
    Ref flags = Ref::steal(call_numpy(state.names.zeros, count_number.get(), state.names.uint8,
                                      nullptr, CallSite{kFunction, VS_SITE, 85}));
    if (!flags) return nullptr;
    if (merged.acquire(flags.get(), kUInt8Element) < 0) return VS_FAIL(85);
    if (extent(merged.get()) < count) {
      PyErr_Format(PyExc_ValueError, msg::kShortFlags, extent(merged.get()), count);
      return VS_FAIL(85);
    }
  }

  if (merge(rows, groups.get(), merged.get()) < 0) return nullptr;
  if (print_one(groups.get()) < 0) return VS_FAIL(113);

  Ref result = Ref::steal(PyList_New(0));
  if (!result) return VS_FAIL(115);
  for (Py_ssize_t k = 0; k < count; ++k) {
    bool absorbed = *element<unsigned char>(merged.get(), k) != 0;
    {
      Ref k_number = Ref::steal(PyLong_FromSsize_t(k));
      if (!k_number) return VS_FAIL(117);
      PyObject* line[] = {k_number.get(), state.texts.merged,
                          absorbed ? state.int_1 : state.int_0};
      if (print_objects(line, 3, true) < 0) return VS_FAIL(117);
    }
    if (absorbed) continue;
    Ref array = Ref::steal(call_numpy(state.names.array, PyList_GET_ITEM(groups.get(), k),
                                      nullptr, reinterpret_cast<PyObject*>(&PyLong_Type),
                                      CallSite{kFunction, VS_SITE, 119}));
    if (!array) return nullptr;
    if (PyList_Append(result.get(), array.get()) < 0) return VS_FAIL(119);
  }
  if (print_one(result.get()) < 0) return VS_FAIL(120);
  return result.release();
}

}  // namespace

PyObject* find_groups_entry(Solver* self, View rows, View cols, int skip_dispatch) noexcept {
  if (!skip_dispatch) {
    Ref rows_object = Ref::steal(view_as_object(rows));
    if (!rows_object) return VS_FAIL(51);
    Ref cols_object = Ref::steal(view_as_object(cols));
    if (!cols_object) return VS_FAIL(51);
    PyObject* args[] = {rows_object.get(), cols_object.get()};
    Ref overridden;
    switch (dispatch_override(self, kFindGroupsMethod, args, 2, &overridden)) {
      case Dispatch::kOverridden: return overridden.release();
      case Dispatch::kFailed: return nullptr;
      case Dispatch::kRunBody: break;
    }
  }
  return group(rows, cols);
}

PyObject* find_groups_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  PyObject* rows;
  PyObject* cols;
  if (take_two_arguments("find_groups", args, kwargs, state.names.rows, state.names.cols, &rows,
                         &cols) < 0) {
    return VS_FAIL(51);
  }
  HeldView rows_view;
  if (rows_view.acquire(rows, kIntElement) < 0) return VS_FAIL(51);
  HeldView cols_view;
  if (cols_view.acquire(cols, kIntElement) < 0) return VS_FAIL(51);
  PyObject* result =
      find_groups_entry(reinterpret_cast<Solver*>(self), rows_view.get(), cols_view.get(), 1);
  if (result == nullptr) return VS_FAIL(51);
  return result;
}

}  // namespace vendrel
