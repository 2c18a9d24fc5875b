// The extension module tovrin._solver: the result type NNLSResult and
// solve(A, b, maxiter, threads, check_finite), which tovrin.nnls calls.
//
// Arrays come in through the buffer protocol and go out as arrays made by
// numpy.empty, so no NumPy C API is involved and one build serves every
// NumPy version.  Arguments are checked and the outputs allocated with the
// interpreter lock held; the solve itself runs without it, on the calling
// thread when it is short, otherwise on a pool of worker threads while the
// calling thread checks for signals.
#include <nanobind/nanobind.h>

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "batch.h"
#include "pool.h"
#include "solve.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using tovrin::BatchResults;
using tovrin::BatchSolver;
using tovrin::StridedMatrix;
using tovrin::Workspace;

// Message texts; the tests use them verbatim.
constexpr char kMatrixRank[] = "A must be 2-dimensional, got shape %R";
constexpr char kRhsRank[] = "b must be 1- or 2-dimensional, got shape %R";
constexpr char kRowsDiffer[] = "b has %zd rows but A has %zd";
constexpr char kTooLarge[] = "A has shape %R; the solver takes at most %d rows and columns";
constexpr char kNotFinite[] = "%s must not contain NaN or infinity";
constexpr char kPositiveInt[] = "%s must be None or an int >= 1, got %R";
constexpr char kNotReal[] = "%s could not be read as an array of float64";
constexpr char kLimitOne[] =
    "the solver stopped on the iteration limit (maxiter=%lld) before reaching the solution";
constexpr char kLimitMany[] = "%lld of %lld problems stopped on the iteration limit (maxiter=%lld)";
constexpr char kExact[] = "exact";

// Most consecutive problems a worker takes at a time: 16 doubles span two
// cache lines.
constexpr std::int64_t kMaxChunk = 16;

// How often the calling thread wakes to check for signals while workers
// solve: a Ctrl-C is seen within this time plus one main-loop pass.
constexpr std::chrono::milliseconds kSignalInterval{20};

// Objects of numpy and of the package looked up once at import, held for
// the life of the process.
struct Imports {
  PyObject* empty;           // numpy.empty
  PyObject* float64;         // numpy.dtype('float64')
  PyObject* bool_;           // numpy.dtype('bool')
  PyObject* int64;           // numpy.dtype('int64')
  PyObject* solved;          // tovrin.Status.SOLVED
  PyObject* iteration_limit;  // tovrin.Status.ITERATION_LIMIT
  PyObject* limit_warning;   // tovrin.IterationLimitWarning
  PyObject* as_real_array;   // tovrin._convert.as_real_array
  PyObject* exact;           // "exact", the method of every result made here
};
Imports imports;

PyObject* new_reference(nb::handle h) { return h.inc_ref().ptr(); }

void load_imports() {
  nb::module_ numpy = nb::module_::import_("numpy");
  nb::module_ status = nb::module_::import_("tovrin._status");
  nb::module_ convert = nb::module_::import_("tovrin._convert");
  nb::object dtype = numpy.attr("dtype");
  imports.empty = new_reference(numpy.attr("empty"));
  imports.float64 = new_reference(dtype("float64"));
  imports.bool_ = new_reference(dtype("bool"));
  imports.int64 = new_reference(dtype("int64"));
  imports.solved = new_reference(status.attr("Status").attr("SOLVED"));
  imports.iteration_limit = new_reference(status.attr("Status").attr("ITERATION_LIMIT"));
  imports.limit_warning = new_reference(status.attr("IterationLimitWarning"));
  imports.as_real_array = new_reference(convert.attr("as_real_array"));
  imports.exact = new_reference(nb::str(kExact));
}

// Formats text with PyErr_Format and raises it as a C++ exception.
template <typename... Args>
[[noreturn]] void raise(PyObject* type, const char* text, Args... args) {
  PyErr_Format(type, text, args...);
  throw nb::python_error();
}

bool is_native_float64(const Py_buffer& view) {
  if (view.itemsize != sizeof(double) || view.format == nullptr) return false;
  const std::string f(view.format);
  return f == "d" || f == "@d" || f == "=d" ||
         (f == "<d" && PY_LITTLE_ENDIAN) || (f == ">d" && PY_BIG_ENDIAN);
}

