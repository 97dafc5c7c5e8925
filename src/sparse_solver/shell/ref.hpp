// Owned references and other resources the module holds, each released by its destructor.
//
// Rules of ownership:
//  - A plain `PyObject*` parameter or result of a helper is borrowed, as in CPython,
//    unless the function's name or comment says it returns a new reference.
//  - `Ref` owns exactly one reference. It is made only by `Ref::steal(p)` (takes over a
//    new reference, may be null) or `Ref::borrow(p)` (adds one). `get()` lends it;
//    `release()` hands it to the caller. It is move-only, so a copy never doubles a
//    reference silently.
#pragma once

#include "compat.hpp"

#include <utility>

namespace vendrel {

class Ref {
 public:
  Ref() noexcept = default;
  [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
  [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = p_;
    p_ = other.p_;
    other.p_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace vendrel
