// The Cholesky factor of a principal submatrix; see factor.h.
#include "gram/factor.h"

#include <cmath>
#include <cstring>

#include "common/team.h"
#include "gram/dense.h"
#include "gram/form.h"
#include "gram/kernels.h"

namespace tovrin {
namespace gram {

namespace {

// Positions from which make() uses the blocked kernels of a team.
constexpr std::int32_t blocked_order = 96;

// The Givens rotation [c s; -s c] with c a + s b = rho = sqrt(a^2 + b^2) and
// -s a + c b = 0, formed without squaring the larger of a and b.
struct Rotation {
  double c, s, rho;
};

Rotation rotation(double a, double b) {
  if (b == zero) return {a < zero ? -one : one, zero, std::fabs(a)};
  if (std::fabs(a) >= std::fabs(b)) {
    const double t = b / a;
    const double u = std::sqrt(one + t * t);
    const double c = std::copysign(one / u, a);
    return {c, c * t, std::fabs(a) * u};
  }
  const double t = a / b;
  const double u = std::sqrt(one + t * t);
  const double s = std::copysign(one / u, b);
  return {s * t, s, std::fabs(b) * u};
}

}  // namespace

Factor::Factor(std::int32_t capacity)
    : capacity_(capacity),
      l_(std::size_t(capacity) * std::size_t(capacity)),
      set_(std::size_t(capacity)) {}

bool Factor::make(const double* b, std::ptrdiff_t ldb, const std::int32_t* set, std::int32_t p,
                  Team* team, dense::DenseWorkspace* ws) {
  for (std::int32_t j = 0; j < p; ++j) {
    const double* bj = b + std::ptrdiff_t(set[j]) * ldb;
    double* lj = &at(0, j);
    for (std::int32_t i = j; i < p; ++i) lj[i] = bj[set[i]];
  }
  return factorise(set, p, team, ws);
}

bool Factor::factorise(const std::int32_t* set, std::int32_t p, Team* team,
                       dense::DenseWorkspace* ws) {
  if (set != set_.data()) std::memcpy(set_.data(), set, sizeof(std::int32_t) * std::size_t(p));
  p_ = 0;
  if (team != nullptr && ws != nullptr && p >= blocked_order) {
    if (dense::cholesky(*team, *ws, p, l_.data(), capacity_, dependent_pivot) < p) return false;
    p_ = p;
    return true;
  }
  // Right-looking: column j is final once the columns before it have been
  // subtracted; then it is scaled and subtracted from the columns after.
  for (std::int32_t j = 0; j < p; ++j) {
    double* lj = &at(0, j);
    const double d = lj[j];
    if (!(d > zero)) return false;
    // The pivot test against B_jj as given, which the updates have changed:
    // d = B_jj - sum l_jk^2 is compared with the diagonal kept in lj[j]
    // before the first update, which the loop below reconstructs.
    double given = d;
    for (std::int32_t k = 0; k < j; ++k) given += at(j, k) * at(j, k);
    if (!(d > dependent_pivot * given)) return false;
    const double pivot = std::sqrt(d);
    lj[j] = pivot;
    for (std::int32_t i = j + 1; i < p; ++i) lj[i] /= pivot;
    for (std::int32_t k = j + 1; k < p; ++k) axpy(p - k, -lj[k], lj + k, &at(k, k));
  }
  p_ = p;
  return true;
}

bool Factor::extend(const std::int32_t* variables, std::int32_t count, const double* diagonal,
                    double* scratch, Team* team, dense::DenseWorkspace* ws) {
  const std::int32_t p = p_, q = p + count;
  double* below = &at(p, 0);
  if (p > 0) {
    // L21' = L^-1 B(new, set)', through a transposed copy.
    for (std::int32_t c = 0; c < count; ++c) {
      for (std::int32_t r = 0; r < p; ++r) scratch[r + std::size_t(c) * p] = below[c + std::size_t(r) * capacity_];
    }
    if (team != nullptr && ws != nullptr) {
      dense::solve_lower(*team, *ws, dense::Op::none, p, count, l_.data(), capacity_, scratch, p);
    } else {
      for (std::int32_t c = 0; c < count; ++c) lower_solve(p, l_.data(), capacity_, scratch + std::size_t(c) * p);
    }
    for (std::int32_t c = 0; c < count; ++c) {
      for (std::int32_t r = 0; r < p; ++r) below[c + std::size_t(r) * capacity_] = scratch[r + std::size_t(c) * p];
    }
  }
  for (std::int32_t c = 0; c < count; ++c) set_[std::size_t(p + c)] = variables[c];
  // The Schur complement B(new, new) - L21 L21', then its factor; a pivot
  // is tested against B_tt as given, as make tests it.
  double* corner = &at(p, p);
  if (team != nullptr && ws != nullptr) {
    if (p > 0) {
      dense::syrk(*team, *ws, dense::Op::none, count, p, -one, below, capacity_, one, corner,
                  capacity_);
    }
    if (dense::cholesky(*team, *ws, count, corner, capacity_, zero) < count) return false;
    for (std::int32_t c = 0; c < count; ++c) {
      const double pivot = corner[c + std::size_t(c) * capacity_];
      if (!(pivot * pivot > dependent_pivot * diagonal[c])) return false;
    }
    p_ = q;
    return true;
  }
  for (std::int32_t j = p; j < q; ++j) {
    for (std::int32_t i = j; i < q; ++i) {
      double sum = zero;
      for (std::int32_t k = 0; k < p; ++k) sum += at(i, k) * at(j, k);
      at(i, j) -= sum;
    }
  }
  for (std::int32_t j = p; j < q; ++j) {
    double* lj = &at(0, j);
    const double d = lj[j];
    if (!(d > dependent_pivot * diagonal[j - p]) || !(d > zero)) return false;
    const double pivot = std::sqrt(d);
    lj[j] = pivot;
    for (std::int32_t i = j + 1; i < q; ++i) lj[i] /= pivot;
    for (std::int32_t k = j + 1; k < q; ++k) axpy(q - k, -lj[k], lj + k, &at(k, k));
  }
  p_ = q;
  return true;
}

bool Factor::append(std::int32_t t, double* column, double btt, double* y, double vt) {
  forward(column);
  const double d = btt - dot(p_, column, column);
  if (!(d > dependent_pivot * btt)) return false;
  for (std::int32_t j = 0; j < p_; ++j) at(p_, j) = column[j];
  const double pivot = std::sqrt(d);
  at(p_, p_) = pivot;
  if (y != nullptr) y[p_] = (vt - dot(p_, column, y)) / pivot;
  set_[std::size_t(p_)] = t;
  ++p_;
  return true;
}

void Factor::remove(std::int32_t q, double* y) {
  // Row q goes: in column j the rows below it move up one, so that columns
  // j > q hold one entry above the diagonal, at row j - 1.
  for (std::int32_t j = 0; j < p_; ++j) {
    const std::int32_t from = std::max(q, j - 1);
    double* lj = &at(0, j);
    std::memmove(lj + from, lj + from + 1, sizeof(double) * std::size_t(p_ - 1 - from));
  }
  for (std::int32_t i = q; i + 1 < p_; ++i) set_[std::size_t(i)] = set_[std::size_t(i) + 1];
  // Rotations of columns (i, i+1), i = q..p-2, zero the entries above the
  // diagonal; L L' is unchanged by them, and column p-1 ends zero.
  for (std::int32_t i = q; i + 1 < p_; ++i) {
    double* li = &at(0, i);
    double* lk = &at(0, i + 1);
    const Rotation rot = rotation(li[i], lk[i]);
    li[i] = rot.rho;
    lk[i] = zero;
    for (std::int32_t r = i + 1; r + 1 < p_; ++r) {
      const double u = li[r], v = lk[r];
      li[r] = rot.c * u + rot.s * v;
      lk[r] = rot.c * v - rot.s * u;
    }
    if (y != nullptr) {
      const double u = y[i], v = y[i + 1];
      y[i] = rot.c * u + rot.s * v;
      y[i + 1] = rot.c * v - rot.s * u;
    }
  }
  --p_;
}

void Factor::forward(double* v) const { lower_solve(p_, l_.data(), capacity_, v); }

void Factor::backward(double* v) const { lower_solve_transposed(p_, l_.data(), capacity_, v); }

double lower_condition(std::int32_t p, const double* l, std::ptrdiff_t ld, double largest,
                       double* z, double* v) {
  if (p == 0) return one;
  // v accumulates sum over i < k of l_ki z_i, column by column.
  std::memset(v, 0, sizeof(double) * std::size_t(p));
  for (std::int32_t k = 0; k < p; ++k) {
    const double* lk = l + std::ptrdiff_t(k) * ld;
    const double e = v[k] > zero ? -one : one;
    z[k] = (e - v[k]) / lk[k];
    axpy(p - k - 1, z[k], lk + k + 1, v + k + 1);
  }
  const double znorm = std::sqrt(dot(p, z, z));
  lower_solve_transposed(p, l, ld, z);
  const double kappa = std::sqrt(largest) * std::sqrt(dot(p, z, z)) / znorm;
  return kappa * kappa;
}

double Factor::condition(const double* b_diag, double* z, double* v) const {
  double largest = zero;
  for (std::int32_t k = 0; k < p_; ++k) largest = std::fmax(largest, b_diag[set_[std::size_t(k)]]);
  return lower_condition(p_, l_.data(), capacity_, largest, z, v);
}

double FactorSystem::held_pivot_squared(std::int32_t i) {
  const double* gi = g_ + std::ptrdiff_t(i) * ldg_;
  const std::int32_t p = factor_.size();
  for (std::int32_t q = 0; q < p; ++q) scratch_[q] = gi[factor_.variable(q)];
  factor_.forward(scratch_);
  return std::fmax(gi[i] - dot(p, scratch_, scratch_), eps * gi[i]);
}

void FactorSystem::solve_column(std::int32_t i, double* z) {
  const double* gi = g_ + std::ptrdiff_t(i) * ldg_;
  for (std::int32_t q = 0; q < factor_.size(); ++q) z[q] = gi[factor_.variable(q)];
  factor_.solve(z);
}

}  // namespace gram
}  // namespace tovrin
