// Process-wide state, made once at start-up and kept until the process ends.
// The module keeps no per-interpreter state: it is initialised once per process.
#pragma once

#include "compat.hpp"

namespace vendrel {

// Interned identifiers the module uses as attribute, keyword and global names.
struct Names {
  PyObject* np;
  PyObject* zeros;
  PyObject* array;
  PyObject* asarray;
  PyObject* intc;
  PyObject* uint8;
  PyObject* dtype;
  PyObject* end;
  PyObject* print;
  PyObject* rows;
  PyObject* cols;
  PyObject* compute_residuals;
  PyObject* compute_pattern;
  PyObject* find_groups;
  PyObject* groups;
  PyObject* scipy;
  PyObject* numpy;
  PyObject* scipy_linalg;
  PyObject* test_test_os;
  PyObject* test_;
  PyObject* package;
  PyObject* pyx_vtable;
  PyObject* SparseSolver;
  PyObject* module_name;
};

// The fixed pieces of printed lines.
struct Texts {
  PyObject* base_residual;
  PyObject* is_a_thing;
  PyObject* trying_to_merge;
  PyObject* in_column;
  PyObject* already_merged;
  PyObject* row_ii;
  PyObject* row_jj;
  PyObject* should_merge;
  PyObject* merged;
  PyObject* empty;
};

// The built-ins bound at import time; later rebinding in `builtins` is not seen.
struct CachedBuiltins {
  PyObject* range;
  PyObject* ValueError;
  PyObject* RuntimeError;
  PyObject* MemoryError;
  PyObject* enumerate;
  PyObject* Ellipsis;
  PyObject* TypeError;
  PyObject* id;
  PyObject* IndexError;
};

// Foreign type objects whose layout was checked at import.
struct ForeignTypes {
  PyTypeObject* type;
  PyTypeObject* dtype;
  PyTypeObject* flatiter;
  PyTypeObject* broadcast;
  PyTypeObject* ndarray;
  PyTypeObject* ufunc;
};

struct State {
  PyObject* module;
  PyObject* globals;  // the module's dictionary, strongly held
  PyObject* builtins;
  PyObject* empty_tuple;
  PyObject* empty_bytes;
  PyObject* int_0;
  PyObject* int_1;
  PyObject* int_minus_1;
  PyObject* space;  // " ", the `end` of a print that leaves its line open
  Texts texts;
  Names names;
  CachedBuiltins cached;
  ForeignTypes types;
};

extern State state;

// Makes the interned names and the small integers; -1 with an exception on failure.
int make_constants() noexcept;

// A new reference to the module-level `name`: the module's globals first, then the
// builtins; NameError "name '%U' is not defined" if neither has it. Looked up on every
// call, so rebinding the module's `np` changes what later calls use.
PyObject* lookup_global(PyObject* name) noexcept;

// A new reference to builtins.`name`; NameError if it has none.
PyObject* builtin_named(PyObject* name) noexcept;

}  // namespace vendrel
