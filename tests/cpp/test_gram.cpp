// The Gram-form solver: optimality of the returned point on random problems
// of every shape, agreement with the exact solver on well-conditioned ones,
// the accuracy flag on ill-conditioned ones, degenerate data, the iteration
// limit, cancellation and reproducibility.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "gram/factor.h"
#include "gram/kernels.h"
#include "gram/active_set.h"
#include "solver_testing.h"

namespace {

using tovrin_test::Problem;
namespace gram = tovrin::gram;

struct Gram {
  std::int32_t n;
  std::vector<double> g, c;
};

Gram gramOf(const Problem& p) {
  Gram r{p.n, std::vector<double>(std::size_t(p.n) * p.n), std::vector<double>(p.n)};
  for (std::int32_t j = 0; j < p.n; ++j) {
    for (std::int32_t i = 0; i < p.n; ++i) {
      double s = 0.0;
      for (std::int32_t k = 0; k < p.m; ++k) s += p.a[k + i * p.m] * p.a[k + j * p.m];
      r.g[i + j * p.n] = s;
    }
    double s = 0.0;
    for (std::int32_t k = 0; k < p.m; ++k) s += p.a[k + j * p.m] * p.b[k];
    r.c[j] = s;
  }
  return r;
}

struct Solution {
  gram::Outcome out;
  std::vector<double> x, w;
  std::vector<unsigned char> passive;
};

Solution solveGram(const Gram& gr, const Problem* withA = nullptr, std::int32_t maxiter = 0,
                   const std::atomic<bool>* cancel = nullptr) {
  Solution s{{}, std::vector<double>(gr.n), std::vector<double>(gr.n),
             std::vector<unsigned char>(gr.n)};
  gram::Workspace work(gr.n, withA ? withA->m : 0);
  const gram::GramProblem pr{gr.g.data(), gr.n, gr.n, gr.c.data(),
                             gram::gram_norm(gr.g.data(), gr.n, gr.n)};
  gram::LeastSquares ls{};
  if (withA) ls = {withA->a.data(), withA->m, withA->m, withA->b.data()};
  s.out = gram::solve(pr, withA ? &ls : nullptr, maxiter > 0 ? maxiter : 3 * gr.n, cancel, work,
                      s.x.data(), s.w.data(), s.passive.data());
  return s;
}

// A Gaussian m x n matrix with orthonormal columns (Gram-Schmidt, twice).
std::vector<double> orthonormal(std::mt19937_64& rng, std::int32_t m, std::int32_t n) {
  std::normal_distribution<double> normal;
  std::vector<double> q(std::size_t(m) * n);
  for (double& v : q) v = normal(rng);
  for (std::int32_t j = 0; j < n; ++j) {
    double* qj = q.data() + std::size_t(j) * m;
    for (int pass = 0; pass < 2; ++pass) {
      for (std::int32_t i = 0; i < j; ++i) {
        const double* qi = q.data() + std::size_t(i) * m;
        double d = 0.0;
        for (std::int32_t k = 0; k < m; ++k) d += qi[k] * qj[k];
        for (std::int32_t k = 0; k < m; ++k) qj[k] -= d * qi[k];
      }
    }
    double nrm = 0.0;
    for (std::int32_t k = 0; k < m; ++k) nrm += qj[k] * qj[k];
    nrm = std::sqrt(nrm);
    for (std::int32_t k = 0; k < m; ++k) qj[k] /= nrm;
  }
  return q;
}

// A = U diag(sigma) V' with singular values from 1 down to 1/kappa
// (geometrically), b = A x_true + noise with x_true >= 0 about half zero.
Problem conditioned(std::uint64_t seed, std::int32_t m, std::int32_t n, double kappa,
                    double noise = 1e-2) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  const std::int32_t r = std::min(m, n);
  const std::vector<double> u = orthonormal(rng, m, r), v = orthonormal(rng, n, r);
  Problem p{m, n, std::vector<double>(std::size_t(m) * n, 0.0), std::vector<double>(m, 0.0)};
  for (std::int32_t k = 0; k < r; ++k) {
    const double sigma = r > 1 ? std::pow(kappa, -double(k) / (r - 1)) : 1.0;
    for (std::int32_t j = 0; j < n; ++j) {
      for (std::int32_t i = 0; i < m; ++i) {
        p.a[i + std::size_t(j) * m] += u[i + std::size_t(k) * m] * sigma * v[j + std::size_t(k) * n];
      }
    }
  }
  std::vector<double> xt(n);
  for (double& x : xt) x = (rng() % 2) ? std::fabs(normal(rng)) : 0.0;
  for (std::int32_t i = 0; i < m; ++i) {
    double s = 0.0;
    for (std::int32_t j = 0; j < n; ++j) s += p.a[i + std::size_t(j) * m] * xt[j];
    p.b[i] = s + noise * normal(rng);
  }
  return p;
}

