#include "parallel.hpp"

#if defined(__linux__)
#include <sched.h>
#endif

namespace grouping {

std::size_t usable_cores() {
#if defined(__linux__)
  // A container or taskset may allow fewer cores than the machine has.
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
#endif
  const unsigned count = std::thread::hardware_concurrency();
  return count ? count : 1;
}

}  // namespace grouping
