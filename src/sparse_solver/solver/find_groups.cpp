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


// A list of the Python ints value(0), ..., value(n - 1).
template <class Value>
PyObject* int_list(Py_ssize_t n, Value value) noexcept {
  Ref list = Ref::steal(PyList_New(n));
  if (!list) return nullptr;
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* number = PyLong_FromSsize_t(value(k));
    if (number == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), k, number);
  }
  return list.release();
}

// One run of the grouping over a pattern of n nonzeros. The ints it prints and stores
// (positions, group numbers, which never exceed n, and the row index at each position)
// are made once, so that the printed lines, which are most of its cost, make none.
class Grouping {
 public:
  Grouping(const View& rows, const View& cols) noexcept
      : rows_(rows), cols_(cols), n_(extent(cols)) {}

  PyObject* run() noexcept {
    {
      Ref last = Ref::steal(PyLong_FromLong(column(n_ - 1)));
      if (!last || print_one(last.get()) < 0) return fail(Site::kGroupsLastColumn);
    }
    numbers_ = Ref::steal(int_list(n_, [](Py_ssize_t k) { return k; }));
    row_numbers_ = Ref::steal(int_list(n_, [this](Py_ssize_t k) { return row(k); }));
    if (!numbers_ || !row_numbers_) return fail(Site::kGroupsNumbers);
    if (make_groups() < 0) return nullptr;
    if (print_one(groups_.get()) < 0) return fail(Site::kGroupsPrintGroups);
    count_ = PyList_GET_SIZE(groups_.get());
    if (print_rows_of_groups() < 0) return nullptr;
    if (make_flags() < 0) return nullptr;
    if (merge() < 0) return nullptr;
    if (print_one(groups_.get()) < 0) return fail(Site::kGroupsPrintMerged);
    return collect();
  }

 private:
  int column(Py_ssize_t p) const noexcept { return *element<const int>(cols_, p); }
  int row(Py_ssize_t p) const noexcept { return *element<const int>(rows_, p); }
  PyObject* number(Py_ssize_t k) const noexcept { return PyList_GET_ITEM(numbers_.get(), k); }
  PyObject* group(Py_ssize_t g) const noexcept { return PyList_GET_ITEM(groups_.get(), g); }
  bool merged(Py_ssize_t g) const noexcept { return *element<unsigned char>(flags_.get(), g); }

  // Positions are the group lists' own ints; their row entries are looked up by position.
  Py_ssize_t position(PyObject* group, Py_ssize_t k) const noexcept {
    return PyLong_AsSsize_t(PyList_GET_ITEM(group, k));
  }
  PyObject* row_number(PyObject* group, Py_ssize_t k) const noexcept {
    return PyList_GET_ITEM(row_numbers_.get(), position(group, k));
  }

  // One group per run of equal column indices, holding the run's positions.
  int make_groups() noexcept {
    groups_ = Ref::steal(PyList_New(0));
    if (!groups_) return fail(Site::kGroupsNumbers);
    Ref first = Ref::steal(PyList_New(1));
    if (!first) return fail(Site::kGroupsFirst);
    PyList_SET_ITEM(first.get(), 0, Py_NewRef(number(0)));
    if (PyList_Append(groups_.get(), first.get()) < 0) return fail(Site::kGroupsAppendFirst);
    PyObject* last = first.get();
    for (Py_ssize_t p = 1; p < n_; ++p) {
      if (column(p) != column(p - 1)) {
        Ref next = Ref::steal(PyList_New(0));
        if (!next || PyList_Append(groups_.get(), next.get()) < 0) {
          return fail(Site::kGroupsNewGroup);
        }
        last = next.get();
      }
      if (PyList_Append(last, number(p)) < 0) return fail(Site::kGroupsAppend);
    }
    return 0;
  }

  // One line per group: its row indices, each followed by a blank.
  int print_rows_of_groups() noexcept {
    for (Py_ssize_t g = 0; g < count_; ++g) {
      PyObject* members = group(g);
      for (Py_ssize_t k = 0; k < PyList_GET_SIZE(members); ++k) {
        PyObject* line[] = {row_number(members, k)};
        if (print_objects(line, 1, false) < 0) return fail(Site::kGroupsPrintRow);
      }
      if (print_one(state.texts.empty) < 0) return fail(Site::kGroupsEndRow);
    }
    return 0;
  }

  // np.zeros(G, dtype=np.uint8), seen through a view of at least G flags.
  int make_flags() noexcept {
    Ref count = Ref::steal(PyLong_FromSsize_t(count_));
    if (!count) return fail(Site::kGroupsFlags);
    Ref flags = Ref::steal(call_numpy(state.names.zeros, count.get(), state.names.uint8, nullptr,
                                      Site::kGroupsFlags));
    if (!flags) return -1;
    if (flags_.acquire(flags.get(), kUInt8Element) < 0) return fail(Site::kGroupsFlags);
    if (extent(flags_.get()) < count_) {
      PyErr_Format(PyExc_ValueError, msg::kShortFlags, extent(flags_.get()), count_);
      return fail(Site::kGroupsFlags);
    }
    return 0;
  }

