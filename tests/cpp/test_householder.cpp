// Householder reflections: exact results of construction and application,
// the strided layouts, and every case in which storage must stay untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "nnls.h"
#include "solver_testing.h"

namespace {

using tovrin_test::sameBits;
using tovrin_test::sentinel;
using Vec = std::vector<double>;

constexpr std::int32_t kConstruct = 1;
constexpr std::int32_t kApply = 2;

// h12 with its integer arguments by value.
void householder(std::int32_t mode, std::int32_t lpivot, std::int32_t l1, std::int32_t m,
                 double* u, std::int32_t iue, double* up, double* c, std::int32_t ice,
                 std::int32_t icv, std::int32_t ncv) {
  h12(&mode, &lpivot, &l1, &m, u, &iue, up, c, &ice, &icv, &ncv);
}

// A reflection built from u with lpivot = 1, l1 = 2, m = u.size(), and what
// it makes of an unchanged copy of u.
struct Reflection {
  Vec u;
  Vec compact;  // u after construction: s at the pivot, the rest unchanged
  double up;
  Vec image;  // Q applied to the original u: s, then zeros
};

const Reflection kReflections[] = {
    {{3, 4}, {-5, 4}, 8, {-5, 0}},
    {{-3, 4}, {5, 4}, -8, {5, 0}},
    {{0, 4}, {4, 4}, -4, {4, 0}},  // zero pivot: s is positive
    {{-0.0, 4}, {4, 4}, -4, {4, 0}},
    {{2, 0, 0}, {-2, 0, 0}, 4, {-2, 0, 0}},
};

TEST(Householder, ScalesByTheReciprocalOfTheLargestMagnitude) {
  // Each element is multiplied by 1/100, not divided by 100: the two differ
  // in the last bit of s and up for this vector.
  Vec u = {35, 61, 100};
  double up = 0;
  householder(kConstruct, 1, 2, 3, u.data(), 1, &up, nullptr, 1, 1, 0);
  EXPECT_TRUE(sameBits(u, {-122.25383429569807, 61, 100}));
  EXPECT_TRUE(sameBits(up, 157.25383429569808));
}

TEST(Householder, ConstructsAndAppliesExactly) {
  for (const Reflection& r : kReflections) {
    const std::int32_t m = static_cast<std::int32_t>(r.u.size());
    Vec u = r.u;
    double up = sentinel();
    double scratch = sentinel();
    householder(kConstruct, 1, 2, m, u.data(), 1, &up, &scratch, 1, 1, 0);
    EXPECT_TRUE(sameBits(u, r.compact));
    EXPECT_TRUE(sameBits(up, r.up));

    Vec c = r.u;
    householder(kApply, 1, 2, m, u.data(), 1, &up, c.data(), 1, 1, 1);
    EXPECT_TRUE(sameBits(c, r.image));

    // Construction and application in one call give the same results.
    Vec u1 = r.u, c1 = r.u;
    double up1 = sentinel();
    householder(kConstruct, 1, 2, m, u1.data(), 1, &up1, c1.data(), 1, 1, 1);
    EXPECT_TRUE(sameBits(u1, r.compact));
    EXPECT_TRUE(sameBits(c1, r.image));
  }
}

TEST(Householder, EveryModeOtherThanTwoConstructs) {
  for (std::int32_t mode : {0, 1, 7, -2}) {
    Vec u = {3, 4}, c = {3, 4};
    double up = sentinel();
    householder(mode, 1, 2, 2, u.data(), 1, &up, c.data(), 1, 1, 1);
    EXPECT_TRUE(sameBits(u, {-5, 4})) << "mode " << mode;
    EXPECT_TRUE(sameBits(up, 8.0)) << "mode " << mode;
    EXPECT_TRUE(sameBits(c, {-5, 0})) << "mode " << mode;
  }
}

TEST(Householder, StridedVectorsTouchOnlyTheirOwnElements) {
  const double s = sentinel();
  // Two columns of leading dimension 3; row 3 lies outside the range.
  Vec u = {3, 4};
  double up = 0;
  Vec c = {3, 4, s, 1, 2, s};
  householder(kConstruct, 1, 2, 2, u.data(), 1, &up, c.data(), 1, 3, 2);
  EXPECT_TRUE(sameBits(c, {-5, 0, s, -2.2, 0.3999999999999999, s}));

  // Element stride 2: the elements in between are never read.
  Vec c2 = {3, s, 4, s};
  householder(kApply, 1, 2, 2, u.data(), 1, &up, c2.data(), 2, 1, 1);
  EXPECT_TRUE(sameBits(c2, {-5, s, 0, s}));

  // Element stride 2 with the pivot at index 2: the pivot lies at position
  // 1 + (2-1)*2 of c.
  Vec u3 = {s, 3, 4};
  Vec c3 = {s, s, 3, s, 4, s};
  householder(kConstruct, 2, 3, 3, u3.data(), 1, &up, c3.data(), 2, 1, 1);
  EXPECT_TRUE(sameBits(u3, {s, -5, 4}));
  EXPECT_TRUE(sameBits(c3, {s, s, -5, s, 0, s}));
}

TEST(Householder, IndicesBetweenPivotAndRangeAreNeitherReadNorWritten) {
  const double s = sentinel();
  // lpivot = 1, l1 = 3, m = 4 with u at stride 2: index 2 and the gaps hold
  // sentinels.
  Vec u = {3, s, s, s, 4, s, 0, s};
  double up = 0;
  Vec c = {3, s, 4, 0, s};  // the last element lies beyond m
  householder(kConstruct, 1, 3, 4, u.data(), 2, &up, c.data(), 1, 1, 1);
  EXPECT_TRUE(sameBits(u, {-5, s, s, s, 4, s, 0, s}));
  EXPECT_TRUE(sameBits(up, 8.0));
  EXPECT_TRUE(sameBits(c, {-5, s, 0, 0, s}));
}

TEST(Householder, NegativeElementStrideUsesTheFirstElementOnly) {
  const double s = sentinel();
  Vec u = {3, s, s};
  double up = 0;
  double scratch = s;
  householder(kConstruct, 1, 2, 3, u.data(), -1, &up, &scratch, 1, 1, 0);
  EXPECT_TRUE(sameBits(u, {-5.196152422706632, s, s}));
  EXPECT_TRUE(sameBits(up, 8.196152422706632));
}

TEST(Householder, NoVectorsMeansCIsNeverTouched) {
  for (std::int32_t ncv : {0, -1}) {
    Vec u = {3, 4};
    double up = 0;
    double scratch = sentinel();
    // Strides that would reach far outside the scratch value if used.
    householder(kConstruct, 1, 2, 2, u.data(), 1, &up, &scratch, 1000, -1000, ncv);
    EXPECT_TRUE(sameBits(u, {-5, 4}));
    EXPECT_TRUE(sameBits(scratch, sentinel()));
  }
}

TEST(Householder, ZeroVectorOrZeroPivotChangesNothing) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // A NaN in the range replaces the running maximum, and the following zero
  // replaces the NaN: the vector counts as zero.
  for (const Vec& zero_vector : {Vec{0, -0.0, 0}, Vec{0, nan, 0}}) {
    Vec u = zero_vector, c = {1, 2, 3};
    double up = sentinel();
    householder(kConstruct, 1, 2, 3, u.data(), 1, &up, c.data(), 1, 1, 1);
    EXPECT_TRUE(sameBits(u, zero_vector));
    EXPECT_TRUE(sameBits(up, sentinel()));
    EXPECT_TRUE(sameBits(c, {1, 2, 3}));
  }
  // A NaN last in the range stays the maximum: not a zero vector, so the
  // construction runs and spreads the NaN.
  Vec un = {0, nan};
  double upn = sentinel();
  householder(kConstruct, 1, 2, 2, un.data(), 1, &upn, nullptr, 1, 1, 0);
  EXPECT_TRUE(std::isnan(un[0]) && !sameBits(un[0], sentinel()));

