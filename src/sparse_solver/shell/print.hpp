// Progress lines leave the module through the built-in `print`, so they go wherever
// `sys.stdout` points at the time of the call.
#pragma once

#include "compat.hpp"

namespace vendrel {

// print(obj). 0, or -1 with print's exception pending.
int print_one(PyObject* obj) noexcept;

// print(*objs), or with `end_line` false print(*objs, end=" "), which leaves the line open
// so that the next output follows after one space. 0, or -1 with an exception pending.
int print_objects(PyObject* const* objs, Py_ssize_t count, bool end_line) noexcept;

}  // namespace vendrel