  // Whether groups i and j share a row, printing every pair of rows compared; -1 on failure.
  int conflict(PyObject* group_i, PyObject* group_j) const noexcept {
    for (Py_ssize_t a = 0; a < PyList_GET_SIZE(group_i); ++a) {
      PyObject* ii[] = {state.texts.row_ii, row_number(group_i, a)};
      if (print_objects(ii, 2, true) < 0) return fail(Site::kGroupsRowII);
      const int row_a = row(position(group_i, a));
      for (Py_ssize_t b = 0; b < PyList_GET_SIZE(group_j); ++b) {
        PyObject* jj[] = {state.texts.row_jj, row_number(group_j, b)};
        if (print_objects(jj, 2, true) < 0) return fail(Site::kGroupsRowJJ);
        if (row_a == row(position(group_j, b))) return 1;
      }
    }
    return 0;
  }

  // Each group joins the first earlier group, still on its own, that shares no row with it.
  int merge() noexcept {
    for (Py_ssize_t i = 1; i < count_; ++i) {
      for (Py_ssize_t j = 0; j < i; ++j) {
        PyObject* trying[] = {state.texts.trying_to_merge, number(i), state.texts.in_column,
                              number(j)};
        if (print_objects(trying, 4, true) < 0) return fail(Site::kGroupsTrying);
        if (merged(j)) {
          PyObject* skipped[] = {number(j), state.texts.already_merged};
          if (print_objects(skipped, 2, true) < 0) return fail(Site::kGroupsAlreadyMerged);
          continue;
        }
        int shared = conflict(group(i), group(j));
        if (shared < 0) return -1;
        if (shared) continue;
        if (print_one(state.texts.should_merge) < 0) return fail(Site::kGroupsShouldMerge);
        *element<unsigned char>(flags_.get(), i) = 1;
        Py_ssize_t end = PyList_GET_SIZE(group(j));
        if (PyList_SetSlice(group(j), end, end, group(i)) < 0) return fail(Site::kGroupsMerge);
        break;
      }
    }
    return 0;
  }

  // One array per group still on its own.
  PyObject* collect() noexcept {
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return fail(Site::kGroupsResult);
    for (Py_ssize_t k = 0; k < count_; ++k) {
      PyObject* line[] = {number(k), state.texts.merged, merged(k) ? state.int_1 : state.int_0};
      if (print_objects(line, 3, true) < 0) return fail(Site::kGroupsPrintFlag);
      if (merged(k)) continue;
      Ref array = Ref::steal(call_numpy(state.names.array, group(k), nullptr,
                                        reinterpret_cast<PyObject*>(&PyLong_Type),
                                        Site::kGroupsArray));
      if (!array) return nullptr;
      if (PyList_Append(result.get(), array.get()) < 0) return fail(Site::kGroupsArray);
    }
    if (print_one(result.get()) < 0) return fail(Site::kGroupsPrintResult);
    return result.release();
  }

  const View& rows_;
  const View& cols_;
  const Py_ssize_t n_;
  Py_ssize_t count_ = 0;
  Ref numbers_;
  Ref row_numbers_;
  Ref groups_;
  HeldView flags_;
};

// The input the grouping needs: at least one column entry and a row entry for each.
int check_pattern(const View& rows, const View& cols) noexcept {
  bool no_rows = rows.owner == nullptr || rows.owner == Py_None;
  bool no_cols = cols.owner == nullptr || cols.owner == Py_None;
  if (no_rows || no_cols) {
    PyErr_Format(PyExc_TypeError, msg::kMustNotBeNone, no_cols ? "cols" : "rows");
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
  if (check_pattern(rows, cols) < 0) return fail(Site::kGroupsInput);
  return Grouping(rows, cols).run();
}

}  // namespace

PyObject* find_groups_entry(Solver* self, View rows, View cols, int skip_dispatch) noexcept {
  if (!skip_dispatch) {
    Ref rows_object = Ref::steal(view_as_object(rows));
    if (!rows_object) return fail(Site::kGroupsArguments);
    Ref cols_object = Ref::steal(view_as_object(cols));
    if (!cols_object) return fail(Site::kGroupsArguments);
    PyObject* args[] = {rows_object.get(), cols_object.get()};
    constexpr OverrideSites kOverrideSites = {Site::kGroupsLookup, Site::kGroupsOverride,
                                              Site::kGroupsOverrideResult};
    Override o = run_override(self, kFindGroupsMethod, args, 2, kOverrideSites);
    if (o.ran) return o.result;
  }
  return group(rows, cols);
}

PyObject* find_groups_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  // Indexed by ArgumentFault.
  constexpr Site kArgumentSites[] = {Site::kGroupsCount, Site::kGroupsKeywordCount,
                                     Site::kGroupsMissingCols, Site::kGroupsKeyword};
  PyObject* rows;
  PyObject* cols;
  ArgumentFault fault;
  if (take_two_arguments("find_groups", args, kwargs, state.names.rows, state.names.cols, &rows,
                         &cols, &fault) < 0) {
    return fail(kArgumentSites[static_cast<int>(fault)]);
  }
  HeldView rows_view;
  if (rows_view.acquire(rows, kIntElement) < 0) return fail(Site::kGroupsRows);
  HeldView cols_view;
  if (cols_view.acquire(cols, kIntElement) < 0) return fail(Site::kGroupsCols);
  PyObject* result =
      find_groups_entry(reinterpret_cast<Solver*>(self), rows_view.get(), cols_view.get(), 1);
  if (result == nullptr) return fail(Site::kGroupsMethod);
  return result;
}

}  // namespace vendrel
