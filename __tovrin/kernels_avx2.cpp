// The AVX2 kernels: four columns per vector (see kernels.h for the
// exactness argument).  A call's last count mod 4 columns form one group
// padded with lanes that store nothing; rows beyond the last multiple of
// four go through the portable loops, which keep each sum's order.
#include "kernel_tables.h"

#ifdef TOVRIN_HAVE_VECTOR_KERNELS

#include <immintrin.h>

#define TOVRIN_AVX2 __attribute__((target("avx2")))

namespace tovrin {
namespace {

using std::int32_t;
using std::int64_t;

// Lanes per vector, and so columns per group and rows per block.
constexpr int lanes = 4;
// Groups of columns that share each load of the row vectors: four for the
// plain dot products, whose sums are the only chains of dependent adds, two
// where the sixteen registers also hold updates.
constexpr int dot_groups = 4;
constexpr int max_groups = 2;

// q[k] holds rows i..i+3 of column k (lane r: row i+r); on return t[r] holds
// row i+r of columns 0..3 (lane k: column k).
TOVRIN_AVX2 inline void transpose(const __m256d* q, __m256d* t) {
  // Selectors of _mm256_permute2f128_pd: the low 128-bit halves of both
  // operands, or the high ones.
  constexpr int low_halves = 0x20;
  constexpr int high_halves = 0x31;
  const __m256d lo01 = _mm256_unpacklo_pd(q[0], q[1]);  // rows 0 and 2 of c0, c1
  const __m256d hi01 = _mm256_unpackhi_pd(q[0], q[1]);  // rows 1 and 3
  const __m256d lo23 = _mm256_unpacklo_pd(q[2], q[3]);
  const __m256d hi23 = _mm256_unpackhi_pd(q[2], q[3]);
  t[0] = _mm256_permute2f128_pd(lo01, lo23, low_halves);
  t[1] = _mm256_permute2f128_pd(hi01, hi23, low_halves);
  t[2] = _mm256_permute2f128_pd(lo01, lo23, high_halves);
  t[3] = _mm256_permute2f128_pd(hi01, hi23, high_halves);
}

// acc + t[0] + t[1] + t[2] + t[3], added one row after the other.
TOVRIN_AVX2 inline __m256d add_rows(__m256d acc, const __m256d* t) {
  for (int r = 0; r < lanes; ++r) acc = _mm256_add_pd(acc, t[r]);
  return acc;
}

// acc + t[0]*x(0) + ... + t[3]*x(3), row after row, each product rounded.
TOVRIN_AVX2 inline __m256d add_row_products(__m256d acc, const __m256d* t,
                                              const double* x) {
  for (int r = 0; r < lanes; ++r) {
    acc = _mm256_add_pd(acc, _mm256_mul_pd(t[r], _mm256_broadcast_sd(x + r)));
  }
  return acc;
}

// Four rows of column c as c + s*v (rounded product, then sum), stored in
// place when the lane is live; returns the updated rows.
TOVRIN_AVX2 inline __m256d update_rows(double* c, __m256d s, __m256d v,
                                         bool live) {
  const __m256d updated = _mm256_add_pd(_mm256_loadu_pd(c), _mm256_mul_pd(s, v));
  if (live) _mm256_storeu_pd(c, updated);
  return updated;
}

// The group kernels work on 4*groups columns, of which the first `live` are
// real: the others are padding (PaddedGroup) and are never written.

// add_dots, the groups sharing each load of v.
template <int groups>
TOVRIN_AVX2 void add_dots_groups(double* const* col, int32_t live,
                                   const double* v, int64_t len, double* s) {
  __m256d acc[groups];
  for (int g = 0; g < groups; ++g) acc[g] = _mm256_loadu_pd(s + lanes * g);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    const __m256d vi = _mm256_loadu_pd(v + i);
    for (int g = 0; g < groups; ++g) {
      __m256d q[lanes];
      __m256d t[lanes];
      for (int k = 0; k < lanes; ++k) {
        q[k] = _mm256_mul_pd(_mm256_loadu_pd(col[lanes * g + k] + i), vi);
      }
      transpose(q, t);
      acc[g] = add_rows(acc[g], t);
    }
  }
  for (int g = 0; g < groups; ++g) _mm256_storeu_pd(s + lanes * g, acc[g]);
  // The last len mod 4 rows, in order, after the blocked rows.
  double* rest[lanes * groups];
  for (int k = 0; k < live; ++k) rest[k] = col[k] + i;
  portable_kernels.add_dots(rest, live, v + i, len - i, s);
}

// add_scaled_and_dots: each block of four rows of four columns is updated,
// stored, multiplied by r while still in registers, and added to the sums.
template <int groups>
TOVRIN_AVX2 void add_scaled_and_dots_groups(double* const* col,
                                              const double* scale, int32_t live,
                                              const double* v, const double* r,
                                              int64_t len, double* s) {
  __m256d acc[groups];
  __m256d sc[lanes * groups];
  for (int g = 0; g < groups; ++g) acc[g] = _mm256_loadu_pd(s + lanes * g);
  for (int k = 0; k < lanes * groups; ++k) sc[k] = _mm256_set1_pd(scale[k]);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    const __m256d vi = _mm256_loadu_pd(v + i);
    const __m256d ri = _mm256_loadu_pd(r + i);
    for (int g = 0; g < groups; ++g) {
      __m256d q[lanes];
      __m256d t[lanes];
      for (int k = 0; k < lanes; ++k) {
        const int c = lanes * g + k;
        q[k] = _mm256_mul_pd(update_rows(col[c] + i, sc[c], vi, c < live), ri);
      }
      transpose(q, t);
      acc[g] = add_rows(acc[g], t);
    }
  }
  for (int g = 0; g < groups; ++g) _mm256_storeu_pd(s + lanes * g, acc[g]);
  double* rest[lanes * groups];
  for (int k = 0; k < live; ++k) rest[k] = col[k] + i;
  portable_kernels.add_scaled_and_dots(rest, scale, live, v + i, r + i, len - i, s);
}

