// The rounds of block principal pivoting for one problem in a form:
// prepare the free set's system, take the trial point, and stop when it is
// optimal or change sides by the exchange rule (exchange.h).
#ifndef TOVRIN_GRAM_ROUNDS_H
#define TOVRIN_GRAM_ROUNDS_H

#include <cstdint>

#include "gram/data.h"

namespace tovrin {
class Team;
namespace gram {

class Form;

// How the rounds ended.
enum class RoundsEnd {
  optimal,     // x, w: the optimal point of the final free set
  limit,       // maxiter rounds spent: x the feasible point of the last set
  broken,      // the form failed on a free set, or the rounds wandered past
               // their share: another method must take the problem
  cancelled,   // the team was cancelled
};

struct RoundsOutcome {
  RoundsEnd end;
  std::int32_t rounds;
};

// From the free set `free` (n flags, changed in place) for the problem with
// right-hand side c, at most maxiter rounds, of which `share` before the
// problem is declared broken.  x and w (length n) receive the last point and
// its dual c - G x (on H at least; see Form::trial).
RoundsOutcome pivot(Form& form, const GramMatrix& g, const double* c, std::int32_t maxiter,
                    std::int32_t share, const Team& team, unsigned char* free, double* x,
                    double* w);

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_ROUNDS_H
