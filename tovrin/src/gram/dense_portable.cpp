// The portable path: plain C++ for any processor, every product rounded
// before it is added (the library is built without contraction).
#include <cmath>

#include "gram/dense_kernels.h"
#include "gram/dense_pack.h"

namespace tovrin {
namespace dense {
namespace detail {

namespace {

constexpr int mr = 4;
constexpr int nr = 4;
constexpr int lanes = 4;  // partial sums of gemv_dots

// c = alpha t + beta c, with beta = 0 not reading c and beta = 1 adding.
inline double combine(double alpha, double t, double beta, double c) {
  if (beta == 0.0) return alpha * t;
  if (beta == 1.0) return c + alpha * t;
  return beta * c + alpha * t;
}

// t[q][r] = sum_p a[p*mr + r] b[p*nr + q] from zero in increasing p.
void accumulate(Index kc, const double* a, const double* b, double (&t)[nr][mr]) {
  for (int q = 0; q < nr; ++q)
    for (int r = 0; r < mr; ++r) t[q][r] = 0.0;
  for (Index p = 0; p < kc; ++p, a += mr, b += nr)
    for (int q = 0; q < nr; ++q)
      for (int r = 0; r < mr; ++r) t[q][r] += a[r] * b[q];
}

void tile(Index kc, const double* a, const double* b, double alpha, double beta, double* c,
          Index ldc, int m, int n, Index diag) {
  double t[nr][mr];
  accumulate(kc, a, b, t);
  for (int q = 0; q < n; ++q)
    for (int r = 0; r < m; ++r)
      if (r + diag >= q) c[r + q * ldc] = combine(alpha, t[q][r], beta, c[r + q * ldc]);
}

void tile_transposed(Index kc, const double* a, const double* b, double alpha, double beta,
                     double* c, Index ldc, int m, int n) {
  double t[nr][mr];
  accumulate(kc, a, b, t);
  for (int r = 0; r < m; ++r)
    for (int q = 0; q < n; ++q) c[q + r * ldc] = combine(alpha, t[q][r], beta, c[q + r * ldc]);
}

void solve_tile(Index k, const double* l, const double* rinv, double* x) {
  double* xk = x + k * nr;
  double t[mr][nr];
  for (int r = 0; r < mr; ++r)
    for (int q = 0; q < nr; ++q) t[r][q] = xk[r * nr + q];
  for (Index p = 0; p < k; ++p, l += mr)
    for (int r = 0; r < mr; ++r)
      for (int q = 0; q < nr; ++q) t[r][q] -= l[r] * x[p * nr + q];
  for (int r = 0; r < mr; ++r) {
    for (int q = 0; q < nr; ++q) t[r][q] *= rinv[r];
    for (int below = r + 1; below < mr; ++below)
      for (int q = 0; q < nr; ++q) t[below][q] -= l[r * mr + below] * t[r][q];
  }
  for (int r = 0; r < mr; ++r)
    for (int q = 0; q < nr; ++q) xk[r * nr + q] = t[r][q];
}

Index factor_tile(Index nb, double* a, Index lda, const double* given, double relative) {
  for (Index c = 0; c < nb; ++c) {
    double* col = a + c * lda;
    const double d = col[c];
    if (!(d > relative * given[c]) || !(d > 0.0)) return c;
    const double l = std::sqrt(d);
    col[c] = l;
    for (Index i = c + 1; i < nb; ++i) col[i] /= l;
    for (Index j = c + 1; j < nb; ++j) {
      double* target = a + j * lda;
      for (Index i = j; i < nb; ++i) target[i] -= col[i] * col[j];
    }
  }
  return nb;
}

void gemv_columns(Index m, Index n, const double* a, Index lda, const double* x, double* y) {
  for (Index j = 0; j < n; ++j) {
    const double* column = a + j * lda;
    for (Index i = 0; i < m; ++i) y[i] += column[i] * x[j];
  }
}

void gemv_dots(Index m, Index n, const double* a, Index lda, const double* x, double* t) {
  for (Index j = 0; j < n; ++j) {
    const double* column = a + j * lda;
    double acc[lanes] = {};
    Index i = 0;
    for (; i + lanes <= m; i += lanes)
      for (int l = 0; l < lanes; ++l) acc[l] += column[i + l] * x[i + l];
    for (int l = 0; i < m; ++i, ++l) acc[l] += column[i] * x[i];
    t[j] = (acc[0] + acc[1]) + (acc[2] + acc[3]);
  }
}

}  // namespace

extern const Kernels portable_kernels = {
    mr,           nr,         tile, tile_transposed, solve_tile, factor_tile, pack_rows_of<mr>,
    pack_columns_of<nr>, unpack_columns_of<nr>, gemv_columns, gemv_dots};

}  // namespace detail
}  // namespace dense
}  // namespace tovrin
