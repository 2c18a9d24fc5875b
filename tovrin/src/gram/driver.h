// The Gram method for one call, from the caller's arrays to the results:
// the products G = A'A and C = A'B (our own blocked kernels, so that a
// problem's bits depend neither on the thread count nor on the other
// problems of the call), the scaling by powers of two, the solver the plan
// chose, the certificate, and the results mapped back.
//
// Scaling (exact): the columns of A by s_j = 2^-e_j, G's diagonal into
// [1/4, 1); b_j by 2^-f_j only where its squared norm lies outside
// [2^-2 b_range, 2^2 b_range].  Then x = 2^(f_j - e_i) x', the dual
// 2^(e_i + f_j) w', rnorm 2^f_j rnorm'.  A whose columns are so large or
// small that G's diagonal leaves [2^-gram_range, 2^gram_range] is scaled
// into a copy first; otherwise A is read in place, by rows or by columns.
//
// Threads: everything runs on a Team of settings.threads threads, led from
// a thread of its own while the calling thread polls (Ctrl-C).
#ifndef TOVRIN_GRAM_DRIVER_H
#define TOVRIN_GRAM_DRIVER_H

#include <cstdint>

#include "common/strided.h"

namespace tovrin {
namespace gram {

// The solvers of the Gram method.
enum class Solver {
  one_at_a_time,  // the active-set method, a problem at a time
  many,           // block pivoting across the problems, grouped by free set
  large,          // block pivoting a problem at a time, its algebra shared by the team
};

// What the plan decided for a call of the Gram method.
struct Settings {
  Solver solver;
  std::int32_t maxiter;  // per problem, >= 1
  int threads;           // >= 1
  bool early_exit;       // a problem whose free system breaks down is flagged at once
};

// Called on the calling thread every poll_interval while the team works;
// false cancels the call.
struct Poll {
  bool (*call)(void* data);
  void* data;
};

// The least-squares form: A (m x n), B (m x k); x0 null or n x k row-major
// (its positive entries start each problem's free set).  Results into out
// ((n, k) row-major and (k,)), status codes with status::refit where x lost
// bits on the way back.  Returns false when the poll cancelled the call.
bool solve_least_squares(const StridedMatrix& a, const StridedMatrix& b, const double* x0,
                         const Settings& settings, const BatchResults& out, Poll poll);

// The Gram form: G (n x n), C (n x k), btb (k, or null: rnorm NaN).  A
// problem flagged where G is clearly not positive semi-definite (an
// eigenvalue below -indefinite * ||G||_1) gets status::gram_indefinite.
bool solve_gram_form(const StridedMatrix& g, const StridedMatrix& c, const double* btb,
                     const double* x0, const Settings& settings, const BatchResults& out,
                     Poll poll);

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_DRIVER_H
