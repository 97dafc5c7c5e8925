// Work split over the machine's cores for the per-Jacobian passes: a few threads started for
// one pass and joined before it returns, so that nothing outlives the buffers it was given.
#pragma once

#include <cstddef>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace grouping {

// The cores this process may run on (its affinity, where the system tells), at least 1.
std::size_t usable_cores();

// How many parts to cut `work` items into: one per core, none smaller than `least` (> 0),
// and no more than memory traffic rewards.
inline std::size_t parts_for(std::size_t work, std::size_t least) {
  constexpr std::size_t kMost = 16;
  const std::size_t most = work / least;
  if (most < 2) return 1;
  const std::size_t cores = usable_cores();
  const std::size_t parts = most < cores ? most : cores;
  return parts < kMost ? parts : kMost;
}

// Starts `body` on a new thread; false if the system has none to give.
template <typename Body>
bool start_thread(std::thread& thread, Body&& body) {
  try {
    thread = std::thread(std::forward<Body>(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// Runs part(p) for p in [0, parts): part 0 on the calling thread, the others each on a thread
// of its own, all joined before returning. Falls back to running them in turn if a thread
// cannot be started. `part` must not touch Python objects.
template <typename Part>
void in_parallel(std::size_t parts, Part&& part) {
  if (parts <= 1) {
    if (parts == 1) part(std::size_t{0});
    return;
  }
  std::vector<std::thread> threads;
  threads.reserve(parts - 1);
  std::size_t started = 1;
  for (; started < parts; ++started) {
    std::thread thread;
    if (!start_thread(thread, [&part, started] { part(started); })) break;
    threads.push_back(std::move(thread));
  }
  part(std::size_t{0});
  for (std::size_t p = started; p < parts; ++p) part(p);
  for (auto& thread : threads) thread.join();
}

}  // namespace grouping
