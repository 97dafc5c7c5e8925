#include "perturbing.hpp"

#include <memory>
#include <new>
#include <thread>

#include "held_buffer.hpp"
#include "kernels.hpp"
#include "parallel.hpp"

namespace grouping {
namespace {

// A perturbation's arguments, checked and held.
struct Task {
  HeldBuffer x, columns, out, moved;
  HeldRule rule;
  bool by_rule = false;
  int part = 0;
  std::thread thread;

  bool take(PyObject* arguments) {
    PyObject *x_object, *columns_object, *out_object, *moved_object, *rule_object;
    if (!PyArg_ParseTuple(arguments, "OOOOOi:perturb", &x_object, &columns_object, &out_object,
                          &moved_object, &rule_object, &part)) {
      return false;
    }
    by_rule = moved_object == Py_None;
    if (!x.acquire_doubles(x_object, "x", false) ||
        !columns.acquire(columns_object, "columns", false) ||
        !out.acquire_doubles(out_object, "out", true) ||
        (!by_rule && !moved.acquire_doubles(moved_object, "moved", false)) ||
        (by_rule && !rule.acquire(rule_object, x.length()))) {
      return false;
    }
    const std::size_t n = x.length();
    const auto* listed = static_cast<const std::int64_t*>(columns.data());
    bool fits = columns.wide() && (by_rule || moved.length() == n) && out.length() == n &&
                (part == 0 || part == 1) && out.data() != x.data();
    for (std::size_t k = 0; fits && k < columns.length(); ++k) {
      fits = listed[k] >= 0 && static_cast<std::size_t>(listed[k]) < n;
    }
    if (!fits) {
      PyErr_SetString(PyExc_ValueError, "perturb: arrays of the wrong type or length");
      return false;
    }
    return true;
  }

  // Touches no Python object: runs without the interpreter lock.
  void run() const {
    grouping::perturb(static_cast<const double*>(x.data()), x.length(),
                      by_rule ? nullptr : static_cast<const double*>(moved.data()),
                      by_rule ? &rule.rule() : nullptr, part,
                      static_cast<const std::int64_t*>(columns.data()), columns.length(),
                      static_cast<double*>(out.data()));
  }
};

struct PendingObject {
  PyObject_HEAD
  Task* task;  // owned; null once waited for
};

PyTypeObject pending_type = [] {
  PyTypeObject type{};
  reinterpret_cast<PyObject*>(&type)->ob_refcnt = 1;
  return type;
}();

// Joins the task's thread with the lock released, then lets its buffers go (with the lock).
void finish(PendingObject* pending) {
  Task* task = pending->task;
  if (!task) return;
  pending->task = nullptr;
  if (task->thread.joinable()) {
    Py_BEGIN_ALLOW_THREADS
    task->thread.join();
    Py_END_ALLOW_THREADS
  }
  delete task;
}

PyObject* pending_wait(PyObject* self, PyObject*) {
  finish(reinterpret_cast<PendingObject*>(self));
  Py_RETURN_NONE;
}

void pending_dealloc(PyObject* self) {
  finish(reinterpret_cast<PendingObject*>(self));
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef pending_methods[] = {
    {"wait", pending_wait, METH_NOARGS, "Returns once the point is written."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* perturb(PyObject*, PyObject* arguments) {
  Task task;
  if (!task.take(arguments)) return nullptr;
  Py_BEGIN_ALLOW_THREADS
  task.run();
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyObject* start_perturb(PyObject*, PyObject* arguments) {
  std::unique_ptr<Task> task(new (std::nothrow) Task());
  if (!task) return PyErr_NoMemory();
  if (!task->take(arguments)) return nullptr;
  auto* pending = PyObject_New(PendingObject, &pending_type);
  if (!pending) return nullptr;
  Task* running = task.get();
  if (!start_thread(running->thread, [running] { running->run(); })) {
    // No thread to be had: the point is written now, and wait() has nothing to wait for.
    Py_BEGIN_ALLOW_THREADS
    running->run();
    Py_END_ALLOW_THREADS
  }
  pending->task = task.release();
  return reinterpret_cast<PyObject*>(pending);
}

bool add_pending_type(PyObject* module) {
  pending_type.tp_name = "vendrel._grouping.Pending";
  pending_type.tp_basicsize = sizeof(PendingObject);
  pending_type.tp_flags = Py_TPFLAGS_DEFAULT;
  pending_type.tp_dealloc = pending_dealloc;
  pending_type.tp_methods = pending_methods;
  pending_type.tp_doc = "A point being written on another thread; wait() for it.";
  if (PyType_Ready(&pending_type) < 0) return false;
  Py_INCREF(&pending_type);
  if (PyModule_AddObject(module, "Pending", reinterpret_cast<PyObject*>(&pending_type)) < 0) {
    Py_DECREF(&pending_type);
    return false;
  }
  return true;
}

}  // namespace grouping
