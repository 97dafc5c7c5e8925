// Buffers of Python objects held by the binding for the length of a call (or of a task).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string_view>

#include "kernels.hpp"
#include "pattern.hpp"

namespace grouping {

// A buffer held from acquisition to every way out.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Holds a contiguous buffer and gives its format code without a native byte-order prefix.
  bool take(PyObject* object, bool writable, std::string_view& format) {
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
    held_ = true;
    format = view_.format ? view_.format : "B";
    if (!format.empty() && (format[0] == '=' || format[0] == '@' || format[0] == '<')) {
      format.remove_prefix(1);
    }
    return true;
  }

  // A one-dimensional contiguous buffer of 4- or 8-byte signed integers.
  bool acquire(PyObject* object, const char* name, bool writable) {
    std::string_view format;
    if (!take(object, writable, format)) return false;
    bool integer = format.size() == 1 && std::strchr("ilq", format[0]) != nullptr;
    if (view_.ndim != 1 || !integer || (view_.itemsize != 4 && view_.itemsize != 8)) {
      PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional array of int32 or int64", name);
      return false;
    }
    return true;
  }

  // A one-dimensional contiguous buffer of float64.
  bool acquire_doubles(PyObject* object, const char* name, bool writable) {
    std::string_view format;
    if (!take(object, writable, format)) return false;
    if (view_.ndim != 1 || format != "d" || view_.itemsize != 8) {
      PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional array of float64", name);
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
    rule_.scheme = static_cast<grouping::Scheme>(scheme);
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
  const grouping::StepRule& rule() const { return rule_; }

 private:
  HeldBuffer rel_, abs_;
  grouping::StepRule rule_;
};

}  // namespace grouping
