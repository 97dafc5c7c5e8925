// How a failure leaves the module: a pending Python exception plus one traceback entry per
// compiled function it passes through, naming the function, source file, source line and site.
#pragma once

#include "compat.hpp"

namespace vendrel {

// The file name that traceback entries of the module's own code show.
inline constexpr char kSourceFile[] = "vendrel\\sparse_solver";

// Every source file that reports failures has an index of its own, so that site numbers
// (index × 100000 + C++ line) never collide: two sites sharing a number would share a
// cached code object, and so a function name.
enum SiteFile : int {
  kSiteModule = 1,
  kSiteArguments = 4,
  kSiteViews = 5,
  kSiteResiduals = 11,
  kSitePattern = 12,
  kSiteGroups = 13,
  kSiteDoStuff = 14,
  kSiteOverride = 15,
};

// Appends an entry to the traceback of the pending exception (one must be pending).
// The code object is cached per site. If the entry cannot be made, the exception of
// that failure replaces the pending one.
void add_traceback(const char* function, int site, int line, const char* file = kSourceFile) noexcept;

// What a failing function returns: null for pointer results, -1 for int results.
struct Failed {
  template <class T>
  operator T*() const noexcept {
    return nullptr;
  }
  operator int() const noexcept { return -1; }
};

inline Failed fail_at(const char* function, int site, int line,
                      const char* file = kSourceFile) noexcept {
  add_traceback(function, site, line, file);
  return {};
}

}  // namespace vendrel

// The site number of the C++ line it stands on; `kSiteFile` is declared by each .cpp file.
#define VS_SITE (kSiteFile * 100000 + __LINE__)
// The same for code shared by several methods: `variant` (1 to 9) tells the callers apart.
#define VS_SITE_FOR(variant) (kSiteFile * 100000 + (variant) * 10000 + __LINE__)
// Fails the enclosing function at `line` of the module source, under the file's `kFunction`.
#define VS_FAIL(line) ::vendrel::fail_at(kFunction, VS_SITE, (line))
