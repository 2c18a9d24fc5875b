// Power-of-two scaling into the range where the solver's unscaled products
// are safe.
//
// The solver forms, without scaling, products of the size of a squared
// column norm (up*s of each reflection, the sums of the dual vector, the
// triangular solve): with a column or a right-hand side of magnitude below
// about 2^-511 they underflow, above about 2^511 they overflow, and the run
// then reports a wrong x as solved.  Multiplying a column by 2^s is exact in
// binary floating point (apart from elements that fall below the normal
// range, which are negligible against the column's largest one), and the
// solution of the scaled problem maps back exactly.
#ifndef TOVRIN_SCALING_H
#define TOVRIN_SCALING_H

#include <cmath>

namespace tovrin {

// Largest magnitudes 2^-safe_exponent <= |v|max < 2^safe_exponent are left
// alone.  With both A and b inside, every product the solver forms, and every
// sum of m < 2^31 of them (dual vector, squared norms), stays between
// 2^-(2*safe_exponent) and 2^(2*safe_exponent + 31), inside the normal range
// 2^-1022..2^1024 with room to spare; the limits themselves (about 2^±511)
// are where the unscaled products fail.
constexpr int safe_exponent = 480;

// The shift s that brings max_abs = max |v(i)| of a vector into [1, 2) by
// v(i)*2^s when it lies outside the safe range; 0 when it lies inside, when
// the vector is zero, and when it holds an infinity or NaN (which no scaling
// mends).
inline int range_shift(double max_abs) {
  if (!(max_abs > 0.0) || !std::isfinite(max_abs)) return 0;
  const int e = std::ilogb(max_abs);
  if (e >= -safe_exponent && e < safe_exponent) return 0;
  return -e;
}

// v*2^shift, exact unless the result leaves the normal range.
inline double shifted(double v, int shift) {
  return shift == 0 ? v : std::ldexp(v, shift);
}

}  // namespace tovrin

#endif  // TOVRIN_SCALING_H
