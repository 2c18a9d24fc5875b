#include "exact/batch.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/scaling.h"
#include "solve.h"
#include "common/status.h"

namespace tovrin {

namespace {

// Upper bound on the multiply-adds that quick() lets one call spend on the
// calling thread: about a millisecond, the longest a signal may wait there.
constexpr double quick_work = 1 << 20;

// Largest magnitude of a column of a view; a NaN never compares larger, so
// NaNs are passed over.
double max_abs(const StridedMatrix& v, std::int64_t j) {
  double big = 0.0;
  for (std::int64_t i = 0; i < v.rows; ++i) {
    const double magnitude = std::fabs(v(i, j));
    if (magnitude > big) big = magnitude;
  }
  return big;
}

}  // namespace

BatchSolver::BatchSolver(const StridedMatrix& a, const StridedMatrix& b,
                         std::int64_t maxiter)
    : a_(a), b_(b), m_(a.rows), n_(a.cols), k_(b.cols), maxiter_(maxiter),
      column_shift_(a.cols) {
  for (std::int64_t j = 0; j < n_; ++j) column_shift_[j] = range_shift(max_abs(a_, j));
}

std::int64_t BatchSolver::iteration_limit() const {
  return maxiter_ >= 1 ? maxiter_ : 3 * n_;
}

bool BatchSolver::quick() const {
  // Each triangular solve is preceded by at most one main-loop pass, whose
  // reflections and dual vector cost about m*n multiply-adds; rejections
  // and rotations stay of the same order.
  const double per_problem = (static_cast<double>(iteration_limit()) + 1.0) *
                             static_cast<double>(m_ + 1) * static_cast<double>(n_ + 1);
  return per_problem * static_cast<double>(k_) <= quick_work;
}

int BatchSolver::load_rhs(std::int64_t j, double* b) const {
  const int shift = range_shift(max_abs(b_, j));
  for (std::int64_t i = 0; i < m_; ++i) b[i] = shifted(b_(i, j), shift);
  return shift;
}

void BatchSolver::load_matrix(double* a) const {
  for (std::int64_t j = 0; j < n_; ++j) {
    double* column = a + j * m_;
    const int shift = column_shift_[j];
    if (a_.row_step == sizeof(double) && shift == 0) {
      std::memcpy(column, a_.base + j * a_.col_step, m_ * sizeof(double));
      continue;
    }
    for (std::int64_t i = 0; i < m_; ++i) column[i] = shifted(a_(i, j), shift);
  }
}

void BatchSolver::write_trivial(std::int64_t j, const double* b,
                                int shift, const BatchResults& out) const {
  for (std::int64_t i = 0; i < n_; ++i) {
    out.x[i * k_ + j] = 0.0;
    out.dual[i * k_ + j] = 0.0;
    out.passive[i * k_ + j] = false;
  }
  // ||b||, summed in row order as the solver sums its residual.
  double sm = 0.0;
  for (std::int64_t i = 0; i < m_; ++i) sm = sm + b[i] * b[i];
  out.rnorm[j] = shifted(std::sqrt(sm), -shift);
  out.iterations[j] = 0;
  out.status[j] = mode_solved;
}

std::int32_t BatchSolver::solve(Workspace& w, std::int64_t j,
                                const std::atomic<bool>* cancel,
                                const BatchResults& out) const {
  const int rhs_shift = load_rhs(j, w.b());
  if (m_ == 0 || n_ == 0) {
    write_trivial(j, w.b(), rhs_shift, out);
    return mode_solved;
  }
  load_matrix(w.a());
  const auto m = static_cast<std::int32_t>(m_);
  const auto n = static_cast<std::int32_t>(n_);
  double rnorm = 0.0;
  const SolveOutcome run =
      solve_nnls(w.a(), m, m, n, w.b(), w.x(), &rnorm, w.w(), w.zz(), w.index(), maxiter_,
                 cancel, lookahead_pays(m, n) ? w.lookahead() : nullptr);
  if (run.mode == mode_cancelled) return run.mode;

  // The scaled problem (A*2^c_i, b*2^r) has x_i*2^(r - c_i) and dual
  // w_i*2^(r + c_i) for the solution x and dual w of the original.
  // A solution that leaves the range of float64 when scaled back rounds (to
  // zero or infinity); the front door then recomputes rnorm and dual from
  // the x returned.
  bool rounded = false;
  for (std::int64_t i = 0; i < n_; ++i) {
    const int c = column_shift_[i];
    const double xi = shifted(w.x()[i], c - rhs_shift);
    rounded = rounded || shifted(xi, rhs_shift - c) != w.x()[i];
    out.x[i * k_ + j] = xi;
    out.dual[i * k_ + j] = shifted(w.w()[i], -(c + rhs_shift));
    out.passive[i * k_ + j] = false;
  }
  for (std::int32_t p = 0; p < run.nsetp; ++p) {
    out.passive[static_cast<std::int64_t>(w.index()[p] - 1) * k_ + j] = true;
  }
  out.rnorm[j] = shifted(rnorm, -rhs_shift);
  out.iterations[j] = run.iterations;
  out.status[j] = run.mode | (rounded ? status::refit : 0);
  return run.mode;
}

}  // namespace tovrin
