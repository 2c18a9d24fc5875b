// The free form of the rounds; see free_form.h.
#include "gram/free_form.h"

#include <algorithm>
#include <cstring>

#include "common/team.h"
#include "gram/kernels.h"

namespace tovrin {
namespace gram {

namespace {

// The factor is updated, not made anew, when at most this many variables
// change sides, and at most a free_update_share of |F|: an update costs
// O(|F|^2) per variable in vector work, making it anew |F|^3 / 3 in blocked
// products.
constexpr std::int32_t free_update_limit = 16;
constexpr std::int32_t free_update_share = 16;

}  // namespace

FreeForm::FreeForm(const GramMatrix& g, Team& team, dense::DenseWorkspace& ws)
    : g_(g), team_(team), ws_(ws), n_(g.n), factor_(g.n),
      in_(std::size_t(g.n), 0),
      v_(std::size_t(g.n)), z_(std::size_t(g.n)), diag_(std::size_t(g.n)) {
  set_.reserve(std::size_t(n_));
  for (std::int32_t j = 0; j < n_; ++j) diag_[std::size_t(j)] = g_.diagonal(j);
}

bool FreeForm::prepare(const unsigned char* free) {
  if (current_ && update(free)) return true;
  set_.clear();
  for (std::int32_t i = 0; i < n_; ++i) {
    in_[std::size_t(i)] = free[i];
    if (free[i]) set_.push_back(i);
  }
  current_ = factor_.make(g_.g, g_.ldg, set_.data(), std::int32_t(set_.size()), &team_, &ws_);
  return current_;
}

// Removes the positions of the variables that leave F (from the last) and
// appends those that enter, when they are few.  Returns false, the factor
// then to be made anew, when they are many or an appended pivot fails.
bool FreeForm::update(const unsigned char* free) {
  std::int32_t changes = 0;
  for (std::int32_t i = 0; i < n_; ++i) changes += (free[i] != 0) != (in_[std::size_t(i)] != 0);
  const std::int32_t p = factor_.size();
  if (changes > free_update_limit || changes * free_update_share > std::max(p, 1)) return false;
  for (std::int32_t q = p - 1; q >= 0; --q) {
    const std::int32_t t = factor_.variable(q);
    if (!free[t]) {
      factor_.remove(q);
      in_[std::size_t(t)] = 0;
    }
  }
  for (std::int32_t t = 0; t < n_; ++t) {
    if (!free[t] || in_[std::size_t(t)]) continue;
    const double* gt = g_.column(t);
    for (std::int32_t q = 0; q < factor_.size(); ++q) v_[std::size_t(q)] = gt[factor_.variable(q)];
    if (!factor_.append(t, v_.data(), gt[t])) {
      current_ = false;
      return false;
    }
    in_[std::size_t(t)] = 1;
  }
  return true;
}

void FreeForm::trial(const double* c, double* x, double* w) {
  const std::int32_t p = factor_.size();
  for (std::int32_t q = 0; q < p; ++q) v_[std::size_t(q)] = c[factor_.variable(q)];
  factor_.solve(v_.data());
  std::memset(x, 0, sizeof(double) * std::size_t(n_));
  for (std::int32_t q = 0; q < p; ++q) x[factor_.variable(q)] = v_[std::size_t(q)];
  std::memcpy(w, c, sizeof(double) * std::size_t(n_));
  dense::gemv(team_, dense::Op::none, n_, n_, -one, g_.g, g_.ldg, x, one, w);
  for (std::int32_t q = 0; q < p; ++q) w[factor_.variable(q)] = zero;
}

double FreeForm::held_pivot_squared(std::int32_t i) {
  const double* gi = g_.column(i);
  const std::int32_t p = factor_.size();
  for (std::int32_t q = 0; q < p; ++q) v_[std::size_t(q)] = gi[factor_.variable(q)];
  factor_.forward(v_.data());
  return std::max(gi[i] - dot(p, v_.data(), v_.data()), eps * gi[i]);
}

void FreeForm::solve_column(std::int32_t i, double* z) {
  const double* gi = g_.column(i);
  for (std::int32_t q = 0; q < factor_.size(); ++q) z[q] = gi[factor_.variable(q)];
  factor_.solve(z);
}

double FreeForm::condition() { return factor_.condition(diag_.data(), v_.data(), z_.data()); }

}  // namespace gram
}  // namespace tovrin
