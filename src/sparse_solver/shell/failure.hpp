// How a failure leaves the module: a pending Python exception plus one traceback entry per
// compiled function it passes through, at the site (sites.hpp) of the statement that failed.
//
// Only the methods' own code adds entries. A helper that adds the entry of its own
// failures says so by taking the site it reports at (`Site at`, as call_numpy and
// run_override do); a
// helper without that parameter (evaluate, numpy_attribute, the argument checks) leaves
// the entry to its caller.
#pragma once

#include "compat.hpp"
#include "sites.hpp"

namespace vendrel {

// Appends the entry of `site` to the traceback of the pending exception (one must be
// pending). If the entry cannot be made, the exception of that failure replaces the
// pending one.
void add_traceback(Site site) noexcept;

// What a failing function returns: null for pointer results, -1 for int results.
struct Failed {
  template <class T>
  operator T*() const noexcept {
    return nullptr;
  }
  operator int() const noexcept { return -1; }
};

// Adds the entry of `site` and fails: `return fail(Site::kPatternRows);`.
inline Failed fail(Site site) noexcept {
  add_traceback(site);
  return {};
}

}  // namespace vendrel
