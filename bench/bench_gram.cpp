// Times the Gram-form solver core on one problem file written by
// bench/run_bench.py (int32 m, n; A column-major; b; then G = A'A
// column-major and c = A'b, formed by NumPy), without and with A for the
// refinement and the check, and prints one JSON line on standard error:
// median seconds of each, iterations, status, and the solution's digest.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "gram/active_set.h"

namespace {

namespace gram = tovrin::gram;

struct Data {
  std::int32_t m = 0, n = 0;
  std::vector<double> a, b, g, c;
};

bool read(const char* path, Data& d) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  bool ok = std::fread(&d.m, sizeof d.m, 1, f) == 1 && std::fread(&d.n, sizeof d.n, 1, f) == 1;
  if (ok) {
    const std::size_t m = std::size_t(d.m), n = std::size_t(d.n);
    d.a.resize(m * n);
    d.b.resize(m);
    d.g.resize(n * n);
    d.c.resize(n);
    ok = std::fread(d.a.data(), sizeof(double), m * n, f) == m * n &&
         std::fread(d.b.data(), sizeof(double), m, f) == m &&
         std::fread(d.g.data(), sizeof(double), n * n, f) == n * n &&
         std::fread(d.c.data(), sizeof(double), n, f) == n;
  }
  std::fclose(f);
  return ok;
}

template <class F>
double median_seconds(F call, double min_seconds) {
  std::vector<double> t;
  double spent = 0.0;
  while (t.size() < 3 || (spent < min_seconds && t.size() < 1001)) {
    const auto start = std::chrono::steady_clock::now();
    call();
    t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    spent += t.back();
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_gram PROBLEM [min_seconds]\n");
    return 2;
  }
  Data d;
  if (!read(argv[1], d)) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  const double min_seconds = argc > 2 ? std::atof(argv[2]) : 1.0;
  gram::Workspace work(d.n, d.m);
  std::vector<double> x(d.n), w(d.n);
  std::vector<unsigned char> passive(d.n);
  const gram::GramProblem pr{d.g.data(), d.n, d.n, d.c.data(),
                             gram::gram_norm(d.g.data(), d.n, d.n)};
  const gram::LeastSquares ls{d.a.data(), d.m, d.m, d.b.data()};
  gram::Outcome plain, checked;
  const double t_plain = median_seconds(
      [&] { plain = gram::solve(pr, nullptr, 3 * d.n, nullptr, work, x.data(), w.data(),
                                passive.data()); },
      min_seconds);
  const double t_checked = median_seconds(
      [&] { checked = gram::solve(pr, &ls, 3 * d.n, nullptr, work, x.data(), w.data(),
                                  passive.data()); },
      min_seconds);
  std::int32_t npassive = 0;
  for (unsigned char p : passive) npassive += p;
  std::fprintf(stderr,
               "{\"m\": %d, \"n\": %d, \"gram_core_s\": %.6g, \"gram_core_with_a_s\": %.6g, "
               "\"iterations\": %d, \"status\": %d, \"status_with_a\": %d, \"passive\": %d, "
               "\"condition\": %.3g, \"refinements\": %d}\n",
               d.m, d.n, t_plain, t_checked, checked.iterations, plain.status, checked.status,
               npassive, checked.condition, checked.refinements);
  return 0;
}
