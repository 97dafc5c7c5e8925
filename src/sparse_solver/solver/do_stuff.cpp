// do_stuff: adds one to every element of an int view with the interpreter lock released,
// then prints the view as an array. Reachable only through the C-level method table.
#include "shell/failure.hpp"
#include "shell/print.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"
#include "shell/views.hpp"
#include "solver/methods.hpp"
#include "solver/numpy_calls.hpp"

#include <cstdint>
#include <cstring>

namespace vendrel {
namespace {


// Adds one in 32-bit two's complement, so the largest value wraps to the smallest.
void increment(char* data, Py_ssize_t n, Py_ssize_t stride) noexcept {
  if (stride == sizeof(std::int32_t)) {
    std::uint32_t* values = reinterpret_cast<std::uint32_t*>(data);
    for (Py_ssize_t i = 0; i < n; ++i) values[i] += 1u;
    return;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    std::uint32_t value;
    std::memcpy(&value, data + i * stride, sizeof value);
    value += 1u;
    std::memcpy(data + i * stride, &value, sizeof value);
  }
}

}  // namespace

PyObject* do_stuff_entry(Solver*, View v) noexcept {
  // The whole extent, however large: a count cut to 32 bits would leave elements out.
  const Py_ssize_t n = extent(v);
  Py_BEGIN_ALLOW_THREADS
  increment(v.data, n, v.strides[0]);
  Py_END_ALLOW_THREADS

  Ref asarray = Ref::steal(numpy_attribute(state.names.asarray));
  if (!asarray) return fail(Site::kDoStuffPrint);
  Ref wrapped = Ref::steal(view_as_object(v));
  if (!wrapped) return fail(Site::kDoStuffPrint);
  PyObject* args[] = {wrapped.get()};
  Ref array = Ref::steal(PyObject_Vectorcall(asarray.get(), args, 1, nullptr));
  if (!array) return fail(Site::kDoStuffPrint);
  if (print_one(array.get()) < 0) return fail(Site::kDoStuffPrint);
  return Py_NewRef(Py_None);
}

}  // namespace vendrel