// A caller's argument as a buffer of float64, read-only: the object itself
// when it exposes one, otherwise the array that tovrin._convert.as_real_array
// makes of it (which raises TypeError for what is not real).  Holds the
// buffer, and any converted array, until destroyed.
class RealArray {
 public:
  RealArray(nb::handle obj, const char* name) {
    if (take(obj)) return;
    PyObject* converted = PyObject_CallFunction(imports.as_real_array, "Os", obj.ptr(), name);
    if (converted == nullptr) throw nb::python_error();
    converted_ = nb::steal(converted);
    if (!take(converted_)) raise(PyExc_TypeError, kNotReal, name);
  }
  ~RealArray() { PyBuffer_Release(&view_); }
  RealArray(const RealArray&) = delete;
  RealArray& operator=(const RealArray&) = delete;

  int ndim() const { return view_.ndim; }
  Py_ssize_t extent(int d) const { return view_.shape[d]; }

  // The array as a matrix; a 1-dimensional one is a single column.
  StridedMatrix matrix() const {
    const bool column = view_.ndim == 1;
    return {static_cast<const char*>(view_.buf), view_.shape[0], column ? 1 : view_.shape[1],
            view_.strides[0], column ? 0 : view_.strides[1]};
  }

  // The shape as a new tuple, for messages.
  nb::object shape() const {
    nb::object t = nb::steal(PyTuple_New(view_.ndim));
    if (!t.is_valid()) throw nb::python_error();
    for (int d = 0; d < view_.ndim; ++d) {
      PyObject* extent = PyLong_FromSsize_t(view_.shape[d]);
      if (extent == nullptr) throw nb::python_error();
      PyTuple_SET_ITEM(t.ptr(), d, extent);  // steals extent
    }
    return t;
  }

 private:
  // Takes obj's buffer if it is one of float64; false (no error set)
  // otherwise.
  bool take(nb::handle obj) {
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      view_.obj = nullptr;
      return false;
    }
    if (is_native_float64(view_)) return true;
    PyBuffer_Release(&view_);
    return false;
  }

  Py_buffer view_{};
  nb::object converted_;
};

// maxiter or threads: None gives none_value, an int >= 1 its value (larger
// than int64 saturates); anything else is refused, a bool or a value below 1
// with ValueError, a non-integer with TypeError.
std::int64_t positive_int(nb::handle value, const char* name, std::int64_t none_value) {
  if (value.is_none()) return none_value;
  if (PyBool_Check(value.ptr())) raise(PyExc_ValueError, kPositiveInt, name, value.ptr());
  if (!PyIndex_Check(value.ptr())) raise(PyExc_TypeError, kPositiveInt, name, value.ptr());
  nb::object index = nb::steal(PyNumber_Index(value.ptr()));
  if (!index.is_valid()) throw nb::python_error();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
  if (overflow < 0 || v < 1) raise(PyExc_ValueError, kPositiveInt, name, value.ptr());
  return v;
}

// Cores this process may run on.
int available_cores() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
#endif
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// A new numpy array of the given shape and dtype, C order, uninitialised,
// with a writable buffer of it.
class OutputArray {
 public:
  OutputArray(nb::handle shape, PyObject* dtype) {
    PyObject* args[] = {shape.ptr(), dtype};
    array_ = nb::steal(PyObject_Vectorcall(imports.empty, args, 2, nullptr));
    if (!array_.is_valid()) throw nb::python_error();
    if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_WRITABLE) != 0) {
      view_.obj = nullptr;
      throw nb::python_error();
    }
  }
  ~OutputArray() { PyBuffer_Release(&view_); }
  OutputArray(const OutputArray&) = delete;
  OutputArray& operator=(const OutputArray&) = delete;

  template <typename T>
  T* data() const { return static_cast<T*>(view_.buf); }
  const nb::object& array() const { return array_; }

 private:
  nb::object array_;
  Py_buffer view_{};
};

struct NNLSResult {
  nb::object x, rnorm, dual, passive, iterations, status, converged, method;
};

