// The Gram method for one call; see driver.h.
#include "gram/driver.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "common/status.h"
#include "common/team.h"
#include "gram/active_set.h"
#include "gram/certificate.h"
#include "gram/data.h"
#include "gram/dense.h"
#include "gram/free_form.h"
#include "gram/held_form.h"
#include "gram/pivoting.h"
#include "gram/rounds.h"

namespace tovrin {
namespace gram {

namespace {

using dense::Index;
using dense::Layout;

// How often the calling thread polls while the team works: a Ctrl-C is
// seen within this time plus one pass of the interpreter's main loop.
constexpr std::chrono::milliseconds poll_interval{20};
// G's diagonal, the squared column norms of A, within [2^-gram_range,
// 2^gram_range] lets A be read in place: no product of two of its elements
// overflows, and those that underflow are negligible against G's entries.
// (A zero column sends A to the scaled copy too.)
constexpr int gram_range = 900;
// Right-hand sides whose squared norms lie within [2^-2 b_range,
// 2^2 b_range] are used unscaled (their residuals' squares stay far from
// overflow and underflow).
constexpr int b_range = 200;
// G is clearly not positive semi-definite when G + indefinite ||G||_1 I has
// no Cholesky factor: an eigenvalue below -indefinite ||G||_1 is beyond any
// rounding of a Gram matrix formed in float64.
constexpr double indefinite = 1e-8;
// Problems per range of the many-problem solver: enough to share factors
// among problems of equal free sets, few enough that a busy member's range
// does not hold up the others for long.
constexpr std::int64_t many_range = 512;
// The residuals left to the many-problem solver are formed for ranges of
// at most this many problems, and of at most residual_entries entries of
// the product.
constexpr Index residual_range = 256;
constexpr Index residual_entries = Index(1) << 18;

// A view of the caller's matrix as a dense one, by columns or by rows, when
// its elements are aligned doubles at unit stride along one dimension.
struct DenseView {
  const double* data = nullptr;
  Layout layout = Layout::columns;
  Index ld = 1;
};

bool dense_view(const StridedMatrix& v, DenseView& out) {
  constexpr std::int64_t size = sizeof(double);
  if (reinterpret_cast<std::uintptr_t>(v.base) % alignof(double) != 0) return false;
  out.data = reinterpret_cast<const double*>(v.base);
  // A single column or row has no stride along its length to speak of.
  const bool columns = v.row_step == size || v.rows <= 1;
  const bool rows = v.col_step == size || v.cols <= 1;
  if (columns && (v.cols <= 1 || (v.col_step % size == 0 && v.col_step >= v.rows * size))) {
    out.layout = Layout::columns;
    out.ld = v.cols <= 1 ? std::max<Index>(v.rows, 1) : v.col_step / size;
    return true;
  }
  if (rows && (v.rows <= 1 || (v.row_step % size == 0 && v.row_step >= v.cols * size))) {
    out.layout = Layout::rows;
    out.ld = v.rows <= 1 ? std::max<Index>(v.cols, 1) : v.row_step / size;
    return true;
  }
  return false;
}

// The caller's matrix as a dense view: in place when it is one, else a
// column-major copy into storage.
DenseView dense_of(const StridedMatrix& v, std::vector<double>& storage) {
  DenseView view;
  if (dense_view(v, view)) return view;
  storage.resize(std::size_t(v.rows * v.cols));
  for (std::int64_t j = 0; j < v.cols; ++j) {
    for (std::int64_t i = 0; i < v.rows; ++i) storage[std::size_t(i + j * v.rows)] = v(i, j);
  }
  return {storage.data(), Layout::columns, std::max<Index>(v.rows, 1)};
}

double element(const DenseView& v, Index i, Index j) {
  return v.layout == Layout::columns ? v.data[i + j * v.ld] : v.data[j + i * v.ld];
}

// s_q += b_q^2, and s_q += (b_q - p_q)^2, for q < count.
void add_squares(Index count, const double* __restrict b, double* __restrict s) {
  for (Index q = 0; q < count; ++q) s[q] += b[q] * b[q];
}

void add_squared_differences(Index count, const double* __restrict b, const double* __restrict p,
                             double* __restrict s) {
  for (Index q = 0; q < count; ++q) s[q] += (b[q] - p[q]) * (b[q] - p[q]);
}

// sum_i b_ij^2 for the columns j in [first, last) into squares[j - first],
// reading B in memory order; each sum in the order of i.
void column_squares(const DenseView& b, Index m, Index first, Index last, double* squares) {
  if (b.layout == Layout::columns) {
    for (Index j = first; j < last; ++j) {
      const double* bj = b.data + j * b.ld;
      double sum = 0.0;
      for (Index i = 0; i < m; ++i) sum += bj[i] * bj[i];
      squares[j - first] = sum;
    }
    return;
  }
  std::fill(squares, squares + (last - first), 0.0);
  for (Index i = 0; i < m; ++i) add_squares(last - first, b.data + i * b.ld + first, squares);
}

// The columns of B from the first-th on.
DenseView columns_from(const DenseView& b, Index first) {
  return {b.data + (b.layout == Layout::columns ? first * b.ld : first), b.layout, b.ld};
}

// Whether b_j, of squared norm btb, is used unscaled.
bool rhs_in_range(double btb) {
  return btb == 0.0 || (btb >= std::ldexp(1.0, -2 * b_range) && btb <= std::ldexp(1.0, 2 * b_range));
}

// The columns [first, last) of B, each b_j out of range scaled by 2^-f_j,
// its largest entry into [1/2, 1) (f_j into f[j - first], its b'b into
// btb[j - first], which holds the unscaled ones): B in place where none is,
// else a copy by columns into storage.  A column's numbers do not depend on
// the others'.
DenseView scaled_columns(const DenseView& b, Index m, Index first, Index last, double* btb,
                         int* f, std::vector<double>& storage) {
  const Index count = last - first;
  std::fill(f, f + count, 0);
  if (std::all_of(btb, btb + count, rhs_in_range)) return columns_from(b, first);
  storage.resize(std::size_t(m * count));
  for (Index q = 0; q < count; ++q) {
    double* out = storage.data() + q * m;
    const Index j = first + q;
    if (rhs_in_range(btb[q])) {
      for (Index i = 0; i < m; ++i) out[i] = element(b, i, j);
      continue;
    }
    double big = 0.0;
    for (Index i = 0; i < m; ++i) big = std::max(big, std::fabs(element(b, i, j)));
    int e = 0;
    if (big > 0.0 && std::isfinite(big)) std::frexp(big, &e);
    f[q] = e;
    double sum = 0.0;
    for (Index i = 0; i < m; ++i) {
      out[i] = std::ldexp(element(b, i, j), -e);
      sum += out[i] * out[i];
    }
    btb[q] = sum;
  }
  return {storage.data(), Layout::columns, std::max<Index>(m, 1)};
}

// A matrix by rows copied by columns into storage, in tiles that keep both
// sides in the caches.
DenseView transposed_copy(const DenseView& b, Index m, Index k, std::vector<double>& storage) {
  constexpr Index tile = 32;
  std::vector<double> copy(static_cast<std::size_t>(m * k));
  for (Index i0 = 0; i0 < m; i0 += tile) {
    for (Index j0 = 0; j0 < k; j0 += tile) {
      for (Index i = i0; i < std::min(m, i0 + tile); ++i) {
        for (Index j = j0; j < std::min(k, j0 + tile); ++j) {
          copy[std::size_t(i + j * m)] = b.data[j + i * b.ld];
        }
      }
    }
  }
  storage.swap(copy);
  return {storage.data(), Layout::columns, std::max<Index>(m, 1)};
}

// The exponent e with sqrt(d) 2^-e in [1/2, 1); 0 for d zero, negative or
// not finite.
int diagonal_exponent(double d) {
  if (!(d > 0.0) || !std::isfinite(d)) return 0;
  int e;
  std::frexp(std::sqrt(d), &e);
  return e;
}

// Whether a diagonal entry of G formed in place can be trusted: a zero one
// may be a column that underflowed, which the scaled copy tells apart.
bool diagonal_in_range(double d) {
  return d >= std::ldexp(1.0, -gram_range) && d <= std::ldexp(1.0, gram_range);
}

// The scaled problem of a call: G' = S G S, c'_j = S c_j 2^-f_j.
struct Scaled {
  std::int32_t n = 0;
  std::int64_t k = 0;
  std::vector<double> g;       // n x n
  std::vector<double> c;       // row j = c'_j
  std::vector<int> e, f;        // f empty where every b_j is in range (f_j = 0)
  std::vector<double> scale;   // 2^-e, A's column scale where A is read in place
  double gnorm = 0.0;

