// Every vector version of the kernels (kernel_tables.h) that this processor
// runs gives the portable version's bits, for every count of columns up to
// a block and for lengths around each multiple of the vector width, on data
// with signed zeros, infinities and NaNs.  Versions it cannot run are
// skipped with the reason.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernel_tables.h"
#include "kernels.h"

namespace {

using std::int32_t;
using std::int64_t;
using tovrin::KernelPath;
using tovrin::KernelTable;

// Same bits, except that any two NaNs count as the same: which operand's NaN
// an add propagates depends on the order the compiler gives its operands.
bool sameElement(double p, double q) {
  if (std::isnan(p) && std::isnan(q)) return true;
  return std::memcmp(&p, &q, sizeof p) == 0;
}

bool sameVector(const std::vector<double>& p, const std::vector<double>& q) {
  if (p.size() != q.size()) return false;
  for (std::size_t k = 0; k < p.size(); ++k) {
    if (!sameElement(p[k], q[k])) return false;
  }
  return true;
}

// Random data in which one value in eight is special.
std::vector<double> randomValues(std::mt19937_64& rng, std::size_t count) {
  const double specials[] = {0.0, -0.0, std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(), 1e300, 1e-300};
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> pick(0, 47);
  std::vector<double> values(count);
  for (double& v : values) {
    const int k = pick(rng);
    v = k < 6 ? specials[k] : normal(rng);
  }
  return values;
}

// The inputs of one call: count columns of len rows, the row vectors v, r, u,
// scales and sums.
struct Call {
  std::vector<std::vector<double>> columns;
  std::vector<double> v, r, u, scale, s, d;

