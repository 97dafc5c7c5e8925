// Traceback entries for compiled functions: synthetic code objects, cached per failure site,
// and a frame for each entry so that the interpreter links it into the exception's traceback.
#include "failure.hpp"
#include "state.hpp"

#include <frameobject.h>

#include <cstdio>
#include <cstdlib>

namespace vendrel {
namespace {

struct CodeEntry {
  int key;
  PyCodeObject* code;  // owned for the life of the process
};

// Sorted by key; grows by kCacheStep pairs. Guarded by the interpreter lock alone.
constexpr int kCacheStep = 64;
CodeEntry* g_entries = nullptr;
int g_count = 0;
int g_capacity = 0;

// The position of `key`, or where it would be inserted.
int lower_bound(int key) noexcept {
  int lo = 0;
  int hi = g_count;
  while (lo < hi) {
    int mid = lo + (hi - lo) / 2;
    if (g_entries[mid].key < key) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// Takes over `code`'s reference; if the cache cannot grow, the code object is just not kept.
void cache_insert(int key, PyCodeObject* code) noexcept {
  int pos = lower_bound(key);
  if (pos < g_count && g_entries[pos].key == key) {
    PyCodeObject* old = g_entries[pos].code;
    g_entries[pos].code = code;
    Py_DECREF(old);
    return;
  }
  if (g_count == g_capacity) {
    void* grown = std::realloc(g_entries, sizeof(CodeEntry) * (g_capacity + kCacheStep));
    if (grown == nullptr) {
      Py_DECREF(code);
      return;
    }
    g_entries = static_cast<CodeEntry*>(grown);
    g_capacity += kCacheStep;
  }
  for (int i = g_count; i > pos; --i) g_entries[i] = g_entries[i - 1];
  g_entries[pos] = CodeEntry{key, code};
  ++g_count;
}

// A new reference to the code object for this site, made and cached on first use.
PyCodeObject* code_for(const char* function, int site, int line, const char* file) noexcept {
  int key = site != 0 ? site : line;
  int pos = lower_bound(key);
  if (pos < g_count && g_entries[pos].key == key) {
    Py_INCREF(g_entries[pos].code);
    return g_entries[pos].code;
  }
  PyCodeObject* code;
  if (site != 0) {
    char name[512];
    std::snprintf(name, sizeof name, "%s (%s:%d)", function, kSourceFile, site);
    code = PyCode_NewEmpty(file, name, line);
  } else {
    code = PyCode_NewEmpty(file, function, line);
  }
  if (code == nullptr) return nullptr;
  Py_INCREF(code);
  cache_insert(key, code);
  return code;
}

}  // namespace

void add_traceback(const char* function, int site, int line, const char* file) noexcept {
  // Making the code object and the frame must not run with the exception pending
  // (PyFrame_New fails then on some versions); it goes back before PyTraceBack_Here.
  PyObject* pending = PyErr_GetRaisedException();
  PyCodeObject* code = code_for(function, site, line, file);
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
