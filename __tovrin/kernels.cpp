// The vector kernels of the solver core and their run-time dispatch (see
// kernels.h for the exactness argument).
#include "kernels.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace tovrin {
namespace {

using std::int32_t;
using std::int64_t;

// s(k) = s(k) + c_k(i)*v(i) for i = 0..len-1 in order, one column at a time.
void add_dots_scalar(double* const* col, int32_t count, const double* v,
                     int64_t len, double* s) {
  for (int32_t k = 0; k < count; ++k) {
    double sm = s[k];
    const double* c = col[k];
    for (int64_t i = 0; i < len; ++i) sm = sm + c[i] * v[i];
    s[k] = sm;
  }
}

// c(i) = c(i) + s*v(i) for i = 0..len-1; the updates are independent.
void add_scaled_scalar(double* c, const double* v, int64_t len, double s) {
  for (int64_t i = 0; i < len; ++i) c[i] = c[i] + s * v[i];
}

// c(i) = c(i) - v(i)*s for i = 0..len-1: the product is rounded, then
// subtracted; the updates are independent.
void subtract_scaled_scalar(double* c, const double* v, int64_t len, double s) {
  for (int64_t i = 0; i < len; ++i) c[i] = c[i] - v[i] * s;
}

// For each column k: c_k(i) = c_k(i) + scale(k)*v(i), then s(k) = s(k) +
// c_k(i)*r(i) with the updated value, for i = 0..len-1 in order.  The update
// is the reflection's, the sum a dot product of the reflected column; one
// pass over each column does both.
void add_scaled_and_dots_scalar(double* const* col, const double* scale,
                                int32_t count, const double* v,
                                const double* r, int64_t len, double* s) {
  for (int32_t k = 0; k < count; ++k) {
    double sm = s[k];
    double* c = col[k];
    for (int64_t i = 0; i < len; ++i) {
      c[i] = c[i] + scale[k] * v[i];
      sm = sm + c[i] * r[i];
    }
    s[k] = sm;
  }
}

// TOVRIN_PORTABLE_KERNELS builds only the plain kernels, so that the tests
// can check them on a processor that would otherwise take the AVX2 ones.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(TOVRIN_PORTABLE_KERNELS)
#define TOVRIN_HAVE_AVX2_KERNELS 1

// Adds four rows of products to acc, whose lane k is the sum of column k:
// q_k holds the products of four consecutive rows of column k; they are
// transposed and added row after row.
__attribute__((target("avx2"))) inline __m256d add_transposed(
    __m256d acc, __m256d q0, __m256d q1, __m256d q2, __m256d q3) {
  const __m256d lo01 = _mm256_unpacklo_pd(q0, q1);  // rows 0 and 2 of c0, c1
  const __m256d hi01 = _mm256_unpackhi_pd(q0, q1);  // rows 1 and 3
  const __m256d lo23 = _mm256_unpacklo_pd(q2, q3);
  const __m256d hi23 = _mm256_unpackhi_pd(q2, q3);
  acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(lo01, lo23, 0x20));  // row 0
  acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(hi01, hi23, 0x20));  // row 1
  acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(lo01, lo23, 0x31));  // row 2
  acc = _mm256_add_pd(acc, _mm256_permute2f128_pd(hi01, hi23, 0x31));  // row 3
  return acc;
}

// Adds four rows of products of four columns with v to acc (lane k: column k).
__attribute__((target("avx2"))) inline __m256d add_four_rows(
    __m256d acc, const double* c0, const double* c1, const double* c2,
    const double* c3, __m256d v) {
  return add_transposed(acc, _mm256_mul_pd(_mm256_loadu_pd(c0), v),
                        _mm256_mul_pd(_mm256_loadu_pd(c1), v),
                        _mm256_mul_pd(_mm256_loadu_pd(c2), v),
                        _mm256_mul_pd(_mm256_loadu_pd(c3), v));
}

// Four rows of column c become c + s*v (rounded product, then sum) in place;
// returns the updated rows.
__attribute__((target("avx2"))) inline __m256d update_four_rows(double* c,
                                                                __m256d s,
                                                                __m256d v) {
  const __m256d updated = _mm256_add_pd(_mm256_loadu_pd(c), _mm256_mul_pd(s, v));
  _mm256_storeu_pd(c, updated);
  return updated;
}

// add_dots_scalar for a multiple of four columns, groups of four columns
// sharing each load of v.
template <int groups>
__attribute__((target("avx2"))) void add_dots_avx2(double* const* col,
                                                   const double* v,
                                                   int64_t len, double* s) {
  __m256d acc[groups];
  for (int g = 0; g < groups; ++g) acc[g] = _mm256_loadu_pd(s + 4 * g);
  int64_t i = 0;
  for (; i + 4 <= len; i += 4) {
    const __m256d vi = _mm256_loadu_pd(v + i);
    for (int g = 0; g < groups; ++g) {
      double* const* c = col + 4 * g;
      acc[g] = add_four_rows(acc[g], c[0] + i, c[1] + i, c[2] + i, c[3] + i, vi);
    }
  }
  for (int g = 0; g < groups; ++g) _mm256_storeu_pd(s + 4 * g, acc[g]);
  // The last len mod 4 rows, in order, after the blocked rows.
  for (int32_t k = 0; k < 4 * groups; ++k) {
    double sm = s[k];
    const double* c = col[k];
    for (int64_t r = i; r < len; ++r) sm = sm + c[r] * v[r];
    s[k] = sm;
  }
}

