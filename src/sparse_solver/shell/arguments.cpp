// Two-argument passing: positions first, then the keywords; a missing argument, a
// surplus, an unknown or repeated keyword each refused with its own message.
#include "arguments.hpp"

#include "messages.hpp"

namespace vendrel {
namespace {

int count_error(const char* function, Py_ssize_t given) noexcept {
  PyErr_Format(PyExc_TypeError, msg::kArgumentCount, function, "exactly", Py_ssize_t{2}, "s",
               given);
  return -1;
}

bool same_name(PyObject* key, PyObject* name) noexcept {
  if (key == name) return true;
  return PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0;
}

}  // namespace

int take_two_arguments(const char* function, PyObject* args, PyObject* kwargs, PyObject* first,
                       PyObject* second, PyObject** first_value, PyObject** second_value,
                       ArgumentFault* fault) noexcept {
  Py_ssize_t given = PyTuple_GET_SIZE(args);
  *fault = kwargs == nullptr ? ArgumentFault::kCount : ArgumentFault::kKeywordCount;
  if (given > 2) return count_error(function, given);
  PyObject* values[2] = {given > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr,
                         given > 1 ? PyTuple_GET_ITEM(args, 1) : nullptr};
  if (kwargs == nullptr) {
    if (given != 2) return count_error(function, given);
  } else {
    Py_ssize_t unused = PyDict_GET_SIZE(kwargs);
    if (given == 0) {
      values[0] = PyDict_GetItemWithError(kwargs, first);
      if (values[0] == nullptr) return PyErr_Occurred() ? -1 : count_error(function, given);
      --unused;
    }
    if (given <= 1) {
      *fault = ArgumentFault::kMissingSecond;
      values[1] = PyDict_GetItemWithError(kwargs, second);
      if (values[1] == nullptr) return PyErr_Occurred() ? -1 : count_error(function, 1);
      --unused;
    }
    if (unused > 0) {
      *fault = ArgumentFault::kKeyword;
      // Something besides what was taken: name the first keyword that does not fit.
      PyObject* names[2] = {first, second};
      Py_ssize_t pos = 0;
      PyObject* key;
      PyObject* value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
          PyErr_Format(PyExc_TypeError, msg::kKeywordsMustBeStrings, function);
          return -1;
        }
        int index = same_name(key, names[0]) ? 0 : same_name(key, names[1]) ? 1 : -1;
        if (index < 0) {
          PyErr_Format(PyExc_TypeError, msg::kUnexpectedKeyword, function, key);
          return -1;
        }
        if (index < given) {
          PyErr_Format(PyExc_TypeError, msg::kMultipleValues, function, key);
          return -1;
        }
      }
    }
  }
  *first_value = values[0];
  *second_value = values[1];
  return 0;
}

}  // namespace vendrel
