// The AVX-512F path: micro-tiles of 24 x 8 (three vectors of eight rows,
// eight columns: 24 accumulators), every multiply-add fused.  This file
// alone is compiled with -mavx512f -mfma (CMakeLists.txt) and runs only
// where the processor has both (dense_path.cpp).
#include <immintrin.h>

#include "gram/dense_kernels.h"
#include "gram/dense_pack.h"

namespace tovrin {
namespace dense {
namespace detail {

namespace {

constexpr int width = 8;  // doubles in a vector
constexpr int vectors = 3;
constexpr int mr = vectors * width;
constexpr int nr = 8;
constexpr int dot_vectors = 2;  // gemv_dots sums in 16 lanes
constexpr int gemv_group = 4;   // columns per pass of the gemv kernels

// The rows lo..lo+7 of a tile column that are written: below m and at or
// below the diagonal row first_row.
inline __mmask8 row_mask(int lo, int m, Index first_row) {
  const int end = m - lo;
  if (end <= 0) return 0;
  const unsigned below_m = end >= width ? 0xFFu : (1u << end) - 1u;
  const Index start = first_row - lo;
  if (start <= 0) return static_cast<__mmask8>(below_m);
  if (start >= width) return 0;
  return static_cast<__mmask8>(below_m & ~((1u << start) - 1u));
}

// The first `count` lanes (none for count <= 0, all for count >= 8).
inline __mmask8 tail_mask(Index count) {
  if (count <= 0) return 0;
  return static_cast<__mmask8>(count >= width ? 0xFFu : (1u << count) - 1u);
}

void tile(Index kc, const double* a, const double* b, double alpha, double beta, double* c,
          Index ldc, int m, int n, Index diag) {
  __m512d t[nr][vectors];
#pragma GCC unroll 8
  for (int q = 0; q < nr; ++q)
#pragma GCC unroll 3
    for (int v = 0; v < vectors; ++v) t[q][v] = _mm512_setzero_pd();
#pragma GCC unroll 8
  for (int q = 0; q < nr; ++q) _mm_prefetch(reinterpret_cast<const char*>(c + q * ldc), _MM_HINT_T0);

  for (Index p = 0; p < kc; ++p, a += mr, b += nr) {
    const __m512d a0 = _mm512_load_pd(a);
    const __m512d a1 = _mm512_load_pd(a + width);
    const __m512d a2 = _mm512_load_pd(a + 2 * width);
#pragma GCC unroll 8
    for (int q = 0; q < nr; ++q) {
      const __m512d bq = _mm512_set1_pd(b[q]);
      t[q][0] = _mm512_fmadd_pd(a0, bq, t[q][0]);
      t[q][1] = _mm512_fmadd_pd(a1, bq, t[q][1]);
      t[q][2] = _mm512_fmadd_pd(a2, bq, t[q][2]);
    }
  }

  const __m512d va = _mm512_set1_pd(alpha);
  const __m512d vb = _mm512_set1_pd(beta);
#pragma GCC unroll 8
  for (int q = 0; q < nr; ++q) {
    if (q >= n) break;
    double* cq = c + q * ldc;
#pragma GCC unroll 3
    for (int v = 0; v < vectors; ++v) {
      const __mmask8 mask = row_mask(v * width, m, q - diag);
      if (mask == 0) continue;
      double* cv = cq + v * width;
      __m512d r;
      if (beta == 0.0) {
        r = _mm512_mul_pd(va, t[q][v]);
      } else {
        __m512d old = _mm512_maskz_loadu_pd(mask, cv);
        if (beta != 1.0) old = _mm512_mul_pd(vb, old);
        r = _mm512_fmadd_pd(va, t[q][v], old);
      }
      _mm512_mask_storeu_pd(cv, mask, r);
    }
  }
}

void solve_tile(Index k, const double* l, const double* rinv, double* x) {
  double* xk = x + k * nr;
  __m512d t[mr];
#pragma GCC unroll 24
  for (int r = 0; r < mr; ++r) t[r] = _mm512_load_pd(xk + r * nr);
  for (Index p = 0; p < k; ++p, l += mr) {
    const __m512d xp = _mm512_load_pd(x + p * nr);
#pragma GCC unroll 24
    for (int r = 0; r < mr; ++r) t[r] = _mm512_fnmadd_pd(_mm512_set1_pd(l[r]), xp, t[r]);
  }
#pragma GCC unroll 24
  for (int r = 0; r < mr; ++r) {
    t[r] = _mm512_mul_pd(t[r], _mm512_set1_pd(rinv[r]));
#pragma GCC unroll 24
    for (int below = r + 1; below < mr; ++below)
      t[below] = _mm512_fnmadd_pd(_mm512_set1_pd(l[r * mr + below]), t[r], t[below]);
  }
#pragma GCC unroll 24
  for (int r = 0; r < mr; ++r) _mm512_store_pd(xk + r * nr, t[r]);
}

// y += A x by groups of four columns: y_i = (((y_i + a_i0 x_0) + a_i1 x_1)
// + a_i2 x_2) + a_i3 x_3, each step one fused multiply-add, as four single
// columns in turn would give.
void gemv_columns(Index m, Index n, const double* a, Index lda, const double* x, double* y) {
  Index j = 0;
  for (; j + gemv_group <= n; j += gemv_group) {
    const double* a0 = a + j * lda;
    const double* a1 = a0 + lda;
    const double* a2 = a1 + lda;
    const double* a3 = a2 + lda;
    const __m512d x0 = _mm512_set1_pd(x[j]), x1 = _mm512_set1_pd(x[j + 1]);
    const __m512d x2 = _mm512_set1_pd(x[j + 2]), x3 = _mm512_set1_pd(x[j + 3]);
    for (Index i = 0; i < m; i += width) {
      const __mmask8 mask = tail_mask(m - i);
      __m512d v = _mm512_maskz_loadu_pd(mask, y + i);
      v = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(mask, a0 + i), x0, v);
      v = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(mask, a1 + i), x1, v);
      v = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(mask, a2 + i), x2, v);
      v = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(mask, a3 + i), x3, v);
      _mm512_mask_storeu_pd(y + i, mask, v);
    }
  }
  for (; j < n; ++j) {
    const double* aj = a + j * lda;
    const __m512d xj = _mm512_set1_pd(x[j]);
    for (Index i = 0; i < m; i += width) {
      const __mmask8 mask = tail_mask(m - i);
      const __m512d v = _mm512_maskz_loadu_pd(mask, y + i);
      _mm512_mask_storeu_pd(y + i, mask,
                            _mm512_fmadd_pd(_mm512_maskz_loadu_pd(mask, aj + i), xj, v));
    }
  }
}

