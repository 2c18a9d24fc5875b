// The extension module tovrin._solver: the package's front door (front.h)
// and its result type NNLSResult.
//
// nnls(A, b, maxiter, threads, check_finite, method, x0) and
// nnls_gram(AtA, Atb, btb, maxiter, threads, x0) are tovrin.nnls and
// tovrin.nnls_gram, which only pass their arguments on; warn(status,
// maxiter, single, stacklevel) issues the warnings of a status array for
// tovrin.dask; _exact_kernels() reports the exact method's kernel path for
// tovrin.show_config.
#include <nanobind/nanobind.h>

#include <Python.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "front/front.h"
#include "gram/dense.h"
#include "kernels.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using tovrin::front::NNLSResult;

constexpr char kExact[] = "exact";

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

constexpr char kResultDoc[] = R"(Result of :func:`tovrin.nnls` and :func:`tovrin.nnls_gram`: the
solution of min ||A x - b||, x >= 0.

An immutable record with read-only arrays.  For one right-hand side b of
shape (m,) the fields are scalars and vectors; for k right-hand sides, b of
shape (m, k), every field gains a last axis of length k, column j belonging
to problem b[:, j].  ``x, rnorm = result`` unpacks the two fields that NNLS
routines conventionally return.

Attributes
----------
x : ndarray of float64, shape (n,) or (n, k)
    The solution.
rnorm : float or ndarray of float64, shape (k,)
    The residual norm ||A x - b|| of x; NaN from :func:`tovrin.nnls_gram`
    called without btb, which is then unknown.
dual : ndarray of float64, shape (n,) or (n, k)
    The dual vector w = A^T (b - A x) of x: 0 on the solution set and <= 0
    off it at an optimum.
passive : ndarray of bool, shape (n,) or (n, k)
    True for the variables of the set that x was computed on.
iterations : int or ndarray of int64, shape (k,)
    The solver's iteration count, the count that the iteration limit is
    compared against: after a stop on the limit it is maxiter + 1.
status : Status or ndarray of int64, shape (k,)
    A Status (SOLVED 1, ITERATION_LIMIT 3, GRAM_INACCURATE 4, NOT_FINITE 5,
    GRAM_INDEFINITE 6; no code 2, see Status); for k problems an array of
    those codes.
converged : bool or ndarray of bool, shape (k,)
    status == Status.SOLVED.
method : str
    The solver that produced the result: "exact", "gram", or "gram+exact"
    (method="auto" with some problems solved again by the exact method).

All fields are keyword arguments of the constructor, so that other code can
build a result; converged defaults to status == Status.SOLVED and method to
"exact".)";

// The environment variable that forces the exact method's kernel path in
// this extension's copy of the solver core (the low-level module __tovrin
// never reads it), read once at import.
constexpr char exact_kernels_variable[] = "TOVRIN_EXACT_KERNELS";

// The exact method's kernels in this process (kernels.h): the widest path
// that runs (or the forced one), the paths this build and processor can run,
// a forced path with the reason it was refused, if it was, and the sizes
// from which the automatic choice takes each path.
nb::dict exact_kernels() {
  const tovrin::KernelChoice& choice = tovrin::kernel_choice();
  nb::list available;
  for (tovrin::KernelPath path : {tovrin::KernelPath::portable, tovrin::KernelPath::avx2,
                                  tovrin::KernelPath::avx512}) {
    if (tovrin::kernel_path_available(path)) available.append(tovrin::kernel_path_name(path));
  }
  nb::dict report;
  report["path"] = tovrin::kernel_path_name(choice.path);
  report["available"] = available;
  report["variable"] = exact_kernels_variable;
  report["requested"] = choice.requested != nullptr ? nb::object(nb::str(choice.requested))
                                                    : nb::none();
  report["refusal"] = choice.refusal != nullptr ? nb::object(nb::str(choice.refusal))
                                                : nb::none();
  // The automatic choice by size m*n: each path from its smallest size.
  nb::dict from_size;
  from_size["portable"] = 0;
  from_size["avx2"] = tovrin::avx2_min_size;
  from_size["avx512"] = tovrin::avx512_min_size;
  report["from_size"] = from_size;
  return report;
}

// The Gram method's dense kernels (gram/dense.h): the path in use (chosen at
// the first call, or named by TOVRIN_DENSE_PATH) and those that run here.
nb::dict dense_kernels() {
  using tovrin::dense::Path;
  nb::list available;
  for (Path path : {Path::portable, Path::avx2, Path::avx512}) {
    if (tovrin::dense::path_supported(path)) available.append(tovrin::dense::path_name(path));
  }
  nb::dict report;
  report["path"] = tovrin::dense::path_name(tovrin::dense::active_path());
  report["available"] = available;
  return report;
}

}  // namespace

