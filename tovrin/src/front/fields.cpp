#include "front/fields.h"

#include <cmath>

namespace tovrin {

double norm2(const double* v, std::int64_t count) {
  // big * sqrt(sum (v_i / big)^2) with big = max |v_i|: no term overflows,
  // and terms that underflow are negligible against the largest.  NaN and
  // infinity come out as such.
  double big = 0.0;
  for (std::int64_t i = 0; i < count; ++i) {
    const double a = std::fabs(v[i]);
    if (std::isnan(a)) return a;
    if (a > big) big = a;
  }
  if (big == 0.0 || !std::isfinite(big)) return big;
  double sum = 0.0;
  for (std::int64_t i = 0; i < count; ++i) {
    const double t = v[i] / big;
    sum = sum + t * t;
  }
  return big * std::sqrt(sum);
}

void refit_least_squares(const StridedMatrix& a, const StridedMatrix& b, std::int64_t j,
                         const Column& x, const Column& dual, double& rnorm,
                         std::vector<double>& r) {
  const std::int64_t m = a.rows, n = a.cols;
  r.resize(static_cast<std::size_t>(m));
  for (std::int64_t i = 0; i < m; ++i) r[i] = b(i, j);
  for (std::int64_t c = 0; c < n; ++c) {
    const double xc = x[c];
    if (xc == 0.0) continue;
    for (std::int64_t i = 0; i < m; ++i) r[i] = r[i] - a(i, c) * xc;
  }
  rnorm = norm2(r.data(), m);
  for (std::int64_t c = 0; c < n; ++c) {
    double sum = 0.0;
    for (std::int64_t i = 0; i < m; ++i) sum = sum + a(i, c) * r[i];
    dual[c] = sum;
  }
}

void refit_gram(const StridedMatrix& g, const StridedMatrix& c, std::int64_t j, double btb,
                const Column& x, const Column& dual, double& rnorm) {
  const std::int64_t n = g.rows;
  double xc = 0.0;
  for (std::int64_t i = 0; i < n; ++i) {
    double sum = c(i, j);
    for (std::int64_t l = 0; l < n; ++l) {
      if (x[l] != 0.0) sum = sum - g(i, l) * x[l];
    }
    dual[i] = sum;
    xc = xc + x[i] * c(i, j);
  }
  if (btb < 0.0) return;
  double xw = 0.0;
  for (std::int64_t i = 0; i < n; ++i) xw = xw + x[i] * dual[i];
  rnorm = std::sqrt(std::fmax(0.0, btb - xc - xw));
}

}  // namespace tovrin
