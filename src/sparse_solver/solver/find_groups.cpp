// find_groups: gathers the columns of a sparsity pattern greedily into groups of
// structurally orthogonal columns, printing a trace of every step.
#include "shell/arguments.hpp"
#include "shell/failure.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"
#include "shell/views.hpp"
#include "solver/methods.hpp"
#include "solver/override.hpp"

namespace vendrel {
namespace {

constexpr int kSiteFile = kSiteGroups;
constexpr const char* kFunction = "vendrel.sparse_solver.SparseSolver.find_groups";

PyObject* group(Solver*, const View&, const View&) noexcept {
  PyErr_SetString(PyExc_NotImplementedError, "find_groups is not implemented yet");
  return nullptr;
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
  return group(self, rows, cols);
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
