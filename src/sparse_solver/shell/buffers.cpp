// Acceptance of array arguments. The format check itself is buffer_format.cpp's; this file
// turns its verdict and the other checks into the exceptions callers see.
#include "buffers.hpp"

#include "messages.hpp"
#include "state.hpp"

namespace vendrel {

int check_ndarray_argument(PyObject* obj, const char* arg_name) noexcept {
  PyTypeObject* ndarray = state.ndarray;
  if (ndarray == nullptr) {
    PyErr_SetString(PyExc_SystemError, msg::kMissingType);
    return -1;
  }
  if (obj == Py_None || PyObject_TypeCheck(obj, ndarray)) return 0;
  PyErr_Format(PyExc_TypeError, msg::kArgumentType, arg_name, ndarray->tp_name,
               Py_TYPE(obj)->tp_name);
  return -1;
}

int check_buffer(const Py_buffer& b, const ElementSpec& element, bool check_format,
                 bool direct) noexcept {
  if (b.ndim != 1) {
    PyErr_Format(PyExc_ValueError, msg::kWrongDimensions, 1, b.ndim);
    return -1;
  }
  if (check_format) {
    FormatVerdict verdict = check_buffer_format(b.format, element);
    if (!verdict.accepted) {
      PyErr_SetString(PyExc_ValueError, verdict.message);
      return -1;
    }
  }
  auto expected = static_cast<Py_ssize_t>(element.size);
  if (b.itemsize != expected) {
    PyErr_Format(PyExc_ValueError, msg::kItemSize, b.itemsize, b.itemsize > 1 ? "s" : "",
                 element.name, expected, expected > 1 ? "s" : "");
    return -1;
  }
  if (!direct || b.len <= 0) return 0;
  if (b.shape[0] > 1 && b.strides == nullptr && b.suboffsets != nullptr) {
    PyErr_SetString(PyExc_ValueError, msg::kSuboffsetsNoStrides);
    return -1;
  }
  if (b.suboffsets != nullptr && b.suboffsets[0] >= 0) {
    PyErr_Format(PyExc_ValueError, msg::kNotDirect, 0);
    return -1;
  }
  return 0;
}

int acquire_buffer(PyObject* obj, const BufferUse& use, const ElementSpec& element,
                   Py_buffer* out) noexcept {
  if (PyObject_GetBuffer(obj, out, use.flags) < 0) return -1;
  if (check_buffer(*out, element, true, use.direct) < 0) {
    PyBuffer_Release(out);
    return -1;
  }
  return 0;
}

int HeldBuffer::acquire(PyObject* obj, const BufferUse& use) noexcept {
  release();
  if (obj == Py_None) return 0;
  if (acquire_buffer(obj, use, kDoubleElement, &view_) < 0) return -1;
  held_ = true;
  return 0;
}

void HeldBuffer::release() noexcept {
  if (held_) {
    held_ = false;
    PyBuffer_Release(&view_);
  }
}

}  // namespace vendrel
