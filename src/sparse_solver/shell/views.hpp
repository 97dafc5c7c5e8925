// Typed views: one-dimensional (owner, data, extent, stride) records over the buffers of
// array arguments, in the public `vendrel_view` layout, and the objects that own them.
//
// An owner holds one acquired buffer (or describes memory that another object keeps
// alive) and counts the views that use it; the first view holds
// a reference to it and the last one to go releases that reference. None stands for a
// view without memory: owner None, data null, extent 0, and no reference counted.
#pragma once

#include "buffer_format.hpp"
#include "compat.hpp"
#include "vendrel/sparse_solver.h"

namespace vendrel {

using View = vendrel_view;

// Makes the owner type ready, at start-up. 0, or -1 with an exception.
int ready_view_types() noexcept;

// Makes `out` (which must be empty) a view of `obj` with elements of type `element`: a
// writable, strided, one-dimensional buffer with direct access. One of the module's own
// owners of the same element type is used as it is. 0, or -1 with an exception (`out` left
// empty).
int acquire_view(PyObject* obj, const ElementSpec& element, View* out) noexcept;

// Releases a view made by acquire_view and empties it.
void release_view(View* view) noexcept;

// A new reference to an object that exposes `view`'s memory through the buffer protocol
// (one dimension, the view's extent and stride, the element format of the owner's
// buffer), keeping its owner alive; None for a view without memory.
PyObject* view_as_object(const View& view) noexcept;

// A view that is released when it goes out of scope.
class HeldView {
 public:
  HeldView() noexcept = default;
  HeldView(const HeldView&) = delete;
  HeldView& operator=(const HeldView&) = delete;
  ~HeldView() { release_view(&view_); }

  int acquire(PyObject* obj, const ElementSpec& element) noexcept {
    release_view(&view_);
    return acquire_view(obj, element, &view_);
  }
  const View& get() const noexcept { return view_; }

 private:
  View view_{};
};

inline Py_ssize_t extent(const View& v) noexcept { return v.shape[0]; }

template <class T>
T* element(const View& v, Py_ssize_t i) noexcept {
  return reinterpret_cast<T*>(v.data + i * v.strides[0]);
}

}  // namespace vendrel
