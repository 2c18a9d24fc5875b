// Block principal pivoting for many problems sharing G; see gram_batch.h
// for the method and its guarantees.
//
// Notation: F (p variables, set[0..p) in increasing index order) is the
// free set of a group; R (p x p, upper triangular, column-major with
// leading dimension p) satisfies R'R = G(set, set); x and w are full
// vectors of length n, x zero off F.
#include "gram/pivoting.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

#include "gram/certificate.h"
#include "gram/factor.h"
#include "gram/kernels.h"

namespace tovrin {
namespace gram {

namespace {

enum : unsigned char { iterating = 0, done = 1, handed = 2 };

// Columns of B gathered at a time for the checks after the rounds: eight
// doubles fill a 64-byte cache line.
constexpr std::int64_t tile_width = 8;


// FNV-1a over the n flags of a free set.
std::uint64_t set_hash(const unsigned char* flags, std::int32_t n) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::int32_t i = 0; i < n; ++i) h = (h ^ flags[i]) * 1099511628211ull;
  return h;
}

// R'R = S(set, set) for the symmetric S (column-major, leading dimension
// lds), column by column in increasing position: column q is
// R^-T S(set[0..q), t) with the pivot sqrt(S_tt - r'r), t = set[q] -- for
// S = G the factor the one-at-a-time solver builds by appending the same
// variables.  R is p x p with leading dimension p.  Returns false when a
// pivot^2 is at or below dependent_pivot * S_tt.
bool cholesky(const double* m, std::ptrdiff_t lds, std::int32_t p, const std::int32_t* set,
              double* r) {
  for (std::int32_t q = 0; q < p; ++q) {
    if (!append_column(q, r, p, set, m, lds, set[q])) return false;
  }
  return true;
}

// Lower-bound estimate of cond_2(G(F, F)) = cond_2(R)^2, as the
// one-at-a-time solver makes it: ||R|| >= max sqrt(G_tt) over F, and
// ||R^-1|| >= ||R^-1 z|| / ||z|| for z = R^-T e, the signs of e = (+-1)
// chosen to make each z_k large.
double condition_of(const double* g, std::ptrdiff_t ldg, std::int32_t p,
                    const std::int32_t* set, const double* r, std::ptrdiff_t ldr, double* z,
                    double* v) {
  if (p == 0) return one;
  double colmax = zero;
  for (std::int32_t k = 0; k < p; ++k) {
    const double* rk = r + k * ldr;
    const double partial = dot(k, rk, z);
    const double e = partial > zero ? -one : one;
    z[k] = (e - partial) / rk[k];
    colmax = std::fmax(colmax, g[set[k] * ldg + set[k]]);
  }
  const double znorm = std::sqrt(dot(p, z, z));
  solve_upper(p, r, ldr, z, v);
  const double kappa = std::sqrt(colmax) * std::sqrt(dot(p, v, v)) / znorm;
  return kappa * kappa;
}

}  // namespace

// One worker's storage: the factor of the group it is running and the
// vectors of the problem at hand.
struct BlockPivoting::Scratch {
  Scratch(std::int32_t n, std::int32_t m)
      : r(std::size_t(n) * std::size_t(n)), rh(std::size_t(n) * std::size_t(n)),
        set(std::size_t(n)), held(std::size_t(n)), x(std::size_t(n)),
        w(std::size_t(n)), v(std::size_t(n)), s(std::size_t(n)),
        z(std::size_t(n)), b(std::size_t(m)), resid(std::size_t(m)), orth(std::size_t(m)),
        tile(std::size_t(m) * tile_width), flags(std::size_t(n)), group_set(std::size_t(n)),
        solver(n, m) {}
  std::vector<double> r, rh;             // factors of G(F, F) and M(H, H)
  std::vector<std::int32_t> set, held;   // F and H in increasing index order
  std::vector<double> x, w, v, s, z;
  std::vector<double> b, resid, orth;
  std::vector<double> tile;             // m x tile_width columns of B
  std::vector<unsigned char> flags;
  std::vector<unsigned char> group_set;  // F of the group being solved
  Workspace solver;   // for the one-at-a-time solver
};

// The group's free set and what depends on it alone: p, the factor in the
// worker's scratch, and cond_2(G(F, F)) once estimated (negative before).
struct BlockPivoting::GroupFactor {
  std::int32_t p = 0;        // |F|
  std::int32_t h = 0;        // |H|
  bool held = false;         // factored M(H, H) rather than G(F, F)
  double condition = -1.0;
};

