// Block pivoting for many problems sharing G; see pivoting.h.
//
// Notation: F (p variables, set_[0..p) in increasing index order) is the
// free set of a group, H (h variables, held_[0..h)) the held set; x and w
// are full vectors of length n, x zero off F.
#include "gram/pivoting.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "gram/exchange.h"
#include "gram/form.h"
#include "gram/kernels.h"

namespace tovrin {
namespace gram {

namespace {

enum : unsigned char { iterating = 0, done = 1, handed = 2 };

// FNV-1a over the n flags of a free set.
std::uint64_t set_hash(const unsigned char* flags, std::int32_t n) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::int32_t i = 0; i < n; ++i) h = (h ^ flags[i]) * 1099511628211ull;
  return h;
}

// The free system of the held form: with S = M(H, H) factorised,
//     G_FF^-1 = M_FF - M_FH S^-1 M_HF
// (the inverse of a Schur complement), and S^-1 = G_HH - G_HF G_FF^-1 G_FH,
// whose diagonal holds the held variables' pivots on F.
class ExplicitHeldSystem final : public FreeSystem {
 public:
  ExplicitHeldSystem(const GramMatrix& g, const double* m, const std::int32_t* set, std::int32_t p,
                     const Factor& held, double* t, double* l)
      : g_(g), m_(m), set_(set), p_(p), held_(held), t_(t), l_(l) {}

  std::int32_t free_count() const override { return p_; }
  const std::int32_t* free_set() const override { return set_; }

  void solve_free(double* v) override {
    const std::int32_t n = g_.n, h = held_.size();
    std::memset(t_, 0, sizeof(double) * std::size_t(n));
    for (std::int32_t q = 0; q < p_; ++q) axpy(n, v[q], m_ + std::ptrdiff_t(set_[q]) * n, t_);
    for (std::int32_t q = 0; q < h; ++q) l_[q] = t_[held_.variable(q)];
    held_.solve(l_);
    for (std::int32_t q = 0; q < h; ++q) axpy(n, -l_[q], m_ + std::ptrdiff_t(held_.variable(q)) * n, t_);
    for (std::int32_t q = 0; q < p_; ++q) v[q] = t_[set_[q]];
  }

  double held_pivot_squared(std::int32_t i) override {
    const std::int32_t h = held_.size();
    std::int32_t q = 0;
    while (held_.variable(q) != i) ++q;
    std::memset(l_, 0, sizeof(double) * std::size_t(h));
    l_[q] = one;
    held_.forward(l_);
    return std::fmax(dot(h, l_, l_), eps * g_.diagonal(i));
  }

  void solve_column(std::int32_t i, double* z) override {
    const double* gi = g_.column(i);
    for (std::int32_t q = 0; q < p_; ++q) z[q] = gi[set_[q]];
    solve_free(z);
  }

 private:
  const GramMatrix& g_;
  const double* m_;
  const std::int32_t* set_;
  std::int32_t p_;
  const Factor& held_;
  double* t_;
  double* l_;
};

}  // namespace

std::int32_t rounds_share(std::int32_t n) { return n + handover_trials * max_trials; }

// The group's free set and what depends on it alone: the factor made in the
// engine's scratch, and cond(G(F, F)) once estimated (negative before).
struct BlockPivoting::Group {
  std::int32_t p = 0;        // |F|
  std::int32_t h = 0;        // |H|
  bool held = false;         // factored M(H, H) rather than G(F, F)
  double condition = -1.0;
};

