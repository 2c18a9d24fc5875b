// A pool of worker threads owned by one call, and the calling thread's wait
// for them that lets it stop them.
//
// run_on_workers(workers, items, cancel, work, poll, interval) runs
// work(worker, item) once for every item = 0..items-1, on `workers` new
// std::threads that take the items in increasing order from a shared counter;
// `worker` (0..workers-1) names the thread, so that each can own its storage.
// The calling thread does none of the items: it sleeps on a condition
// variable, wakes every `interval` and calls poll().  When poll() returns
// false the flag `cancel` is set; work is expected to read it and return soon,
// no worker starts another item, and the call returns false once every
// worker has ended.  It returns true when every item ran.
//
// An exception thrown by work sets `cancel` too; the first one is rethrown
// on the calling thread after every worker has ended.  A failure to start a
// thread stops the ones already started and is rethrown the same way.  No
// thread outlives the call, and the call allocates only the thread objects.
// Nothing here knows about Python: poll() is where a caller checks for
// signals.
#ifndef TOVRIN_POOL_H
#define TOVRIN_POOL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tovrin {

template <class Work, class Poll>
bool run_on_workers(int workers, std::int64_t items, std::atomic<bool>& cancel,
                    const Work& work, const Poll& poll,
                    std::chrono::milliseconds interval) {
  std::mutex mutex;
  std::condition_variable finished;
  int running = workers;  // workers not yet ended; guarded by mutex
  std::exception_ptr error;
  std::atomic<std::int64_t> next{0};

  auto body = [&](int worker) {
    try {
      while (!cancel.load(std::memory_order_relaxed)) {
        const std::int64_t item = next.fetch_add(1, std::memory_order_relaxed);
        if (item >= items) break;
        work(worker, item);
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!error) error = std::current_exception();
      cancel.store(true);
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (--running == 0) finished.notify_one();
  };

  std::vector<std::thread> threads;
  try {
    threads.reserve(workers);
    for (int w = 0; w < workers; ++w) threads.emplace_back(body, w);
  } catch (...) {
    cancel.store(true);
    {
      std::lock_guard<std::mutex> lock(mutex);
      running -= workers - static_cast<int>(threads.size());
    }
    for (std::thread& t : threads) t.join();
    throw;
  }

  bool polling = true;
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, interval, [&] { return running == 0; })) {
      if (!polling) continue;
      lock.unlock();
      const bool go_on = poll();
      lock.lock();
      if (!go_on) {
        cancel.store(true);
        polling = false;
      }
    }
  }
  for (std::thread& t : threads) t.join();
  if (error) std::rethrow_exception(error);
  return polling;
}

}  // namespace tovrin

#endif  // TOVRIN_POOL_H
