// Array arguments: the numpy.ndarray type test and the one-dimensional float64 buffers
// that `x` and `x0` are read (and `x0` written) through.
#pragma once

#include "buffer_format.hpp"
#include "compat.hpp"

namespace vendrel {

// None or a numpy.ndarray (or subclass) passes; otherwise TypeError naming `arg_name`.
// Adds no traceback entry. 0, or -1 with an exception.
int check_ndarray_argument(PyObject* obj, const char* arg_name) noexcept;

// A buffer held from acceptance until it goes out of scope.
class HeldBuffer {
 public:
  HeldBuffer() noexcept = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() { release(); }

  // Requests a one-dimensional buffer of C doubles from `obj` (strides and format, and
  // writability if asked) and checks it. None is accepted and holds nothing.
  // 0, or -1 with an exception (and nothing held).
  int acquire_doubles(PyObject* obj, bool writable) noexcept;

  // Requests a buffer from `obj` as a typed view does (strides, format, writability,
  // direct access) and checks it against `element`, with the same refusals; None is accepted
  // and holds nothing. For the module's own reading of an object it does not hand on.
  int acquire_typed(PyObject* obj, const ElementSpec& element) noexcept;

  void release() noexcept;

  Py_ssize_t length() const noexcept { return held_ ? view_.shape[0] : 0; }
  Py_ssize_t stride() const noexcept { return view_.strides[0]; }
  char* data() const noexcept { return static_cast<char*>(view_.buf); }
  double* element(Py_ssize_t i) const noexcept {
    return reinterpret_cast<double*>(data() + i * view_.strides[0]);
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Checks an acquired buffer's dimensions, format (unless `check_format` is false) and
// item size against `element`. 0, or -1 with ValueError.
int check_buffer_layout(const Py_buffer& view, const ElementSpec& element, bool check_format) noexcept;

// Typed views take direct, strided access only: a buffer with bytes must not ask for
// indirect (suboffset) access. 0, or -1 with ValueError.
int check_direct_access(const Py_buffer& view) noexcept;

}  // namespace vendrel
