// Times the optimised solver core against the plain reference core (same
// compiler and flags) on one problem, checks that every output is bit for bit
// the same, and prints one JSON object on standard error (standard output
// carries the solver's iteration-limit lines).
//
//   bench_core PROBLEM_FILE [MIN_SECONDS]
//
// PROBLEM_FILE: int32 m, int32 n, then A column-major (m*n doubles), then b
// (m doubles), all little-endian, as bench/run_bench.py writes them.
//
// Besides whole solves it measures the two dominant steps in place: a call
// with maxiter = 1 on these problems performs two dual-vector steps and two
// reflection applications (two accepted variables, then the limit), whose
// flops are known exactly, plus only O(m + n) other work.  Two memory probes
// over a buffer of the matrix's size give this core's streaming limits.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "nnls.h"
#include "nnls_reference.h"

namespace {

using std::int32_t;
using Clock = std::chrono::steady_clock;
using Solver = void (*)(double*, const int32_t*, const int32_t*,
                        const int32_t*, double*, double*, double*, double*,
                        double*, int32_t*, int32_t*, const int32_t*);

constexpr int min_repetitions = 3;
constexpr int max_repetitions = 2001;

struct Problem {
  int32_t m = 0;
  int32_t n = 0;
  std::vector<double> a;
  std::vector<double> b;
};

// Working storage of one solve; inputs are restored before each timed call.
struct Run {
  std::vector<double> a, b, x, w, zz;
  std::vector<int32_t> index;
  double rnorm = 0.0;
  int32_t mode = 0;

  explicit Run(const Problem& p)
      : a(p.a), b(p.b), x(p.n), w(p.n), zz(p.m), index(p.n) {}