// The sum of the 16 lanes of (s0, s1): s = s0 + s1, then
// ((s0 + s4) + (s2 + s6)) + ((s1 + s5) + (s3 + s7)).
inline double sum_lanes(__m512d s0, __m512d s1) {
  alignas(64) double s[width];
  _mm512_store_pd(s, _mm512_add_pd(s0, s1));
  return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
}

// Lane l of column j's sum adds a_ij x_i for the i = l mod 16 in increasing
// i (rows past m read as zero); the 16 lanes are then added by sum_lanes.
void gemv_dots(Index m, Index n, const double* a, Index lda, const double* x, double* t) {
  constexpr Index step = dot_vectors * width;
  Index j = 0;
  for (; j + gemv_group <= n; j += gemv_group) {
    __m512d s[gemv_group][dot_vectors];
#pragma GCC unroll 4
    for (int g = 0; g < gemv_group; ++g) s[g][0] = s[g][1] = _mm512_setzero_pd();
    for (Index i = 0; i < m; i += step) {
      const __mmask8 lo = tail_mask(m - i), hi = tail_mask(m - i - width);
      const __m512d x0 = _mm512_maskz_loadu_pd(lo, x + i);
      const __m512d x1 = _mm512_maskz_loadu_pd(hi, x + i + width);
#pragma GCC unroll 4
      for (int g = 0; g < gemv_group; ++g) {
        const double* ag = a + (j + g) * lda + i;
        s[g][0] = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(lo, ag), x0, s[g][0]);
        s[g][1] = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(hi, ag + width), x1, s[g][1]);
      }
    }
#pragma GCC unroll 4
    for (int g = 0; g < gemv_group; ++g) t[j + g] = sum_lanes(s[g][0], s[g][1]);
  }
  for (; j < n; ++j) {
    __m512d s0 = _mm512_setzero_pd(), s1 = _mm512_setzero_pd();
    const double* aj = a + j * lda;
    for (Index i = 0; i < m; i += step) {
      const __mmask8 lo = tail_mask(m - i), hi = tail_mask(m - i - width);
      s0 = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(lo, aj + i), _mm512_maskz_loadu_pd(lo, x + i), s0);
      s1 = _mm512_fmadd_pd(_mm512_maskz_loadu_pd(hi, aj + i + width),
                           _mm512_maskz_loadu_pd(hi, x + i + width), s1);
    }
    t[j] = sum_lanes(s0, s1);
  }
}

}  // namespace

extern const Kernels avx512_kernels = {
    mr, nr, tile, solve_tile, pack_rows_of<mr>, pack_columns_of<nr>, unpack_columns_of<nr>,
    gemv_columns, gemv_dots};

}  // namespace detail
}  // namespace dense
}  // namespace tovrin
