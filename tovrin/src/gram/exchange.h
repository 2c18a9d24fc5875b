// The exchange rule of block principal pivoting, for one problem
//     minimise f(x) = 1/2 x'G x - c'x  subject to x >= 0.
//
// A partition of the variables into a free set F and a held set H fixes
// x_H = 0 and x_F = G_FF^-1 c_F; the dual w = c - G x (the package's dual
// A'(b - A x), in the Gram form) then vanishes on F.  A variable is
// infeasible when it is free with x_i < 0, or held with w_i > tol (entering
// it would lower f).  With none, (x, w) is optimal: x >= 0, w = 0 on F,
// w <= tol on H.
//
// Otherwise every infeasible variable changes sides at once -- unless the
// count of infeasible variables has not fallen below its lowest for
// max_trials rounds in a row, when only the infeasible variable of largest
// index changes sides (the single-exchange backup rule, which cannot cycle
// for a positive definite G), until the count falls below the lowest
// again.  So every problem terminates.
#ifndef TOVRIN_GRAM_EXCHANGE_H
#define TOVRIN_GRAM_EXCHANGE_H

#include <cstdint>
#include <limits>

namespace tovrin {
namespace gram {

// Rounds without a new lowest count of infeasible variables after which a
// problem exchanges one variable per round.
constexpr int max_trials = 3;

// Whether variable i is infeasible at (x, w) for the flag free_i.
inline bool infeasible(bool free_i, double x_i, double w_i, double tol) {
  return free_i ? x_i < 0.0 : w_i > tol;
}

// Whether no variable is infeasible.
inline bool optimal(std::int32_t n, const unsigned char* free, const double* x, const double* w,
                    double tol) {
  for (std::int32_t i = 0; i < n; ++i) {
    if (infeasible(free[i] != 0, x[i], w[i], tol)) return false;
  }
  return true;
}

// One problem's state of the rule.
class Exchange {
 public:
  // Changes the sides of the infeasible variables at (x, w) in free (n
  // flags), by the rule above.  Returns how many were infeasible (0: none
  // changed side).
  std::int32_t apply(std::int32_t n, unsigned char* free, const double* x, const double* w,
                     double tol) {
    std::int32_t count = 0, last = -1;
    for (std::int32_t i = 0; i < n; ++i) {
      if (infeasible(free[i] != 0, x[i], w[i], tol)) {
        ++count;
        last = i;
      }
    }
    if (count == 0) return 0;
    bool all = true;
    if (count < lowest_) {
      lowest_ = count;
      trials_ = max_trials;
    } else if (trials_ > 0) {
      --trials_;
    } else {
      all = false;
    }
    if (!all) {
      free[last] ^= 1;
      return count;
    }
    for (std::int32_t i = 0; i < n; ++i) {
      if (infeasible(free[i] != 0, x[i], w[i], tol)) free[i] ^= 1;
    }
    return count;
  }

 private:
  // Invariant: lowest_ is the smallest count seen; trials_ the full
  // exchanges left without a new lowest.
  std::int32_t lowest_ = std::numeric_limits<std::int32_t>::max();
  int trials_ = max_trials;
};

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_EXCHANGE_H
