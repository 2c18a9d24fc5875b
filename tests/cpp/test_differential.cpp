// The optimised core must agree bit for bit with the plain reference core
// (tests/reference) on every output: x, rnorm, mode, w, zz, index, all of a
// (rows m+1..mda included) and b, and the console line.  Inputs are seeded
// random problems of every shape with the degenerate features that steer the
// active-set method into its rarer branches: ties, dependent and zero
// columns, NaN and infinity, extreme scales and tiny iteration limits.  Each
// problem runs through the by-reference entry and through solve_nnls with
// the look-ahead's work space, whatever its size.
//
// The kernels are those of the process (kernels.h): CTest runs these tests
// once per path, forced through TOVRIN_EXACT_KERNELS for problems of every
// size, and a path that this processor lacks is skipped with the reason.
#include <gtest/gtest.h>

#include <cstdlib>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kernels.h"
#include "nnls.h"
#include "nnls_reference.h"
#include "solve.h"

namespace {

using std::int32_t;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
// Fills storage the solver must not read or write, so that any touch shows.
constexpr double untouched = -7.25e33;
// Initial contents of the outputs the solver ignores on entry; both cores
// see the same, so that an output left unwritten compares equal too.
constexpr double stale = 3.0517578125e-5;
constexpr int32_t stale_index = -99;

// Same value bit for bit, so that -0 differs from +0, except that any two
// NaNs count as the same: which operand's NaN an operation propagates is left
// to the hardware and to the compiler's order of commutative operands, and
// differs between optimisation levels of the same source.
bool same_element(double p, double q) {
  if (std::isnan(p) && std::isnan(q)) return true;
  return std::memcmp(&p, &q, sizeof p) == 0;
}
bool same_element(int32_t p, int32_t q) { return p == q; }

template <typename T>
bool same_bits(const std::vector<T>& p, const std::vector<T>& q) {
  if (p.size() != q.size()) return false;
  for (size_t k = 0; k < p.size(); ++k) {
    if (!same_element(p[k], q[k])) return false;
  }
  return true;
}
bool same_bits(double p, double q) { return same_element(p, q); }

// First position at which two arrays differ, for the failure message.
template <typename T>
std::string first_difference(const std::vector<T>& p, const std::vector<T>& q) {
  for (size_t k = 0; k < p.size() && k < q.size(); ++k) {
    if (!same_element(p[k], q[k])) {
      std::ostringstream text;
      text << "at " << k << ": " << std::hexfloat << p[k] << " vs " << q[k];
      return text.str();
    }
  }
  return "in size";
}

struct Problem {
  int32_t m = 0;
  int32_t n = 0;
  int32_t mda = 0;
  int32_t maxiter = 0;
  std::vector<double> a;
  std::vector<double> b;
};

struct Outcome {
  std::vector<double> a, b, x, w, zz;
  std::vector<int32_t> index;
  double rnorm = stale;
  int32_t mode = stale_index;
  std::string console;
};

using Solver = void (*)(double*, const int32_t*, const int32_t*,
                        const int32_t*, double*, double*, double*, double*,
                        double*, int32_t*, int32_t*, const int32_t*);

// The outputs before a call: copies of a and b, everything else stale.
Outcome fresh(const Problem& p) {
  Outcome o;
  o.a = p.a;
  o.b = p.b;
  o.x.assign(p.n, stale);
  o.w.assign(p.n, stale);
  o.zz.assign(p.m, stale);
  o.index.assign(p.n, stale_index);
  return o;
}

Outcome solve(Solver solver, const Problem& p) {
  Outcome o = fresh(p);
  const bool may_print = p.maxiter >= 1;
  if (may_print) testing::internal::CaptureStdout();
  solver(o.a.data(), &p.mda, &p.m, &p.n, o.b.data(), o.x.data(), &o.rnorm,
         o.w.data(), o.zz.data(), o.index.data(), &o.mode, &p.maxiter);
  if (may_print) o.console = testing::internal::GetCapturedStdout();
  return o;
}

// solve_nnls with the look-ahead's work space, as the batch solver calls it;
// it never prints.
Outcome solve_ahead(const Problem& p) {
  Outcome o = fresh(p);
  std::vector<double> lookahead(tovrin::lookahead_size(p.n), stale);
  o.mode = tovrin::solve_nnls(o.a.data(), p.mda, p.m, p.n, o.b.data(), o.x.data(),
                              &o.rnorm, o.w.data(), o.zz.data(), o.index.data(),
                              p.maxiter, nullptr, lookahead.data())
               .mode;
  return o;
}

void expect_same_outputs(const Outcome& opt, const Outcome& ref,
                         const std::string& where) {
  EXPECT_EQ(opt.mode, ref.mode) << where;
  EXPECT_TRUE(same_bits(opt.rnorm, ref.rnorm)) << where;
  EXPECT_TRUE(same_bits(opt.x, ref.x)) << where << " x " << first_difference(opt.x, ref.x);
  EXPECT_TRUE(same_bits(opt.w, ref.w)) << where << " w " << first_difference(opt.w, ref.w);
  EXPECT_TRUE(same_bits(opt.zz, ref.zz)) << where << " zz " << first_difference(opt.zz, ref.zz);
  EXPECT_TRUE(same_bits(opt.index, ref.index)) << where << " index";
  EXPECT_TRUE(same_bits(opt.a, ref.a)) << where << " a " << first_difference(opt.a, ref.a);
  EXPECT_TRUE(same_bits(opt.b, ref.b)) << where << " b " << first_difference(opt.b, ref.b);
}

void expect_same(const Problem& p, const std::string& what) {
  const Outcome ref = solve(&reference::nnls, p);
  const Outcome opt = solve(&nnls, p);
  const std::string where = what + " m=" + std::to_string(p.m) +
                            " n=" + std::to_string(p.n) +
                            " mda=" + std::to_string(p.mda) +
                            " maxiter=" + std::to_string(p.maxiter);
  expect_same_outputs(opt, ref, where);
  EXPECT_EQ(opt.console, ref.console) << where;
  expect_same_outputs(solve_ahead(p), ref, where + " (look-ahead)");
}

// The kernels this process runs: the path named by TOVRIN_EXACT_KERNELS
// (CTest runs the suite once per path), requested before the first test; a
// forced path the processor lacks skips every test.
class Differential : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { tovrin::request_kernel_path(std::getenv("TOVRIN_EXACT_KERNELS")); }

