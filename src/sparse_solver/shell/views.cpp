// The owner objects of typed views, and the acquisition and release of views on them.
// Owners are the objects that a Python override of find_groups receives, and that
// do_stuff hands to np.asarray, so they export their memory through the buffer protocol.
#include "views.hpp"

#include "buffers.hpp"
#include "messages.hpp"
#include "ref.hpp"

#include <cstdio>
#include <cstring>

namespace vendrel {
namespace {

struct Owner {
  PyObject_HEAD
  Py_buffer buffer;        // what the owner exposes; acquired from `exporter` or described
  bool acquired;           // `buffer` is an acquired buffer to release
  PyObject* base;          // keeps described memory alive (the view's original owner)
  const ElementSpec* element;  // the element type its views hold
  // Views using it. Views are taken and released only with the interpreter lock held
  // (do_stuff releases it around its loop alone), so a plain count does.
  int acquisitions;
  Py_ssize_t shape;        // storage for a described buffer's shape and stride
  Py_ssize_t stride;
  char* format;            // owned copy of a described buffer's format
};

PyTypeObject g_owner_type = [] {
  PyTypeObject t{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
  return t;
}();

Owner* as_owner(PyObject* o) noexcept { return reinterpret_cast<Owner*>(o); }

bool is_owner(PyObject* o) noexcept { return Py_TYPE(o) == &g_owner_type; }

[[noreturn]] void fatal_count(int count, int line) noexcept {
  char message[64];
  std::snprintf(message, sizeof message, msg::kAcquisitionCount, count, line);
  Py_FatalError(message);
}

// The count before the change.
int add_acquisition(Owner* owner) noexcept {
  int before = owner->acquisitions++;
  if (before < 0) fatal_count(before + 1, __LINE__);
  return before;
}

int remove_acquisition(Owner* owner) noexcept {
  int before = owner->acquisitions--;
  if (before <= 0) fatal_count(before - 1, __LINE__);
  return before;
}

// A new, empty owner; its buffer is filled by the caller.
Owner* new_owner(const ElementSpec* element) noexcept {
  Owner* owner = PyObject_New(Owner, &g_owner_type);
  if (owner == nullptr) return nullptr;
  std::memset(&owner->buffer, 0, sizeof owner->buffer);
  owner->acquired = false;
  owner->base = nullptr;
  owner->element = element;
  owner->acquisitions = 0;
  owner->shape = 0;
  owner->stride = 0;
  owner->format = nullptr;
  return owner;
}

void owner_dealloc(PyObject* o) noexcept {
  Owner* owner = as_owner(o);
  if (owner->acquired) PyBuffer_Release(&owner->buffer);
  Py_XDECREF(owner->base);
  PyMem_Free(owner->format);
  PyObject_Free(o);
}

int owner_getbuffer(PyObject* o, Py_buffer* view, int flags) noexcept {
  Owner* owner = as_owner(o);
  const Py_buffer& b = owner->buffer;
  if ((flags & PyBUF_WRITABLE) && b.readonly) {
    PyErr_SetString(PyExc_BufferError, msg::kNotWritable);
    return -1;
  }
  bool contiguous = b.shape[0] <= 1 || b.strides[0] == b.itemsize;
  if (!(flags & PyBUF_STRIDES) && !contiguous) {
    PyErr_SetString(PyExc_BufferError, msg::kNotContiguous);
    return -1;
  }
  view->obj = Py_NewRef(o);
  view->buf = b.buf;
  view->len = b.shape[0] * b.itemsize;
  view->readonly = b.readonly;
  view->itemsize = b.itemsize;
  view->format = (flags & PyBUF_FORMAT) ? b.format : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) ? b.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) ? b.strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

Py_ssize_t owner_length(PyObject* o) noexcept { return as_owner(o)->buffer.shape[0]; }

PyBufferProcs g_owner_buffer = {owner_getbuffer, nullptr};
PySequenceMethods g_owner_sequence = {};

}  // namespace

int ready_view_types() noexcept {
  PyTypeObject& t = g_owner_type;
  t.tp_name = "vendrel.sparse_solver.memoryview";
  t.tp_basicsize = sizeof(Owner);
  t.tp_dealloc = owner_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_as_buffer = &g_owner_buffer;
  g_owner_sequence.sq_length = owner_length;
  t.tp_as_sequence = &g_owner_sequence;
  return PyType_Ready(&t);
}

int acquire_view(PyObject* obj, const ElementSpec& element, View* out) noexcept {
  if (obj == Py_None) {
    std::memset(out, 0, sizeof *out);
    out->owner = Py_None;
    return 0;
  }
  Ref owner_ref;
  if (is_owner(obj) && as_owner(obj)->element == &element) {
    // One of ours, checked when it was made: its format is not read again.
    owner_ref = Ref::borrow(obj);
    if (check_buffer(as_owner(obj)->buffer, element, false, true) < 0) return -1;
  } else {
    Owner* made = new_owner(&element);
    if (made == nullptr) return -1;
    owner_ref = Ref::steal(reinterpret_cast<PyObject*>(made));
    if (acquire_buffer(obj, kTypedView, element, &made->buffer) < 0) return -1;
    made->acquired = true;
  }
  Owner* owner = as_owner(owner_ref.get());
  const Py_buffer& b = owner->buffer;

  std::memset(out, 0, sizeof *out);
  out->data = static_cast<char*>(b.buf);
  out->shape[0] = b.shape[0];
  out->strides[0] = b.strides != nullptr ? b.strides[0] : b.itemsize;
  out->suboffsets[0] = b.suboffsets != nullptr ? b.suboffsets[0] : -1;
  out->owner = owner_ref.get();
  // The first view keeps the owner alive with the reference made or taken here.
  if (add_acquisition(owner) == 0) {
    (void)owner_ref.release();
  }
  return 0;
}

void release_view(View* view) noexcept {
  PyObject* owner = view->owner;
  if (owner != nullptr && owner != Py_None) {
    if (remove_acquisition(as_owner(owner)) == 1) Py_DECREF(owner);
  }
  std::memset(view, 0, sizeof *view);
}

PyObject* view_as_object(const View& view) noexcept {
  if (view.owner == nullptr || view.owner == Py_None) return Py_NewRef(Py_None);
  Owner* made = new_owner(&kIntElement);
  if (made == nullptr) return nullptr;
  Ref result = Ref::steal(reinterpret_cast<PyObject*>(made));
  // The element format comes from the owner's buffer: views from other compiled modules
  // are owned by their own memoryview objects, whose fields we must not read.
  const char* format;
  Py_ssize_t itemsize;
  Py_buffer source{};
  bool source_held = false;
  if (is_owner(view.owner)) {
    format = as_owner(view.owner)->buffer.format;
    itemsize = as_owner(view.owner)->buffer.itemsize;
  } else {
    if (PyObject_GetBuffer(view.owner, &source, PyBUF_RECORDS_RO) < 0) return nullptr;
    source_held = true;
    format = source.format;
    itemsize = source.itemsize;
  }
  if (format == nullptr) format = "B";
  std::size_t format_size = std::strlen(format) + 1;
  made->format = static_cast<char*>(PyMem_Malloc(format_size));
  if (made->format != nullptr) std::memcpy(made->format, format, format_size);
  if (source_held) PyBuffer_Release(&source);
  if (made->format == nullptr) return PyErr_NoMemory();

  made->base = Py_NewRef(view.owner);
  made->shape = view.shape[0];
  made->stride = view.strides[0];
  Py_buffer& b = made->buffer;
  b.buf = view.data;
  b.obj = nullptr;
  b.len = view.shape[0] * itemsize;
  b.itemsize = itemsize;
  b.readonly = 0;
  b.format = made->format;
  b.ndim = 1;
  b.shape = &made->shape;
  b.strides = &made->stride;
  b.suboffsets = nullptr;
  return result.release();
}

}  // namespace vendrel