BlockPivoting::BlockPivoting(const ManyProblems& problems, const DataMatrix* a,
                             const HeldInverse& inverse, bool definite,
                             const ManyResults& results, Team& team)
    : pr_(problems), a_(a), inverse_(inverse), out_(results), n_(problems.g.n),
      share_(rounds_share(problems.g.n)),
      free_(std::size_t(problems.k) * std::size_t(problems.g.n), 0),
      exchange_(std::size_t(problems.k)),
      hash_(std::size_t(problems.k)),
      rounds_(std::size_t(problems.k), 0),
      state_(std::size_t(problems.k), iterating),
      free_factor_(problems.g.n), held_factor_(problems.g.n),
      set_(std::size_t(problems.g.n)), held_(std::size_t(problems.g.n)),
      x_(std::size_t(problems.g.n)), w_(std::size_t(problems.g.n)),
      v_(std::size_t(problems.g.n)), s_(std::size_t(problems.g.n)),
      z_(std::size_t(problems.g.n)), diag_(std::size_t(problems.g.n)),
      group_set_(std::size_t(problems.g.n)),
      one_at_a_time_(problems.g.n), certificate_(problems.g, a, team) {
  certificate_.defer_rnorm();
  for (std::int32_t i = 0; i < n_; ++i) diag_[std::size_t(i)] = pr_.g.diagonal(i);
  if (inverse_.m != nullptr) {
    u_.assign(std::size_t(pr_.k) * std::size_t(n_), zero);
    has_u_.assign(std::size_t(pr_.k), 0);
    every_.resize(std::size_t(n_));
    for (std::int32_t i = 0; i < n_; ++i) every_[std::size_t(i)] = i;
  }
  // Without x0 every problem starts from the unconstrained minimiser (F =
  // all variables, one factor for all) where G has a Cholesky factor in the
  // Gram form; else from x = 0 (F empty).
  for (std::int64_t j = 0; j < pr_.k; ++j) {
    unsigned char* row = free_.data() + j * n_;
    if (pr_.x0 != nullptr) {
      for (std::int32_t i = 0; i < n_; ++i) row[i] = pr_.x0[i * pr_.ldx0 + j] > zero;
    } else if (definite) {
      std::fill(row, row + n_, 1);
    }
    rehash(j);
  }
}

BlockPivoting::~BlockPivoting() = default;

void BlockPivoting::rehash(std::int64_t j) { hash_[j] = set_hash(free_.data() + j * n_, n_); }

// u_j = M c_j, formed once per problem as the sum over t of c_t M(:, t) in
// increasing t from u = 0: one pass over u per four columns of M.
const double* BlockPivoting::unconstrained(std::int64_t j) {
  double* u = u_.data() + j * n_;
  if (!has_u_[j]) {
    const double* c = pr_.c + j * n_;
    for (std::int32_t i = 0; i < n_; ++i) z_[std::size_t(i)] = -c[i];
    subtract_columns(n_, n_, inverse_.m, n_, every_.data(), z_.data(), u);
    has_u_[j] = 1;
  }
  return u;
}

std::int64_t BlockPivoting::group() {
  order_.clear();
  handed_.clear();
  for (std::int64_t j = 0; j < pr_.k; ++j) {
    if (state_[j] == iterating) order_.push_back(j);
    if (state_[j] == handed) handed_.push_back(j);
  }
  // Equal sets end up adjacent, ordered by (hash, index); the order among
  // groups is immaterial to the results.  Two distinct sets with one hash
  // share a run: solve_group gives each member whose set differs from the
  // run's first its own factor.
  keys_.clear();
  for (const std::int64_t j : order_) keys_.push_back({hash_[j], j});
  std::sort(keys_.begin(), keys_.end());
  starts_.clear();
  for (std::size_t q = 0; q < keys_.size(); ++q) {
    order_[q] = keys_[q].second;
    if (q == 0 || keys_[q].first != keys_[q - 1].first) starts_.push_back(std::int64_t(q));
  }
  const std::int64_t groups = std::int64_t(starts_.size());
  starts_.push_back(std::int64_t(order_.size()));
  return groups;
}

// The factor of the group with free set F: of M(H, H) where the held form
// is available and |H| < |F| (falling back to G(F, F) should M(H, H) meet
// a small pivot), else of G(F, F).  Returns false when G(F, F) has a pivot
// too small for the Gram form.
bool BlockPivoting::factor(const unsigned char* free, Group& f) {
  f = Group();
  for (std::int32_t t = 0; t < n_; ++t) {
    if (free[t]) {
      set_[std::size_t(f.p++)] = t;
    } else {
      held_[std::size_t(f.h++)] = t;
    }
  }
  if (inverse_.m != nullptr && f.h < f.p &&
      held_factor_.make(inverse_.m, n_, held_.data(), f.h)) {
    f.held = true;
    return true;
  }
  return free_factor_.make(pr_.g.g, pr_.g.ldg, set_.data(), f.p);
}

