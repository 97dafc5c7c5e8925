// The module's entry point and its start-up sequence, step by step in the order the
// interpreter sees them. Each step that fails stops start-up with a traceback entry at
// the source location of that step.
#include "failure.hpp"
#include "messages.hpp"
#include "ref.hpp"
#include "solver_type.hpp"
#include "startup.hpp"
#include "state.hpp"
#include "views.hpp"

namespace vendrel {
namespace {

PyMethodDef g_no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "sparse_solver", nullptr, -1, g_no_functions,
    nullptr,               nullptr,         nullptr, nullptr,
};

// Fails start-up at `site`, with its traceback entry only once the module's dictionary is
// held, since the entry's frame uses it as globals.
Failed init_failed(Site site) noexcept {
  if (state.globals != nullptr) add_traceback(site);
  return {};
}

int set_global(PyObject* name, PyObject* value) noexcept {
  return PyDict_SetItem(state.globals, name, value);
}

// The built-ins the module's source binds at import: each must exist, though nothing
// uses them afterwards.
int check_builtins() noexcept {
  static constexpr const char* kNames[] = {"range",     "ValueError", "RuntimeError",
                                           "MemoryError", "enumerate", "Ellipsis",
                                           "TypeError", "id",         "IndexError"};
  for (const char* text : kNames) {
    Ref name = Ref::steal(PyUnicode_InternFromString(text));
    if (!name) return -1;
    Ref value = Ref::steal(builtin_named(name.get()));
    if (!value) return -1;
  }
  return 0;
}

// Enters the module in sys.modules unless an entry is there already. Reports whether it
// added one, so that a failed start-up can withdraw it.
int enter_in_sys_modules(bool* added) noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* existing = PyDict_GetItemWithError(modules, state.names.module_name);
  if (existing != nullptr) return 0;
  if (PyErr_Occurred()) return -1;
  if (PyDict_SetItem(modules, state.names.module_name, state.module) < 0) return -1;
  *added = true;
  return 0;
}

// A failed start-up must not leave its half-made module in sys.modules: a later import
// would find it there and report success.
void withdraw_from_sys_modules() noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* entry = PyDict_GetItemWithError(modules, state.names.module_name);
  if (entry == state.module && PyDict_DelItem(modules, state.names.module_name) < 0) {
    PyErr_Clear();
  }
  if (entry == nullptr) PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

int check_foreign_types() noexcept;

// The module body: import numpy as np; import scipy.linalg; from test.test_os import groups;
// __test__ = {}.
int run_module_body() noexcept {
  // Relative imports resolve against __package__, which the interpreter sets only after
  // start-up; without it, it warns that it falls back on __name__ (an ImportWarning,
  // which -W error would make fatal).
  PyObject* package_now = PyDict_GetItemWithError(state.globals, state.names.package);
  if (package_now == nullptr || package_now == Py_None) {
    if (PyErr_Occurred()) return init_failed(Site::kInitNumpy);
    Ref package = Ref::steal(PyUnicode_FromString("vendrel"));
    if (!package || set_global(state.names.package, package.get()) < 0) {
      return init_failed(Site::kInitNumpy);
    }
  }
  Ref empty = Ref::steal(PyList_New(0));
  if (!empty) return init_failed(Site::kInitNumpy);
  {
    Ref numpy = Ref::steal(import_relative_first(state.names.numpy, empty.get()));
    if (!numpy || set_global(state.names.np, numpy.get()) < 0) return init_failed(Site::kInitNumpy);
  }
  {
    Ref scipy = Ref::steal(import_relative_first(state.names.scipy_linalg, empty.get()));
    if (!scipy || set_global(state.names.scipy, scipy.get()) < 0) {
      return init_failed(Site::kInitScipy);
    }
  }
  {
    // Current interpreters have no test.test_os.groups, and many installations no test
    // package at all; an empty list stands in so that the module stays importable.
    Ref fromlist = Ref::steal(PyList_New(1));
    if (!fromlist) return init_failed(Site::kInitGroups);
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(state.names.groups));
    Ref groups;
    Ref test_os = Ref::steal(import_relative_first(state.names.test_test_os, fromlist.get()));
    if (test_os) groups = Ref::steal(import_from(test_os.get(), state.names.groups));
    if (!groups) {
      if (!PyErr_ExceptionMatches(PyExc_ImportError)) return init_failed(Site::kInitGroups);
      PyErr_Clear();
      groups = Ref::steal(PyList_New(0));
      if (!groups) return init_failed(Site::kInitGroups);
    }
    if (set_global(state.names.groups, groups.get()) < 0) return init_failed(Site::kInitGroups);
  }
  Ref test = Ref::steal(PyDict_New());
  if (!test || set_global(state.names.test_, test.get()) < 0) return init_failed(Site::kInitTest);
  return 0;
}