Problem gaussian(std::uint64_t seed, std::int32_t m, std::int32_t n) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> normal;
  Problem p{m, n, std::vector<double>(std::size_t(m) * n), std::vector<double>(m)};
  for (double& v : p.a) v = normal(rng);
  for (double& v : p.b) v = normal(rng);
  return p;
}

double residualNorm(const Problem& p, const std::vector<double>& x) {
  double s = 0.0;
  for (std::int32_t i = 0; i < p.m; ++i) {
    double r = -p.b[i];
    for (std::int32_t j = 0; j < p.n; ++j) r += p.a[i + std::size_t(j) * p.m] * x[j];
    s += r * r;
  }
  return std::sqrt(s);
}

// The optimality conditions with the solver's own tolerance, and w = c - G x.
void expectOptimal(const Gram& gr, const Solution& s) {
  double xmax = 0.0, cmax = 0.0;
  for (std::int32_t j = 0; j < gr.n; ++j) {
    xmax = std::max(xmax, std::fabs(s.x[j]));
    cmax = std::max(cmax, std::fabs(gr.c[j]));
  }
  const double scale = gram::gram_norm(gr.g.data(), gr.n, gr.n) * xmax + cmax;
  const double tol = gram::dual_tolerance * scale;
  for (std::int32_t j = 0; j < gr.n; ++j) {
    double w = gr.c[j];
    for (std::int32_t i = 0; i < gr.n; ++i) w -= gr.g[j + std::size_t(i) * gr.n] * s.x[i];
    EXPECT_NEAR(w, s.w[j], 1e3 * 2.2e-16 * scale) << "dual " << j;
    EXPECT_GE(s.x[j], 0.0);
    if (s.passive[j]) {
      EXPECT_LE(std::fabs(s.w[j]), tol) << "passive " << j;
    } else {
      EXPECT_EQ(s.x[j], 0.0) << "zero set " << j;
      EXPECT_LE(s.w[j], tol) << "zero set " << j;
    }
  }
}

TEST(GramNnls, RandomProblemsOfEveryShapeAreSolvedOptimally) {
  const std::int32_t shapes[][2] = {{40, 20}, {20, 20}, {10, 20}, {1, 5}, {5, 1}, {200, 60}};
  for (std::uint64_t seed = 0; seed < 8; ++seed) {
    for (const auto& mn : shapes) {
      const Problem p = gaussian(seed, mn[0], mn[1]);
      const Gram gr = gramOf(p);
      const Solution s = solveGram(gr);
      SCOPED_TRACE(testing::Message() << "seed " << seed << " m " << mn[0] << " n " << mn[1]);
      EXPECT_EQ(s.out.status, gram::status_solved);
      expectOptimal(gr, s);
    }
  }
}

TEST(GramNnls, WellConditionedProblemsAgreeWithTheExactSolver) {
  const std::int32_t shapes[][2] = {{60, 30}, {30, 30}, {120, 40}};
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    for (const auto& mn : shapes) {
      for (const double kappa : {10.0, 1e4}) {
        const Problem p = conditioned(seed, mn[0], mn[1], kappa);
        const tovrin_test::Outcome exact = tovrin_test::solve(p);
        const Solution s = solveGram(gramOf(p), &p);
        SCOPED_TRACE(testing::Message() << "seed " << seed << " kappa " << kappa);
        ASSERT_EQ(s.out.status, gram::status_solved);
        double xmax = 0.0, dmax = 0.0;
        for (std::int32_t j = 0; j < p.n; ++j) {
          xmax = std::max(xmax, std::fabs(exact.x[j]));
          dmax = std::max(dmax, std::fabs(exact.x[j] - s.x[j]));
          EXPECT_EQ(bool(s.passive[j]), exact.x[j] > 0.0) << "variable " << j;
        }
        EXPECT_LE(dmax, 1e-10 * xmax);
      }
    }
  }
}

