// Block principal pivoting for many problems that share one G = A'A:
//     minimise 1/2 x_j'G x_j - c_j'x_j  subject to x_j >= 0,  j = 0..k-1.
//
// Each problem j keeps a free set F_j (the variables allowed to be
// non-zero; the rest are held at zero), at first the positive entries of
// its column of x0, or without x0 every variable (the unconstrained
// minimiser, one factor for all problems) where G has a Cholesky factor in
// the Gram form, else none.  One round of problem j solves
//     G(F, F) x_F = c_F,   x = 0 off F,   w = c - G x,
// and calls a variable infeasible when it is free with x_i < 0, or held
// with w_i > tol (entering it would lower f).  No infeasible variable: x is
// the minimiser (x >= 0, w = 0 on F, w <= tol off F).  Otherwise every
// infeasible variable changes sides at once -- unless the count of
// infeasible variables has not fallen below its best for max_trials rounds
// in a row, when only the infeasible variable of largest index changes
// sides (the single-exchange backup rule, which cannot cycle), until the
// count falls below the best again.  So every problem terminates.
//
// A round solves for x_F in one of two equivalent forms, whichever has the
// smaller factor: through R'R = G(F, F), or -- where G is positive
// definite and well-conditioned enough for it -- through the held set
// H = complement of F and the inverse M = G^-1 (formed once):
//     x = u + M(:, H) l,   M(H, H) l = -u_H,   u = M c,
// which puts x_H = 0 and G x - c zero on F with a factor of order |H|.
// Late rounds hold few variables, so this is the cheaper form there.  It is
// used where eps cond(G)^2, a bound on its relative error, is at most
// refine_threshold (cond(M(H, H)) <= cond(G)); a held-form result with a
// weak held dual is solved again through G(F, F) for the checks below.
//
// In each round the problems whose free sets coincide form a group and
// share one Cholesky factor (of G(F, F) or M(H, H)) and its condition
// estimate:
// whatever depends on F alone is computed once per distinct F.  The factor
// of a set depends on the set alone, so the results of problem j depend on
// its data only -- not on the other problems, the grouping, the order the
// groups run in, or the number of threads.
//
// Accuracy: when problem j is solved its result goes through the checks of
// the one-at-a-time solver (gram_nnls.h): the optimality conditions on the
// Gram form, the condition estimate of G(F, F) (shared by the group),
// refinement with A where eps*cond(G(F, F)) predicts an error above
// refine_threshold, and the duals of the held variables recomputed from A
// where the Gram form cannot resolve them.  A result that fails is
// flagged status_inaccurate.  A problem whose G(F, F) has a pivot too
// small for the Gram form (rank deficiency, duplicate or zero columns,
// m < n), or that has not finished after n + handover_trials * max_trials
// rounds (with rounding, exchanges on an ill-conditioned G can wander where
// exact arithmetic would end), is handed to the one-at-a-time solver, which
// solves it afresh with the whole iteration limit and reports its own
// iteration count.
//
// rnorm = ||b - A x|| is taken from the Gram form, b'b - x'c - x'w, where
// the residual is large enough for the cancellation not to matter, else
// formed with A.
//
// The class keeps no threads: solve() runs every step for its problems on
// the calling thread; the caller cuts the problems into ranges, one object
// and one worker per range (the results do not depend on the ranges).
#ifndef TOVRIN_GRAM_BATCH_H
#define TOVRIN_GRAM_BATCH_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "gram/active_set.h"

namespace tovrin {
namespace gram {

// Rounds without a new lowest count of infeasible variables after which a
// problem exchanges one variable per round.
constexpr int max_trials = 3;
// A problem still iterating after n + handover_trials * max_trials rounds
// goes to the one-at-a-time solver.  The most seen on well-conditioned
// problems is 11 rounds (n = 3, full exchanges cycling).
constexpr int handover_trials = 3;

// The k problems.  Row j of C holds c_j (k x n, row-major); the matrices
// with k columns hold problem j in column j: element (i, j) of X0 and the
// outputs is at [i * ldk + j] (ldk >= k: the problems may be a range of a
// larger set), element (i, j) of B at b[i * b_row + j * b_col].
struct ManyProblems {
  const double* g;          // n x n, column-major, leading dimension ldg
  std::ptrdiff_t ldg;
  std::int32_t n;
  double gnorm;             // ||G||_1 (gram_norm)
  const double* c;          // k x n
  std::int64_t k;
  std::int64_t ldk;
  const double* a;          // m x n column-major, leading dimension lda, or null
  std::ptrdiff_t lda;
  std::int32_t m;
  const double* b;          // m x k, or null (with a)
  std::ptrdiff_t b_row, b_col;
  const double* x0;         // n x k starting points, or null (F_j empty)
  std::int32_t maxiter;     // rounds per problem, >= 1
};

// Where the results go, each n x k (problem j in column j) or k.
// iterations[j] counts the rounds (for a handed-over problem, the trial
// solutions of the one-at-a-time solver); rnorm[j] = ||b_j - A x_j||
// is written only with A.
struct ManyResults {
  double* x;
  double* w;
  bool* passive;
  std::int64_t* iterations;
  std::int64_t* status;
  double* rnorm;
};

class BlockPivoting {
 public:
  BlockPivoting(const ManyProblems& problems, const ManyResults& results, int workers);
  ~BlockPivoting();

