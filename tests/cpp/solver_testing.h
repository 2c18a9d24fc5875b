// Helpers shared by the solver-core tests: bit-exact comparison of doubles,
// a sentinel value that no arithmetic produces, and a call of nnls on owned
// copies of a problem with its console output captured.
#ifndef TOVRIN_TESTS_SOLVER_TESTING_H
#define TOVRIN_TESTS_SOLVER_TESTING_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ios>
#include <string>
#include <vector>

#include "nnls.h"

namespace tovrin_test {

inline std::uint64_t bitsOf(double v) {
  std::uint64_t r;
  std::memcpy(&r, &v, sizeof r);
  return r;
}

// A quiet NaN with a payload that no operation on other values yields: an
// element still holding these bits was not overwritten, and any arithmetic
// that read it would have spread a NaN into the results.
inline double sentinel() {
  const std::uint64_t pattern = 0x7ff80000deadbeefULL;
  double v;
  std::memcpy(&v, &pattern, sizeof v);
  return v;
}

// Equality of bit patterns: tells +0 from -0 and one NaN from another.
inline ::testing::AssertionResult sameBits(double got, double want) {
  if (bitsOf(got) == bitsOf(want)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << std::hexfloat << got << " is not bit-identical to "
                                       << want;
}

inline ::testing::AssertionResult sameBits(const std::vector<double>& got,
                                           const std::vector<double>& want) {
  if (got.size() != want.size()) {
    return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
  }
  for (std::size_t k = 0; k < got.size(); ++k) {
    if (bitsOf(got[k]) != bitsOf(want[k])) {
      return ::testing::AssertionFailure() << "element " << k << ": " << std::hexfloat << got[k]
                                           << " is not bit-identical to " << want[k];
    }
  }
  return ::testing::AssertionSuccess();
}

// A column-major m x n matrix A (leading dimension m) and right-hand side b.
struct Problem {
  std::int32_t m;
  std::int32_t n;
  std::vector<double> a;
  std::vector<double> b;
};

// Everything nnls leaves behind, plus what it wrote to standard output.
struct Outcome {
  std::vector<double> a, b, x, w, zz;
  std::vector<std::int32_t> index;
  double rnorm;
  std::int32_t mode;
  std::string console;
};

// Copies of p's A and b, every output a sentinel, so that an element the
// solver leaves unwritten shows.
inline Outcome sentinelOutcome(const Problem& p) {
  return Outcome{p.a,
                 p.b,
                 std::vector<double>(p.n, sentinel()),
                 std::vector<double>(p.n, sentinel()),
                 std::vector<double>(p.m, sentinel()),
                 std::vector<std::int32_t>(p.n, -1),
                 sentinel(),
                 -1,
                 {}};
}

// Runs nnls on copies of p, from sentinelOutcome.
inline Outcome solve(const Problem& p, std::int32_t maxiter = 0) {
  Outcome r = sentinelOutcome(p);
  const std::int32_t mda = p.m;
  ::testing::internal::CaptureStdout();
  nnls(r.a.data(), &mda, &p.m, &p.n, r.b.data(), r.x.data(), &r.rnorm, r.w.data(), r.zz.data(),
       r.index.data(), &r.mode, &maxiter);
  r.console = ::testing::internal::GetCapturedStdout();
  return r;
}

inline ::testing::AssertionResult sameOutcome(const Outcome& got, const Outcome& want) {
  for (auto check : {sameBits(got.a, want.a), sameBits(got.b, want.b), sameBits(got.x, want.x),
                     sameBits(got.w, want.w), sameBits(got.zz, want.zz),
                     sameBits(got.rnorm, want.rnorm)}) {
    if (!check) return check;
  }
  if (got.index != want.index || got.mode != want.mode || got.console != want.console) {
    return ::testing::AssertionFailure() << "index, mode or console output differ";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tovrin_test

#endif  // TOVRIN_TESTS_SOLVER_TESTING_H
