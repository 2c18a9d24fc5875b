// The AVX-512F path: micro-tiles of 24 x 8 (three vectors of eight rows,
// eight columns: 24 accumulators), every multiply-add fused.  This file
// alone is compiled with -mavx512f -mfma (CMakeLists.txt) and runs only
// where the processor has both (dense_path.cpp).
// GCC 12's intrinsics give their "undefined" vectors themselves as initial
// values, which its own -W[maybe-]uninitialized reports wherever they inline.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cmath>

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
static_assert(nr == width, "a transposed tile is vectors of one column of C");
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

// t[q][r] = sum_p a[p*mr + r] b[p*nr + q] for r < 8*Vectors, q < Cols, from
// zero in increasing p, one fused multiply-add per term.  The sums are left
// in memory: with the 24 accumulators live, the tile's stores would crowd
// the registers of the loop, which must hold all of them.
template <int Vectors, int Cols>
__attribute__((always_inline)) inline void accumulate_part(Index kc, const double* a,
                                                           const double* b, double (&t)[nr][mr]) {
  __m512d s[Cols][Vectors];
#pragma GCC unroll 8
  for (int q = 0; q < Cols; ++q)
#pragma GCC unroll 3
    for (int v = 0; v < Vectors; ++v) s[q][v] = _mm512_setzero_pd();
  for (Index p = 0; p < kc; ++p, a += mr, b += nr) {
    __m512d av[Vectors];
#pragma GCC unroll 3
    for (int v = 0; v < Vectors; ++v) av[v] = _mm512_load_pd(a + v * width);
#pragma GCC unroll 8
    for (int q = 0; q < Cols; ++q) {
      const __m512d bq = _mm512_set1_pd(b[q]);
#pragma GCC unroll 3
      for (int v = 0; v < Vectors; ++v) s[q][v] = _mm512_fmadd_pd(av[v], bq, s[q][v]);
    }
  }
#pragma GCC unroll 8
  for (int q = 0; q < Cols; ++q)
#pragma GCC unroll 3
    for (int v = 0; v < Vectors; ++v) _mm512_store_pd(&t[q][v * width], s[q][v]);
}

// The sums of an m x n tile, over only the vectors of rows and the columns
// that it has (every sum the same whichever part computes it).
inline void accumulate(Index kc, const double* a, const double* b, double (&t)[nr][mr], int m,
                       int n) {
  constexpr int half = nr / 2;
  if (n <= half) {
    if (m <= width) accumulate_part<1, half>(kc, a, b, t);
    else if (m <= 2 * width) accumulate_part<2, half>(kc, a, b, t);
    else accumulate_part<3, half>(kc, a, b, t);
  } else {
    if (m <= width) accumulate_part<1, nr>(kc, a, b, t);
    else if (m <= 2 * width) accumulate_part<2, nr>(kc, a, b, t);
    else accumulate_part<3, nr>(kc, a, b, t);
  }
}

inline void prefetch(const double* p) {
  _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
}

// The whole tile's sums, as accumulate_part<3, 8>, then c = alpha t + c
// straight from the accumulators: the epilogue has no masks, so the loop
// keeps its registers.
void add_whole_tile(Index kc, const double* a, const double* b, double alpha, double* c,
                    Index ldc) {
  __m512d s[nr][vectors];
#pragma GCC unroll 8
  for (int q = 0; q < nr; ++q)
#pragma GCC unroll 3
    for (int v = 0; v < vectors; ++v) s[q][v] = _mm512_setzero_pd();
  for (Index p = 0; p < kc; ++p, a += mr, b += nr) {
    __m512d av[vectors];
#pragma GCC unroll 3
    for (int v = 0; v < vectors; ++v) av[v] = _mm512_load_pd(a + v * width);
#pragma GCC unroll 8
    for (int q = 0; q < nr; ++q) {
      const __m512d bq = _mm512_set1_pd(b[q]);
#pragma GCC unroll 3
      for (int v = 0; v < vectors; ++v) s[q][v] = _mm512_fmadd_pd(av[v], bq, s[q][v]);
    }
  }
  const __m512d va = _mm512_set1_pd(alpha);
#pragma GCC unroll 8
  for (int q = 0; q < nr; ++q)
#pragma GCC unroll 3
    for (int v = 0; v < vectors; ++v) {
      double* cv = c + q * ldc + v * width;
      _mm512_storeu_pd(cv, _mm512_fmadd_pd(va, s[q][v], _mm512_loadu_pd(cv)));
    }
}

