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

#include "common/team.h"
#include "gram/active_set.h"
#include "gram/dense.h"
#include "gram/factor.h"
#include "gram/free_form.h"
#include "gram/held_form.h"
#include "gram/kernels.h"
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

gram::GramMatrix matrixOf(const Gram& gr) {
  return {gr.g.data(), gr.n, gr.n, gram::gram_norm(gr.g.data(), gr.n, gr.n)};
}

// The one-at-a-time method on the Gram form, with A for the certificate
// where given.
Solution solveGram(const Gram& gr, const Problem* withA = nullptr, std::int32_t maxiter = 0,
                   const std::atomic<bool>* cancel = nullptr) {
  Solution s{{}, std::vector<double>(gr.n), std::vector<double>(gr.n),
             std::vector<unsigned char>(gr.n)};
  tovrin::Team solo(1);
  const gram::GramMatrix g = matrixOf(gr);
  gram::DataMatrix a{};
  gram::RightHandSide b{};
  if (withA) {
    a = {withA->a.data(), tovrin::dense::Layout::columns, withA->m, withA->m, withA->n, nullptr};
    double btb = 0.0;
    for (double v : withA->b) btb += v * v;
    b = {withA->b.data(), 1, 0, btb};
  }
  gram::Certificate certificate(g, withA ? &a : nullptr, solo);
  gram::ActiveSetWorkspace work(gr.n);
  s.out = gram::solve(g, gr.c.data(), withA ? &b : nullptr, maxiter > 0 ? maxiter : 3 * gr.n,
                      cancel, work, certificate, s.x.data(), s.w.data(), s.passive.data());
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
    EXPECT_GE(s.x[j], 0.0);
    if (s.passive[j]) {
      EXPECT_EQ(s.w[j], 0.0) << "passive " << j;
      EXPECT_LE(std::fabs(w), tol) << "passive " << j;
    } else {
      EXPECT_NEAR(w, s.w[j], 1e3 * 2.2e-16 * scale) << "dual " << j;
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
      EXPECT_EQ(s.out.status, tovrin::status::solved);
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
        ASSERT_EQ(s.out.status, tovrin::status::solved);
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
      if (s.out.status == tovrin::status::gram_inaccurate) {
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
  EXPECT_EQ(solveGram(gramOf(p), &p).out.status, tovrin::status::gram_inaccurate);

  // det G = 1e-15: the second column, wanted (dual 0.1 after the first
  // enters), has the pivot ratio 4e-15.
  const Gram refused{2, {1.0, 0.5, 0.5, 0.25 + 1e-15}, {1.0, 0.6}};
  const Solution s = solveGram(refused);
  EXPECT_GT(s.out.rejected, 0);
  EXPECT_EQ(s.out.status, tovrin::status::gram_inaccurate);
}

TEST(GramNnls, DegenerateDataIsSolved) {
  // A zero column never enters; a duplicate column adds nothing.
  Problem p = gaussian(3, 30, 6);
  std::fill(p.a.begin() + 2 * 30, p.a.begin() + 3 * 30, 0.0);
  std::copy(p.a.begin(), p.a.begin() + 30, p.a.begin() + 4 * 30);
  for (std::int32_t i = 0; i < 30; ++i) p.b[i] += 3.0 * p.a[i];  // column 0 is wanted
  const Gram gr = gramOf(p);
  const Solution s = solveGram(gr);
  EXPECT_EQ(s.out.status, tovrin::status::solved);
  expectOptimal(gr, s);
  EXPECT_EQ(s.x[2], 0.0);
  EXPECT_FALSE(s.passive[0] && s.passive[4]);
  const tovrin_test::Outcome exact = tovrin_test::solve(p);
  EXPECT_NEAR(residualNorm(p, s.x), exact.rnorm, 1e-10 * exact.rnorm);

  // b = 0: x = 0 without a single trial.
  Problem zero = gaussian(4, 10, 4);
  std::fill(zero.b.begin(), zero.b.end(), 0.0);
  const Solution z = solveGram(gramOf(zero));
  EXPECT_EQ(z.out.status, tovrin::status::solved);
  EXPECT_EQ(z.out.iterations, 0);
  for (double v : z.x) EXPECT_EQ(v, 0.0);

  // n = 1: x = max(0, c / g).
  for (const double sign : {1.0, -1.0}) {
    const Gram one{1, {4.0}, {sign * 2.0}};
    const Solution o = solveGram(one);
    EXPECT_EQ(o.out.status, tovrin::status::solved);
    EXPECT_EQ(o.x[0], sign > 0 ? 0.5 : 0.0);
  }

  // Rank deficiency (m < n): optimal, with the exact solver's residual.
  for (std::uint64_t seed = 0; seed < 5; ++seed) {
    const Problem wide = gaussian(seed, 8, 20);
    const Gram gw = gramOf(wide);
    const Solution sw = solveGram(gw);
    EXPECT_EQ(sw.out.status, tovrin::status::solved);
    EXPECT_EQ(solveGram(gw, &wide).out.status, tovrin::status::solved);
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
  EXPECT_EQ(limited.out.status, tovrin::status::iteration_limit);
  EXPECT_EQ(limited.out.iterations, 2);
  for (double v : limited.x) EXPECT_GE(v, 0.0);

  const std::atomic<bool> cancel{true};
  const Solution cancelled = solveGram(gr, nullptr, 0, &cancel);
  EXPECT_EQ(cancelled.out.status, tovrin::status::cancelled);
}

TEST(GramNnls, AWorkspaceReusedAcrossProblemsGivesTheSameBits) {
  const Gram first = gramOf(gaussian(11, 50, 25));
  const Gram second = gramOf(gaussian(12, 50, 25));
  const Solution alone = solveGram(second);
  tovrin::Team solo(1);
  gram::ActiveSetWorkspace work(25);
  std::vector<double> x(25), w(25);
  std::vector<unsigned char> passive(25);
  for (const Gram* gr : {&first, &second}) {
    const gram::GramMatrix g = matrixOf(*gr);
    gram::Certificate certificate(g, nullptr, solo);
    gram::solve(g, gr->c.data(), nullptr, 75, nullptr, work, certificate, x.data(), w.data(),
                passive.data());
  }
  EXPECT_TRUE(tovrin_test::sameBits(x, alone.x));
  EXPECT_TRUE(tovrin_test::sameBits(w, alone.w));
  EXPECT_EQ(passive, alone.passive);
}

}  // namespace

namespace {

// L L' of the factor's positions against B(set, set), and the solve.
void expectFactorOf(const gram::Factor& f, const std::vector<double>& b, std::int32_t ldb) {
  const std::int32_t p = f.size();
  for (std::int32_t i = 0; i < p; ++i) {
    for (std::int32_t j = 0; j <= i; ++j) {
      double llt = 0.0;
      for (std::int32_t k = 0; k <= j; ++k) {
        llt += f.lower()[i + k * f.ld()] * f.lower()[j + k * f.ld()];
      }
      const double bij = b[f.variable(i) + std::size_t(f.variable(j)) * ldb];
      EXPECT_NEAR(llt, bij, 1e-12 * b[f.variable(i) * std::size_t(ldb + 1)]) << i << ", " << j;
    }
  }
}

// Appended and removed positions leave the factor of the rest, y rotated
// alike, and a dependent column is refused; make gives the same factor.
TEST(GramFactor, UpdatesLeaveTheFactorOfTheRest) {
  const Gram gr = gramOf(gaussian(23, 40, 12));
  gram::Factor f(12);
  std::vector<double> y(12), column(12);
  for (std::int32_t t : {5, 0, 7, 3, 11, 2, 9}) {
    for (std::int32_t q = 0; q < f.size(); ++q) column[q] = gr.g[f.variable(q) + t * 12];
    ASSERT_TRUE(f.append(t, column.data(), gr.g[t * 13], y.data(), gr.c[t]));
  }
  for (std::int32_t q : {1, 4, 0}) f.remove(q, y.data());
  ASSERT_EQ(std::vector<std::int32_t>(f.set(), f.set() + f.size()),
            (std::vector<std::int32_t>{7, 3, 11, 9}));
  expectFactorOf(f, gr.g, 12);
  std::vector<double> want(4);
  for (std::int32_t q = 0; q < 4; ++q) want[q] = gr.c[f.variable(q)];
  f.forward(want.data());
  for (std::int32_t q = 0; q < 4; ++q) EXPECT_NEAR(y[q], want[q], 1e-12) << q;

  gram::Factor fresh(12);
  ASSERT_TRUE(fresh.make(gr.g.data(), 12, f.set(), 4));
  expectFactorOf(fresh, gr.g, 12);
  // B_tt equal to what the positions explain: numerically dependent.
  std::vector<double> b = {1.0, 2.0, 2.0, 4.0};
  const std::int32_t both[] = {0, 1};
  EXPECT_FALSE(fresh.make(b.data(), 2, both, 2));
}

// A symmetric positive definite G (n x n) of Gaussian A (2n x n).
Gram definite(std::uint64_t seed, std::int32_t n) { return gramOf(gaussian(seed, 2 * n, n)); }

// The held form's rounds (Schur complements through the factor of G, S
// updated or made anew) against a fresh factorisation of G_FF.
TEST(GramForms, HeldRoundsAgreeWithAFreshFactorisationOfTheFreeSet) {
  const std::int32_t n = 150;
  const Gram gr = definite(31, n);
  const gram::GramMatrix g = matrixOf(gr);
  tovrin::Team team(2);
  tovrin::dense::DenseWorkspace ws(2, n);
  std::vector<double> storage = gr.g;  // the held form factorises in place
  gram::HeldForm held(storage.data(), n, g.gnorm, team, ws);
  gram::FreeForm fresh(g, team, ws);
  ASSERT_TRUE(held.factorise());
  held.start(gr.c.data());
  std::mt19937_64 rng(5);
  std::vector<unsigned char> free(n, 1);
  std::vector<double> x(n), w(n), xf(n), wf(n), v(n), vf(n);
  // All free, most changing, then few; then only variables held (S's factor
  // bordered), then none changed.
  for (const int flips : {0, 60, 40, 3, 1, 2, -4, 0}) {
    for (int f = 0; f < flips; ++f) free[rng() % n] ^= 1;
    for (int f = 0; f < -flips;) {
      const std::size_t i = rng() % n;
      if (free[i]) free[i] = 0, ++f;
    }
    ASSERT_TRUE(held.prepare(free.data()));
    fresh.reset();
    ASSERT_TRUE(fresh.prepare(free.data()));
    held.trial(gr.c.data(), x.data(), w.data());
    fresh.trial(gr.c.data(), xf.data(), wf.data());
    for (std::int32_t i = 0; i < n; ++i) {
      EXPECT_NEAR(x[i], xf[i], 1e-11) << "x " << i << " after " << flips;
      if (!free[i]) {
        EXPECT_NEAR(w[i], wf[i], 1e-11) << "w " << i << " after " << flips;
      }
    }
    // The certificate's solves: G_FF^-1 v over the positions, pivots.
    const std::int32_t p = held.free_count();
    for (std::int32_t q = 0; q < p; ++q) v[q] = std::sin(double(held.free_set()[q]));
    for (std::int32_t q = 0; q < fresh.free_count(); ++q) vf[q] = std::sin(double(fresh.free_set()[q]));
    held.solve_free(v.data());
    fresh.solve_free(vf.data());
    for (std::int32_t q = 0; q < p; ++q) EXPECT_NEAR(v[q], vf[q], 1e-11) << q;
    for (std::int32_t i = 0; i < n; i += 7) {
      if (!free[i]) {
        EXPECT_NEAR(held.held_pivot_squared(i), fresh.held_pivot_squared(i), 1e-11);
      }
    }
  }
  // G whole again in its storage.
  held.restore();
  EXPECT_EQ(storage, gr.g);
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
    std::vector<double> l(std::size_t(ld) * (p + 1)), v(p + 1), coef(p + 1);
    for (double& e : l) e = u(rng);
    for (double& e : v) e = u(rng);
    for (double& e : coef) e = u(rng);
    std::vector<std::int32_t> cols(p);
    for (std::int32_t k = 0; k < p; ++k) cols[k] = (5 * k + 1) % p;

    std::vector<double> y = v, want = v;
    gram::subtract_columns(p, p, l.data(), ld, cols.data(), coef.data(), y.data());
    for (std::int32_t k = 0; k < p; ++k) gram::axpy(p, -coef[cols[k]], &l[cols[k] * ld], want.data());
    EXPECT_EQ(y, want) << "subtract_columns, p = " << p;

    std::vector<double> f = v, fw = v;
    gram::lower_solve(p, l.data(), ld, f.data());
    for (std::int32_t k = 0; k < p; ++k) {
      fw[k] = fw[k] / l[k * ld + k];
      gram::axpy(p - k - 1, -fw[k], &l[k * ld + k + 1], fw.data() + k + 1);
    }
    EXPECT_EQ(f, fw) << "lower_solve, p = " << p;

    std::vector<double> t = v, tw = v;
    gram::lower_solve_transposed(p, l.data(), ld, t.data());
    for (std::int32_t k = p - 1; k >= 0; --k) {
      tw[k] = (tw[k] - gram::dot(p - k - 1, &l[k * ld + k + 1], tw.data() + k + 1)) / l[k * ld + k];
    }
    EXPECT_EQ(t, tw) << "lower_solve_transposed, p = " << p;
  }
}

}  // namespace