// cond(A) = 1e8 squares to 1e16 in the Gram form: the result is either
// within 1e-6 of the exact one or flagged, with and without refinement.
TEST(GramNnls, IllConditionedProblemsAreAccurateOrFlagged) {
  int flagged = 0;
  for (std::uint64_t seed = 0; seed < 6; ++seed) {
    const Problem p = conditioned(seed, 60, 30, 1e8, 1e-3);
    const tovrin_test::Outcome exact = tovrin_test::solve(p);
    for (const bool withA : {false, true}) {
      const Solution s = solveGram(gramOf(p), withA ? &p : nullptr);
      if (s.out.status == gram::status_inaccurate) {
        ++flagged;
        continue;
      }
      double xmax = 0.0, dmax = 0.0;
      for (std::int32_t j = 0; j < p.n; ++j) {
        xmax = std::max(xmax, std::fabs(exact.x[j]));
        dmax = std::max(dmax, std::fabs(exact.x[j] - s.x[j]));
      }
      EXPECT_LE(dmax, 1e-6 * xmax) << "seed " << seed << " withA " << withA;
    }
  }
  EXPECT_GT(flagged, 0);
}

// Two columns at an angle of 1e-7 and b = a_0 + a_1: the exact solver finds
// x = (1, 1); in the Gram form the second column's pivot, sin^2 = 1e-14, is
// at the level of rounding.  Given A, the recomputed dual shows the missed
// variable; a pivot refused on entry is flagged with or without A.
TEST(GramNnls, APivotTooSmallForTheGramFormIsFlagged) {
  const double delta = 1e-7;
  const Problem p{2, 2, {1.0, 0.0, 1.0, delta}, {2.0, delta}};
  const tovrin_test::Outcome exact = tovrin_test::solve(p);
  ASSERT_NEAR(exact.x[0], 1.0, 1e-6);
  EXPECT_EQ(solveGram(gramOf(p), &p).out.status, gram::status_inaccurate);

  // det G = 1e-15: the second column, wanted (dual 0.1 after the first
  // enters), has the pivot ratio 4e-15.
  const Gram refused{2, {1.0, 0.5, 0.5, 0.25 + 1e-15}, {1.0, 0.6}};
  const Solution s = solveGram(refused);
  EXPECT_GT(s.out.rejected, 0);
  EXPECT_EQ(s.out.status, gram::status_inaccurate);
}

