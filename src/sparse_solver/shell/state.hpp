// Process-wide state, made once at start-up and kept until the process ends.
// The module keeps no per-interpreter state: it is initialised once per process.
#pragma once

#include "compat.hpp"
#include "sites.hpp"

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

struct State {
  PyObject* module;
  PyObject* globals;  // the module's dictionary, strongly held
  PyObject* builtins;
  PyObject* empty_tuple;
  PyObject* int_0;
  PyObject* int_1;
  PyObject* space;          // " ", the `end` of a print that leaves its line open
  PyObject* end_kwnames;    // ("end",)
  PyObject* dtype_kwnames;  // ("dtype",)
  // builtins.print, fetched on the first print of the process and kept: a later
  // rebinding of builtins.print is not seen.
  PyObject* print;
  // numpy.ndarray, bound at start-up after its layout check; null until then.
  PyTypeObject* ndarray;
  // The code object of each site's traceback entries, made on its first failure.
  PyCodeObject* codes[kSiteCount];
  Texts texts;
  Names names;
};

extern State state;

// Makes the interned names, the texts, the small integers and the keyword-name tuples;
// -1 with an exception on failure.
int make_constants() noexcept;

// A new reference to the module-level `name`: the module's globals first, then the
// builtins; NameError "name '%U' is not defined" if neither has it. Looked up on every
// call, so rebinding the module's `np` changes what later calls use.
PyObject* lookup_global(PyObject* name) noexcept;

// A new reference to builtins.`name`; NameError if it has none.
PyObject* builtin_named(PyObject* name) noexcept;

}  // namespace vendrel
