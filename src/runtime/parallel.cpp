#include "parallel.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

namespace runtime {

namespace {

// The cores this process may run on (its affinity, where the system tells), at least 1.
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

constexpr std::size_t kMostParts = 16;

// Set on the helpers: work they run that would share itself out runs there whole instead,
// as a helper waiting for parts only the helpers can run could wait for itself.
thread_local bool on_helper = false;

// Jobs come in bursts (a pass cut in parts, the next point while the last is evaluated), and
// waking a sleeping thread takes tens of microseconds: a thread that waits spins this long
// first.
constexpr auto kSpin = std::chrono::microseconds(50);

inline void relax() {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

// Whether ready() came true within kSpin.
template <typename Ready>
bool spin_until(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned k = 1;; ++k) {
    if (ready()) return true;
    relax();
    if (k % 64 == 0 && std::chrono::steady_clock::now() > until) return false;
  }
}

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

  // False, taking nothing, once stop() has begun.
  bool push(Ticket& ticket) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return false;
      ticket.next_ = nullptr;
      (last_ ? last_->next_ : first_) = &ticket;
      last_ = &ticket;
      queued_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_one();
    return true;
  }

  // Runs tickets until stop() is called and none is left.
  void serve() {
    on_helper = true;
    for (;;) {
      spin_until([this] { return queued_.load(std::memory_order_acquire) > 0; });
      Ticket* ticket;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return first_ != nullptr || stopping_; });
        if (!first_) return;
        ticket = first_;
        first_ = ticket->next_;
        if (!first_) last_ = nullptr;
        queued_.fetch_sub(1, std::memory_order_relaxed);
      }
      ticket->run();
      ticket->done();
    }
  }

  // Lets the helpers finish what was handed over, and joins them.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads) thread.join();
    threads.clear();
  }

  std::vector<std::thread> threads;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  Ticket* first_ = nullptr;
  Ticket* last_ = nullptr;
  bool stopping_ = false;
  std::atomic<std::size_t> queued_{0};
};

namespace {

// Replaced in a child after fork (the parent's helpers are gone there; Python stops them
// before it forks, but a fork from elsewhere may find one holding its lock), and after
// take_helpers. Never freed: see end_helpers.
// Atomic: threads without the interpreter lock read it while one with the lock replaces it.
std::atomic<Crew*> crew{nullptr};

Crew* current_crew() {
  Crew* current = crew.load(std::memory_order_acquire);
  return current && current->process == current_process() ? current : nullptr;
}

}  // namespace

void ready_helpers() {
  if (current_crew()) return;
  crew = nullptr;
  auto* fresh = new (std::nothrow) Crew(current_process());
  if (!fresh) return;
  const std::size_t cores = usable_cores();
  const std::size_t wanted = (cores < kMostParts ? cores : kMostParts) - 1;
  try {
    fresh->threads.reserve(wanted);
    for (std::size_t k = 0; k < wanted; ++k) {
      fresh->threads.emplace_back([fresh] { fresh->serve(); });
      ++fresh->helpers;
    }
  } catch (const std::exception&) {  // fewer helpers, or none
  }
  crew = fresh;
}

Crew* take_helpers() {
  Crew* current = current_crew();
  crew = nullptr;
  return current;
}

void end_helpers(Crew* taken) {
  // Not freed: a thread that read the pointer before it was taken may still push to it.
  if (taken) taken->stop();
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
  spin_until([this] { return finished_early_.load(std::memory_order_acquire); });
  // Taken even after a spin that saw the job done: done() holds it until it touches the
  // ticket no more, and the caller may free the ticket once this returns.
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return done_; });
}

void Ticket::done() {
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  finished_early_.store(true, std::memory_order_release);
  finished_.notify_all();
}

void hand_over(Ticket& ticket) {
  ticket.process_ = current_process();
  Crew* current = current_crew();
  if (!current || current->helpers == 0 || !current->push(ticket)) {
    ticket.run();
    ticket.done();
  }
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

}  // namespace runtime