  GramMatrix gram() const { return {g.data(), n, n, gnorm}; }

  // G' = S G S from the G in g, and the exponents e.
  void equilibrate() {
    e.resize(std::size_t(n));
    scale.resize(std::size_t(n));
    for (std::int32_t j = 0; j < n; ++j) {
      e[std::size_t(j)] = diagonal_exponent(g[std::size_t(j) * (n + 1)]);
      scale[std::size_t(j)] = std::ldexp(1.0, -e[std::size_t(j)]);
    }
    // G_ij 2^-(e_i + e_j), by one product with that power of two where it is
    // a normal number (the same rounding as ldexp, at a fraction of its
    // cost), else by ldexp.
    int widest = 0;
    for (const int ej : e) widest = std::max(widest, std::abs(ej));
    const bool products = 2 * widest <= std::numeric_limits<double>::max_exponent - 2;
    for (std::int32_t j = 0; j < n; ++j) {
      double* gj = g.data() + std::size_t(j) * n;
      const double sj = scale[std::size_t(j)];
      for (std::int32_t i = 0; i < n; ++i) {
        gj[i] = products ? gj[i] * (scale[std::size_t(i)] * sj)
                         : std::ldexp(gj[i], -(e[std::size_t(i)] + e[std::size_t(j)]));
      }
    }
    gnorm = gram_norm(g.data(), n, n);
  }
};

// Whether v * 2^p lost bits or range: it left the normal numbers, or a
// nonzero became zero (bitwise, so that a loop over entries has no branch).
inline unsigned char inexact(double before, double after) {
  const double magnitude = std::fabs(after);
  return static_cast<unsigned char>(
      (static_cast<int>(before != 0.0) & static_cast<int>(after == 0.0)) |
      static_cast<int>(magnitude > std::numeric_limits<double>::max()) |
      (static_cast<int>(magnitude != 0.0) &
       static_cast<int>(magnitude < std::numeric_limits<double>::min())));
}

// x_j *= down, w_j *= up for j < count; rounded_j marks an x_j that rounded.
void scale_row(Index count, double down, double up, double* __restrict x, double* __restrict w,
               unsigned char* __restrict rounded) {
  for (Index j = 0; j < count; ++j) {
    const double scaled = x[j];
    x[j] = scaled * down;
    w[j] = w[j] * up;
    rounded[j] |= inexact(scaled, x[j]);
  }
}

// x = 2^(f_j - e_i) x', dual = 2^(e_i + f_j) w', rnorm = 2^f_j rnorm', in
// place in the outputs for the problems j in [first, last), as products with
// powers of two (exact while the result stays a normal number); a problem
// whose x rounds on the way (a solution beyond the range of doubles) is
// marked status::refit.  Row i of the outputs holds variable i of every
// problem: read along the rows.
void unscale_range(const Scaled& s, Index first, Index last, bool with_rnorm,
                   const BatchResults& out) {
  const std::int64_t k = s.k;
  const Index count = last - first;
  const int* f = s.f.empty() ? nullptr : s.f.data() + first;
  if (f != nullptr && std::all_of(f, f + count, [](int v) { return v == 0; })) f = nullptr;
  std::vector<unsigned char> rounded(static_cast<std::size_t>(count), 0);
  for (std::int32_t i = 0; i < s.n; ++i) {
    double* x = out.x + i * k + first;
    double* w = out.dual + i * k + first;
    const int e = s.e[std::size_t(i)];
    if (f == nullptr) {
      scale_row(count, std::ldexp(1.0, -e), std::ldexp(1.0, e), x, w, rounded.data());
      continue;
    }
    for (Index q = 0; q < count; ++q) {
      const double scaled = x[q];
      x[q] = std::ldexp(scaled, f[q] - e);
      w[q] = std::ldexp(w[q], e + f[q]);
      rounded[std::size_t(q)] |= inexact(scaled, x[q]);
    }
  }
  for (Index q = 0; q < count; ++q) {
    if (with_rnorm && f != nullptr && f[q] != 0) out.rnorm[first + q] = std::ldexp(out.rnorm[first + q], f[q]);
    if (rounded[std::size_t(q)]) out.status[first + q] |= status::refit;
  }
}

// The same for every problem, ranges of problems shared by the team.
void unscale(Team& team, const Scaled& s, bool with_rnorm, const BatchResults& out) {
  constexpr Index range = 4096;
  team.run((s.k + range - 1) / range, [&](int, Index r) {
    unscale_range(s, r * range, std::min<Index>(s.k, (r + 1) * range), with_rnorm, out);
  });
}

// One problem's results into the outputs, from scaled x, w and free flags.
void write(const BatchResults& out, std::int64_t k, std::int64_t j, std::int32_t n,
           const double* x, const double* w, const unsigned char* free, std::int64_t rounds,
           std::int64_t status, double rnorm) {
  for (std::int32_t i = 0; i < n; ++i) {
    out.x[i * k + j] = x[i];
    out.dual[i * k + j] = w[i];
    out.passive[i * k + j] = free[i] != 0 && x[i] > 0.0;
  }
  out.iterations[j] = rounds;
  out.status[j] = status;
  out.rnorm[j] = rnorm;
}

// The problems per range of the deferred residuals: at most residual_range,
// and at most residual_entries entries of the range's product.
Index residual_range_for(Index m, std::int64_t k) {
  const Index by_size = std::max<Index>(1, residual_entries / std::max<Index>(m, 1));
  return std::max<Index>(1, std::min<Index>(k, std::min(residual_range, by_size)));
}

// One member's means for the residuals of ranges of at most `range`
// problems: a team of its own (the member alone), a dense workspace and
// buffers.
struct RangeWorker {
  RangeWorker(Index m, Index n, Index range)
      : ws(1, n), range(range), p(static_cast<std::size_t>(m * range)),
        x(static_cast<std::size_t>(n * range)), squares(static_cast<std::size_t>(range)) {}
  Team solo{1};
  dense::DenseWorkspace ws;
  Index range;
  std::vector<double> p, x, squares;

