// The worker pool of the package's batch solver: every item once, a stop
// asked by the polling thread, and a worker's exception carried back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "common/pool.h"

namespace {

using std::chrono::milliseconds;

TEST(WorkerPool, RunsEveryItemOnceOnItsWorkers) {
  for (int workers : {1, 2, 7}) {
    std::vector<std::atomic<int>> runs(1000);
    std::vector<std::atomic<int>> by_worker(workers);
    std::atomic<bool> cancel{false};
    const bool completed = tovrin::run_on_workers(
        workers, 1000, cancel,
        [&](int worker, std::int64_t item) {
          ++runs[item];
          ++by_worker[worker];
        },
        [] { return true; }, milliseconds(1));
    EXPECT_TRUE(completed);
    EXPECT_FALSE(cancel.load());
    int total = 0;
    for (const auto& r : runs) EXPECT_EQ(r.load(), 1);
    for (const auto& w : by_worker) total += w.load();
    EXPECT_EQ(total, 1000);
  }
}

TEST(WorkerPool, PollThatRefusesSetsTheFlagAndEndsTheWorkers) {
  // Each item waits for the flag, as a solve polls it between passes: the
  // call can only end through the poll's refusal.
  std::atomic<bool> cancel{false};
  std::atomic<int> polls{0};
  std::atomic<int> started{0};
  const bool completed = tovrin::run_on_workers(
      2, 1000000, cancel,
      [&](int, std::int64_t) {
        ++started;
        while (!cancel.load()) std::this_thread::sleep_for(milliseconds(1));
      },
      [&] { return ++polls < 3; }, milliseconds(1));
  EXPECT_FALSE(completed);
  EXPECT_TRUE(cancel.load());
  EXPECT_EQ(polls.load(), 3);
  EXPECT_LE(started.load(), 2);
}

TEST(WorkerPool, FirstExceptionOfAWorkerIsRethrownAfterAllEnded) {
  std::atomic<bool> cancel{false};
  std::atomic<int> done{0};
  EXPECT_THROW(tovrin::run_on_workers(
                   2, 100, cancel,
                   [&](int, std::int64_t item) {
                     if (item == 10) throw std::runtime_error("item 10");
                     ++done;
                   },
                   [] { return true; }, milliseconds(1)),
               std::runtime_error);
  EXPECT_TRUE(cancel.load());
  EXPECT_LT(done.load(), 100);
}

}  // namespace
