// The extension module tovrin._gram: the Gram-form solver for k problems
// that share one G = A'A, for tovrin._gram_method (the Python layer checks
// the arguments, forms G and A'B with NumPy and builds the result).
//
// solve(g, ct, a, bt, maxiter, threads, x, w, passive, iterations, status,
// rnorm) solves problem j on (G, ct[j]) -- and, when a and bt are given,
// refines and checks it with (A, bt[j]) and writes rnorm[j] = ||b_j - A x_j||
// -- into row j of the outputs, one problem at a time.  The interpreter lock
// is released for the solve; problems are spread over
// `threads` workers (each owning its workspace) while the calling thread
// checks for signals, so Ctrl-C stops the workers and raises here.  Every
// problem's results depend on its data only, not on threads or order.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <Python.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "gram/pivoting.h"
#include "gram/factor.h"
#include "gram/active_set.h"
#include "common/pool.h"

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
using OutVector = Array<double, nb::c_contig, 1>;
using Strided = nb::ndarray<const double, nb::ndim<2>, nb::device::cpu>;

constexpr char kShapes[] = "tovrin._gram.solve: inconsistent shapes";

// How often the calling thread wakes to check for signals while workers
// solve.
constexpr std::chrono::milliseconds kSignalInterval{20};
// Multiply-adds below which all problems run on the calling thread, with no
// way to stop them: about a millisecond.
constexpr double kQuickWork = 1 << 20;
// Problems per item of the worker pool at most (with at least eight items
// per worker while there are enough problems).
constexpr std::int64_t kRunLength = 64;

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
  double* rnorm;              // ||b - A x|| per problem, written with a
};

// An array's extent (size_t) as a count (int64_t).
std::int64_t dim(std::size_t extent) { return std::int64_t(extent); }

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
  if (bt.a != nullptr) bt.rnorm[j] = out.rnorm;
  return out.status;
}

void solve(ColumnMajor g, Rows ct, std::optional<ColumnMajor> a, std::optional<Rows> bt,
           std::int64_t maxiter, std::int64_t threads, OutRows x, OutRows w, OutFlags passive,
           OutCodes iterations, OutCodes status, OutVector rnorm) {
  const std::int64_t n = g.shape(0), k = ct.shape(0);
  const bool with_a = a.has_value() && bt.has_value();
  const std::int64_t m = with_a ? a->shape(0) : 0;
  const bool consistent =
      dim(g.shape(1)) == n && dim(ct.shape(1)) == n &&
      dim(x.shape(0)) == k && dim(x.shape(1)) == n &&
      dim(w.shape(0)) == k && dim(w.shape(1)) == n &&
      dim(passive.shape(0)) == k && dim(passive.shape(1)) == n &&
      dim(iterations.shape(0)) == k && dim(status.shape(0)) == k && dim(rnorm.shape(0)) == k &&
      a.has_value() == bt.has_value() &&
      (!with_a ||
       (dim(a->shape(1)) == n && dim(bt->shape(0)) == k && dim(bt->shape(1)) == m)) &&
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
                    status.data(),
                    rnorm.data()};

  const int workers = int(std::min(threads, k));
  std::vector<gram::Workspace> spaces;
  std::vector<std::vector<unsigned char>> flags;
  spaces.reserve(workers);
  for (int i = 0; i < workers; ++i) {
    spaces.emplace_back(std::int32_t(n), std::int32_t(m));
    flags.emplace_back(n);
  }
  // One trial costs about n*(n + m) multiply-adds at most.
  const double work = double(k) * double(batch.maxiter) * double(n) * double(n + m);
  std::atomic<bool> cancel{false};

  // Solves every problem on the calling thread when quick, otherwise on
  // the workers; false when a signal stopped them.
  auto run = [&] {
    const std::int64_t count = k;
    nb::gil_scoped_release unlocked;
    if (workers == 1 && work <= kQuickWork) {
      for (std::int64_t j = 0; j < k; ++j) solve_one(batch, j, nullptr, spaces[0], flags[0]);
      return true;
    }
    // Runs of consecutive problems per item, so that two workers do not
    // write the same cache lines of the outputs for neighbouring problems.
    const std::int64_t run_length =
        std::clamp<std::int64_t>(count / (8 * std::int64_t(workers)), 1, kRunLength);
    const std::int64_t runs = (count + run_length - 1) / run_length;
    return tovrin::run_on_workers(
        int(std::min<std::int64_t>(workers, runs)), runs, cancel,
        [&](int worker, std::int64_t r) {
          const std::int64_t end = std::min(count, (r + 1) * run_length);
          for (std::int64_t i = r * run_length; i < end; ++i) {
            if (cancel.load(std::memory_order_relaxed)) return;
            solve_one(batch, i, &cancel, spaces[worker], flags[worker]);
          }
        },
        [] {
          nb::gil_scoped_acquire locked;
          return PyErr_CheckSignals() == 0;
        },
        kSignalInterval);
  };

  if (!run()) throw nb::python_error();
}

