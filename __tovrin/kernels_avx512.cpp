// The AVX-512 kernels: eight columns per vector (see kernels.h for the
// exactness argument).  A call's last count mod 8 columns form one group
// padded with lanes that store nothing; rows beyond the last multiple of
// eight go through the portable loops, which keep each sum's order.  Only
// AVX-512F instructions are used.
#include "kernel_tables.h"

#ifdef TOVRIN_HAVE_VECTOR_KERNELS

// GCC 12 reports the unspecified operand that its AVX-512 shuffle intrinsics
// pass to the builtins (_mm512_undefined_pd) as maybe uninitialised; the
// instructions never read it.
#pragma GCC diagnostic push
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
// Groups of columns that share each load of the row vectors.
constexpr int max_groups = 2;

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

// acc + t[0] + t[1] + ... + t[7], added one row after the other.
TOVRIN_AVX512 inline __m512d add_rows(__m512d acc, const __m512d* t) {
  for (int r = 0; r < lanes; ++r) acc = _mm512_add_pd(acc, t[r]);
  return acc;
}

// acc + t[0]*x(0) + ... + t[7]*x(7), row after row, each product rounded.
TOVRIN_AVX512 inline __m512d add_row_products(__m512d acc, const __m512d* t,
                                              const double* x) {
  for (int r = 0; r < lanes; ++r) {
    acc = _mm512_add_pd(acc, _mm512_mul_pd(t[r], _mm512_set1_pd(x[r])));
  }
  return acc;
}

// Eight rows of column c as c + s*v (rounded product, then sum), stored in
// place when the lane is live; returns the updated rows.
TOVRIN_AVX512 inline __m512d update_rows(double* c, __m512d s, __m512d v,
                                         bool live) {
  const __m512d updated = _mm512_add_pd(_mm512_loadu_pd(c), _mm512_mul_pd(s, v));
  if (live) _mm512_storeu_pd(c, updated);
  return updated;
}

// The group kernels work on 8*groups columns, of which the first `live` are
// real: the others are padding (PaddedGroup) and are never written.

// add_dots, the groups sharing each load of v.
template <int groups>
TOVRIN_AVX512 void add_dots_groups(double* const* col, int32_t live,
                                   const double* v, int64_t len, double* s) {
  __m512d acc[groups];
  for (int g = 0; g < groups; ++g) acc[g] = _mm512_loadu_pd(s + lanes * g);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    const __m512d vi = _mm512_loadu_pd(v + i);
    for (int g = 0; g < groups; ++g) {
      __m512d q[lanes];
      __m512d t[lanes];
      for (int k = 0; k < lanes; ++k) {
        q[k] = _mm512_mul_pd(_mm512_loadu_pd(col[lanes * g + k] + i), vi);
      }
      transpose(q, t);
      acc[g] = add_rows(acc[g], t);
    }
  }
  for (int g = 0; g < groups; ++g) _mm512_storeu_pd(s + lanes * g, acc[g]);
  // The last len mod 8 rows, in order, after the blocked rows.
  double* rest[lanes * groups];
  for (int k = 0; k < live; ++k) rest[k] = col[k] + i;
  portable_kernels.add_dots(rest, live, v + i, len - i, s);
}

// add_scaled_and_dots: each block of eight rows of eight columns is updated,
// stored, multiplied by r while still in registers, and added to the sums.
template <int groups>
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
    const __m512d vi = _mm512_loadu_pd(v + i);
    const __m512d ri = _mm512_loadu_pd(r + i);
    for (int g = 0; g < groups; ++g) {
      __m512d q[lanes];
      __m512d t[lanes];
      for (int k = 0; k < lanes; ++k) {
        const int c = lanes * g + k;
        q[k] = _mm512_mul_pd(update_rows(col[c] + i, sc[c], vi, c < live), ri);
      }
      transpose(q, t);
      acc[g] = add_rows(acc[g], t);
    }
  }
  for (int g = 0; g < groups; ++g) _mm512_storeu_pd(s + lanes * g, acc[g]);
  double* rest[lanes * groups];
  for (int k = 0; k < live; ++k) rest[k] = col[k] + i;
  portable_kernels.add_scaled_and_dots(rest, scale, live, v + i, r + i, len - i, s);
}

