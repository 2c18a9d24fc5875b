// The AVX2 kernels: four columns per vector (see kernels.h for the
// exactness argument).  A call's last count mod 4 columns form one group
// padded with lanes that store nothing, its last len mod 4 rows one block
// whose other rows are masked off.
#include "kernel_tables.h"
#include "kernels.h"

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

// Rows i..i+count-1 of a block, count <= 4: full blocks load and store
// plainly, the last one through the lanes of a mask.  The blocks below read
// and write no row beyond them.
struct Rows {
  bool partial;
  __m256i mask;
};

TOVRIN_AVX2 inline Rows row_mask(int count) {
  const __m256i lane = _mm256_setr_epi64x(0, 1, 2, 3);
  return {true, _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), lane)};
}
TOVRIN_AVX2 inline Rows all_rows() { return {false, _mm256_setzero_si256()}; }

TOVRIN_AVX2 inline __m256d load_rows(const double* p, const Rows& rows) {
  return rows.partial ? _mm256_maskload_pd(p, rows.mask) : _mm256_loadu_pd(p);
}

// acc + t[0] + t[1] + ... + t[count-1], added one row after the other.
TOVRIN_AVX2 inline __m256d add_rows(__m256d acc, const __m256d* t, int count) {
  for (int r = 0; r < count; ++r) acc = _mm256_add_pd(acc, t[r]);
  return acc;
}

// acc + t[0]*x(0) + ... + t[count-1]*x(count-1), row after row, each
// product rounded.
TOVRIN_AVX2 inline __m256d add_row_products(__m256d acc, const __m256d* t,
                                              const double* x, int count) {
  for (int r = 0; r < count; ++r) {
    acc = _mm256_add_pd(acc, _mm256_mul_pd(t[r], _mm256_broadcast_sd(x + r)));
  }
  return acc;
}

// The rows of column c as c + s*v (rounded product, then sum), stored in
// place when the lane is live; returns the updated rows.
TOVRIN_AVX2 inline __m256d update_rows(double* c, __m256d s, __m256d v,
                                         bool live, const Rows& rows) {
  const __m256d updated = _mm256_add_pd(load_rows(c, rows), _mm256_mul_pd(s, v));
  if (live) {
    if (rows.partial) {
      _mm256_maskstore_pd(c, rows.mask, updated);
    } else {
      _mm256_storeu_pd(c, updated);
    }
  }
  return updated;
}

// The group kernels work on 4*groups columns, of which, when `padded`, only
// the first `live` are real: the others are padding (PaddedGroup) and are
// never written.  Each
// takes the rows in blocks of four and the last len mod 4 rows as one
// masked block.

// One block of add_dots: acc[g] + the products with v of rows i..i+count-1.
template <int groups>
TOVRIN_AVX2 inline void dots_block(__m256d* acc, double* const* col,
                                     const double* v, int64_t i,
                                     const Rows& rows, int count) {
  const __m256d vi = load_rows(v + i, rows);
  // The groups unrolled, so that their sums stay in registers.
#pragma GCC unroll 4
  for (int g = 0; g < groups; ++g) {
    __m256d q[lanes];
    __m256d t[lanes];
    for (int k = 0; k < lanes; ++k) {
      q[k] = _mm256_mul_pd(load_rows(col[lanes * g + k] + i, rows), vi);
    }
    transpose(q, t);
    acc[g] = add_rows(acc[g], t, count);
  }
}

// add_dots, the groups sharing each load of v.
template <int groups>
TOVRIN_AVX2 void add_dots_groups(double* const* col, const double* v,
                                   int64_t len, double* s) {
  __m256d acc[groups];
  for (int g = 0; g < groups; ++g) acc[g] = _mm256_loadu_pd(s + lanes * g);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) dots_block<groups>(acc, col, v, i, all_rows(), lanes);
  const int rest = static_cast<int>(len - i);
  if (rest > 0) dots_block<groups>(acc, col, v, i, row_mask(rest), rest);
  for (int g = 0; g < groups; ++g) _mm256_storeu_pd(s + lanes * g, acc[g]);
}

