// Views of the caller's arrays, and where a call's results go, shared by
// the exact and Gram methods and the front door.  Plain C++, no Python.
#ifndef TOVRIN_STRIDED_H
#define TOVRIN_STRIDED_H

#include <cstdint>
#include <cstring>

namespace tovrin {

// Read-only view of a real matrix in someone else's storage, any layout:
// element (i, j) is the double at base + i*row_step + j*col_step bytes,
// which need not be aligned.  A vector is a matrix of one column.
struct StridedMatrix {
  const char* base;
  std::int64_t rows;
  std::int64_t cols;
  std::int64_t row_step;
  std::int64_t col_step;

  double operator()(std::int64_t i, std::int64_t j) const {
    double v;
    std::memcpy(&v, base + i * row_step + j * col_step, sizeof v);
    return v;
  }
  // No NaN or infinity among the elements.
  bool all_finite() const;
  // finite[j] = 1 where column j holds no NaN or infinity, else 0 (finite
  // has cols entries); read in memory order either way.
  void finite_columns(unsigned char* finite) const;
};

// Where the results of problem j go: x, dual and passive are (n, k) and
// row-major, element (i, j) at i*k + j; rnorm, iterations and status are
// (k,).  For one problem, k = 1.
struct BatchResults {
  double* x;
  double* dual;
  bool* passive;
  double* rnorm;
  std::int64_t* iterations;
  std::int64_t* status;
};

}  // namespace tovrin

#endif  // TOVRIN_STRIDED_H