// c = alpha t + beta c in the lanes of mask (beta = 0: c not read).
inline void update(double* c, __mmask8 mask, __m512d t, double alpha, double beta) {
  const __m512d va = _mm512_set1_pd(alpha);
  __m512d r;
  if (beta == 0.0) {
    r = _mm512_mul_pd(va, t);
  } else {
    __m512d old = _mm512_maskz_loadu_pd(mask, c);
    if (beta != 1.0) old = _mm512_mul_pd(_mm512_set1_pd(beta), old);
    r = _mm512_fmadd_pd(va, t, old);
  }
  _mm512_mask_storeu_pd(c, mask, r);
}

void tile(Index kc, const double* a, const double* b, double alpha, double beta, double* c,
          Index ldc, int m, int n, Index diag) {
  // A column of the tile spans at most four cache lines, the last holding
  // its last row.
#pragma GCC unroll 8
  for (int q = 0; q < nr; ++q) {
    prefetch(c + q * ldc);
    prefetch(c + q * ldc + width);
    prefetch(c + q * ldc + 2 * width);
    prefetch(c + q * ldc + mr - 1);
  }
  if (m == mr && n == nr && diag >= nr - 1 && beta == 1.0) {
    add_whole_tile(kc, a, b, alpha, c, ldc);  // the common case
    return;
  }
  alignas(64) double t[nr][mr];
  accumulate(kc, a, b, t, m, n);
  for (int q = 0; q < n; ++q)
    for (int v = 0; v < vectors; ++v) {
      const __mmask8 mask = row_mask(v * width, m, q - diag);
      if (mask != 0)
        update(c + q * ldc + v * width, mask, _mm512_load_pd(&t[q][v * width]), alpha, beta);
    }
}

// The 8 x 8 block held in v[0..7] (row i in v[i]) transposed in place:
// pairs of rows interleaved, then pairs of 128-bit lanes, then halves.
inline void transpose(__m512d v[width]) {
  constexpr int even_lanes = 0x88, odd_lanes = 0xDD;
  __m512d t[width], u[width];
#pragma GCC unroll 4
  for (int i = 0; i < width; i += 2) {
    t[i] = _mm512_unpacklo_pd(v[i], v[i + 1]);
    t[i + 1] = _mm512_unpackhi_pd(v[i], v[i + 1]);
  }
#pragma GCC unroll 2
  for (int h = 0; h < width; h += 4) {
    u[h] = _mm512_shuffle_f64x2(t[h], t[h + 2], even_lanes);
    u[h + 1] = _mm512_shuffle_f64x2(t[h + 1], t[h + 3], even_lanes);
    u[h + 2] = _mm512_shuffle_f64x2(t[h], t[h + 2], odd_lanes);
    u[h + 3] = _mm512_shuffle_f64x2(t[h + 1], t[h + 3], odd_lanes);
  }
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    v[i] = _mm512_shuffle_f64x2(u[i], u[i + 4], even_lanes);
    v[i + 4] = _mm512_shuffle_f64x2(u[i], u[i + 4], odd_lanes);
  }
}

