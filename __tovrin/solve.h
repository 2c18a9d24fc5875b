// The solver core's internal entry: the run of nnls with its values passed
// directly, reporting its iteration count and stoppable from another thread.
// Used by the public package's batch solver and by the by-reference nnls
// entry, which is a thin call of it.
#ifndef TOVRIN_SOLVE_H
#define TOVRIN_SOLVE_H

#include <atomic>
#include <cstdint>

namespace tovrin {

// Status codes of a run: those of nnls, and one for a run stopped by its
// caller.
constexpr std::int32_t mode_solved = 1;
constexpr std::int32_t mode_bad_dimensions = 2;
constexpr std::int32_t mode_iteration_limit = 3;
constexpr std::int32_t mode_cancelled = 4;

struct SolveOutcome {
  std::int32_t mode;
  // Size of the final solution set P, held in index(1..nsetp).
  std::int32_t nsetp;
  // Triangular solves of the run, the count that the limit is compared
  // against: after a stop on the limit it is maxiter + 1 (the solve that
  // exceeded it is counted, its solution is not taken).
  std::int64_t iterations;
};

// Minimise ||A*x - b|| subject to x >= 0, with exactly the arithmetic, the
// results and the in-place use of a, b, x, rnorm, w, zz and index of nnls
// (nnls.h); maxiter < 1 selects 3*n.  Differences from nnls: nothing is ever
// printed, the iteration limit is reported in the returned mode only; and
// when cancel is not null it is read once per main-loop pass, and once set the
// run ends with mode_cancelled at the next pass, its outputs those of the
// last completed pass (rnorm formed as at any termination).  With m <= 0 or
// n <= 0 nothing is written and the mode is mode_bad_dimensions.
//
// lookahead is lookahead_size(n) doubles of work space, or null: with it
// the run forms the next reflection's dot products in the pass that applies
// the current one (nnls.cpp), which spares a read of the columns of Z per
// main-loop pass.  The results are the same bits either way.  Allocates
// nothing.
SolveOutcome solve_nnls(double* a, std::int32_t mda, std::int32_t m,
                        std::int32_t n, double* b, double* x, double* rnorm,
                        double* w, double* zz, std::int32_t* index,
                        std::int64_t maxiter, const std::atomic<bool>* cancel,
                        double* lookahead);

// Doubles of the look-ahead's work space for n columns.
std::int64_t lookahead_size(std::int32_t n);

// Whether the look-ahead's work space pays for an m x n problem: below this
// size every column of Z stays in cache between passes anyway.
bool lookahead_pays(std::int32_t m, std::int32_t n);

}  // namespace tovrin

#endif  // TOVRIN_SOLVE_H
