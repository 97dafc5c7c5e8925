// Traceback entries for compiled functions: a synthetic code object per failure site, made
// on first use and kept in State, and a frame for each entry so that the interpreter links
// it into the exception's traceback.
#include "failure.hpp"
#include "state.hpp"

#include <frameobject.h>

#include <cstdio>

namespace vendrel {
namespace {

// A new reference to the code object of `site`.
PyCodeObject* code_for(Site site) noexcept {
  PyCodeObject*& code = state.codes[static_cast<int>(site)];
  if (code == nullptr) {
    const SiteRow& row = row_of(site);
    char name[512];
    std::snprintf(name, sizeof name, "%s (%s:%d)",
                  kFunctionNames[static_cast<int>(row.function)], kSourceFile, site_number(row));
    code = PyCode_NewEmpty(row.file, name, row.line);
    if (code == nullptr) return nullptr;
  }
  Py_INCREF(code);
  return code;
}

}  // namespace

void add_traceback(Site site) noexcept {
  // Making the code object and the frame must not run with the exception pending
  // (PyFrame_New fails then on some versions); it goes back before PyTraceBack_Here.
  PyObject* pending = PyErr_GetRaisedException();
  PyCodeObject* code = code_for(site);
  if (code == nullptr) {
    Py_XDECREF(pending);
    return;
  }
  // The code object's first line is the line the entry shows, on every version: from 3.11
  // the frame's line comes from it, before that the empty line table maps to it.
  PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, state.globals, nullptr);
  Py_DECREF(code);
  if (frame == nullptr) {
    Py_XDECREF(pending);
    return;
  }
  PyErr_SetRaisedException(pending);
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace vendrel