// add_scaled_and_two_dots: the updated block is transposed once, and each
// row of it is multiplied by r(i) and by u(i).
template <int groups>
TOVRIN_AVX2 void add_scaled_and_two_dots_groups(
    double* const* col, const double* scale, int32_t live, const double* v,
    const double* r, const double* u, int64_t len, double* s, double* d) {
  __m256d acc_s[groups];
  __m256d acc_d[groups];
  for (int g = 0; g < groups; ++g) {
    acc_s[g] = _mm256_loadu_pd(s + lanes * g);
    acc_d[g] = _mm256_loadu_pd(d + lanes * g);
  }
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    const __m256d vi = _mm256_loadu_pd(v + i);
    for (int g = 0; g < groups; ++g) {
      __m256d q[lanes];
      __m256d t[lanes];
      for (int k = 0; k < lanes; ++k) {
        const int c = lanes * g + k;
        q[k] = update_rows(col[c] + i, _mm256_set1_pd(scale[c]), vi, c < live);
      }
      transpose(q, t);
      acc_s[g] = add_row_products(acc_s[g], t, r + i);
      acc_d[g] = add_row_products(acc_d[g], t, u + i);
    }
  }
  for (int g = 0; g < groups; ++g) {
    _mm256_storeu_pd(s + lanes * g, acc_s[g]);
    _mm256_storeu_pd(d + lanes * g, acc_d[g]);
  }
  double* rest[lanes * groups];
  for (int k = 0; k < live; ++k) rest[k] = col[k] + i;
  portable_kernels.add_scaled_and_two_dots(rest, scale, live, v + i, r + i, u + i,
                                           len - i, s, d);
}

// add_two_dots: each block transposed once.
template <int groups>
TOVRIN_AVX2 void add_two_dots_groups(double* const* col, int32_t live,
                                       const double* r, const double* u,
                                       int64_t len, double* s, double* d) {
  __m256d acc_s[groups];
  __m256d acc_d[groups];
  for (int g = 0; g < groups; ++g) {
    acc_s[g] = _mm256_loadu_pd(s + lanes * g);
    acc_d[g] = _mm256_loadu_pd(d + lanes * g);
  }
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    for (int g = 0; g < groups; ++g) {
      __m256d q[lanes];
      __m256d t[lanes];
      for (int k = 0; k < lanes; ++k) q[k] = _mm256_loadu_pd(col[lanes * g + k] + i);
      transpose(q, t);
      acc_s[g] = add_row_products(acc_s[g], t, r + i);
      acc_d[g] = add_row_products(acc_d[g], t, u + i);
    }
  }
  for (int g = 0; g < groups; ++g) {
    _mm256_storeu_pd(s + lanes * g, acc_s[g]);
    _mm256_storeu_pd(d + lanes * g, acc_d[g]);
  }
  double* rest[lanes * groups];
  for (int k = 0; k < live; ++k) rest[k] = col[k] + i;
  portable_kernels.add_two_dots(rest, live, r + i, u + i, len - i, s, d);
}

// The dispatchers: groups of two, then of one, then the rest padded.

TOVRIN_AVX2 void add_dots(double* const* col, int32_t count, const double* v,
                            int64_t len, double* s) {
  int32_t k = 0;
  for (; k + dot_groups * lanes <= count; k += dot_groups * lanes) {
    add_dots_groups<dot_groups>(col + k, dot_groups * lanes, v, len, s + k);
  }
  for (; k + lanes <= count; k += lanes) add_dots_groups<1>(col + k, lanes, v, len, s + k);
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, nullptr, count - k, s + k, nullptr);
  add_dots_groups<1>(rest.col, count - k, v, len, rest.s);
  rest.write_sums(count - k, s + k, nullptr);
}