  void SetUp() override {
    const tovrin::KernelChoice& choice = tovrin::kernel_choice();
    if (choice.refusal != nullptr) {
      GTEST_SKIP() << "TOVRIN_EXACT_KERNELS" << "=" << choice.requested << ": "
                   << choice.refusal;
    }
    if (choice.requested != nullptr) {
      ASSERT_STREQ(tovrin::kernel_path_name(choice.path), choice.requested);
      ASSERT_EQ(tovrin::kernel_path_for(1, 1), choice.path);  // every size
    }
  }
};

// Seeded source of problem data.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : rng_(seed) {}

  double gaussian() { return normal_(rng_); }
  double uniform() { return unit_(rng_); }
  int32_t pick(int32_t lo, int32_t hi) {
    return std::uniform_int_distribution<int32_t>(lo, hi)(rng_);
  }
  bool chance(double p) { return uniform() < p; }

  // A value drawn from the inputs that reach the rare branches: exact
  // zeros of both signs, small integers (ties and exact cancellation),
  // extreme magnitudes and non-finite values.
  double special() {
    switch (pick(0, 9)) {
      case 0: return 0.0;
      case 1: return -0.0;
      case 2: return static_cast<double>(pick(-3, 3));
      case 3: return 1e-200 * gaussian();
      case 4: return 1e200 * gaussian();
      case 5: return inf;
      case 6: return -inf;
      case 7: return nan_value;
      case 8: return std::ldexp(1.0, pick(-1074, 1023));
      default: return gaussian();
    }
  }

 private:
  std::mt19937_64 rng_;
  std::normal_distribution<double> normal_{0.0, 1.0};
  std::uniform_real_distribution<double> unit_{0.0, 1.0};
};

