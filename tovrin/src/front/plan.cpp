// The plan of a call; see plan.h.
#include "front/plan.h"

#include <algorithm>
#include <limits>
#include <thread>

#include <sched.h>

namespace tovrin {
namespace front {

namespace {

// method="auto" takes the Gram method when A is at least as tall as it is
// wide and the exact method's work, about m n^2 multiply-adds per problem,
// reaches auto_min_work over all k problems.  Measured side by side, Gram
// product included: for one problem the Gram method took 1.56 times the
// exact method's time at tall 200 x 100 (m n^2 = 2e6) and 0.63 times at
// tall 400 x 200 (1.6e7); square 200 x 200 (8e6) was even.  With many
// right-hand sides the product is paid once and the Gram method gains
// further.
constexpr double auto_min_work = 1.0e7;

// Variables from which a problem is solved by block pivoting with its
// algebra shared by the team (the held form through the factor of G), a
// problem at a time.
constexpr std::int64_t large_variables = 300;

// The exact method's limit is 3 n iterations.
constexpr std::int64_t exact_limit_per_variable = 3;
// The Gram method's is at least min_rounds: a problem whose full exchanges
// cycle needs a few rounds to detect it and then one round per variable
// moved (a 3-variable problem takes 11).
constexpr std::int64_t min_rounds = 30;

std::int64_t gram_limit(std::int64_t n, std::int64_t maxiter) {
  if (maxiter >= 1) return maxiter;
  return std::max(exact_limit_per_variable * n, min_rounds);
}

// Threads for k problems that each run on one thread: the request (0:
// every core), never more than k nor than the cores.
std::int64_t problem_threads(std::int64_t requested, std::int64_t k) {
  if (k <= 1 || requested == 1) return 1;  // no need to ask the system (a call's cost)
  const std::int64_t cores = available_cores();
  const std::int64_t wanted = requested == 0 ? cores : std::min(requested, cores);
  return std::max<std::int64_t>(1, std::min(wanted, k));
}

gram::Solver gram_solver(std::int64_t n, Forced forced) {
  switch (forced) {
    case Forced::one_at_a_time: return gram::Solver::one_at_a_time;
    case Forced::many: return gram::Solver::many;
    case Forced::large: return gram::Solver::large;
    case Forced::none: break;
  }
  // By n alone: a problem's bits must not depend on how many others share
  // its call (a Dask chunk's, say).
  return n >= large_variables ? gram::Solver::large : gram::Solver::many;
}

// Threads of the Gram method: one problem's algebra may use every core
// asked for; problems that each run on one thread, at most k.
std::int64_t gram_threads(gram::Solver solver, std::int64_t requested, std::int64_t k) {
  if (solver == gram::Solver::large) return problem_threads(requested, available_cores());
  return problem_threads(requested, k);
}

}  // namespace

std::int64_t available_cores() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
  return std::int64_t(std::max(1u, std::thread::hardware_concurrency()));
}

Plan plan_least_squares(std::int64_t m, std::int64_t n, std::int64_t k, Method method,
                        std::int64_t maxiter, std::int64_t threads, Forced forced) {
  const bool empty = m == 0 || n == 0 || k == 0;
  const double work = double(m) * double(n) * double(n) * double(k);
  const bool gram = !empty && (method == Method::gram ||
                               (method == Method::automatic && m >= n && work >= auto_min_work));
  Plan plan{gram, method == Method::automatic, gram::Solver::one_at_a_time, 0, 1};
  if (!gram) {
    plan.limit = maxiter >= 1 ? maxiter : exact_limit_per_variable * n;
    plan.threads = problem_threads(threads, k);
    return plan;
  }
  plan.solver = gram_solver(n, forced);
  plan.limit = gram_limit(n, maxiter);
  plan.threads = gram_threads(plan.solver, threads, k);
  return plan;
}

Plan plan_gram_form(std::int64_t n, std::int64_t k, std::int64_t maxiter, std::int64_t threads,
                    Forced forced) {
  Plan plan{true, false, gram_solver(n, forced), gram_limit(n, maxiter), 1};
  plan.threads = gram_threads(plan.solver, threads, k);
  return plan;
}

gram::Settings gram_settings(const Plan& plan) {
  const std::int64_t largest = std::numeric_limits<std::int32_t>::max();
  return {plan.solver, std::int32_t(std::min(plan.limit, largest)), int(plan.threads),
          plan.early_exit};
}

}  // namespace front
}  // namespace tovrin
