// The dense kernels against plain loops in long double, on awkward sizes
// with leading dimensions above the rows, on every instruction-set path the
// processor runs; their bits across team sizes and, for products, across
// the number and place of the columns; and the team of threads itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/team.h"
#include "gram/dense.h"

namespace {

namespace dense = tovrin::dense;
using dense::Index;
using dense::Layout;
using dense::Op;
using dense::Path;
using tovrin::Team;

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// Error bounds below are this many times the inner dimension times eps,
// relative to the sums of magnitudes: rounding of one product and one sum
// per term, with room for the blocked order.
constexpr double slack = 4.0;
// Extra rows of every leading dimension, filled with NaN: a kernel that
// reads them spoils its result.
constexpr Index pad = 3;

struct Matrix {
  Index rows = 0, cols = 0, ld = 1;
  std::vector<double> v;
  Matrix(Index r, Index c, double fill = nan)
      : rows(r), cols(c), ld(r + pad), v(ld * std::max<Index>(c, 1), fill) {}
  double& operator()(Index i, Index j) { return v[i + j * ld]; }
  double operator()(Index i, Index j) const { return v[i + j * ld]; }
  double* data() { return v.data(); }
};

Matrix random_matrix(Index r, Index c, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Matrix m(r, c);
  for (Index j = 0; j < c; ++j)
    for (Index i = 0; i < r; ++i) m(i, j) = u(rng);
  return m;
}

// A well-conditioned symmetric positive definite matrix (lower triangle
// set, upper NaN): B B'/k + I.
Matrix spd_matrix(Index n, std::mt19937_64& rng) {
  const Matrix b = random_matrix(n, n, rng);
  Matrix a(n, n);
  for (Index j = 0; j < n; ++j)
    for (Index i = j; i < n; ++i) {
      long double s = 0;
      for (Index p = 0; p < n; ++p) s += (long double)b(i, p) * b(j, p);
      a(i, j) = double(s / n) + (i == j ? 1.0 : 0.0);
    }
  return a;
}

// A symmetric positive definite matrix made cheaply: random lower triangle,
// n on the diagonal (upper NaN).
Matrix dominant_matrix(Index n, std::mt19937_64& rng) {
  Matrix a = random_matrix(n, n, rng);
  for (Index j = 0; j < n; ++j) {
    for (Index i = 0; i < j; ++i) a(i, j) = nan;
    a(j, j) = double(n);
  }
  return a;
}

// A lower triangular matrix with a diagonal in [1, 2] (upper NaN).
Matrix lower_matrix(Index n, std::mt19937_64& rng) {
  Matrix l = random_matrix(n, n, rng);
  for (Index j = 0; j < n; ++j) {
    for (Index i = 0; i < j; ++i) l(i, j) = nan;
    l(j, j) = 1.5 + 0.5 * l(j, j);
    for (Index i = j + 1; i < n; ++i) l(i, j) /= std::sqrt(double(n));
  }
  return l;
}

double op_at(const Matrix& a, Op op, Index i, Index j) {
  return op == Op::none ? a(i, j) : a(j, i);
}

// Expects |got - want| <= slack * depth * eps * scale entry by entry.
void expect_near(const Matrix& got, const std::vector<long double>& want,
                 const std::vector<long double>& scale, Index depth, bool lower = false) {
  const Index m = got.rows, n = got.cols;
  int bad = 0;
  for (Index j = 0; j < n; ++j)
    for (Index i = lower ? j : 0; i < m; ++i) {
      const long double w = want[i + j * m];
      const long double bound = slack * (depth + 1) * eps * scale[i + j * m];
      if (!(std::fabs((long double)got(i, j) - w) <= bound) && bad++ < 5)
        ADD_FAILURE() << "entry (" << i << ", " << j << "): " << got(i, j) << " against "
                      << (double)w;
    }
}

struct Reference {
  std::vector<long double> value, scale;
};

// beta C + alpha op(A) op(B) and its magnitude |beta C| + |alpha| |A||B|.
Reference product_reference(Op opa, Op opb, Index m, Index n, Index k, double alpha,
                            const Matrix& a, const Matrix& b, double beta, const Matrix& c) {
  Reference r{std::vector<long double>(m * n), std::vector<long double>(m * n)};
  for (Index j = 0; j < n; ++j)
    for (Index i = 0; i < m; ++i) {
      long double s = 0, t = 0;
      for (Index p = 0; p < k; ++p) {
        const long double x = (long double)op_at(a, opa, i, p) * op_at(b, opb, p, j);
        s += x;
        t += std::fabs(x);
      }
      const long double old = beta == 0.0 ? 0.0L : (long double)beta * c(i, j);
      r.value[i + j * m] = alpha * s + old;
      r.scale[i + j * m] = std::fabs(alpha) * t + std::fabs(old);
    }
  return r;
}

bool same_bits(const Matrix& x, const Matrix& y) {
  if (x.rows != y.rows || x.cols != y.cols) return false;
  for (Index j = 0; j < x.cols; ++j)
    for (Index i = 0; i < x.rows; ++i)
      if (std::memcmp(&x.v[i + j * x.ld], &y.v[i + j * y.ld], sizeof(double)) != 0) return false;
  return true;
}

// --- Every path against plain loops ------------------------------------------

class DensePath : public ::testing::TestWithParam<Path> {
 protected:
  void SetUp() override {
    if (!dense::use_path(GetParam()))
      GTEST_SKIP() << "this processor does not run the " << dense::path_name(GetParam())
                   << " path";
  }
  void TearDown() override {
    for (Path p : {Path::avx512, Path::avx2, Path::portable})
      if (dense::use_path(p)) break;
  }
  std::mt19937_64 rng{20240611};
};

struct Shape {
  Index m, n, k;
};
// Edges of every tile size, several depth blocks (k > 256), one element.
const Shape shapes[] = {{1, 1, 1},   {7, 9, 8},     {9, 7, 63},    {63, 129, 9},
                        {129, 63, 129}, {8, 8, 300}, {300, 17, 600}, {25, 40, 257}};

TEST_P(DensePath, GemmMatchesLoopsForEveryTransposeAndScaling) {
  Team team(2);
  dense::DenseWorkspace ws(2, 0);
  for (const Shape& s : shapes)
    for (Op opa : {Op::none, Op::transpose})
      for (Op opb : {Op::none, Op::transpose})
        for (double beta : {0.0, 1.0, -0.5}) {
          const Matrix a =
              opa == Op::none ? random_matrix(s.m, s.k, rng) : random_matrix(s.k, s.m, rng);
          const Matrix b =
              opb == Op::none ? random_matrix(s.k, s.n, rng) : random_matrix(s.n, s.k, rng);
          Matrix c = random_matrix(s.m, s.n, rng);
          if (beta == 0.0) std::fill(c.v.begin(), c.v.end(), nan);
          const Reference r = product_reference(opa, opb, s.m, s.n, s.k, 1.5, a, b, beta, c);
          dense::gemm(team, ws, opa, opb, s.m, s.n, s.k, 1.5, a.v.data(), a.ld, b.v.data(), b.ld,
                      beta, c.data(), c.ld);
          SCOPED_TRACE(std::to_string(s.m) + "x" + std::to_string(s.n) + "x" + std::to_string(s.k));
          expect_near(c, r.value, r.scale, s.k);
        }
}

TEST_P(DensePath, SyrkWritesTheLowerTriangleOnly) {
  Team team(2);
  dense::DenseWorkspace ws(2, 0);
  for (const Shape& s : shapes)
    for (Op op : {Op::none, Op::transpose}) {
      const Matrix a = op == Op::none ? random_matrix(s.m, s.k, rng) : random_matrix(s.k, s.m, rng);
      Matrix c = random_matrix(s.m, s.m, rng);
      for (Index j = 0; j < s.m; ++j)
        for (Index i = 0; i < j; ++i) c(i, j) = nan;
      const Op other = op == Op::none ? Op::transpose : Op::none;
      const Reference r = product_reference(op, other, s.m, s.m, s.k, -1.0, a, a, 1.0, c);
      dense::syrk(team, ws, op, s.m, s.k, -1.0, a.v.data(), a.ld, 1.0, c.data(), c.ld);
      expect_near(c, r.value, r.scale, s.k, true);
      for (Index j = 0; j < s.m; ++j)
        for (Index i = 0; i < j; ++i) ASSERT_TRUE(std::isnan(c(i, j))) << i << ", " << j;
    }
}

TEST_P(DensePath, GramAndCrossProductsInBothLayouts) {
  Team team(2);
  dense::DenseWorkspace ws(2, 0);
  for (const Shape& s : shapes) {
    // X is m x n data; as stored by rows it is the column-major n x m X'.
    const Matrix x = random_matrix(s.k, s.m, rng);
    Matrix xt(s.m, s.k);
    for (Index p = 0; p < s.k; ++p)
      for (Index i = 0; i < s.m; ++i) xt(i, p) = x(p, i);
    const Matrix b = random_matrix(s.k, s.n, rng);
    Matrix bt(s.n, s.k);
    for (Index p = 0; p < s.k; ++p)
      for (Index j = 0; j < s.n; ++j) bt(j, p) = b(p, j);
    const Matrix none(s.m, s.n, 0.0);
    const Reference g =
        product_reference(Op::transpose, Op::none, s.m, s.m, s.k, 1.0, x, x, 0.0, none);
    const Reference cr =
        product_reference(Op::transpose, Op::none, s.m, s.n, s.k, 1.0, x, b, 0.0, none);
    for (Layout xl : {Layout::columns, Layout::rows}) {
      const Matrix& xs = xl == Layout::columns ? x : xt;
      Matrix gram(s.m, s.m);
      dense::gram(team, ws, xl, s.k, s.m, xs.v.data(), xs.ld, gram.data(), gram.ld);
      expect_near(gram, g.value, g.scale, s.k);
      for (Index j = 0; j < s.m; ++j)
        for (Index i = 0; i < j; ++i) ASSERT_EQ(gram(i, j), gram(j, i));
      for (Layout bl : {Layout::columns, Layout::rows}) {
        const Matrix& bs = bl == Layout::columns ? b : bt;
        Matrix c(s.m, s.n);
        dense::cross(team, ws, xl, s.k, s.m, xs.v.data(), xs.ld, bl, s.n, bs.v.data(), bs.ld,
                     c.data(), c.ld);
        expect_near(c, cr.value, cr.scale, s.k);
      }
    }
  }
}

// L L' against A, entry by entry, relative to the sums of |l_ip l_jp|.
void expect_factor_of(const Matrix& l, const Matrix& a, Index n) {
  std::vector<long double> value(n * n), scale(n * n);
  for (Index j = 0; j < n; ++j)
    for (Index i = j; i < n; ++i) {
      long double s = 0, t = 0;
      for (Index p = 0; p <= j; ++p) {
        s += (long double)l(i, p) * l(j, p);
        t += std::fabs((long double)l(i, p) * l(j, p));
      }
      value[i + j * n] = s;
      scale[i + j * n] = t;
    }
  Matrix sym(n, n);
  for (Index j = 0; j < n; ++j)
    for (Index i = j; i < n; ++i) sym(i, j) = a(i, j);
  expect_near(sym, value, scale, n, true);
}

TEST_P(DensePath, CholeskyReconstructsTheMatrix) {
  Team team(2);
  for (Index n : {1, 7, 8, 9, 63, 129, 250, 400}) {
    dense::DenseWorkspace ws(2, n);
    const Matrix a = spd_matrix(n, rng);
    Matrix l = a;
    ASSERT_EQ(dense::cholesky(team, ws, n, l.data(), l.ld, 1e-12), n);
    for (Index j = 0; j < n; ++j)
      for (Index i = 0; i < j; ++i) ASSERT_TRUE(std::isnan(l(i, j)));
    SCOPED_TRACE("n = " + std::to_string(n));
    expect_factor_of(l, a, n);
  }
}

// Column t of A made a combination of the columns before it (or negative on
// the diagonal): the factorisation stops there, columns before it factored.
TEST_P(DensePath, CholeskyStopsAtTheFirstFailingPivot) {
  Team team(2);
  // 192: the first column of the second block of the factorisation.
  for (Index n : {9, 129, 300})
    for (Index t : {Index(0), n / 3, std::min<Index>(192, n - 1), n - 1}) {
      dense::DenseWorkspace ws(2, n);
      Matrix b = random_matrix(n, n, rng);
      if (t > 0)
        for (Index i = 0; i < n; ++i) b(i, t) = 0.5 * b(i, t - 1) - 0.25 * b(i, 0);
      Matrix a(n, n);
      for (Index j = 0; j < n; ++j)
        for (Index i = j; i < n; ++i) {
          long double s = 0;
          for (Index p = 0; p < n; ++p) s += (long double)b(p, i) * b(p, j);
          a(i, j) = double(s);
        }
      if (t == 0) a(0, 0) = -1.0;
      Matrix l = a;
      ASSERT_EQ(dense::cholesky(team, ws, n, l.data(), l.ld, 1e-10), t) << "n = " << n;
      if (t == 0) continue;
      // Columns < t: their rows below, too, hold L.
      Matrix lt(n, t);
      Matrix at(n, t);
      for (Index j = 0; j < t; ++j)
        for (Index i = j; i < n; ++i) {
          lt(i, j) = l(i, j);
          at(i, j) = a(i, j);
        }
      std::vector<long double> value(n * t), scale(n * t);
      for (Index j = 0; j < t; ++j)
        for (Index i = j; i < n; ++i) {
          long double s = 0, u = 0;
          for (Index p = 0; p <= j; ++p) {
            s += (long double)lt(i, p) * lt(j, p);
            u += std::fabs((long double)lt(i, p) * lt(j, p));
          }
          value[i + j * n] = s;
          scale[i + j * n] = u;
        }
      expect_near(at, value, scale, n, true);
    }
}

TEST_P(DensePath, CholeskyRefusesNaNAndSmallRelativePivots) {
  Team team(1);
  dense::DenseWorkspace ws(1, 2);
  Matrix a(2, 2);
  a(0, 0) = 4.0;
  a(1, 0) = 2.0;
  a(1, 1) = 1.0 + 1e-9;  // pivot^2 1e-9 against a_11 = 1
  Matrix l = a;
  EXPECT_EQ(dense::cholesky(team, ws, 2, l.data(), l.ld, 1e-8), 1);
  EXPECT_EQ(l(0, 0), 2.0);
  EXPECT_EQ(l(1, 0), 1.0);
  l = a;
  EXPECT_EQ(dense::cholesky(team, ws, 2, l.data(), l.ld, 1e-10), 2);
  l = a;
  l(1, 1) = nan;
  EXPECT_EQ(dense::cholesky(team, ws, 2, l.data(), l.ld, 0.0), 1);
}

// L^-1 B: the residual L X - B, entry by entry, relative to |L||X| + |B|.
void expect_solution(Op op, const Matrix& l, const Matrix& x, const Matrix& b, Index n, Index k) {
  std::vector<long double> residual(n * k, 0.0L), scale(n * k);
  for (Index j = 0; j < k; ++j)
    for (Index i = 0; i < n; ++i) {
      long double s = 0, t = 0;
      for (Index p = 0; p < n; ++p) {
        const double lip = op == Op::none ? (p <= i ? l(i, p) : 0.0) : (p >= i ? l(p, i) : 0.0);
        s += (long double)lip * x(p, j);
        t += std::fabs((long double)lip * x(p, j));
      }
      scale[i + j * n] = t + std::fabs((long double)b(i, j));
      residual[i + j * n] = s - b(i, j);
    }
  Matrix zero(n, k, 0.0);
  expect_near(zero, residual, scale, n);
}

TEST_P(DensePath, SolvesWithManyRightHandSides) {
  Team team(2);
  for (Index n : {1, 7, 9, 63, 129, 200, 450})
    for (Index k : {1, 9, 130}) {
      dense::DenseWorkspace ws(2, n);
      const Matrix l = lower_matrix(n, rng);
      const Matrix b = random_matrix(n, k, rng);
      for (Op op : {Op::none, Op::transpose}) {
        Matrix x = b;
        dense::solve_lower(team, ws, op, n, k, l.v.data(), l.ld, x.data(), x.ld);
        SCOPED_TRACE("n = " + std::to_string(n) + ", k = " + std::to_string(k));
        expect_solution(op, l, x, b, n, k);
      }
    }
}

// Columns zero above first[j], in increasing and in mixed order: the same
// result as the full solve, zeros kept.
TEST_P(DensePath, StaircaseSolveMatchesTheFullOne) {
  Team team(2);
  for (Index n : {9, 129, 450}) {
    dense::DenseWorkspace ws(2, n);
    const Matrix l = lower_matrix(n, rng);
    const Index k = 40;
    std::vector<Index> first(k);
    for (Index j = 0; j < k; ++j) first[j] = j * n / k;
    std::swap(first[3], first[30]);
    Matrix b = random_matrix(n, k, rng);
    for (Index j = 0; j < k; ++j)
      for (Index i = 0; i < first[j]; ++i) b(i, j) = 0.0;
    Matrix full = b, stair = b;
    dense::solve_lower(team, ws, Op::none, n, k, l.v.data(), l.ld, full.data(), full.ld);
    dense::solve_lower_staircase(team, ws, n, k, l.v.data(), l.ld, stair.data(), stair.ld,
                                 first.data());
    expect_solution(Op::none, l, stair, b, n, k);
    for (Index j = 0; j < k; ++j)
      for (Index i = 0; i < n; ++i) {
        if (i < first[j]) {
          ASSERT_EQ(stair(i, j), 0.0);
        }
        ASSERT_EQ(stair(i, j), full(i, j)) << i << ", " << j;
      }
  }
}

TEST_P(DensePath, VectorKernelsMatchLoops) {
  Team team(2);
  for (Index m : {1, 7, 9, 63, 129, 700})
    for (Index n : {1, 8, 129, 600}) {
      const Matrix a = random_matrix(m, n, rng);
      for (Op op : {Op::none, Op::transpose}) {
        const Index rows = op == Op::none ? m : n, cols = op == Op::none ? n : m;
        const Matrix x = random_matrix(cols, 1, rng);
        Matrix y = random_matrix(rows, 1, rng);
        const Reference r = product_reference(op, Op::none, rows, 1, cols, -2.0, a, x, 0.5, y);
        dense::gemv(team, op, m, n, -2.0, a.v.data(), a.ld, x.v.data(), 0.5, y.data());
        expect_near(y, r.value, r.scale, cols);
      }
    }
  for (Index n : {1, 9, 255, 257, 700}) {
    const Matrix l = lower_matrix(n, rng);
    const Matrix b = random_matrix(n, 1, rng);
    for (Op op : {Op::none, Op::transpose}) {
      Matrix x = b;
      dense::solve_lower_vector(team, op, n, l.v.data(), l.ld, x.data());
      expect_solution(op, l, x, b, n, 1);
    }
  }
}

// --- Bits on every path -----------------------------------------------------------

// Runs body(team, ws) for teams of 1, 2 and 3 and expects the same bits.
// The helpers are started first, so that the kernels share these modest
// sizes as they would once a call's first large kernel has started them.
template <class Body>
void expect_same_bits_for_team_sizes(Index order, const Body& body) {
  Matrix first(0, 0);
  for (int size : {1, 2, 3}) {
    Team team(size);
    team.run(size, [](int, Index) {});
    dense::DenseWorkspace ws(size, order);
    const Matrix got = body(team, ws);
    if (size == 1) first = got;
    else EXPECT_TRUE(same_bits(first, got)) << "team of " << size;
  }
}

TEST_P(DensePath, EveryKernelGivesTheSameBitsForEveryTeamSize) {
  std::mt19937_64 rng(7);
  const Matrix a = random_matrix(331, 297, rng), b = random_matrix(331, 450, rng);
  expect_same_bits_for_team_sizes(0, [&](Team& t, dense::DenseWorkspace& ws) {
    Matrix c(297, 450);
    dense::gemm(t, ws, Op::transpose, Op::none, 297, 450, 331, 1.0, a.v.data(), a.ld, b.v.data(),
                b.ld, 0.0, c.data(), c.ld);
    return c;
  });
  expect_same_bits_for_team_sizes(0, [&](Team& t, dense::DenseWorkspace& ws) {
    Matrix g(297, 297);
    dense::gram(t, ws, Layout::columns, 331, 297, a.v.data(), a.ld, g.data(), g.ld);
    return g;
  });
  const Index n = 420;
  const Matrix spd = spd_matrix(n, rng), l = lower_matrix(n, rng), rhs = random_matrix(n, 300, rng);
  expect_same_bits_for_team_sizes(n, [&](Team& t, dense::DenseWorkspace& ws) {
    Matrix f = spd;
    EXPECT_EQ(dense::cholesky(t, ws, n, f.data(), f.ld, 0.0), n);
    return f;
  });
  for (Op op : {Op::none, Op::transpose})
    expect_same_bits_for_team_sizes(n, [&](Team& t, dense::DenseWorkspace& ws) {
      Matrix x = rhs;
      dense::solve_lower(t, ws, op, n, 300, l.v.data(), l.ld, x.data(), x.ld);
      return x;
    });
  // The vector kernels share only larger matrices.
  const Index big = 1300;
  const Matrix g = random_matrix(big, big, rng), lg = lower_matrix(big, rng);
  const Matrix v = random_matrix(big, 1, rng);
  for (Op op : {Op::none, Op::transpose}) {
    expect_same_bits_for_team_sizes(0, [&](Team& t, dense::DenseWorkspace&) {
      Matrix y(big, 1, 0.0);
      dense::gemv(t, op, big, big, 1.0, g.v.data(), g.ld, v.v.data(), 0.0, y.data());
      return y;
    });
    expect_same_bits_for_team_sizes(0, [&](Team& t, dense::DenseWorkspace&) {
      Matrix x = v;
      dense::solve_lower_vector(t, op, big, lg.v.data(), lg.ld, x.data());
      return x;
    });
  }
}

// Column j of X'B computed among k columns, alone, and in a slice starting
// elsewhere: the same bits.  k exceeds a workspace panel's width.
TEST_P(DensePath, AColumnOfAProductIgnoresTheOtherColumns) {
  std::mt19937_64 rng(11);
  const Index m = 300, n = 21, k = 1700;
  const Matrix x = random_matrix(m, n, rng), b = random_matrix(m, k, rng);
  Team team(2);
  dense::DenseWorkspace ws(2, 0);
  Matrix all(n, k);
  dense::cross(team, ws, Layout::columns, m, n, x.v.data(), x.ld, Layout::columns, k, b.v.data(),
               b.ld, all.data(), all.ld);
  for (Index j0 : {Index(0), Index(5), Index(1001)})
    for (Index count : {Index(1), Index(3), Index(13), Index(600)}) {
      if (j0 + count > k) continue;
      Matrix part(n, count);
      dense::cross(team, ws, Layout::columns, m, n, x.v.data(), x.ld, Layout::columns, count,
                   b.v.data() + j0 * b.ld, b.ld, part.data(), part.ld);
      for (Index j = 0; j < count; ++j)
        for (Index i = 0; i < n; ++i)
          ASSERT_EQ(std::memcmp(&part(i, j), &all(i, j0 + j), sizeof(double)), 0)
              << "column " << j0 + j << " among " << count;
      Matrix g(n, count, 0.0);
      dense::gemm(team, ws, Op::transpose, Op::none, n, count, m, 1.0, x.v.data(), x.ld,
                  b.v.data() + j0 * b.ld, b.ld, 0.0, g.data(), g.ld);
      for (Index j = 0; j < count; ++j)
        for (Index i = 0; i < n; ++i)
          ASSERT_EQ(std::memcmp(&g(i, j), &all(i, j0 + j), sizeof(double)), 0);
    }
}

// A cancelled team: products return before writing, and a factorisation
// led by run_leading stops when the poll refuses.
TEST_P(DensePath, KernelsOfACancelledTeamReturnEarly) {
  std::mt19937_64 rng(5);
  const Matrix a = random_matrix(300, 300, rng);
  Team cancelled(2);
  cancelled.cancel();
  dense::DenseWorkspace ws(2, 900);
  Matrix c(300, 300);
  dense::gemm(cancelled, ws, Op::none, Op::none, 300, 300, 300, 1.0, a.v.data(), a.ld, a.v.data(),
              a.ld, 0.0, c.data(), c.ld);
  for (Index j = 0; j < 300; ++j)
    for (Index i = 0; i < 300; ++i) ASSERT_TRUE(std::isnan(c(i, j)));

  Team team(2);
  Matrix f = dominant_matrix(900, rng);
  const bool completed = team.run_leading(
      [&] { dense::cholesky(team, ws, 900, f.data(), f.ld, 0.0); }, [] { return false; },
      std::chrono::milliseconds(1));
  EXPECT_FALSE(completed);
  EXPECT_TRUE(team.cancelled());
}

INSTANTIATE_TEST_SUITE_P(Paths, DensePath,
                         ::testing::Values(Path::portable, Path::avx2, Path::avx512),
                         [](const ::testing::TestParamInfo<Path>& info) {
                           return std::string(dense::path_name(info.param));
                         });

TEST(DenseArguments, TooSmallWorkspaceOrBadSizesAreRefused) {
  Team team(2);
  dense::DenseWorkspace small(1, 10);
  std::vector<double> a(400, 1.0);
  EXPECT_THROW(dense::cholesky(team, small, 10, a.data(), 10, 0.0), std::invalid_argument);
  dense::DenseWorkspace ws(2, 10);
  EXPECT_THROW(dense::cholesky(team, ws, 11, a.data(), 11, 0.0), std::invalid_argument);
  EXPECT_THROW(dense::gemm(team, ws, Op::none, Op::none, 5, 5, 5, 1.0, a.data(), 4, a.data(), 5,
                           0.0, a.data(), 5),
               std::invalid_argument);
  EXPECT_THROW(Team(0), std::invalid_argument);
}

// --- The team -------------------------------------------------------------------

TEST(Team, EveryItemRunsOnceOnEveryRegion) {
  for (int size : {1, 2, 5}) {
    Team team(size);
    for (int region = 0; region < 50; ++region) {
      std::vector<std::atomic<int>> runs(97);
      std::atomic<int> bad_worker{0};
      EXPECT_TRUE(team.run(97, [&](int worker, Index item) {
        if (worker < 0 || worker >= size) ++bad_worker;
        ++runs[item];
      }));
      for (const auto& r : runs) ASSERT_EQ(r.load(), 1);
      EXPECT_EQ(bad_worker.load(), 0);
    }
  }
}

TEST(Team, CancellationStopsARegionAndLaterOnes) {
  Team team(3);
  std::atomic<int> ran{0};
  EXPECT_FALSE(team.run(100000, [&](int, Index item) {
    ++ran;
    if (item == 10) team.cancel();
  }));
  EXPECT_TRUE(team.cancelled());
  EXPECT_LT(ran.load(), 100000);
  const int before = ran.load();
  EXPECT_FALSE(team.run(10, [&](int, Index) { ++ran; }));
  EXPECT_EQ(ran.load(), before);
}

TEST(Team, AnExceptionInARegionReachesTheCallerAndTheTeamGoesOn) {
  Team team(2);
  EXPECT_THROW(team.run(1000, [](int, Index item) {
    if (item == 500) throw std::runtime_error("item 500");
  }),
               std::runtime_error);
  std::atomic<int> ran{0};
  EXPECT_TRUE(team.run(10, [&](int, Index) { ++ran; }));
  EXPECT_EQ(ran.load(), 10);
}

// The leader's regions stop when the poll refuses; the call returns false
// once the leader has returned.
TEST(Team, RunLeadingCancelsWhenThePollRefuses) {
  using std::chrono::milliseconds;
  Team team(2);
  std::atomic<int> polls{0};
  std::atomic<int> regions{0};
  const bool completed = team.run_leading(
      [&] {
        while (!team.cancelled()) {
          team.run(4, [](int, Index) { std::this_thread::sleep_for(milliseconds(1)); });
          ++regions;
        }
      },
      [&] { return ++polls < 3; }, milliseconds(2));
  EXPECT_FALSE(completed);
  EXPECT_EQ(polls.load(), 3);
  EXPECT_GT(regions.load(), 0);

  Team calm(2);
  int sum = 0;
  EXPECT_TRUE(calm.run_leading([&] { calm.run(3, [&](int, Index) {}); sum = 1; },
                               [] { return true; }, milliseconds(1)));
  EXPECT_EQ(sum, 1);
}

TEST(Team, RunLeadingRethrowsFromTheLeaderAndFromItsRegions) {
  using std::chrono::milliseconds;
  Team team(2);
  EXPECT_THROW(team.run_leading([] { throw std::logic_error("leader"); }, [] { return true; },
                                milliseconds(1)),
               std::logic_error);
  EXPECT_THROW(team.run_leading(
                   [&] {
                     team.run(8, [](int, Index i) {
                       if (i == 3) throw std::range_error("3");
                     });
                   },
                   [] { return true; }, milliseconds(1)),
               std::range_error);
}

}  // namespace