  Vec u = {0, 4}, c = {1, 2};
  double up = -4;
  householder(kApply, 1, 2, 2, u.data(), 1, &up, c.data(), 1, 1, 1);
  EXPECT_TRUE(sameBits(c, {1, 2}));
}

TEST(Householder, ApplicationNeedsANegativeUpTimesPivot) {
  // A compact form whose up*s is positive or NaN is no reflection: c stays.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double up : {8.0, nan}) {
    Vec u = {5, 4}, c = {3, 4};
    householder(kApply, 1, 2, 2, u.data(), 1, &up, c.data(), 1, 1, 1);
    EXPECT_TRUE(sameBits(c, {3, 4})) << "up " << up;
  }
}

TEST(Householder, InvalidIndexTripleWritesNothing) {
  struct Triple {
    std::int32_t lpivot, l1, m;
  };
  for (const Triple t : {Triple{0, 2, 3}, Triple{-1, 2, 3}, Triple{2, 2, 3}, Triple{3, 2, 3},
                         Triple{1, 4, 3}}) {
    for (std::int32_t mode : {kConstruct, kApply}) {
      Vec u = {3, 4, 5}, c = {1, 2, 3};
      double up = 8;
      householder(mode, t.lpivot, t.l1, t.m, u.data(), 1, &up, c.data(), 1, 3, 1);
      EXPECT_TRUE(sameBits(u, {3, 4, 5}));
      EXPECT_TRUE(sameBits(up, 8.0));
      EXPECT_TRUE(sameBits(c, {1, 2, 3}));
    }
  }
}

TEST(Householder, VectorOrthogonalToTheReflectionStaysBitIdentical) {
  // v = (8, 4) from u = (3, 4).  (-0, -0) and (4, -8) have v'c = 0 and must
  // keep their bits (adding a zero multiple would turn -0 into +0); the third
  // vector is still transformed.
  Vec u = {3, 4};
  double up = 0;
  Vec c = {-0.0, -0.0, 4, -8, 3, 4};
  householder(kConstruct, 1, 2, 2, u.data(), 1, &up, c.data(), 1, 2, 3);
  EXPECT_TRUE(sameBits(c, {-0.0, -0.0, 4, -8, -5, 0}));
}

TEST(Householder, ScalingAvoidsUnderflowAndOverflowOfTheNorm) {
  Vec u = {1e-200, 1e-200}, c = {1, 2};
  double up = 0;
  householder(kConstruct, 1, 2, 2, u.data(), 1, &up, c.data(), 1, 1, 1);
  EXPECT_TRUE(sameBits(u, {-1.414213562373095e-200, 1e-200}));
  EXPECT_TRUE(sameBits(up, 2.414213562373095e-200));
  // up*s underflows to -0, which is not negative: c is left alone.
  EXPECT_TRUE(sameBits(c, {1, 2}));

  Vec big = {1e200, 1e200};
  double scratch = sentinel();
  householder(kConstruct, 1, 2, 2, big.data(), 1, &up, &scratch, 1, 1, 0);
  EXPECT_TRUE(sameBits(big, {-1.414213562373095e200, 1e200}));
  EXPECT_TRUE(sameBits(up, 2.414213562373095e200));
}

}  // namespace