  void residuals(const DataMatrix& a, const DenseView& b, std::int64_t k, Index first, Index count,
                 const BatchResults& out);
};

// rnorm_j = ||b_j - (A S) x_j|| for the count problems from first (column 0
// of b is b_first), where the certificate deferred it: P = A (S X) by one
// product, or its transpose P' = (S X)' A' with B by rows, so that B is read
// along its rows; then the sums of (b_ij - p_ij)^2 in the order of i, read
// from B in place.  An entry of a product has the same bits whatever the
// others and the orientation, so a problem's rnorm does not depend on the
// others or on B's memory order.
void RangeWorker::residuals(const DataMatrix& a, const DenseView& b, std::int64_t k, Index first,
                            Index count, const BatchResults& out) {
  const Index m = a.m, n = a.n;
  for (Index i = 0; i < n; ++i) {
    const double* xi = out.x + i * k + first;
    const double si = a.scale != nullptr ? a.scale[i] : 1.0;
    for (Index q = 0; q < count; ++q) x[std::size_t(i + q * n)] = si * xi[q];
  }
  std::fill(squares.begin(), squares.end(), 0.0);
  const bool a_by_columns = a.layout == Layout::columns;
  if (b.layout == Layout::columns) {
    dense::gemm(solo, ws, a_by_columns ? dense::Op::none : dense::Op::transpose, dense::Op::none, m,
                count, n, 1.0, a.a, a.ld, x.data(), std::max<Index>(n, 1), 0.0, p.data(),
                std::max<Index>(m, 1));
    for (Index q = 0; q < count; ++q) {
      const double* bq = b.data + q * b.ld;
      const double* pq = p.data() + q * m;
      double sum = 0.0;
      for (Index i = 0; i < m; ++i) sum += (bq[i] - pq[i]) * (bq[i] - pq[i]);
      squares[std::size_t(q)] = sum;
    }
  } else {
    dense::gemm(solo, ws, dense::Op::transpose, a_by_columns ? dense::Op::transpose : dense::Op::none,
                count, m, n, 1.0, x.data(), std::max<Index>(n, 1), a.a, a.ld, 0.0, p.data(),
                std::max<Index>(count, 1));
    for (Index i = 0; i < m; ++i) {
      add_squared_differences(count, b.data + i * b.ld, p.data() + i * count, squares.data());
    }
  }
  for (Index q = 0; q < count; ++q) {
    double& rnorm = out.rnorm[first + q];
    if (rnorm == rnorm_deferred) rnorm = std::sqrt(squares[std::size_t(q)]);
  }
}

bool any_deferred(const BatchResults& out, Index first, Index last) {
  return std::find(out.rnorm + first, out.rnorm + last, rnorm_deferred) != out.rnorm + last;
}

// The deferred residuals of the whole call, by ranges of consecutive problems
// that hold any, shared by the team.
void deferred_residuals(Team& team, const DataMatrix& a, const DenseView& b, std::int64_t k,
                        const BatchResults& out) {
  const Index range = residual_range_for(a.m, k);
  std::vector<Index> ranges;
  for (Index first = 0; first < k; first += range) {
    if (any_deferred(out, first, std::min<Index>(k, first + range))) ranges.push_back(first);
  }
  // Each member's means, made by the member at its first range.
  std::vector<std::unique_ptr<RangeWorker>> own(static_cast<std::size_t>(team.size()));
  team.run(Index(ranges.size()), [&](int worker, Index r) {
    std::unique_ptr<RangeWorker>& mine = own[std::size_t(worker)];
    if (!mine) mine.reset(new RangeWorker(a.m, a.n, range));
    const Index first = ranges[std::size_t(r)];
    mine->residuals(a, columns_from(b, first), k, first, std::min<Index>(range, k - first), out);
  });
}

// The call's solver over the scaled problem: everything after the
// products, on the team.
class Call {
 public:
  Call(Scaled& s, const DataMatrix* a, const std::vector<RightHandSide>* b,
       const double* x0, const Settings& settings, Team& team, dense::DenseWorkspace& ws,
       const BatchResults& out)
      : s_(s), a_(a), b_(b), x0_(x0), settings_(settings), team_(team), ws_(ws), out_(out) {}