// The trial point of problem j and its dual w = c - G x, each w_i one
// accumulator over F in increasing index order.  Held form: x = u + M(:, H)
// l with M(H, H) l = -u_H, x_H = 0 exactly.  Free form: x_F = G_FF^-1 c_F.
void BlockPivoting::trial(std::int64_t j, const Group& f) {
  const double* c = pr_.c + j * n_;
  if (f.held) {
    const double* u = unconstrained(j);
    for (std::int32_t q = 0; q < f.h; ++q) v_[std::size_t(q)] = -u[held_[std::size_t(q)]];
    held_factor_.solve(v_.data());
    // subtract_columns takes its coefficients by variable: -l at H.
    for (std::int32_t q = 0; q < f.h; ++q) z_[std::size_t(held_[std::size_t(q)])] = -v_[std::size_t(q)];
    std::memcpy(x_.data(), u, sizeof(double) * std::size_t(n_));
    subtract_columns(n_, f.h, inverse_.m, n_, held_.data(), z_.data(), x_.data());
    for (std::int32_t q = 0; q < f.h; ++q) x_[std::size_t(held_[std::size_t(q)])] = zero;
    // With nothing held (the unconstrained minimiser) a negative x_i is
    // infeasible whatever w is, and the exchange reads w at held variables
    // only: w is not needed.
    if (f.h == 0 && std::any_of(x_.begin(), x_.end(), [](double v) { return v < zero; })) {
      return;
    }
  } else {
    for (std::int32_t q = 0; q < f.p; ++q) v_[std::size_t(q)] = c[set_[std::size_t(q)]];
    free_factor_.solve(v_.data());
    std::fill(x_.begin(), x_.end(), zero);
    for (std::int32_t q = 0; q < f.p; ++q) x_[std::size_t(set_[std::size_t(q)])] = v_[std::size_t(q)];
  }
  std::memcpy(w_.data(), c, sizeof(double) * std::size_t(n_));
  subtract_columns(n_, f.p, pr_.g.g, pr_.g.ldg, set_.data(), x_.data(), w_.data());
}

void BlockPivoting::solve_group(std::int64_t index) {
  const std::size_t n = std::size_t(n_);
  const std::int64_t first = starts_[index], last = starts_[index + 1];
  std::memcpy(group_set_.data(), free_.data() + order_[first] * n_, n);
  Group f;
  const bool factored = factor(group_set_.data(), f);
  for (std::int64_t q = first; q < last; ++q) {
    const std::int64_t j = order_[q];
    if (std::memcmp(free_.data() + j * n_, group_set_.data(), n) != 0) {
      // A hash collision: this member's set is not the group's.
      Group own;
      if (factor(free_.data() + j * n_, own)) {
        step(j, own);
      } else {
        state_[j] = handed;
      }
      if (factored && !factor(group_set_.data(), f)) return;
    } else if (factored) {
      step(j, f);
    } else {
      state_[j] = handed;
    }
  }
}

// One round of problem j with the factor of its free set: the trial point,
// then its results if it is optimal, else the exchange (or the end of its
// rounds).
void BlockPivoting::step(std::int64_t j, Group& f) {
  trial(j, f);
  ++rounds_[j];
  const double* c = pr_.c + j * n_;
  const double tol =
      entering_tolerance * (pr_.g.gnorm * max_abs(x_.data(), n_) + max_abs(c, n_));
  unsigned char* row = free_.data() + j * n_;
  if (optimal(n_, row, x_.data(), w_.data(), tol)) {
    finish(j, f);
  } else if (rounds_[j] >= pr_.maxiter) {
    stop_at_limit(j);
  } else if (rounds_[j] >= share_) {
    state_[j] = handed;
  } else {
    exchange_[j].apply(n_, row, x_.data(), w_.data(), tol);
    rehash(j);
  }
}

