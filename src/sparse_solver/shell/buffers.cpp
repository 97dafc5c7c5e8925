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

int check_buffer_layout(const Py_buffer& view, const ElementSpec& element, bool check_format) noexcept {
  if (view.ndim != 1) {
    PyErr_Format(PyExc_ValueError, msg::kWrongDimensions, 1, view.ndim);
    return -1;
  }
  if (check_format) {
    FormatVerdict verdict = check_buffer_format(view.format, element);
    if (!verdict.accepted) {
      PyErr_SetString(PyExc_ValueError, verdict.message);
      return -1;
    }
  }
  auto expected = static_cast<Py_ssize_t>(element.size);
  if (view.itemsize != expected) {
    PyErr_Format(PyExc_ValueError, msg::kItemSize, view.itemsize, view.itemsize > 1 ? "s" : "",
                 element.name, expected, expected > 1 ? "s" : "");
    return -1;
  }
  return 0;
}

int HeldBuffer::acquire_doubles(PyObject* obj, bool writable) noexcept {
  release();
  if (obj == Py_None) return 0;
  int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(obj, &view_, flags) < 0) return -1;
  held_ = true;
  if (check_buffer_layout(view_, kDoubleElement, true) < 0) {
    release();
    return -1;
  }
  return 0;
}

int HeldBuffer::acquire_typed(PyObject* obj, const ElementSpec& element) noexcept {
  release();
  if (obj == Py_None) return 0;
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS) < 0) return -1;
  held_ = true;
  if (check_buffer_layout(view_, element, true) < 0 || check_direct_access(view_) < 0) {
    release();
    return -1;
  }
  return 0;
}

int check_direct_access(const Py_buffer& b) noexcept {
  if (b.len <= 0) return 0;
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

void HeldBuffer::release() noexcept {
  if (held_) {
    held_ = false;
    PyBuffer_Release(&view_);
  }
}

}  // namespace vendrel