// Each 8 x 8 block {t[q][v*8 .. v*8+7] : q < 8} holds C(q, v*8 + l) at
// t[q][v*8 + l]; transposed, its vector l is C(0..7, v*8 + l), a piece of a
// column.
void tile_transposed(Index kc, const double* a, const double* b, double alpha, double beta,
                     double* c, Index ldc, int m, int n) {
#pragma GCC unroll 8
  for (int col = 0; col < mr; ++col) prefetch(c + col * ldc);
  alignas(64) double t[nr][mr];
  accumulate(kc, a, b, t, m, n);
  const __mmask8 rows = tail_mask(n);
#pragma GCC unroll 3
  for (int v = 0; v < vectors; ++v) {
    __m512d block[width];
#pragma GCC unroll 8
    for (int q = 0; q < width; ++q) block[q] = _mm512_load_pd(&t[q][v * width]);
    transpose(block);
#pragma GCC unroll 8
    for (int l = 0; l < width; ++l) {
      if (v * width + l >= m) break;
      update(c + (v * width + l) * ldc, rows, block[l], alpha, beta);
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

// This path's vector for the shared packing loops.
struct Lanes {
  using V = __m512d;
  static constexpr int width = ::tovrin::dense::detail::width;
  static V loadu(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, V v) { _mm512_store_pd(p, v); }
  static void transpose(V* v) { ::tovrin::dense::detail::transpose(v); }
};

void pack_rows(Index m, Index k, const double* a, Index rs, Index cs, double* out) {
  pack_rows_in_lanes<Lanes, mr>(m, k, a, rs, cs, out);
}

void pack_columns(Index k, Index n, const double* b, Index rs, Index cs, double* out) {
  pack_columns_in_lanes<Lanes, nr>(k, n, b, rs, cs, out);
}

// unpack_columns with the same vector copies and transposes.
void unpack_columns(Index k, Index n, const double* in, double* b, Index rs, Index cs) {
  const Index full = n / nr * nr;
  if (cs == 1) {
    for (Index j0 = 0; j0 < full; j0 += nr, in += nr * k)
      for (Index p = 0; p < k; ++p) _mm512_storeu_pd(b + p * rs + j0, _mm512_load_pd(in + p * nr));
  } else if (rs == 1) {
    const Index k8 = k / width * width;
    for (Index j0 = 0; j0 < full; j0 += nr, in += nr * k) {
      for (Index p0 = 0; p0 < k8; p0 += width) {
        __m512d block[width];
#pragma GCC unroll 8
        for (int i = 0; i < width; ++i) block[i] = _mm512_load_pd(in + (p0 + i) * nr);
        transpose(block);
#pragma GCC unroll 8
        for (int q = 0; q < width; ++q) _mm512_storeu_pd(b + (j0 + q) * cs + p0, block[q]);
      }
      for (Index p = k8; p < k; ++p)
        for (int q = 0; q < nr; ++q) b[(j0 + q) * cs + p] = in[p * nr + q];
    }
  } else {
    unpack_columns_of<nr>(k, full, in, b, rs, cs);
    in += full / nr * nr * k;
  }
  if (full < n) unpack_columns_of<nr>(k, n - full, in, b + full * cs, rs, cs);
}

// The rows lo..lo+7 at or after first and before end.
inline __mmask8 rows_between(Index lo, Index first, Index end) {
  return static_cast<__mmask8>(tail_mask(end - lo) & ~tail_mask(first - lo));
}

// The column loop of factor_tile with rows in vectors.
Index factor_tile(Index nb, double* a, Index lda, const double* given, double relative) {
  for (Index c = 0; c < nb; ++c) {
    double* col = a + c * lda;
    const double d = col[c];
    if (!(d > relative * given[c]) || !(d > 0.0)) return c;
    col[c] = std::sqrt(d);
    const __m512d l = _mm512_set1_pd(col[c]);
    for (Index i0 = (c + 1) / width * width; i0 < nb; i0 += width) {
      const __mmask8 rows = rows_between(i0, c + 1, nb);
      const __m512d below = _mm512_maskz_loadu_pd(rows, col + i0);
      _mm512_mask_storeu_pd(col + i0, rows, _mm512_div_pd(below, l));
    }
    for (Index j = c + 1; j < nb; ++j) {
      double* target = a + j * lda;
      const __m512d ljc = _mm512_set1_pd(col[j]);
      for (Index i0 = j / width * width; i0 < nb; i0 += width) {
        const __mmask8 rows = rows_between(i0, j, nb);
        const __m512d t = _mm512_maskz_loadu_pd(rows, target + i0);
        _mm512_mask_storeu_pd(target + i0, rows,
                              _mm512_fnmadd_pd(_mm512_maskz_loadu_pd(rows, col + i0), ljc, t));
      }
    }
  }
  return nb;
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
    mr,        nr,           tile,           tile_transposed, solve_tile, factor_tile,
    pack_rows, pack_columns, unpack_columns, gemv_columns,    gemv_dots};

}  // namespace detail
}  // namespace dense
}  // namespace tovrin
