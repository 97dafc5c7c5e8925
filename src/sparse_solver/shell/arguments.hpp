// Argument passing for methods that take their arguments by position or by keyword,
// with the interpreter's own wording for every refusal.
#pragma once

#include "compat.hpp"

namespace vendrel {

// Takes the two required arguments `first` and `second` of `function` from a
// METH_VARARGS | METH_KEYWORDS call. Borrowed values. 0, or -1 with TypeError.
int take_two_arguments(const char* function, PyObject* args, PyObject* kwargs, PyObject* first,
                       PyObject* second, PyObject** first_value,
                       PyObject** second_value) noexcept;

}  // namespace vendrel
