// The AVX-512 kernels: eight columns per vector (see kernels.h for the
// exactness argument).  A call's last count mod 8 columns form one group
// padded with lanes that store nothing, its last len mod 8 rows one block
// whose other rows are masked off.  Only AVX-512F instructions are used.
#include "kernel_tables.h"
#include "kernels.h"

#ifdef TOVRIN_HAVE_VECTOR_KERNELS

// GCC 12 reports the unspecified operand that its AVX-512 shuffle intrinsics
// pass to the builtins (_mm512_undefined_pd) as (maybe) uninitialised; the
// instructions never read it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#define TOVRIN_AVX512 __attribute__((target("avx512f")))

namespace tovrin {
namespace {

using std::int32_t;
using std::int64_t;

// Lanes per vector, and so columns per group and rows per block.
constexpr int lanes = 8;
// Groups of columns that share each load of the row vectors (the plain dot
// products take as many as the others here).
constexpr int max_groups = 2;
constexpr int dot_groups = max_groups;

// q[k] holds rows i..i+7 of column k (lane r: row i+r); on return t[r] holds
// row i+r of columns 0..7 (lane k: column k).  Three rounds of shuffles: the
// unpacks pair the columns, the first 128-bit shuffles pair the pairs, the
// second ones the quadruples.
TOVRIN_AVX512 inline void transpose(const __m512d* q, __m512d* t) {
  // Selectors of _mm512_shuffle_f64x2: 128-bit parts 0 and 2 of each
  // operand, or parts 1 and 3.
  constexpr int even_parts = 0x88;
  constexpr int odd_parts = 0xdd;
  __m512d pair[lanes];
  for (int k = 0; k < lanes; k += 2) {
    pair[k] = _mm512_unpacklo_pd(q[k], q[k + 1]);      // rows 0, 2, 4, 6
    pair[k + 1] = _mm512_unpackhi_pd(q[k], q[k + 1]);  // rows 1, 3, 5, 7
  }
  __m512d quad[lanes];
  for (int k = 0; k < lanes; k += 4) {
    quad[k] = _mm512_shuffle_f64x2(pair[k], pair[k + 2], even_parts);          // 0, 4
    quad[k + 1] = _mm512_shuffle_f64x2(pair[k], pair[k + 2], odd_parts);       // 2, 6
    quad[k + 2] = _mm512_shuffle_f64x2(pair[k + 1], pair[k + 3], even_parts);  // 1, 5
    quad[k + 3] = _mm512_shuffle_f64x2(pair[k + 1], pair[k + 3], odd_parts);   // 3, 7
  }
  t[0] = _mm512_shuffle_f64x2(quad[0], quad[4], even_parts);
  t[4] = _mm512_shuffle_f64x2(quad[0], quad[4], odd_parts);
  t[2] = _mm512_shuffle_f64x2(quad[1], quad[5], even_parts);
  t[6] = _mm512_shuffle_f64x2(quad[1], quad[5], odd_parts);
  t[1] = _mm512_shuffle_f64x2(quad[2], quad[6], even_parts);
  t[5] = _mm512_shuffle_f64x2(quad[2], quad[6], odd_parts);
  t[3] = _mm512_shuffle_f64x2(quad[3], quad[7], even_parts);
  t[7] = _mm512_shuffle_f64x2(quad[3], quad[7], odd_parts);
}

// Rows i..i+count-1 of a block, count <= 8: the lanes of the mask.  The
// blocks below read and write no row beyond them.
TOVRIN_AVX512 inline __mmask8 row_mask(int count) {
  return static_cast<__mmask8>((1u << count) - 1u);
}
constexpr __mmask8 all_rows = 0xff;

TOVRIN_AVX512 inline __m512d load_rows(const double* p, __mmask8 rows) {
  return _mm512_maskz_loadu_pd(rows, p);
}

// acc + t[0] + t[1] + ... + t[count-1], added one row after the other.
TOVRIN_AVX512 inline __m512d add_rows(__m512d acc, const __m512d* t, int count) {
  for (int r = 0; r < count; ++r) acc = _mm512_add_pd(acc, t[r]);
  return acc;
}

// acc + t[0]*x(0) + ... + t[count-1]*x(count-1), row after row, each
// product rounded.
TOVRIN_AVX512 inline __m512d add_row_products(__m512d acc, const __m512d* t,
                                              const double* x, int count) {
  for (int r = 0; r < count; ++r) {
    acc = _mm512_add_pd(acc, _mm512_mul_pd(t[r], _mm512_set1_pd(x[r])));
  }
  return acc;
}

// The rows of column c as c + s*v (rounded product, then sum), stored in
// place when the lane is live; returns the updated rows.
TOVRIN_AVX512 inline __m512d update_rows(double* c, __m512d s, __m512d v,
                                         bool live, __mmask8 rows) {
  const __m512d updated = _mm512_add_pd(load_rows(c, rows), _mm512_mul_pd(s, v));
  if (live) _mm512_mask_storeu_pd(c, rows, updated);
  return updated;
}

// The group kernels work on 8*groups columns, of which, when `padded`, only
// the first `live` are real: the others are padding (PaddedGroup) and are
// never written.  Each
// takes the rows in blocks of eight and the last len mod 8 rows as one
// masked block.

// One block of add_dots: acc[g] + the products with v of rows i..i+count-1.
template <int groups>
TOVRIN_AVX512 inline void dots_block(__m512d* acc, double* const* col,
                                     const double* v, int64_t i,
                                     __mmask8 rows, int count) {
  const __m512d vi = load_rows(v + i, rows);
  // The groups unrolled, so that their sums stay in registers.
#pragma GCC unroll 4
  for (int g = 0; g < groups; ++g) {
    __m512d q[lanes];
    __m512d t[lanes];
    for (int k = 0; k < lanes; ++k) {
      q[k] = _mm512_mul_pd(load_rows(col[lanes * g + k] + i, rows), vi);
    }
    transpose(q, t);
    acc[g] = add_rows(acc[g], t, count);
  }
}

// add_dots, the groups sharing each load of v.
template <int groups>
TOVRIN_AVX512 void add_dots_groups(double* const* col, const double* v,
                                   int64_t len, double* s) {
  __m512d acc[groups];
  for (int g = 0; g < groups; ++g) acc[g] = _mm512_loadu_pd(s + lanes * g);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) dots_block<groups>(acc, col, v, i, all_rows, lanes);
  const int rest = static_cast<int>(len - i);
  if (rest > 0) dots_block<groups>(acc, col, v, i, row_mask(rest), rest);
  for (int g = 0; g < groups; ++g) _mm512_storeu_pd(s + lanes * g, acc[g]);
}

// One block of add_scaled_and_dots: the rows are updated, stored,
// multiplied by r while still in registers, and added to the sums.
template <int groups, bool padded>
TOVRIN_AVX512 inline void scaled_and_dots_block(__m512d* acc, double* const* col,
                                                const __m512d* sc, int32_t live,
                                                const double* v, const double* r,
                                                int64_t i, __mmask8 rows, int count) {
  const __m512d vi = load_rows(v + i, rows);
  const __m512d ri = load_rows(r + i, rows);
  // The groups unrolled, so that their sums stay in registers.
#pragma GCC unroll 4
  for (int g = 0; g < groups; ++g) {
    __m512d q[lanes];
    __m512d t[lanes];
    for (int k = 0; k < lanes; ++k) {
      const int c = lanes * g + k;
      q[k] = _mm512_mul_pd(update_rows(col[c] + i, sc[c], vi, !padded || c < live, rows), ri);
    }
    transpose(q, t);
    acc[g] = add_rows(acc[g], t, count);
  }
}

template <int groups, bool padded = false>
TOVRIN_AVX512 void add_scaled_and_dots_groups(double* const* col,
                                              const double* scale, int32_t live,
                                              const double* v, const double* r,
                                              int64_t len, double* s) {
  __m512d acc[groups];
  __m512d sc[lanes * groups];
  for (int g = 0; g < groups; ++g) acc[g] = _mm512_loadu_pd(s + lanes * g);
  for (int k = 0; k < lanes * groups; ++k) sc[k] = _mm512_set1_pd(scale[k]);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    scaled_and_dots_block<groups, padded>(acc, col, sc, live, v, r, i, all_rows, lanes);
  }
  const int rest = static_cast<int>(len - i);
  if (rest > 0) {
    scaled_and_dots_block<groups, padded>(acc, col, sc, live, v, r, i, row_mask(rest), rest);
  }
  for (int g = 0; g < groups; ++g) _mm512_storeu_pd(s + lanes * g, acc[g]);
}

