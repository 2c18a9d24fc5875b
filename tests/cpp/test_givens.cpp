// Givens rotations: exact results, signs of zeros, zero, NaN and infinite
// input, and a sig that shares storage with an input.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "nnls.h"
#include "solver_testing.h"

namespace {

using tovrin_test::sameBits;

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Rotation {
  double a, b;
  double cterm, sterm, sig;
};

// The second term is always the first times the ratio xr, never a separate
// quotient: hence 0.6000000000000001 rather than 0.6.
const Rotation kRotations[] = {
    {4, 3, 0.8, 0.6000000000000001, 5},
    {3, 4, 0.6000000000000001, 0.8, 5},
    {-4, 3, -0.8, 0.6000000000000001, 5},
    {3, -4, 0.6000000000000001, -0.8, 5},
    {1, 1, 0.7071067811865475, 0.7071067811865475, 1.4142135623730951},  // tie divides by b
    {0, 0, 0, 1, 0},
    {-0.0, -0.0, 0, 1, 0},
    {0, -2, 0, -1, 2},
    {-0.0, 2, -0.0, 1, 2},
    {-2, 0, -1, 0, 2},
    {-2, -0.0, -1, -0.0, 2},
    {kNaN, 0, 0, 1, 0},  // b is zero: the zero-pair result
    {kNaN, -0.0, 0, 1, 0},
    {kInf, 3, 1, 0, kInf},
    {-kInf, 3, -1, 0, kInf},
    {kInf, -3, 1, -0.0, kInf},
    {3, kInf, 0, 1, kInf},
    {3, -kInf, 0, -1, kInf},
    {-3, -kInf, -0.0, -1, kInf},
};

TEST(Givens, ExactResultsWithSignsOfZeros) {
  for (const Rotation& r : kRotations) {
    double c, s, sig;
    g1(&r.a, &r.b, &c, &s, &sig);
    EXPECT_TRUE(sameBits(c, r.cterm)) << "a=" << r.a << " b=" << r.b;
    EXPECT_TRUE(sameBits(s, r.sterm)) << "a=" << r.a << " b=" << r.b;
    EXPECT_TRUE(sameBits(sig, r.sig)) << "a=" << r.a << " b=" << r.b;
  }
}

TEST(Givens, NaNOrTwoInfinitiesGiveNaNEverywhere) {
  const double pairs[][2] = {{kNaN, 1}, {1, kNaN}, {kNaN, kNaN}, {0, kNaN},
                             {kInf, kInf}, {-kInf, kInf}, {kInf, -kInf}};
  for (const auto& p : pairs) {
    double c = 0, s = 0, sig = 0;
    g1(&p[0], &p[1], &c, &s, &sig);
    EXPECT_TRUE(std::isnan(c) && std::isnan(s) && std::isnan(sig))
        << "a=" << p[0] << " b=" << p[1];
  }
}

TEST(Givens, SigMayShareStorageWithEitherInput) {
  for (const Rotation& r : kRotations) {
    double c, s, sig;
    g1(&r.a, &r.b, &c, &s, &sig);

    double a = r.a, c1, s1;
    g1(&a, &r.b, &c1, &s1, &a);
    EXPECT_TRUE(sameBits(c1, c) && sameBits(s1, s) && sameBits(a, sig))
        << "a=" << r.a << " b=" << r.b;

    double b = r.b, c2, s2;
    g1(&r.a, &b, &c2, &s2, &b);
    EXPECT_TRUE(sameBits(c2, c) && sameBits(s2, s) && sameBits(b, sig))
        << "a=" << r.a << " b=" << r.b;
  }
}

}  // namespace