// solve_many(g, ct, a, b, x0, maxiter, threads, x, w, passive, iterations,
// status, rnorm): the k problems (G, row j of ct) by block principal
// pivoting (gram_batch.h), checked and refined with (A, column j of B)
// when a and b are given; x0 (n x k) names each problem's starting free
// set.  Results in column j of the n x k outputs.  The interpreter lock is
// released; the problems are cut into `threads` ranges of consecutive
// problems, one per worker, while the calling thread checks for signals
// (Ctrl-C stops the workers between rounds and raises here).
void solve_many(ColumnMajor g, Rows ct, std::optional<ColumnMajor> a, std::optional<Strided> b,
                std::optional<Rows> x0, std::int64_t maxiter, std::int64_t threads, OutRows x,
                OutRows w, OutFlags passive, OutCodes iterations, OutCodes status,
                OutVector rnorm) {
  const std::int64_t n = g.shape(0), k = ct.shape(0);
  const bool with_a = a.has_value() && b.has_value();
  const std::int64_t m = with_a ? a->shape(0) : 0;
  auto is_nk = [&](std::size_t rows, std::size_t cols) {
    return dim(rows) == n && dim(cols) == k;
  };
  const bool consistent =
      dim(g.shape(1)) == n && dim(ct.shape(1)) == n && is_nk(x.shape(0), x.shape(1)) &&
      is_nk(w.shape(0), w.shape(1)) && is_nk(passive.shape(0), passive.shape(1)) &&
      dim(iterations.shape(0)) == k && dim(status.shape(0)) == k && dim(rnorm.shape(0)) == k &&
      a.has_value() == b.has_value() && (!x0 || is_nk(x0->shape(0), x0->shape(1))) &&
      (!with_a || (dim(a->shape(1)) == n && dim(b->shape(0)) == m && dim(b->shape(1)) == k)) &&
      n <= INT32_MAX && m <= INT32_MAX && maxiter >= 1 && threads >= 1;
  if (!consistent) throw nb::value_error(kShapes);
  if (k == 0 || n == 0) return;

  const gram::ManyProblems problems{
      g.data(), n, std::int32_t(n), gram::gram_norm(g.data(), n, std::int32_t(n)),
      ct.data(), k, k,
      with_a ? a->data() : nullptr, m, std::int32_t(m),
      with_a ? b->data() : nullptr, with_a ? b->stride(0) : 0, with_a ? b->stride(1) : 0,
      x0 ? x0->data() : nullptr,
      std::int32_t(std::min<std::int64_t>(maxiter, INT32_MAX))};
  const gram::ManyResults results{x.data(), w.data(), passive.data(), iterations.data(),
                                  status.data(), rnorm.data()};
  // One range of consecutive problems per worker, each solved whole by its
  // own BlockPivoting (groups form within a range): the results of a
  // problem do not depend on the ranges, so neither on threads.
  const std::int64_t workers = std::min(threads, k);
  auto solve_range = [&](std::int64_t r, const std::atomic<bool>* stop) {
    const std::int64_t first = r * k / workers, last = (r + 1) * k / workers;
    gram::ManyProblems part = problems;
    part.c += first * n;
    part.k = last - first;
    if (part.b != nullptr) part.b += first * part.b_col;
    if (part.x0 != nullptr) part.x0 += first;
    const gram::ManyResults out{results.x + first, results.w + first, results.passive + first,
                                results.iterations + first, results.status + first,
                                results.rnorm + first};
    return gram::BlockPivoting(part, out, 1).solve(stop);
  };
  std::atomic<bool> cancel{false};
  bool stopped = false;
  {
    nb::gil_scoped_release unlocked;
    // A few rounds of about n (n + m) multiply-adds per problem.
    if (workers == 1 && double(k) * double(n) * double(n + m) <= kQuickWork) {
      stopped = !solve_range(0, nullptr);
    } else {
      stopped = !tovrin::run_on_workers(
          int(workers), workers, cancel,
          [&](int, std::int64_t r) {
            if (!solve_range(r, &cancel)) cancel.store(true);
          },
          [] {
            nb::gil_scoped_acquire locked;
            return PyErr_CheckSignals() == 0;
          },
          kSignalInterval);
    }
  }
  if (stopped || cancel.load()) throw nb::python_error();
}