// One block of add_scaled_and_two_dots: the updated rows are transposed
// once, and each row is multiplied by r(i) and by u(i).
template <int groups, bool padded>
TOVRIN_AVX512 inline void scaled_and_two_dots_block(
    __m512d* acc_s, __m512d* acc_d, double* const* col, const double* scale,
    int32_t live, const double* v, const double* r, const double* u, int64_t i,
    __mmask8 rows, int count) {
  const __m512d vi = load_rows(v + i, rows);
  // The groups unrolled, so that their sums stay in registers.
#pragma GCC unroll 4
  for (int g = 0; g < groups; ++g) {
    __m512d q[lanes];
    __m512d t[lanes];
    for (int k = 0; k < lanes; ++k) {
      const int c = lanes * g + k;
      q[k] = update_rows(col[c] + i, _mm512_set1_pd(scale[c]), vi, !padded || c < live, rows);
    }
    transpose(q, t);
    acc_s[g] = add_row_products(acc_s[g], t, r + i, count);
    acc_d[g] = add_row_products(acc_d[g], t, u + i, count);
  }
}

template <int groups, bool padded = false>
TOVRIN_AVX512 void add_scaled_and_two_dots_groups(
    double* const* col, const double* scale, int32_t live, const double* v,
    const double* r, const double* u, int64_t len, double* s, double* d) {
  __m512d acc_s[groups];
  __m512d acc_d[groups];
  for (int g = 0; g < groups; ++g) {
    acc_s[g] = _mm512_loadu_pd(s + lanes * g);
    acc_d[g] = _mm512_loadu_pd(d + lanes * g);
  }
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    scaled_and_two_dots_block<groups, padded>(acc_s, acc_d, col, scale, live, v, r, u, i,
                                      all_rows, lanes);
  }
  const int rest = static_cast<int>(len - i);
  if (rest > 0) {
    scaled_and_two_dots_block<groups, padded>(acc_s, acc_d, col, scale, live, v, r, u, i,
                                      row_mask(rest), rest);
  }
  for (int g = 0; g < groups; ++g) {
    _mm512_storeu_pd(s + lanes * g, acc_s[g]);
    _mm512_storeu_pd(d + lanes * g, acc_d[g]);
  }
}

