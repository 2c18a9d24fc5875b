// Active-set NNLS on the Gram form with an updated Cholesky factor; see
// gram_nnls.h for the method and its guarantees.
//
// Notation: p = |P|; set[0..p) lists P in order of entry; R (p x p, upper
// triangular, leading dimension n) satisfies R'R = G(set, set);
// y = R^-T c(set).  Positions index set, variables index G, c, x and w.
#include "gram/active_set.h"

#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

#include "gram/certificate.h"
#include "gram/factor.h"
#include "gram/kernels.h"

namespace tovrin {
namespace gram {

namespace {

// The state of one solve: the problem, the factor, the iterate.
class ActiveSet {
 public:
  ActiveSet(const GramProblem& pr, Workspace& wk, double* x, double* w)
      : g_(pr.g), ldg_(pr.ldg), n_(pr.n), c_(pr.c), gnorm_(pr.gnorm),
        cnorm_(max_abs(pr.c, pr.n)), wk_(wk), x_(x), w_(w) {}

  std::int32_t size() const { return p_; }
  std::int32_t variable(std::int32_t pos) const { return wk_.set[pos]; }
  const double* column(std::int32_t j) const { return g_ + j * ldg_; }
  double* rcol(std::int32_t pos) { return wk_.r.data() + std::ptrdiff_t(pos) * n_; }
  double diag(std::int32_t j) const { return column(j)[j]; }

  // The scale that the tolerances are relative to.
  double scale() const { return gnorm_ * max_abs(x_, n_) + cnorm_; }

  // w = c - sum over positions of G(:, set[pos]) x(set[pos]), each w_j one
  // accumulator in position order.
  void dual() {
    std::memcpy(w_, c_, sizeof(double) * std::size_t(n_));
    subtract_columns(n_, p_, g_, ldg_, wk_.set.data(), x_, w_);
  }

  // The variable of Z with the largest dual above tol that has not been
  // refused since the last dual, or -1.  Ties go to the lower index; a NaN
  // dual is never chosen.
  std::int32_t candidate(double tol) const {
    std::int32_t t = -1;
    double best = tol;
    for (std::int32_t j = 0; j < n_; ++j) {
      if (wk_.in_p[j] || wk_.refused[j]) continue;
      if (w_[j] > best) {
        best = w_[j];
        t = j;
      }
    }
    return t;
  }

  // Appends t to P (append_variable: R gains the column r = R^-T G(set, t)
  // and the pivot sqrt(G_tt - r'r)); y gains (c_t - r'y) / pivot.  Returns
  // false, leaving everything unchanged, when t is numerically in the span
  // of the passive columns (or G_tt <= 0).
  bool append(std::int32_t t) {
    if (!append_variable(p_, wk_.r.data(), n_, wk_.set.data(), g_, ldg_, t)) return false;
    const double* r = rcol(p_);
    wk_.y[p_] = (c_[t] - dot(p_, r, wk_.y.data())) / r[p_];
    wk_.in_p[t] = 1;
    ++p_;
    return true;
  }

  // Takes P = start.set with its factor and forms y = R^-T c(set).
  void load(const FactorView& start) {
    p_ = start.p;
    for (std::int32_t pos = 0; pos < p_; ++pos) {
      wk_.set[pos] = start.set[pos];
      wk_.in_p[start.set[pos]] = 1;
      std::memcpy(rcol(pos), start.r + pos * start.ldr, sizeof(double) * std::size_t(pos + 1));
      wk_.y[pos] = c_[start.set[pos]];
    }
    forward_substitute(wk_.y.data());
  }

  // Removes every position whose trial value in s is not positive.
  void remove_nonpositive() {
    for (std::int32_t pos = p_ - 1; pos >= 0; --pos) {
      if (!(wk_.s[pos] > zero)) remove(pos);
    }
  }

  // Back to x = 0, P empty, w = c.
  void reset() {
    for (std::int32_t pos = 0; pos < p_; ++pos) {
      wk_.in_p[wk_.set[pos]] = 0;
      x_[wk_.set[pos]] = zero;
    }
    p_ = 0;
    std::memcpy(w_, c_, sizeof(double) * std::size_t(n_));
  }

