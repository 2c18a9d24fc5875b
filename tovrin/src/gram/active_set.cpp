// The one-at-a-time method of the Gram form; see active_set.h.
//
// Notation: p = |F|; the factor's positions list F in order of entry;
// y = L^-1 c(F).  Positions index the factor, variables index G, c, x and w.
#include "gram/active_set.h"

#include <cmath>
#include <cstring>

#include "gram/form.h"
#include "gram/kernels.h"

namespace tovrin {
namespace gram {

namespace {

// The state of one solve: the problem, the factor, the iterate.
class ActiveSet {
 public:
  ActiveSet(const GramMatrix& g, const double* c, ActiveSetWorkspace& wk, double* x, double* w,
            unsigned char* free)
      : g_(g), n_(g.n), c_(c), cnorm_(max_abs(c, g.n)), wk_(wk), f_(wk.factor), x_(x), w_(w),
        free_(free) {
    f_.clear();
    std::memset(x_, 0, sizeof(double) * std::size_t(n_));
    std::memset(free_, 0, std::size_t(n_));
    std::memcpy(w_, c_, sizeof(double) * std::size_t(n_));
  }

  std::int32_t size() const { return f_.size(); }

  // The scale that the tolerances are relative to.
  double scale() const { return g_.gnorm * max_abs(x_, n_) + cnorm_; }

  // w = c - sum over positions of G(:, t) x_t, each w_j one accumulator in
  // position order.
  void dual() {
    std::memcpy(w_, c_, sizeof(double) * std::size_t(n_));
    subtract_columns(n_, f_.size(), g_.g, g_.ldg, f_.set(), x_, w_);
  }

  // The held variable with the largest dual above tol that has not been
  // refused since the last dual, or -1.  Ties go to the lower index; a NaN
  // dual is never chosen.
  std::int32_t candidate(double tol) const {
    std::int32_t t = -1;
    double best = tol;
    for (std::int32_t j = 0; j < n_; ++j) {
      if (free_[j] || wk_.refused[std::size_t(j)]) continue;
      if (w_[j] > best) {
        best = w_[j];
        t = j;
      }
    }
    return t;
  }

  // Appends t to F (Factor::append, y alike).  Returns false, leaving
  // everything unchanged, when t is numerically in the span of the free
  // columns (or G_tt <= 0).
  bool append(std::int32_t t) {
    const double* gt = g_.column(t);
    double* column = wk_.column.data();
    for (std::int32_t q = 0; q < f_.size(); ++q) column[q] = gt[f_.variable(q)];
    if (!f_.append(t, column, gt[t], wk_.y.data(), c_[t])) return false;
    free_[t] = 1;
    return true;
  }

  // Removes the last position (a candidate that failed its first trial).
  void drop_last() {
    free_[f_.variable(f_.size() - 1)] = 0;
    f_.remove(f_.size() - 1, wk_.y.data());
  }

  // Removes position q, y rotated alike.
  void remove(std::int32_t q) {
    const std::int32_t leaving = f_.variable(q);
    f_.remove(q, wk_.y.data());
    free_[leaving] = 0;
    x_[leaving] = zero;
  }

  // The trial solution s = G_FF^-1 c_F = L^-T y.
  void trial() {
    std::memcpy(wk_.s.data(), wk_.y.data(), sizeof(double) * std::size_t(f_.size()));
    f_.backward(wk_.s.data());
  }
  double last_trial_value() const { return wk_.s[std::size_t(f_.size() - 1)]; }

