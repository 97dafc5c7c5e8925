// Reading the interpreter's version text. Pure: no Python objects involved.
#pragma once

#include <cstddef>

namespace vendrel {

// Whether `runtime` (a version text such as "3.11.7 (main, ...)") has the given major and
// minor version, compared in full. Writes its "major.minor" (or, if it does not start with
// one, its first three characters) to `shown`.
bool version_matches(const char* runtime, int major, int minor, char* shown,
                     std::size_t shown_size) noexcept;

}  // namespace vendrel
