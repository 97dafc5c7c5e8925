// Reading version texts: the interpreter's and NumPy's. Pure: no Python objects involved.
#pragma once

#include <cstddef>

namespace vendrel {

// Whether `runtime` (a version text such as "3.11.7 (main, ...)") has the given major and
// minor version, compared in full. Writes its "major.minor" (or, if it does not start with
// one, its first three characters) to `shown`.
bool version_matches(const char* runtime, int major, int minor, char* shown,
                     std::size_t shown_size) noexcept;

// A NumPy release and the C-API feature level its headers give it (NPY_2_2_API_VERSION...).
struct NumpyRelease {
  int major;
  int minor;
  unsigned level;
};

// The feature level of the NumPy release `version` (such as "2.2.6" or "2.5.0.dev0"): that
// of the newest of `releases` (in release order) that is not newer than it. A text that
// does not start with a number counts as release 0.0.
unsigned numpy_feature_level(const char* version, const NumpyRelease* releases,
                             std::size_t count) noexcept;

}  // namespace vendrel