// Features mixed into a random problem.
struct Features {
  bool integers = false;     // small integer entries: ties, exact zeros
  bool duplicates = false;   // repeated columns: equal w, dependent columns
  bool dependent = false;    // a column that is the sum of two others
  bool zero_columns = false;
  bool specials = false;     // NaN, infinity, extreme scales, signed zeros
  bool consistent = true;    // b = A*x_true + noise with x_true >= 0
};

Problem make_problem(Generator& g, int32_t m, int32_t n, const Features& f) {
  Problem p;
  p.m = m;
  p.n = n;
  p.mda = m + (g.chance(0.5) ? g.pick(1, 3) : 0);
  const int32_t limits[] = {0, 0, 0, -1, 1, 2, 3};
  p.maxiter = limits[g.pick(0, 6)];
  p.a.assign(static_cast<size_t>(p.mda) * n, untouched);
  auto at = [&p](int32_t i, int32_t j) -> double& {
    return p.a[static_cast<size_t>(i) + static_cast<size_t>(j) * p.mda];
  };
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = 0; i < m; ++i) {
      at(i, j) = f.integers ? static_cast<double>(g.pick(-3, 3)) : g.gaussian();
    }
  }
  if (f.duplicates && n >= 2) {
    for (int32_t k = g.pick(1, n / 2 + 1); k > 0; --k) {
      const int32_t from = g.pick(0, n - 1);
      const int32_t to = g.pick(0, n - 1);
      for (int32_t i = 0; i < m; ++i) at(i, to) = at(i, from);
    }
  }
  if (f.dependent && n >= 3) {
    const int32_t p1 = g.pick(0, n - 1);
    const int32_t p2 = g.pick(0, n - 1);
    const int32_t q = g.pick(0, n - 1);
    if (q != p1 && q != p2) {
      for (int32_t i = 0; i < m; ++i) at(i, q) = at(i, p1) + at(i, p2);
    }
  }
  if (f.zero_columns) {
    for (int32_t k = g.pick(1, n / 3 + 1); k > 0; --k) {
      const int32_t j = g.pick(0, n - 1);
      for (int32_t i = 0; i < m; ++i) at(i, j) = g.chance(0.5) ? 0.0 : -0.0;
    }
  }
  p.b.assign(m, 0.0);
  if (f.consistent) {
    for (int32_t j = 0; j < n; ++j) {
      const double xj = g.chance(0.4) ? 0.0 : std::fabs(g.gaussian());
      for (int32_t i = 0; i < m; ++i) p.b[i] = p.b[i] + at(i, j) * xj;
    }
    for (int32_t i = 0; i < m; ++i) p.b[i] = p.b[i] + 0.01 * g.gaussian();
  } else {
    for (int32_t i = 0; i < m; ++i) {
      p.b[i] = f.integers ? static_cast<double>(g.pick(-3, 3)) : g.gaussian();
    }
  }
  if (f.specials) {
    const int32_t count = g.pick(1, 3);
    for (int32_t k = 0; k < count; ++k) {
      if (g.chance(0.7)) {
        at(g.pick(0, m - 1), g.pick(0, n - 1)) = g.special();
      } else {
        p.b[g.pick(0, m - 1)] = g.special();
      }
    }
  }
  return p;
}

Features random_features(Generator& g) {
  Features f;
  f.integers = g.chance(0.25);
  f.duplicates = g.chance(0.25);
  f.dependent = g.chance(0.2);
  f.zero_columns = g.chance(0.15);
  f.specials = g.chance(0.2);
  f.consistent = g.chance(0.7);
  return f;
}

// Shapes: tall, square, wide, single row and single column, and random
// sizes whose remainders cover every width of a blocked kernel.
void shape(Generator& g, int32_t& m, int32_t& n) {
  const int32_t size = g.pick(1, 40);
  switch (g.pick(0, 5)) {
    case 0: m = 2 * size; n = size; break;
    case 1: m = size; n = size; break;
    case 2: m = (size + 1) / 2; n = size; break;
    case 3: m = 1; n = size; break;
    case 4: m = size; n = 1; break;
    default: m = g.pick(1, 70); n = g.pick(1, 70); break;
  }
}

TEST_F(Differential, NnlsRandomProblemsOfEveryShapeMatchTheReference) {
  Generator g(20240601);
  for (int trial = 0; trial < 4000; ++trial) {
    int32_t m = 0;
    int32_t n = 0;
    shape(g, m, n);
    const Problem p = make_problem(g, m, n, random_features(g));
    expect_same(p, "trial " + std::to_string(trial));
    if (HasFailure()) return;
  }
}

