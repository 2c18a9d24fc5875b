// The plan of a call: every decision the package makes before any
// mathematics runs -- the method ("auto" resolved), the Gram method's
// solver, the iteration limit, the threads -- and every threshold behind
// them, in one place.  The kernels below receive the plan and never decide
// these again.
#ifndef TOVRIN_FRONT_PLAN_H
#define TOVRIN_FRONT_PLAN_H

#include <cstdint>

#include "gram/driver.h"

namespace tovrin {
namespace front {

enum class Method { exact, gram, automatic };

struct Plan {
  bool gram;                // the Gram method, else the exact one
  bool early_exit;          // method="auto": a breakdown goes to the exact method at once
  gram::Solver solver;      // the Gram method's solver
  std::int64_t limit;       // iterations (exact) or rounds (Gram) per problem
  std::int64_t threads;     // every thread the call uses, NumPy's BLAS included
};

// The cores this process may use.
std::int64_t available_cores();

// The Gram method's solver named by the tests (tovrin._solver's private
// `solver` argument), or none: the plan's own choice.
enum class Forced { none, one_at_a_time, many, large };

// tovrin.nnls on A (m x n) and k right-hand sides.  maxiter and threads as
// given, 0 meaning None.
Plan plan_least_squares(std::int64_t m, std::int64_t n, std::int64_t k, Method method,
                        std::int64_t maxiter, std::int64_t threads, Forced forced = Forced::none);

// tovrin.nnls_gram on G (n x n) and k right-hand sides.
Plan plan_gram_form(std::int64_t n, std::int64_t k, std::int64_t maxiter, std::int64_t threads,
                    Forced forced = Forced::none);

// The Gram method's settings of a plan, for its driver.
gram::Settings gram_settings(const Plan& plan);

}  // namespace front
}  // namespace tovrin

#endif  // TOVRIN_FRONT_PLAN_H