// One block of add_scaled_and_dots: the rows are updated, stored,
// multiplied by r while still in registers, and added to the sums.
template <int groups, bool padded>
TOVRIN_AVX2 inline void scaled_and_dots_block(__m256d* acc, double* const* col,
                                                const __m256d* sc, int32_t live,
                                                const double* v, const double* r,
                                                int64_t i, const Rows& rows, int count) {
  const __m256d vi = load_rows(v + i, rows);
  const __m256d ri = load_rows(r + i, rows);
  // The groups unrolled, so that their sums stay in registers.
#pragma GCC unroll 4
  for (int g = 0; g < groups; ++g) {
    __m256d q[lanes];
    __m256d t[lanes];
    for (int k = 0; k < lanes; ++k) {
      const int c = lanes * g + k;
      q[k] = _mm256_mul_pd(update_rows(col[c] + i, sc[c], vi, !padded || c < live, rows), ri);
    }
    transpose(q, t);
    acc[g] = add_rows(acc[g], t, count);
  }
}

template <int groups, bool padded = false>
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
    scaled_and_dots_block<groups, padded>(acc, col, sc, live, v, r, i, all_rows(), lanes);
  }
  const int rest = static_cast<int>(len - i);
  if (rest > 0) {
    scaled_and_dots_block<groups, padded>(acc, col, sc, live, v, r, i, row_mask(rest), rest);
  }
  for (int g = 0; g < groups; ++g) _mm256_storeu_pd(s + lanes * g, acc[g]);
}

// One block of add_scaled_and_two_dots: the updated rows are transposed
// once, and each row is multiplied by r(i) and by u(i).
template <int groups, bool padded>
TOVRIN_AVX2 inline void scaled_and_two_dots_block(
    __m256d* acc_s, __m256d* acc_d, double* const* col, const double* scale,
    int32_t live, const double* v, const double* r, const double* u, int64_t i,
    const Rows& rows, int count) {
  const __m256d vi = load_rows(v + i, rows);
  // The groups unrolled, so that their sums stay in registers.
#pragma GCC unroll 4
  for (int g = 0; g < groups; ++g) {
    __m256d q[lanes];
    __m256d t[lanes];
    for (int k = 0; k < lanes; ++k) {
      const int c = lanes * g + k;
      q[k] = update_rows(col[c] + i, _mm256_set1_pd(scale[c]), vi, !padded || c < live, rows);
    }
    transpose(q, t);
    acc_s[g] = add_row_products(acc_s[g], t, r + i, count);
    acc_d[g] = add_row_products(acc_d[g], t, u + i, count);
  }
}

template <int groups, bool padded = false>
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
    scaled_and_two_dots_block<groups, padded>(acc_s, acc_d, col, scale, live, v, r, u, i,
                                      all_rows(), lanes);
  }
  const int rest = static_cast<int>(len - i);
  if (rest > 0) {
    scaled_and_two_dots_block<groups, padded>(acc_s, acc_d, col, scale, live, v, r, u, i,
                                      row_mask(rest), rest);
  }
  for (int g = 0; g < groups; ++g) {
    _mm256_storeu_pd(s + lanes * g, acc_s[g]);
    _mm256_storeu_pd(d + lanes * g, acc_d[g]);
  }
}

// One block of add_two_dots: each block transposed once.
template <int groups>
TOVRIN_AVX2 inline void two_dots_block(__m256d* acc_s, __m256d* acc_d,
                                         double* const* col, const double* r,
                                         const double* u, int64_t i,
                                         const Rows& rows, int count) {
  // The groups unrolled, so that their sums stay in registers.
#pragma GCC unroll 4
  for (int g = 0; g < groups; ++g) {
    __m256d q[lanes];
    __m256d t[lanes];
    for (int k = 0; k < lanes; ++k) q[k] = load_rows(col[lanes * g + k] + i, rows);
    transpose(q, t);
    acc_s[g] = add_row_products(acc_s[g], t, r + i, count);
    acc_d[g] = add_row_products(acc_d[g], t, u + i, count);
  }
}

template <int groups>
TOVRIN_AVX2 void add_two_dots_groups(double* const* col, const double* r,
                                       const double* u, int64_t len, double* s,
                                       double* d) {
  __m256d acc_s[groups];
  __m256d acc_d[groups];
  for (int g = 0; g < groups; ++g) {
    acc_s[g] = _mm256_loadu_pd(s + lanes * g);
    acc_d[g] = _mm256_loadu_pd(d + lanes * g);
  }
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    two_dots_block<groups>(acc_s, acc_d, col, r, u, i, all_rows(), lanes);
  }
  const int rest = static_cast<int>(len - i);
  if (rest > 0) two_dots_block<groups>(acc_s, acc_d, col, r, u, i, row_mask(rest), rest);
  for (int g = 0; g < groups; ++g) {
    _mm256_storeu_pd(s + lanes * g, acc_s[g]);
    _mm256_storeu_pd(d + lanes * g, acc_d[g]);
  }
}