  // Every step below on one thread (worker 0): the rounds, the handed-over
  // problems, publish.  Returns false when `cancel` (read between rounds
  // and by the one-at-a-time solver) stopped it.
  bool solve(const std::atomic<bool>* cancel);

  // Sorts the problems still iterating into groups of equal free sets;
  // returns the number of groups, 0 once every problem is solved, stopped
  // or handed over.
  std::int64_t group();

  // One round for the problems of group `index` (0..group()-1): factor,
  // solve, check, and then exchange variables or write the results.
  // Groups of one round may run concurrently on distinct workers.
  void solve_group(int worker, std::int64_t index);

  // The problems handed to the one-at-a-time solver.
  std::int64_t handed_over() const { return std::int64_t(handed_.size()); }

  // Solves handed-over problem `index` (0..handed_over()-1) with
  // gram::solve.  Returns false when `cancel` stopped it.
  bool solve_handed_over(int worker, std::int64_t index, const std::atomic<bool>* cancel);

  // After the rounds and the handed-over problems: the checks with A that
  // need only x and F (the residual norm, from the Gram form where the
  // residual is large enough, the duals of held variables from A), and the
  // results of problems first..last-1 into the outputs.
  // Runs the problems in index order, so that the columns of B and of the
  // outputs are read and written a cache line at a time; distinct ranges
  // may run concurrently.
  void publish(int worker, std::int64_t first, std::int64_t last);

 private:
  struct Scratch;
  struct GroupFactor;

  bool factor(const unsigned char* free_set, Scratch& s, GroupFactor& f) const;
  void trial(std::int64_t j, const GroupFactor& f, Scratch& s);
  void trial_free(std::int64_t j, const GroupFactor& f, Scratch& s) const;
  void trial_held(std::int64_t j, const GroupFactor& f, Scratch& s);
  const double* unconstrained(std::int64_t j, Scratch& s);
  void form_inverse(Scratch& s);
  void exchange(std::int64_t j, Scratch& s, double tol);
  void finish(std::int64_t j, GroupFactor& f, Scratch& s);
  void stop_at_limit(std::int64_t j, Scratch& s);
  void keep(std::int64_t j, const Scratch& s);
  void mark_weak_duals(std::int64_t j, const GroupFactor& f, Scratch& s, double scale);
  bool weak_duals_hold(std::int64_t j, double bnorm, std::int32_t p, const double* resid,
                       Scratch& s) const;
  void step(std::int64_t j, GroupFactor& f, Scratch& s);
  void gather_b(std::int64_t j, double* b) const;
  void gather_tile(std::int64_t first, std::int64_t width, double* tile) const;
  double residual_squares(std::int64_t j, double btb) const;
  double spread(const double* x, double bnorm) const;
  bool marks_weak_duals(std::int64_t j) const;
  void rehash(std::int64_t j);

  ManyProblems pr_;
  ManyResults out_;
  std::vector<unsigned char> free_;      // k x n, row j = F_j
  std::vector<double> x_, w_;            // k x n, row j = x_j, w_j once solved
  std::vector<double> pivot_;            // k x n with A: see mark_weak_duals
  std::vector<double> inverse_;          // M = G^-1 (n x n) where the held form is used
  double inverse_error_ = 0.0;           // predicted relative error of that form
  std::vector<double> u_;                // k x n, row j = M c_j once formed
  std::vector<unsigned char> has_u_;
  std::vector<std::int32_t> every_;      // 0..n-1, the columns of M for u_
  std::vector<std::uint64_t> hash_;      // of row j of free_
  std::vector<std::int32_t> best_;       // lowest count of infeasible variables
  std::vector<std::int32_t> trials_;     // full exchanges left before the backup rule
  std::vector<std::int32_t> rounds_;
  std::vector<unsigned char> state_;     // iterating, done, handed over
  std::vector<std::int64_t> order_;      // iterating problems, grouped
  std::vector<std::pair<std::uint64_t, std::int64_t>> keys_;  // (hash, problem)
  std::vector<std::int64_t> starts_;     // group g = order_[starts_[g]..starts_[g+1])
  std::vector<std::int64_t> handed_;
  std::vector<Scratch> scratch_;
};

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_BATCH_H