// add_scaled_and_two_dots: the updated block is transposed once, and each
// row of it is multiplied by r(i) and by u(i).
template <int groups>
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
    const __m512d vi = _mm512_loadu_pd(v + i);
    for (int g = 0; g < groups; ++g) {
      __m512d q[lanes];
      __m512d t[lanes];
      for (int k = 0; k < lanes; ++k) {
        const int c = lanes * g + k;
        q[k] = update_rows(col[c] + i, _mm512_set1_pd(scale[c]), vi, c < live);
      }
      transpose(q, t);
      acc_s[g] = add_row_products(acc_s[g], t, r + i);
      acc_d[g] = add_row_products(acc_d[g], t, u + i);
    }
  }
  for (int g = 0; g < groups; ++g) {
    _mm512_storeu_pd(s + lanes * g, acc_s[g]);
    _mm512_storeu_pd(d + lanes * g, acc_d[g]);
  }
  double* rest[lanes * groups];
  for (int k = 0; k < live; ++k) rest[k] = col[k] + i;
  portable_kernels.add_scaled_and_two_dots(rest, scale, live, v + i, r + i, u + i,
                                           len - i, s, d);
}

// add_two_dots: each block transposed once.
template <int groups>
TOVRIN_AVX512 void add_two_dots_groups(double* const* col, int32_t live,
                                       const double* r, const double* u,
                                       int64_t len, double* s, double* d) {
  __m512d acc_s[groups];
  __m512d acc_d[groups];
  for (int g = 0; g < groups; ++g) {
    acc_s[g] = _mm512_loadu_pd(s + lanes * g);
    acc_d[g] = _mm512_loadu_pd(d + lanes * g);
  }
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    for (int g = 0; g < groups; ++g) {
      __m512d q[lanes];
      __m512d t[lanes];
      for (int k = 0; k < lanes; ++k) q[k] = _mm512_loadu_pd(col[lanes * g + k] + i);
      transpose(q, t);
      acc_s[g] = add_row_products(acc_s[g], t, r + i);
      acc_d[g] = add_row_products(acc_d[g], t, u + i);
    }
  }
  for (int g = 0; g < groups; ++g) {
    _mm512_storeu_pd(s + lanes * g, acc_s[g]);
    _mm512_storeu_pd(d + lanes * g, acc_d[g]);
  }
  double* rest[lanes * groups];
  for (int k = 0; k < live; ++k) rest[k] = col[k] + i;
  portable_kernels.add_two_dots(rest, live, r + i, u + i, len - i, s, d);
}

// The dispatchers: groups of two, then of one, then the rest padded.

TOVRIN_AVX512 void add_dots(double* const* col, int32_t count, const double* v,
                            int64_t len, double* s) {
  int32_t k = 0;
  for (; k + max_groups * lanes <= count; k += max_groups * lanes) {
    add_dots_groups<max_groups>(col + k, max_groups * lanes, v, len, s + k);
  }
  for (; k + lanes <= count; k += lanes) add_dots_groups<1>(col + k, lanes, v, len, s + k);
  if (k == count) return;
  PaddedGroup<lanes> rest(col + k, nullptr, count - k, s + k, nullptr);
  add_dots_groups<1>(rest.col, count - k, v, len, rest.s);
  rest.write_sums(count - k, s + k, nullptr);
}

TOVRIN_AVX512 void add_scaled_and_dots(double* const* col, const double* scale,
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

TOVRIN_AVX512 void add_scaled_and_two_dots(double* const* col,
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

TOVRIN_AVX512 void add_two_dots(double* const* col, int32_t count,
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

TOVRIN_AVX512 void subtract_scaled(double* c, const double* v, int64_t len,
                                   double s) {
  const __m512d sv = _mm512_set1_pd(s);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    const __m512d product = _mm512_mul_pd(_mm512_loadu_pd(v + i), sv);
    _mm512_storeu_pd(c + i, _mm512_sub_pd(_mm512_loadu_pd(c + i), product));
  }
  portable_kernels.subtract_scaled(c + i, v + i, len - i, s);
}

TOVRIN_AVX512 void subtract_two_scaled(double* c, const double* v, double s,
                                       const double* u, double t, int64_t len) {
  const __m512d sv = _mm512_set1_pd(s);
  const __m512d tv = _mm512_set1_pd(t);
  int64_t i = 0;
  for (; i + lanes <= len; i += lanes) {
    const __m512d once =
        _mm512_sub_pd(_mm512_loadu_pd(c + i), _mm512_mul_pd(_mm512_loadu_pd(v + i), sv));
    _mm512_storeu_pd(c + i, _mm512_sub_pd(once, _mm512_mul_pd(_mm512_loadu_pd(u + i), tv)));
  }
  portable_kernels.subtract_two_scaled(c + i, v + i, s, u + i, t, len - i);
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

}  // namespace

const KernelTable avx512_kernels = {
    add_dots,     add_scaled_and_dots, add_scaled_and_two_dots,
    add_two_dots, subtract_scaled,     subtract_two_scaled,
    add_scaled,
};

}  // namespace tovrin

#endif  // TOVRIN_HAVE_VECTOR_KERNELS
