// libFuzzer target for the active-set solver nnls.
//
// Each input becomes m, n, mda, maxiter and the entries of A and b.  The
// solver runs twice, with different contents in everything it must ignore on
// entry (x, w, zz, index, rnorm, mode and rows m+1..mda of a), in storage
// whose every element outside the stated extents is poisoned.  Checked:
//   - no element outside rows 1..m of columns 1..n of a, outside b(1..m),
//     zz(1..m), x(1..n), w(1..n), index(1..n) is read or written;
//   - with m <= 0 or n <= 0: mode = 2 and nothing else is read or written;
//   - otherwise mode is 1 or 3, index is a permutation of 1..n, x is +0 on Z
//     and never negative, a non-zero x(j) sits in the first min(m, n)
//     positions of index with w(j) = 0, no w is positive after mode 1, and
//     rnorm is not negative;
//   - both runs give the same bits in a, b, x, w, index, rnorm and mode:
//     nothing ignored on entry is used.  (zz is left out: it is working
//     storage, and a run that examines no candidate never writes it.)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "guarded.h"
#include "nnls.h"

namespace {

using fuzz::check;
using fuzz::Guarded;

constexpr int max_dim = 12;
constexpr int max_extra_rows = 3;
constexpr int max_maxiter = 60;

struct Problem {
  std::int32_t m = 0;
  std::int32_t n = 0;
  std::int32_t mda = 1;
  std::int32_t maxiter = 0;
  std::vector<double> a;  // column-major, rows 1..m of n columns
  std::vector<double> b;  // m elements
};

Problem decode(FuzzedDataProvider& in) {
  Problem p;
  p.m = in.ConsumeIntegralInRange<std::int32_t>(-1, max_dim);
  p.n = in.ConsumeIntegralInRange<std::int32_t>(-1, max_dim);
  p.mda = std::max<std::int32_t>(p.m, 1) +
          in.ConsumeIntegralInRange<std::int32_t>(0, max_extra_rows);
  p.maxiter = in.ConsumeIntegralInRange<std::int32_t>(-2, max_maxiter);
  const int rows = std::max(p.m, 0);
  const int cols = std::max(p.n, 0);
  for (int k = 0; k < rows * cols; ++k) p.a.push_back(fuzz::value(in));
  for (int k = 0; k < rows; ++k) p.b.push_back(fuzz::value(in));
  return p;
}

struct Outcome {
  std::vector<double> a, b, x, w, zz;
  std::vector<std::int32_t> index;
  double rnorm = 0;
  std::int32_t mode = 0;
};

const Problem* current = nullptr;

void describe() {
  const Problem& p = *current;
  std::fprintf(stderr, "m=%d n=%d mda=%d maxiter=%d\nA (by columns) =", p.m,
               p.n, p.mda, p.maxiter);
  for (double v : p.a) std::fprintf(stderr, " %a", v);
  std::fprintf(stderr, "\nb =");
  for (double v : p.b) std::fprintf(stderr, " %a", v);
  std::fprintf(stderr, "\n");
}

bool solvable(const Problem& p) { return p.m > 0 && p.n > 0; }

void check_permutation(const std::vector<std::int32_t>& index) {
  std::vector<bool> seen(index.size() + 1, false);
  for (std::int32_t j : index) {
    check(j >= 1 && j <= static_cast<std::int32_t>(index.size()),
          "index entry outside 1..n");
    check(!seen[j], "index entry repeated");
    seen[j] = true;
  }
}

// Data whose solve stays far from overflow: zeros and moderate magnitudes.
// With infinities, overflow or subnormal pivots a ratio of the step-length
// test can be NaN, which is never chosen, and the solution copy then takes a
// non-positive value; that follows the stated comparisons and is no fault.
bool tame(const Problem& p) {
  auto moderate = [](double v) {
    return v == 0.0 || (std::fabs(v) >= 1e-10 && std::fabs(v) <= 1e10);
  };
  return std::all_of(p.a.begin(), p.a.end(), moderate) &&
         std::all_of(p.b.begin(), p.b.end(), moderate);
}

// x is +0 on Z; a non-zero x(j) means j is in P, which holds at most
// min(m, n) variables and has w = 0.  On tame data x is never negative.
void check_solution(const Problem& p, const Outcome& o) {
  check_permutation(o.index);
  const std::int32_t pmax = std::min(p.m, p.n);
  for (std::int32_t pos = 1; pos <= p.n; ++pos) {
    const std::int32_t j = o.index[pos - 1];
    const double xj = o.x[j - 1];
    check(!(xj < 0.0) || !tame(p), "negative x on tame data");
    if (xj == 0.0 && pos > pmax) {
      check(fuzz::same_bits(xj, 0.0), "x = -0 on Z");
    }
    if (xj == 0.0) continue;
    check(pos <= pmax, "non-zero x outside the first min(m, n) positions");
    check(o.w[j - 1] == 0.0, "w not zero for a variable of P");
  }
  if (o.mode == 1) {
    for (double wj : o.w) check(!(wj > 0.0), "positive w after mode 1");
  }
  check(!(o.rnorm < 0.0), "negative rnorm");
}

Outcome run(const Problem& p, int pattern) {
  const double s = fuzz::sentinel(pattern);
  const std::int32_t rows = std::max(p.m, 0);
  const std::int32_t cols = std::max(p.n, 0);
  const bool open = solvable(p);

  Guarded<double> a(static_cast<std::ptrdiff_t>(p.mda) * cols, s);
  Guarded<double> b(rows, s), zz(rows, s), x(cols, s), w(cols, s);
  Guarded<std::int32_t> index(cols, fuzz::sentinel_int[pattern]);
  Guarded<double> rnorm(1, s);
  Guarded<std::int32_t> mode(1, fuzz::sentinel_int[pattern]);
  for (std::int32_t j = 0; j < cols; ++j) {
    for (std::int32_t i = 0; i < rows; ++i) {
      const std::ptrdiff_t at = i + static_cast<std::ptrdiff_t>(j) * p.mda;
      a[at] = p.a[i + static_cast<std::size_t>(j) * rows];
      if (open) a.open(at);
    }
  }
  for (std::int32_t i = 0; i < rows; ++i) {
    b[i] = p.b[i];
    if (open) {
      b.open(i);
      zz.open(i);
    }
  }
  for (std::int32_t j = 0; j < cols && open; ++j) {
    x.open(j);
    w.open(j);
    index.open(j);
  }
  if (open) rnorm.open(0);
  mode.open(0);

  for (auto* g : {&a, &b, &zz, &x, &w, &rnorm}) g->seal();
  index.seal();
  mode.seal();
  nnls(a.first(), &p.mda, &p.m, &p.n, b.first(), x.first(), rnorm.first(),
       w.first(), zz.first(), index.first(), mode.first(), &p.maxiter);
  for (auto* g : {&a, &b, &zz, &x, &w, &rnorm}) g->unseal();
  index.unseal();
  mode.unseal();

  for (auto* g : {&a, &b, &zz, &x, &w, &rnorm}) {
    check(g->closed_untouched(), "element outside the stated extents touched");
  }
  check(index.closed_untouched(), "index outside 1..n touched");

  Outcome o;
  o.mode = mode[0];
  if (!open) {
    check(o.mode == 2, "bad dimensions without mode 2");
    return o;
  }
  check(o.mode == 1 || o.mode == 3, "mode neither 1 nor 3");
  for (std::int32_t j = 0; j < cols; ++j) {
    for (std::int32_t i = 0; i < rows; ++i) {
      o.a.push_back(a[i + static_cast<std::ptrdiff_t>(j) * p.mda]);
    }
  }
  for (std::int32_t i = 0; i < rows; ++i) {
    o.b.push_back(b[i]);
    o.zz.push_back(zz[i]);
  }
  for (std::int32_t j = 0; j < cols; ++j) {
    o.x.push_back(x[j]);
    o.w.push_back(w[j]);
    o.index.push_back(index[j]);
  }
  o.rnorm = rnorm[0];
  check_solution(p, o);
  return o;
}

bool same_bits(const std::vector<double>& p, const std::vector<double>& q) {
  return p.size() == q.size() &&
         std::equal(p.begin(), p.end(), q.begin(), fuzz::same_bits);
}

void check_same(const Outcome& o1, const Outcome& o2) {
  check(o1.mode == o2.mode && o1.index == o2.index &&
            fuzz::same_bits(o1.rnorm, o2.rnorm) && same_bits(o1.a, o2.a) &&
            same_bits(o1.b, o2.b) && same_bits(o1.x, o2.x) &&
            same_bits(o1.w, o2.w),
        "result depends on storage that is ignored on entry");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Problem p = decode(in);
  current = &p;
  fuzz::describe_input = describe;
  const Outcome o1 = run(p, 0);
  const Outcome o2 = run(p, 1);
  if (solvable(p)) check_same(o1, o2);
  return 0;
}
