// The finiteness check of a strided view; see strided.h.
#include "common/strided.h"

#include <cstdlib>

namespace tovrin {

namespace {

// Whether count doubles from p, step bytes apart, are all finite: a double
// is NaN or infinite exactly when its exponent bits are all ones.  The test
// on the bits is an OR of integers, which the compiler vectorises where the
// doubles are contiguous.
bool finite_run(const char* p, std::int64_t count, std::int64_t step) {
  constexpr std::uint64_t exponent = 0x7ff0000000000000u;
  std::uint64_t all_ones = 0;
  if (step == sizeof(double)) {
    for (std::int64_t i = 0; i < count; ++i) {
      std::uint64_t bits;
      std::memcpy(&bits, p + i * sizeof(double), sizeof bits);
      all_ones |= static_cast<std::uint64_t>((bits & exponent) == exponent);
    }
  } else {
    for (std::int64_t i = 0; i < count; ++i) {
      std::uint64_t bits;
      std::memcpy(&bits, p + i * step, sizeof bits);
      all_ones |= static_cast<std::uint64_t>((bits & exponent) == exponent);
    }
  }
  return all_ones == 0;
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

}  // namespace tovrin
