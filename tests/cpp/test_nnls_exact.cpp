// The active-set solver on small problems whose every output is known:
// dimensions, degenerate data, tie-breaking, the iteration limit and the
// storage it must leave alone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "nnls.h"
#include "solver_testing.h"

namespace {

using tovrin_test::Outcome;
using tovrin_test::Problem;
using tovrin_test::sameBits;
using tovrin_test::sameOutcome;
using tovrin_test::sentinel;
using tovrin_test::solve;
using Vec = std::vector<double>;
using Index = std::vector<std::int32_t>;

constexpr double kEps = std::numeric_limits<double>::epsilon();
const char kLimitLine[] = "\n NNLS quitting on iteration count.\n";

// Columns (1,1,2) and (2,1,1), b = (1,2,1): both variables are positive at
// the solution (5/11, 5/11), which takes two triangular solves to reach.
// A'b = (5, 5), so the first entry is decided by the tie rule.
const Problem kTwoStep = {3, 2, {1, 1, 2, 2, 1, 1}, {1, 2, 1}};

// Columns e1, e2, c = (1/4, 1/4, 1/8), b = (1, 1, 1).  e1 and e2 enter with
// x = 1; c then enters and the solve on P gives (-1, -1, 8), so both e1 and
// e2 reach exactly 0 at the step length 1/2 and leave P one after the other.
// The solution (0, 0, 40/9) takes four triangular solves.
const Problem kDoubleRemoval = {3, 3, {1, 0, 0, 0, 1, 0, 0.25, 0.25, 0.125}, {1, 1, 1}};

TEST(NnlsExact, BadDimensionsWriteOnlyMode) {
  struct Dims {
    std::int32_t m, n;
  };
  for (const Dims d : {Dims{0, 1}, Dims{1, 0}, Dims{0, 0}, Dims{-1, 2}, Dims{2, -3}}) {
    const double s = sentinel();
    Vec a(16, s), b(4, s), x(4, s), w(4, s), zz(4, s);
    Index index(4, -7);
    double rnorm = s;
    std::int32_t mode = 99;
    const std::int32_t mda = 4, maxiter = 0;
    testing::internal::CaptureStdout();
    nnls(a.data(), &mda, &d.m, &d.n, b.data(), x.data(), &rnorm, w.data(), zz.data(),
         index.data(), &mode, &maxiter);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(mode, 2);
    for (const Vec* v : {&a, &b, &x, &w, &zz}) EXPECT_TRUE(sameBits(*v, Vec(v->size(), s)));
    EXPECT_TRUE(sameBits(rnorm, s));
    EXPECT_EQ(index, Index(4, -7));
  }
}

TEST(NnlsExact, ZeroRightHandSideHasNoCandidate) {
  const Problem p = {3, 2, {1, 2, 3, -1, 0, 2}, {0, 0, 0}};
  const Outcome r = solve(p);
  EXPECT_EQ(r.mode, 1);
  EXPECT_TRUE(sameBits(r.x, {0, 0}));
  EXPECT_TRUE(sameBits(r.w, {0, 0}));  // +0: the sums start from +0
  EXPECT_TRUE(sameBits(r.rnorm, 0.0));
  EXPECT_EQ(r.index, (Index{1, 2}));
  EXPECT_TRUE(sameBits(r.a, p.a));
  EXPECT_TRUE(sameBits(r.b, p.b));
  EXPECT_EQ(r.console, "");
}

TEST(NnlsExact, IdentityLeavesEveryOutputKnown) {
  const Outcome r = solve({2, 2, {1, 0, 0, 1}, {1, -1}});
  EXPECT_EQ(r.mode, 1);
  EXPECT_TRUE(sameBits(r.x, {1, 0}));
  EXPECT_TRUE(sameBits(r.rnorm, 1.0));
  EXPECT_TRUE(sameBits(r.w, {0, -1}));
  EXPECT_EQ(r.index, (Index{1, 2}));
  EXPECT_TRUE(sameBits(r.a, {-1, 0, 0, 1}));
  EXPECT_TRUE(sameBits(r.b, {-1, -1}));
  EXPECT_TRUE(sameBits(r.zz, {1, -1}));
  EXPECT_EQ(r.console, "");
}

TEST(NnlsExact, SingleRow) {
  // The largest dual component (18) picks variable 2, which fills P.
  const Outcome in = solve({1, 3, {2, 3, -1}, {6}});
  EXPECT_EQ(in.mode, 1);
  EXPECT_TRUE(sameBits(in.x, {0, 2, 0}));
  EXPECT_TRUE(sameBits(in.rnorm, 0.0));
  EXPECT_TRUE(sameBits(in.w, {0, 0, 0}));
  EXPECT_EQ(in.index, (Index{2, 1, 3}));

  // Every dual component negative: nothing enters.
  const Outcome out = solve({1, 3, {2, 3, 1}, {-6}});
  EXPECT_EQ(out.mode, 1);
  EXPECT_TRUE(sameBits(out.x, {0, 0, 0}));
  EXPECT_TRUE(sameBits(out.rnorm, 6.0));
  EXPECT_TRUE(sameBits(out.w, {-12, -18, -6}));
  EXPECT_EQ(out.index, (Index{1, 2, 3}));
}

TEST(NnlsExact, LastPivotRowIsNotReflected) {
  // Equal duals: e1 enters first.  When e2 enters, its pivot is row m, so
  // its column keeps the unreflected +1 and b(2) keeps its sign.
  const Outcome r = solve({2, 2, {1, 0, 0, 1}, {1, 1}});
  EXPECT_EQ(r.mode, 1);
  EXPECT_TRUE(sameBits(r.x, {1, 1}));
  EXPECT_EQ(r.index, (Index{1, 2}));
  EXPECT_TRUE(sameBits(r.a, {-1, 0, 0, 1}));
  EXPECT_TRUE(sameBits(r.b, {-1, 1}));
  EXPECT_TRUE(sameBits(r.rnorm, 0.0));
}

TEST(NnlsExact, EqualDualsPickTheLowestPosition) {
  // Duals (-1, 1, 1): variables 2 and 3 tie, 2 sits lower in index.
  const Outcome r = solve({2, 3, {-1, 0, 1, 0, 0, 1}, {1, 1}});
  EXPECT_EQ(r.mode, 1);
  EXPECT_EQ(r.index, (Index{2, 3, 1}));
  EXPECT_TRUE(sameBits(r.x, {0, 1, 1}));

  const Outcome two = solve(kTwoStep);
  EXPECT_EQ(two.index, (Index{1, 2}));
}

TEST(NnlsExact, RejectedCandidateColumnIsRestored) {
  // After e1 enters, column 2 is (-1, 3e-20, 4e-20): its dual is positive,
  // but a hundredth of its new pivot (5e-20) does not change unorm = 1, so
  // it is rejected and must get back its unreflected rows.
  const Outcome r = solve({3, 2, {1, 0, 0, 1, 3e-20, 4e-20}, {1, 1, 1}});
  EXPECT_EQ(r.mode, 1);
  EXPECT_TRUE(sameBits(r.x, {1, 0}));
  EXPECT_TRUE(sameBits(r.w, {0, 0}));
  EXPECT_TRUE(sameBits(r.a, {-1, 0, 0, -1, 3e-20, 4e-20}));
}

TEST(NnlsExact, DualSumsRunInIncreasingRowOrder) {
  // 1 + 1e16 rounds to 1e16, so the sum over rows 1..3 of (1, 1e16, -1e16)
  // is 0 and no variable enters; summed from row 3 down it would be 1.
  const Outcome r = solve({3, 1, {1, 1, 1}, {1, 1e16, -1e16}});
  EXPECT_EQ(r.mode, 1);
  EXPECT_TRUE(sameBits(r.x, {0}));
  EXPECT_TRUE(sameBits(r.w, {0}));
}

TEST(NnlsExact, ZeroColumnIsNeverChosen) {
  const Outcome r = solve({3, 3, {1, 0, 0, 0, 0, 0, 0, 0, 1}, {1, 1, 1}});
  EXPECT_EQ(r.mode, 1);
  EXPECT_TRUE(sameBits(r.x, {1, 0, 1}));
  EXPECT_TRUE(sameBits(r.w[1], 0.0));
  EXPECT_EQ(r.index[2], 2);
  EXPECT_TRUE(sameBits(r.rnorm, 1.0));
}

TEST(NnlsExact, SingleColumn) {
  // A'b = 5 > 0: x = 5/9, residual (4, -1, -1)/9.
  const Outcome in = solve({3, 1, {1, 2, 2}, {1, 1, 1}});
  EXPECT_EQ(in.mode, 1);
  EXPECT_NEAR(in.x[0], 5.0 / 9, 4 * kEps);
  EXPECT_TRUE(sameBits(in.w[0], 0.0));
  EXPECT_NEAR(in.rnorm, std::sqrt(2.0) / 3, 4 * kEps);

  // A'b = -1: nothing enters and b stays as it was.
  const Outcome out = solve({3, 1, {1, 2, 2}, {-1, 1, -1}});
  EXPECT_TRUE(sameBits(out.x, {0}));
  EXPECT_TRUE(sameBits(out.w, {-1}));
  EXPECT_TRUE(sameBits(out.rnorm, std::sqrt(3.0)));
  EXPECT_TRUE(sameBits(out.b, {-1, 1, -1}));
}

TEST(NnlsExact, FullSolutionSetOfAWideProblemZeroesResidualAndDuals) {
  // m = 2 < n = 4: columns 4 and then 2 enter, and P is full.
  const Outcome r = solve({2, 4, {1, 0, 0, 1, 1, 1, 2, 1}, {1, 1}});
  EXPECT_EQ(r.mode, 1);
  EXPECT_EQ(r.index[0], 4);
  EXPECT_EQ(r.index[1], 2);
  EXPECT_NEAR(r.x[1], 0.5, 4 * kEps);
  EXPECT_NEAR(r.x[3], 0.5, 4 * kEps);
  EXPECT_TRUE(sameBits(r.x[0], 0.0) && sameBits(r.x[2], 0.0));
  EXPECT_TRUE(sameBits(r.rnorm, 0.0));
  EXPECT_TRUE(sameBits(r.w, {0, 0, 0, 0}));
}

TEST(NnlsExact, IterationLimitStopsAfterTheNextSolve) {
  // One solve allowed: x keeps the one-variable value 5/6 and the entering
  // variable stays 0, while rnorm is already that of the two-variable least
  // squares solution, sqrt(176)/11.
  const Outcome r = solve(kTwoStep, 1);
  EXPECT_EQ(r.mode, 3);
  EXPECT_EQ(r.console, kLimitLine);
  EXPECT_NEAR(r.x[0], 5.0 / 6, 4 * kEps);
  EXPECT_TRUE(sameBits(r.x[1], 0.0));
  EXPECT_NEAR(r.rnorm, std::sqrt(176.0) / 11, 8 * kEps);
  EXPECT_EQ(r.index, (Index{1, 2}));

  const Outcome done = solve(kTwoStep, 2);
  EXPECT_EQ(done.mode, 1);
  EXPECT_EQ(done.console, "");
  EXPECT_NEAR(done.x[0], 5.0 / 11, 4 * kEps);
  EXPECT_NEAR(done.x[1], 5.0 / 11, 4 * kEps);
}

TEST(NnlsExact, NonPositiveLimitMeansThreeTimesN) {
  // kDoubleRemoval needs 4 solves: more than n = 3, fewer than 3n = 9.
  const Outcome reference = solve(kDoubleRemoval, 9);
  EXPECT_EQ(reference.mode, 1);
  for (std::int32_t maxiter : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
    EXPECT_TRUE(sameOutcome(solve(kDoubleRemoval, maxiter), reference)) << maxiter;
  }
}

TEST(NnlsExact, InterpolatedZeroLeavesTheSolutionSet) {
  // With three solves allowed the call stops right after the double removal:
  // x is the interpolated point, exact here, and only c remains in P.
  const Outcome stopped = solve(kDoubleRemoval, 3);
  EXPECT_EQ(stopped.mode, 3);
  EXPECT_EQ(stopped.console, kLimitLine);
  EXPECT_TRUE(sameBits(stopped.x, {0, 0, 4}));
  // Equal step ratios: the lower position (e1) leaves first, then e2.
  EXPECT_EQ(stopped.index, (Index{3, 2, 1}));

  // Four solves suffice only if the second variable that reached 0 left P
  // in the same rescan as the first.
  const Outcome r = solve(kDoubleRemoval, 4);
  EXPECT_EQ(r.mode, 1);
  EXPECT_EQ(r.console, "");
  EXPECT_TRUE(sameBits(r.x[0], 0.0) && sameBits(r.x[1], 0.0));
  EXPECT_NEAR(r.x[2], 40.0 / 9, 16 * kEps);
  EXPECT_EQ(r.index, (Index{3, 2, 1}));

  // With c = (1/4, 1/4, 1/4) and b = 4c the solve on P = {e1, e2, c} gives
  // exactly -0 for e1 and e2: a zero component counts as infeasible, so e1
  // leaves instead of the call ending with x = (-0, -0, 4) and P full.
  const Outcome z = solve({3, 3, {1, 0, 0, 0, 1, 0, 0.25, 0.25, 0.25}, {1, 1, 1}});
  EXPECT_EQ(z.mode, 1);
  EXPECT_TRUE(sameBits(z.x[0], 0.0));
  EXPECT_NEAR(z.x[1], 0.0, 16 * kEps);
  EXPECT_NEAR(z.x[2], 4.0, 16 * kEps);
  EXPECT_EQ(z.index[0], 3);
}

TEST(NnlsExact, RowsBelowMAreNeverTouched) {
  // The same problems stored with leading dimension m + 2: rows m+1 and m+2
  // hold sentinels, and the results equal those of the packed storage.
  for (const Problem& p : {kDoubleRemoval, kTwoStep}) {
    const std::int32_t mda = p.m + 2;
    const double s = sentinel();
    Vec a(static_cast<std::size_t>(mda) * p.n, s);
    for (std::int32_t j = 0; j < p.n; ++j) {
      for (std::int32_t i = 0; i < p.m; ++i) a[i + j * mda] = p.a[i + j * p.m];
    }
    Outcome r{{}, p.b, Vec(p.n, s), Vec(p.n, s), Vec(p.m, s), Index(p.n, -1), s, -1, {}};
    const std::int32_t maxiter = 0;
    nnls(a.data(), &mda, &p.m, &p.n, r.b.data(), r.x.data(), &r.rnorm, r.w.data(), r.zz.data(),
         r.index.data(), &r.mode, &maxiter);
    Vec packed;
    for (std::int32_t j = 0; j < p.n; ++j) {
      for (std::int32_t i = 0; i < mda; ++i) {
        if (i < p.m) {
          packed.push_back(a[i + j * mda]);
        } else {
          EXPECT_TRUE(sameBits(a[i + j * mda], s)) << "row " << i + 1 << " col " << j + 1;
        }
      }
    }
    r.a = packed;
    EXPECT_TRUE(sameOutcome(r, solve(p)));
  }
}

}  // namespace
