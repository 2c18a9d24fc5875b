// The one-at-a-time method of the Gram form, beside block pivoting: the
// active-set method of Lawson and Hanson in the order of Bro and de Jong,
// on
//     minimise f(x) = 1/2 x'G x - c'x   subject to x >= 0.
// The dual w = c - G x chooses the entering variable; the inner loop steps
// back along the segment to the trial solution until every free variable
// is positive.  The free set's system is solved through the factor of
// G_FF (factor.h, positions in the order the variables entered): a
// variable appends a row when it enters and is removed, with Givens
// rotations, when it leaves, so no step refactorises.  y = L^-1 c_F is
// carried along with L, so each trial solution costs one triangular solve.
//
// It takes the problems that block pivoting cannot: few small ones, where
// it is the faster, and those whose free systems break down in block
// pivoting (dependent columns, wide A), since it never lets a numerically
// dependent variable enter.  Its results go through the certificate like
// every other solver's.
//
// The results of one problem depend only on its data and maxiter: the same
// bits on every run and in every thread.
#ifndef TOVRIN_GRAM_ACTIVE_SET_H
#define TOVRIN_GRAM_ACTIVE_SET_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "gram/certificate.h"
#include "gram/data.h"
#include "gram/factor.h"

namespace tovrin {
namespace gram {

// What the method reports beside x, w and the free flags.
struct Outcome {
  std::int64_t status = status::solved;     // or status::iteration_limit, _inaccurate, _cancelled
  std::int32_t iterations = 0;    // trial solutions (triangular solves)
  double rnorm = -1.0;            // ||b - A x|| with A
  std::int32_t rejected = 0;      // candidates refused for a small pivot
};

// Storage of one worker, for problems with n variables; solve allocates
// nothing.
struct ActiveSetWorkspace {
  explicit ActiveSetWorkspace(std::int32_t n);
  Factor factor;
  std::vector<double> y;        // L^-1 c_F
  std::vector<double> s;        // trial solution, by position
  std::vector<double> column;   // scratch of length n
  std::vector<unsigned char> refused;  // candidates refused since the last dual
};

// Solves one problem from x = 0.  On exit x (n) is the solution, w (n) its
// dual c - G x (zero on F when solved), free[j] = 1 for j in F.  maxiter
// >= 1 bounds the trial solutions; cancel, when not null, is read once per
// outer iteration.  b: the problem's right-hand side where the certificate
// has A, else null and ignored.
Outcome solve(const GramMatrix& g, const double* c, const RightHandSide* b,
              std::int32_t maxiter, const std::atomic<bool>* cancel, ActiveSetWorkspace& work,
              Certificate& certificate, double* x, double* w, unsigned char* free);

// ||G||_1 = max_j sum_i |G_ij|, the scale of the tolerances.
double gram_norm(const double* g, std::ptrdiff_t ldg, std::int32_t n);

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_ACTIVE_SET_H
