// The tables that publish the methods: the Python-visible methods the type lists, the
// C-level table compiled callers reach through __pyx_vtable__, and the rows of the
// override rule, each carrying its method's own C function.
#include "solver/methods.hpp"

#include "solver/override.hpp"

namespace vendrel {
namespace {

// C++ allows the cast from a three-argument function to PyCFunction only through
// void(*)(); the interpreter calls it with the signature its flags name.
PyCFunction with_keywords(PyObject* (*f)(PyObject*, PyObject*, PyObject*) noexcept) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyTypeObject* const kTupleType = &PyTuple_Type;
PyTypeObject* const kListType = &PyList_Type;

}  // namespace

PyMethodDef solver_methods[] = {
    {"compute_residuals", compute_residuals_method, METH_O, nullptr},
    {"compute_pattern", compute_pattern_method, METH_O, nullptr},
    // Keywords arrive as a dict, so that its refusals (non-string keys among them) are
    // the module's own messages rather than the interpreter's.
    {"find_groups", with_keywords(find_groups_method), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

vendrel_SparseSolver_vtable solver_vtable = {
    compute_residuals_entry,
    compute_pattern_entry,
    find_groups_entry,
    do_stuff_entry,
};

const Overridable kComputeResidualsMethod = {&Names::compute_residuals, compute_residuals_method,
                                             &state.ndarray, false};
const Overridable kComputePatternMethod = {&Names::compute_pattern, compute_pattern_method,
                                           &kTupleType, true};
const Overridable kFindGroupsMethod = {&Names::find_groups, with_keywords(find_groups_method),
                                       &kListType, true};

}  // namespace vendrel