// add_scaled_and_dots_scalar for a multiple of four columns: each group of
// four rows of four columns is updated, stored, multiplied by r while still in
// registers, and added to the columns' sums.
template <int groups>
__attribute__((target("avx2"))) void add_scaled_and_dots_avx2(
    double* const* col, const double* scale, const double* v, const double* r,
    int64_t len, double* s) {
  __m256d acc[groups];
  __m256d sc[4 * groups];
  for (int g = 0; g < groups; ++g) acc[g] = _mm256_loadu_pd(s + 4 * g);
  for (int k = 0; k < 4 * groups; ++k) sc[k] = _mm256_set1_pd(scale[k]);
  int64_t i = 0;
  for (; i + 4 <= len; i += 4) {
    const __m256d vi = _mm256_loadu_pd(v + i);
    const __m256d ri = _mm256_loadu_pd(r + i);
    for (int g = 0; g < groups; ++g) {
      double* const* c = col + 4 * g;
      const __m256d* s4 = sc + 4 * g;
      acc[g] = add_transposed(
          acc[g], _mm256_mul_pd(update_four_rows(c[0] + i, s4[0], vi), ri),
          _mm256_mul_pd(update_four_rows(c[1] + i, s4[1], vi), ri),
          _mm256_mul_pd(update_four_rows(c[2] + i, s4[2], vi), ri),
          _mm256_mul_pd(update_four_rows(c[3] + i, s4[3], vi), ri));
    }
  }
  for (int g = 0; g < groups; ++g) _mm256_storeu_pd(s + 4 * g, acc[g]);
  // The last len mod 4 rows, in order, after the blocked rows.
  for (int32_t k = 0; k < 4 * groups; ++k) {
    double sm = s[k];
    double* c = col[k];
    for (int64_t q = i; q < len; ++q) {
      c[q] = c[q] + scale[k] * v[q];
      sm = sm + c[q] * r[q];
    }
    s[k] = sm;
  }
}

__attribute__((target("avx2"))) void add_scaled_avx2(double* c,
                                                     const double* v,
                                                     int64_t len, double s) {
  const __m256d s4 = _mm256_set1_pd(s);
  int64_t i = 0;
  for (; i + 4 <= len; i += 4) {
    const __m256d ci = _mm256_loadu_pd(c + i);
    _mm256_storeu_pd(c + i, _mm256_add_pd(ci, _mm256_mul_pd(s4, _mm256_loadu_pd(v + i))));
  }
  for (; i < len; ++i) c[i] = c[i] + s * v[i];
}

__attribute__((target("avx2"))) void subtract_scaled_avx2(double* c,
                                                          const double* v,
                                                          int64_t len,
                                                          double s) {
  const __m256d s4 = _mm256_set1_pd(s);
  int64_t i = 0;
  for (; i + 4 <= len; i += 4) {
    const __m256d ci = _mm256_loadu_pd(c + i);
    _mm256_storeu_pd(c + i, _mm256_sub_pd(ci, _mm256_mul_pd(_mm256_loadu_pd(v + i), s4)));
  }
  for (; i < len; ++i) c[i] = c[i] - v[i] * s;
}
#endif

}  // namespace

ColumnKernels::ColumnKernels() {
#ifdef TOVRIN_HAVE_AVX2_KERNELS
  avx2_ = __builtin_cpu_supports("avx2");
#endif
}

// s(k) = s(k) + sum over i of c_k(i)*v(i), i = 0..len-1 in order, for
// count <= block_columns columns.
void ColumnKernels::add_dots(double* const* col, int32_t count,
                             const double* v, int64_t len, double* s) const {
#ifdef TOVRIN_HAVE_AVX2_KERNELS
  if (avx2_) {
    int32_t k = 0;
    for (; k + 16 <= count; k += 16) add_dots_avx2<4>(col + k, v, len, s + k);
    for (; k + 8 <= count; k += 8) add_dots_avx2<2>(col + k, v, len, s + k);
    for (; k + 4 <= count; k += 4) add_dots_avx2<1>(col + k, v, len, s + k);
    add_dots_scalar(col + k, count - k, v, len, s + k);
    return;
  }
#endif
  add_dots_scalar(col, count, v, len, s);
}

// For count <= block_columns columns: c_k(i) = c_k(i) + scale(k)*v(i), then
// s(k) = s(k) + c_k(i)*r(i) with the updated value, i = 0..len-1 in order.
void ColumnKernels::add_scaled_and_dots(double* const* col,
                                        const double* scale, int32_t count,
                                        const double* v, const double* r,
                                        int64_t len, double* s) const {
#ifdef TOVRIN_HAVE_AVX2_KERNELS
  if (avx2_) {
    int32_t k = 0;
    for (; k + 8 <= count; k += 8) {
      add_scaled_and_dots_avx2<2>(col + k, scale + k, v, r, len, s + k);
    }
    for (; k + 4 <= count; k += 4) {
      add_scaled_and_dots_avx2<1>(col + k, scale + k, v, r, len, s + k);
    }
    add_scaled_and_dots_scalar(col + k, scale + k, count - k, v, r, len, s + k);
    return;
  }
#endif
  add_scaled_and_dots_scalar(col, scale, count, v, r, len, s);
}

// c(i) = c(i) - v(i)*s, i = 0..len-1.
void ColumnKernels::subtract_scaled(double* c, const double* v, int64_t len,
                                    double s) const {
#ifdef TOVRIN_HAVE_AVX2_KERNELS
  if (avx2_) {
    subtract_scaled_avx2(c, v, len, s);
    return;
  }
#endif
  subtract_scaled_scalar(c, v, len, s);
}

// c(i) = c(i) + s*v(i), i = 0..len-1.
void ColumnKernels::add_scaled(double* c, const double* v, int64_t len,
                               double s) const {
#ifdef TOVRIN_HAVE_AVX2_KERNELS
  if (avx2_) {
    add_scaled_avx2(c, v, len, s);
    return;
  }
#endif
  add_scaled_scalar(c, v, len, s);
}

}  // namespace tovrin
