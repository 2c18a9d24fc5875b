// The free set's Cholesky factor: solves, pivots and updates; see
// gram_factor.h.
#include "gram/factor.h"

#include <cmath>
#include <cstring>

#include "gram/kernels.h"

namespace tovrin {
namespace gram {

namespace {

// The Givens rotation [c s; -s c] with c a + s b = rho = sqrt(a^2 + b^2) and
// -s a + c b = 0, formed without squaring the larger of a and b.
struct Rotation {
  double c, s, rho;
};

Rotation rotation(double a, double b) {
  if (b == 0.0) return {a < 0.0 ? -1.0 : 1.0, 0.0, std::fabs(a)};
  if (std::fabs(a) >= std::fabs(b)) {
    const double t = b / a;
    const double u = std::sqrt(1.0 + t * t);
    const double c = std::copysign(1.0 / u, a);
    return {c, c * t, std::fabs(a) * u};
  }
  const double t = a / b;
  const double u = std::sqrt(1.0 + t * t);
  const double s = std::copysign(1.0 / u, b);
  return {s * t, s, std::fabs(b) * u};
}

}  // namespace

void solve_factored(std::int32_t p, const double* r, std::ptrdiff_t ldr, double* v, double* s) {
  solve_transposed(p, r, ldr, v);
  solve_upper(p, r, ldr, v, s);
}

double smallest_relative_pivot(std::int32_t p, const double* r, std::ptrdiff_t ldr,
                               const std::int32_t* set, const double* g, std::ptrdiff_t ldg) {
  double smallest = 1.0;
  for (std::int32_t k = 0; k < p; ++k) {
    const double pivot = r[k + k * ldr];
    const double ratio = pivot * pivot / g[set[k] + set[k] * ldg];
    if (!(ratio >= smallest)) smallest = std::isnan(ratio) ? 0.0 : ratio;
  }
  return smallest;
}

bool append_column(std::int32_t p, double* r, std::ptrdiff_t ldr, const std::int32_t* set,
                   const double* g, std::ptrdiff_t ldg, std::int32_t t) {
  double* column = r + std::ptrdiff_t(p) * ldr;
  const double* gt = g + std::ptrdiff_t(t) * ldg;
  for (std::int32_t i = 0; i < p; ++i) column[i] = gt[set[i]];
  solve_transposed(p, r, ldr, column);
  const double d = gt[t] - dot(p, column, column);
  if (!(d > factor_dependent_pivot * gt[t])) return false;
  column[p] = std::sqrt(d);
  return true;
}

bool append_variable(std::int32_t p, double* r, std::ptrdiff_t ldr, std::int32_t* set,
                     const double* g, std::ptrdiff_t ldg, std::int32_t t) {
  if (!append_column(p, r, ldr, set, g, ldg, t)) return false;
  set[p] = t;
  return true;
}

void delete_position(std::int32_t p, double* r, std::ptrdiff_t ldr, std::int32_t* set,
                     std::int32_t q, double* y) {
  for (std::int32_t pos = q; pos + 1 < p; ++pos) {
    std::memcpy(r + pos * ldr, r + (pos + 1) * ldr, sizeof(double) * std::size_t(pos + 2));
    set[pos] = set[pos + 1];
  }
  // Columns k >= q now hold one element below the diagonal, R(k+1, k).
  for (std::int32_t k = q; k + 1 < p; ++k) {
    double* rk = r + k * ldr;
    const Rotation rot = rotation(rk[k], rk[k + 1]);
    rk[k] = rot.rho;
    rk[k + 1] = 0.0;
    for (std::int32_t l = k + 1; l + 1 < p; ++l) {
      double* rl = r + l * ldr;
      const double u = rl[k], v = rl[k + 1];
      rl[k] = rot.c * u + rot.s * v;
      rl[k + 1] = rot.c * v - rot.s * u;
    }
    if (y != nullptr) {
      const double u = y[k], v = y[k + 1];
      y[k] = rot.c * u + rot.s * v;
      y[k + 1] = rot.c * v - rot.s * u;
    }
  }
}

}  // namespace gram
}  // namespace tovrin
