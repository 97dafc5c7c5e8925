#include "parallel.hpp"

#include <memory>
#include <new>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif
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

namespace {

constexpr std::size_t kMostParts = 16;

// Set on the helpers: work they run that would share itself out runs there whole instead,
// as a helper waiting for parts only the helpers can run could wait for itself.
thread_local bool on_helper = false;

long current_process() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<long>(getpid());
#endif
}

}  // namespace

// The helper threads of one process, waiting for tickets in a list of their own.
class Crew {
 public:
  explicit Crew(long process) : process(process) {}
  const long process;
  std::size_t helpers = 0;
  std::size_t cores = 1;

  void push(Ticket& ticket) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ticket.next_ = nullptr;
      (last_ ? last_->next_ : first_) = &ticket;
      last_ = &ticket;
    }
    wake_.notify_one();
  }

  void serve() {
    on_helper = true;
    for (;;) {
      Ticket* ticket;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return first_ != nullptr; });
        ticket = first_;
        first_ = ticket->next_;
        if (!first_) last_ = nullptr;
      }
      ticket->run();
      ticket->done();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  Ticket* first_ = nullptr;
  Ticket* last_ = nullptr;
};

namespace {

// Replaced in a child after fork and never freed: the parent's helpers are gone there, and
// one of them may have held its lock at the fork.
Crew* crew = nullptr;

Crew* current_crew() {
  Crew* current = crew;
  return current && current->process == current_process() ? current : nullptr;
}

}  // namespace

void ready_helpers() {
  if (current_crew()) return;
  crew = nullptr;
  auto* fresh = new (std::nothrow) Crew(current_process());
  if (!fresh) return;
  fresh->cores = usable_cores();
  const std::size_t wanted = (fresh->cores < kMostParts ? fresh->cores : kMostParts) - 1;
  for (std::size_t k = 0; k < wanted; ++k) {
    try {
      std::thread([fresh] { fresh->serve(); }).detach();
    } catch (const std::system_error&) {
      break;
    }
    ++fresh->helpers;
  }
  crew = fresh;
}

std::size_t parts_for(std::size_t work, std::size_t least) {
  const std::size_t most = work / least;
  if (most < 2) return 1;
  Crew* current = current_crew();
  const std::size_t hands = current ? current->helpers + 1 : 1;
  return most < hands ? most : hands;
}

void Ticket::wait() {
  if (process_ != current_process()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return done_; });
}

void Ticket::done() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  finished_.notify_all();
}

void hand_over(Ticket& ticket) {
  ticket.process_ = current_process();
  Crew* current = current_crew();
  if (!current || current->helpers == 0) {
    ticket.run();
    ticket.done();
    return;
  }
  current->push(ticket);
}

void run_parts(std::size_t parts, Ticket::Job call, void* context) {
  if (parts <= 1 || on_helper) {
    for (std::size_t p = 0; p < parts; ++p) call(context, p);
    return;
  }
  std::unique_ptr<Ticket[]> tickets(new (std::nothrow) Ticket[parts - 1]);
  if (!tickets) {
    for (std::size_t p = 0; p < parts; ++p) call(context, p);
    return;
  }
  for (std::size_t p = 1; p < parts; ++p) {
    tickets[p - 1].set(call, context, p);
    hand_over(tickets[p - 1]);
  }
  call(context, 0);
  for (std::size_t p = 1; p < parts; ++p) tickets[p - 1].wait();
}

}  // namespace grouping
