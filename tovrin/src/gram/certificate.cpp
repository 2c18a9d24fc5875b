// The tests of the certificate that need A; see certificate.h.
#include "gram/certificate.h"

#include <cstring>

namespace tovrin {
namespace gram {

namespace {

// |v| below this many roundings of its terms is no direction at all.
constexpr double orthogonal_rounding = 64;

}  // namespace

double residual_lowering(std::int32_t m, const double* a, std::ptrdiff_t lda,
                         const std::int32_t* set, std::int32_t p, const double* z,
                         std::int32_t t, const double* r, double* v) {
  const double* at = a + std::ptrdiff_t(t) * lda;
  std::memcpy(v, at, sizeof(double) * std::size_t(m));
  // Each v_i sums |a_ti| + sum over F of |a_ij z_j| in magnitude: v's
  // rounding is about sqrt(m) eps (|a_t| + sum |a_j| |z_j|).
  double terms = std::sqrt(dot(m, at, at));
  for (std::int32_t q = 0; q < p; ++q) {
    const double* aj = a + std::ptrdiff_t(set[q]) * lda;
    axpy(m, -z[q], aj, v);
    terms += std::sqrt(dot(m, aj, aj)) * std::fabs(z[q]);
  }
  const double rounding = orthogonal_rounding * std::sqrt(double(m)) * eps * terms;
  const double vnorm = std::sqrt(dot(m, v, v));
  if (!(vnorm > rounding)) return zero;
  const double rnorm = std::sqrt(dot(m, r, r));
  return (std::fabs(dot(m, r, v)) + rounding * rnorm) / vnorm;
}

}  // namespace gram
}  // namespace tovrin
