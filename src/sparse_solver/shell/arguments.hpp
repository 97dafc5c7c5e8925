// Argument passing for methods that take their arguments by position or by keyword,
// with the interpreter's own wording for every refusal.
#pragma once

#include "compat.hpp"

namespace vendrel {

// Which refusal a call met: each is a row of its own in a method's failure table.
enum class ArgumentFault {
  kCount,          // no keywords, and not two positional arguments
  kKeywordCount,   // keywords, and more than two positional arguments or no first one
  kMissingSecond,  // keywords, the first argument given and the second not
  kKeyword,        // a keyword that is unknown, repeats a position, or is not a string
};

// Takes the two required arguments `first` and `second` of `function` from a
// METH_VARARGS | METH_KEYWORDS call. Borrowed values. 0, or -1 with TypeError and `*fault`
// set to the refusal met.
int take_two_arguments(const char* function, PyObject* args, PyObject* kwargs, PyObject* first,
                       PyObject* second, PyObject** first_value, PyObject** second_value,
                       ArgumentFault* fault) noexcept;

}  // namespace vendrel