NB_MODULE(_solver, m) {
  tovrin::front::load_imports();
  tovrin::request_kernel_path(std::getenv(exact_kernels_variable));
  // Results may legitimately outlive the module at interpreter exit.
  nb::set_leak_warnings(false);

  nb::class_<NNLSResult>(m, "NNLSResult", kResultDoc)
      .def(
          "__init__",
          [](NNLSResult* self, nb::object x, nb::object rnorm, nb::object dual,
             nb::object passive, nb::object iterations, nb::object status, nb::object converged,
             nb::object method) {
            if (converged.is_none()) {
              converged = nb::steal(PyObject_RichCompare(
                  status.ptr(), tovrin::front::imports.solved, Py_EQ));
              if (!converged.is_valid()) throw nb::python_error();
            }
            new (self) NNLSResult{std::move(x),          std::move(rnorm),  std::move(dual),
                                  std::move(passive),    std::move(iterations),
                                  std::move(status),     std::move(converged),
                                  std::move(method)};
          },
          nb::sig("def __init__(self, *, x: numpy.ndarray, rnorm: float | numpy.ndarray, "
                  "dual: numpy.ndarray, passive: numpy.ndarray, "
                  "iterations: int | numpy.ndarray, status: Status | numpy.ndarray, "
                  "converged: bool | numpy.ndarray | None = None, method: str = 'exact') "
                  "-> None"),
          nb::kw_only(), "x"_a, "rnorm"_a, "dual"_a, "passive"_a, "iterations"_a, "status"_a,
          "converged"_a = nb::none(), "method"_a = kExact)
      .def_ro("x", &NNLSResult::x, "The solution.")
      .def_ro("rnorm", &NNLSResult::rnorm,
              "The residual norm ||A x - b|| of x; NaN from nnls_gram without btb.")
      .def_ro("dual", &NNLSResult::dual, "The dual vector A^T (b - A x) of x.")
      .def_ro("passive", &NNLSResult::passive, "True for the variables in the solution set.")
      .def_ro("iterations", &NNLSResult::iterations, "The solver's iteration count.")
      .def_ro("status", &NNLSResult::status, "How the solve ended: a Status.")
      .def_ro("converged", &NNLSResult::converged, "status == Status.SOLVED.")
      .def_ro("method", &NNLSResult::method, "The solver that produced the result.")
      .def("__repr__", &result_repr)
      // x, rnorm = result: the convention of NNLS routines.
      .def("__iter__",
           [](const NNLSResult& r) {
             return nb::steal(PyObject_GetIter(nb::make_tuple(r.x, r.rnorm).ptr()));
           })
      // Pickling and copying: the state is the tuple of the fields.
      // Pickling and copying: the constructor called with every field by
      // keyword, the call carried by a functools.partial.
      .def("__reduce__", [](nb::handle self) {
        const NNLSResult& r = nb::cast<const NNLSResult&>(self);
        nb::object rebuild = nb::module_::import_("functools").attr("partial")(
            self.type(), "x"_a = r.x, "rnorm"_a = r.rnorm, "dual"_a = r.dual,
            "passive"_a = r.passive, "iterations"_a = r.iterations, "status"_a = r.status,
            "converged"_a = r.converged, "method"_a = r.method);
        return nb::make_tuple(rebuild, nb::tuple());
      });
  // A nanobind class holds its allocator as __new__ in its namespace, where
  // help() would show it as nanobind's.  Construction goes through the
  // type's allocation slot, which stays, and copies through __reduce__, so
  // the entry goes.
  if (PyObject_DelAttrString(m.attr("NNLSResult").ptr(), "__new__") != 0) {
    throw nb::python_error();
  }

  m.def("nnls", &tovrin::front::nnls, "A"_a.none(), "b"_a.none(), "maxiter"_a.none(), "threads"_a.none(),
        "check_finite"_a.none(), "method"_a.none(), "x0"_a.none(), "solver"_a.none() = nb::none(),
        "The implementation of tovrin.nnls; call that.");
  m.def("nnls_gram", &tovrin::front::nnls_gram, "AtA"_a.none(), "Atb"_a.none(),
        "btb"_a.none(), "maxiter"_a.none(), "threads"_a.none(), "x0"_a.none(),
        "solver"_a.none() = nb::none(),
        "The implementation of tovrin.nnls_gram; call that.");
  m.def("gram_certify", &tovrin::front::gram_certify, "AtA"_a, "Atb"_a, "btb"_a, "x"_a,
        "passive"_a, "status"_a, "rows"_a, "residual_squares"_a, "duals"_a,
        "tovrin.dask's certificate of Gram-form solutions against a pass over A.");
  m.def("plan_summary", &tovrin::front::plan_summary, "m"_a, "n"_a, "k"_a, "method"_a,
        "maxiter"_a.none(),
        "(uses_gram, limit): the plan's choice for tovrin.nnls on A (m, n) and k problems.");
  m.def(
      "warn",
      [](nb::handle status, std::int64_t maxiter, bool single, int stacklevel) {
        const tovrin::front::RealArray codes(status, "status");
        const tovrin::StridedMatrix v = codes.matrix();
        std::vector<std::int64_t> values(std::size_t(v.rows));
        for (std::int64_t j = 0; j < v.rows; ++j) values[j] = std::int64_t(v(j, 0));
        tovrin::front::warn_statuses(values.data(), v.rows, single, maxiter, stacklevel);
      },
      "status"_a, "maxiter"_a, "single"_a, "stacklevel"_a,
      "One warning of each class that the statuses call for (tovrin.dask).");
  m.def("_exact_kernels", &exact_kernels,
        "The exact method's kernel path in this process (tovrin.show_config).");
  m.def("_dense_kernels", &dense_kernels,
        "The Gram method's dense kernels in this process (tovrin.show_config).");
}
