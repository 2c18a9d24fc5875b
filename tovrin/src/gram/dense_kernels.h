// The innermost kernels of the dense algorithms, one table per
// instruction-set path (dense_portable.cpp, dense_avx2.cpp,
// dense_avx512.cpp; each of the last two compiled for its own instruction
// set alone).  This header holds declarations only, so that no inline code
// compiled for a wider instruction set can be shared with the rest of the
// library.
//
// Packed formats.  A block of op(A), m x k, is packed in micro-panels of mr
// rows: panel s holds rows s*mr..s*mr+mr-1, for p = 0..k-1 in turn the mr
// values a_{s*mr+r, p} (zeros below row m), so it is mr*k values long.  A
// block of op(B), k x n, is packed in slivers of nr columns: sliver s holds
// for p = 0..k-1 the nr values b_{p, s*nr+q} (zeros right of column n).
// Strided sources: element (i, j) at base[i*rs + j*cs], any signs.
#ifndef TOVRIN_GRAM_DENSE_KERNELS_H
#define TOVRIN_GRAM_DENSE_KERNELS_H

#include <cstddef>

namespace tovrin {
namespace dense {
namespace detail {

using Index = std::ptrdiff_t;

// The largest diagonal block that factor_tile takes.
constexpr Index factor_tile_order = 24;

struct Kernels {
  int mr;  // rows of a micro-tile
  int nr;  // columns of a micro-tile

  // The micro-tile C(0..m-1, 0..n-1) (m <= mr, n <= nr, column-major, ldc)
  // of C = beta C + alpha A B for the packed panel a (mr x kc) and sliver b
  // (kc x nr): t = sum_p a_rp b_pq from zero in increasing p, then
  // c_rq = alpha t + beta c_rq (beta = 0: C is not read; beta = 1: no
  // product).  Only the entries with r + diag >= q are written (the lower
  // triangle of a symmetric result whose tile starts diag rows below the
  // diagonal).
  void (*tile)(Index kc, const double* a, const double* b, double alpha, double beta, double* c,
               Index ldc, int m, int n, Index diag);
  // The same t, written transposed: c_qr = alpha t + beta c_qr for the
  // n x m tile C(0..n-1, 0..m-1) (a product C = B'A' computed as (AB)').
  void (*tile_transposed)(Index kc, const double* a, const double* b, double alpha, double beta,
                          double* c, Index ldc, int m, int n);

  // Rows k..k+mr-1 of a sliver x (nr columns, rows 0..k-1 solved) of
  // L X = B: with l the packed panel of L's rows k..k+mr-1 over columns
  // 0..k+mr-1 and rinv the reciprocals of their diagonal entries,
  // t_r = x_{k+r} - sum_{p<k} l_rp x_p in increasing p, then
  // x_{k+r} = (t_r - sum_{q<r} l_{r,k+q} x_{k+q}) * rinv_r in increasing r.
  // Padding rows (zero in l, rinv 0) give zeros.
  void (*solve_tile)(Index k, const double* l, const double* rinv, double* x);

  // A = L L' in place on the lower triangle of the nb x nb block a
  // (nb <= factor_tile_order), column by column: the pivot^2 d = a_cc
  // (after the updates of the columns before it) must be above
  // relative * given[c] and above 0, else the column is returned; then
  // l_cc = sqrt(d), a_ic = a_ic / l_cc below it, and a_ij loses a_ic a_jc
  // for c < j <= i.  Returns nb when every column succeeds.
  Index (*factor_tile)(Index nb, double* a, Index lda, const double* given, double relative);

  void (*pack_rows)(Index m, Index k, const double* a, Index rs, Index cs, double* out);
  void (*pack_columns)(Index k, Index n, const double* b, Index rs, Index cs, double* out);
  // The inverse of pack_columns for the k x n block (columns beyond n of
  // the last sliver are not written).
  void (*unpack_columns)(Index k, Index n, const double* in, double* b, Index rs, Index cs);

  // y_i = y_i + a_ij x_j for j = 0..n-1 in turn, i < m (A column-major).
  void (*gemv_columns)(Index m, Index n, const double* a, Index lda, const double* x, double* y);
  // t_j = sum_i a_ij x_i, i < m, j < n, summed in the path's lanes.
  void (*gemv_dots)(Index m, Index n, const double* a, Index lda, const double* x, double* t);
};

extern const Kernels portable_kernels;
extern const Kernels avx2_kernels;
extern const Kernels avx512_kernels;

}  // namespace detail
}  // namespace dense
}  // namespace tovrin

#endif  // TOVRIN_GRAM_DENSE_KERNELS_H