BlockPivoting::BlockPivoting(const ManyProblems& problems, const ManyResults& results,
                             int workers)
    : pr_(problems), out_(results),
      free_(std::size_t(problems.k) * std::size_t(problems.n), 0),
      x_(std::size_t(problems.k) * std::size_t(problems.n)),
      w_(std::size_t(problems.k) * std::size_t(problems.n)),
      pivot_(problems.a != nullptr ? std::size_t(problems.k) * std::size_t(problems.n) : 0, -one),
      hash_(std::size_t(problems.k)),
      best_(std::size_t(problems.k), std::numeric_limits<std::int32_t>::max()),
      trials_(std::size_t(problems.k), max_trials),
      rounds_(std::size_t(problems.k), 0),
      state_(std::size_t(problems.k), iterating) {
  const std::int32_t n = pr_.n;
  scratch_.reserve(std::size_t(workers));
  for (int i = 0; i < workers; ++i) scratch_.emplace_back(n, pr_.m);
  // Without x0 every problem starts from the unconstrained minimiser
  // (F = all variables, one factor for all), where G has a Cholesky
  // factor in the Gram form; else from x = 0 (F empty).
  std::vector<unsigned char> all(std::size_t(n), 1);
  GroupFactor f;
  const bool definite = factor(all.data(), scratch_[0], f);
  const bool unconstrained = pr_.x0 == nullptr && definite;
  for (std::int64_t j = 0; j < pr_.k; ++j) {
    unsigned char* row = free_.data() + j * n;
    if (pr_.x0 != nullptr) {
      for (std::int32_t i = 0; i < n; ++i) row[i] = pr_.x0[i * pr_.ldk + j] > zero;
    } else if (unconstrained) {
      std::fill(row, row + n, 1);
    }
    rehash(j);
  }
  // The held form where eps cond(G)^2, a bound on its relative error, is
  // below refine_threshold (cond(M(H, H)) <= cond(G)).
  if (definite) {
    Scratch& s = scratch_[0];
    const double condition =
        condition_of(pr_.g, pr_.ldg, n, s.set.data(), s.r.data(), n, s.z.data(), s.v.data());
    inverse_error_ = eps * condition * condition;
    if (inverse_error_ <= refine_threshold) form_inverse(s);
  }
}

BlockPivoting::~BlockPivoting() = default;

// M = G^-1 = R^-1 R^-T column by column, from the factor of G(all, all) in
// s.r; u_j = M c_j is formed per problem when first needed.
void BlockPivoting::form_inverse(Scratch& s) {
  const std::int32_t n = pr_.n;
  inverse_.assign(std::size_t(n) * std::size_t(n), zero);
  for (std::int32_t i = 0; i < n; ++i) {
    std::fill(s.v.begin(), s.v.end(), zero);
    s.v[i] = one;
    solve_transposed(n, s.r.data(), n, s.v.data());
    solve_upper(n, s.r.data(), n, s.v.data(), inverse_.data() + std::ptrdiff_t(i) * n);
  }
  u_.assign(std::size_t(pr_.k) * std::size_t(n), zero);
  has_u_.assign(std::size_t(pr_.k), 0);
  every_.resize(std::size_t(n));
  for (std::int32_t i = 0; i < n; ++i) every_[std::size_t(i)] = i;
}

// u_j = M c_j, formed once per problem as the sum over t = 0..n-1 of
// c_t M(:, t), accumulated in increasing t from u = 0 (u_ starts at zero):
// one pass over u per four columns of M, where a dot product per entry
// would reduce n short vectors.  s.z holds -c on the way.
const double* BlockPivoting::unconstrained(std::int64_t j, Scratch& s) {
  const std::int32_t n = pr_.n;
  double* u = u_.data() + j * n;
  if (!has_u_[j]) {
    const double* c = pr_.c + j * n;
    for (std::int32_t i = 0; i < n; ++i) s.z[i] = -c[i];
    subtract_columns(n, n, inverse_.data(), n, every_.data(), s.z.data(), u);
    has_u_[j] = 1;
  }
  return u;
}

void BlockPivoting::rehash(std::int64_t j) {
  hash_[j] = set_hash(free_.data() + j * pr_.n, pr_.n);
}

