// The solver core called from many threads at once, each on its own arrays,
// must give exactly the serial results: nnls, h12 and g1 use no writable
// global or static data.  Built with ThreadSanitizer by tools/sanitize.sh,
// which fails on any race report; the program itself fails on any result
// that differs in a single bit from the serial one.
//
//   core_threads [threads] [rounds]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "nnls.h"

namespace {

struct Problem {
  std::int32_t m, n, mda, maxiter;
  std::vector<double> a, b;
};

struct Result {
  std::vector<double> a, b, x, w;
  std::vector<std::int32_t> index;
  double rnorm;
  std::int32_t mode;

  bool operator==(const Result& o) const {
    auto same = [](const std::vector<double>& p, const std::vector<double>& q) {
      return p.size() == q.size() &&
             std::memcmp(p.data(), q.data(), p.size() * sizeof(double)) == 0;
    };
    return same(a, o.a) && same(b, o.b) && same(x, o.x) && same(w, o.w) &&
           index == o.index && mode == o.mode &&
           std::memcmp(&rnorm, &o.rnorm, sizeof rnorm) == 0;
  }
};

// Shapes from 1x1 to 20x20, wide and tall, with exact zeros and repeated
// columns now and then; every tenth problem has an iteration limit of 1, so
// that the limit line is written from several threads too.
std::vector<Problem> make_problems(int count) {
  std::mt19937_64 gen(20240611);
  std::uniform_int_distribution<std::int32_t> dim(1, 20);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  std::vector<Problem> problems;
  for (int k = 0; k < count; ++k) {
    Problem p;
    p.m = dim(gen);
    p.n = dim(gen);
    p.mda = p.m + k % 3;
    p.maxiter = k % 10 == 9 ? 1 : 0;
    p.a.assign(static_cast<std::size_t>(p.mda) * p.n, 0.0);
    for (std::int32_t j = 0; j < p.n; ++j) {
      for (std::int32_t i = 0; i < p.m; ++i) {
        const double v = gen() % 7 == 0 ? 0.0 : entry(gen);
        p.a[i + static_cast<std::size_t>(j) * p.mda] = v;
      }
    }
    for (std::int32_t i = 0; i < p.m; ++i) p.b.push_back(entry(gen));
    problems.push_back(p);
  }
  return problems;
}

Result solve(const Problem& p) {
  Result r;
  r.a = p.a;
  r.b = p.b;
  r.x.assign(p.n, 0.0);
  r.w.assign(p.n, 0.0);
  r.index.assign(p.n, 0);
  std::vector<double> zz(p.m);
  nnls(r.a.data(), &p.mda, &p.m, &p.n, r.b.data(), r.x.data(), &r.rnorm,
       r.w.data(), zz.data(), r.index.data(), &r.mode, &p.maxiter);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 8;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  const std::vector<Problem> problems = make_problems(60);
  std::vector<Result> serial;
  for (const Problem& p : problems) serial.push_back(solve(p));

  std::vector<int> mismatches(threads, 0);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      // Each thread walks the problems from its own starting point, so that
      // different problems run side by side.
      for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < problems.size(); ++k) {
          const std::size_t q = (k + 7 * t + r) % problems.size();
          if (!(solve(problems[q]) == serial[q])) ++mismatches[t];
        }
      }
    });
  }
  for (std::thread& th : pool) th.join();

  int total = 0;
  for (int c : mismatches) total += c;
  std::fprintf(stderr, "core_threads: %d threads x %d rounds x %zu problems, "
               "%d results differ from the serial ones\n",
               threads, rounds, problems.size(), total);
  return total == 0 ? 0 : 1;
}
