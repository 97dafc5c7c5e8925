// Start-up helpers: version check, imports relative to the package first, type binding.
#include "startup.hpp"

#include "messages.hpp"
#include "ref.hpp"
#include "state.hpp"

#include <cstdio>

namespace vendrel {

int check_interpreter_version() noexcept {
  char shown[32];
  if (version_matches(Py_GetVersion(), PY_MAJOR_VERSION, PY_MINOR_VERSION, shown, sizeof shown)) {
    return 0;
  }
  char compiled[32];
  std::snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
  char message[200];
  std::snprintf(message, sizeof message, msg::kVersionMismatch, compiled, msg::kModuleName,
                shown);
  return PyErr_WarnEx(nullptr, message, 1);
}

PyObject* import_relative_first(PyObject* name, PyObject* fromlist) noexcept {
  PyObject* module = PyImport_ImportModuleLevelObject(name, state.globals, nullptr, fromlist, 1);
  if (module != nullptr || !PyErr_ExceptionMatches(PyExc_ImportError)) return module;
  PyErr_Clear();
  return PyImport_ImportModuleLevelObject(name, state.globals, nullptr, fromlist, 0);
}

PyObject* import_from(PyObject* module, PyObject* name) noexcept {
  PyObject* value = PyObject_GetAttr(module, name);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Format(PyExc_ImportError, msg::kCannotImportName, name);
  }
  return value;
}

PyTypeObject* import_checked_type(const char* module_name, const char* type_name,
                                  std::size_t expected_size) noexcept {
  Ref found;
  {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    found = Ref::steal(PyObject_GetAttrString(module.get(), type_name));
    if (!found) return nullptr;
  }
  if (!PyType_Check(found.get())) {
    PyErr_Format(PyExc_TypeError, msg::kNotAType, module_name, type_name);
    return nullptr;
  }
  auto size = static_cast<std::size_t>(reinterpret_cast<PyTypeObject*>(found.get())->tp_basicsize);
  if (size > expected_size) {
    char message[200];
    std::snprintf(message, sizeof message, msg::kSizeChanged, module_name, type_name);
    if (PyErr_WarnEx(nullptr, message, 0) < 0) return nullptr;
  } else if (size < expected_size) {
    PyErr_Format(PyExc_ValueError, msg::kWrongSize, module_name, type_name);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(found.release());
}

const NumpySizes* expected_numpy_sizes() noexcept {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  // A wheel built against NumPy 2 runs on 1.x too, whose structures are the older ones.
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  const char* text = version ? PyUnicode_AsUTF8(version.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return &kNumpySizesAbi1;
  }
  return &numpy_sizes_for(text);
}

}  // namespace vendrel
