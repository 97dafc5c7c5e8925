// The SparseSolver type object. Its layout is the public record of vendrel/sparse_solver.h,
// which compiled callers (Cython among them) rely on byte for byte.
#include "solver_type.hpp"

#include "ref.hpp"
#include "state.hpp"

#include <cstddef>

namespace vendrel {

static_assert(offsetof(Solver, vtab) == sizeof(PyObject), "table pointer follows the header");
static_assert(offsetof(Solver, pattern_rows) == sizeof(PyObject) + sizeof(void*));
static_assert(offsetof(Solver, reserved1) == offsetof(Solver, pattern_rows) + sizeof(void*));
static_assert(offsetof(Solver, reserved2) == offsetof(Solver, reserved1) + sizeof(void*));
static_assert(sizeof(Solver) == sizeof(PyObject) + 4 * sizeof(void*));

namespace {

Solver* as_solver(PyObject* o) noexcept { return reinterpret_cast<Solver*>(o); }

// Construction arguments are ignored: the class has no initialiser of its own, and a
// Python subclass that defines __init__ receives them there.
PyObject* solver_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyObject* o;
  if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
    // object's creation routine refuses abstract classes with the interpreter's message.
    o = PyBaseObject_Type.tp_new(type, state.empty_tuple, nullptr);
  } else {
    o = type->tp_alloc(type, 0);
  }
  if (o == nullptr) return nullptr;
  Solver* self = as_solver(o);
  self->vtab = &solver_vtable;
  self->pattern_rows = Py_NewRef(Py_None);
  self->reserved1 = Py_NewRef(Py_None);
  self->reserved2 = Py_NewRef(Py_None);
  return o;
}

void solver_dealloc(PyObject* o) noexcept {
  PyTypeObject* type = Py_TYPE(o);
  // A Python subclass's own dealloc has run the finaliser already; only an instance
  // destroyed through this function runs it here.
  if (type->tp_finalize != nullptr && type->tp_dealloc == solver_dealloc &&
      !PyObject_GC_IsFinalized(o)) {
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected
  }
  PyObject_GC_UnTrack(o);
  Solver* self = as_solver(o);
  Py_CLEAR(self->pattern_rows);
  Py_CLEAR(self->reserved1);
  Py_CLEAR(self->reserved2);
  type->tp_free(o);
}

int solver_traverse(PyObject* o, visitproc visit, void* arg) noexcept {
  Solver* self = as_solver(o);
  Py_VISIT(self->pattern_rows);
  Py_VISIT(self->reserved1);
  Py_VISIT(self->reserved2);
  return 0;
}

int solver_clear(PyObject* o) noexcept {
  Solver* self = as_solver(o);
  Py_XSETREF(self->pattern_rows, Py_NewRef(Py_None));
  Py_XSETREF(self->reserved1, Py_NewRef(Py_None));
  Py_XSETREF(self->reserved2, Py_NewRef(Py_None));
  return 0;
}

}  // namespace

PyTypeObject solver_type = [] {
  PyTypeObject t{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
  t.tp_name = "vendrel.sparse_solver.SparseSolver";
  t.tp_basicsize = sizeof(Solver);
  t.tp_itemsize = 0;
  t.tp_dealloc = solver_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = solver_traverse;
  t.tp_clear = solver_clear;
  t.tp_methods = solver_methods;
  t.tp_new = solver_new;
  return t;
}();

int ready_solver_type() noexcept {
  if (PyType_Ready(&solver_type) < 0) return -1;
  // Unnamed: compiled callers read it with PyCapsule_GetPointer(capsule, NULL).
  Ref capsule = Ref::steal(PyCapsule_New(&solver_vtable, nullptr, nullptr));
  if (!capsule) return -1;
  if (PyDict_SetItem(solver_type.tp_dict, state.names.pyx_vtable, capsule.get()) < 0) return -1;
  PyType_Modified(&solver_type);
  return 0;
}

}  // namespace vendrel
