// The held form of the rounds; see held_form.h.
#include "gram/held_form.h"

#include <algorithm>
#include <cstring>

#include "common/team.h"
#include "gram/kernels.h"

namespace tovrin {
namespace gram {

HeldForm::HeldForm(double* g, std::int32_t n, double gnorm, Team& team,
                   dense::DenseWorkspace& ws)
    : storage_(g), n_(n), diag_(static_cast<std::size_t>(n)),
      g_{g, n, n, gnorm, diag_.data(), true}, team_(team), ws_(ws), l_(g),
      w_(std::size_t(n) * std::size_t(n)), s_(std::size_t(n) * std::size_t(n)),
      scratch_(std::size_t(n) * std::size_t(n)),
      position_(std::size_t(n), -1), moved_(std::size_t(n)),
      schur_(n),
      y_(std::size_t(n)), u_(std::size_t(n)),
      v_(std::size_t(n)), t_(std::size_t(n)), z_(std::size_t(n)) {
  held_.reserve(std::size_t(n_));
  free_.reserve(std::size_t(n_));
  first_.reserve(std::size_t(n_));
}

bool HeldForm::factorise() {
  for (std::int32_t j = 0; j < n_; ++j) diag_[std::size_t(j)] = storage_[std::size_t(j) * (n_ + 1)];
  if (dense::cholesky(team_, ws_, n_, storage_, n_, dependent_pivot) < n_) return false;
  double largest = zero;
  for (const double d : diag_) largest = std::max(largest, d);
  condition_ = lower_condition(n_, l_, n_, largest, v_.data(), t_.data());
  return eps * condition_ <= held_form_condition;
}

void HeldForm::restore() {
  for (std::int32_t j = 0; j < n_; ++j) {
    double* gj = storage_ + std::size_t(j) * n_;
    gj[j] = diag_[std::size_t(j)];
    for (std::int32_t i = j + 1; i < n_; ++i) gj[i] = storage_[j + std::size_t(i) * n_];
  }
}

void HeldForm::start(const double* c) {
  std::memcpy(y_.data(), c, sizeof(double) * std::size_t(n_));
  dense::solve_lower_vector(team_, dense::Op::none, n_, l_, n_, y_.data());
  std::memcpy(u_.data(), y_.data(), sizeof(double) * std::size_t(n_));
  dense::solve_lower_vector(team_, dense::Op::transpose, n_, l_, n_, u_.data());
  for (const std::int32_t h : held_) position_[std::size_t(h)] = -1;
  held_.clear();
  schur_.clear();
}

bool HeldForm::prepare(const unsigned char* free) {
  free_.clear();
  for (std::int32_t i = 0; i < n_; ++i) {
    if (free[i]) free_.push_back(i);
  }
  const std::int32_t before = std::int32_t(held_.size());
  drop_held(free);
  const std::int32_t kept = std::int32_t(held_.size());
  add_columns(free);
  schur_entries(kept);
  // S's factor of the kept positions stands where none left H (they kept
  // their places): then only the new positions border it.
  const std::int32_t added = std::int32_t(held_.size()) - kept;
  if (kept == before && schur_.size() == kept && (added == 0 || 2 * added <= kept)) {
    if (added == 0 || extend_schur(kept)) return true;
  }
  return factorise_schur();
}

// Borders S's factor with the positions from kept on (Factor::extend).
bool HeldForm::extend_schur(std::int32_t kept) {
  const std::int32_t p = std::int32_t(held_.size());
  double* lower = schur_.storage();
  const std::size_t ld = std::size_t(schur_.ld());
  for (std::int32_t c = 0; c < p; ++c) {
    const std::int32_t from = std::max(c, kept);
    std::memcpy(lower + std::size_t(c) * ld + from, s_.data() + std::size_t(c) * n_ + from,
                sizeof(double) * std::size_t(p - from));
  }
  for (std::int32_t q = kept; q < p; ++q) {
    v_[std::size_t(q - kept)] = s_[std::size_t(q) * (n_ + 1)];
  }
  return schur_.extend(held_.data() + kept, p - kept, v_.data(), scratch_.data(), &team_, &ws_);
}

// The variables that leave H go from held_, their columns from W and their
// rows and columns from S's entries; those left keep their order, so that
// every entry moves to a place no later than its own.
void HeldForm::drop_held(const unsigned char* free) {
  std::int32_t kept = 0;
  for (std::size_t q = 0; q < held_.size(); ++q) {
    const std::int32_t h = held_[q];
    if (free[h]) {
      position_[std::size_t(h)] = -1;
      continue;
    }
    moved_[std::size_t(kept)] = std::int32_t(q);
    if (std::int32_t(q) != kept) {
      std::memcpy(column(kept), column(std::int32_t(q)), sizeof(double) * std::size_t(n_));
    }
    held_[std::size_t(kept)] = h;
    position_[std::size_t(h)] = kept++;
  }
  // S's lower triangle, column by column in increasing order.
  for (std::int32_t c = 0; c < kept; ++c) {
    const double* from = s_.data() + std::size_t(moved_[std::size_t(c)]) * n_;
    double* to = s_.data() + std::size_t(c) * n_;
    for (std::int32_t r = c; r < kept; ++r) to[r] = from[moved_[std::size_t(r)]];
  }
  held_.resize(std::size_t(kept));
}

// The variables that enter H, in increasing order, get the columns
// L^-1 e_h of W after those kept: one staircase solve for all of them.
void HeldForm::add_columns(const unsigned char* free) {
  const std::int32_t first = std::int32_t(held_.size());
  first_.clear();
  for (std::int32_t i = 0; i < n_; ++i) {
    if (free[i] || position_[std::size_t(i)] >= 0) continue;
    double* w = column(std::int32_t(held_.size()));
    std::memset(w, 0, sizeof(double) * std::size_t(n_));
    w[i] = one;
    position_[std::size_t(i)] = std::int32_t(held_.size());
    held_.push_back(i);
    first_.push_back(i);
  }
  const std::int32_t added = std::int32_t(held_.size()) - first;
  if (added == 0) return;
  dense::solve_lower_staircase(team_, ws_, n_, added, l_, n_, column(first), n_,
                               first_.data());
}

// S's entries of the columns from position kept on: W_new'W_kept below the
// kept ones, W_new'W_new below the diagonal.  Those among kept columns are
// S's already.
void HeldForm::schur_entries(std::int32_t kept) {
  const std::int32_t p = std::int32_t(held_.size()), added = p - kept;
  if (added == 0) return;
  double* below = s_.data() + kept;
  if (kept > 0) {
    dense::gemm(team_, ws_, dense::Op::transpose, dense::Op::none, added, kept, n_, one,
                column(kept), n_, w_.data(), n_, zero, below, n_);
  }
  dense::syrk(team_, ws_, dense::Op::transpose, added, n_, one, column(kept), n_, zero,
              below + std::size_t(kept) * n_, n_);
}

// L_S L_S' = S, from S's entries.
bool HeldForm::factorise_schur() {
  const std::int32_t p = std::int32_t(held_.size());
  double* lower = schur_.storage();
  for (std::int32_t c = 0; c < p; ++c) {
    std::memcpy(lower + std::size_t(c) * schur_.ld() + c, s_.data() + std::size_t(c) * n_ + c,
                sizeof(double) * std::size_t(p - c));
  }
  return schur_.factorise(held_.data(), p, &team_, &ws_);
}

void HeldForm::back_from(const double* y, const double* l, double* x) {
  if (x != y) std::memcpy(x, y, sizeof(double) * std::size_t(n_));
  const std::int32_t p = std::int32_t(held_.size());
  if (p > 0) dense::gemv(team_, dense::Op::none, n_, p, one, w_.data(), n_, l, one, x);
  dense::solve_lower_vector(team_, dense::Op::transpose, n_, l_, n_, x);
}

void HeldForm::trial(const double*, double* x, double* w) {
  const std::int32_t p = std::int32_t(held_.size());
  for (std::int32_t q = 0; q < p; ++q) v_[std::size_t(q)] = -u_[std::size_t(held_[std::size_t(q)])];
  schur_.solve(v_.data());
  back_from(y_.data(), v_.data(), x);
  std::memset(w, 0, sizeof(double) * std::size_t(n_));
  for (std::int32_t q = 0; q < p; ++q) {
    const std::int32_t h = held_[std::size_t(q)];
    x[h] = zero;
    w[h] = -v_[std::size_t(q)];
  }
}

// With v on F and zero on H: y = L^-1 v, then x = L^-T (y + W l) with
// S l = -W'y puts x_H = 0 and G x = v on F.
void HeldForm::solve_free(double* v) {
  std::memset(t_.data(), 0, sizeof(double) * std::size_t(n_));
  for (std::size_t q = 0; q < free_.size(); ++q) t_[std::size_t(free_[q])] = v[q];
  dense::solve_lower_vector(team_, dense::Op::none, n_, l_, n_, t_.data());
  const std::int32_t p = std::int32_t(held_.size());
  if (p > 0) {
    dense::gemv(team_, dense::Op::transpose, n_, p, -one, w_.data(), n_, t_.data(), zero,
                z_.data());
    schur_.solve(z_.data());
  }
  back_from(t_.data(), z_.data(), t_.data());
  for (std::size_t q = 0; q < free_.size(); ++q) v[q] = t_[std::size_t(free_[q])];
}

// The Schur complement of G_FF in G is S^-1 (H x H), whose diagonal entry
// at i's position q is G_ii - G_iF G_FF^-1 G_Fi = |L_S^-1 e_q|^2.
double HeldForm::held_pivot_squared(std::int32_t i) {
  const std::int32_t q = position_[std::size_t(i)];
  const std::int32_t p = std::int32_t(held_.size());
  std::memset(v_.data(), 0, sizeof(double) * std::size_t(p));
  v_[std::size_t(q)] = one;
  schur_.forward(v_.data());
  return std::max(dot(p, v_.data(), v_.data()), eps * g_.diagonal(i));
}

void HeldForm::solve_column(std::int32_t i, double* z) {
  for (std::size_t k = 0; k < free_.size(); ++k) z[k] = g_.entry(free_[k], i);
  solve_free(z);
}

}  // namespace gram
}  // namespace tovrin