TEST(GramNnls, DegenerateDataIsSolved) {
  // A zero column never enters; a duplicate column adds nothing.
  Problem p = gaussian(3, 30, 6);
  std::fill(p.a.begin() + 2 * 30, p.a.begin() + 3 * 30, 0.0);
  std::copy(p.a.begin(), p.a.begin() + 30, p.a.begin() + 4 * 30);
  for (std::int32_t i = 0; i < 30; ++i) p.b[i] += 3.0 * p.a[i];  // column 0 is wanted
  const Gram gr = gramOf(p);
  const Solution s = solveGram(gr);
  EXPECT_EQ(s.out.status, gram::status_solved);
  expectOptimal(gr, s);
  EXPECT_EQ(s.x[2], 0.0);
  EXPECT_FALSE(s.passive[0] && s.passive[4]);
  const tovrin_test::Outcome exact = tovrin_test::solve(p);
  EXPECT_NEAR(residualNorm(p, s.x), exact.rnorm, 1e-10 * exact.rnorm);

  // b = 0: x = 0 without a single trial.
  Problem zero = gaussian(4, 10, 4);
  std::fill(zero.b.begin(), zero.b.end(), 0.0);
  const Solution z = solveGram(gramOf(zero));
  EXPECT_EQ(z.out.status, gram::status_solved);
  EXPECT_EQ(z.out.iterations, 0);
  for (double v : z.x) EXPECT_EQ(v, 0.0);

  // n = 1: x = max(0, c / g).
  for (const double sign : {1.0, -1.0}) {
    const Gram one{1, {4.0}, {sign * 2.0}};
    const Solution o = solveGram(one);
    EXPECT_EQ(o.out.status, gram::status_solved);
    EXPECT_EQ(o.x[0], sign > 0 ? 0.5 : 0.0);
  }

  // Rank deficiency (m < n): optimal, with the exact solver's residual.
  for (std::uint64_t seed = 0; seed < 5; ++seed) {
    const Problem wide = gaussian(seed, 8, 20);
    const Gram gw = gramOf(wide);
    const Solution sw = solveGram(gw);
    EXPECT_EQ(sw.out.status, gram::status_solved);
    EXPECT_EQ(solveGram(gw, &wide).out.status, gram::status_solved);
    expectOptimal(gw, sw);
    const tovrin_test::Outcome exact = tovrin_test::solve(wide);
    EXPECT_NEAR(residualNorm(wide, sw.x), exact.rnorm, 1e-8 * std::max(1.0, exact.rnorm));
  }
}

TEST(GramNnls, TheIterationLimitAndCancellationStopTheSolve) {
  const Problem p = gaussian(9, 80, 40);
  const Gram gr = gramOf(p);
  const Solution full = solveGram(gr);
  ASSERT_GT(full.out.iterations, 2);
  const Solution limited = solveGram(gr, nullptr, 2);
  EXPECT_EQ(limited.out.status, gram::status_iteration_limit);
  EXPECT_EQ(limited.out.iterations, 2);
  for (double v : limited.x) EXPECT_GE(v, 0.0);

  const std::atomic<bool> cancel{true};
  const Solution cancelled = solveGram(gr, nullptr, 0, &cancel);
  EXPECT_EQ(cancelled.out.status, gram::status_cancelled);
}

TEST(GramNnls, AWorkspaceReusedAcrossProblemsGivesTheSameBits) {
  const Gram first = gramOf(gaussian(11, 50, 25));
  const Gram second = gramOf(gaussian(12, 50, 25));
  const Solution alone = solveGram(second);
  gram::Workspace work(25, 0);
  std::vector<double> x(25), w(25);
  std::vector<unsigned char> passive(25);
  for (const Gram* gr : {&first, &second}) {
    const gram::GramProblem pr{gr->g.data(), 25, 25, gr->c.data(),
                               gram::gram_norm(gr->g.data(), 25, 25)};
    gram::solve(pr, nullptr, 75, nullptr, work, x.data(), w.data(), passive.data());
  }
  EXPECT_TRUE(tovrin_test::sameBits(x, alone.x));
  EXPECT_TRUE(tovrin_test::sameBits(w, alone.w));
  EXPECT_EQ(passive, alone.passive);
}

}  // namespace