TOVRIN_AVX2 void add_scaled_and_dots(double* const* col, const double* scale,
                                       int32_t count, const double* v,
                                       const double* r, int64_t len, double* s) {
  int32_t k = 0;
  for (; k + max_groups * lanes <= count; k += max_groups * lanes) {
    add_scaled_and_dots_groups<max_groups>(col + k, scale + k, max_groups * lanes,
                                           v, r, len, s + k);
  }
  for (; k + lanes <= count; k += lanes) {
    add_scaled_and_dots_groups<1>(col + k, scale + k, lanes, v, r, len, s + k);
  }
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, scale + k, count - k, s + k, nullptr);
  add_scaled_and_dots_groups<1>(rest.col, rest.scale, count - k, v, r, len, rest.s);
  rest.write_sums(count - k, s + k, nullptr);
}

TOVRIN_AVX2 void add_scaled_and_two_dots(double* const* col,
                                           const double* scale, int32_t count,
                                           const double* v, const double* r,
                                           const double* u, int64_t len,
                                           double* s, double* d) {
  int32_t k = 0;
  for (; k + max_groups * lanes <= count; k += max_groups * lanes) {
    add_scaled_and_two_dots_groups<max_groups>(col + k, scale + k, max_groups * lanes,
                                               v, r, u, len, s + k, d + k);
  }
  for (; k + lanes <= count; k += lanes) {
    add_scaled_and_two_dots_groups<1>(col + k, scale + k, lanes, v, r, u, len,
                                      s + k, d + k);
  }
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, scale + k, count - k, s + k, d + k);
  add_scaled_and_two_dots_groups<1>(rest.col, rest.scale, count - k, v, r, u, len,
                                    rest.s, rest.d);
  rest.write_sums(count - k, s + k, d + k);
}

TOVRIN_AVX2 void add_two_dots(double* const* col, int32_t count,
                                const double* r, const double* u, int64_t len,
                                double* s, double* d) {
  int32_t k = 0;
  for (; k + max_groups * lanes <= count; k += max_groups * lanes) {
    add_two_dots_groups<max_groups>(col + k, max_groups * lanes, r, u, len, s + k, d + k);
  }
  for (; k + lanes <= count; k += lanes) {
    add_two_dots_groups<1>(col + k, lanes, r, u, len, s + k, d + k);
  }
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, nullptr, count - k, s + k, d + k);
  add_two_dots_groups<1>(rest.col, count - k, r, u, len, rest.s, rest.d);
  rest.write_sums(count - k, s + k, d + k);
}

// The element-wise kernels: separate rows are independent.

TOVRIN_AVX2 void subtract_scaled(double* c, const double* v, int64_t len,
                                   double s) {
  const __m256d sv = _mm256_set1_pd(s);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    const __m256d product = _mm256_mul_pd(_mm256_loadu_pd(v + i), sv);
    _mm256_storeu_pd(c + i, _mm256_sub_pd(_mm256_loadu_pd(c + i), product));
  }
  portable_kernels.subtract_scaled(c + i, v + i, len - i, s);
}

TOVRIN_AVX2 void subtract_two_scaled(double* c, const double* v, double s,
                                       const double* u, double t, int64_t len) {
  const __m256d sv = _mm256_set1_pd(s);
  const __m256d tv = _mm256_set1_pd(t);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    const __m256d once =
        _mm256_sub_pd(_mm256_loadu_pd(c + i), _mm256_mul_pd(_mm256_loadu_pd(v + i), sv));
    _mm256_storeu_pd(c + i, _mm256_sub_pd(once, _mm256_mul_pd(_mm256_loadu_pd(u + i), tv)));
  }
  portable_kernels.subtract_two_scaled(c + i, v + i, s, u + i, t, len - i);
}

TOVRIN_AVX2 void add_scaled(double* c, const double* v, int64_t len, double s) {
  const __m256d sv = _mm256_set1_pd(s);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    const __m256d product = _mm256_mul_pd(sv, _mm256_loadu_pd(v + i));
    _mm256_storeu_pd(c + i, _mm256_add_pd(_mm256_loadu_pd(c + i), product));
  }
  portable_kernels.add_scaled(c + i, v + i, len - i, s);
}

}  // namespace

const KernelTable avx2_kernels = {
    add_dots,     add_scaled_and_dots, add_scaled_and_two_dots,
    add_two_dots, subtract_scaled,     subtract_two_scaled,
    add_scaled,
};

}  // namespace tovrin

#endif  // TOVRIN_HAVE_VECTOR_KERNELS