  // Whether the trial solution in s is positive; if so x(set) = s.
  bool accept_trial() {
    const double* s = wk_.s.data();
    for (std::int32_t pos = 0; pos < p_; ++pos) {
      if (!(s[pos] > zero)) return false;
    }
    for (std::int32_t pos = 0; pos < p_; ++pos) x_[wk_.set[pos]] = s[pos];
    return true;
  }

  // w = 0 on P: the dual of a solution vanishes on its free set, and what
  // the Gram form leaves there is rounding (certified below tolerance).
  void clear_free_duals() {
    for (std::int32_t pos = 0; pos < p_; ++pos) w_[wk_.set[pos]] = zero;
  }

  // Removes the last position (a candidate that failed its first trial).
  void drop_last() {
    --p_;
    wk_.in_p[wk_.set[p_]] = 0;
  }

  // Removes position q (delete_position, its rotations applied to y
  // alike): R'R = G(set, set) and y = R^-T c(set) again after.
  void remove(std::int32_t q) {
    const std::int32_t leaving = wk_.set[q];
    delete_position(p_, wk_.r.data(), n_, wk_.set.data(), q, wk_.y.data());
    --p_;
    wk_.in_p[leaving] = 0;
    x_[leaving] = zero;
  }

  // s = R^-1 v by columns: s_k = v_k / R_kk, then v(0..k) -= s_k R(0..k, k)
  // for k from p-1 down.  v is overwritten.
  void back_substitute(double* v, double* s) { solve_upper(p_, wk_.r.data(), n_, v, s); }

  // v = R^-T v in place (forward substitution by dot products with the
  // columns of R).
  void forward_substitute(double* v) { solve_transposed(p_, wk_.r.data(), n_, v); }

  // The trial solution s = G(set, set)^-1 c(set) = R^-1 y.
  void trial() {
    double* v = wk_.col.data();
    std::memcpy(v, wk_.y.data(), sizeof(double) * std::size_t(p_));
    back_substitute(v, wk_.s.data());
  }

  // Minimises f over the passive variables, starting from the trial
  // solution in s: steps back along the segment from x to the trial
  // solution until all passive variables are positive, moving those that
  // reach zero to Z, then takes x(set) = s.  Returns false when maxiter
  // trials have been spent first.
  bool settle(std::int32_t& iterations, std::int32_t maxiter) {
    double* s = wk_.s.data();
    for (;;) {
      // alpha = min over positions with s <= 0 of x / (x - s); x > 0 on P
      // before the step, so 0 <= alpha < 1.
      double alpha = infinity;
      std::int32_t qmin = -1;
      for (std::int32_t pos = 0; pos < p_; ++pos) {
        if (s[pos] > zero) continue;
        const double xj = x_[wk_.set[pos]];
        const double a = xj / (xj - s[pos]);
        if (qmin < 0 || a < alpha) {
          alpha = a;
          qmin = pos;
        }
      }
      if (qmin < 0) {
        for (std::int32_t pos = 0; pos < p_; ++pos) x_[wk_.set[pos]] = s[pos];
        return true;
      }
      for (std::int32_t pos = 0; pos < p_; ++pos) {
        double& xj = x_[wk_.set[pos]];
        xj = xj + alpha * (s[pos] - xj);
      }
      x_[wk_.set[qmin]] = zero;
      for (std::int32_t pos = p_ - 1; pos >= 0; --pos) {
        if (!(x_[wk_.set[pos]] > zero)) remove(pos);
      }
      if (iterations >= maxiter) return false;
      trial();
      ++iterations;
    }
  }

