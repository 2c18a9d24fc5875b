// Vector kernels of the solver core, with the choice between their AVX2 and
// plain versions made at run time.  They serve the solver's two dominant
// steps, the dual vector and the application of a new reflection to the
// columns of Z: both are, for each of many independent columns c, a running
// sum s = s + c(i)*v(i) over a range of rows, and the reflection then adds a
// multiple of v to the column.  The back-substitution subtracts multiples of
// one column.
//
// Exactness: each column's sum keeps one accumulator and adds its rounded
// products in increasing row order, exactly as the one-column loop does.
// Speed comes only from working on several columns at once: the vector
// kernels multiply four consecutive rows of a column in one instruction
// (each product rounded on its own), transpose a 4x4 block of products so
// that a vector lane holds one column, and add the four rows to the lane's
// accumulator one after the other.  Separate columns fill the pipeline that a
// single sequential sum leaves idle.  Multiplies and adds stay separate
// instructions (no fused multiply-add is ever enabled).
#ifndef TOVRIN_KERNELS_H
#define TOVRIN_KERNELS_H

#include <cstdint>

namespace tovrin {

// Columns handled together by the blocked kernels.
constexpr std::int32_t block_columns = 16;

// The kernels chosen once per solver call for the processor it runs on.  They
// allocate nothing and keep no state beyond that choice.
class ColumnKernels {
 public:
  ColumnKernels();

  // s(k) = s(k) + sum over i of c_k(i)*v(i), i = 0..len-1 in order, for
  // count <= block_columns columns.
  void add_dots(double* const* col, std::int32_t count, const double* v,
                std::int64_t len, double* s) const;

  // For count <= block_columns columns: c_k(i) = c_k(i) + scale(k)*v(i), then
  // s(k) = s(k) + c_k(i)*r(i) with the updated value, i = 0..len-1 in order.
  void add_scaled_and_dots(double* const* col, const double* scale,
                           std::int32_t count, const double* v, const double* r,
                           std::int64_t len, double* s) const;

  // c(i) = c(i) - v(i)*s, i = 0..len-1.
  void subtract_scaled(double* c, const double* v, std::int64_t len,
                       double s) const;

  // c(i) = c(i) + s*v(i), i = 0..len-1.
  void add_scaled(double* c, const double* v, std::int64_t len, double s) const;

 private:
  bool avx2_ = false;
};

}  // namespace tovrin

#endif  // TOVRIN_KERNELS_H