namespace {

// Continuing from a factored set (the solution's, every variable, or one
// short) reaches the plain solve's solution.
TEST(GramNnls, SolveFromAFactoredSetReachesTheSolution) {
  const Problem p = gaussian(22, 60, 30);
  const Gram gr = gramOf(p);
  const Solution plain = solveGram(gr);
  ASSERT_EQ(plain.out.status, gram::status_solved);
  gram::Workspace work(30, 0);
  const gram::GramProblem pr{gr.g.data(), 30, 30, gr.c.data(),
                             gram::gram_norm(gr.g.data(), 30, 30)};
  std::vector<unsigned char> all(30, 1), fewer(plain.passive);
  fewer[std::find(fewer.begin(), fewer.end(), 1) - fewer.begin()] = 0;
  const std::vector<unsigned char>* starts[] = {&plain.passive, &all, &fewer};
  for (const std::vector<unsigned char>* start : starts) {
    std::vector<double> r(30 * 30);
    std::vector<std::int32_t> set(30);
    std::int32_t size = 0;
    for (std::int32_t j = 0; j < 30; ++j) {
      if (!(*start)[j]) continue;
      ASSERT_TRUE(gram::append_variable(size, r.data(), 30, set.data(), gr.g.data(), 30, j));
      ++size;
    }
    const gram::FactorView view{set.data(), r.data(), 30, size};
    std::vector<double> x(30), w(30);
    std::vector<unsigned char> passive(30);
    const gram::Outcome out = gram::solve_from(pr, nullptr, view, 90, nullptr, work, x.data(),
                                               w.data(), passive.data());
    EXPECT_EQ(out.status, gram::status_solved);
    if (start == &plain.passive) {
      EXPECT_EQ(out.iterations, 1);
    }
    EXPECT_EQ(passive, plain.passive);
    for (int j = 0; j < 30; ++j) EXPECT_NEAR(x[j], plain.x[j], 1e-12);
  }
}

// Deleting positions from a factor leaves R'R = G(set, set) for the rest.
TEST(GramFactor, DeletedPositionsLeaveTheFactorOfTheRest) {
  const Gram gr = gramOf(gaussian(23, 40, 12));
  std::vector<double> r(12 * 12);
  std::vector<std::int32_t> set(12);
  std::int32_t p = 0;
  for (std::int32_t t : {5, 0, 7, 3, 11, 2, 9}) {
    ASSERT_TRUE(gram::append_variable(p, r.data(), 12, set.data(), gr.g.data(), 12, t));
    ++p;
  }
  for (std::int32_t q : {1, 4, 0}) gram::delete_position(p--, r.data(), 12, set.data(), q);
  ASSERT_EQ(std::vector<std::int32_t>(set.begin(), set.begin() + p),
            (std::vector<std::int32_t>{7, 3, 11, 9}));
  for (std::int32_t i = 0; i < p; ++i) {
    for (std::int32_t j = 0; j < p; ++j) {
      double rtr = 0.0;
      for (std::int32_t k = 0; k <= std::min(i, j); ++k) rtr += r[k + i * 12] * r[k + j * 12];
      EXPECT_NEAR(rtr, gr.g[set[i] + set[j] * 12], 1e-12 * gr.g[set[i] + set[i] * 12]);
    }
  }
}

}  // namespace

namespace {

// The blocked kernels against one column at a time in the order their
// header states, bit for bit, for every remainder of the blocks.
TEST(GramKernels, BlockedPassesGiveTheBitsOfOneColumnAtATime) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(0.5, 2.0);
  for (std::int32_t p = 0; p <= 19; ++p) {
    const std::int32_t ld = p + 3;
    std::vector<double> r(std::size_t(ld) * (p + 1)), v(p + 1), coef(p + 1);
    for (double& e : r) e = u(rng);
    for (double& e : v) e = u(rng);
    for (double& e : coef) e = u(rng);
    std::vector<std::int32_t> cols(p);
    for (std::int32_t k = 0; k < p; ++k) cols[k] = (5 * k + 1) % p;

    std::vector<double> y = v, want = v;
    gram::subtract_columns(p, p, r.data(), ld, cols.data(), coef.data(), y.data());
    for (std::int32_t k = 0; k < p; ++k) gram::axpy(p, -coef[cols[k]], &r[cols[k] * ld], want.data());
    EXPECT_EQ(y, want) << "subtract_columns, p = " << p;

    std::vector<double> t = v, tw = v;
    gram::solve_transposed(p, r.data(), ld, t.data());
    for (std::int32_t k = 0; k < p; ++k) tw[k] = (tw[k] - gram::dot(k, &r[k * ld], tw.data())) / r[k * ld + k];
    EXPECT_EQ(t, tw) << "solve_transposed, p = " << p;

    std::vector<double> s(p + 1), sw(p + 1), vb = v, vw = v;
    gram::solve_upper(p, r.data(), ld, vb.data(), s.data());
    for (std::int32_t k = p - 1; k >= 0; --k) {
      sw[k] = vw[k] / r[k * ld + k];
      gram::axpy(k, -sw[k], &r[k * ld], vw.data());
    }
    EXPECT_EQ(s, sw) << "solve_upper, p = " << p;
  }
}

}  // namespace
