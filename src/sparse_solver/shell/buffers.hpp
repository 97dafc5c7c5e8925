// Array arguments: the numpy.ndarray type test, and the one acquisition of a checked
// one-dimensional buffer that both the held buffers of `x` and `x0` and the owners of
// typed views use.
#pragma once

#include "buffer_format.hpp"
#include "compat.hpp"

namespace vendrel {

// None or a numpy.ndarray (or subclass) passes; otherwise TypeError naming `arg_name`.
// Adds no traceback entry. 0, or -1 with an exception.
int check_ndarray_argument(PyObject* obj, const char* arg_name) noexcept;

// How a buffer is asked for: the request's flags, and whether indirect (suboffset)
// access is refused, as typed views refuse it.
struct BufferUse {
  int flags;
  bool direct;
};

// `x` and `x0` as the methods read them, and `x0` as compute_pattern writes it.
inline constexpr BufferUse kReadVector{PyBUF_STRIDES | PyBUF_FORMAT, false};
inline constexpr BufferUse kWriteVector{PyBUF_STRIDES | PyBUF_FORMAT | PyBUF_WRITABLE, false};
// A typed view: writable, strided, with its format, and direct.
inline constexpr BufferUse kTypedView{PyBUF_RECORDS, true};

// Checks a held buffer against `element`: one dimension, the format (unless
// `check_format` is false), the item size, and direct access if `direct`. 0, or -1 with
// ValueError.
int check_buffer(const Py_buffer& b, const ElementSpec& element, bool check_format,
                 bool direct) noexcept;

// Requests a buffer from `obj` as `use` says and checks it against `element` (all
// checks). 0, or -1 with an exception and nothing held.
int acquire_buffer(PyObject* obj, const BufferUse& use, const ElementSpec& element,
                   Py_buffer* out) noexcept;

// A buffer of doubles held from acceptance until it goes out of scope.
class HeldBuffer {
 public:
  HeldBuffer() noexcept = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() { release(); }

  // Acquires the buffer of `obj`; None is accepted and holds nothing. 0, or -1 with an
  // exception (and nothing held).
  int acquire(PyObject* obj, const BufferUse& use) noexcept;

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

}  // namespace vendrel
