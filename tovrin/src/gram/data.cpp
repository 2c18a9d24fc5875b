// The scaled data matrix's products; see data.h.
#include "gram/data.h"

#include <cmath>
#include <cstring>

#include "common/team.h"

namespace tovrin {
namespace gram {

namespace {

// s o x into xs.
// s o x into xs (x itself without a scale).
const double* scale_into(std::int32_t n, const double* scale, const double* x, double* xs) {
  if (scale == nullptr) return x;
  for (std::int32_t j = 0; j < n; ++j) xs[j] = scale[j] * x[j];
  return xs;
}

}  // namespace

// By columns A is m x n; by rows its storage is the column-major n x m
// matrix A', so A u is A'' u and A'r is A' r there.
void DataMatrix::apply(Team& team, const double* u, double* xs_scratch, double* v) const {
  const double* xs = scale_into(n, scale, u, xs_scratch);
  if (layout == dense::Layout::columns) {
    dense::gemv(team, dense::Op::none, m, n, 1.0, a, ld, xs, 0.0, v);
  } else {
    dense::gemv(team, dense::Op::transpose, n, m, 1.0, a, ld, xs, 0.0, v);
  }
}

void DataMatrix::residual(Team& team, const double* b, const double* x, double* xs_scratch,
                          double* r) const {
  const double* xs = scale_into(n, scale, x, xs_scratch);
  if (r != b) std::memcpy(r, b, sizeof(double) * std::size_t(m));
  if (layout == dense::Layout::columns) {
    dense::gemv(team, dense::Op::none, m, n, -1.0, a, ld, xs, 1.0, r);
  } else {
    dense::gemv(team, dense::Op::transpose, n, m, -1.0, a, ld, xs, 1.0, r);
  }
}

void DataMatrix::gradient(Team& team, const double* r, double* g) const {
  if (layout == dense::Layout::columns) {
    dense::gemv(team, dense::Op::transpose, m, n, 1.0, a, ld, r, 0.0, g);
  } else {
    dense::gemv(team, dense::Op::none, n, m, 1.0, a, ld, r, 0.0, g);
  }
  if (scale != nullptr) {
    for (std::int32_t j = 0; j < n; ++j) g[j] *= scale[j];
  }
}

void RightHandSide::gather(std::int32_t m, double* out) const {
  if (shift == 0) {
    for (std::int32_t i = 0; i < m; ++i) out[i] = base[std::ptrdiff_t(i) * step];
  } else {
    for (std::int32_t i = 0; i < m; ++i) out[i] = std::ldexp(base[std::ptrdiff_t(i) * step], -shift);
  }
}

}  // namespace gram
}  // namespace tovrin
