// tovrin.nnls and tovrin.nnls_gram: their arguments read once, the method
// chosen, the kernels run, the fields settled and the result assembled.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "front/front.h"

#include "gram/certificate.h"
#include "gram/driver.h"

#include "common/pool.h"
#include "solve.h"
#include "common/status.h"

namespace tovrin {
namespace front {

namespace {

// Most consecutive problems a worker takes at a time: 16 doubles span two
// cache lines.
constexpr std::int64_t kMaxChunk = 16;

// How often the calling thread wakes to check for signals while workers
// solve: a Ctrl-C is seen within this time plus one main-loop pass.
constexpr std::chrono::milliseconds kSignalInterval{20};

constexpr Py_ssize_t kLargest = std::numeric_limits<std::int32_t>::max();

// Runs every problem of the exact batch solver, on the calling thread when
// they are quick and one worker would do, otherwise on `threads` worker
// threads.  The interpreter lock is released throughout.  A signal whose
// handler raises (Ctrl-C) stops the workers, and its exception is raised
// here once they have ended.
void solve_exact(const BatchSolver& solver, std::int64_t threads, const BatchResults& out) {
  const std::int64_t k = solver.problems();
  if (k == 0) return;
  // A worker takes `chunk` consecutive problems at a time, so that two
  // workers seldom write to the same cache line of the outputs, while every
  // worker still gets several chunks to balance the load.
  const std::int64_t chunk = std::clamp<std::int64_t>(k / (4 * threads), 1, kMaxChunk);
  const std::int64_t chunks = (k + chunk - 1) / chunk;
  const int workers = static_cast<int>(std::min(threads, chunks));
  if (workers == 1 && solver.quick()) {
    Workspace w = solver.workspace();
    nb::gil_scoped_release unlocked;
    for (std::int64_t j = 0; j < k; ++j) solver.solve(w, j, nullptr, out);
    return;
  }

  std::vector<Workspace> spaces;
  spaces.reserve(workers);
  for (int i = 0; i < workers; ++i) spaces.push_back(solver.workspace());
  std::atomic<bool> cancel{false};
  auto solve_chunk = [&](int worker, std::int64_t c) {
    const std::int64_t last = std::min(k, (c + 1) * chunk);
    for (std::int64_t j = c * chunk; j < last; ++j) {
      if (solver.solve(spaces[worker], j, &cancel, out) == mode_cancelled) return;
    }
  };
  bool completed;
  {
    nb::gil_scoped_release unlocked;
    completed = run_on_workers(
        workers, chunks, cancel, solve_chunk,
        [] {
          // The handler's exception stays set on this thread for the raise
          // below.
          nb::gil_scoped_acquire locked;
          return PyErr_CheckSignals() == 0;
        },
        kSignalInterval);
  }
  if (!completed) throw nb::python_error();
}

// b's rows differ from A's.  Where a transpose makes them agree (b given
// with one problem per row, shape (k, m), or A given as (n, m)), the text
// names it.
[[noreturn]] void raise_rows_differ(const RealArray& a, const RealArray& b) {
  const Py_ssize_t m = a.extent(0), n = a.extent(1), rows = b.extent(0);
  const bool matrix_b = b.ndim() == 2;
  const char* fix = matrix_b && b.extent(1) == m   ? "b.T"
                    : rows == n                    ? "A.T"
                    : matrix_b && b.extent(1) == n ? "A.T and b.T"
                                                   : nullptr;
  if (fix == nullptr) {
    raise_text(PyExc_ValueError, "ROWS_DIFFER", {{"rows", nb::int_(rows)}, {"m", nb::int_(m)}});
  }
  raise_text(PyExc_ValueError, "ROWS_DIFFER_TRANSPOSED",
             {{"rows", nb::int_(rows)}, {"m", nb::int_(m)}, {"fix", nb::str(fix)}});
}

// The problem of tovrin.nnls: A (m, n), b (m,) or (m, k), checked.
struct Problem {
  Problem(nb::handle a_obj, nb::handle b_obj, bool check_finite)
      : a(a_obj, "A"), b(b_obj, "b") {
    if (a.ndim() != 2) raise_text(PyExc_ValueError, "MATRIX_RANK", {{"shape", a.shape()}});
    if (b.ndim() != 1 && b.ndim() != 2) {
      raise_text(PyExc_ValueError, "RHS_RANK", {{"shape", b.shape()}});
    }
    if (b.extent(0) != a.extent(0)) raise_rows_differ(a, b);
    if (a.extent(0) > kLargest || a.extent(1) > kLargest) {
      raise_text(PyExc_ValueError, "TOO_LARGE",
                 {{"shape", a.shape()}, {"largest", nb::int_(kLargest)}});
    }
    am = a.matrix();
    bm = b.matrix();
    if (check_finite) {
      if (!am.all_finite()) raise_text(PyExc_ValueError, "NOT_FINITE", {{"name", nb::str("A")}});
      if (!bm.all_finite()) raise_text(PyExc_ValueError, "NOT_FINITE", {{"name", nb::str("b")}});
    }
  }
  std::int64_t m() const { return am.rows; }
  std::int64_t n() const { return am.cols; }
  std::int64_t k() const { return bm.cols; }
  bool single() const { return b.ndim() == 1; }
  bool empty() const { return m() == 0 || n() == 0 || k() == 0; }

