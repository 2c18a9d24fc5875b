#include <gtest/gtest.h>
#include "nnls.h"
TEST(Smoke, Identity) {
  double a[4] = {1, 0, 0, 1}, b[2] = {1, -1}, x[2], w[2], zz[2], rnorm;
  int32_t mda = 2, m = 2, n = 2, index[2], mode, maxiter = 0;
  nnls(a, &mda, &m, &n, b, x, &rnorm, w, zz, index, &mode, &maxiter);
  EXPECT_EQ(mode, 1); EXPECT_EQ(x[0], 1.0); EXPECT_EQ(x[1], 0.0); EXPECT_EQ(rnorm, 1.0);
  EXPECT_EQ(w[1], -1.0); EXPECT_EQ(a[0], -1.0); EXPECT_EQ(b[0], -1.0); EXPECT_EQ(b[1], -1.0);
}