int run_steps(bool* entered) noexcept {
  // The module's dictionary, held for the life of the process.
  state.globals = PyModule_GetDict(state.module);
  if (state.globals == nullptr) return init_failed(Site::kInitModule);
  Py_INCREF(state.globals);
  // builtins, without importing it anew.
  state.builtins = PyImport_AddModule("builtins");
  if (state.builtins == nullptr) return init_failed(Site::kInitModule);
  Py_INCREF(state.builtins);
  if (PyObject_SetAttrString(state.module, "__builtins__", state.builtins) < 0) {
    return init_failed(Site::kInitModule);
  }
  if (make_constants() < 0) return init_failed(Site::kInitModule);
  if (enter_in_sys_modules(entered) < 0) return init_failed(Site::kInitModule);
  if (check_builtins() < 0) return init_failed(Site::kInitModule);
  // The class, its method table and its name in the module.
  if (ready_solver_type() < 0) return init_failed(Site::kInitClass);
  if (PyObject_SetAttr(state.module, state.names.SparseSolver,
                       reinterpret_cast<PyObject*>(&solver_type)) < 0) {
    return init_failed(Site::kInitClass);
  }
  if (ready_view_types() < 0) return init_failed(Site::kInitViewTypes);
  if (check_foreign_types() < 0) return -1;
  return run_module_body();
}

// The types whose layout the module was built against, checked in this order. Only
// numpy.ndarray is kept, for the methods' type tests.
int check_foreign_types() noexcept {
  Ref type = Ref::steal(reinterpret_cast<PyObject*>(
      import_checked_type("builtins", "type", sizeof(PyHeapTypeObject))));
  if (!type) return init_failed(Site::kInitType);
  const NumpySizes* sizes = expected_numpy_sizes();
  if (sizes == nullptr) return init_failed(Site::kInitDtype);
  struct Row {
    const char* name;
    std::size_t NumpySizes::*size;
    Site site;
  };
  static constexpr Row kRows[] = {
      {"dtype", &NumpySizes::dtype, Site::kInitDtype},
      {"flatiter", &NumpySizes::flatiter, Site::kInitFlatiter},
      {"broadcast", &NumpySizes::broadcast, Site::kInitBroadcast},
      {"ndarray", &NumpySizes::ndarray, Site::kInitNdarray},
      {"ufunc", &NumpySizes::ufunc, Site::kInitUfunc},
  };
  for (const Row& row : kRows) {
    PyTypeObject* found = import_checked_type("numpy", row.name, sizes->*row.size);
    if (found == nullptr) return init_failed(row.site);
    if (row.size == &NumpySizes::ndarray) {
      state.ndarray = found;
    } else {
      Py_DECREF(found);
    }
  }
  return 0;
}

PyObject* initialise() noexcept {
  // Before the module exists, failures get no traceback entry.
  if (check_interpreter_version() < 0) return nullptr;
  state.empty_tuple = PyTuple_New(0);
  if (state.empty_tuple == nullptr) return nullptr;
  state.module = PyModule_Create2(&g_module_def, PYTHON_API_VERSION);
  if (state.module == nullptr) return nullptr;

  bool entered = false;
  if (run_steps(&entered) < 0) {
    if (entered) withdraw_from_sys_modules();
    Py_CLEAR(state.module);
    return nullptr;
  }
  // The module lives until the process ends: one reference is kept here.
  Py_INCREF(state.module);
  return state.module;
}

}  // namespace
}  // namespace vendrel

extern "C" VS_EXPORT PyObject* PyInit_sparse_solver() {
  PyObject* module = vendrel::initialise();
  if (module == nullptr && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_ImportError, vendrel::msg::kInitFunction);
  }
  return module;
}