  // Lower-bound estimate of cond_2(G(set, set)) = cond_2(R)^2: ||R|| is at
  // least its largest column norm sqrt(G_jj); ||R^-1|| is at least
  // ||R^-1 z|| / ||z|| for the z = R^-T e with the signs of e = (+-1) chosen
  // to make each z_k large (the estimator of LINPACK's condition routines).
  double condition() {
    if (p_ == 0) return one;
    double* z = wk_.col.data();
    double* v = wk_.s.data();
    double colmax = zero;
    for (std::int32_t k = 0; k < p_; ++k) {
      const double partial = dot(k, rcol(k), z);
      const double e = partial > zero ? -one : one;
      z[k] = (e - partial) / rcol(k)[k];
      colmax = std::fmax(colmax, diag(wk_.set[k]));
    }
    const double znorm = std::sqrt(dot(p_, z, z));
    back_substitute(z, v);
    const double inv = std::sqrt(dot(p_, v, v)) / znorm;
    const double kappa = std::sqrt(colmax) * inv;
    return kappa * kappa;
  }

  // One refinement step on P with the residual of A: d solves
  // G(set, set) d = g = A(:, set)'(b - A x), x(set) += d.
  RefinementStep refine(const LeastSquares& ls) {
    double* rs = wk_.resid.data();
    std::memcpy(rs, ls.b, sizeof(double) * std::size_t(ls.m));
    subtract_columns(ls.m, p_, ls.a, ls.lda, wk_.set.data(), x_, rs);
    double* v = wk_.col.data();
    for (std::int32_t pos = 0; pos < p_; ++pos) {
      v[pos] = dot(ls.m, ls.a + wk_.set[pos] * ls.lda, rs);
    }
    forward_substitute(v);
    // g'd = |R^-T g|^2 = |A(:, set) d|^2.
    const double fit = std::sqrt(dot(p_, v, v));
    double* d = wk_.s.data();
    back_substitute(v, d);
    double dmax = zero;
    for (std::int32_t pos = 0; pos < p_; ++pos) {
      double& xj = x_[wk_.set[pos]];
      xj = xj + d[pos];
      dmax = std::fmax(dmax, std::fabs(d[pos]));
    }
    const double xmax = max_abs(x_, n_);
    return {xmax > zero ? dmax / xmax : dmax, fit};
  }

  // ||b|| + sum over P of ||a_j|| x_j, the scale of the rounding of what is
  // formed from A and b at x.
  double spread(const LeastSquares& ls) const {
    double s = std::sqrt(dot(ls.m, ls.b, ls.b));
    for (std::int32_t pos = 0; pos < p_; ++pos) {
      const std::int32_t j = wk_.set[pos];
      s += std::sqrt(diag(j)) * std::fabs(x_[j]);
    }
    return s;
  }

  // ||b - A x||, the residual formed over P.
  double residual_norm(const LeastSquares& ls) {
    double* rs = wk_.resid.data();
    std::memcpy(rs, ls.b, sizeof(double) * std::size_t(ls.m));
    subtract_columns(ls.m, p_, ls.a, ls.lda, wk_.set.data(), x_, rs);
    return std::sqrt(dot(ls.m, rs, rs));
  }

  // The square of the pivot that t would get on entering, G_tt - r'r with
  // r = R^-T G(set, t), not below the rounding eps*G_tt of that difference.
  double pivot_of(std::int32_t t) {
    double* r = wk_.col.data();
    const double* gt = column(t);
    for (std::int32_t i = 0; i < p_; ++i) r[i] = gt[wk_.set[i]];
    forward_substitute(r);
    return std::fmax(gt[t] - dot(p_, r, r), eps * gt[t]);
  }

