// Kernels of the Gram-form solver; see gram_kernels.h for the order of
// operations that fixes their results.
#include "gram_kernels.h"

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

}  // namespace

TOVRIN_GRAM_CLONES
double dot(std::int32_t n, const double* a, const double* b) { return dot_lanes_of(n, a, b); }

TOVRIN_GRAM_CLONES
void axpy(std::int32_t n, double alpha, const double* x, double* y) { axpy_of(n, alpha, x, y); }

TOVRIN_GRAM_CLONES
void subtract_columns(std::int32_t n, std::int32_t count, const double* m, std::ptrdiff_t ldm,
                      const std::int32_t* cols, const double* coef, double* y) {
  for (std::int32_t k = 0; k < count; ++k) {
    const std::int32_t j = cols[k];
    axpy_of(n, -coef[j], m + j * ldm, y);
  }
}

TOVRIN_GRAM_CLONES
void solve_transposed(std::int32_t p, const double* r, std::ptrdiff_t ldr, double* v) {
  for (std::int32_t k = 0; k < p; ++k) {
    const double* rk = r + k * ldr;
    v[k] = (v[k] - dot_lanes_of(k, rk, v)) / rk[k];
  }
}

TOVRIN_GRAM_CLONES
void solve_upper(std::int32_t p, const double* r, std::ptrdiff_t ldr, double* v, double* s) {
  for (std::int32_t k = p - 1; k >= 0; --k) {
    const double* rk = r + k * ldr;
    s[k] = v[k] / rk[k];
    axpy_of(k, -s[k], rk, v);
  }
}

}  // namespace gram
}  // namespace tovrin
