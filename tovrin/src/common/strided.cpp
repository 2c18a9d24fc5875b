// The finiteness check of a strided view; see strided.h.
#include "common/strided.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace tovrin {

namespace {

// Whether count doubles from p, step bytes apart, are all finite: v * 0 is
// zero for a finite v and NaN otherwise, and a sum holding a NaN is NaN.
// Contiguous doubles go in eight independent sums, which the compiler
// vectorises.
bool finite_run(const char* p, std::int64_t count, std::int64_t step) {
  const auto at = [&](std::int64_t i) {
    double v;
    std::memcpy(&v, p + i * step, sizeof v);
    return v;
  };
  double sums[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  std::int64_t i = 0;
  if (step == sizeof(double)) {
    for (; i + 8 <= count; i += 8) {
      for (int l = 0; l < 8; ++l) {
        double v;
        std::memcpy(&v, p + (i + l) * sizeof(double), sizeof v);
        sums[l] += v * 0.0;
      }
    }
  }
  for (; i < count; ++i) sums[0] += at(i) * 0.0;
  double total = 0.0;
  for (const double s : sums) total += s;
  return total == 0.0;
}

}  // namespace

bool StridedMatrix::all_finite() const {
  // Runs along the dimension whose elements lie closer together.
  const bool by_rows = std::llabs(col_step) < std::llabs(row_step);
  const std::int64_t runs = by_rows ? rows : cols, count = by_rows ? cols : rows;
  const std::int64_t run_step = by_rows ? row_step : col_step;
  const std::int64_t step = by_rows ? col_step : row_step;
  for (std::int64_t r = 0; r < runs; ++r) {
    if (!finite_run(base + r * run_step, count, step)) return false;
  }
  return true;
}

void StridedMatrix::finite_columns(unsigned char* finite) const {
  if (std::llabs(row_step) <= std::llabs(col_step)) {
    for (std::int64_t j = 0; j < cols; ++j) {
      finite[j] = finite_run(base + j * col_step, rows, row_step) ? 1 : 0;
    }
    return;
  }
  // By rows: v * 0 summed into each column's own sum, a row at a time.
  std::vector<double> sums(static_cast<std::size_t>(cols), 0.0);
  for (std::int64_t i = 0; i < rows; ++i) {
    for (std::int64_t j = 0; j < cols; ++j) sums[j] += (*this)(i, j) * 0.0;
  }
  for (std::int64_t j = 0; j < cols; ++j) finite[j] = sums[j] == 0.0 ? 1 : 0;
}

}  // namespace tovrin
