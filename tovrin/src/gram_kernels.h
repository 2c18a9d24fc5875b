// Vector kernels of the Gram-form solver.  Both have a fixed order of
// operations that does not depend on alignment, thread or processor, so the
// solver gives the same bits everywhere:
//   * dot keeps dot_lanes partial sums, lane l adding the terms i = l mod
//     dot_lanes in increasing i, and adds the lanes pairwise at the end;
//   * axpy updates each element once, y_i = y_i + alpha*x_i, the product
//     rounded before the add.
#ifndef TOVRIN_GRAM_KERNELS_H
#define TOVRIN_GRAM_KERNELS_H

#include <cstdint>

namespace tovrin {
namespace gram {

constexpr int dot_lanes = 8;

// sum over i < n of a_i * b_i.
inline double dot(std::int32_t n, const double* a, const double* b) {
  double acc[dot_lanes] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  std::int32_t i = 0;
  for (; i + dot_lanes <= n; i += dot_lanes) {
    for (int l = 0; l < dot_lanes; ++l) acc[l] += a[i + l] * b[i + l];
  }
  for (int l = 0; i < n; ++i, ++l) acc[l] += a[i] * b[i];
  return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

// y = y + alpha * x over i < n.
inline void axpy(std::int32_t n, double alpha, const double* x, double* y) {
  for (std::int32_t i = 0; i < n; ++i) y[i] += alpha * x[i];
}

}  // namespace gram
}  // namespace tovrin

#endif  // TOVRIN_GRAM_KERNELS_H
