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

namespace {

// The lanes of dot(k, a, v) and dot(k, b, v) in one pass over v(0..k).
inline void dot2_lanes_of(std::int32_t k, const double* __restrict a, const double* __restrict b,
                          const double* __restrict v, double* __restrict acc_a,
                          double* __restrict acc_b) {
  std::int32_t i = 0;
  for (; i + dot_lanes <= k; i += dot_lanes) {
    for (int l = 0; l < dot_lanes; ++l) {
      acc_a[l] += a[i + l] * v[i + l];
      acc_b[l] += b[i + l] * v[i + l];
    }
  }
  for (int l = 0; i < k; ++i, ++l) {
    acc_a[l] += a[i] * v[i];
    acc_b[l] += b[i] * v[i];
  }
}

inline double lane_sum(const double* acc) {
  return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

}  // namespace

// Columns k and k+1 in one pass: both dot products over i < k share the
// loads of v; the term i = k of column k+1, the last of its lane k mod 8,
// is added once v_k is known, so each v_k has the bits of dot(k, R(:, k), v).
TOVRIN_GRAM_CLONES
void solve_transposed(std::int32_t p, const double* r, std::ptrdiff_t ldr, double* v) {
  std::int32_t k = 0;
  for (; k + 2 <= p; k += 2) {
    const double* r0 = r + k * ldr;
    const double* r1 = r0 + ldr;
    double acc0[dot_lanes] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    double acc1[dot_lanes] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    dot2_lanes_of(k, r0, r1, v, acc0, acc1);
    v[k] = (v[k] - lane_sum(acc0)) / r0[k];
    acc1[k % dot_lanes] += r1[k] * v[k];
    v[k + 1] = (v[k + 1] - lane_sum(acc1)) / r1[k + 1];
  }
  for (; k < p; ++k) {
    const double* rk = r + k * ldr;
    v[k] = (v[k] - dot_lanes_of(k, rk, v)) / rk[k];
  }
}

TOVRIN_GRAM_CLONES
void solve_upper(std::int32_t p, const double* r, std::ptrdiff_t ldr, double* v, double* s) {
  std::int32_t k = p - 1;
  // Four columns k..k-3 at a time: their solution values first (each
  // updating the three rows of the block below it), then one pass over
  // v(0..k-3) applying the columns in the same order k, k-1, k-2, k-3.
  for (; k >= 4; k -= 4) {
    const double* r0 = r + k * ldr;
    const double* r1 = r0 - ldr;
    const double* r2 = r1 - ldr;
    const double* r3 = r2 - ldr;
    const double a0 = -(s[k] = v[k] / r0[k]);
    v[k - 1] += a0 * r0[k - 1];
    v[k - 2] += a0 * r0[k - 2];
    v[k - 3] += a0 * r0[k - 3];
    const double a1 = -(s[k - 1] = v[k - 1] / r1[k - 1]);
    v[k - 2] += a1 * r1[k - 2];
    v[k - 3] += a1 * r1[k - 3];
    const double a2 = -(s[k - 2] = v[k - 2] / r2[k - 2]);
    v[k - 3] += a2 * r2[k - 3];
    const double a3 = -(s[k - 3] = v[k - 3] / r3[k - 3]);
    axpy4_of(k - 3, a0, r0, a1, r1, a2, r2, a3, r3, v);
  }
  for (; k >= 0; --k) {
    const double* rk = r + k * ldr;
    s[k] = v[k] / rk[k];
    axpy_of(k, -s[k], rk, v);
  }
}

}  // namespace gram
}  // namespace tovrin
