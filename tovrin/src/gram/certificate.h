// What the Gram method vouches for, and the tests that decide it.
//
// A result is reported solved only when
//   * x >= 0 and the optimality conditions hold on the Gram form:
//     |w_j| <= tol on the free set F, w_j <= tol off it (w = c - G x);
//   * x is accurate: the predicted relative error of x, eps * cond(G_FF)
//     or, after refinement with A, the last correction's relative size, is
//     at most accuracy_target;
//   * with A at hand, the residual is as small as the free set allows: the
//     last refinement step moved the fitted values A x by at most
//     residual_target * spread (see below), and no held variable's dual
//     recomputed from A says it should have entered;
// and rnorm = ||b - A x|| describes the x returned: formed with A, or from
// the Gram form only where the rounding bound below keeps it within
// rnorm_accuracy.
//
// spread = ||b|| + sum over F of ||a_j|| x_j is the scale of the rounding of
// everything formed from A and b at x: |fl(b - A x) - (b - A x)| and the
// errors of G and c carried into x'G x and x'c are all of order
// eps * spread (times a dimension).
#ifndef TOVRIN_GRAM_CERTIFICATE_H
#define TOVRIN_GRAM_CERTIFICATE_H

#include <cmath>
#include <cstdint>
#include <vector>

#include "common/status.h"
#include "gram/data.h"
#include "gram/kernels.h"

namespace tovrin {
class Team;
namespace gram {

class FreeSystem;

// Optimality tolerance, relative to the scale ||G||_1 ||x||_inf + ||c||_inf:
// |w_j| <= tol on F, w_j <= tol on H.
constexpr double dual_tolerance = 1e-10;
// A variable enters only while its dual exceeds this fraction of the same
// scale (well below dual_tolerance, above the rounding of w).
constexpr double entering_tolerance = 1e-13;
// Rounding of a_j'(b - A x) per unit of sqrt(m) ||a_j|| spread: a dual
// recomputed from A below this says nothing.
constexpr double residual_rounding = 2 * 2.220446049250313e-16;
// Predicted relative error of x above which the result is flagged.
constexpr double accuracy_target = 1e-8;
// Refinement with A runs when the predicted error eps*cond(G_PP) of the
// unrefined x exceeds this.
constexpr double refine_threshold = 1e-13;
// Refinement steps at most.
constexpr int max_refinements = 4;

// A refinement step whose fitted values moved by at most this fraction of
// spread has left the residual within that much of the least one on F.
constexpr double residual_target = 1e-12;
// Relative accuracy of a reported rnorm (apart from the rounding of
// b - A x itself, of order n eps spread).
constexpr double rnorm_accuracy = 1e-10;

// One refinement step with the residual of A: g = A_F'(b - A x), d =
// G_FF^-1 g, x_F += d.  correction = ||d||_inf / ||x||_inf after the step;
// fit = ||A_F d|| = sqrt(g'd) = ||R^-T g|| for G_FF = R'R.
struct RefinementStep {
  double correction;
  double fit;
};

// Follows the steps of one refinement and decides when to stop and
// whether it reached the accuracy of the certificate.
class Refinement {
 public:
  explicit Refinement(double spread) : spread_(spread) {}

  // Records a step; returns whether another step is worth taking: not
  // when both measures are at their floor, nor when neither halved.
  bool record(const RefinementStep& step) {
    const bool settled = step.correction <= 4 * eps && fitted(step.fit);
    const bool progress =
        step.correction < 0.5 * last_.correction || step.fit < 0.5 * last_.fit;
    last_ = step;
    ++steps_;
    return !settled && progress;
  }

  // The predicted relative error of x after the last step.
  double error() const { return last_.correction; }
  // Whether the last step left the residual within residual_target.
  bool residual_settled() const { return fitted(last_.fit); }
  int steps() const { return steps_; }

 private:
  bool fitted(double fit) const { return fit <= residual_target * spread_; }

