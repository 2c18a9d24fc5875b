// The Cholesky factor of a free set's system, G(set, set) = R'R, as block
// principal pivoting keeps it between rounds: R upper triangular,
// column-major with leading dimension ldr, its positions in the order of
// set (not necessarily increasing).  A factor from LAPACK's lower
// Cholesky factor L of G(set, set), stored by rows, is this R with
// ldr = p as it lies in memory.
//
// Updating R costs O(p^2) per variable, refactorising O(p^3 / 3) at BLAS
// speed: the caller updates when a round exchanges few variables.
#ifndef TOVRIN_GRAM_FACTOR_H
#define TOVRIN_GRAM_FACTOR_H

#include <cstddef>
#include <cstdint>

#include "gram/active_set.h"

namespace tovrin {
namespace gram {

// A variable whose pivot^2 / G_tt (the squared sine of the angle of its
// column to the span of the others) is at or below this is numerically
// dependent in the Gram form: the one-at-a-time method's bound.
constexpr double factor_dependent_pivot = dependent_pivot;

// s = G(set, set)^-1 v = R^-1 R^-T v for the leading p x p block of R.
// v is overwritten (it holds R^-T v on exit).
void solve_factored(std::int32_t p, const double* r, std::ptrdiff_t ldr, double* v, double* s);

// min over positions k of R_kk^2 / G(set_k, set_k): the smallest squared
// sine of a column's angle to the span of the columns before it.  1 for
// p = 0; NaN pivots count as 0.
double smallest_relative_pivot(std::int32_t p, const double* r, std::ptrdiff_t ldr,
                               const std::int32_t* set, const double* g, std::ptrdiff_t ldg);

// Column p of R for variable t: R^-T G(set, t) above the pivot
// sqrt(G_tt - |R^-T G(set, t)|^2).  Returns false, column p then being
// scratch, when the pivot^2 is at or below factor_dependent_pivot * G_tt.
// set is only read.  ldr >= p + 1.
bool append_column(std::int32_t p, double* r, std::ptrdiff_t ldr, const std::int32_t* set,
                   const double* g, std::ptrdiff_t ldg, std::int32_t t);

// Appends variable t: R gains the column R^-T G(set, t) and the pivot
// sqrt(G_tt - |R^-T G(set, t)|^2); set[p] = t.  Returns false, leaving R
// and set as they were (column p of R is scratch), when the pivot^2 is at
// or below factor_dependent_pivot * G_tt.  ldr >= p + 1.
bool append_variable(std::int32_t p, double* r, std::ptrdiff_t ldr, std::int32_t* set,
                     const double* g, std::ptrdiff_t ldg, std::int32_t t);

// Deletes position q of p: columns q+1.. move one place left, and Givens
// rotations of rows (k, k+1), k = q..p-2, restore triangular form, so that
// R'R = G(set, set) for the p - 1 positions left (set shifted alike).  The
// same rotations are applied to the vector y (length p) when it is given,
// so that y = R^-T c(set) stays true of the new R.
void delete_position(std::int32_t p, double* r, std::ptrdiff_t ldr, std::int32_t* set,
                     std::int32_t q, double* y = nullptr);

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_FACTOR_H