TEST_F(Differential, NnlsLargerProblemsWithRemovalsMatchTheReference) {
  // Consistent problems with many zero components of x_true make variables
  // enter and leave P repeatedly over long stretches of rows and columns.
  Generator g(77);
  const int32_t sizes[][2] = {{160, 80}, {100, 100}, {60, 120}, {131, 67}, {67, 131}};
  for (int trial = 0; trial < 20; ++trial) {
    const auto& s = sizes[trial % 5];
    Features f;
    f.duplicates = trial % 3 == 0;
    f.integers = trial % 4 == 1;
    Problem p = make_problem(g, s[0], s[1], f);
    p.maxiter = 0;
    expect_same(p, "large trial " + std::to_string(trial));
    if (HasFailure()) return;
  }
}

// Decoy columns close to b enter P first; b itself is an exact non-negative
// combination of the other columns, so as P grows the decoys' values turn
// negative and they leave from near the start of a long P.  Their removal
// takes as many rotations as P has later positions, more than the solver
// builds at once, so the rotations are applied in several chunks.
Problem decoy_problem(Generator& g, int32_t m, int32_t n, int32_t decoys,
                      double spread) {
  Problem p;
  p.m = m;
  p.n = n;
  p.mda = m + 1;
  p.maxiter = 0;
  p.a.assign(static_cast<size_t>(p.mda) * n, untouched);
  auto at = [&p](int32_t i, int32_t j) -> double& {
    return p.a[static_cast<size_t>(i) + static_cast<size_t>(j) * p.mda];
  };
  p.b.assign(m, 0.0);
  for (int32_t j = decoys; j < n; ++j) {
    const double xj = 0.5 + g.uniform();
    for (int32_t i = 0; i < m; ++i) {
      at(i, j) = g.gaussian();
      p.b[i] = p.b[i] + at(i, j) * xj;
    }
  }
  for (int32_t j = 0; j < decoys; ++j) {
    for (int32_t i = 0; i < m; ++i) at(i, j) = p.b[i] + spread * g.gaussian();
  }
  return p;
}

TEST_F(Differential, NnlsRemovalsFromTheStartOfALongSetMatchTheReference) {
  Generator g(31337);
  const int32_t sizes[][2] = {{240, 120}, {150, 150}, {300, 100}, {97, 97}};
  for (int trial = 0; trial < 16; ++trial) {
    const auto& s = sizes[trial % 4];
    const Problem p = decoy_problem(g, s[0], s[1], 1 + trial % 3,
                                    trial < 8 ? 2.0 : 8.0);
    expect_same(p, "decoy trial " + std::to_string(trial));
    if (HasFailure()) return;
  }
}

TEST_F(Differential, NnlsBadDimensionsWriteOnlyMode) {
  for (const int32_t m : {-1, 0, 3}) {
    for (const int32_t n : {-2, 0, 2}) {
      if (m > 0 && n > 0) continue;
      const int32_t mda = 3;
      const int32_t maxiter = 0;
      std::vector<double> a(6, 1.5), b(3, 2.5), x(3, stale), w(3, stale), zz(3, stale);
      std::vector<int32_t> index(3, stale_index);
      double rnorm = stale;
      int32_t mode = 0;
      nnls(a.data(), &mda, &m, &n, b.data(), x.data(), &rnorm, w.data(),
           zz.data(), index.data(), &mode, &maxiter);
      EXPECT_EQ(mode, 2);
      EXPECT_TRUE(same_bits(a, std::vector<double>(6, 1.5)));
      EXPECT_TRUE(same_bits(b, std::vector<double>(3, 2.5)));
      EXPECT_TRUE(same_bits(x, std::vector<double>(3, stale)));
      EXPECT_TRUE(same_bits(w, std::vector<double>(3, stale)));
      EXPECT_TRUE(same_bits(zz, std::vector<double>(3, stale)));
      EXPECT_TRUE(same_bits(index, std::vector<int32_t>(3, stale_index)));
      EXPECT_TRUE(same_bits(rnorm, stale));
    }
  }
}

