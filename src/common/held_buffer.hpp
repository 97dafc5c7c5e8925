// Buffers of Python objects held by a binding for the length of a call (or of a task).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <string_view>

namespace common {

// A buffer held from acquisition to every way out.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() { release(); }

  // Lets the buffer go before the holder dies (at once, needing the interpreter lock).
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
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

  std::size_t length() const { return static_cast<std::size_t>(view_.shape[0]); }
  bool wide() const { return view_.itemsize == 8; }
  void* data() const { return view_.buf; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace common
