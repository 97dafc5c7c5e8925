// Reading the interpreter's version text.
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

}  // namespace vendrel
