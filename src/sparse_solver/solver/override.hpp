// The override rule: when compiled code calls an overridable method of an instance whose
// Python class redefines it, the redefinition runs instead of the class's own body.
#pragma once

#include "shell/ref.hpp"
#include "shell/state.hpp"
#include "solver/methods.hpp"

namespace vendrel {

struct Overridable {
  PyObject* Names::*name;  // the attribute looked up on the instance
  int index;               // position among the Python-visible methods
  PyTypeObject* const* result_type;  // the accepted result type besides None
  bool exact;              // the result must be exactly that type, not a subclass
};

extern const Overridable kComputeResidualsMethod;
extern const Overridable kComputePatternMethod;
extern const Overridable kFindGroupsMethod;

enum class Dispatch { kRunBody, kOverridden, kFailed };

// Looks for a redefinition of `method` on `self` and, if there is one, calls it with
// `args` and checks its result. kOverridden leaves the accepted result in `*result`;
// on kFailed the caller adds the traceback entry.
Dispatch dispatch_override(Solver* self, const Overridable& method, PyObject* const* args,
                           Py_ssize_t nargs, Ref* result) noexcept;

// Refuses a result that is not None or `type` (or a subclass, unless `exact`), with
// TypeError "Cannot convert ..." (subclasses accepted) or "Expected ..." (exact). The
// caller adds the traceback entry. 0, or -1 with the exception.
int check_result_type(PyObject* result, PyTypeObject* type, bool exact) noexcept;

}  // namespace vendrel
