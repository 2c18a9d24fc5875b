// The AVX2 path: micro-tiles of 12 x 4 (three vectors of four rows, four
// columns: 12 accumulators of the 16 registers), every multiply-add fused.
// This file alone is compiled with -mavx2 -mfma (CMakeLists.txt) and runs
// only where the processor has both (dense_path.cpp).
#include <immintrin.h>

#include <cmath>

#include "gram/dense_kernels.h"
#include "gram/dense_pack.h"

namespace tovrin {
namespace dense {
namespace detail {

namespace {

constexpr int width = 4;  // doubles in a vector
constexpr int vectors = 3;
constexpr int mr = vectors * width;
constexpr int nr = 4;
static_assert(nr == width, "a transposed tile is vectors of one column of C");
constexpr int dot_vectors = 2;  // gemv_dots sums in 8 lanes
constexpr int gemv_group = 4;   // columns per pass of the gemv kernels

// Lanes lo..lo+3 that are at or after `first` and before `end`: all bits set
// in a lane that is, none in one that is not.
inline __m256i lanes_between(Index lo, Index first, Index end) {
  const __m256i index = _mm256_add_epi64(_mm256_set1_epi64x(lo), _mm256_set_epi64x(3, 2, 1, 0));
  const __m256i before_end = _mm256_cmpgt_epi64(_mm256_set1_epi64x(end), index);
  const __m256i before_first = _mm256_cmpgt_epi64(_mm256_set1_epi64x(first), index);
  return _mm256_andnot_si256(before_first, before_end);
}

inline __m256i tail_lanes(Index count) { return lanes_between(0, 0, count); }

// t[q][v] = sum_p a[p*mr + v*4 + l] b[p*nr + q] in its lanes l, from zero in
// increasing p, one fused multiply-add per term.
__attribute__((always_inline)) inline void accumulate(Index kc, const double* a, const double* b,
                                                      __m256d (&t)[nr][vectors]) {
#pragma GCC unroll 4
  for (int q = 0; q < nr; ++q)
#pragma GCC unroll 3
    for (int v = 0; v < vectors; ++v) t[q][v] = _mm256_setzero_pd();
  for (Index p = 0; p < kc; ++p, a += mr, b += nr) {
    const __m256d a0 = _mm256_load_pd(a);
    const __m256d a1 = _mm256_load_pd(a + width);
    const __m256d a2 = _mm256_load_pd(a + 2 * width);
#pragma GCC unroll 4
    for (int q = 0; q < nr; ++q) {
      const __m256d bq = _mm256_broadcast_sd(b + q);
      t[q][0] = _mm256_fmadd_pd(a0, bq, t[q][0]);
      t[q][1] = _mm256_fmadd_pd(a1, bq, t[q][1]);
      t[q][2] = _mm256_fmadd_pd(a2, bq, t[q][2]);
    }
  }
}

// c = alpha t + beta c in the lanes of mask (beta = 0: c not read).
inline void update(double* c, __m256i mask, __m256d t, double alpha, double beta) {
  const __m256d va = _mm256_set1_pd(alpha);
  __m256d r;
  if (beta == 0.0) {
    r = _mm256_mul_pd(va, t);
  } else {
    __m256d old = _mm256_maskload_pd(c, mask);
    if (beta != 1.0) old = _mm256_mul_pd(_mm256_set1_pd(beta), old);
    r = _mm256_fmadd_pd(va, t, old);
  }
  _mm256_maskstore_pd(c, mask, r);
}

void tile(Index kc, const double* a, const double* b, double alpha, double beta, double* c,
          Index ldc, int m, int n, Index diag) {
  __m256d t[nr][vectors];
  accumulate(kc, a, b, t);
#pragma GCC unroll 4
  for (int q = 0; q < nr; ++q) {
    if (q >= n) break;
#pragma GCC unroll 3
    for (int v = 0; v < vectors; ++v) {
      const __m256i mask = lanes_between(v * width, q - diag, m);
      if (!_mm256_testz_si256(mask, mask))
        update(c + q * ldc + v * width, mask, t[q][v], alpha, beta);
    }
  }
}

// The 4 x 4 block in v[0..3] (row i in v[i]) transposed in place.
inline void transpose(__m256d v[width]) {
  constexpr int low_halves = 0x20, high_halves = 0x31;
  const __m256d t0 = _mm256_unpacklo_pd(v[0], v[1]), t1 = _mm256_unpackhi_pd(v[0], v[1]);
  const __m256d t2 = _mm256_unpacklo_pd(v[2], v[3]), t3 = _mm256_unpackhi_pd(v[2], v[3]);
  v[0] = _mm256_permute2f128_pd(t0, t2, low_halves);
  v[1] = _mm256_permute2f128_pd(t1, t3, low_halves);
  v[2] = _mm256_permute2f128_pd(t0, t2, high_halves);
  v[3] = _mm256_permute2f128_pd(t1, t3, high_halves);
}

// This path's vector for the shared packing loops.
struct Lanes {
  using V = __m256d;
  static constexpr int width = ::tovrin::dense::detail::width;
  static V loadu(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, V v) { _mm256_store_pd(p, v); }
  static void transpose(V* v) { ::tovrin::dense::detail::transpose(v); }
};

void pack_rows(Index m, Index k, const double* a, Index rs, Index cs, double* out) {
  pack_rows_in_lanes<Lanes, mr>(m, k, a, rs, cs, out);
}

void pack_columns(Index k, Index n, const double* b, Index rs, Index cs, double* out) {
  pack_columns_in_lanes<Lanes, nr>(k, n, b, rs, cs, out);
}

// Each 4 x 4 block {t[q][v] : q < 4} holds C(q, v*4 + l) in lane l of
// t[q][v]; transposed, its vector l is C(0..3, v*4 + l), a piece of a column.
void tile_transposed(Index kc, const double* a, const double* b, double alpha, double beta,
                     double* c, Index ldc, int m, int n) {
  __m256d t[nr][vectors];
  accumulate(kc, a, b, t);
  const __m256i rows = tail_lanes(n);
#pragma GCC unroll 3
  for (int v = 0; v < vectors; ++v) {
    __m256d block[width];
#pragma GCC unroll 4
    for (int q = 0; q < width; ++q) block[q] = t[q][v];
    transpose(block);
#pragma GCC unroll 4
    for (int l = 0; l < width; ++l) {
      if (v * width + l >= m) break;
      update(c + (v * width + l) * ldc, rows, block[l], alpha, beta);
    }
  }
}

void solve_tile(Index k, const double* l, const double* rinv, double* x) {
  double* xk = x + k * nr;
  __m256d t[mr];
#pragma GCC unroll 12
  for (int r = 0; r < mr; ++r) t[r] = _mm256_load_pd(xk + r * nr);
  for (Index p = 0; p < k; ++p, l += mr) {
    const __m256d xp = _mm256_load_pd(x + p * nr);
#pragma GCC unroll 12
    for (int r = 0; r < mr; ++r) t[r] = _mm256_fnmadd_pd(_mm256_broadcast_sd(l + r), xp, t[r]);
  }
#pragma GCC unroll 12
  for (int r = 0; r < mr; ++r) {
    t[r] = _mm256_mul_pd(t[r], _mm256_broadcast_sd(rinv + r));
#pragma GCC unroll 12
    for (int below = r + 1; below < mr; ++below)
      t[below] = _mm256_fnmadd_pd(_mm256_broadcast_sd(l + r * mr + below), t[r], t[below]);
  }
#pragma GCC unroll 12
  for (int r = 0; r < mr; ++r) _mm256_store_pd(xk + r * nr, t[r]);
}

// The column loop of factor_tile with rows in vectors: lanes_between picks
// the rows below the pivot, or at and below the target column.
Index factor_tile(Index nb, double* a, Index lda, const double* given, double relative) {
  for (Index c = 0; c < nb; ++c) {
    double* col = a + c * lda;
    const double d = col[c];
    if (!(d > relative * given[c]) || !(d > 0.0)) return c;
    const __m256d l = _mm256_set1_pd(std::sqrt(d));
    col[c] = std::sqrt(d);
    for (Index i0 = (c + 1) / width * width; i0 < nb; i0 += width) {
      const __m256i rows = lanes_between(i0, c + 1, nb);
      _mm256_maskstore_pd(col + i0, rows, _mm256_div_pd(_mm256_maskload_pd(col + i0, rows), l));
    }
    for (Index j = c + 1; j < nb; ++j) {
      double* target = a + j * lda;
      const __m256d ljc = _mm256_set1_pd(col[j]);
      for (Index i0 = j / width * width; i0 < nb; i0 += width) {
        const __m256i rows = lanes_between(i0, j, nb);
        const __m256d t = _mm256_maskload_pd(target + i0, rows);
        _mm256_maskstore_pd(target + i0, rows,
                            _mm256_fnmadd_pd(_mm256_maskload_pd(col + i0, rows), ljc, t));
      }
    }
  }
  return nb;
}

// y += A x by groups of four columns, each step one fused multiply-add, as
// four single columns in turn would give.
void gemv_columns(Index m, Index n, const double* a, Index lda, const double* x, double* y) {
  Index j = 0;
  for (; j + gemv_group <= n; j += gemv_group) {
    const double* a0 = a + j * lda;
    const double* a1 = a0 + lda;
    const double* a2 = a1 + lda;
    const double* a3 = a2 + lda;
    const __m256d x0 = _mm256_set1_pd(x[j]), x1 = _mm256_set1_pd(x[j + 1]);
    const __m256d x2 = _mm256_set1_pd(x[j + 2]), x3 = _mm256_set1_pd(x[j + 3]);
    for (Index i = 0; i < m; i += width) {
      const __m256i mask = tail_lanes(m - i);
      __m256d v = _mm256_maskload_pd(y + i, mask);
      v = _mm256_fmadd_pd(_mm256_maskload_pd(a0 + i, mask), x0, v);
      v = _mm256_fmadd_pd(_mm256_maskload_pd(a1 + i, mask), x1, v);
      v = _mm256_fmadd_pd(_mm256_maskload_pd(a2 + i, mask), x2, v);
      v = _mm256_fmadd_pd(_mm256_maskload_pd(a3 + i, mask), x3, v);
      _mm256_maskstore_pd(y + i, mask, v);
    }
  }
  for (; j < n; ++j) {
    const double* aj = a + j * lda;
    const __m256d xj = _mm256_set1_pd(x[j]);
    for (Index i = 0; i < m; i += width) {
      const __m256i mask = tail_lanes(m - i);
      const __m256d v = _mm256_maskload_pd(y + i, mask);
      _mm256_maskstore_pd(y + i, mask, _mm256_fmadd_pd(_mm256_maskload_pd(aj + i, mask), xj, v));
    }
  }
}

// The sum of the 8 lanes of (s0, s1): s = s0 + s1, then
// (s0 + s2) + (s1 + s3).
inline double sum_lanes(__m256d s0, __m256d s1) {
  alignas(32) double s[width];
  _mm256_store_pd(s, _mm256_add_pd(s0, s1));
  return (s[0] + s[2]) + (s[1] + s[3]);
}

// Lane l of column j's sum adds a_ij x_i for the i = l mod 8 in increasing
// i (rows past m read as zero); the 8 lanes are then added by sum_lanes.
void gemv_dots(Index m, Index n, const double* a, Index lda, const double* x, double* t) {
  constexpr Index step = dot_vectors * width;
  Index j = 0;
  for (; j + gemv_group <= n; j += gemv_group) {
    __m256d s[gemv_group][dot_vectors];
#pragma GCC unroll 4
    for (int g = 0; g < gemv_group; ++g) s[g][0] = s[g][1] = _mm256_setzero_pd();
    for (Index i = 0; i < m; i += step) {
      const __m256i lo = tail_lanes(m - i), hi = tail_lanes(m - i - width);
      const __m256d x0 = _mm256_maskload_pd(x + i, lo);
      const __m256d x1 = _mm256_maskload_pd(x + i + width, hi);
#pragma GCC unroll 4
      for (int g = 0; g < gemv_group; ++g) {
        const double* ag = a + (j + g) * lda + i;
        s[g][0] = _mm256_fmadd_pd(_mm256_maskload_pd(ag, lo), x0, s[g][0]);
        s[g][1] = _mm256_fmadd_pd(_mm256_maskload_pd(ag + width, hi), x1, s[g][1]);
      }
    }
#pragma GCC unroll 4
    for (int g = 0; g < gemv_group; ++g) t[j + g] = sum_lanes(s[g][0], s[g][1]);
  }
  for (; j < n; ++j) {
    __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
    const double* aj = a + j * lda;
    for (Index i = 0; i < m; i += step) {
      const __m256i lo = tail_lanes(m - i), hi = tail_lanes(m - i - width);
      s0 = _mm256_fmadd_pd(_mm256_maskload_pd(aj + i, lo), _mm256_maskload_pd(x + i, lo), s0);
      s1 = _mm256_fmadd_pd(_mm256_maskload_pd(aj + i + width, hi),
                           _mm256_maskload_pd(x + i + width, hi), s1);
    }
    t[j] = sum_lanes(s0, s1);
  }
}

}  // namespace

extern const Kernels avx2_kernels = {
    mr,        nr,           tile,                  tile_transposed, solve_tile, factor_tile,
    pack_rows, pack_columns, unpack_columns_of<nr>, gemv_columns,    gemv_dots};

}  // namespace detail
}  // namespace dense
}  // namespace tovrin