// One block of add_two_dots: each block transposed once.
template <int groups>
TOVRIN_AVX512 inline void two_dots_block(__m512d* acc_s, __m512d* acc_d,
                                         double* const* col, const double* r,
                                         const double* u, int64_t i,
                                         __mmask8 rows, int count) {
  // The groups unrolled, so that their sums stay in registers.
#pragma GCC unroll 4
  for (int g = 0; g < groups; ++g) {
    __m512d q[lanes];
    __m512d t[lanes];
    for (int k = 0; k < lanes; ++k) q[k] = load_rows(col[lanes * g + k] + i, rows);
    transpose(q, t);
    acc_s[g] = add_row_products(acc_s[g], t, r + i, count);
    acc_d[g] = add_row_products(acc_d[g], t, u + i, count);
  }
}

template <int groups>
TOVRIN_AVX512 void add_two_dots_groups(double* const* col, const double* r,
                                       const double* u, int64_t len, double* s,
                                       double* d) {
  __m512d acc_s[groups];
  __m512d acc_d[groups];
  for (int g = 0; g < groups; ++g) {
    acc_s[g] = _mm512_loadu_pd(s + lanes * g);
    acc_d[g] = _mm512_loadu_pd(d + lanes * g);
  }
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    two_dots_block<groups>(acc_s, acc_d, col, r, u, i, all_rows, lanes);
  }
  const int rest = static_cast<int>(len - i);
  if (rest > 0) two_dots_block<groups>(acc_s, acc_d, col, r, u, i, row_mask(rest), rest);
  for (int g = 0; g < groups; ++g) {
    _mm512_storeu_pd(s + lanes * g, acc_s[g]);
    _mm512_storeu_pd(d + lanes * g, acc_d[g]);
  }
}

#define TOVRIN_KERNEL TOVRIN_AVX512
#include "kernel_groups.h"  // inside the unnamed namespace on purpose
#undef TOVRIN_KERNEL

// The element-wise kernels: separate rows are independent.