  double solve(Solver solver, const Problem& p, int32_t maxiter) {
    std::copy(p.a.begin(), p.a.end(), a.begin());
    std::copy(p.b.begin(), p.b.end(), b.begin());
    const auto start = Clock::now();
    solver(a.data(), &p.m, &p.m, &p.n, b.data(), x.data(), &rnorm, w.data(),
           zz.data(), index.data(), &mode, &maxiter);
    return std::chrono::duration<double>(Clock::now() - start).count();
  }
};

template <typename T>
bool same_bits(const std::vector<T>& p, const std::vector<T>& q) {
  return p.size() == q.size() &&
         std::memcmp(p.data(), q.data(), p.size() * sizeof(T)) == 0;
}

bool identical(const Run& p, const Run& q) {
  return same_bits(p.a, q.a) && same_bits(p.b, q.b) && same_bits(p.x, q.x) &&
         same_bits(p.w, q.w) && same_bits(p.zz, q.zz) &&
         same_bits(p.index, q.index) && p.mode == q.mode &&
         std::memcmp(&p.rnorm, &q.rnorm, sizeof p.rnorm) == 0;
}

double median(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  const size_t h = t.size() / 2;
  return t.size() % 2 ? t[h] : 0.5 * (t[h - 1] + t[h]);
}

struct Timing {
  double ours = 0.0;
  double reference = 0.0;
  int repetitions = 0;
  bool identical = true;
  int32_t mode = 0;
};

// Both cores alternately on the same input, so that both see the same
// machine load; medians of at least min_repetitions runs each.
Timing time_both(const Problem& p, int32_t maxiter, double min_seconds) {
  Run ours(p);
  Run ref(p);
  std::vector<double> t_ours;
  std::vector<double> t_ref;
  double spent = 0.0;
  Timing t;
  while (t_ours.size() < static_cast<size_t>(min_repetitions) ||
         (spent < min_seconds && t_ours.size() < static_cast<size_t>(max_repetitions))) {
    t_ours.push_back(ours.solve(&nnls, p, maxiter));
    t_ref.push_back(ref.solve(&reference::nnls, p, maxiter));
    spent += t_ours.back() + t_ref.back();
    t.identical = t.identical && identical(ours, ref);
  }
  t.ours = median(t_ours);
  t.reference = median(t_ref);
  t.repetitions = static_cast<int>(t_ours.size());
  t.mode = ours.mode;
  return t;
}

// Flops of the first two passes of the main loop when both candidates are
// accepted: the dual vector over n and n-1 columns (one multiply and one add
// per element), and the reflection applied to n-1 and n-2 columns (per
// column: pivot product, dot product, scale, pivot update and update of the
// rows below the pivot).
double two_step_flops(int64_t m, int64_t n) {
  const double dual = 2.0 * m * n + 2.0 * (m - 1) * (n - 1);
  const double apply = (n - 1) * (4.0 * (m - 1) + 4.0) + (n - 2) * (4.0 * (m - 2) + 4.0);
  return dual + apply;
}

// Streaming limits over a buffer of the matrix's size: a read-only pass with
// eight independent sums, and the update c = c + s*v of the reflection.
struct Probe {
  double read_gbs = 0.0;
  double update_gbs = 0.0;
};

Probe probe_memory(const Problem& p) {
  std::vector<double> buf(p.a);
  std::vector<double> v(p.m, 0.5);
  Probe result;
  std::vector<double> t_read;
  std::vector<double> t_update;
  double sink = 0.0;
  for (int rep = 0; rep < 7; ++rep) {
    auto start = Clock::now();
    double s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const size_t size = buf.size() & ~size_t{7};
    for (size_t i = 0; i < size; i += 8) {
      for (int k = 0; k < 8; ++k) s[k] += buf[i + k];
    }
    for (double sk : s) sink += sk;
    // A volatile store keeps the read probe's sums from being optimised away.
    *static_cast<volatile double*>(&sink) = sink;
    t_read.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    start = Clock::now();
    for (int32_t j = 0; j < p.n; ++j) {
      double* c = buf.data() + static_cast<size_t>(j) * p.m;
      for (int32_t i = 0; i < p.m; ++i) c[i] = c[i] + 1e-300 * v[i];
    }
    t_update.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  const double bytes = 8.0 * buf.size();
  result.read_gbs = bytes / median(t_read) * 1e-9;
  result.update_gbs = 2.0 * bytes / median(t_update) * 1e-9;
  return result;
}

bool read_problem(const char* path, Problem& p) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  bool ok = std::fread(&p.m, sizeof p.m, 1, f) == 1 &&
            std::fread(&p.n, sizeof p.n, 1, f) == 1 && p.m > 0 && p.n > 0;
  if (ok) {
    p.a.resize(static_cast<size_t>(p.m) * p.n);
    p.b.resize(p.m);
    ok = std::fread(p.a.data(), sizeof(double), p.a.size(), f) == p.a.size() &&
         std::fread(p.b.data(), sizeof(double), p.b.size(), f) == p.b.size();
  }
  std::fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: bench_core PROBLEM_FILE [MIN_SECONDS]\n", stderr);
    return 2;
  }
  Problem p;
  if (!read_problem(argv[1], p)) {
    std::fprintf(stderr, "cannot read problem file %s\n", argv[1]);
    return 1;
  }
  const double min_seconds = argc > 2 ? std::atof(argv[2]) : 1.0;

  const Timing full = time_both(p, 0, min_seconds);
  std::fprintf(stderr,
               "{\"m\": %d, \"n\": %d, \"ours_s\": %.9g, \"reference_s\": %.9g, "
               "\"repetitions\": %d, \"identical\": %s, \"mode\": %d",
               p.m, p.n, full.ours, full.reference, full.repetitions,
               full.identical ? "true" : "false", full.mode);
  if (p.m >= 3 && p.n >= 3) {
    const Timing steps = time_both(p, 1, min_seconds / 4);
    const Probe probe = probe_memory(p);
    const double flops = two_step_flops(p.m, p.n);
    std::fprintf(stderr,
                 ", \"steps_valid\": %s, \"steps_ours_gflops\": %.4g, "
                 "\"steps_reference_gflops\": %.4g, \"steps_identical\": %s, "
                 "\"read_gbs\": %.4g, \"update_gbs\": %.4g",
                 steps.mode == 3 ? "true" : "false", flops / steps.ours * 1e-9,
                 flops / steps.reference * 1e-9,
                 steps.identical ? "true" : "false", probe.read_gbs,
                 probe.update_gbs);
  }
  std::fputs("}\n", stderr);
  return full.identical ? 0 : 3;
}