  double spread_;
  RefinementStep last_{infinity, infinity};
  int steps_ = 0;
};

// What a held variable's dual from A, wa = a_j'(b - A x) with rounding
// noise, says about the result:
//   missed      entering j would move x by wa / pivot^2 (pivot: j's pivot on
//               the free set), above accuracy_target * xmax;
//   settled     entering j would lower the residual rnorm by at most
//               min((max(wa, 0) + noise) / pivot, rnorm), at most
//               residual_target * spread;
//   unresolved  the Gram form cannot bound what entering j would do to the
//               residual (its pivot is too small against the noise): the
//               caller resolves it with A (residual_lowering).
enum class HeldDual { settled, missed, unresolved };

inline HeldDual held_dual(double wa, double noise, double pivot_squared, double xmax,
                          double rnorm, double spread) {
  if (wa > noise && wa / pivot_squared > accuracy_target * xmax) return HeldDual::missed;
  const double lowered = (std::fmax(wa, zero) + noise) / std::sqrt(pivot_squared);
  if (std::fmin(lowered, rnorm) <= residual_target * spread) return HeldDual::settled;
  return HeldDual::unresolved;
}

// How much entering held variable t could lower ||r||, for r = b - A x
// (orthogonal to the free columns A_F at the solution), resolved with A:
// |r'v| / |v| for the part v = a_t - A_F z of a_t orthogonal to them
// (z = G_FF^-1 G_Ft, in the positions of set), plus the rounding of that
// quotient.  0 when v is below its own rounding: a_t is then in the span of
// A_F to working accuracy, and no method can enter it.  A is column-major
// m x n with leading dimension lda; v is scratch of length m.
double residual_lowering(std::int32_t m, const double* a, std::ptrdiff_t lda,
                         const std::int32_t* set, std::int32_t p, const double* z,
                         std::int32_t t, const double* r, double* v);

// ||b - A x||^2 from the Gram form, b'b - x'c - x'w (w = c - G x), where
// its rounding keeps rnorm within rnorm_accuracy: the products behind it
// carry an error of at most about (m + n + 2) eps spread^2.  Returns -1
// otherwise, when the residual must be formed with A.
inline double gram_residual_squares(double btb, double xc, double xw, double spread,
                                    std::int64_t m, std::int64_t n) {
  const double squares = (btb - xc) - xw;
  const double rounding = double(m + n + 2) * eps * spread * spread;
  return rounding <= 2 * rnorm_accuracy * squares ? squares : -one;
}

// Worst violation of x >= 0, |w_i| <= tol on F, w_i <= tol off F (n flags
// free), relative to tol: at most 1 when they hold; NaN counts as infinite.
double violation(std::int32_t n, const unsigned char* free, const double* x, const double* w,
                 double tol);

// A Verdict's rnorm for a problem whose residual is left to be formed with
// A by its solver, for many problems at once (Certificate::defer_rnorm).
constexpr double rnorm_deferred = -2.0;

// What the certificate found for one problem.
struct Verdict {
  std::int64_t status = status::solved;
  double rnorm = -1.0;        // ||b - A x||, with A (or rnorm_deferred)
  double error = 0.0;         // predicted relative error of x
  int refinements = 0;
};

// The checks of one problem on its final free set, shared by every solver
// of the Gram method.  Work with A is done only where the Gram form cannot
// vouch on its own: refinement where the predicted error calls for it,
// rnorm where the rounding bound of the Gram form does not hold, the duals
// of held variables that are not clearly negative.  Scratch is allocated
// once, for the problems of one worker (or of the team).
class Certificate {
 public:
  // a: the least-squares form, or null for the Gram form alone.
  Certificate(const GramMatrix& g, const DataMatrix* a, Team& team);

  // x (scaled, zero off F): the round's point, refined on exit.  w on exit:
  // the dual c - G x of that x, zero on F when solved.  free: the n flags of
  // F, whose system solves (system).  b: the problem's right-hand side with
  // A, else null and ignored.  error: the predicted relative error of the
  // unrefined x.
  Verdict check(FreeSystem& system, const unsigned char* free, const double* c,
                const RightHandSide* b, double error, double* x, double* w);

  // w = c - G x, the Gram-form dual of x.
  void dual(const double* c, const double* x, double* w) { gram_dual(c, x, w); }

  // From now on, an rnorm that needs A but no other test does is left to
  // the solver (Verdict::rnorm = rnorm_deferred), which forms the residuals
  // of many problems in one product.
  void defer_rnorm() { defer_rnorm_ = true; }

 private:
  void gram_dual(const double* c, const double* x, double* w);
  void residual(const double* x);
  void refine(FreeSystem& system, const double* c, Refinement& refinement, double* x);
  bool held_dual_weak(const unsigned char* free, const double* w, double scale) const;
  bool held_duals_hold(FreeSystem& system, const unsigned char* free, const double* x,
                       const double* w, double scale, double across);
  double lowering(std::int32_t t, const double* z, const FreeSystem& system);
  double spread(const double* x, double bnorm) const;

  GramMatrix g_;
  const DataMatrix* a_;
  Team& team_;
  std::int32_t n_, m_;
  const RightHandSide* b_ = nullptr;           // of the problem being checked
  bool defer_rnorm_ = false;
  std::vector<double> r_, orth_;               // m
  std::vector<double> v_, grad_, xs_, z_, u_;  // n
  std::vector<std::int32_t> nonzero_;          // n
};

// The certificate of one problem solved from the Gram form alone, against
// the residual of a pass over A made afterwards (tovrin.dask on an A larger
// than memory): r2 = ||b - A x||^2 and d = A'(b - A x) for the x given.
// One refinement step with them, x_F += G_FF^-1 d_F, updates x, d and r2
// (d - G(:, F) step, r2 - d_F'step); the optimality conditions are then
// checked on d with tol_i = max(dual_tolerance scale, the rounding of
// a_i'r), and each held dual that is not clearly negative by held_dual,
// an unresolved one failing (there is no A to resolve it with).  G (n x n,
// column-major) and c in any units; free: the n flags of F (x > 0 there).
// m: the rows of A.  Returns the verdict; x, d and r2 are updated.
struct ResidualProblem {
  const double* g;
  std::int32_t n;
  const double* c;
  double btb;
  std::int64_t m;
};
Verdict certify_residual(const ResidualProblem& problem, const unsigned char* free, double* x,
                         double* d, double& r2);

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_CERTIFICATE_H
