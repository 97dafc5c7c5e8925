// Work shared among the machine's cores for the per-Jacobian passes, on helper threads kept
// for the life of the process: starting a thread costs tens of microseconds, as much as a
// pass over 10^5 values. Nothing here touches Python objects.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <type_traits>

namespace runtime {

// How many parts to cut `work` items into: one per core, none smaller than `least` (> 0),
// and no more than memory traffic rewards.
std::size_t parts_for(std::size_t work, std::size_t least);

// Readies the helper threads of this process (again in a child after fork, where the
// parent's are gone). Call with the interpreter lock held, before handing work over.
void ready_helpers();

// Ends the helpers, so that a fork is made from one thread: take_helpers() (with the
// interpreter lock held) makes the next ready_helpers() start new ones, and end_helpers()
// (better without the lock) lets the taken ones finish what they were handed and joins them;
// work handed to them meanwhile runs on the thread that hands it over.
class Crew;
Crew* take_helpers();
void end_helpers(Crew* taken);

// A job and the way to wait for it: the caller sets the job, hands the ticket over, and keeps
// it (and what the job uses) alive until wait() returns. Plain pointers, so that nothing here
// allocates while the interpreter lock is released.
class Ticket {
 public:
  friend void hand_over(Ticket& ticket);
  using Job = void (*)(void* context, std::size_t index);
  void set(Job job, void* context, std::size_t index = 0) {
    job_ = job;
    context_ = context;
    index_ = index;
  }
  void run() const { job_(context_, index_); }
  // Returns once the job has run; at once in a child forked after the hand-over, where no
  // helper will ever run it.
  void wait();
  void done();

 private:
  friend class Crew;
  Job job_ = nullptr;
  void* context_ = nullptr;
  std::size_t index_ = 0;
  long process_ = 0;  // that handed it over
  Ticket* next_ = nullptr;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  std::atomic<bool> finished_early_{false};  // done_, for a waiter that spins
};

// Runs the ticket's job on a helper thread, or right here if the process has no helper.
void hand_over(Ticket& ticket);

// Runs call(context, p) for p in [0, parts): part 0 on the calling thread, the others on
// helpers; all done before it returns.
void run_parts(std::size_t parts, Ticket::Job call, void* context);

template <typename Part>
void in_parallel(std::size_t parts, Part&& part) {
  using Callable = std::remove_reference_t<Part>;
  run_parts(parts, [](void* context, std::size_t p) { (*static_cast<Callable*>(context))(p); },
            const_cast<void*>(static_cast<const void*>(&part)));
}

}  // namespace runtime