  const RealArray a, b;
  StridedMatrix am{}, bm{};
};

// The tests' choice of the Gram method's solver.
Forced read_forced(nb::handle value) {
  if (value.is_none()) return Forced::none;
  if (PyUnicode_Check(value.ptr())) {
    const auto is = [&](const char* name) {
      return PyUnicode_CompareWithASCIIString(value.ptr(), name) == 0;
    };
    if (is("one_at_a_time")) return Forced::one_at_a_time;
    if (is("many")) return Forced::many;
    if (is("large")) return Forced::large;
  }
  throw nb::value_error("solver must be None, 'one_at_a_time', 'many' or 'large'");
}

// Whether a signal handler raised (Ctrl-C); called with the interpreter lock
// released, from the thread that released it.
bool no_signal(void*) {
  nb::gil_scoped_acquire locked;
  return PyErr_CheckSignals() == 0;
}

// The data of x0 (n x k, C order, as read_start made it), or null, held
// until destroyed.
class StartData {
 public:
  explicit StartData(const nb::object& x0) {
    if (x0.is_none()) return;
    if (PyObject_GetBuffer(x0.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
    data_ = static_cast<const double*>(view_.buf);
  }
  ~StartData() {
    if (data_ != nullptr) PyBuffer_Release(&view_);
  }
  StartData(const StartData&) = delete;
  StartData& operator=(const StartData&) = delete;
  const double* data() const { return data_; }

 private:
  Py_buffer view_{};
  const double* data_ = nullptr;
};

// The Gram method's driver with the interpreter lock released; raises the
// pending exception of a signal that cancelled it.
template <class Solve>
void run_gram(const Solve& solve) {
  bool completed;
  {
    nb::gil_scoped_release unlocked;
    completed = solve(gram::Poll{&no_signal, nullptr});
  }
  if (!completed) throw nb::python_error();
}

// The problems of `out` whose status is in `codes`, solved again by the exact
// method into `out`.  Returns how many there were.
std::int64_t solve_again_exactly(const Problem& p, std::int64_t maxiter, std::int64_t threads,
                                 const BatchResults& out,
                                 std::initializer_list<std::int64_t> codes) {
  const std::int64_t m = p.m(), n = p.n(), k = p.k();
  std::vector<std::int64_t> again;
  for (std::int64_t j = 0; j < k; ++j) {
    if (std::find(codes.begin(), codes.end(), out.status[j]) != codes.end()) again.push_back(j);
  }
  const std::int64_t f = std::int64_t(again.size());
  if (f == 0) return 0;
  std::vector<double> b(static_cast<std::size_t>(m * f)), x(static_cast<std::size_t>(n * f)), dual(static_cast<std::size_t>(n * f));
  std::vector<double> rnorm(static_cast<std::size_t>(f));
  std::vector<std::int64_t> iterations(static_cast<std::size_t>(f)), status(static_cast<std::size_t>(f));
  std::unique_ptr<bool[]> passive(new bool[std::size_t(n * f)]);
  for (std::int64_t q = 0; q < f; ++q) {
    for (std::int64_t i = 0; i < m; ++i) b[q * m + i] = p.bm(i, again[q]);
  }
  const StridedMatrix bq{reinterpret_cast<const char*>(b.data()), m, f, sizeof(double),
                         std::int64_t(m * sizeof(double))};
  const BatchSolver solver(p.am, bq, maxiter);
  solve_exact(solver, plan_least_squares(m, n, f, Method::exact, maxiter, threads).threads,
              {x.data(), dual.data(), passive.get(), rnorm.data(), iterations.data(),
               status.data()});
  for (std::int64_t q = 0; q < f; ++q) {
    const std::int64_t j = again[q];
    for (std::int64_t i = 0; i < n; ++i) {
      out.x[i * k + j] = x[i * f + q];
      out.dual[i * k + j] = dual[i * f + q];
      out.passive[i * k + j] = passive[i * f + q];
    }
    out.rnorm[j] = rnorm[q];
    out.iterations[j] = iterations[q];
    out.status[j] = status[q];
  }
  return f;
}

// The Gram kernels count completed iterations; a stop on the limit reads,
// as in the exact method, as the count that passed the limit.
void count_as_exact(const BatchResults& out, std::int64_t k, std::int64_t limit) {
  for (std::int64_t j = 0; j < k; ++j) {
    if ((out.status[j] & ~status::refit) == status::iteration_limit) out.iterations[j] = limit + 1;
  }
}

// With check_finite off, a problem whose data hold NaN or infinity has no
// meaningful result, whatever finite numbers the solver returned.
void mark_non_finite_data(const Problem& p, const BatchResults& out) {
  const bool a_finite = p.am.all_finite();
  std::vector<unsigned char> b_finite(static_cast<std::size_t>(p.k()));
  p.bm.finite_columns(b_finite.data());
  for (std::int64_t j = 0; j < p.k(); ++j) {
    if (!a_finite || !b_finite[j]) out.status[j] = status::not_finite;
  }
}

}  // namespace

nb::object nnls(nb::handle a_obj, nb::handle b_obj, nb::handle maxiter_obj,
                nb::handle threads_obj, nb::handle check_finite_obj, nb::handle method_obj,
                nb::handle x0_obj, nb::handle solver_obj) {
  const Method method = read_method(method_obj);
  const bool check_finite = read_flag(check_finite_obj);
  const Problem p(a_obj, b_obj, check_finite);
  const std::int64_t maxiter = positive_int(maxiter_obj, "maxiter", 0);
  const std::int64_t threads = positive_int(threads_obj, "threads", 0);
  if (method == Method::exact && !x0_obj.is_none()) {
    raise_text(PyExc_ValueError, "X0_EXACT", {});
  }
  const nb::object x0 = read_start(x0_obj, p.n(), p.k(), p.single(), "A and b");
  const Plan plan =
      plan_least_squares(p.m(), p.n(), p.k(), method, maxiter, threads, read_forced(solver_obj));

  Outputs out(p.n(), p.k(), p.single());
  const BatchResults view = out.view();
  if (!plan.gram) {
    const BatchSolver solver(p.am, p.bm, maxiter);
    solve_exact(solver, plan.threads, view);
    settle_fields(p.am, p.bm, view, p.k());
    if (!check_finite) mark_non_finite_data(p, view);
    return out.result(method == Method::gram ? "gram" : "exact", plan.limit);
  }

  const StartData start(x0);
  const gram::Settings settings = gram_settings(plan);
  run_gram([&](gram::Poll poll) {
    return gram::solve_least_squares(p.am, p.bm, start.data(), settings, view, poll);
  });
  count_as_exact(view, p.k(), plan.limit);
  const char* used = "gram";
  if (method == Method::automatic &&
      solve_again_exactly(p, maxiter, threads, view,
                          {status::gram_inaccurate, status::gram_indefinite}) > 0) {
    used = "gram+exact";
  }
  settle_fields(p.am, p.bm, view, p.k());
  if (!check_finite) mark_non_finite_data(p, view);
  return out.result(used, plan.limit);
}

namespace {

// G = AtA (n, n): square, finite, symmetric to rounding, no negative
// diagonal entry.
void check_gram(const RealArray& g) {
  if (g.ndim() != 2 || g.extent(0) != g.extent(1)) {
    raise_text(PyExc_ValueError, "GRAM_SHAPE", {{"shape", g.shape()}});
  }
  const StridedMatrix gm = g.matrix();
  if (!gm.all_finite()) raise_text(PyExc_ValueError, "NOT_FINITE", {{"name", nb::str("AtA")}});
  const std::int64_t n = gm.rows;
  for (std::int64_t i = 0; i < n; ++i) {
    if (gm(i, i) < 0.0) {
      raise_text(PyExc_ValueError, "GRAM_DIAGONAL",
                 {{"i", nb::int_(i)}, {"value", nb::float_(gm(i, i))}});
    }
  }
  // |G_ij - G_ji| within the rounding of a product formed in another order:
  // a small multiple of eps * sqrt(G_ii G_jj), the bound on |G_ij| itself.
  constexpr double tolerance = 1e-10;
  for (std::int64_t j = 0; j < n; ++j) {
    for (std::int64_t i = j + 1; i < n; ++i) {
      const double bound = tolerance * std::sqrt(gm(i, i) * gm(j, j));
      if (!(std::fabs(gm(i, j) - gm(j, i)) <= bound)) {
        raise_text(PyExc_ValueError, "GRAM_ASYMMETRIC",
                   {{"i", nb::int_(i)}, {"j", nb::int_(j)}, {"gij", nb::float_(gm(i, j))},
                    {"gji", nb::float_(gm(j, i))}});
      }
    }
  }
}

// btb for k problems: a scalar (or one element) where there is one problem,
// shape (k,) otherwise; finite, not negative.
std::vector<double> read_btb(nb::handle value, std::int64_t k) {
  const RealArray btb(value, "btb");
  const bool one = k == 1 && btb.size() == 1 && btb.ndim() <= 2;
  if (!one && !(btb.ndim() == 1 && btb.extent(0) == k)) {
    nb::object want = k == 1 ? nb::object(nb::make_tuple()) : nb::object(nb::make_tuple(k));
    raise_text(PyExc_ValueError, "BTB_SHAPE", {{"want", want}, {"shape", btb.shape()}});
  }
  const StridedMatrix v = btb.matrix();
  if (!v.all_finite()) raise_text(PyExc_ValueError, "NOT_FINITE", {{"name", nb::str("btb")}});
  std::vector<double> norms(static_cast<std::size_t>(k));
  for (std::int64_t j = 0; j < k; ++j) {
    norms[j] = v.rows == k ? v(j, 0) : v(0, 0);
    if (norms[j] < 0.0) {
      raise_text(PyExc_ValueError, "BTB_NEGATIVE", {{"value", nb::float_(norms[j])}});
    }
  }
  return norms;
}

}  // namespace

nb::object nnls_gram(nb::handle g_obj, nb::handle c_obj, nb::handle btb_obj,
                     nb::handle maxiter_obj, nb::handle threads_obj, nb::handle x0_obj,
                     nb::handle solver_obj) {
  const RealArray g(g_obj, "AtA");
  check_gram(g);
  const std::int64_t n = g.extent(0);
  const RealArray c(c_obj, "Atb");
  if ((c.ndim() != 1 && c.ndim() != 2) || c.extent(0) != n) {
    raise_text(PyExc_ValueError, "ATB_SHAPE", {{"n", nb::int_(n)}, {"shape", c.shape()}});
  }
  const StridedMatrix cm = c.matrix();
  if (!cm.all_finite()) raise_text(PyExc_ValueError, "NOT_FINITE", {{"name", nb::str("Atb")}});
  const bool single = c.ndim() == 1;
  const std::int64_t k = cm.cols;
  std::vector<double> btb;
  if (!btb_obj.is_none()) btb = read_btb(btb_obj, k);
  const std::int64_t maxiter = positive_int(maxiter_obj, "maxiter", 0);
  const std::int64_t threads = positive_int(threads_obj, "threads", 0);
  const nb::object x0 = read_start(x0_obj, n, k, single, "AtA and Atb");
  const Plan plan =
      plan_gram_form(n, k, maxiter, threads, read_forced(solver_obj));

  Outputs out(n, k, single);
  const BatchResults view = out.view();
  if (n == 0 || k == 0) {
    for (std::int64_t j = 0; j < k; ++j) {
      view.rnorm[j] = btb.empty() ? std::numeric_limits<double>::quiet_NaN() : std::sqrt(btb[j]);
      view.iterations[j] = 0;
      view.status[j] = status::solved;
    }
    return out.result("gram", plan.limit);
  }
  const StartData start(x0);
  const StridedMatrix gm = g.matrix();
  const gram::Settings settings = gram_settings(plan);
  run_gram([&](gram::Poll poll) {
    return gram::solve_gram_form(gm, cm, btb.empty() ? nullptr : btb.data(), start.data(),
                                 settings, view, poll);
  });
  count_as_exact(view, k, plan.limit);
  settle_gram_fields(gm, cm, btb.empty() ? nullptr : btb.data(), view, k);
  return out.result("gram", plan.limit);
}

nb::object plan_summary(std::int64_t m, std::int64_t n, std::int64_t k, nb::handle method,
                        nb::handle maxiter) {
  const Plan plan = plan_least_squares(m, n, k, read_method(method),
                                       positive_int(maxiter, "maxiter", 0), 0);
  return nb::make_tuple(nb::bool_(plan.gram), nb::int_(plan.limit));
}

nb::object gram_certify(nb::handle g_obj, nb::handle c_obj, nb::handle btb_obj, nb::handle x_obj,
                        nb::handle passive_obj, nb::handle status_obj, std::int64_t rows,
                        nb::handle squares_obj, nb::handle duals_obj) {
  using namespace nb::literals;
  nb::module_ numpy = nb::module_::import_("numpy");
  const auto doubles = [&](nb::handle v) {
    return numpy.attr("array")(v, "dtype"_a = nb::handle(imports.float64), "order"_a = nb::str("C"));
  };
  const nb::object g = numpy.attr("array")(g_obj, "dtype"_a = nb::handle(imports.float64), "order"_a = nb::str("F"));
  const nb::object c = doubles(c_obj), btb = doubles(btb_obj), x = doubles(x_obj);
  const nb::object passive = numpy.attr("array")(passive_obj, "dtype"_a = nb::handle(imports.bool_),
                                                 "order"_a = nb::str("C"));
  const nb::object status = numpy.attr("array")(status_obj, "dtype"_a = nb::handle(imports.int64));
  const nb::object squares = doubles(squares_obj), duals = doubles(duals_obj);
  const RealArray gv(g, "AtA"), cv(c, "Atb"), xv(x, "x"), dv(duals, "duals");
  const std::int64_t n = gv.extent(0), k = cv.ndim() == 2 ? cv.extent(1) : 1;
  nb::object rnorm = numpy.attr("empty")(k, "dtype"_a = nb::handle(imports.float64));
  Py_buffer views[6];
  const nb::handle arrays[6] = {x, passive, status, squares, duals, rnorm};
  int held = 0;
  const auto release = [&] {
    for (int i = 0; i < held; ++i) PyBuffer_Release(&views[i]);
  };
  for (; held < 6; ++held) {
    if (PyObject_GetBuffer(arrays[held].ptr(), &views[held], PyBUF_RECORDS) != 0) {
      release();
      throw nb::python_error();
    }
  }
  double* xs = static_cast<double*>(views[0].buf);
  const bool* free = static_cast<const bool*>(views[1].buf);
  std::int64_t* codes = static_cast<std::int64_t*>(views[2].buf);
  double* r2 = static_cast<double*>(views[3].buf);
  double* d = static_cast<double*>(views[4].buf);
  double* norms = static_cast<double*>(views[5].buf);
  const RealArray bv(btb, "btb");
  const StridedMatrix gm = gv.matrix(), cm = cv.matrix();
  const double* btbs = reinterpret_cast<const double*>(bv.matrix().base);
  {
    nb::gil_scoped_release unlocked;
    std::vector<double> xj(static_cast<std::size_t>(n)), dj(static_cast<std::size_t>(n)),
        cj(static_cast<std::size_t>(n));
    std::vector<unsigned char> fj(static_cast<std::size_t>(n));
    for (std::int64_t j = 0; j < k; ++j) {
      for (std::int64_t i = 0; i < n; ++i) {
        xj[i] = xs[i * k + j];
        dj[i] = d[i * k + j];
        cj[i] = cm(i, j);
        fj[i] = free[i * k + j] && xj[i] > 0.0;
      }
      double squares_j = r2[j];
      if (codes[j] == status::solved) {
        const gram::ResidualProblem problem{reinterpret_cast<const double*>(gm.base),
                                            std::int32_t(n), cj.data(), btbs[j], rows};
        const gram::Verdict verdict =
            gram::certify_residual(problem, fj.data(), xj.data(), dj.data(), squares_j);
        codes[j] = verdict.status;
        for (std::int64_t i = 0; i < n; ++i) {
          xs[i * k + j] = xj[i];
          d[i * k + j] = dj[i];
        }
      }
      norms[j] = std::sqrt(std::max(squares_j, 0.0));
    }
  }
  release();
  return nb::make_tuple(x, status, rnorm, duals);
}

}  // namespace front
}  // namespace tovrin