  // The dual of Z recomputed from A, which the Gram form cannot resolve
  // for a column nearly in the span of P: w_j = a_j'(b - A x) for each j in
  // Z whose Gram-form dual is not clearly negative.  Where that dual is
  // positive above its rounding and entering j would move x by more than
  // accuracy_target (the step w_j / pivot^2), the Gram form has missed a
  // variable.  Returns false then.
  bool z_duals_hold(const LeastSquares& ls, double scale) {
    const double weak = -dual_tolerance * scale;
    bool any_weak = false;
    for (std::int32_t j = 0; j < n_ && !any_weak; ++j) {
      any_weak = !wk_.in_p[j] && w_[j] > weak && diag(j) > zero;
    }
    if (!any_weak) return true;
    double* rs = wk_.resid.data();
    std::memcpy(rs, ls.b, sizeof(double) * std::size_t(ls.m));
    double spread = std::sqrt(dot(ls.m, ls.b, ls.b));
    for (std::int32_t pos = 0; pos < p_; ++pos) {
      const std::int32_t j = wk_.set[pos];
      axpy(ls.m, -x_[j], ls.a + j * ls.lda, rs);
      spread += std::sqrt(diag(j)) * x_[j];
    }
    const double xmax = max_abs(x_, n_);
    const double rnorm = std::sqrt(dot(ls.m, rs, rs));
    for (std::int32_t j = 0; j < n_; ++j) {
      if (wk_.in_p[j] || !(w_[j] > weak) || !(diag(j) > zero)) continue;
      const double wa = dot(ls.m, ls.a + j * ls.lda, rs);
      const double noise = residual_rounding * std::sqrt(double(ls.m)) *
                           std::sqrt(diag(j)) * spread;
      switch (held_dual(wa, noise, pivot_of(j), xmax, rnorm, spread)) {
        case HeldDual::settled:
          break;
        case HeldDual::missed:
          return false;
        case HeldDual::unresolved: {
          // z = G(set, set)^-1 G(set, j) from R^-T G(set, j), left by pivot_of.
          back_substitute(wk_.col.data(), wk_.s.data());
          const double lowered = residual_lowering(ls.m, ls.a, ls.lda, wk_.set.data(), p_,
                                                   wk_.s.data(), j, rs, wk_.orth.data());
          if (lowered > residual_target * spread) return false;
          break;
        }
      }
    }
    return true;
  }

  // Worst violation of the optimality conditions relative to tol: x >= 0,
  // |w_j| <= tol on P, w_j <= tol on Z.  Below or at 1 when they hold; NaN
  // counts as infinite.
  double violation(double tol) const {
    double worst = zero;
    for (std::int32_t j = 0; j < n_; ++j) {
      double excess;
      if (!(x_[j] >= zero)) {
        excess = infinity;
      } else if (wk_.in_p[j]) {
        excess = std::fabs(w_[j]);
      } else {
        excess = w_[j];
      }
      if (!(excess <= worst)) worst = std::isnan(excess) ? infinity : excess;
    }
    if (worst == zero) return zero;
    return tol > zero ? worst / tol : infinity;
  }

