// Non-negative least squares in the Gram form: minimise
//     f(x) = 1/2 x'G x - c'x   subject to x >= 0,
// with G = A'A (n x n, symmetric positive semi-definite) and c = A'b, which
// has the same minimisers as ||A x - b|| over x >= 0.
//
// The method is the active-set method of Lawson and Hanson in the order of
// Bro and de Jong: the dual w = c - G x chooses the entering variable, the
// inner loop steps back along the segment to the trial solution until every
// passive variable is positive.  The passive-set system G_PP s = c_P is
// solved through an upper-triangular R with G_PP = R'R (P in the order the
// variables entered): a column is appended when a variable enters and
// deleted, with Givens rotations restoring triangular form, when one leaves,
// so no step refactorises.  y = R^-T c_P is carried along with R, so each
// trial solution costs one back-substitution.
//
// Arithmetic: every sum has one accumulator and adds its terms in a fixed
// order (dual: over P in the order of entry; triangular solves: along the
// column), no product is fused into an add.  The results of one problem
// depend only on (G, c, A, b, maxiter): the same bits on every run and in
// every thread.
//
// The Gram form squares the condition number of A.  After the iterations
// the solver checks the optimality conditions and estimates cond(G_PP);
// when A and b are at hand it refines x on the final passive set with the
// residual of A (corrected semi-normal equations).  A result that fails the
// check or whose predicted error is above accuracy_target is reported as
// status_inaccurate, never as solved.
#ifndef TOVRIN_GRAM_NNLS_H
#define TOVRIN_GRAM_NNLS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tovrin {
namespace gram {

// Status codes, the same numbers as the package's Status enum.
constexpr int status_solved = 1;
constexpr int status_iteration_limit = 3;
// The result may be inaccurate: the optimality check failed, a candidate
// with a positive dual met a pivot too small for the Gram form, the
// predicted relative error of x is above accuracy_target, or (with A) a
// variable of Z that the Gram form cannot resolve should have entered.
constexpr int status_inaccurate = 4;
// The cancellation flag was seen; x and w hold the last iterate.
constexpr int status_cancelled = -1;

// Optimality tolerance, relative to the scale ||G||_1 ||x||_inf + ||c||_inf:
// |w_j| <= tol on P, w_j <= tol on Z.
constexpr double dual_tolerance = 1e-10;
// A variable enters only while its dual exceeds this fraction of the same
// scale (well below dual_tolerance, above the rounding of w).
constexpr double entering_tolerance = 1e-13;
// A candidate whose new pivot r_tt^2 / G_tt (the squared sine of its angle
// to the span of the passive columns) is at or below this is numerically
// dependent in the Gram form and is not taken into P.
constexpr double dependent_pivot = 1e-13;
// Rounding of a_j'(b - A x) per unit of sqrt(m) ||a_j|| (||b|| + sum over P
// of ||a_j|| x_j): a dual recomputed from A below this says nothing.
constexpr double residual_rounding = 2 * 2.220446049250313e-16;
// Predicted relative error of x above which the result is flagged.
constexpr double accuracy_target = 1e-8;
// Refinement with A runs when the predicted error eps*cond(G_PP) of the
// unrefined x exceeds this.
constexpr double refine_threshold = 1e-13;
// Refinement steps at most.
constexpr int max_refinements = 4;

// One problem in the Gram form.  g is column-major with leading dimension
// ldg; G is read by columns only (symmetric input is the caller's promise).
// gnorm = ||G||_1 (see gram_norm), shared by all problems with one G.
struct GramProblem {
  const double* g;
  std::ptrdiff_t ldg;
  std::int32_t n;
  const double* c;
  double gnorm;
};

// The data of the least-squares form, for refinement: A column-major m x n
// with leading dimension lda, and b.  Optional.
struct LeastSquares {
  const double* a;
  std::ptrdiff_t lda;
  std::int32_t m;
  const double* b;
};

// What the solver reports beside x, w and the passive flags.
struct Outcome {
  int status = status_solved;
  std::int32_t iterations = 0;    // trial solutions (triangular solves)
  double condition = 1.0;         // estimate of cond_2(G_PP) at the end
  double error_estimate = 0.0;    // predicted relative error of x
  double violation = 0.0;         // worst optimality violation / tolerance
  std::int32_t refinements = 0;   // refinement steps taken with A
  std::int32_t rejected = 0;      // candidates refused for a small pivot
  double rnorm = -1.0;            // ||b - A x|| when A and b were given
};

// Storage of one solve; one per worker, reused across problems of the same
// n (and m, for refinement).  Owns its buffers; solve allocates nothing.
struct Workspace {
  Workspace(std::int32_t n, std::int32_t m);
  std::int32_t n, m;
  std::vector<double> r;        // R, column-major with leading dimension n
  std::vector<double> y;        // R^-T c_P
  std::vector<double> s;        // trial solution, by position in P
  std::vector<double> col;      // scratch column of length n
  std::vector<double> resid;    // b - A x, length m
  std::vector<double> orth;     // scratch of length m
  std::vector<std::int32_t> set;         // P in order of entry
  std::vector<unsigned char> in_p;       // in_p[j]: j is in P
  std::vector<unsigned char> refused;    // candidate refused since the last dual
};

// ||G||_1 = max_j sum_i |G_ij|, the scale of the tolerances.
double gram_norm(const double* g, std::ptrdiff_t ldg, std::int32_t n);

// Solves one problem.  On exit x (n) is the solution, w (n) the dual
// c - G x, passive[j] = 1 for j in P and 0 otherwise.  maxiter >= 1 bounds
// the trial solutions; ls may be null; cancel may be null, else it is read
// once per outer iteration.  The workspace must have the problem's n (and
// m >= ls->m when ls is given).
Outcome solve(const GramProblem& problem, const LeastSquares* ls,
              std::int32_t maxiter, const std::atomic<bool>* cancel,
              Workspace& work, double* x, double* w, unsigned char* passive);


// A free set and the Cholesky factor of its system as block principal
// pivoting leaves them (gram_factor.h): R'R = G(set, set), R upper
// triangular, column-major with leading dimension ldr, positions in the
// order of set.
struct FactorView {
  const std::int32_t* set;
  const double* r;
  std::ptrdiff_t ldr;
  std::int32_t p;
};

// Like solve, but continues from the minimiser of f on the set of start
// (whose pivots the caller has checked): the positions whose trial value is
// not positive leave, one trial per pass, until x > 0 on the rest; then the
// one-at-a-time iterations run from there (none when the set is optimal)
// and the same checks follow.  Every trial counts against maxiter.
Outcome solve_from(const GramProblem& problem, const LeastSquares* ls, const FactorView& start,
                   std::int32_t maxiter, const std::atomic<bool>* cancel, Workspace& work,
                   double* x, double* w, unsigned char* passive);

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_NNLS_H