  void run() {
    switch (settings_.solver) {
      case Solver::large: return large();
      case Solver::many: return many();
      case Solver::one_at_a_time: return one_at_a_time();
    }
  }

 private:
  const RightHandSide* rhs(std::int64_t j) const {
    return b_ != nullptr ? &(*b_)[std::size_t(j)] : nullptr;
  }
  const double* c(std::int64_t j) const { return s_.c.data() + j * s_.n; }
  double no_rnorm() const { return a_ != nullptr ? -1.0 : std::nan(""); }

  // x0's positive entries of column j as free flags; none without x0.
  bool start_from_x0(std::int64_t j, unsigned char* free) const {
    if (x0_ == nullptr) return false;
    for (std::int32_t i = 0; i < s_.n; ++i) free[i] = x0_[i * s_.k + j] > 0.0;
    return true;
  }

  void large();
  void many();
  void one_at_a_time();
  void hand_over(std::int64_t j, Certificate& certificate, ActiveSetWorkspace& work,
                 std::vector<double>& x, std::vector<double>& w,
                 std::vector<unsigned char>& free);

  Scaled& s_;
  const DataMatrix* a_;
  const std::vector<RightHandSide>* b_;
  const double* x0_;
  const Settings& settings_;
  Team& team_;
  dense::DenseWorkspace& ws_;
  const BatchResults& out_;
};

void Call::hand_over(std::int64_t j, Certificate& certificate, ActiveSetWorkspace& work,
                     std::vector<double>& x, std::vector<double>& w,
                     std::vector<unsigned char>& free) {
  const GramMatrix g = s_.gram();
  if (settings_.early_exit) {
    // method="auto": the exact method takes the problem.
    std::fill(x.begin(), x.end(), 0.0);
    std::memcpy(w.data(), c(j), sizeof(double) * std::size_t(s_.n));
    std::fill(free.begin(), free.end(), 0);
    const double rnorm = rhs(j) != nullptr ? std::sqrt(rhs(j)->btb) : no_rnorm();
    write(out_, s_.k, j, s_.n, x.data(), w.data(), free.data(), 0, status::gram_inaccurate, rnorm);
    return;
  }
  const Outcome outcome = solve(g, c(j), rhs(j), settings_.maxiter, team_.flag(), work,
                                certificate, x.data(), w.data(), free.data());
  if (outcome.status == status::cancelled) return;
  write(out_, s_.k, j, s_.n, x.data(), w.data(), free.data(), outcome.iterations,
        outcome.status, a_ != nullptr ? outcome.rnorm : no_rnorm());
}

// Problem by problem, each by block pivoting in the held form where G is
// positive definite and well-conditioned enough, else in the free form;
// the team shares every product and factorisation.
void Call::large() {
  const std::int32_t n = s_.n;
  // The held form factorises G in its own storage; G stays whole for the
  // free form, and is made whole again should a problem be handed over.
  std::unique_ptr<HeldForm> held(new HeldForm(s_.g.data(), n, s_.gnorm, team_, ws_));
  bool held_form = held->factorise();
  const bool definite = held_form || held->condition() > 0.0;
  std::unique_ptr<FreeForm> free_form;
  const auto whole = [&] {
    held->restore();
    held.reset();
    held_form = false;
    free_form.reset(new FreeForm(s_.gram(), team_, ws_));
  };
  if (!held_form) whole();
  GramMatrix g = held_form ? held->gram() : s_.gram();
  std::unique_ptr<Certificate> certificate(new Certificate(g, a_, team_));
  std::unique_ptr<ActiveSetWorkspace> work;
  std::vector<double> x(static_cast<std::size_t>(n)), w(static_cast<std::size_t>(n));
  std::vector<unsigned char> free(static_cast<std::size_t>(n));
  if (!definite && settings_.early_exit) {
    // G itself breaks down in the Gram form (dependent columns, m < n):
    // method="auto" hands every problem to the exact method at once.
    work.reset(new ActiveSetWorkspace(1));
    for (std::int64_t j = 0; j < s_.k; ++j) hand_over(j, *certificate, *work, x, w, free);
    return;
  }
  const std::int32_t share = rounds_share(n);
  for (std::int64_t j = 0; j < s_.k && !team_.cancelled(); ++j) {
    Form* form;
    if (held_form) {
      held->start(c(j));
      form = held.get();
    } else {
      free_form->reset();
      form = free_form.get();
    }
    if (!start_from_x0(j, free.data())) {
      std::fill(free.begin(), free.end(), definite ? 1 : 0);
    }
    const RoundsOutcome rounds =
        pivot(*form, g, c(j), settings_.maxiter, share, team_, free.data(), x.data(), w.data());
    switch (rounds.end) {
      case RoundsEnd::optimal: {
        const double error = eps * (held_form ? held->condition() : free_form->condition());
        const Verdict verdict =
            certificate->check(*form, free.data(), c(j), rhs(j), error, x.data(), w.data());
        write(out_, s_.k, j, n, x.data(), w.data(), free.data(), rounds.rounds, verdict.status,
              a_ != nullptr ? verdict.rnorm : no_rnorm());
        break;
      }
      case RoundsEnd::limit: {
        certificate->dual(c(j), x.data(), w.data());
        write(out_, s_.k, j, n, x.data(), w.data(), free.data(), rounds.rounds,
              status::iteration_limit, no_rnorm());
        break;
      }
      case RoundsEnd::broken:
        if (held_form) {
          // The one-at-a-time method reads G whole.
          whole();
          g = s_.gram();
          certificate.reset(new Certificate(g, a_, team_));
        }
        if (!work) work.reset(new ActiveSetWorkspace(n));
        hand_over(j, *certificate, *work, x, w, free);
        break;
      case RoundsEnd::cancelled:
        return;
    }
  }
}

// Ranges of about many_range consecutive problems, which the team's members
// take in turn, each solved whole by its own BlockPivoting (groups form
// within a range): the results of a problem do not depend on the ranges,
// so neither on the threads.
void Call::many() {
  const GramMatrix g = s_.gram();
  const std::int32_t n = s_.n;
  // The factor of G: whether every problem may start from the
  // unconstrained minimiser, and the held form's inverse M = G^-1 where
  // eps cond(G)^2, a bound on its relative error, is below
  // refine_threshold.
  std::vector<double> l(static_cast<std::size_t>(n) * n);
  std::memcpy(l.data(), g.g, sizeof(double) * l.size());
  const bool definite = dense::cholesky(team_, ws_, n, l.data(), n, dependent_pivot) == n;
  std::vector<double> inverse;
  HeldInverse held{nullptr, 0.0, -1.0};
  if (definite) {
    std::vector<double> z(static_cast<std::size_t>(n)), v(static_cast<std::size_t>(n));
    double largest = 0.0;
    for (std::int32_t j = 0; j < n; ++j) largest = std::max(largest, g.diagonal(j));
    const double condition = lower_condition(n, l.data(), n, largest, z.data(), v.data());
    held.error = eps * condition * condition;
    held.free_error = eps * condition;
    if (held.error <= refine_threshold) {
      // M = L^-T L^-1 = W'W with W = L^-1.
      std::vector<double> wl(static_cast<std::size_t>(n) * n, 0.0);
      for (std::int32_t j = 0; j < n; ++j) wl[std::size_t(j) * (n + 1)] = 1.0;
      dense::solve_lower(team_, ws_, dense::Op::none, n, n, l.data(), n, wl.data(), n);
      inverse.resize(std::size_t(n) * n);
      dense::syrk(team_, ws_, dense::Op::transpose, n, n, 1.0, wl.data(), n, 0.0, inverse.data(), n);
      dense::mirror_lower(team_, n, inverse.data(), n);
      held.m = inverse.data();
    }
  }
  const std::int64_t k = s_.k;
  const std::int64_t ranges = (k + many_range - 1) / many_range;
  const ManyResults results{out_.x, out_.dual, out_.passive, out_.iterations, out_.status,
                            out_.rnorm, k};
  team_.run(ranges, [&](int, Index r) {
    const std::int64_t first = r * k / ranges, last = (r + 1) * k / ranges;
    Team solo(1);
    ManyProblems part{g, c(first), last - first, x0_ != nullptr ? x0_ + first : nullptr, k,
                      b_ != nullptr ? b_->data() + first : nullptr, settings_.maxiter};
    ManyResults range = results;
    range.x += first;
    range.w += first;
    range.passive += first;
    range.iterations += first;
    range.status += first;
    range.rnorm += first;
    BlockPivoting(part, a_, held, definite, range, solo).solve(team_.flag());
  });
  if (a_ == nullptr) {
    for (std::int64_t j = 0; j < k; ++j) out_.rnorm[j] = no_rnorm();
  }
}

// The one-at-a-time method, problems shared by the team's members.
void Call::one_at_a_time() {
  const GramMatrix g = s_.gram();
  const std::int32_t n = s_.n;
  const int workers = team_.size();
  struct Worker {
    Worker(const GramMatrix& g, const DataMatrix* a, std::int32_t n)
        : solo(1), certificate(g, a, solo), work(n), x(static_cast<std::size_t>(n)), w(static_cast<std::size_t>(n)),
          free(std::size_t(n)) {}
    Team solo;
    Certificate certificate;
    ActiveSetWorkspace work;
    std::vector<double> x, w;
    std::vector<unsigned char> free;
  };
  std::vector<std::unique_ptr<Worker>> own;
  for (int i = 0; i < workers; ++i) own.emplace_back(new Worker(g, a_, n));
  team_.run(s_.k, [&](int worker, Index j) {
    Worker& wk = *own[std::size_t(worker)];
    const Outcome outcome = solve(g, c(j), rhs(j), settings_.maxiter, team_.flag(), wk.work,
                                  wk.certificate, wk.x.data(), wk.w.data(), wk.free.data());
    if (outcome.status == status::cancelled) return;
    write(out_, s_.k, j, n, wk.x.data(), wk.w.data(), wk.free.data(), outcome.iterations,
          outcome.status, a_ != nullptr ? outcome.rnorm : no_rnorm());
  });
}

// Runs fn on the team, led from a thread of its own while this thread polls.
template <class Fn>
bool run_polled(Team& team, Poll poll, const Fn& fn) {
  return team.run_leading(fn, [&] { return poll.call(poll.data); }, poll_interval);
}

}  // namespace

bool solve_least_squares(const StridedMatrix& a_in, const StridedMatrix& b_in, const double* x0,
                         const Settings& settings, const BatchResults& out, Poll poll) {
  const std::int64_t m = a_in.rows, k = b_in.cols;
  Scaled s;
  s.n = std::int32_t(a_in.cols);
  s.k = k;
  const std::int32_t n = s.n;
  Team team(settings.threads);
  dense::DenseWorkspace ws(settings.threads, n);
  return run_polled(team, poll, [&] {
    std::vector<double> a_copy, b_copy;
    DenseView a = dense_of(a_in, a_copy);
    DenseView b = dense_of(b_in, b_copy);
    // G = A'A read in place; where its diagonal leaves the range, A is
    // scaled into a copy first and G formed again.
    s.g.resize(std::size_t(n) * n);
    dense::gram(team, ws, a.layout, m, n, a.data, a.ld, s.g.data(), n);
    bool in_range = true;
    for (std::int32_t j = 0; j < n; ++j) in_range = in_range && diagonal_in_range(s.g[std::size_t(j) * (n + 1)]);
    const double* scale = nullptr;
    if (in_range) {
      s.equilibrate();
      scale = s.scale.data();
    } else {
      s.e.assign(std::size_t(n), 0);
      for (std::int32_t j = 0; j < n; ++j) {
        double big = 0.0;
        for (std::int64_t i = 0; i < m; ++i) big = std::max(big, std::fabs(element(a, i, j)));
        int e = 0;
        if (big > 0.0 && std::isfinite(big)) std::frexp(big, &e);
        s.e[std::size_t(j)] = e;
      }
      std::vector<double> scaled(static_cast<std::size_t>(m) * n);
      for (std::int32_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i < m; ++i) {
          scaled[std::size_t(i + j * m)] = std::ldexp(element(a, i, j), -s.e[std::size_t(j)]);
        }
      }
      a_copy.swap(scaled);
      a = {a_copy.data(), Layout::columns, std::max<Index>(m, 1)};
      dense::gram(team, ws, a.layout, m, n, a.data, a.ld, s.g.data(), n);
      s.gnorm = gram_norm(s.g.data(), n, n);
    }
    if (settings.solver != Solver::large && a.layout == Layout::rows) {
      // Problems of few variables read A a column at a time.
      a = transposed_copy(a, m, n, a_copy);
    }
    const DataMatrix data{a.data, a.layout, a.ld, std::int32_t(m), n, scale};
    s.c.resize(std::size_t(n) * k);
    std::vector<RightHandSide> rhs(static_cast<std::size_t>(k));
    // b'b per problem, in one pass over B in memory order; b_j 2^-f_j
    // where out of range.
    constexpr Index range = 2048;
    std::vector<double> btb(static_cast<std::size_t>(k));
    team.run((k + range - 1) / range, [&](int, Index r) {
      const Index first = r * range, last = std::min<Index>(k, first + range);
      column_squares(b, m, first, last, btb.data() + first);
    });
    s.f.assign(std::size_t(k), 0);
    std::vector<double> b_scaled;
    b = scaled_columns(b, m, 0, k, btb.data(), s.f.data(), b_scaled);
    if (std::all_of(s.f.begin(), s.f.end(), [](int f) { return f == 0; })) s.f.clear();
    // c_j = S A'b_j (S: the column scale where A is read in place).
    dense::cross(team, ws, a.layout, m, n, a.data, a.ld, b.layout, k, b.data, b.ld, s.c.data(), n);
    if (scale != nullptr) {
      for (std::int64_t j = 0; j < k; ++j) {
        for (std::int32_t i = 0; i < n; ++i) s.c[std::size_t(i + j * n)] *= scale[i];
      }
    }
    for (std::int64_t j = 0; j < k; ++j) {
      const bool by_columns = b.layout == Layout::columns;
      rhs[std::size_t(j)] = {b.data + (by_columns ? j * b.ld : j), by_columns ? 1 : b.ld, 0,
                             btb[std::size_t(j)]};
    }
    Call(s, &data, &rhs, x0, settings, team, ws, out).run();
    if (team.cancelled()) return;
    deferred_residuals(team, data, b, k, out);
    unscale(team, s, true, out);
  });
}

bool solve_gram_form(const StridedMatrix& g_in, const StridedMatrix& c_in, const double* btb,
                     const double* x0, const Settings& settings, const BatchResults& out,
                     Poll poll) {
  Scaled s;
  s.n = std::int32_t(g_in.rows);
  s.k = c_in.cols;
  const std::int32_t n = s.n;
  const std::int64_t k = s.k;
  Team team(settings.threads);
  dense::DenseWorkspace ws(settings.threads, n);
  return run_polled(team, poll, [&] {
    s.g.resize(std::size_t(n) * n);
    for (std::int32_t j = 0; j < n; ++j) {
      for (std::int32_t i = 0; i < n; ++i) s.g[std::size_t(i + j * n)] = g_in(i, j);
    }
    s.equilibrate();
    s.f.assign(std::size_t(k), 0);
    s.c.resize(std::size_t(n) * k);
    for (std::int64_t j = 0; j < k; ++j) {
      double big = 0.0;
      for (std::int32_t i = 0; i < n; ++i) {
        const double v = std::ldexp(c_in(i, j), -s.e[std::size_t(i)]);
        s.c[std::size_t(i + j * n)] = v;
        big = std::max(big, std::fabs(v));
      }
      int f = 0;
      if (big > 0.0 && std::isfinite(big)) std::frexp(big, &f);
      s.f[std::size_t(j)] = f;
      for (std::int32_t i = 0; i < n; ++i) {
        double& v = s.c[std::size_t(i + j * n)];
        v = std::ldexp(v, -f);
      }
    }
    Call(s, nullptr, nullptr, x0, settings, team, ws, out).run();
    if (team.cancelled()) return;
    unscale(team, s, false, out);
    // rnorm = sqrt(b'b - x'c - x'w) in the caller's units, NaN without b'b.
    for (std::int64_t j = 0; j < k; ++j) {
      if (btb == nullptr) {
        out.rnorm[j] = std::nan("");
        continue;
      }
      double xc = 0.0, xw = 0.0;
      for (std::int32_t i = 0; i < n; ++i) {
        xc += out.x[i * k + j] * c_in(i, j);
        xw += out.x[i * k + j] * out.dual[i * k + j];
      }
      out.rnorm[j] = std::sqrt(std::max(0.0, (btb[j] - xc) - xw));
    }
    // Flagged problems of a G that is clearly not positive semi-definite.
    const bool flagged = std::any_of(out.status, out.status + k, [](std::int64_t code) {
      return (code & ~status::refit) == status::gram_inaccurate;
    });
    if (!flagged) return;
    std::vector<double> shifted(s.g);
    for (std::int32_t j = 0; j < n; ++j) shifted[std::size_t(j) * (n + 1)] += indefinite * s.gnorm;
    if (dense::cholesky(team, ws, n, shifted.data(), n, 0.0) == n) return;
    for (std::int64_t j = 0; j < k; ++j) {
      if ((out.status[j] & ~status::refit) == status::gram_inaccurate) {
        out.status[j] = (out.status[j] & status::refit) | status::gram_indefinite;
      }
    }
  });
}

}  // namespace gram
}  // namespace tovrin