  // Minimises f over the free variables, starting from the trial solution
  // in s: steps back along the segment from x to the trial solution until
  // all free variables are positive, moving those that reach zero out of F,
  // then takes x_F = s.  Returns false when maxiter trials have been spent
  // first.
  bool settle(std::int32_t& iterations, std::int32_t maxiter) {
    double* s = wk_.s.data();
    for (;;) {
      const std::int32_t p = f_.size();
      // alpha = min over positions with s <= 0 of x / (x - s); x > 0 on F
      // before the step, so 0 <= alpha < 1.
      double alpha = infinity;
      std::int32_t qmin = -1;
      for (std::int32_t q = 0; q < p; ++q) {
        if (s[q] > zero) continue;
        const double xj = x_[f_.variable(q)];
        const double a = xj / (xj - s[q]);
        if (qmin < 0 || a < alpha) {
          alpha = a;
          qmin = q;
        }
      }
      if (qmin < 0) {
        for (std::int32_t q = 0; q < p; ++q) x_[f_.variable(q)] = s[q];
        return true;
      }
      for (std::int32_t q = 0; q < p; ++q) {
        double& xj = x_[f_.variable(q)];
        xj = xj + alpha * (s[q] - xj);
      }
      x_[f_.variable(qmin)] = zero;
      for (std::int32_t q = p - 1; q >= 0; --q) {
        if (!(x_[f_.variable(q)] > zero)) remove(q);
      }
      if (iterations >= maxiter) return false;
      trial();
      ++iterations;
    }
  }

  // The main loop of the method.  Returns the status.
  std::int64_t iterate(std::int32_t maxiter, const std::atomic<bool>* cancel, Outcome& out) {
    for (;;) {
      if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return status::cancelled;
      std::memset(wk_.refused.data(), 0, std::size_t(n_));
      const double tol = entering_tolerance * scale();
      for (;;) {
        const std::int32_t t = candidate(tol);
        if (t < 0) return status::solved;
        if (!append(t)) {
          wk_.refused[std::size_t(t)] = 1;
          ++out.rejected;
          continue;
        }
        // A candidate whose first trial value is not positive cannot enter
        // (rounding has made its dual look positive): refuse it, as the
        // exact method does, and try the next.
        if (out.iterations >= maxiter) {
          drop_last();
          return status::iteration_limit;
        }
        trial();
        ++out.iterations;
        if (last_trial_value() > zero) break;
        drop_last();
        wk_.refused[std::size_t(t)] = 1;
      }
      if (!settle(out.iterations, maxiter)) {
        dual();
        return status::iteration_limit;
      }
      dual();
    }
  }

  // The certificate on the final free set, with eps cond(G_FF) as the
  // predicted error of the unrefined x.
  Verdict certify(Certificate& certificate, const RightHandSide* b) {
    const std::int32_t p = f_.size();
    double* z = wk_.s.data();
    double* v = wk_.column.data();
    double largest = zero;
    for (std::int32_t q = 0; q < p; ++q) largest = std::fmax(largest, g_.diagonal(f_.variable(q)));
    const double error = eps * lower_condition(p, f_.lower(), f_.ld(), largest, z, v);
    FactorSystem system(g_.g, g_.ldg, f_, wk_.column.data());
    return certificate.check(system, free_, c_, b, error, x_, w_);
  }

 private:
  const GramMatrix& g_;
  std::int32_t n_;
  const double* c_;
  double cnorm_;
  ActiveSetWorkspace& wk_;
  Factor& f_;
  double* x_;
  double* w_;
  unsigned char* free_;
};

}  // namespace

ActiveSetWorkspace::ActiveSetWorkspace(std::int32_t n)
    : factor(n), y(static_cast<std::size_t>(n)), s(static_cast<std::size_t>(n)), column(static_cast<std::size_t>(n)),
      refused(std::size_t(n)) {}

double gram_norm(const double* g, std::ptrdiff_t ldg, std::int32_t n) {
  double norm = zero;
  for (std::int32_t j = 0; j < n; ++j) {
    double sum = zero;
    for (std::int32_t i = 0; i < n; ++i) sum += std::fabs(g[i + j * ldg]);
    norm = std::fmax(norm, sum);
  }
  return norm;
}

Outcome solve(const GramMatrix& g, const double* c, const RightHandSide* b,
              std::int32_t maxiter, const std::atomic<bool>* cancel, ActiveSetWorkspace& work,
              Certificate& certificate, double* x, double* w, unsigned char* free) {
  ActiveSet as(g, c, work, x, w, free);
  Outcome out;
  out.status = as.iterate(maxiter, cancel, out);
  if (out.status != status::solved) return out;
  const Verdict verdict = as.certify(certificate, b);
  out.rnorm = verdict.rnorm;
  out.status = out.rejected > 0 ? status::gram_inaccurate : verdict.status;
  return out;
}

}  // namespace gram
}  // namespace tovrin