 private:
  const double* g_;
  std::ptrdiff_t ldg_;
  std::int32_t n_;
  const double* c_;
  double gnorm_, cnorm_;
  Workspace& wk_;
  double* x_;
  double* w_;
  std::int32_t p_ = 0;
};

// The main loop of the method.  Returns the status.
int iterate(ActiveSet& as, std::int32_t n, std::int32_t maxiter,
            const std::atomic<bool>* cancel, Workspace& wk, Outcome& out) {
  for (;;) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return status_cancelled;
    std::memset(wk.refused.data(), 0, std::size_t(n));
    const double tol = entering_tolerance * as.scale();
    for (;;) {
      const std::int32_t t = as.candidate(tol);
      if (t < 0) return status_solved;
      if (!as.append(t)) {
        wk.refused[t] = 1;
        ++out.rejected;
        continue;
      }
      // A candidate whose first trial value is not positive cannot enter
      // (rounding has made its dual look positive): refuse it, as the exact
      // method does, and try the next.
      if (out.iterations >= maxiter) {
        as.drop_last();
        return status_iteration_limit;
      }
      as.trial();
      ++out.iterations;
      if (wk.s[as.size() - 1] > zero) break;
      as.drop_last();
      wk.refused[t] = 1;
    }
    if (!as.settle(out.iterations, maxiter)) {
      as.dual();
      return status_iteration_limit;
    }
    as.dual();
  }
}

// Refines x on P while the steps make progress; returns whether the
// residual settled, and leaves the predicted relative error of the refined
// x in out.error_estimate.
bool refine_solution(ActiveSet& as, const LeastSquares& ls, Outcome& out) {
  Refinement refinement(as.spread(ls));
  while (refinement.steps() < max_refinements && refinement.record(as.refine(ls))) {
  }
  out.refinements = refinement.steps();
  out.error_estimate = refinement.error();
  return refinement.residual_settled();
}

}  // namespace

Workspace::Workspace(std::int32_t n_, std::int32_t m_)
    : n(n_), m(m_),
      r(std::size_t(n_) * std::size_t(n_)),
      y(std::size_t(n_)), s(std::size_t(n_)), col(std::size_t(n_)),
      resid(std::size_t(m_ > n_ ? m_ : n_)), orth(std::size_t(m_)),
      set(std::size_t(n_)), in_p(std::size_t(n_)), refused(std::size_t(n_)) {}

double gram_norm(const double* g, std::ptrdiff_t ldg, std::int32_t n) {
  double norm = zero;
  for (std::int32_t j = 0; j < n; ++j) {
    double sum = zero;
    for (std::int32_t i = 0; i < n; ++i) sum += std::fabs(g[i + j * ldg]);
    norm = std::fmax(norm, sum);
  }
  return norm;
}

namespace {

// The checks after the iterations: cond(G_PP), refinement with A where the
// Gram form alone would not be accurate, the optimality conditions and the
// A-form duals; flags the result when any of them fails.
void finish(ActiveSet& as, const LeastSquares* ls, Outcome& out) {
  out.condition = as.condition();
  out.error_estimate = eps * out.condition;
  bool residual_settled = true;
  if (ls != nullptr && out.status == status_solved && as.size() > 0 &&
      out.error_estimate > refine_threshold) {
    residual_settled = refine_solution(as, *ls, out);
    as.dual();
  }
  const double scale = as.scale();
  out.violation = as.violation(dual_tolerance * scale);
  if (out.status == status_solved &&
      (!(out.violation <= one) || !(out.error_estimate <= accuracy_target) ||
       !residual_settled || out.rejected > 0 ||
       (ls != nullptr && !as.z_duals_hold(*ls, scale)))) {
    out.status = status_inaccurate;
  }
  if (ls != nullptr) out.rnorm = as.residual_norm(*ls);
  if (out.status == status_solved) as.clear_free_duals();
}

void start(const GramProblem& problem, Workspace& work, double* x, double* w) {
  assert(work.n == problem.n);
  std::memset(x, 0, sizeof(double) * std::size_t(problem.n));
  std::memset(work.in_p.data(), 0, std::size_t(problem.n));
  std::memcpy(w, problem.c, sizeof(double) * std::size_t(problem.n));
}

}  // namespace

Outcome solve(const GramProblem& problem, const LeastSquares* ls,
              std::int32_t maxiter, const std::atomic<bool>* cancel,
              Workspace& work, double* x, double* w, unsigned char* passive) {
  const std::int32_t n = problem.n;
  assert(ls == nullptr || work.m >= ls->m);
  start(problem, work, x, w);
  ActiveSet as(problem, work, x, w);
  Outcome out;
  out.status = iterate(as, n, maxiter, cancel, work, out);
  if (out.status != status_cancelled) finish(as, ls, out);
  for (std::int32_t j = 0; j < n; ++j) passive[j] = work.in_p[j];
  return out;
}

Outcome solve_from(const GramProblem& problem, const LeastSquares* ls, const FactorView& from,
                   std::int32_t maxiter, const std::atomic<bool>* cancel, Workspace& work,
                   double* x, double* w, unsigned char* passive) {
  const std::int32_t n = problem.n;
  assert(ls == nullptr || work.m >= ls->m);
  start(problem, work, x, w);
  ActiveSet as(problem, work, x, w);
  Outcome out;
  as.load(from);
  // Invariant: R'R = G(set, set) and y = R^-T c(set); P shrinks each pass.
  for (;;) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
      out.status = status_cancelled;
      break;
    }
    if (out.iterations >= maxiter) {
      as.reset();
      out.status = status_iteration_limit;
      break;
    }
    as.trial();
    ++out.iterations;
    if (as.accept_trial()) {
      as.dual();
      out.status = iterate(as, n, maxiter, cancel, work, out);
      break;
    }
    as.remove_nonpositive();
  }
  if (out.status != status_cancelled) finish(as, ls, out);
  for (std::int32_t j = 0; j < n; ++j) passive[j] = work.in_p[j];
  return out;
}

}  // namespace gram
}  // namespace tovrin
