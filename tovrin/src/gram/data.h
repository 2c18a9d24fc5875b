// The data of the Gram method as its engines see them, scaled.
//
// The driver scales the problem by powers of two, which is exact: the
// columns of A by s_j = 2^-e_j so that G = (A S)'(A S) has a unit diagonal
// (zero columns stay zero), and each right-hand side b by 2^-f so that
// c = S A'b 2^-f has its largest magnitude in [1/2, 1).  The engines solve
// min 1/2 x'G x - c'x, x >= 0, in these units; x, the dual and rnorm map
// back exactly (driver.h).
#ifndef TOVRIN_GRAM_DATA_H
#define TOVRIN_GRAM_DATA_H

#include <cstddef>
#include <cstdint>

#include "gram/dense.h"

namespace tovrin {
class Team;
namespace gram {

// G (n x n, symmetric, column-major with leading dimension ldg) and
// ||G||_1, the scale of the tolerances.  Where the held form factorises G in
// place (held_form.h), G's strictly lower triangle and diagonal hold its
// Cholesky factor: then only the upper triangle is G's (upper) and the
// diagonal is kept aside (diag).
struct GramMatrix {
  const double* g;
  std::ptrdiff_t ldg;
  std::int32_t n;
  double gnorm;
  const double* diag = nullptr;  // G's diagonal where it is not in g
  bool upper = false;            // only G's upper triangle lies in g

  // Column j whole; only where !upper.
  const double* column(std::int32_t j) const { return g + std::ptrdiff_t(j) * ldg; }
  double diagonal(std::int32_t j) const {
    return diag != nullptr ? diag[j] : g[std::ptrdiff_t(j) * (ldg + 1)];
  }
  // G_ij from either form.
  double entry(std::int32_t i, std::int32_t j) const {
    if (i == j) return diagonal(i);
    if (upper && i > j) return g[j + std::ptrdiff_t(i) * ldg];
    return g[i + std::ptrdiff_t(j) * ldg];
  }
};

// A (m x n) in the caller's storage, by rows or by columns (leading
// dimension ld), with the column scale s (null: none): the scaled matrix is
// A S.
struct DataMatrix {
  const double* a;
  dense::Layout layout;
  std::ptrdiff_t ld;
  std::int32_t m, n;
  const double* scale;

  // r = b - (A S) x for the scaled x; b may alias r.  xs is scratch of
  // length n.
  void residual(Team& team, const double* b, const double* x, double* xs, double* r) const;
  // g = (A S)' r.
  void gradient(Team& team, const double* r, double* g) const;
  // v = (A S) u.
  void apply(Team& team, const double* u, double* xs, double* v) const;
};

// A right-hand side b of the least-squares form in the caller's storage,
// scaled: element i is base[i * step] 2^-shift (exact).  btb = b'b, scaled.
struct RightHandSide {
  const double* base;
  std::ptrdiff_t step;
  int shift;
  double btb;

  // The scaled b into out (length m).
  void gather(std::int32_t m, double* out) const;
};

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_DATA_H
