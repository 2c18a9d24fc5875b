// The extension module tovrin._gram: the Gram-form solver for k problems
// that share one G = A'A, for tovrin._gram_method (the Python layer checks
// the arguments, forms G and A'B with NumPy and builds the result).
//
// solve(g, ct, a, bt, maxiter, threads, x, w, passive, iterations, status)
// solves problem j on (G, ct[j]) -- and, when a and bt are given, refines
// and checks it with (A, bt[j]) -- into row j of the outputs.  The
// interpreter lock is released for the solve; problems are spread over
// `threads` workers (each owning its workspace) while the calling thread
// checks for signals, so Ctrl-C stops the workers and raises here.  Every
// problem's results depend on its data only, not on threads or order.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "gram_nnls.h"
#include "pool.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

namespace gram = tovrin::gram;

template <class T, class Order, int Dims>
using Array = nb::ndarray<T, nb::ndim<Dims>, Order, nb::device::cpu>;
using ColumnMajor = Array<const double, nb::f_contig, 2>;
using Rows = Array<const double, nb::c_contig, 2>;
using OutRows = Array<double, nb::c_contig, 2>;
using OutFlags = Array<bool, nb::c_contig, 2>;
using OutCodes = Array<std::int64_t, nb::c_contig, 1>;

constexpr char kShapes[] = "tovrin._gram.solve: inconsistent shapes";

// How often the calling thread wakes to check for signals while workers
// solve.
constexpr std::chrono::milliseconds kSignalInterval{20};
// Multiply-adds below which all problems run on the calling thread, with no
// way to stop them: about a millisecond.
constexpr double kQuickWork = 1 << 20;

struct Batch {
  gram::GramProblem shared;   // G; c is set per problem
  const double* ct;           // k x n, row j = c of problem j
  const double* a;            // m x n column-major, or null
  const double* bt;           // k x m, row j = b of problem j, or null
  std::int32_t m, n;
  std::int32_t maxiter;
  double* x;
  double* w;
  bool* passive;
  std::int64_t* iterations;
  std::int64_t* status;
};

// Problem j into row j of the outputs; returns its status.
int solve_one(const Batch& bt, std::int64_t j, const std::atomic<bool>* cancel,
              gram::Workspace& work, std::vector<unsigned char>& flags) {
  const std::int64_t n = bt.n;
  gram::GramProblem pr = bt.shared;
  pr.c = bt.ct + j * n;
  gram::LeastSquares ls{bt.a, bt.m, bt.m, bt.a ? bt.bt + j * std::int64_t(bt.m) : nullptr};
  const gram::Outcome out = gram::solve(pr, bt.a ? &ls : nullptr, bt.maxiter, cancel, work,
                                        bt.x + j * n, bt.w + j * n, flags.data());
  for (std::int64_t i = 0; i < n; ++i) bt.passive[j * n + i] = flags[i] != 0;
  bt.iterations[j] = out.iterations;
  bt.status[j] = out.status;
  return out.status;
}

void solve(ColumnMajor g, Rows ct, std::optional<ColumnMajor> a, std::optional<Rows> bt,
           std::int64_t maxiter, std::int64_t threads, OutRows x, OutRows w, OutFlags passive,
           OutCodes iterations, OutCodes status) {
  const std::int64_t n = g.shape(0), k = ct.shape(0);
  const bool with_a = a.has_value() && bt.has_value();
  const std::int64_t m = with_a ? a->shape(0) : 0;
  const bool consistent =
      g.shape(1) == n && ct.shape(1) == n && x.shape(0) == k && x.shape(1) == n &&
      w.shape(0) == k && w.shape(1) == n && passive.shape(0) == k && passive.shape(1) == n &&
      iterations.shape(0) == k && status.shape(0) == k && a.has_value() == bt.has_value() &&
      (!with_a || (a->shape(1) == n && bt->shape(0) == k && bt->shape(1) == m)) &&
      n <= INT32_MAX && m <= INT32_MAX && maxiter >= 1 && threads >= 1;
  if (!consistent) throw nb::value_error(kShapes);
  if (k == 0 || n == 0) return;

  const Batch batch{{g.data(), n, std::int32_t(n), nullptr, gram::gram_norm(g.data(), n, std::int32_t(n))},
                    ct.data(),
                    with_a ? a->data() : nullptr,
                    with_a ? bt->data() : nullptr,
                    std::int32_t(m),
                    std::int32_t(n),
                    std::int32_t(std::min<std::int64_t>(maxiter, INT32_MAX)),
                    x.data(),
                    w.data(),
                    passive.data(),
                    iterations.data(),
                    status.data()};

  const int workers = int(std::min(threads, k));
  // One trial costs about n*(n + m) multiply-adds at most.
  const double work = double(k) * double(batch.maxiter) * double(n) * double(n + m);
  if (workers == 1 && work <= kQuickWork) {
    gram::Workspace space{std::int32_t(n), std::int32_t(m)};
    std::vector<unsigned char> flags(n);
    nb::gil_scoped_release unlocked;
    for (std::int64_t j = 0; j < k; ++j) solve_one(batch, j, nullptr, space, flags);
    return;
  }

  std::vector<gram::Workspace> spaces;
  std::vector<std::vector<unsigned char>> flags;
  spaces.reserve(workers);
  for (int i = 0; i < workers; ++i) {
    spaces.emplace_back(std::int32_t(n), std::int32_t(m));
    flags.emplace_back(n);
  }
  std::atomic<bool> cancel{false};
  bool completed;
  {
    nb::gil_scoped_release unlocked;
    completed = tovrin::run_on_workers(
        workers, k, cancel,
        [&](int worker, std::int64_t j) {
          solve_one(batch, j, &cancel, spaces[worker], flags[worker]);
        },
        [] {
          nb::gil_scoped_acquire locked;
          return PyErr_CheckSignals() == 0;
        },
        kSignalInterval);
  }
  if (!completed) throw nb::python_error();
}

}  // namespace

NB_MODULE(_gram, m) {
  m.attr("SOLVED") = gram::status_solved;
  m.attr("ITERATION_LIMIT") = gram::status_iteration_limit;
  m.attr("GRAM_INACCURATE") = gram::status_inaccurate;
  m.attr("DUAL_TOLERANCE") = gram::dual_tolerance;
  m.attr("ACCURACY_TARGET") = gram::accuracy_target;
  m.def("solve", &solve, "g"_a, "ct"_a, "a"_a.none(), "bt"_a.none(), "maxiter"_a, "threads"_a,
        "x"_a, "w"_a, "passive"_a, "iterations"_a, "status"_a,
        "solve(g, ct, a, bt, maxiter, threads, x, w, passive, iterations, status)\n\n"
        "The Gram-form solver behind tovrin.nnls(method='gram') and tovrin.nnls_gram,\n"
        "which check the arguments; call those.");
}