// The pieces of block principal pivoting (tovrin/_gram_pivoting.py), whose
// rounds factorise through NumPy's LAPACK.  A factor is passed as rt, a
// C-contiguous (cap, cap) array whose row j is column j of R, so that
// rt[:p, :p] = L, NumPy's lower Cholesky factor, and ldr = cap; set holds
// the variables of its positions.  G is read by rows as columns (symmetric).
using Factor = Array<double, nb::c_contig, 2>;
using Set = Array<std::int32_t, nb::c_contig, 1>;
using Vector = Array<const double, nb::c_contig, 1>;

constexpr char kFactorShapes[] = "tovrin._gram: inconsistent factor shapes";

bool factor_fits(const Factor& rt, std::int64_t p, const Set& set) {
  return rt.shape(0) == rt.shape(1) && p >= 0 && p <= std::int64_t(rt.shape(0)) &&
         std::int64_t(set.shape(0)) >= p && rt.shape(0) <= INT32_MAX;
}

// s = G(set, set)^-1 v through the factor.
void solve_factored(Factor rt, std::int64_t p, Set set, Vector v, OutVector s) {
  if (!factor_fits(rt, p, set) || std::int64_t(v.shape(0)) != p || std::int64_t(s.shape(0)) != p) {
    throw nb::value_error(kFactorShapes);
  }
  std::vector<double> scratch(v.data(), v.data() + p);
  nb::gil_scoped_release unlocked;
  gram::solve_factored(std::int32_t(p), rt.data(), rt.shape(1), scratch.data(), s.data());
}

// Deletes the positions given (each below p, in decreasing order) from the
// factor; returns the new p.
std::int64_t delete_positions(Factor rt, std::int64_t p, Set set, Set positions) {
  if (!factor_fits(rt, p, set)) throw nb::value_error(kFactorShapes);
  std::int32_t* q = positions.data();
  for (std::size_t i = 0; i < positions.shape(0); ++i) {
    if (q[i] < 0 || q[i] >= p || (i > 0 && q[i] >= q[i - 1])) throw nb::value_error(kFactorShapes);
  }
  nb::gil_scoped_release unlocked;
  for (std::size_t i = 0; i < positions.shape(0); ++i) {
    gram::delete_position(std::int32_t(p), rt.data(), rt.shape(1), set.data(), q[i]);
    --p;
  }
  return p;
}

// Appends the variables given in turn; returns the new p, short of
// p + len(variables) when one is numerically dependent (the rest are not
// tried).
std::int64_t append_variables(Factor rt, std::int64_t p, Set set, Rows g, Set variables) {
  const std::int64_t n = g.shape(0);
  if (!factor_fits(rt, p, set) || g.shape(1) != std::size_t(n) ||
      p + std::int64_t(variables.shape(0)) > std::int64_t(rt.shape(0)) ||
      p + std::int64_t(variables.shape(0)) > std::int64_t(set.shape(0))) {
    throw nb::value_error(kFactorShapes);
  }
  for (std::size_t i = 0; i < variables.shape(0); ++i) {
    if (variables.data()[i] < 0 || variables.data()[i] >= n) throw nb::value_error(kFactorShapes);
  }
  nb::gil_scoped_release unlocked;
  for (std::size_t i = 0; i < variables.shape(0); ++i, ++p) {
    if (!gram::append_variable(std::int32_t(p), rt.data(), rt.shape(1), set.data(), g.data(), n,
                               variables.data()[i])) {
      break;
    }
  }
  return p;
}

