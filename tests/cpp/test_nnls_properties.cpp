// Properties of the returned point on seeded random problems of every shape:
// feasibility, the index sets, the optimality conditions checked against the
// original data, the residual norm, and bit-for-bit reproducibility.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "solver_testing.h"

namespace {

using tovrin_test::Outcome;
using tovrin_test::Problem;
using tovrin_test::sameBits;
using tovrin_test::sameOutcome;
using tovrin_test::solve;

constexpr int kProblems = 400;
constexpr std::int32_t kMaxDim = 12;
constexpr double kEps = std::numeric_limits<double>::epsilon();
// Householder QR with rotations is backward stable: the computed x solves a
// problem whose data differ from A and b by a few eps times their norms, with
// a factor growing mildly with m and n.  1e3 eps covers that factor for these
// sizes with room to spare, and is independent of the conditioning of A.
constexpr double kBackwardErrorFactor = 1e3 * kEps;

enum class Kind { General, RankDeficient, DuplicateColumns, ScaledColumns };

// Uniform doubles from the engine's raw output, whose sequence the standard
// fixes (the standard distributions may differ between libraries).
class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  double uniform(double lo, double hi) {
    return lo + (hi - lo) * static_cast<double>(engine_() >> 11) * 0x1.0p-53;
  }
  std::int32_t between(std::int32_t lo, std::int32_t hi) {
    return lo + static_cast<std::int32_t>(engine_() % static_cast<std::uint64_t>(hi - lo + 1));
  }

 private:
  std::mt19937_64 engine_;
};

Problem randomProblem(Random& rng, Kind kind) {
  Problem p{rng.between(1, kMaxDim), rng.between(1, kMaxDim), {}, {}};
  const std::int32_t m = p.m, n = p.n;
  p.a.resize(static_cast<std::size_t>(m) * n);
  if (kind == Kind::RankDeficient) {
    // A = L*R with inner dimension below min(m, n) (or 1).
    const std::int32_t k = std::max(1, std::min(m, n) - 1 - rng.between(0, 2));
    std::vector<double> l(m * k), r(k * n);
    for (double& v : l) v = rng.uniform(-1, 1);
    for (double& v : r) v = rng.uniform(-1, 1);
    for (std::int32_t j = 0; j < n; ++j) {
      for (std::int32_t i = 0; i < m; ++i) {
        double sum = 0;
        for (std::int32_t q = 0; q < k; ++q) sum += l[i + q * m] * r[q + j * k];
        p.a[i + j * m] = sum;
      }
    }
  } else {
    for (double& v : p.a) v = rng.uniform(-1, 1);
  }
  if (kind == Kind::DuplicateColumns && n > 1) {
    for (std::int32_t copies = rng.between(1, n - 1); copies > 0; --copies) {
      const std::int32_t from = rng.between(0, n - 1), to = rng.between(0, n - 1);
      for (std::int32_t i = 0; i < m; ++i) p.a[i + to * m] = p.a[i + from * m];
    }
  }
  if (kind == Kind::ScaledColumns) {
    for (std::int32_t j = 0; j < n; ++j) {
      const double scale = std::pow(10.0, rng.uniform(-3, 3));
      for (std::int32_t i = 0; i < m; ++i) p.a[i + j * m] *= scale;
    }
  }
  // Half the right-hand sides lie near the cone A*x, x >= 0, so that many
  // variables end up positive; the others are arbitrary.
  p.b.resize(m);
  if (rng.between(0, 1) == 0) {
    for (double& v : p.b) v = rng.uniform(-1, 1);
  } else {
    for (std::int32_t i = 0; i < m; ++i) p.b[i] = 1e-3 * rng.uniform(-1, 1);
    for (std::int32_t j = 0; j < n; ++j) {
      const double xj = rng.between(0, 2) == 0 ? 0.0 : rng.uniform(0, 2);
      for (std::int32_t i = 0; i < m; ++i) p.b[i] += p.a[i + j * m] * xj;
    }
  }
  return p;
}

double norm(const std::vector<double>& v) {
  long double sum = 0;
  for (double e : v) sum += static_cast<long double>(e) * e;
  return static_cast<double>(std::sqrt(sum));
}

// Checks one solution against the original data of p.
void checkOptimal(const Problem& p, const Outcome& r) {
  const std::int32_t m = p.m, n = p.n;
  ASSERT_EQ(r.mode, 1);
  EXPECT_EQ(r.console, "");

  // index is a permutation of 1..n; P is its prefix of positive variables.
  std::vector<int> seen(n + 1, 0);
  for (std::int32_t j : r.index) {
    ASSERT_TRUE(j >= 1 && j <= n);
    ++seen[j];
  }
  for (std::int32_t j = 1; j <= n; ++j) ASSERT_EQ(seen[j], 1);
  std::int32_t nsetp = 0;
  while (nsetp < n && r.x[r.index[nsetp] - 1] > 0) ++nsetp;
  EXPECT_LE(nsetp, std::min(m, n));

  // Residual and gradient A'(b - A x), accumulated in long double.
  std::vector<long double> res(p.b.begin(), p.b.end());
  for (std::int32_t j = 0; j < n; ++j) {
    for (std::int32_t i = 0; i < m; ++i) res[i] -= static_cast<long double>(p.a[i + j * m]) * r.x[j];
  }
  long double res_sq = 0;
  for (long double e : res) res_sq += e * e;

  const double norm_a = norm(p.a), norm_x = norm(r.x), norm_b = norm(p.b);
  const double data_scale = norm_a * norm_x + norm_b;
  const double grad_tol = kBackwardErrorFactor * norm_a * data_scale;

  for (std::int32_t pos = 0; pos < n; ++pos) {
    const std::int32_t j = r.index[pos] - 1;
    long double g = 0;
    for (std::int32_t i = 0; i < m; ++i) g += static_cast<long double>(p.a[i + j * m]) * res[i];
    const double grad = static_cast<double>(g);
    if (pos < nsetp) {
      EXPECT_TRUE(sameBits(r.w[j], 0.0)) << "w on P, variable " << j + 1;
      EXPECT_LE(std::fabs(grad), grad_tol) << "stationarity on P, variable " << j + 1;
    } else {
      EXPECT_TRUE(sameBits(r.x[j], 0.0)) << "x on Z, variable " << j + 1;
      EXPECT_LE(r.w[j], 0.0) << "w on Z, variable " << j + 1;
      EXPECT_LE(grad, grad_tol) << "gradient on Z, variable " << j + 1;
      // w is that gradient as computed on the transformed data, or 0 for a
      // candidate rejected in the last search.
      if (r.w[j] != 0) {
        EXPECT_LE(std::fabs(r.w[j] - grad), grad_tol) << "variable " << j + 1;
      }
    }
  }
  EXPECT_LE(std::fabs(r.rnorm - static_cast<double>(std::sqrt(res_sq))),
            kBackwardErrorFactor * data_scale);
}

TEST(NnlsProperties, RandomProblemsOfEveryShapeAreSolvedOptimally) {
  const Kind kinds[] = {Kind::General, Kind::RankDeficient, Kind::DuplicateColumns,
                        Kind::ScaledColumns};
  for (int seed = 1; seed <= kProblems; ++seed) {
    Random rng(static_cast<std::uint64_t>(seed));
    const Problem p = randomProblem(rng, kinds[seed % 4]);
    SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << p.m << "x" << p.n);
    const Outcome r = solve(p);
    checkOptimal(p, r);
    EXPECT_TRUE(sameOutcome(solve(p), r)) << "second run differs";
  }
}

}  // namespace
