// The fields of a result recomputed from its x, for results whose solver
// did not leave them describing that x: a stop on the iteration limit (the
// solver's set may hold a variable that has just entered at zero, and its
// dual and residual are those of the step in progress), and a solution that
// rounded when it was scaled back.  Plain C++, no Python.
#ifndef TOVRIN_FIELDS_H
#define TOVRIN_FIELDS_H

#include <cstdint>
#include <vector>

#include "exact/batch.h"

namespace tovrin {

// Column j of an (n, k) row-major output: element i at i*k + j.
struct Column {
  double* base;
  std::int64_t step;
  double& operator[](std::int64_t i) const { return base[i * step]; }
};

// ||v||, scaled so that no square overflows or underflows.
double norm2(const double* v, std::int64_t count);

// With r = b - A x: rnorm = ||r|| and dual = A^T r, for x and b in the
// least-squares form.  Sums run in increasing index order.  r is scratch of
// length m.
void refit_least_squares(const StridedMatrix& a, const StridedMatrix& b, std::int64_t j,
                         const Column& x, const Column& dual, double& rnorm,
                         std::vector<double>& r);

// With G = A^T A, c = A^T b and btb = b^T b known: dual = c - G x and
// rnorm = sqrt(max(0, btb - x^T c - x^T dual)) (btb < 0: unknown, rnorm
// left as it is).
void refit_gram(const StridedMatrix& g, const StridedMatrix& c, std::int64_t j, double btb,
                const Column& x, const Column& dual, double& rnorm);

}  // namespace tovrin

#endif  // TOVRIN_FIELDS_H