// One block of subtract_scaled_columns: rows i..i+count-1.
TOVRIN_AVX512 inline void subtract_scaled_columns_block(double* c,
                                                        const double* const* v,
                                                        const __m512d* s,
                                                        int32_t columns, int64_t i,
                                                        __mmask8 rows) {
  __m512d ci = load_rows(c + i, rows);
  for (int32_t k = 0; k < columns; ++k) {
    ci = _mm512_sub_pd(ci, _mm512_mul_pd(load_rows(v[k] + i, rows), s[k]));
  }
  _mm512_mask_storeu_pd(c + i, rows, ci);
}

TOVRIN_AVX512 void subtract_scaled_columns(double* c, const double* const* v,
                                           const double* s, int32_t count,
                                           int64_t len) {
  __m512d sv[substitution_columns];
  for (int32_t k = 0; k < count; ++k) sv[k] = _mm512_set1_pd(s[k]);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) subtract_scaled_columns_block(c, v, sv, count, i, all_rows);
  const int rest = static_cast<int>(len - i);
  if (rest > 0) subtract_scaled_columns_block(c, v, sv, count, i, row_mask(rest));
}

TOVRIN_AVX512 void add_scaled(double* c, const double* v, int64_t len, double s) {
  const __m512d sv = _mm512_set1_pd(s);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    const __m512d product = _mm512_mul_pd(sv, _mm512_loadu_pd(v + i));
    _mm512_storeu_pd(c + i, _mm512_add_pd(_mm512_loadu_pd(c + i), product));
  }
  portable_kernels.add_scaled(c + i, v + i, len - i, s);
}

// rotate_columns for one group of columns, the first `live` real: the rows
// 0..rotations of each are transposed into row vectors (lane k: column k),
// rotated in registers, and transposed back.
TOVRIN_AVX512 void rotate_group(double* const* col, int32_t live, const double* cc,
                                 const double* ss, int32_t rotations) {
  constexpr int32_t max_rows = (max_rotations + 1 + lanes - 1) / lanes * lanes;
  __m512d row[max_rows];
  const int32_t rows_used = rotations + 1;
  for (int32_t i = 0; i < rows_used; i += lanes) {
    const int count = rows_used - i < lanes ? rows_used - i : lanes;
    const auto rows = count == lanes ? all_rows : row_mask(count);
    __m512d q[lanes];
    for (int k = 0; k < lanes; ++k) q[k] = load_rows(col[k] + i, rows);
    transpose(q, row + i);
  }
  __m512d p = row[0];
  for (int32_t k = 0; k < rotations; ++k) {
    const __m512d c = _mm512_set1_pd(cc[k]);
    const __m512d s = _mm512_set1_pd(ss[k]);
    const __m512d minus_s = _mm512_set1_pd(-ss[k]);
    const __m512d q = row[k + 1];
    row[k] = _mm512_add_pd(_mm512_mul_pd(c, p), _mm512_mul_pd(s, q));
    p = _mm512_add_pd(_mm512_mul_pd(minus_s, p), _mm512_mul_pd(c, q));
  }
  row[rotations] = p;
  for (int32_t i = 0; i < rows_used; i += lanes) {
    const int count = rows_used - i < lanes ? rows_used - i : lanes;
    const auto rows = count == lanes ? all_rows : row_mask(count);
    __m512d q[lanes];
    transpose(row + i, q);
    for (int k = 0; k < lanes; ++k) {
      if (k < live) _mm512_mask_storeu_pd(col[k] + i, rows, q[k]);
    }
  }
}

TOVRIN_AVX512 void rotate_columns(double* const* col, int32_t count, const double* cc,
                                   const double* ss, int32_t rotations) {
  int32_t k = 0;
  for (; k + lanes <= count; k += lanes) rotate_group(col + k, lanes, cc, ss, rotations);
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, nullptr, count - k, nullptr, nullptr);
  rotate_group(rest.col, count - k, cc, ss, rotations);
}

}  // namespace

const KernelTable avx512_kernels = {
    add_dots,     add_scaled_and_dots, add_scaled_and_two_dots,
    add_two_dots, subtract_scaled_columns, add_scaled,
    rotate_columns,
};

}  // namespace tovrin

#endif  // TOVRIN_HAVE_VECTOR_KERNELS
