// Packing loops in the formats of dense_kernels.h for a micro-tile of
// MR x NR, shared by the instruction-set paths.  Everything here is in an
// unnamed namespace on purpose: each path's translation unit compiles its
// own copy for its own instruction set, and no copy is visible to the
// linker, so none built for a wider instruction set can stand in for
// another.  Include it only from the dense_<path>.cpp files.
#ifndef TOVRIN_GRAM_DENSE_PACK_H
#define TOVRIN_GRAM_DENSE_PACK_H

#include "gram/dense_kernels.h"

namespace tovrin {
namespace dense {
namespace detail {
namespace {

inline Index smaller(Index a, Index b) { return a < b ? a : b; }

// Panels of MR rows of the m x k block at a (element (i, p) at
// a[i*rs + p*cs]), rows beyond m zero.  Column-major sources (rs = 1) copy
// MR values per p; row-major ones (cs = 1) read each row once, in order.
template <int MR>
void pack_rows_of(Index m, Index k, const double* a, Index rs, Index cs, double* out) {
  if (rs == 1) {
    // Column p of the whole panels is read in order, for every panel.
    const Index full = m / MR * MR;
    for (Index p = 0; p < k; ++p)
      for (Index i0 = 0; i0 < full; i0 += MR)
        for (int r = 0; r < MR; ++r) out[i0 * k + p * MR + r] = a[i0 + p * cs + r];
    a += full;
    m -= full;
    out += full * k;
  }
  for (Index i0 = 0; i0 < m; i0 += MR, out += MR * k) {
    const Index rows = smaller(MR, m - i0);
    const double* src = a + i0 * rs;
    for (Index r = 0; r < MR; ++r) {
      if (r < rows) {
        for (Index p = 0; p < k; ++p) out[p * MR + r] = src[r * rs + p * cs];
      } else {
        for (Index p = 0; p < k; ++p) out[p * MR + r] = 0.0;
      }
    }
  }
}

// Slivers of NR columns of the k x n block at b (element (p, j) at
// b[p*rs + j*cs]), columns beyond n zero.
template <int NR>
void pack_columns_of(Index k, Index n, const double* b, Index rs, Index cs, double* out) {
  if (cs == 1) {
    // Row p of the whole slivers is read in order, for every sliver.
    const Index full = n / NR * NR;
    for (Index p = 0; p < k; ++p)
      for (Index j0 = 0; j0 < full; j0 += NR)
        for (int q = 0; q < NR; ++q) out[j0 * k + p * NR + q] = b[p * rs + j0 + q];
    b += full;
    n -= full;
    out += full * k;
  }
  for (Index j0 = 0; j0 < n; j0 += NR, out += NR * k) {
    const Index cols = smaller(NR, n - j0);
    const double* src = b + j0 * cs;
    for (Index q = 0; q < NR; ++q) {
      if (q < cols) {
        for (Index p = 0; p < k; ++p) out[p * NR + q] = src[p * rs + q * cs];
      } else {
        for (Index p = 0; p < k; ++p) out[p * NR + q] = 0.0;
      }
    }
  }
}

template <int NR>
void unpack_columns_of(Index k, Index n, const double* in, double* b, Index rs, Index cs) {
  for (Index j0 = 0; j0 < n; j0 += NR, in += NR * k) {
    const Index cols = smaller(NR, n - j0);
    double* dst = b + j0 * cs;
    if (cols == NR && cs == 1) {
      for (Index p = 0; p < k; ++p)
        for (int q = 0; q < NR; ++q) dst[p * rs + q] = in[p * NR + q];
      continue;
    }
    for (Index q = 0; q < cols; ++q)
      for (Index p = 0; p < k; ++p) dst[p * rs + q * cs] = in[p * NR + q];
  }
}

// pack_rows and pack_columns in a path's vectors: copies where the source
// runs along the packed direction (rs = 1 for rows, cs = 1 for columns),
// in-register W x W transposes where it runs across it; other strides and
// a last partial panel or sliver take the loops above.  L names the path's
// vector: type V, width W, loadu, store (aligned) and transpose(V[W]).
template <class L, int MR>
void pack_rows_in_lanes(Index m, Index k, const double* a, Index rs, Index cs, double* out) {
  constexpr int w = L::width, vectors = MR / w;
  const Index full = m / MR * MR;
  if (rs == 1) {
    // Column p of the block is read whole, in order, for every panel.
    for (Index p = 0; p < k; ++p)
      for (Index i0 = 0; i0 < full; i0 += MR)
#pragma GCC unroll 4
        for (int v = 0; v < vectors; ++v)
          L::store(out + i0 * k + p * MR + v * w, L::loadu(a + i0 + p * cs + v * w));
    out += full * k;
  } else if (cs == 1) {
    const Index kw = k / w * w;
    for (Index i0 = 0; i0 < full; i0 += MR, out += MR * k) {
      for (Index p0 = 0; p0 < kw; p0 += w)
        for (int v = 0; v < vectors; ++v) {
          typename L::V block[w];
#pragma GCC unroll 8
          for (int i = 0; i < w; ++i) block[i] = L::loadu(a + (i0 + v * w + i) * rs + p0);
          L::transpose(block);
#pragma GCC unroll 8
          for (int q = 0; q < w; ++q) L::store(out + (p0 + q) * MR + v * w, block[q]);
        }
      for (Index p = kw; p < k; ++p)
        for (int r = 0; r < MR; ++r) out[p * MR + r] = a[(i0 + r) * rs + p];
    }
  } else {
    pack_rows_of<MR>(full, k, a, rs, cs, out);
    out += full * k;
  }
  if (full < m) pack_rows_of<MR>(m - full, k, a + full * rs, rs, cs, out);
}

template <class L, int NR>
void pack_columns_in_lanes(Index k, Index n, const double* b, Index rs, Index cs, double* out) {
  constexpr int w = L::width;
  static_assert(NR == w, "a sliver is one vector wide");
  const Index full = n / NR * NR;
  if (cs == 1) {
    // Row p of the block is read whole, in order, for every sliver.
    for (Index p = 0; p < k; ++p)
      for (Index j0 = 0; j0 < full; j0 += NR)
        L::store(out + j0 * k + p * NR, L::loadu(b + p * rs + j0));
    out += full * k;
  } else if (rs == 1) {
    const Index kw = k / w * w;
    for (Index j0 = 0; j0 < full; j0 += NR, out += NR * k) {
      for (Index p0 = 0; p0 < kw; p0 += w) {
        typename L::V block[w];
#pragma GCC unroll 8
        for (int q = 0; q < w; ++q) block[q] = L::loadu(b + (j0 + q) * cs + p0);
        L::transpose(block);
#pragma GCC unroll 8
        for (int i = 0; i < w; ++i) L::store(out + (p0 + i) * NR, block[i]);
      }
      for (Index p = kw; p < k; ++p)
        for (int q = 0; q < NR; ++q) out[p * NR + q] = b[(j0 + q) * cs + p];
    }
  } else {
    pack_columns_of<NR>(k, full, b, rs, cs, out);
    out += full * k;
  }
  if (full < n) pack_columns_of<NR>(k, n - full, b + full * cs, rs, cs, out);
}

}  // namespace
}  // namespace detail
}  // namespace dense
}  // namespace tovrin

#endif  // TOVRIN_GRAM_DENSE_PACK_H
