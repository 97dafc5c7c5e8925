// vendrel._passes: the per-Jacobian passes of grouped differences in compiled code (the
// steps, the perturbed points, the recovery of the entries), the helper threads that share
// them, work left running while the residual function evaluates, and the memory of released
// matrices. Its callers are the package's own runtime (vendrel._runtime), which has checked
// the user's input; every entry point here turns C++ exceptions into Python ones.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "export.hpp"
#include "guard.hpp"
#include "held_buffer.hpp"
#include "kernels.hpp"
#include "parallel.hpp"
#include "pending.hpp"
#include "reuse.hpp"

namespace {

using common::guarded;
using common::HeldBuffer;
using common::Unlocked;

// A sequence of float64 buffers of one length each, held together.
class HeldRows {
 public:
  bool acquire(PyObject* sequence, const char* name, std::size_t length) {
    Py_ssize_t count = PySequence_Size(sequence);
    if (count < 0) return false;
    buffers_.reset(new HeldBuffer[static_cast<std::size_t>(count)]);
    data_.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* item = PySequence_GetItem(sequence, k);
      if (!item) return false;
      bool held = buffers_[k].acquire_doubles(item, name, false);
      Py_DECREF(item);  // the held buffer keeps the memory
      if (!held) return false;
      if (buffers_[k].length() != length) {
        PyErr_Format(PyExc_ValueError, "%s must each have %zu values", name, length);
        return false;
      }
      data_[k] = static_cast<const double*>(buffers_[k].data());
    }
    return true;
  }
  const std::vector<const double*>& data() const { return data_; }

 private:
  std::unique_ptr<HeldBuffer[]> buffers_;
  std::vector<const double*> data_;
};

// recover(pointers, indices, groups, rows, minus, base, steps, m, by_rows, out)
// The entries of a grouped Jacobian, in the order of its pointers and indices (CSR when
// by_rows, else CSC; both int32 or both int64): (rows[g][i] - minus[g][i] - base[i]) /
// steps[j] for an entry in row i and column j of group g; minus, base and steps may be None.
// One pass, written straight into `out`, with the interpreter lock released.
PyObject* recover(PyObject*, PyObject* arguments) {
  PyObject *pointers_object, *indices_object, *groups_object, *rows_object, *minus_object,
      *base_object, *steps_object, *out_object;
  Py_ssize_t m;
  int by_rows;
  if (!PyArg_ParseTuple(arguments, "OOOOOOOnpO:recover", &pointers_object, &indices_object,
                        &groups_object, &rows_object, &minus_object, &base_object, &steps_object,
                        &m, &by_rows, &out_object)) {
    return nullptr;
  }
  HeldBuffer pointers, indices, groups, base, steps, out;
  HeldRows rows, minus;
  if (m < 0) {
    PyErr_SetString(PyExc_ValueError, "recover: m must not be negative");
    return nullptr;
  }
  const auto length = static_cast<std::size_t>(m);
  if (!pointers.acquire(pointers_object, "pointers", false) ||
      !indices.acquire(indices_object, "indices", false) ||
      !groups.acquire(groups_object, "groups", false) ||
      !rows.acquire(rows_object, "rows", length) ||
      (minus_object != Py_None && !minus.acquire(minus_object, "minus", length)) ||
      (base_object != Py_None && !base.acquire_doubles(base_object, "base", false)) ||
      (steps_object != Py_None && !steps.acquire_doubles(steps_object, "steps", false)) ||
      !out.acquire_doubles(out_object, "out", true)) {
    return nullptr;
  }
  runtime::Recovery r;
  r.ptr = pointers.data();
  r.idx = indices.data();
  r.wide = pointers.wide();
  r.majors = pointers.length() ? pointers.length() - 1 : 0;
  r.group = static_cast<const std::int64_t*>(groups.data());
  r.columns = groups.length();
  r.m = length;
  r.rows = rows.data();
  r.minus = minus.data();
  r.base = base_object != Py_None ? static_cast<const double*>(base.data()) : nullptr;
  r.step = steps_object != Py_None ? static_cast<const double*>(steps.data()) : nullptr;
  r.by_rows = by_rows != 0;
  bool fits = pointers.wide() == indices.wide() && groups.wide() && pointers.length() > 0 &&
              out.length() == indices.length() &&
              (minus_object == Py_None || minus.data().size() == rows.data().size()) &&
              (base_object == Py_None || base.length() == length) &&
              (steps_object == Py_None || steps.length() == r.columns) &&
              r.majors == (r.by_rows ? length : r.columns);
  r.entries = out.length();
  if (!fits) {
    PyErr_SetString(PyExc_ValueError, "recover: arrays of the wrong type or length");
    return nullptr;
  }
  // The pointers, indices and groups are checked in the pass itself, shared among threads.
  runtime::Recovered done;
  runtime::ready_helpers();
  {
    Unlocked unlocked;
    done = runtime::recover(r, static_cast<double*>(out.data()));
  }
  if (done != runtime::Recovered::kDone) {
    PyErr_SetString(PyExc_ValueError, done == runtime::Recovered::kOutside
                                          ? "recover: an index lies outside the arrays"
                                          : "recover: arrays of the wrong type or length");
    return nullptr;
  }
  Py_RETURN_NONE;
}

// stop_helpers(): ends the helper threads (they finish their work first); they start again
// when next needed. Run before os.fork.
PyObject* stop_helpers(PyObject*, PyObject*) {
  runtime::Crew* taken = runtime::take_helpers();
  {
    Unlocked unlocked;
    runtime::end_helpers(taken);
  }
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"stop_helpers", guarded<stop_helpers>, METH_NOARGS,
     "Ends the helper threads once their work is done; they start again when needed."},
    {"recover", guarded<recover>, METH_VARARGS,
     "A grouped Jacobian's entries from its differences."},
    {"steps", guarded<runtime::steps>, METH_VARARGS,
     "Each column's divisor or signed step, by a step rule."},
    {"start_steps", guarded<runtime::start_steps>, METH_VARARGS,
     "steps on a helper thread; wait() on what it returns before using out."},
    {"perturb", guarded<runtime::perturb>, METH_VARARGS, "x with the listed columns moved."},
    {"start_perturb", guarded<runtime::start_perturb>, METH_VARARGS,
     "perturb on a thread of its own; wait() on what it returns before using out."},
    {"start_same_indices", guarded<runtime::start_same_indices>, METH_VARARGS,
     "Compares two index arrays on a helper thread; wait() tells whether they are equal."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "vendrel._passes",
                       "The per-Jacobian passes of grouped differences (vendrel._runtime's core).",
                       -1, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

VENDREL_EXPORT PyObject* PyInit__passes() {
  PyObject* module = PyModule_Create(&kModule);
  if (!module) return nullptr;
  if (!runtime::add_reuse_types(module) || !runtime::add_pending_type(module) ||
      PyModule_AddIntConstant(module, "HAND_OVER", long(runtime::kHandOver)) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
