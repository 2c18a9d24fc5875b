// The internal entry solve_nnls: the bits of nnls, its iteration count, no
// console output at the limit, and a run stopped through its flag.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "solve.h"
#include "solver_testing.h"

namespace {

using tovrin_test::Outcome;
using tovrin_test::Problem;
using tovrin_test::sameBits;
using tovrin_test::sameOutcome;
using tovrin_test::sentinelOutcome;
using tovrin_test::solve;

// Same problems as the exact tests: two solves to the solution of kTwoStep,
// four (two of them after removals) for kDoubleRemoval.
const Problem kTwoStep = {3, 2, {1, 1, 2, 2, 1, 1}, {1, 2, 1}};
const Problem kDoubleRemoval = {3, 3, {1, 0, 0, 0, 1, 0, 0.25, 0.25, 0.125}, {1, 1, 1}};

struct EntryRun {
  Outcome outcome;
  std::int64_t iterations;
  std::int32_t nsetp;
};

// Runs solve_nnls on copies of p the way solve() runs nnls, with the same
// sentinels and the console captured.
EntryRun solveEntry(const Problem& p, std::int64_t maxiter,
                    const std::atomic<bool>* cancel = nullptr) {
  Outcome r = sentinelOutcome(p);
  ::testing::internal::CaptureStdout();
  const tovrin::SolveOutcome s =
      tovrin::solve_nnls(r.a.data(), p.m, p.m, p.n, r.b.data(), r.x.data(), &r.rnorm,
                         r.w.data(), r.zz.data(), r.index.data(), maxiter, cancel, nullptr);
  r.console = ::testing::internal::GetCapturedStdout();
  r.mode = s.mode;
  return {r, s.iterations, s.nsetp};
}

TEST(SolveEntry, GivesTheBitsOfNnlsAndCountsEveryTriangularSolve) {
  struct Case {
    const Problem& p;
    std::int32_t maxiter;
    std::int64_t iterations;
    std::int32_t nsetp;
  };
  // kTwoStep ends with both variables in P, kDoubleRemoval with c alone.
  // A flag that stays clear changes nothing.
  const std::atomic<bool> running{false};
  for (const Case& c : {Case{kTwoStep, 0, 2, 2}, Case{kDoubleRemoval, 0, 4, 1},
                        Case{kDoubleRemoval, 4, 4, 1}, Case{kTwoStep, 2, 2, 2}}) {
    const EntryRun run = solveEntry(c.p, c.maxiter, &running);
    EXPECT_TRUE(sameOutcome(run.outcome, solve(c.p, c.maxiter)));
    EXPECT_EQ(run.iterations, c.iterations);
    EXPECT_EQ(run.nsetp, c.nsetp);
  }
}

TEST(SolveEntry, IterationLimitIsReportedWithoutPrinting) {
  // The solve that exceeds the limit is counted: maxiter + 1.
  for (std::int32_t maxiter : {1, 3}) {
    const EntryRun run = solveEntry(kDoubleRemoval, maxiter);
    const Outcome printed = solve(kDoubleRemoval, maxiter);
    EXPECT_EQ(run.outcome.mode, tovrin::mode_iteration_limit);
    EXPECT_EQ(run.outcome.console, "");
    EXPECT_NE(printed.console, "");
    EXPECT_EQ(run.iterations, maxiter + 1);
    Outcome silent = printed;
    silent.console.clear();
    EXPECT_TRUE(sameOutcome(run.outcome, silent));
  }
}

TEST(SolveEntry, SetFlagStopsBeforeTheFirstPass) {
  // Nothing has entered P: x = 0, index in its initial order, rnorm = ||b||.
  const std::atomic<bool> stop{true};
  const EntryRun run = solveEntry(kTwoStep, 0, &stop);
  EXPECT_EQ(run.outcome.mode, tovrin::mode_cancelled);
  EXPECT_EQ(run.iterations, 0);
  EXPECT_EQ(run.nsetp, 0);
  EXPECT_TRUE(sameBits(run.outcome.x, {0, 0}));
  EXPECT_EQ(run.outcome.index, (std::vector<std::int32_t>{1, 2}));
  EXPECT_TRUE(sameBits(run.outcome.rnorm, std::sqrt(6.0)));
  EXPECT_EQ(run.outcome.console, "");
}

}  // namespace
