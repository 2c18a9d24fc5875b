// Block principal pivoting for many problems that share one G:
//     minimise 1/2 x_j'G x_j - c_j'x_j  subject to x_j >= 0,  j = 0..k-1,
// each by the rounds and the exchange rule of exchange.h, from the free set
// of its column of x0 or, without x0, from every variable free (the
// unconstrained minimiser, one factor for all) where G has a Cholesky
// factor, else from none.
//
// In each round the problems whose free sets coincide form a group and
// share one factor, and what depends on the set alone (its condition
// estimate): whatever depends on F is computed once per distinct F.  A
// round's system is solved in one of two forms, whichever has the smaller
// factor: the free form, through L L' = G(F, F); or, where G is
// well-conditioned enough for it, the held form, through the held set H
// and the explicit inverse M = G^-1 (formed once per call):
//     x = u + M(:, H) l,   M(H, H) l = -u_H,   u = M c,
// which puts x_H = 0 and G x - c zero on F with a factor of order |H|.
// The factor of a set depends on the set alone, so a problem's results
// depend on its data only -- not on the other problems, the grouping, the
// order the groups run in, or the number of threads.
//
// A solved problem goes through the certificate (certificate.h), which
// leaves rnorm = rnorm_deferred where only the residual itself needs A: the
// caller forms those residuals in one product.  A
// problem whose free system breaks down (rank deficiency, duplicate or
// zero columns, m < n), or that is still iterating after its share of
// rounds (with rounding, exchanges on an ill-conditioned G can wander
// where exact arithmetic would end), is handed to the one-at-a-time method
// (active_set.h), which solves it afresh with the whole iteration limit.
//
// The class keeps no threads: solve() runs every step for its problems on
// the calling thread; the caller cuts the problems into ranges, one object
// per worker.
#ifndef TOVRIN_GRAM_PIVOTING_H
#define TOVRIN_GRAM_PIVOTING_H

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "gram/active_set.h"
#include "gram/certificate.h"
#include "gram/data.h"
#include "gram/exchange.h"
#include "gram/factor.h"

namespace tovrin {
class Team;
namespace gram {

// A problem still iterating after n + handover_trials * max_trials rounds
// goes to the one-at-a-time method.  The most seen on well-conditioned
// problems is 11 rounds (n = 3, full exchanges cycling).
constexpr int handover_trials = 3;

// The rounds a problem with n variables may take before it is handed over.
std::int32_t rounds_share(std::int32_t n);

// The k problems.  Row j of C holds c_j (k x n, row-major); element (i, j)
// of x0 is x0[i * ldx0 + j].  With A, b[j] is problem j's right-hand side.
struct ManyProblems {
  GramMatrix g;
  const double* c;
  std::int64_t k;
  const double* x0;          // or null: every problem from the unconstrained set
  std::int64_t ldx0;
  const RightHandSide* b;    // k, or null (without A)
  std::int32_t maxiter;      // rounds per problem, >= 1
};

// Where the results go: element (i, j) of x, w and passive at i * ldk + j;
// iterations, status and rnorm (with A) at j.  iterations counts the rounds
// (for a handed-over problem, the trial solutions of the one-at-a-time
// method).
struct ManyResults {
  double* x;
  double* w;
  bool* passive;
  std::int64_t* iterations;
  std::int64_t* status;
  double* rnorm;
  std::int64_t ldk;
};

// The inverse M = G^-1 of the held form, shared by the workers of a call,
// and the predicted relative error eps cond(G)^2 of x from it; and
// eps cond(G) for a positive definite G, which bounds eps cond(G_FF) for
// every free set F (G_FF's eigenvalues lie within G's), else -1.
struct HeldInverse {
  const double* m;   // n x n, or null where the held form is not used
  double error;
  double free_error;
};

class BlockPivoting {
 public:
  // team: the worker's own (one thread), for the certificate's kernels.
  BlockPivoting(const ManyProblems& problems, const DataMatrix* a, const HeldInverse& inverse,
                bool definite, const ManyResults& results, Team& team);
  ~BlockPivoting();

  // Every round, then the handed-over problems.  Returns false when
  // `cancel` (read between rounds) stopped it.
  bool solve(const std::atomic<bool>* cancel);

 private:
  struct Group;

  std::int64_t group();
  void solve_group(std::int64_t index);
  bool factor(const unsigned char* free, Group& f);
  void trial(std::int64_t j, const Group& f);
  void step(std::int64_t j, Group& f);
  void finish(std::int64_t j, Group& f);
  void stop_at_limit(std::int64_t j);
  void write(std::int64_t j, std::int64_t status, double rnorm);
  bool solve_handed_over(std::int64_t j, const std::atomic<bool>* cancel);
  const double* unconstrained(std::int64_t j);
  void rehash(std::int64_t j);

  ManyProblems pr_;
  const DataMatrix* a_;
  HeldInverse inverse_;
  ManyResults out_;
  std::int32_t n_;
  std::int32_t share_;
  std::vector<unsigned char> free_;      // k x n, row j = F_j
  std::vector<Exchange> exchange_;
  std::vector<double> u_;                // k x n, row j = M c_j once formed
  std::vector<unsigned char> has_u_;
  std::vector<std::int32_t> every_;      // 0..n-1, the columns of M for u_
  std::vector<std::uint64_t> hash_;      // of row j of free_
  std::vector<std::int32_t> rounds_;
  std::vector<unsigned char> state_;     // iterating, done, handed over
  std::vector<std::int64_t> order_;      // iterating problems, grouped
  std::vector<std::pair<std::uint64_t, std::int64_t>> keys_;  // (hash, problem)
  std::vector<std::int64_t> starts_;     // group g = order_[starts_[g]..starts_[g+1])
  std::vector<std::int64_t> handed_;
  // Scratch of the problem and the group at hand.
  Factor free_factor_, held_factor_;
  std::vector<std::int32_t> set_, held_;
  std::vector<double> x_, w_, v_, s_, z_, diag_;
  std::vector<unsigned char> group_set_;
  ActiveSetWorkspace one_at_a_time_;
  Certificate certificate_;
};

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_PIVOTING_H
