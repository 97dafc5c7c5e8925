// Reading the interpreter's and NumPy's version texts.
#include "version_text.hpp"

#include <cctype>
#include <cstdio>

namespace vendrel {

bool version_matches(const char* runtime, int major, int minor, char* shown,
                     std::size_t shown_size) noexcept {
  int found_major = 0;
  int found_minor = 0;
  bool parsed = std::isdigit(static_cast<unsigned char>(runtime[0])) &&
                std::sscanf(runtime, "%d.%d", &found_major, &found_minor) == 2;
  if (parsed) {
    std::snprintf(shown, shown_size, "%d.%d", found_major, found_minor);
  } else {
    std::snprintf(shown, shown_size, "%.3s", runtime);
  }
  return parsed && found_major == major && found_minor == minor;
}

namespace {

// The number at `*text`, saturating; 0 if there is none.
int leading_number(const char** text) noexcept {
  int n = 0;
  for (; std::isdigit(static_cast<unsigned char>(**text)); ++*text) {
    n = n < 100000 ? n * 10 + (**text - '0') : n;
  }
  return n;
}

}  // namespace

unsigned numpy_feature_level(const char* version, const NumpyRelease* releases,
                             std::size_t count) noexcept {
  int major = leading_number(&version);
  int minor = 0;
  if (*version == '.') {
    ++version;
    minor = leading_number(&version);
  }
  unsigned level = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const NumpyRelease& r = releases[i];
    if (r.major < major || (r.major == major && r.minor <= minor)) level = r.level;
  }
  return level;
}

}  // namespace vendrel
