// The team's regions and its leading thread; see team.h for the contract.
#include "common/team.h"

#include <stdexcept>

namespace tovrin {

namespace {

constexpr char team_size_text[] = "a team has at least one member";
// Clock reads are spaced this many spin steps apart.
constexpr int spin_steps_per_clock_read = 64;

// The fields of Team::region_.
constexpr int generation_shift = 32;
constexpr std::uint64_t closed_bit = std::uint64_t(1) << 31;
constexpr std::uint64_t inside_mask = closed_bit - 1;

constexpr std::uint64_t generation_mask = (std::uint64_t(1) << 32) - 1;

inline std::uint64_t generation_of(std::uint64_t region) { return region >> generation_shift; }

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Spins until ready() holds, for at most Team::spin_before_sleep; returns
// whether it holds.
template <class Ready>
bool spin_until(const Ready& ready) {
  const auto start = std::chrono::steady_clock::now();
  for (int step = 1;; ++step) {
    if (ready()) return true;
    relax();
    if (step % spin_steps_per_clock_read == 0 &&
        std::chrono::steady_clock::now() - start > Team::spin_before_sleep)
      return ready();
  }
}

}  // namespace

Team::Team(int size) : size_(size) {
  if (size < 1) throw std::invalid_argument(team_size_text);
}

void Team::start_helpers() {
  try {
    helpers_.reserve(static_cast<std::size_t>(size_ - 1));
    for (int worker = 1; worker < size_; ++worker)
      helpers_.emplace_back(&Team::serve, this, worker);
  } catch (...) {
    stop_helpers();
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
    throw;
  }
}

Team::~Team() { stop_helpers(); }

void Team::stop_helpers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  region_posted_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
  helpers_.clear();
}

// Runs items of the current region until none is left, the region failed
// or the team is cancelled.  Every item taken from the counter below items_
// runs, so the region ran whole exactly when the counter passed items_.
void Team::take_items(int worker) {
  while (!failed_.load(std::memory_order_relaxed) && !cancelled()) {
    const std::ptrdiff_t item = next_.fetch_add(1, std::memory_order_relaxed);
    if (item >= items_) return;
    try {
      thunk_(body_, worker, item);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!error_) error_ = std::current_exception();
      failed_.store(true, std::memory_order_relaxed);
    }
  }
}

// A helper's life: wait for a region of a generation it has not seen, enter
// it if it is still open, take its items, leave; until the team stops.  The
// helper that leaves a closed region last wakes the caller.
void Team::serve(int worker) {
  std::uint64_t seen = 0;
  const auto posted = [&] {
    return generation_of(region_.load(std::memory_order_acquire)) != seen;
  };
  for (;;) {
    if (!spin_until(posted)) {
      std::unique_lock<std::mutex> lock(mutex_);
      region_posted_.wait(lock, [&] { return stopping_ || posted(); });
      if (stopping_) return;
    }
    std::uint64_t region = region_.load(std::memory_order_acquire);
    seen = generation_of(region);
    bool entered = false;
    while (!entered && (region & closed_bit) == 0 && generation_of(region) == seen)
      entered = region_.compare_exchange_weak(region, region + 1, std::memory_order_acq_rel,
                                              std::memory_order_acquire);
    if (!entered) continue;
    take_items(worker);
    const std::uint64_t left = region_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if ((left & closed_bit) != 0 && (left & inside_mask) == 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      region_done_.notify_one();
    }
  }
}

bool Team::run_region(std::ptrdiff_t items, Thunk thunk, const void* body) {
  if (helpers_.empty()) start_helpers();
  thunk_ = thunk;
  body_ = body;
  items_ = items;
  next_.store(0, std::memory_order_relaxed);
  failed_.store(false, std::memory_order_relaxed);
  // Generations run 1, 2, ... 2^32 - 1, 1, ...: a helper that has seen none
  // holds 0.
  std::uint64_t generation =
      (generation_of(region_.load(std::memory_order_relaxed)) + 1) & generation_mask;
  if (generation == 0) generation = 1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    region_.store(generation << generation_shift, std::memory_order_release);
  }
  region_posted_.notify_all();

  take_items(0);
  // Every item is handed out: no helper enters from now on, and those
  // inside finish the items they hold.
  region_.fetch_or(closed_bit, std::memory_order_acq_rel);
  const auto done = [&] {
    return (region_.load(std::memory_order_acquire) & inside_mask) == 0;
  };
  if (!spin_until(done)) {
    std::unique_lock<std::mutex> lock(mutex_);
    region_done_.wait(lock, done);
  }
  if (failed_.load(std::memory_order_relaxed)) {
    std::exception_ptr error;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      error.swap(error_);
    }
    std::rethrow_exception(error);
  }
  return next_.load(std::memory_order_relaxed) >= items;
}

bool Team::lead(void (*fn)(const void*), const void* fn_object, bool (*poll)(const void*),
                const void* poll_object, std::chrono::milliseconds interval) {
  std::mutex mutex;
  std::condition_variable finished_signal;
  bool finished = false;  // guarded by mutex
  std::exception_ptr fn_error;
  std::exception_ptr poll_error;

  std::thread leader([&] {
    try {
      fn(fn_object);
    } catch (...) {
      fn_error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    finished_signal.notify_one();
  });

  bool polling = true;
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished_signal.wait_for(lock, interval, [&] { return finished; })) {
      if (!polling) continue;
      lock.unlock();
      bool go_on = false;
      try {
        go_on = poll(poll_object);
      } catch (...) {
        poll_error = std::current_exception();
      }
      lock.lock();
      if (!go_on) {
        cancel();
        polling = false;
      }
    }
  }
  leader.join();
  if (fn_error) std::rethrow_exception(fn_error);
  if (poll_error) std::rethrow_exception(poll_error);
  return !cancelled();
}

}  // namespace tovrin