// Runs every problem, on the calling thread when they are quick and one
// worker would do, otherwise on at most `threads` worker threads.  The
// interpreter lock is released throughout.  A signal whose handler raises
// (Ctrl-C) stops the workers, and its exception is raised here once they
// have ended.
void solve_all(const BatchSolver& solver, std::int64_t threads, const BatchResults& out) {
  const std::int64_t k = solver.problems();
  if (k == 0) return;
  threads = std::min(threads, k);
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
      if (solver.solve(spaces[worker], j, &cancel, out) == tovrin::mode_cancelled) return;
    }
  };
  bool completed;
  {
    nb::gil_scoped_release unlocked;
    completed = tovrin::run_on_workers(
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

// IterationLimitWarning when any problem stopped on the limit.
void warn_on_limit(std::int64_t stopped, std::int64_t k, bool single, std::int64_t limit) {
  if (stopped == 0) return;
  nb::object text = nb::steal(single ? PyUnicode_FromFormat(kLimitOne, static_cast<long long>(limit))
                                     : PyUnicode_FromFormat(kLimitMany, static_cast<long long>(stopped),
                                                            static_cast<long long>(k),
                                                            static_cast<long long>(limit)));
  if (!text.is_valid()) throw nb::python_error();
  // Level 2: the caller of tovrin.nnls, not the package's own frame.
  if (PyErr_WarnEx(imports.limit_warning, PyUnicode_AsUTF8(text.ptr()), 2) != 0) {
    throw nb::python_error();
  }
}

nb::object status_member(std::int64_t code) {
  return nb::borrow(code == tovrin::mode_iteration_limit ? imports.iteration_limit
                                                         : imports.solved);
}

nb::object solve(nb::handle a_obj, nb::handle b_obj, nb::handle maxiter_obj,
                 nb::handle threads_obj, bool check_finite) {
  const RealArray a(a_obj, "A");
  if (a.ndim() != 2) raise(PyExc_ValueError, kMatrixRank, a.shape().ptr());
  const RealArray b(b_obj, "b");
  if (b.ndim() != 1 && b.ndim() != 2) raise(PyExc_ValueError, kRhsRank, b.shape().ptr());
  const Py_ssize_t m = a.extent(0);
  const Py_ssize_t n = a.extent(1);
  if (b.extent(0) != m) raise(PyExc_ValueError, kRowsDiffer, b.extent(0), m);
  constexpr Py_ssize_t largest = std::numeric_limits<std::int32_t>::max();
  if (m > largest || n > largest) {
    raise(PyExc_ValueError, kTooLarge, a.shape().ptr(), static_cast<int>(largest));
  }
  const std::int64_t maxiter = positive_int(maxiter_obj, "maxiter", 0);
  const std::int64_t threads = positive_int(threads_obj, "threads", 0);
  const StridedMatrix am = a.matrix();
  const StridedMatrix bm = b.matrix();
  if (check_finite) {
    if (!am.all_finite()) raise(PyExc_ValueError, kNotFinite, "A");
    if (!bm.all_finite()) raise(PyExc_ValueError, kNotFinite, "b");
  }

  const BatchSolver solver(am, bm, maxiter);
  const bool single = b.ndim() == 1;
  const std::int64_t k = bm.cols;
  nb::object vector_shape = nb::steal(PyLong_FromSsize_t(n));
  nb::object shape = single ? vector_shape : nb::make_tuple(n, k);
  nb::object problems_shape = nb::steal(PyLong_FromSsize_t(k));
  const OutputArray x(shape, imports.float64);
  const OutputArray dual(shape, imports.float64);
  const OutputArray passive(shape, imports.bool_);
  NNLSResult result{x.array(), {}, dual.array(), passive.array(), {}, {}, {},
                    nb::borrow(imports.exact)};

  if (single) {
    double rnorm = 0.0;
    std::int64_t iterations = 0;
    std::int64_t status = 0;
    solve_all(solver, 1, {x.data<double>(), dual.data<double>(), passive.data<bool>(), &rnorm,
                          &iterations, &status});
    result.rnorm = nb::float_(rnorm);
    result.iterations = nb::int_(iterations);
    result.status = status_member(status);
    result.converged = nb::bool_(status == tovrin::mode_solved);
    warn_on_limit(status == tovrin::mode_iteration_limit, 1, true, solver.iteration_limit());
    return nb::cast(std::move(result));
  }

  const OutputArray rnorm(problems_shape, imports.float64);
  const OutputArray iterations(problems_shape, imports.int64);
  const OutputArray status(problems_shape, imports.int64);
  const OutputArray converged(problems_shape, imports.bool_);
  solve_all(solver, threads == 0 ? available_cores() : threads,
            {x.data<double>(), dual.data<double>(), passive.data<bool>(), rnorm.data<double>(),
             iterations.data<std::int64_t>(), status.data<std::int64_t>()});
  std::int64_t stopped = 0;
  for (std::int64_t j = 0; j < k; ++j) {
    const std::int64_t code = status.data<std::int64_t>()[j];
    converged.data<bool>()[j] = code == tovrin::mode_solved;
    stopped += code == tovrin::mode_iteration_limit;
  }
  result.rnorm = rnorm.array();
  result.iterations = iterations.array();
  result.status = status.array();
  result.converged = converged.array();
  warn_on_limit(stopped, k, false, solver.iteration_limit());
  return nb::cast(std::move(result));
}

// repr: the type name, then every field by keyword on a line of its own,
// the continuation lines of an array's repr indented under its first.
nb::str result_repr(const NNLSResult& r) {
  const std::pair<const char*, const nb::object*> fields[] = {
      {"x", &r.x},           {"rnorm", &r.rnorm},           {"dual", &r.dual},
      {"passive", &r.passive}, {"iterations", &r.iterations}, {"status", &r.status},
      {"converged", &r.converged}, {"method", &r.method}};
  constexpr char indent[] = "    ";
  std::string text = "NNLSResult(\n";
  for (const auto& [name, value] : fields) {
    const std::string prefix = std::string(indent) + name + "=";
    const std::string continuation = "\n" + std::string(prefix.size(), ' ');
    std::string shown = nb::repr(*value).c_str();
    for (std::size_t at = shown.find('\n'); at != std::string::npos;
         at = shown.find('\n', at + continuation.size())) {
      shown.replace(at, 1, continuation);
    }
    text += prefix + shown + ",\n";
  }
  text += ')';
  return nb::str(text.c_str(), text.size());
}

constexpr char kResultDoc[] = R"(Result of :func:`tovrin.nnls`: the solution of min ||A x - b||, x >= 0.

An immutable record.  For one right-hand side b of shape (m,) the fields
are scalars and vectors; for k right-hand sides, b of shape (m, k), every
field gains a last axis of length k, column j belonging to problem b[:, j].

Attributes
----------
x : ndarray of float64, shape (n,) or (n, k)
    The solution.
rnorm : float or ndarray of float64, shape (k,)
    The residual norm ||A x - b|| as the solver reports it.
dual : ndarray of float64, shape (n,) or (n, k)
    The solver's dual vector w = A^T (b - A x), as the algorithm leaves it:
    0 on the solution set and <= 0 off it at an optimum.
passive : ndarray of bool, shape (n,) or (n, k)
    True for the variables in the final solution set.
iterations : int or ndarray of int64, shape (k,)
    The solver's count of triangular solves, the count that the iteration
    limit is compared against: after a stop on the limit it is maxiter + 1.
status : Status or ndarray of int64, shape (k,)
    Status.SOLVED (1) or Status.ITERATION_LIMIT (3); for k problems an
    array of those codes.
converged : bool or ndarray of bool, shape (k,)
    status == Status.SOLVED.
method : str
    The solver that produced the result: "exact" for the active-set solver.

All fields are keyword arguments of the constructor, so that other code can
build a result; converged defaults to status == Status.SOLVED and method to
"exact".)";

}  // namespace

