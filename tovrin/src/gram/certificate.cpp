// The tests of the certificate that need A; see certificate.h.
#include "gram/certificate.h"

#include <cstring>

#include "common/team.h"
#include "gram/factor.h"
#include "gram/form.h"

namespace tovrin {
namespace gram {

namespace {

// |v| below this many roundings of its terms is no direction at all.
constexpr double orthogonal_rounding = 64;
// Variables from which the Gram-form dual c - G x is formed by the team's
// matrix-vector kernel rather than column by column on the calling thread.
constexpr std::int32_t shared_dual = 256;

}  // namespace

double residual_lowering(std::int32_t m, const double* a, std::ptrdiff_t lda,
                         const std::int32_t* set, std::int32_t p, const double* z,
                         std::int32_t t, const double* r, double* v) {
  const double* at = a + std::ptrdiff_t(t) * lda;
  std::memcpy(v, at, sizeof(double) * std::size_t(m));
  // Each v_i sums |a_ti| + sum over F of |a_ij z_j| in magnitude: v's
  // rounding is about sqrt(m) eps (|a_t| + sum |a_j| |z_j|).
  double terms = std::sqrt(dot(m, at, at));
  for (std::int32_t q = 0; q < p; ++q) {
    const double* aj = a + std::ptrdiff_t(set[q]) * lda;
    axpy(m, -z[q], aj, v);
    terms += std::sqrt(dot(m, aj, aj)) * std::fabs(z[q]);
  }
  const double rounding = orthogonal_rounding * std::sqrt(double(m)) * eps * terms;
  const double vnorm = std::sqrt(dot(m, v, v));
  if (!(vnorm > rounding)) return zero;
  const double rnorm = std::sqrt(dot(m, r, r));
  return (std::fabs(dot(m, r, v)) + rounding * rnorm) / vnorm;
}

double violation(std::int32_t n, const unsigned char* free, const double* x, const double* w,
                 double tol) {
  double worst = zero;
  for (std::int32_t i = 0; i < n; ++i) {
    const double excess = !(x[i] >= zero) ? infinity : free[i] ? std::fabs(w[i]) : w[i];
    if (!(excess <= worst)) worst = std::isnan(excess) ? infinity : excess;
  }
  if (worst == zero) return zero;
  return tol > zero ? worst / tol : infinity;
}

Certificate::Certificate(const GramMatrix& g, const DataMatrix* a, Team& team)
    : g_(g), a_(a), team_(team), n_(g.n), m_(a != nullptr ? a->m : 0),
      r_(std::size_t(m_)), orth_(static_cast<std::size_t>(m_)),
      v_(std::size_t(n_)), grad_(static_cast<std::size_t>(n_)), xs_(static_cast<std::size_t>(n_)), z_(static_cast<std::size_t>(n_)),
      u_(std::size_t(n_)), nonzero_(std::size_t(n_)) {}

double Certificate::spread(const double* x, double bnorm) const {
  double s = bnorm;
  for (std::int32_t j = 0; j < n_; ++j) {
    if (x[j] != zero) s += std::sqrt(g_.diagonal(j)) * std::fabs(x[j]);
  }
  return s;
}

void Certificate::gram_dual(const double* c, const double* x, double* w) {
  std::memcpy(w, c, sizeof(double) * std::size_t(n_));
  if (g_.upper) {
    // G in its upper triangle: column j's part above the diagonal serves
    // rows i < j (G_ij x_j) and row j (G_ij x_i).
    for (std::int32_t j = 0; j < n_; ++j) {
      const double* gj = g_.g + std::ptrdiff_t(j) * g_.ldg;
      axpy(j, -x[j], gj, w);
      w[j] -= dot(j, gj, x) + g_.diagonal(j) * x[j];
    }
    return;
  }
  if (n_ < shared_dual) {
    // Few variables: G's columns of x's nonzero entries, in index order.
    std::int32_t p = 0;
    for (std::int32_t j = 0; j < n_; ++j) {
      if (x[j] != zero) nonzero_[std::size_t(p++)] = j;
    }
    subtract_columns(n_, p, g_.g, g_.ldg, nonzero_.data(), x, w);
    return;
  }
  dense::gemv(team_, dense::Op::none, n_, n_, -one, g_.g, g_.ldg, x, one, w);
}

// Steps with g = (A S)'(b - A S x) where A is given (corrected semi-normal
// equations: the residual of the least-squares form), else g = c - G x.
// r_ = b - A S x.
void Certificate::residual(const double* x) {
  if (b_->step == 1 && b_->shift == 0) {
    a_->residual(team_, b_->base, x, xs_.data(), r_.data());
    return;
  }
  b_->gather(m_, r_.data());
  a_->residual(team_, r_.data(), x, xs_.data(), r_.data());
}

void Certificate::refine(FreeSystem& system, const double* c, Refinement& refinement,
                         double* x) {
  const std::int32_t p = system.free_count();
  const std::int32_t* set = system.free_set();
  do {
    if (a_ != nullptr) {
      residual(x);
      a_->gradient(team_, r_.data(), grad_.data());
    } else {
      gram_dual(c, x, grad_.data());
    }
    for (std::int32_t q = 0; q < p; ++q) {
      v_[std::size_t(q)] = u_[std::size_t(q)] = grad_[std::size_t(set[q])];
    }
    system.solve_free(v_.data());
    // g'd = d'G_FF d = |A_F d|^2 for the step d = G_FF^-1 g.
    const double fit =
        a_ != nullptr ? std::sqrt(std::fmax(dot(p, u_.data(), v_.data()), zero)) : zero;
    double dmax = zero;
    for (std::int32_t q = 0; q < p; ++q) {
      double& xj = x[set[q]];
      xj = xj + v_[std::size_t(q)];
      dmax = std::fmax(dmax, std::fabs(v_[std::size_t(q)]));
    }
    const double xmax = max_abs(x, n_);
    if (!refinement.record({xmax > zero ? dmax / xmax : dmax, fit})) break;
  } while (refinement.steps() < max_refinements);
}

Verdict Certificate::check(FreeSystem& system, const unsigned char* free, const double* c,
                           const RightHandSide* b, double error, double* x, double* w) {
  Verdict verdict;
  verdict.error = error;
  b_ = a_ != nullptr ? b : nullptr;
  const double btb = b_ != nullptr ? b_->btb : zero;
  const double bnorm = std::sqrt(btb);
  bool settled = true;
  if (error > refine_threshold && system.free_count() > 0) {
    Refinement refinement(spread(x, bnorm));
    refine(system, c, refinement, x);
    verdict.error = refinement.error();
    verdict.refinements = refinement.steps();
    settled = refinement.residual_settled();
  }
  gram_dual(c, x, w);
  const double scale = g_.gnorm * max_abs(x, n_) + max_abs(c, n_);
  bool accurate = violation(n_, free, x, w, dual_tolerance * scale) <= one &&
                  verdict.error <= accuracy_target && settled;
  if (a_ != nullptr) {
    const double across = spread(x, bnorm);
    const double squares =
        gram_residual_squares(btb, dot(n_, x, c), dot(n_, x, w), across, m_, n_);
    const bool weak = held_dual_weak(free, w, scale);
    if (squares >= zero && !(accurate && weak)) {
      verdict.rnorm = std::sqrt(squares);
    } else if (defer_rnorm_ && !(accurate && weak)) {
      verdict.rnorm = rnorm_deferred;
    } else {
      residual(x);
      verdict.rnorm = std::sqrt(dot(m_, r_.data(), r_.data()));
      if (accurate && weak) accurate = held_duals_hold(system, free, x, w, scale, across);
    }
  }
  verdict.status = accurate ? status::solved : status::gram_inaccurate;
  if (accurate) {
    for (std::int32_t j = 0; j < n_; ++j) {
      if (free[j]) w[j] = zero;
    }
  }
  return verdict;
}

bool Certificate::held_dual_weak(const unsigned char* free, const double* w,
                                 double scale) const {
  const double weak = -dual_tolerance * scale;
  for (std::int32_t i = 0; i < n_; ++i) {
    if (!free[i] && w[i] > weak && g_.diagonal(i) > zero) return true;
  }
  return false;
}

// The held variables whose dual is not clearly negative, checked with A on
// the residual r_ (held_dual, and residual_lowering where the Gram form
// cannot decide).
bool Certificate::held_duals_hold(FreeSystem& system, const unsigned char* free, const double* x,
                                  const double* w, double scale, double across) {
  const double weak = -dual_tolerance * scale;
  const double rnorm = std::sqrt(dot(m_, r_.data(), r_.data()));
  const double xmax = max_abs(x, n_);
  // The duals from A, (A S)'(b - A S x).
  a_->gradient(team_, r_.data(), grad_.data());
  for (std::int32_t i = 0; i < n_; ++i) {
    const double gii = g_.diagonal(i);
    if (free[i] || !(w[i] > weak) || !(gii > zero)) continue;
    const double wa = grad_[std::size_t(i)];
    const double noise = residual_rounding * std::sqrt(double(m_)) * std::sqrt(gii) * across;
    switch (held_dual(wa, noise, system.held_pivot_squared(i), xmax, rnorm, across)) {
      case HeldDual::settled:
        break;
      case HeldDual::missed:
        return false;
      case HeldDual::unresolved:
        system.solve_column(i, z_.data());
        if (lowering(i, z_.data(), system) > residual_target * across) return false;
        break;
    }
  }
  return true;
}

// residual_lowering for the data matrix of any layout: v = (A S)(e_t - z)
// with z on F.
double Certificate::lowering(std::int32_t t, const double* z, const FreeSystem& system) {
  const std::int32_t p = system.free_count();
  const std::int32_t* set = system.free_set();
  std::memset(u_.data(), 0, sizeof(double) * std::size_t(n_));
  u_[std::size_t(t)] = one;
  double terms = std::sqrt(g_.diagonal(t));
  for (std::int32_t q = 0; q < p; ++q) {
    u_[std::size_t(set[q])] = -z[q];
    terms += std::sqrt(g_.diagonal(set[q])) * std::fabs(z[q]);
  }
  a_->apply(team_, u_.data(), xs_.data(), orth_.data());
  const double rounding = orthogonal_rounding * std::sqrt(double(m_)) * eps * terms;
  const double vnorm = std::sqrt(dot(m_, orth_.data(), orth_.data()));
  if (!(vnorm > rounding)) return zero;
  const double rnorm = std::sqrt(dot(m_, r_.data(), r_.data()));
  return (std::fabs(dot(m_, r_.data(), orth_.data())) + rounding * rnorm) / vnorm;
}

Verdict certify_residual(const ResidualProblem& pr, const unsigned char* free, double* x,
                         double* d, double& r2) {
  const std::int32_t n = pr.n;
  Verdict verdict;
  std::vector<std::int32_t> set;
  for (std::int32_t i = 0; i < n; ++i) {
    if (free[i]) set.push_back(i);
  }
  const std::int32_t p = std::int32_t(set.size());
  Factor factor(std::max(p, 1));
  std::vector<double> diag(static_cast<std::size_t>(n)), v(static_cast<std::size_t>(n));
  std::vector<double> z(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) diag[std::size_t(i)] = pr.g[std::size_t(i) * (n + 1)];
  if (!factor.make(pr.g, n, set.data(), p)) {
    verdict.status = status::gram_inaccurate;
    verdict.rnorm = std::sqrt(std::fmax(r2, zero));
    return verdict;
  }
  const double rho = eps * factor.condition(diag.data(), v.data(), z.data());
  // The step and its effects: d_F'step = |A_F step|^2.
  for (std::int32_t q = 0; q < p; ++q) v[std::size_t(q)] = d[set[std::size_t(q)]];
  std::vector<double> step(v.begin(), v.begin() + p);
  factor.solve(step.data());
  const double fit = std::sqrt(std::fmax(dot(p, v.data(), step.data()), zero));
  double dmax = zero;
  bool positive = true;
  for (std::int32_t q = 0; q < p; ++q) {
    const std::int32_t j = set[std::size_t(q)];
    x[j] = x[j] + step[std::size_t(q)];
    positive = positive && x[j] > zero;
    dmax = std::fmax(dmax, std::fabs(step[std::size_t(q)]));
    const double* gj = pr.g + std::size_t(j) * n;
    axpy(n, -step[std::size_t(q)], gj, d);
  }
  r2 = r2 - fit * fit;
  verdict.refinements = 1;
  verdict.rnorm = std::sqrt(std::fmax(r2, zero));
  // The step corrected the error of x; what is left of it is about rho times
  // as large (the contraction of refinement through the factor of G_FF).
  const double xmax = max_abs(x, n);
  const double contraction = std::fmin(one, rho);
  verdict.error = std::fmax((xmax > zero ? dmax / xmax : dmax) * contraction, 4 * eps);
  double gnorm = zero;
  for (std::int32_t j = 0; j < n; ++j) {
    double sum = zero;
    for (std::int32_t i = 0; i < n; ++i) sum += std::fabs(pr.g[i + std::size_t(j) * n]);
    gnorm = std::fmax(gnorm, sum);
  }
  const double scale = gnorm * xmax + max_abs(pr.c, n);
  double across = std::sqrt(std::fmax(pr.btb, zero));
  for (std::int32_t j = 0; j < n; ++j) across += std::sqrt(diag[std::size_t(j)]) * std::fabs(x[j]);
  bool accurate = positive && verdict.error <= accuracy_target &&
                  fit * contraction <= residual_target * across;
  for (std::int32_t i = 0; i < n && accurate; ++i) {
    const double noise =
        residual_rounding * std::sqrt(double(pr.m)) * std::sqrt(diag[std::size_t(i)]) * across;
    const double tol = std::fmax(dual_tolerance * scale, noise);
    if (free[i]) {
      accurate = std::fabs(d[i]) <= tol;
    } else if (d[i] > -dual_tolerance * scale && diag[std::size_t(i)] > zero) {
      const double* gi = pr.g + std::size_t(i) * n;
      for (std::int32_t q = 0; q < p; ++q) z[std::size_t(q)] = gi[set[std::size_t(q)]];
      factor.forward(z.data());
      const double pivot_squared =
          std::fmax(diag[std::size_t(i)] - dot(p, z.data(), z.data()), eps * diag[std::size_t(i)]);
      accurate = d[i] <= tol && held_dual(d[i], noise, pivot_squared, xmax, verdict.rnorm,
                                          across) == HeldDual::settled;
    }
  }
  verdict.status = accurate ? status::solved : status::gram_inaccurate;
  if (accurate) {
    for (std::int32_t j : set) d[j] = zero;
  }
  return verdict;
}

}  // namespace gram
}  // namespace tovrin