// One problem from the free set of a factor (gram::solve_from) into x, w
// and passive; returns (iterations, status, rnorm), rnorm NaN without A.
nb::tuple solve_from(Rows g, Vector c, std::optional<ColumnMajor> a, std::optional<Vector> b,
                     Factor rt, std::int64_t p, Set set, std::int64_t maxiter,
                     Array<double, nb::c_contig, 1> x, Array<double, nb::c_contig, 1> w,
                     Array<bool, nb::c_contig, 1> passive) {
  const std::int64_t n = g.shape(0);
  const bool with_a = a.has_value() && b.has_value();
  const std::int64_t m = with_a ? a->shape(0) : 0;
  if (!factor_fits(rt, p, set) || g.shape(1) != std::size_t(n) || c.shape(0) != std::size_t(n) ||
      x.shape(0) != std::size_t(n) || w.shape(0) != std::size_t(n) ||
      passive.shape(0) != std::size_t(n) || a.has_value() != b.has_value() ||
      (with_a && (a->shape(1) != std::size_t(n) || std::int64_t(b->shape(0)) != m)) ||
      n > INT32_MAX || m > INT32_MAX || maxiter < 1) {
    throw nb::value_error(kFactorShapes);
  }
  for (std::int64_t i = 0; i < p; ++i) {
    if (set.data()[i] < 0 || set.data()[i] >= n) throw nb::value_error(kFactorShapes);
  }
  gram::Outcome out;
  std::atomic<bool> cancel{false};
  bool completed;
  {
    nb::gil_scoped_release unlocked;
    const gram::GramProblem pr{g.data(), n, std::int32_t(n), c.data(),
                               gram::gram_norm(g.data(), n, std::int32_t(n))};
    const gram::LeastSquares ls{with_a ? a->data() : nullptr, m, std::int32_t(m),
                                with_a ? b->data() : nullptr};
    gram::Workspace work{std::int32_t(n), std::int32_t(m)};
    std::vector<unsigned char> flags(n);
    const gram::FactorView from{set.data(), rt.data(), std::ptrdiff_t(rt.shape(1)),
                                std::int32_t(p)};
    // On a worker, so that this thread can watch for signals (Ctrl-C).
    completed = tovrin::run_on_workers(
        1, 1, cancel,
        [&](int, std::int64_t) {
          out = gram::solve_from(pr, with_a ? &ls : nullptr, from,
                                 std::int32_t(std::min<std::int64_t>(maxiter, INT32_MAX)),
                                 &cancel, work, x.data(), w.data(), flags.data());
        },
        [] {
          nb::gil_scoped_acquire locked;
          return PyErr_CheckSignals() == 0;
        },
        kSignalInterval);
    for (std::int64_t j = 0; j < n; ++j) passive.data()[j] = flags[j] != 0;
  }
  if (!completed || out.status == gram::status_cancelled) throw nb::python_error();
  return nb::make_tuple(out.iterations, out.status, with_a ? out.rnorm : std::nan(""));
}

}  // namespace

NB_MODULE(_gram, m) {
  m.attr("SOLVED") = gram::status_solved;
  m.attr("ITERATION_LIMIT") = gram::status_iteration_limit;
  m.attr("GRAM_INACCURATE") = gram::status_inaccurate;
  m.attr("DUAL_TOLERANCE") = gram::dual_tolerance;
  m.attr("ACCURACY_TARGET") = gram::accuracy_target;
  m.def("solve", &solve, "g"_a, "ct"_a, "a"_a.none(), "bt"_a.none(), "maxiter"_a, "threads"_a,
        "x"_a, "w"_a, "passive"_a, "iterations"_a, "status"_a, "rnorm"_a,
        "solve(g, ct, a, bt, maxiter, threads, x, w, passive, iterations, status, rnorm)\n\n"
        "The Gram-form solver behind tovrin.nnls(method='gram') and tovrin.nnls_gram,\n"
        "which check the arguments; call those.");
  m.def("solve_many", &solve_many, "g"_a, "ct"_a, "a"_a.none(), "b"_a.none(), "x0"_a.none(),
        "maxiter"_a, "threads"_a, "x"_a, "w"_a, "passive"_a, "iterations"_a, "status"_a,
        "rnorm"_a,
        "solve_many(g, ct, a, b, x0, maxiter, threads, x, w, passive, iterations, status,\n"
        "           rnorm)\n\n"
        "Block principal pivoting for many right-hand sides behind tovrin.nnls(method='gram');\n"
        "the caller checks the arguments.");
  m.def("solve_factored", &solve_factored, "rt"_a, "p"_a, "set"_a, "v"_a, "s"_a);
  m.def("delete_positions", &delete_positions, "rt"_a, "p"_a, "set"_a, "positions"_a);
  m.def("append_variables", &append_variables, "rt"_a, "p"_a, "set"_a, "g"_a, "variables"_a);
  m.def("solve_from", &solve_from, "g"_a, "c"_a, "a"_a.none(), "b"_a.none(), "rt"_a, "p"_a,
        "set"_a, "maxiter"_a, "x"_a, "w"_a, "passive"_a);
}
