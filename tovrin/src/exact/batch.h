// k non-negative least squares problems sharing one matrix, min ||A x - b_j||
// with x >= 0 for each column b_j of b, solved one at a time by the solver
// core on work arrays that a worker owns.  Plain C++, no Python: the binding
// (module.cpp) hands in views of the caller's arrays and of its outputs.
#ifndef TOVRIN_BATCH_H
#define TOVRIN_BATCH_H

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/strided.h"
#include "solve.h"

namespace tovrin {

// Storage of one worker: a column-major copy of A and the solver's vectors,
// its look-ahead's among them, reused for every problem the worker solves;
// one block of doubles, so that a call on one small problem allocates
// little.
class Workspace {
 public:
  Workspace(std::int64_t m, std::int64_t n)
      : doubles_(m * n + 2 * m + 2 * n + lookahead_size(static_cast<std::int32_t>(n))),
        index_(n), m_(m), n_(n) {}
  double* a() { return doubles_.data(); }
  double* b() { return a() + m_ * n_; }
  double* zz() { return b() + m_; }
  double* x() { return zz() + m_; }
  double* w() { return x() + n_; }
  double* lookahead() { return w() + n_; }
  std::int32_t* index() { return index_.data(); }

 private:
  std::vector<double> doubles_;
  std::vector<std::int32_t> index_;
  std::int64_t m_, n_;
};

class BatchSolver {
 public:
  // A is m x n, b is m x k; both views must outlive the solver.  maxiter
  // applies to each problem, a value below 1 meaning 3n.  The dimensions
  // must fit the solver's 32-bit integers (the binding checks).
  BatchSolver(const StridedMatrix& a, const StridedMatrix& b,
              std::int64_t maxiter);

  std::int64_t problems() const { return k_; }
  // Storage for one worker.
  Workspace workspace() const { return Workspace(m_, n_); }
  // The limit each problem runs under (maxiter, or 3n for the default).
  std::int64_t iteration_limit() const;
  // Whether all k problems, even at their iteration limit, are cheap enough
  // to solve on the calling thread without a way to stop them.
  bool quick() const;

  // Solves problem j into `out` with w's storage, reading `cancel` (may be
  // null) once per main-loop pass.  Returns the solver's status code; after
  // mode_cancelled nothing has been written to `out`.  Problems whose
  // columns of A or b lie outside the safe range are solved scaled by powers
  // of two and their results scaled back; all others are the solver core's
  // run on (A in column-major order, b_j), bit for bit.  m = 0 or n = 0 gives
  // x = 0, dual = 0, rnorm = ||b_j||.
  std::int32_t solve(Workspace& w, std::int64_t j,
                     const std::atomic<bool>* cancel,
                     const BatchResults& out) const;

 private:
  // b_j into w.b, scaled if it lies outside the safe range; returns the
  // shift applied.
  int load_rhs(std::int64_t j, double* b) const;
  void load_matrix(double* a) const;
  void write_trivial(std::int64_t j, const double* b, int shift,
                     const BatchResults& out) const;

  StridedMatrix a_;
  StridedMatrix b_;
  std::int64_t m_, n_, k_;
  std::int64_t maxiter_;
  std::vector<int> column_shift_;  // power of two applied to each column of A
};

}  // namespace tovrin

#endif  // TOVRIN_BATCH_H