  Call(std::mt19937_64& rng, int32_t count, int64_t len) {
    for (int32_t k = 0; k < count; ++k) columns.push_back(randomValues(rng, len));
    v = randomValues(rng, len);
    r = randomValues(rng, len);
    u = randomValues(rng, len);
    scale = randomValues(rng, tovrin::block_columns);
    s = randomValues(rng, tovrin::block_columns);
    d = randomValues(rng, tovrin::block_columns);
  }
  std::vector<double*> pointers() {
    std::vector<double*> p;
    for (auto& c : columns) p.push_back(c.data());
    return p;
  }
  int32_t count() const { return static_cast<int32_t>(columns.size()); }
  int64_t len() const { return static_cast<int64_t>(v.size()); }
};

::testing::AssertionResult sameCall(const Call& got, const Call& want) {
  for (std::size_t k = 0; k < got.columns.size(); ++k) {
    if (!sameVector(got.columns[k], want.columns[k])) {
      return ::testing::AssertionFailure() << "column " << k;
    }
  }
  if (!sameVector(got.s, want.s)) return ::testing::AssertionFailure() << "s";
  if (!sameVector(got.d, want.d)) return ::testing::AssertionFailure() << "d";
  return ::testing::AssertionSuccess();
}

// Runs every kernel of `table` and of the portable table on copies of the
// same calls, for counts 0..block_columns and the given lengths.
void expectPortableBits(const KernelTable& table) {
  const KernelTable& plain = tovrin::portable_kernels;
  std::mt19937_64 rng(2024);
  for (int32_t count = 0; count <= tovrin::block_columns; ++count) {
    for (int64_t len : {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 40}) {
      const std::string where =
          "count " + std::to_string(count) + " len " + std::to_string(len);
      const Call input(rng, count, len);

      Call got = input, want = input;
      table.add_dots(got.pointers().data(), count, got.v.data(), len, got.s.data());
      plain.add_dots(want.pointers().data(), count, want.v.data(), len, want.s.data());
      EXPECT_TRUE(sameCall(got, want)) << "add_dots " << where;

      got = input, want = input;
      table.add_scaled_and_dots(got.pointers().data(), got.scale.data(), count,
                                got.v.data(), got.r.data(), len, got.s.data());
      plain.add_scaled_and_dots(want.pointers().data(), want.scale.data(), count,
                                want.v.data(), want.r.data(), len, want.s.data());
      EXPECT_TRUE(sameCall(got, want)) << "add_scaled_and_dots " << where;

      got = input, want = input;
      table.add_scaled_and_two_dots(got.pointers().data(), got.scale.data(), count,
                                    got.v.data(), got.r.data(), got.u.data(), len,
                                    got.s.data(), got.d.data());
      plain.add_scaled_and_two_dots(want.pointers().data(), want.scale.data(), count,
                                    want.v.data(), want.r.data(), want.u.data(), len,
                                    want.s.data(), want.d.data());
      EXPECT_TRUE(sameCall(got, want)) << "add_scaled_and_two_dots " << where;

      got = input, want = input;
      table.add_two_dots(got.pointers().data(), count, got.r.data(), got.u.data(), len,
                         got.s.data(), got.d.data());
      plain.add_two_dots(want.pointers().data(), count, want.r.data(), want.u.data(), len,
                         want.s.data(), want.d.data());
      EXPECT_TRUE(sameCall(got, want)) << "add_two_dots " << where;

      // The element-wise kernels: the columns as the v of
      // subtract_scaled_columns, scaled by s; add_scaled on the first.
      if (count <= tovrin::substitution_columns) {
        got = input, want = input;
        std::vector<const double*> v_got(got.columns.size()), v_want(want.columns.size());
        for (int32_t k = 0; k < count; ++k) {
          v_got[k] = got.columns[k].data();
          v_want[k] = want.columns[k].data();
        }
        table.subtract_scaled_columns(got.u.data(), v_got.data(), got.s.data(), count, len);
        plain.subtract_scaled_columns(want.u.data(), v_want.data(), want.s.data(), count, len);
        EXPECT_TRUE(sameVector(got.u, want.u)) << "subtract_scaled_columns " << where;
      }
      // Rotations of the columns' first rows, as many as the length allows.
      const int32_t rotations = static_cast<int32_t>(
          std::min<int64_t>(len - 1, tovrin::max_rotations));
      if (rotations >= 0) {
        got = input, want = input;
        table.rotate_columns(got.pointers().data(), count, got.r.data(), got.u.data(),
                             rotations);
        plain.rotate_columns(want.pointers().data(), count, want.r.data(), want.u.data(),
                             rotations);
        EXPECT_TRUE(sameCall(got, want)) << "rotate_columns " << where;
      }
      if (count != 1) continue;
      got = input, want = input;
      table.add_scaled(got.columns[0].data(), got.v.data(), len, got.s[0]);
      plain.add_scaled(want.columns[0].data(), want.v.data(), len, want.s[0]);
      EXPECT_TRUE(sameCall(got, want)) << "add_scaled " << where;
    }
  }
}

#ifdef TOVRIN_HAVE_VECTOR_KERNELS
TEST(Kernels, Avx2GivesThePortableBits) {
  if (!tovrin::kernel_path_available(KernelPath::avx2)) {
    GTEST_SKIP() << "this processor has no AVX2";
  }
  expectPortableBits(tovrin::avx2_kernels);
}

TEST(Kernels, Avx512GivesThePortableBits) {
  if (!tovrin::kernel_path_available(KernelPath::avx512)) {
    GTEST_SKIP() << "this processor has no AVX-512F";
  }
  expectPortableBits(tovrin::avx512_kernels);
}
#endif

TEST(Kernels, TheAutomaticChoiceTakesTheWidestPathThatTheSizePaysFor) {
  const tovrin::KernelChoice& choice = tovrin::kernel_choice();
  if (choice.requested != nullptr) GTEST_SKIP() << "a path is forced";
  EXPECT_EQ(choice.refusal, nullptr);
  for (KernelPath wider : {KernelPath::avx2, KernelPath::avx512}) {
    if (tovrin::kernel_path_available(wider)) {
      EXPECT_GE(choice.path, wider);
    }
  }
  EXPECT_EQ(tovrin::kernel_path_for(2000, 1000), choice.path);
  EXPECT_EQ(tovrin::kernel_path_for(5, 3), KernelPath::portable);
  EXPECT_EQ(tovrin::kernel_path_for(200, 20), std::min(KernelPath::avx2, choice.path));
}

}  // namespace
