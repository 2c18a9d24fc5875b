// A team of threads for one call with many parallel regions.
//
// Team(size) is the calling thread plus size - 1 helper threads, started
// once, at the first region that shares its items (a team whose work all
// turns out too small to share starts no thread), and alive until the team
// is destroyed.  Between regions a helper spins for at most
// spin_before_sleep, then sleeps on a condition variable: a machine shared
// with other busy processes loses no core to a waiting helper.
//
// run(items, body) is a parallel region: body(worker, item) runs once for
// every item in [0, items), on the member that called run (worker 0) and on
// the helpers (workers 1..size-1) that join it, all taking the items in
// increasing order from a shared counter; run returns when every item has
// run.  A helper that wakes after the items are all taken stays out, so
// the caller never waits on a helper that the scheduler has left asleep.  Which member
// runs an item varies from call to call, so a body whose result must not
// depend on the team size makes the item, never the worker, decide the
// arithmetic; the worker only names storage.  run_here(items, body) runs the
// items in order on the calling thread alone, as worker 0 (for work too
// small to share).
//
// cancel(), from any thread, sets a flag that stays set: no member takes
// another item, and bodies may read cancelled() to stop early.  run returns
// true when every item ran.  An exception thrown by a body stops the region
// (no member takes another item) and the first one is rethrown by run once
// every member is done.  A failure to start the helpers (std::system_error)
// is thrown by the run that starts them, before any item runs.
//
// run_leading(fn, poll, interval) runs fn() on a new thread, the leader,
// which calls run for its regions and does the sequential work between
// them, while the calling thread sleeps, waking every `interval` to call
// poll(); when poll() returns false the team is cancelled (fn is expected to
// see cancelled() and return) and polling stops.  It returns once fn has
// returned: true when the team was never cancelled.  An exception from fn
// (or from a region it ran) is rethrown on the caller.  No thread outlives
// the call (the leader) or the team (the helpers).
//
// One thread at a time calls run; a body never calls run.
#ifndef TOVRIN_TEAM_H
#define TOVRIN_TEAM_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tovrin {

class Team {
 public:
  // The longest a waiting member spins before it sleeps: about the time
  // between two regions of a blocked factorisation, far below a scheduler
  // time slice.
  static constexpr std::chrono::microseconds spin_before_sleep{50};

  explicit Team(int size);
  ~Team();
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;

  int size() const { return size_; }
  // Whether the helpers run (since the first shared region).  Read by the
  // thread that calls run.
  bool helpers_started() const { return !helpers_.empty(); }
  bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }
  void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
  // The flag itself, for code that reads a cancellation flag of its own.
  const std::atomic<bool>* flag() const { return &cancelled_; }

  template <class Body>
  bool run(std::ptrdiff_t items, const Body& body) {
    if (size_ == 1 || items <= 1) return run_here(items, body);
    return run_region(items, &invoke<Body>, &body);
  }

  template <class Body>
  bool run_here(std::ptrdiff_t items, const Body& body) {
    for (std::ptrdiff_t item = 0; item < items; ++item) {
      if (cancelled()) return false;
      body(0, item);
    }
    return !cancelled();
  }

  template <class Fn, class Poll>
  bool run_leading(const Fn& fn, const Poll& poll, std::chrono::milliseconds interval) {
    return lead(&call<Fn>, &fn, &test<Poll>, &poll, interval);
  }

 private:
  using Thunk = void (*)(const void* body, int worker, std::ptrdiff_t item);

  template <class Body>
  static void invoke(const void* body, int worker, std::ptrdiff_t item) {
    (*static_cast<const Body*>(body))(worker, item);
  }
  template <class Fn>
  static void call(const void* fn) {
    (*static_cast<const Fn*>(fn))();
  }
  template <class Poll>
  static bool test(const void* poll) {
    return (*static_cast<const Poll*>(poll))();
  }

  bool run_region(std::ptrdiff_t items, Thunk thunk, const void* body);
  void start_helpers();
  bool lead(void (*fn)(const void*), const void* fn_object, bool (*poll)(const void*),
            const void* poll_object, std::chrono::milliseconds interval);
  void take_items(int worker);
  void serve(int worker);
  void stop_helpers();

  const int size_;
  std::atomic<bool> cancelled_{false};

  // The current region's work, written by run_region while no helper is
  // inside a region, read by the helpers that enter it.
  Thunk thunk_ = nullptr;
  const void* body_ = nullptr;
  std::ptrdiff_t items_ = 0;
  std::atomic<std::ptrdiff_t> next_{0};
  std::atomic<bool> failed_{false};
  std::exception_ptr error_;  // guarded by mutex_

  // The region's state in one word: its generation (high 32 bits), whether
  // it is closed to helpers (bit 31) and how many helpers are inside it (the
  // low bits).  A helper enters only an open region of the generation it
  // saw posted; the caller closes the region once every item is handed out
  // and waits for the helpers inside, never for one that comes late.
  std::atomic<std::uint64_t> region_{0};

  std::mutex mutex_;
  std::condition_variable region_posted_;
  std::condition_variable region_done_;
  bool stopping_ = false;  // guarded by mutex_
  std::vector<std::thread> helpers_;
};

}  // namespace tovrin

#endif  // TOVRIN_TEAM_H
