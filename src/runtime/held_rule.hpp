// A step rule handed over from Python, held with its arrays for the length of a call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "held_buffer.hpp"
#include "kernels.hpp"

namespace runtime {

using common::HeldBuffer;

// A step rule from its tuple (rstep, rel, abs, scheme): rel and abs None or float64 arrays
// of one value or one per column; scheme 0, 1, 2 is 2-point, 3-point, cs.
class HeldRule {
 public:
  bool acquire(PyObject* object, std::size_t columns) {
    PyObject *rel_object, *abs_object;
    int scheme;
    if (!PyArg_ParseTuple(object, "dOOi:step rule", &rule_.rstep, &rel_object, &abs_object,
                          &scheme)) {
      return false;
    }
    if (scheme < 0 || scheme > 2) {
      PyErr_SetString(PyExc_ValueError, "step rule: unknown scheme");
      return false;
    }
    rule_.scheme = static_cast<Scheme>(scheme);
    if ((rel_object != Py_None && !rel_.acquire_doubles(rel_object, "rel_step", false)) ||
        (abs_object != Py_None && !abs_.acquire_doubles(abs_object, "abs_step", false))) {
      return false;
    }
    auto broadcast = [columns](PyObject* o, const HeldBuffer& b) {
      return o == Py_None || b.length() == 1 || b.length() == columns;
    };
    if (!broadcast(rel_object, rel_) || !broadcast(abs_object, abs_)) {
      PyErr_SetString(PyExc_ValueError, "step rule: steps of the wrong length");
      return false;
    }
    if (rel_object != Py_None) {
      rule_.rel = static_cast<const double*>(rel_.data());
      rule_.rel_count = rel_.length();
    }
    if (abs_object != Py_None) {
      rule_.abs = static_cast<const double*>(abs_.data());
      rule_.abs_count = abs_.length();
    }
    return true;
  }
  const StepRule& rule() const { return rule_; }
  void release() {
    rel_.release();
    abs_.release();
  }

 private:
  HeldBuffer rel_, abs_;
  StepRule rule_;
};

}  // namespace runtime
