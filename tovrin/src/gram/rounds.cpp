// The rounds of block principal pivoting; see rounds.h.
#include "gram/rounds.h"

#include "common/team.h"
#include "gram/certificate.h"
#include "gram/exchange.h"
#include "gram/form.h"
#include "gram/kernels.h"

namespace tovrin {
namespace gram {

RoundsOutcome pivot(Form& form, const GramMatrix& g, const double* c, std::int32_t maxiter,
                    std::int32_t share, const Team& team, unsigned char* free, double* x,
                    double* w) {
  const std::int32_t n = g.n;
  const double cnorm = max_abs(c, n);
  Exchange exchange;
  // Invariant: rounds trial points have been taken, each from the free set
  // that the exchanges before it left.
  for (std::int32_t rounds = 0;;) {
    if (team.cancelled()) return {RoundsEnd::cancelled, rounds};
    if (!form.prepare(free)) return {RoundsEnd::broken, rounds};
    form.trial(c, x, w);
    ++rounds;
    const double tol = entering_tolerance * (g.gnorm * max_abs(x, n) + cnorm);
    if (optimal(n, free, x, w, tol)) return {RoundsEnd::optimal, rounds};
    if (rounds >= maxiter) {
      // The point reported must be feasible: free variables that are not
      // positive go to zero and leave F.
      for (std::int32_t i = 0; i < n; ++i) {
        if (free[i] && !(x[i] > zero)) {
          free[i] = 0;
          x[i] = zero;
        }
      }
      return {RoundsEnd::limit, rounds};
    }
    if (rounds >= share) return {RoundsEnd::broken, rounds};
    exchange.apply(n, free, x, w, tol);
  }
}

}  // namespace gram
}  // namespace tovrin
