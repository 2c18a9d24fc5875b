// Kernels of the Gram-form solver; see gram_kernels.h for the order of
// operations that fixes their results.
#include "gram/kernels.h"

// An AVX2 clone beside the baseline one, chosen once by the loader.  Both
// compile the same operations in the same order (no contraction, no
// reassociation), so they give the same bits.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define TOVRIN_GRAM_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TOVRIN_GRAM_CLONES
#endif

namespace tovrin {
namespace gram {

namespace {

inline double dot_lanes_of(std::int32_t n, const double* a, const double* b) {
  double acc[dot_lanes] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  std::int32_t i = 0;
  for (; i + dot_lanes <= n; i += dot_lanes) {
    for (int l = 0; l < dot_lanes; ++l) acc[l] += a[i + l] * b[i + l];
  }
  for (int l = 0; i < n; ++i, ++l) acc[l] += a[i] * b[i];
  return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

inline void axpy_of(std::int32_t n, double alpha, const double* x, double* y) {
  for (std::int32_t i = 0; i < n; ++i) y[i] += alpha * x[i];
}

// y = (((y + a0 x0) + a1 x1) + a2 x2) + a3 x3 element by element: the same
// roundings as four axpys in turn, one pass over y.
inline void axpy4_of(std::int32_t n, double a0, const double* __restrict x0, double a1,
                     const double* __restrict x1, double a2, const double* __restrict x2,
                     double a3, const double* __restrict x3, double* __restrict y) {
  for (std::int32_t i = 0; i < n; ++i) {
    double v = y[i];
    v += a0 * x0[i];
    v += a1 * x1[i];
    v += a2 * x2[i];
    v += a3 * x3[i];
    y[i] = v;
  }
}

}  // namespace

TOVRIN_GRAM_CLONES
double dot(std::int32_t n, const double* a, const double* b) { return dot_lanes_of(n, a, b); }

TOVRIN_GRAM_CLONES
void axpy(std::int32_t n, double alpha, const double* x, double* y) { axpy_of(n, alpha, x, y); }

// Four columns per pass over y: y_i = (((y_i + a0 m0_i) + a1 m1_i) + a2 m2_i)
// + a3 m3_i is the same sequence of roundings as four axpys in turn, with a
// quarter of the loads and stores of y.
TOVRIN_GRAM_CLONES
void subtract_columns(std::int32_t n, std::int32_t count, const double* m, std::ptrdiff_t ldm,
                      const std::int32_t* cols, const double* coef, double* y) {
  std::int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const double* m0 = m + cols[k] * ldm;
    const double* m1 = m + cols[k + 1] * ldm;
    const double* m2 = m + cols[k + 2] * ldm;
    const double* m3 = m + cols[k + 3] * ldm;
    const double a0 = -coef[cols[k]], a1 = -coef[cols[k + 1]];
    const double a2 = -coef[cols[k + 2]], a3 = -coef[cols[k + 3]];
    axpy4_of(n, a0, m0, a1, m1, a2, m2, a3, m3, y);
  }
  for (; k < count; ++k) axpy_of(n, -coef[cols[k]], m + cols[k] * ldm, y);
}

// Four columns k..k+3 at a time: their solution values first (each
// updating the rows of the block below it), then one pass over v(k+4..)
// applying the four columns in order.
TOVRIN_GRAM_CLONES
void lower_solve(std::int32_t p, const double* l, std::ptrdiff_t ldl, double* v) {
  std::int32_t k = 0;
  for (; k + 4 <= p; k += 4) {
    const double* l0 = l + k * ldl;
    const double* l1 = l0 + ldl;
    const double* l2 = l1 + ldl;
    const double* l3 = l2 + ldl;
    const double v0 = v[k] = v[k] / l0[k];
    v[k + 1] -= v0 * l0[k + 1];
    v[k + 2] -= v0 * l0[k + 2];
    v[k + 3] -= v0 * l0[k + 3];
    const double v1 = v[k + 1] = v[k + 1] / l1[k + 1];
    v[k + 2] -= v1 * l1[k + 2];
    v[k + 3] -= v1 * l1[k + 3];
    const double v2 = v[k + 2] = v[k + 2] / l2[k + 2];
    v[k + 3] -= v2 * l2[k + 3];
    const double v3 = v[k + 3] = v[k + 3] / l3[k + 3];
    const std::int32_t rest = k + 4;
    axpy4_of(p - rest, -v0, l0 + rest, -v1, l1 + rest, -v2, l2 + rest, -v3, l3 + rest, v + rest);
  }
  for (; k < p; ++k) {
    const double* lk = l + k * ldl;
    v[k] = v[k] / lk[k];
    axpy_of(p - k - 1, -v[k], lk + k + 1, v + k + 1);
  }
}

TOVRIN_GRAM_CLONES
void lower_solve_transposed(std::int32_t p, const double* l, std::ptrdiff_t ldl, double* v) {
  for (std::int32_t k = p - 1; k >= 0; --k) {
    const double* lk = l + k * ldl;
    v[k] = (v[k] - dot_lanes_of(p - k - 1, lk + k + 1, v + k + 1)) / lk[k];
  }
}

}  // namespace gram
}  // namespace tovrin
