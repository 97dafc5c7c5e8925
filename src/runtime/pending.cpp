#include "pending.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "guard.hpp"
#include "held_buffer.hpp"
#include "held_rule.hpp"
#include "kernels.hpp"
#include "parallel.hpp"
#include "static_types.hpp"

namespace runtime {
namespace {

using common::HeldBuffer;
using common::Unlocked;

// Work with its arguments held. run() touches no Python object: it runs without the lock.
class Job {
 public:
  virtual ~Job() = default;
  virtual void run() = 0;
  virtual PyObject* result() const { Py_RETURN_NONE; }
  // Bytes the job reads or writes: below kHandOver, waking a helper costs more than the job.
  virtual std::size_t bytes() const = 0;
  // Lets the arrays go once the job has run, so that a point's memory is free again as soon
  // as nothing else holds it.
  virtual void release() = 0;

  Ticket ticket;
  bool handed_over = false;
};

class Perturbation final : public Job {
 public:
  bool take(PyObject* arguments) {
    PyObject *x_object, *columns_object, *out_object, *moved_object, *rule_object;
    if (!PyArg_ParseTuple(arguments, "OOOOOi:perturb", &x_object, &columns_object, &out_object,
                          &moved_object, &rule_object, &part_)) {
      return false;
    }
    by_rule_ = moved_object == Py_None;
    if (!x_.acquire_doubles(x_object, "x", false) ||
        !columns_.acquire(columns_object, "columns", false) ||
        !out_.acquire_doubles(out_object, "out", true) ||
        (!by_rule_ && !moved_.acquire_doubles(moved_object, "moved", false)) ||
        (by_rule_ && !rule_.acquire(rule_object, x_.length()))) {
      return false;
    }
    // The columns themselves are checked as they are moved, off the interpreter's thread.
    const std::size_t n = x_.length();
    const auto x = reinterpret_cast<std::uintptr_t>(x_.data());
    const auto out = reinterpret_cast<std::uintptr_t>(out_.data());
    const std::size_t bytes = n * sizeof(double);
    const bool apart = out + bytes <= x || x + bytes <= out;  // x is copied into out
    const bool fits = columns_.wide() && (by_rule_ || moved_.length() == n) &&
                      out_.length() == n && (part_ == 0 || part_ == 1) && apart;
    if (!fits) {
      PyErr_SetString(PyExc_ValueError, "perturb: arrays of the wrong type or length");
      return false;
    }
    return true;
  }

  void run() override {
    inside_ = runtime::perturb(static_cast<const double*>(x_.data()), x_.length(),
                      by_rule_ ? nullptr : static_cast<const double*>(moved_.data()),
                      by_rule_ ? &rule_.rule() : nullptr, part_,
                      static_cast<const std::int64_t*>(columns_.data()), columns_.length(),
                      static_cast<double*>(out_.data()));
  }
  std::size_t bytes() const override { return 2 * x_.length() * sizeof(double); }
  void release() override {
    for (HeldBuffer* held : {&x_, &columns_, &out_, &moved_}) held->release();
    rule_.release();
  }
  PyObject* result() const override {
    if (inside_) Py_RETURN_NONE;
    PyErr_SetString(PyExc_ValueError, "perturb: a column lies outside x");
    return nullptr;
  }

 private:
  HeldBuffer x_, columns_, out_, moved_;
  HeldRule rule_;
  bool by_rule_ = false;
  bool inside_ = false;
  int part_ = 0;
};

class Steps final : public Job {
 public:
  bool take(PyObject* arguments) {
    PyObject *x_object, *rule_object, *out_object;
    if (!PyArg_ParseTuple(arguments, "OOpO:steps", &x_object, &rule_object, &divisors_,
                          &out_object) ||
        !x_.acquire_doubles(x_object, "x", false) ||
        !out_.acquire_doubles(out_object, "out", true) || !rule_.acquire(rule_object, x_.length())) {
      return false;
    }
    if (out_.length() != x_.length()) {
      PyErr_SetString(PyExc_ValueError, "steps: arrays of the wrong length");
      return false;
    }
    return true;
  }

  void run() override {
    runtime::steps(static_cast<const double*>(x_.data()), x_.length(), rule_.rule(),
                    divisors_ != 0, static_cast<double*>(out_.data()));
  }
  std::size_t bytes() const override { return 2 * x_.length() * sizeof(double); }
  void release() override {
    x_.release();
    out_.release();
    rule_.release();
  }

 private:
  HeldBuffer x_, out_;
  HeldRule rule_;
  int divisors_ = 0;
};

class Comparison final : public Job {
 public:
  bool take(PyObject* arguments) {
    PyObject *a_object, *b_object;
    if (!PyArg_ParseTuple(arguments, "OO:same_indices", &a_object, &b_object) ||
        !a_.acquire(a_object, "a", false) || !b_.acquire(b_object, "b", false)) {
      return false;
    }
    same_ = a_.wide() == b_.wide() && a_.length() == b_.length();
    return true;
  }