void BlockPivoting::gather_b(std::int64_t j, double* b) const {
  const double* bj = pr_.b + j * pr_.b_col;
  for (std::int32_t i = 0; i < pr_.m; ++i) b[i] = bj[i * pr_.b_row];
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
bool BlockPivoting::factor(const unsigned char* free_set, Scratch& s, GroupFactor& f) const {
  f = GroupFactor();
  for (std::int32_t t = 0; t < pr_.n; ++t) {
    if (free_set[t]) {
      s.set[f.p++] = t;
    } else {
      s.held[f.h++] = t;
    }
  }
  if (!inverse_.empty() && f.h < f.p &&
      cholesky(inverse_.data(), pr_.n, f.h, s.held.data(), s.rh.data())) {
    f.held = true;
    return true;
  }
  return cholesky(pr_.g, pr_.ldg, f.p, s.set.data(), s.r.data());
}

void BlockPivoting::trial(std::int64_t j, const GroupFactor& f, Scratch& s) {
  if (f.held) {
    trial_held(j, f, s);
  } else {
    trial_free(j, f, s);
  }
}

// x = u + M(:, H) l with M(H, H) l = -u_H, x_H = 0 exactly; then w = c - G x
// as in trial_free.
void BlockPivoting::trial_held(std::int64_t j, const GroupFactor& f, Scratch& s) {
  const std::int32_t n = pr_.n;
  const double* u = unconstrained(j, s);
  for (std::int32_t q = 0; q < f.h; ++q) s.v[q] = -u[s.held[q]];
  solve_transposed(f.h, s.rh.data(), f.h, s.v.data());
  solve_upper(f.h, s.rh.data(), f.h, s.v.data(), s.s.data());
  // subtract_columns takes its coefficients by variable: -l at H.
  for (std::int32_t q = 0; q < f.h; ++q) s.z[s.held[q]] = -s.s[q];
  std::memcpy(s.x.data(), u, sizeof(double) * std::size_t(n));
  subtract_columns(n, f.h, inverse_.data(), n, s.held.data(), s.z.data(), s.x.data());
  for (std::int32_t q = 0; q < f.h; ++q) s.x[s.held[q]] = zero;
  // With nothing held (the unconstrained minimiser) a negative x_i is
  // infeasible whatever w is, and the exchange reads w at held variables
  // only: w is not needed.
  if (f.h == 0 && std::any_of(s.x.begin(), s.x.end(), [](double v) { return v < zero; })) {
    return;
  }
  std::memcpy(s.w.data(), pr_.c + j * n, sizeof(double) * std::size_t(n));
  subtract_columns(n, f.p, pr_.g, pr_.ldg, s.set.data(), s.x.data(), s.w.data());
}

// x_F = G(F, F)^-1 c_F = R^-1 R^-T c_F, x = 0 off F, and w = c - G x with
// each w_i one accumulator over F in increasing index order.
void BlockPivoting::trial_free(std::int64_t j, const GroupFactor& f, Scratch& s) const {
  const std::int32_t n = pr_.n;
  const double* c = pr_.c + j * n;
  for (std::int32_t q = 0; q < f.p; ++q) s.v[q] = c[s.set[q]];
  solve_transposed(f.p, s.r.data(), f.p, s.v.data());
  solve_upper(f.p, s.r.data(), f.p, s.v.data(), s.s.data());
  std::fill(s.x.begin(), s.x.end(), zero);
  for (std::int32_t q = 0; q < f.p; ++q) s.x[s.set[q]] = s.s[q];
  std::memcpy(s.w.data(), c, sizeof(double) * std::size_t(n));
  subtract_columns(n, f.p, pr_.g, pr_.ldg, s.set.data(), s.x.data(), s.w.data());
}

// The infeasible variables of the trial point change sides: all of them
// while the count keeps reaching new lows (or within max_trials rounds of
// the last low), else only the one of largest index.
void BlockPivoting::exchange(std::int64_t j, Scratch& s, double tol) {
  unsigned char* row = free_.data() + j * pr_.n;
  std::int32_t count = 0, last = -1;
  for (std::int32_t i = 0; i < pr_.n; ++i) {
    const bool infeasible = row[i] ? s.x[i] < zero : s.w[i] > tol;
    s.flags[i] = infeasible;
    if (infeasible) {
      ++count;
      last = i;
    }
  }
  assert(count > 0);
  bool all = true;
  if (count < best_[j]) {
    best_[j] = count;
    trials_[j] = max_trials;
  } else if (trials_[j] > 0) {
    --trials_[j];
  } else {
    all = false;
  }
  if (all) {
    for (std::int32_t i = 0; i < pr_.n; ++i) row[i] ^= s.flags[i];
  } else {
    row[last] ^= 1;
  }
  rehash(j);
}

// x_j and w_j kept until publish writes them out.
void BlockPivoting::keep(std::int64_t j, const Scratch& s) {
  const std::size_t n = std::size_t(pr_.n);
  std::memcpy(x_.data() + j * pr_.n, s.x.data(), sizeof(double) * n);
  std::memcpy(w_.data() + j * pr_.n, s.w.data(), sizeof(double) * n);
  out_.iterations[j] = rounds_[j];
  state_[j] = done;
}

// The rounds are spent: the free variables that are not positive go to
// zero and leave F, so that the point reported is feasible.
void BlockPivoting::stop_at_limit(std::int64_t j, Scratch& s) {
  unsigned char* row = free_.data() + j * pr_.n;
  std::int32_t p = 0;
  for (std::int32_t i = 0; i < pr_.n; ++i) {
    if (row[i] && !(s.x[i] > zero)) {
      row[i] = 0;
      s.x[i] = zero;
    }
    if (row[i]) s.set[p++] = i;
  }
  std::memcpy(s.w.data(), pr_.c + j * pr_.n, sizeof(double) * std::size_t(pr_.n));
  subtract_columns(pr_.n, p, pr_.g, pr_.ldg, s.set.data(), s.x.data(), s.w.data());
  keep(j, s);
  out_.status[j] = status_iteration_limit;
}

namespace {

// resid = b - A x over F.
void residual(const ManyProblems& pr, std::int32_t p, const std::int32_t* set, const double* x,
              const double* b, double* resid) {
  std::memcpy(resid, b, sizeof(double) * std::size_t(pr.m));
  subtract_columns(pr.m, p, pr.a, pr.lda, set, x, resid);
}

// Worst violation of x >= 0, |w_i| <= tol on F, w_i <= tol off F, relative
// to tol; NaN counts as infinite.
double violation(std::int32_t n, const unsigned char* free_set, const double* x, const double* w,
                 double tol) {
  double worst = zero;
  for (std::int32_t i = 0; i < n; ++i) {
    const double excess = !(x[i] >= zero) ? infinity : free_set[i] ? std::fabs(w[i]) : w[i];
    if (!(excess <= worst)) worst = std::isnan(excess) ? infinity : excess;
  }
  if (worst == zero) return zero;
  return tol > zero ? worst / tol : infinity;
}

}  // namespace

// The checks of a solved problem that need its group's factor: cond(G(F,
// F)), refinement with A on F while eps*cond predicts an error above
// refine_threshold, the optimality conditions on the Gram form, and the
// pivots of the held variables whose duals publish recomputes from A.
void BlockPivoting::finish(std::int64_t j, GroupFactor& f, Scratch& s) {
  const std::int32_t n = pr_.n, m = pr_.m;
  const unsigned char* row = free_.data() + j * n;
  const double* c = pr_.c + j * n;
  if (f.held) {
    // The held form's x stands where its error bound inverse_error_ meets
    // refine_threshold and no held dual is weak (whose check needs the
    // factor of G(F, F)); else x is solved again through that factor.
    const double scale = pr_.gnorm * max_abs(s.x.data(), n) + max_abs(c, n);
    const double weak = -dual_tolerance * scale;
    bool plain = true;
    for (std::int32_t q = 0; q < f.h && plain; ++q) {
      const std::int32_t i = s.held[q];
      plain = !(s.w[i] > weak) || !(pr_.g[i * pr_.ldg + i] > zero);
    }
    if (plain) {
      const bool accurate =
          violation(n, row, s.x.data(), s.w.data(), dual_tolerance * scale) <= one;
      keep(j, s);
      out_.status[j] = accurate ? status_solved : status_inaccurate;
      return;
    }
    GroupFactor free_form = f;
    free_form.held = false;
    free_form.condition = -1.0;
    if (!cholesky(pr_.g, pr_.ldg, f.p, s.set.data(), s.r.data())) {
      state_[j] = handed;
      return;
    }
    trial_free(j, free_form, s);
    finish(j, free_form, s);
    return;
  }
  if (f.condition < zero) {
    f.condition = condition_of(pr_.g, pr_.ldg, f.p, s.set.data(), s.r.data(), f.p, s.z.data(),
                               s.v.data());
  }
  double error = eps * f.condition;
  bool residual_settled = true;
  if (pr_.a != nullptr && f.p > 0 && error > refine_threshold) {
    gather_b(j, s.b.data());
    Refinement refinement(spread(s.x.data(), std::sqrt(dot(m, s.b.data(), s.b.data()))));
    do {
      residual(pr_, f.p, s.set.data(), s.x.data(), s.b.data(), s.resid.data());
      for (std::int32_t q = 0; q < f.p; ++q) {
        s.v[q] = dot(m, pr_.a + s.set[q] * pr_.lda, s.resid.data());
      }
      solve_transposed(f.p, s.r.data(), f.p, s.v.data());
      // g'd = |R^-T g|^2 = |A(:, F) d|^2.
      const double fit = std::sqrt(dot(f.p, s.v.data(), s.v.data()));
      solve_upper(f.p, s.r.data(), f.p, s.v.data(), s.s.data());
      double dmax = zero;
      for (std::int32_t q = 0; q < f.p; ++q) {
        s.x[s.set[q]] += s.s[q];
        dmax = std::fmax(dmax, std::fabs(s.s[q]));
      }
      const double xmax = max_abs(s.x.data(), n);
      if (!refinement.record({xmax > zero ? dmax / xmax : dmax, fit})) break;
    } while (refinement.steps() < max_refinements);
    error = refinement.error();
    residual_settled = refinement.residual_settled();
    std::memcpy(s.w.data(), c, sizeof(double) * std::size_t(n));
    subtract_columns(n, f.p, pr_.g, pr_.ldg, s.set.data(), s.x.data(), s.w.data());
  }
  const double scale = pr_.gnorm * max_abs(s.x.data(), n) + max_abs(c, n);
  const bool accurate =
      violation(n, row, s.x.data(), s.w.data(), dual_tolerance * scale) <= one &&
      error <= accuracy_target && residual_settled;
  if (pr_.a != nullptr && accurate) mark_weak_duals(j, f, s, scale);
  keep(j, s);
  out_.status[j] = accurate ? status_solved : status_inaccurate;
}

// For each held variable i whose Gram-form dual is not clearly negative
// (w_i > -dual_tolerance * scale): pivot_(j, i) = G_ii - z'z with
// z = R^-T G(F, i), the square of the pivot i would get on entering, not
// below its rounding eps G_ii.  The other entries stay -1.
void BlockPivoting::mark_weak_duals(std::int64_t j, const GroupFactor& f, Scratch& s,
                                    double scale) {
  const std::int32_t n = pr_.n;
  const unsigned char* row = free_.data() + j * n;
  const double weak = -dual_tolerance * scale;
  for (std::int32_t i = 0; i < n; ++i) {
    const double gii = pr_.g[i * pr_.ldg + i];
    if (row[i] || !(s.w[i] > weak) || !(gii > zero)) continue;
    const double* gi = pr_.g + i * pr_.ldg;
    for (std::int32_t q = 0; q < f.p; ++q) s.z[q] = gi[s.set[q]];
    solve_transposed(f.p, s.r.data(), f.p, s.z.data());
    pivot_[j * n + i] = std::fmax(gii - dot(f.p, s.z.data(), s.z.data()), eps * gii);
  }
}

// The duals from A of the variables mark_weak_duals marked, given ||b||,
// the free set in s.set[0..p) and the residual b - A x (certificate.h:
// held_dual, and residual_lowering with the factor of G(F, F) made again
// where the Gram form cannot decide).  Returns false when the Gram form
// missed a variable or cannot vouch for the residual.
bool BlockPivoting::weak_duals_hold(std::int64_t j, double bnorm, std::int32_t p,
                                    const double* resid, Scratch& s) const {
  const std::int32_t n = pr_.n, m = pr_.m;
  const double* pivot = pivot_.data() + j * n;
  const double* x = x_.data() + j * n;
  const double scale = spread(x, bnorm);
  const double rnorm = std::sqrt(dot(m, resid, resid));
  bool factored = false;
  for (std::int32_t i = 0; i < n; ++i) {
    if (!(pivot[i] > zero)) continue;
    const double gii = pr_.g[i * pr_.ldg + i];
    const double wa = dot(m, pr_.a + i * pr_.lda, resid);
    const double noise = residual_rounding * std::sqrt(double(m)) * std::sqrt(gii) * scale;
    const HeldDual verdict = held_dual(wa, noise, pivot[i], max_abs(x, n), rnorm, scale);
    if (verdict == HeldDual::missed) return false;
    if (verdict == HeldDual::settled) continue;
    if (!factored && !cholesky(pr_.g, pr_.ldg, p, s.set.data(), s.r.data())) return false;
    factored = true;
    const double* gi = pr_.g + i * pr_.ldg;
    for (std::int32_t q = 0; q < p; ++q) s.v[q] = gi[s.set[q]];
    solve_transposed(p, s.r.data(), p, s.v.data());
    solve_upper(p, s.r.data(), p, s.v.data(), s.z.data());
    if (residual_lowering(m, pr_.a, pr_.lda, s.set.data(), p, s.z.data(), i, resid,
                          s.orth.data()) > residual_target * scale) {
      return false;
    }
  }
  return true;
}

void BlockPivoting::publish(int worker, std::int64_t first, std::int64_t last) {
  Scratch& s = scratch_[std::size_t(worker)];
  const std::int32_t n = pr_.n, m = pr_.m;
  const std::int64_t k = pr_.ldk;
  for (std::int64_t block = first; block < last; block += tile_width) {
    const std::int64_t width = std::min<std::int64_t>(tile_width, last - block);
    if (pr_.a != nullptr) gather_tile(block, width, s.tile.data());
    for (std::int64_t j = block; j < block + width; ++j) {
      const unsigned char* row = free_.data() + j * n;
      const double* x = x_.data() + j * n;
      if (pr_.a != nullptr) {
        double* b = s.tile.data() + (j - block) * m;
        const double btb = dot(m, b, b);
        const bool marked = out_.status[j] == status_solved && marks_weak_duals(j);
        const double squares = residual_squares(j, btb);
        if (squares >= zero && !marked) {
          out_.rnorm[j] = std::sqrt(squares);
        } else {
          std::int32_t p = 0;
          for (std::int32_t i = 0; i < n; ++i) {
            if (row[i]) s.set[p++] = i;
          }
          // b becomes the residual b - A x in place (the tile is a copy).
          subtract_columns(m, p, pr_.a, pr_.lda, s.set.data(), x, b);
          out_.rnorm[j] = std::sqrt(dot(m, b, b));
          if (marked && !weak_duals_hold(j, std::sqrt(btb), p, b, s)) {
            out_.status[j] = status_inaccurate;
          }
        }
      }
      const double* w = w_.data() + j * n;
      const bool solved = out_.status[j] == status_solved;
      for (std::int32_t i = 0; i < n; ++i) {
        // A free variable at exactly zero (b = 0, say) is reported held.
        const bool free = row[i] != 0 && x[i] > zero;
        out_.x[i * k + j] = x[i];
        // The dual of a solution vanishes on its free set: what the Gram
        // form leaves there is rounding (certified below tolerance).
        out_.w[i * k + j] = solved && free ? zero : w[i];
        out_.passive[i * k + j] = free;
      }
    }
  }
}

// ||b - A x||^2 from the Gram form where its rounding allows
// (gram_residual_squares), else -1: the residual is then formed with A.
double BlockPivoting::residual_squares(std::int64_t j, double btb) const {
  const std::int32_t n = pr_.n;
  const double* x = x_.data() + j * n;
  const double xc = dot(n, x, pr_.c + j * n);
  const double xw = dot(n, x, w_.data() + j * n);
  return gram_residual_squares(btb, xc, xw, spread(x, std::sqrt(btb)), pr_.m, n);
}

// ||b|| + sum over i of ||a_i|| |x_i|, the scale of the rounding of what is
// formed from A and b at x (certificate.h).
double BlockPivoting::spread(const double* x, double bnorm) const {
  double s = bnorm;
  for (std::int32_t i = 0; i < pr_.n; ++i) {
    if (x[i] != zero) s += std::sqrt(pr_.g[i * pr_.ldg + i]) * std::fabs(x[i]);
  }
  return s;
}

bool BlockPivoting::marks_weak_duals(std::int64_t j) const {
  const double* pivot = pivot_.data() + j * pr_.n;
  for (std::int32_t i = 0; i < pr_.n; ++i) {
    if (pivot[i] > zero) return true;
  }
  return false;
}

// Columns first..first+width-1 of B into tile (m x width, column-major),
// row by row of B: where B's rows are contiguous, each cache line of B is
// read once for the whole tile rather than once per problem.
void BlockPivoting::gather_tile(std::int64_t first, std::int64_t width, double* tile) const {
  const double* b = pr_.b + first * pr_.b_col;
  for (std::int32_t i = 0; i < pr_.m; ++i) {
    const double* bi = b + i * pr_.b_row;
    for (std::int64_t j = 0; j < width; ++j) tile[j * pr_.m + i] = bi[j * pr_.b_col];
  }
}

void BlockPivoting::solve_group(int worker, std::int64_t index) {
  Scratch& s = scratch_[std::size_t(worker)];
  const std::size_t n = std::size_t(pr_.n);
  const std::int64_t first = starts_[index], last = starts_[index + 1];
  const unsigned char* leader = free_.data() + order_[first] * pr_.n;
  std::memcpy(s.group_set.data(), leader, n);
  GroupFactor f;
  const bool factored = factor(s.group_set.data(), s, f);
  for (std::int64_t q = first; q < last; ++q) {
    const std::int64_t j = order_[q];
    if (std::memcmp(free_.data() + j * pr_.n, s.group_set.data(), n) != 0) {
      // A hash collision: this member's set is not the group's.
      GroupFactor own;
      if (factor(free_.data() + j * pr_.n, s, own)) {
        step(j, own, s);
      } else {
        state_[j] = handed;
      }
      if (factored && !factor(s.group_set.data(), s, f)) return;
    } else if (factored) {
      step(j, f, s);
    } else {
      state_[j] = handed;
    }
  }
}

// One round of problem j with the factor of its free set: the trial point,
// then its results if it is feasible, else the exchange (or the end of its
// rounds).
void BlockPivoting::step(std::int64_t j, GroupFactor& f, Scratch& s) {
  trial(j, f, s);
  ++rounds_[j];
  const double scale =
      pr_.gnorm * max_abs(s.x.data(), pr_.n) + max_abs(pr_.c + j * pr_.n, pr_.n);
  const double tol = entering_tolerance * scale;
  const unsigned char* row = free_.data() + j * pr_.n;
  bool feasible = true;
  for (std::int32_t i = 0; i < pr_.n && feasible; ++i) {
    feasible = row[i] ? !(s.x[i] < zero) : !(s.w[i] > tol);
  }
  if (feasible) {
    finish(j, f, s);
  } else if (rounds_[j] >= pr_.maxiter) {
    stop_at_limit(j, s);
  } else if (rounds_[j] >= pr_.n + handover_trials * max_trials) {
    state_[j] = handed;
  } else {
    exchange(j, s, tol);
  }
}

bool BlockPivoting::solve(const std::atomic<bool>* cancel) {
  for (std::int64_t groups = group(); groups > 0; groups = group()) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return false;
    for (std::int64_t g = 0; g < groups; ++g) solve_group(0, g);
  }
  for (std::int64_t i = 0; i < handed_over(); ++i) {
    if (!solve_handed_over(0, i, cancel)) return false;
  }
  publish(0, 0, pr_.k);
  return true;
}

bool BlockPivoting::solve_handed_over(int worker, std::int64_t index,
                                      const std::atomic<bool>* cancel) {
  Scratch& s = scratch_[std::size_t(worker)];
  const std::int64_t j = handed_[index];
  const GramProblem problem{pr_.g, pr_.ldg, pr_.n, pr_.c + j * pr_.n, pr_.gnorm};
  LeastSquares ls{pr_.a, pr_.lda, pr_.m, s.b.data()};
  if (pr_.a != nullptr) gather_b(j, s.b.data());
  const Outcome outcome = gram::solve(problem, pr_.a != nullptr ? &ls : nullptr, pr_.maxiter,
                                      cancel,
                                      s.solver, s.x.data(), s.w.data(), free_.data() + j * pr_.n);
  if (outcome.status == status_cancelled) return false;
  keep(j, s);
  out_.iterations[j] = outcome.iterations;
  out_.status[j] = outcome.status;
  return true;
}

}  // namespace gram
}  // namespace tovrin