NB_MODULE(_solver, m) {
  load_imports();
  // Results may legitimately outlive the module at interpreter exit.
  nb::set_leak_warnings(false);

  nb::class_<NNLSResult>(m, "NNLSResult", kResultDoc)
      .def(
          "__init__",
          [](NNLSResult* self, nb::object x, nb::object rnorm, nb::object dual,
             nb::object passive, nb::object iterations, nb::object status, nb::object converged,
             nb::object method) {
            if (converged.is_none()) {
              converged = nb::steal(PyObject_RichCompare(status.ptr(), imports.solved, Py_EQ));
              if (!converged.is_valid()) throw nb::python_error();
            }
            new (self) NNLSResult{std::move(x),          std::move(rnorm),  std::move(dual),
                                  std::move(passive),    std::move(iterations),
                                  std::move(status),     std::move(converged),
                                  std::move(method)};
          },
          nb::kw_only(), "x"_a, "rnorm"_a, "dual"_a, "passive"_a, "iterations"_a, "status"_a,
          "converged"_a = nb::none(), "method"_a = kExact)
      .def_ro("x", &NNLSResult::x, "The solution.")
      .def_ro("rnorm", &NNLSResult::rnorm, "The residual norm ||A x - b||.")
      .def_ro("dual", &NNLSResult::dual, "The dual vector A^T (b - A x) as the solver leaves it.")
      .def_ro("passive", &NNLSResult::passive, "True for the variables in the solution set.")
      .def_ro("iterations", &NNLSResult::iterations, "The count of triangular solves.")
      .def_ro("status", &NNLSResult::status, "Status.SOLVED or Status.ITERATION_LIMIT.")
      .def_ro("converged", &NNLSResult::converged, "status == Status.SOLVED.")
      .def_ro("method", &NNLSResult::method, "The solver that produced the result.")
      .def("__repr__", &result_repr);

  m.def("solve", &solve, "A"_a, "b"_a, "maxiter"_a.none(), "threads"_a.none(),
        "check_finite"_a,
        "solve(A, b, maxiter, threads, check_finite) -> NNLSResult\n\n"
        "The implementation of tovrin.nnls, which checks nothing more; call that.");
}
