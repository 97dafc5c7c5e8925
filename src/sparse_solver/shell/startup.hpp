// Pieces of the start-up sequence that stand apart from its order: the interpreter
// version check, the module-body imports and the binding of foreign types.
#pragma once

#include "compat.hpp"
#include "numpy_sizes.hpp"
#include "version_text.hpp"

#include <cstddef>

namespace vendrel {

// Warns (RuntimeWarning) if the running interpreter is not the one the module was built
// for. -1 if the warning was turned into an exception.
int check_interpreter_version() noexcept;

// Imports `name` with the module's globals as context: first relative to the module's
// package, then, if that raises ImportError, absolutely. Other exceptions pass on. A new
// reference, as the import statement binds it (the top package when `fromlist` is empty).
PyObject* import_relative_first(PyObject* name, PyObject* fromlist) noexcept;

// `module`.`name` for a from-import; ImportError "cannot import name %S" if it is missing.
PyObject* import_from(PyObject* module, PyObject* name) noexcept;

// A new reference to the type `module_name`.`type_name`, checked against the instance size
// the module was built for: larger warns, smaller fails. Null with an exception otherwise.
PyTypeObject* import_checked_type(const char* module_name, const char* type_name,
                                  std::size_t expected_size) noexcept;

// The expected NumPy sizes for the NumPy that is installed (imports numpy). Null with an
// exception if numpy cannot be imported.
const NumpySizes* expected_numpy_sizes() noexcept;

}  // namespace vendrel
