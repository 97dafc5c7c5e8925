// The override rule: when compiled code calls an overridable method of an instance whose
// Python class redefines it, the redefinition runs instead of the class's own body.
#pragma once

#include "shell/failure.hpp"
#include "shell/solver_type.hpp"
#include "shell/state.hpp"

namespace vendrel {

struct Overridable {
  PyObject* Names::*name;  // the attribute looked up on the instance
  PyCFunction own;         // the class's own Python-visible method: not a redefinition
  PyTypeObject* const* result_type;  // the accepted result type besides None
  bool exact;              // the result must be exactly that type, not a subclass
};

// The rows, defined with the method tables in methods.cpp.
extern const Overridable kComputeResidualsMethod;
extern const Overridable kComputePatternMethod;
extern const Overridable kFindGroupsMethod;

// What the override rule decided at a C-level entry: `ran` if a redefinition ran instead
// of the body, and then `result` is what the entry returns (a new reference, or null).
struct Override {
  bool ran;
  PyObject* result;
};

// Where each of the rule's failures is reported: rows of their own in a method's table.
struct OverrideSites {
  Site lookup;  // looking up the attribute on the instance
  Site call;    // calling the redefinition
  Site result;  // its result refused
};

// Looks for a redefinition of `method` on `self` and, if there is one, calls it with `args`
// and checks its result; its failures add the traceback entry of their site in `at`. For
// an entry called with the skip-dispatch flag clear:
//   Override o = run_override(self, kFindGroupsMethod, args, 2, kGroupsOverrideSites);
//   if (o.ran) return o.result;
Override run_override(Solver* self, const Overridable& method, PyObject* const* args,
                      Py_ssize_t nargs, const OverrideSites& at) noexcept;

// Refuses a result that is not None or `type` (or a subclass, unless `exact`), with
// TypeError "Cannot convert ..." (subclasses accepted) or "Expected ..." (exact). The
// caller adds the traceback entry. 0, or -1 with the exception.
int check_result_type(PyObject* result, PyTypeObject* type, bool exact) noexcept;

}  // namespace vendrel