#define TOVRIN_KERNEL TOVRIN_AVX2
#include "kernel_groups.h"  // inside the unnamed namespace on purpose
#undef TOVRIN_KERNEL

// The element-wise kernels: separate rows are independent.

// One block of subtract_scaled_columns: rows i..i+count-1.
TOVRIN_AVX2 inline void subtract_scaled_columns_block(double* c,
                                                      const double* const* v,
                                                      const __m256d* s,
                                                      int32_t columns, int64_t i,
                                                      const Rows& rows) {
  __m256d ci = load_rows(c + i, rows);
  for (int32_t k = 0; k < columns; ++k) {
    ci = _mm256_sub_pd(ci, _mm256_mul_pd(load_rows(v[k] + i, rows), s[k]));
  }
  if (rows.partial) {
    _mm256_maskstore_pd(c + i, rows.mask, ci);
  } else {
    _mm256_storeu_pd(c + i, ci);
  }
}

TOVRIN_AVX2 void subtract_scaled_columns(double* c, const double* const* v,
                                         const double* s, int32_t count,
                                         int64_t len) {
  __m256d sv[substitution_columns];
  for (int32_t k = 0; k < count; ++k) sv[k] = _mm256_set1_pd(s[k]);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    subtract_scaled_columns_block(c, v, sv, count, i, all_rows());
  }
  const int rest = static_cast<int>(len - i);
  if (rest > 0) subtract_scaled_columns_block(c, v, sv, count, i, row_mask(rest));
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

// rotate_columns for one group of columns, the first `live` real: the rows
// 0..rotations of each are transposed into row vectors (lane k: column k),
// rotated in registers, and transposed back.
TOVRIN_AVX2 void rotate_group(double* const* col, int32_t live, const double* cc,
                                 const double* ss, int32_t rotations) {
  constexpr int32_t max_rows = (max_rotations + 1 + lanes - 1) / lanes * lanes;
  __m256d row[max_rows];
  const int32_t rows_used = rotations + 1;
  for (int32_t i = 0; i < rows_used; i += lanes) {
    const int count = rows_used - i < lanes ? rows_used - i : lanes;
    const auto rows = count == lanes ? all_rows() : row_mask(count);
    __m256d q[lanes];
    for (int k = 0; k < lanes; ++k) q[k] = load_rows(col[k] + i, rows);
    transpose(q, row + i);
  }
  __m256d p = row[0];
  for (int32_t k = 0; k < rotations; ++k) {
    const __m256d c = _mm256_set1_pd(cc[k]);
    const __m256d s = _mm256_set1_pd(ss[k]);
    const __m256d minus_s = _mm256_set1_pd(-ss[k]);
    const __m256d q = row[k + 1];
    row[k] = _mm256_add_pd(_mm256_mul_pd(c, p), _mm256_mul_pd(s, q));
    p = _mm256_add_pd(_mm256_mul_pd(minus_s, p), _mm256_mul_pd(c, q));
  }
  row[rotations] = p;
  for (int32_t i = 0; i < rows_used; i += lanes) {
    const int count = rows_used - i < lanes ? rows_used - i : lanes;
    const auto rows = count == lanes ? all_rows() : row_mask(count);
    __m256d q[lanes];
    transpose(row + i, q);
    for (int k = 0; k < lanes; ++k) {
      if (k < live) {
        if (rows.partial) {
          _mm256_maskstore_pd(col[k] + i, rows.mask, q[k]);
        } else {
          _mm256_storeu_pd(col[k] + i, q[k]);
        }
      }
    }
  }
}

TOVRIN_AVX2 void rotate_columns(double* const* col, int32_t count, const double* cc,
                                   const double* ss, int32_t rotations) {
  int32_t k = 0;
  for (; k + lanes <= count; k += lanes) rotate_group(col + k, lanes, cc, ss, rotations);
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, nullptr, count - k, nullptr, nullptr);
  rotate_group(rest.col, count - k, cc, ss, rotations);
}

}  // namespace

const KernelTable avx2_kernels = {
    add_dots,     add_scaled_and_dots, add_scaled_and_two_dots,
    add_two_dots, subtract_scaled_columns, add_scaled,
    rotate_columns,
};

}  // namespace tovrin

#endif  // TOVRIN_HAVE_VECTOR_KERNELS