// The certificate on the group's factor: the free form's condition
// estimate, shared by the group, or the held form's error bound.
void BlockPivoting::finish(std::int64_t j, Group& f) {
  const unsigned char* row = free_.data() + j * n_;
  const double* c = pr_.c + j * n_;
  const RightHandSide* b = pr_.b != nullptr ? pr_.b + j : nullptr;
  Verdict verdict;
  if (f.held) {
    ExplicitHeldSystem system(pr_.g, inverse_.m, set_.data(), f.p, held_factor_, s_.data(),
                              z_.data());
    verdict = certificate_.check(system, row, c, b, inverse_.error, x_.data(), w_.data());
  } else {
    // G's bound where it asks for no refinement, else G_FF's estimate.
    double error = inverse_.free_error;
    if (!(error >= zero && error <= refine_threshold)) {
      if (f.condition < zero) {
        f.condition = free_factor_.condition(diag_.data(), s_.data(), z_.data());
      }
      error = eps * f.condition;
    }
    FactorSystem system(pr_.g.g, pr_.g.ldg, free_factor_, s_.data());
    verdict = certificate_.check(system, row, c, b, error, x_.data(), w_.data());
  }
  state_[j] = done;
  write(j, verdict.status, verdict.rnorm);
}

// The rounds are spent: the free variables that are not positive go to
// zero and leave F, so that the point reported is feasible.
void BlockPivoting::stop_at_limit(std::int64_t j) {
  unsigned char* row = free_.data() + j * n_;
  std::int32_t p = 0;
  for (std::int32_t i = 0; i < n_; ++i) {
    if (row[i] && !(x_[std::size_t(i)] > zero)) {
      row[i] = 0;
      x_[std::size_t(i)] = zero;
    }
    if (row[i]) set_[std::size_t(p++)] = i;
  }
  std::memcpy(w_.data(), pr_.c + j * n_, sizeof(double) * std::size_t(n_));
  subtract_columns(n_, p, pr_.g.g, pr_.g.ldg, set_.data(), x_.data(), w_.data());
  state_[j] = done;
  write(j, status::iteration_limit, -one);
}

// x_ and w_ as problem j's results.
void BlockPivoting::write(std::int64_t j, std::int64_t status, double rnorm) {
  const unsigned char* row = free_.data() + j * n_;
  const std::int64_t k = out_.ldk;
  for (std::int32_t i = 0; i < n_; ++i) {
    out_.x[i * k + j] = x_[std::size_t(i)];
    out_.w[i * k + j] = w_[std::size_t(i)];
    // A free variable at exactly zero (b = 0, say) is reported held.
    out_.passive[i * k + j] = row[i] != 0 && x_[std::size_t(i)] > zero;
  }
  out_.iterations[j] = rounds_[j];
  out_.status[j] = status;
  if (a_ != nullptr) out_.rnorm[j] = rnorm;
}

bool BlockPivoting::solve_handed_over(std::int64_t j, const std::atomic<bool>* cancel) {
  unsigned char* row = free_.data() + j * n_;
  const RightHandSide* b = pr_.b != nullptr ? pr_.b + j : nullptr;
  const Outcome outcome = gram::solve(pr_.g, pr_.c + j * n_, b, pr_.maxiter, cancel,
                                      one_at_a_time_, certificate_, x_.data(), w_.data(), row);
  if (outcome.status == status::cancelled) return false;
  rounds_[j] = outcome.iterations;
  write(j, outcome.status, outcome.rnorm);
  return true;
}

bool BlockPivoting::solve(const std::atomic<bool>* cancel) {
  for (std::int64_t groups = group(); groups > 0; groups = group()) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return false;
    for (std::int64_t g = 0; g < groups; ++g) solve_group(g);
  }
  for (const std::int64_t j : handed_) {
    if (!solve_handed_over(j, cancel)) return false;
  }
  return true;
}

}  // namespace gram
}  // namespace tovrin