// h12 is called by other code than nnls: every caller form, strided and
// degenerate, must keep its results.
TEST_F(Differential, H12EveryCallFormMatchesTheReference) {
  Generator g(4242);
  constexpr int32_t buffer = 400;
  constexpr int32_t origin = 200;  // room for negative strides
  for (int trial = 0; trial < 6000; ++trial) {
    const int32_t mode = g.pick(0, 2);
    const int32_t m = g.pick(-1, 12);
    const int32_t lpivot = g.pick(-1, 6);
    const int32_t l1 = g.chance(0.8) ? lpivot + g.pick(1, 3) : g.pick(-1, 8);
    const int32_t iue = g.pick(-1, 3);
    const int32_t ice = g.chance(0.7) ? 1 : g.pick(-2, 3);
    const int32_t icv = g.chance(0.5) ? g.pick(12, 16) : g.pick(-14, 14);
    const int32_t ncv = g.pick(-1, 4);
    const bool specials = g.chance(0.3);

    std::vector<double> u(buffer, untouched);
    std::vector<double> c(buffer, untouched);
    for (int32_t k = 0; k < 60; ++k) {
      u[k] = specials && g.chance(0.3) ? g.special() : g.gaussian();
    }
    for (int32_t k = 0; k < buffer; ++k) {
      c[k] = specials && g.chance(0.3) ? g.special() : g.gaussian();
    }
    if (g.chance(0.1)) {
      for (int32_t k = 0; k < 60; ++k) u[k] = 0.0;
    }
    double up = g.chance(0.5) ? g.gaussian() : g.special();
    if (mode == 2 && g.chance(0.6)) {
      // A transformation constructed earlier, as nnls uses it.
      const int32_t construct = 1;
      const int32_t none = 0;
      double dummy = 0.0;
      reference::h12(&construct, &lpivot, &l1, &m, u.data(), &iue, &up,
                     &dummy, &ice, &icv, &none);
    }
    std::vector<double> u_ref = u;
    std::vector<double> c_ref = c;
    double up_ref = up;
    h12(&mode, &lpivot, &l1, &m, u.data(), &iue, &up, c.data() + origin, &ice,
        &icv, &ncv);
    reference::h12(&mode, &lpivot, &l1, &m, u_ref.data(), &iue, &up_ref,
                   c_ref.data() + origin, &ice, &icv, &ncv);
    const std::string where = "trial " + std::to_string(trial);
    EXPECT_TRUE(same_bits(u, u_ref)) << where;
    EXPECT_TRUE(same_bits(c, c_ref)) << where;
    EXPECT_TRUE(same_bits(up, up_ref)) << where;
    if (HasFailure()) return;
  }
}

TEST_F(Differential, G1RandomAndSpecialPairsMatchTheReference) {
  Generator g(99);
  for (int trial = 0; trial < 20000; ++trial) {
    const double a = g.chance(0.5) ? g.special() : g.gaussian();
    const double b = g.chance(0.5) ? g.special() : g.gaussian();
    // sig aliases a, as in nnls, or b, or stands apart.
    const int alias = g.pick(0, 2);
    double opt[3] = {a, b, stale};
    double ref[3] = {a, b, stale};
    double c_opt = stale, s_opt = stale, c_ref = stale, s_ref = stale;
    g1(&opt[0], &opt[1], &c_opt, &s_opt, &opt[alias]);
    reference::g1(&ref[0], &ref[1], &c_ref, &s_ref, &ref[alias]);
    EXPECT_EQ(std::memcmp(opt, ref, sizeof opt), 0) << a << " " << b;
    EXPECT_TRUE(same_bits(c_opt, c_ref)) << a << " " << b;
    EXPECT_TRUE(same_bits(s_opt, s_ref)) << a << " " << b;
    if (HasFailure()) return;
  }
}

TEST_F(Differential, DiffMatchesTheReference) {
  Generator g(7);
  for (int trial = 0; trial < 2000; ++trial) {
    const double x = g.special();
    const double y = g.special();
    EXPECT_TRUE(same_bits(diff(&x, &y), reference::diff(&x, &y)));
  }
}

}  // namespace