  void run() override {
    if (same_) same_ = same_bytes(a_.data(), b_.data(), a_.length() * (a_.wide() ? 8 : 4));
  }
  PyObject* result() const override { return PyBool_FromLong(same_); }
  std::size_t bytes() const override { return 2 * a_.length() * (a_.wide() ? 8 : 4); }
  void release() override {
    a_.release();
    b_.release();
  }

 private:
  HeldBuffer a_, b_;
  bool same_ = false;
};

struct PendingObject {
  PyObject_HEAD
  Job* job;          // owned until the object dies: a second waiter may still be on its ticket
  bool finished;     // the job's result (or exception) is taken, and its arrays let go
  PyObject* result;  // then its result, or the exception it raised:
  PyObject *error_type, *error_value, *error_traceback;
};

PyTypeObject pending_type = common::static_type();

// Waits for the job with the lock released, then, in the first thread back, keeps its result
// (or its exception) and lets its arrays go. Several threads may wait at once: the ticket
// lives as long as this object, and a thread waiting holds a reference to it.
void finish(PendingObject* pending) {
  Job* job = pending->job;
  if (!job || pending->finished) return;
  if (job->handed_over) {
    Unlocked unlocked;
    job->ticket.wait();
  }
  if (pending->finished) return;  // another waiter came back first
  pending->finished = true;
  pending->result = job->result();
  if (!pending->result) {
    PyErr_Fetch(&pending->error_type, &pending->error_value, &pending->error_traceback);
  }
  job->release();
}

PyObject* pending_wait(PyObject* self, PyObject*) {
  auto* pending = reinterpret_cast<PendingObject*>(self);
  finish(pending);
  if (!pending->result) {
    Py_XINCREF(pending->error_type);
    Py_XINCREF(pending->error_value);
    Py_XINCREF(pending->error_traceback);
    PyErr_Restore(pending->error_type, pending->error_value, pending->error_traceback);
    return nullptr;
  }
  Py_INCREF(pending->result);
  return pending->result;
}

void pending_dealloc(PyObject* self) {
  auto* pending = reinterpret_cast<PendingObject*>(self);
  // An exception may be on its way out past this object: finish() must not replace it.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  finish(pending);
  PyErr_Restore(type, value, traceback);
  delete pending->job;
  Py_XDECREF(pending->result);
  Py_XDECREF(pending->error_type);
  Py_XDECREF(pending->error_value);
  Py_XDECREF(pending->error_traceback);
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef pending_methods[] = {
    {"wait", common::guarded<pending_wait>, METH_NOARGS,
     "Returns the result once the work is done."},
    {nullptr, nullptr, 0, nullptr},
};

// Takes the arguments into a new job and hands it over, wrapped in a Pending; a small job is
// done at once instead.
template <typename Work>
PyObject* start(PyObject* arguments) {
  std::unique_ptr<Work> job(new (std::nothrow) Work());
  if (!job) return PyErr_NoMemory();
  if (!job->take(arguments)) return nullptr;
  auto* pending = PyObject_New(PendingObject, &pending_type);
  if (!pending) return nullptr;
  pending->result = nullptr;
  pending->error_type = pending->error_value = pending->error_traceback = nullptr;
  pending->finished = false;
  Job* running = job.release();
  pending->job = running;
  if (running->bytes() < kHandOver) {
    Unlocked unlocked;
    running->run();
    return reinterpret_cast<PyObject*>(pending);
  }
  ready_helpers();
  running->ticket.set([](void* context, std::size_t) { static_cast<Job*>(context)->run(); },
                      running);
  running->handed_over = true;
  hand_over(running->ticket);
  return reinterpret_cast<PyObject*>(pending);
}

}  // namespace

PyObject* perturb(PyObject*, PyObject* arguments) {
  Perturbation job;
  if (!job.take(arguments)) return nullptr;
  {
    Unlocked unlocked;
    job.run();
  }
  return job.result();
}

PyObject* steps(PyObject*, PyObject* arguments) {
  Steps job;
  if (!job.take(arguments)) return nullptr;
  ready_helpers();
  {
    Unlocked unlocked;
    job.run();
  }
  Py_RETURN_NONE;
}

PyObject* start_perturb(PyObject*, PyObject* arguments) { return start<Perturbation>(arguments); }

PyObject* start_steps(PyObject*, PyObject* arguments) { return start<Steps>(arguments); }

PyObject* start_same_indices(PyObject*, PyObject* arguments) {
  return start<Comparison>(arguments);
}

bool add_pending_type(PyObject* module) {
  pending_type.tp_name = "vendrel._passes.Pending";
  pending_type.tp_basicsize = sizeof(PendingObject);
  pending_type.tp_flags = Py_TPFLAGS_DEFAULT;
  pending_type.tp_dealloc = pending_dealloc;
  pending_type.tp_methods = pending_methods;
  pending_type.tp_doc = "Work running on a helper thread; wait() for its result.";
  return common::add_type(module, pending_type, "Pending");
}

}  // namespace runtime
