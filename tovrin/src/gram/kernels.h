// Vector kernels of the Gram-form solver.  Each has a fixed order of
// operations that does not depend on alignment, thread or instruction set
// (an AVX2 clone is chosen at run time where the processor has it, with the
// same bits), so the solver gives the same results everywhere:
//   * dot keeps dot_lanes partial sums, lane l adding the terms i = l mod
//     dot_lanes in increasing i, and adds the lanes pairwise at the end;
//   * every other update is y_i = y_i + alpha*x_i, the product rounded
//     before the add, applied in the order stated.
#ifndef TOVRIN_GRAM_KERNELS_H
#define TOVRIN_GRAM_KERNELS_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace tovrin {
namespace gram {

constexpr int dot_lanes = 8;

// The constants the Gram-form solvers write their arithmetic with.
constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double zero = 0.0;
constexpr double one = 1.0;
constexpr double infinity = std::numeric_limits<double>::infinity();

// max over i < n of |v_i| (0 for n = 0; a NaN is passed over).
inline double max_abs(const double* v, std::int32_t n) {
  double r = zero;
  for (std::int32_t i = 0; i < n; ++i) {
    const double a = std::fabs(v[i]);
    if (a > r) r = a;
  }
  return r;
}

// sum over i < n of a_i * b_i.
double dot(std::int32_t n, const double* a, const double* b);

// y = y + alpha * x over i < n.
void axpy(std::int32_t n, double alpha, const double* x, double* y);

// y = y - sum over k < count of coef[cols[k]] * M(:, cols[k]) for the n x *
// matrix M with leading dimension ldm, the columns in the order of cols.
void subtract_columns(std::int32_t n, std::int32_t count, const double* m, std::ptrdiff_t ldm,
                      const std::int32_t* cols, const double* coef, double* y);

// L denotes a lower-triangular matrix, column-major with leading
// dimension ldl; only its lower triangle is read.

// v = L^-1 v for the leading p x p block of L, by columns: v_k = v_k / L_kk,
// then v(k+1..) -= v_k L(k+1.., k).
void lower_solve(std::int32_t p, const double* l, std::ptrdiff_t ldl, double* v);

// v = L^-T v for the leading p x p block of L, from the last row: v_k =
// (v_k - L(k+1.., k)' v(k+1..)) / L_kk.
void lower_solve_transposed(std::int32_t p, const double* l, std::ptrdiff_t ldl, double* v);

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_KERNELS_H
