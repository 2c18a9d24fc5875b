// The front door of the package: every argument of tovrin.nnls (every
// method), tovrin.nnls_gram and the client-side checks of tovrin.dask.nnls
// is read and checked here, once, and every result is assembled here.  The
// kernels behind it (the exact batch solver in batch.h, the Gram method in
// tovrin/_gram_method.py) receive checked arrays and only compute.
//
// Arrays come in through the buffer protocol and go out as arrays made by
// numpy.empty, so one build serves every NumPy version; the texts of every
// error and warning come from tovrin._texts.
#ifndef TOVRIN_FRONT_H
#define TOVRIN_FRONT_H

#include <nanobind/nanobind.h>

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "exact/batch.h"
#include "front/plan.h"

namespace tovrin {
namespace front {

namespace nb = nanobind;

// Objects of numpy and of the package looked up once at import, held for
// the life of the process.
struct Imports {
  PyObject* empty;            // numpy.empty
  PyObject* ndarray;          // numpy.ndarray
  PyObject* masked_array;     // numpy.ma.MaskedArray
  PyObject* float64;          // numpy.dtype('float64')
  PyObject* bool_;            // numpy.dtype('bool')
  PyObject* int64;            // numpy.dtype('int64')
  PyObject* status;           // tovrin.Status
  PyObject* solved;           // tovrin.Status.SOLVED
  PyObject* limit_warning;    // tovrin.IterationLimitWarning
  PyObject* accuracy_warning;  // tovrin.GramAccuracyWarning
  PyObject* finite_warning;   // tovrin.NonFiniteResultWarning
  PyObject* as_real_array;    // tovrin._convert.as_real_array
  PyObject* texts;            // the module tovrin._texts
  PyObject* exact;            // "exact", the method of most results
};
extern Imports imports;
void load_imports();

// Named fields of a text: {"name", nb::str("A")}, ...
using Fields = std::initializer_list<std::pair<const char*, nb::handle>>;

// tovrin._texts.<key> formatted with the fields.
nb::object text(const char* key, Fields fields);
[[noreturn]] void raise_text(PyObject* type, const char* key, Fields fields);

// A caller's array argument as a read-only buffer of float64: the object
// itself when it exposes one, otherwise the array that as_real_array makes
// of it (which refuses what is not real, and masked arrays).  Holds the
// buffer, and any converted array, until destroyed.
class RealArray {
 public:
  RealArray(nb::handle obj, const char* name);
  ~RealArray() { PyBuffer_Release(&view_); }
  RealArray(const RealArray&) = delete;
  RealArray& operator=(const RealArray&) = delete;

  int ndim() const { return view_.ndim; }
  Py_ssize_t extent(int d) const { return view_.shape[d]; }
  Py_ssize_t size() const;
  // The array as a matrix: a 1-dimensional one is a single column, a
  // 0-dimensional one a 1 x 1 matrix.  Needs ndim() <= 2.
  StridedMatrix matrix() const;
  // The shape as a new tuple, for messages.
  nb::object shape() const;
  // The data as a numpy array of float64 (the object itself when it is one).
  nb::object array() const;

 private:
  bool take(nb::handle obj);

  Py_buffer view_{};
  nb::object source_;
  Py_ssize_t steps_[2] = {0, 0};  // strides in bytes, filled in when the exporter gave none
};

// maxiter or threads: None gives none_value, an int >= 1 its value (larger
// than int64 saturates); a bool or a value below 1 raises ValueError, a
// non-integer TypeError.
std::int64_t positive_int(nb::handle value, const char* name, std::int64_t none_value);
Method read_method(nb::handle value);
bool read_flag(nb::handle value);

// x0 as a new (n, k) float64 array in C order, or None: shape (n,) (for
// every problem) or, for b of shape (m, k), (n, k); finite.  `against`
// names the arguments its shape must match, for the message.
nb::object read_start(nb::handle value, std::int64_t n, std::int64_t k, bool single,
                      const char* against);

// The outputs of k problems with n variables, allocated as the result will
// hold them: x, dual and passive (n,) or (n, k) in C order, rnorm,
// iterations and status (k,) (scalars held here when single).
class Outputs {
 public:
  Outputs(std::int64_t n, std::int64_t k, bool single);

  BatchResults view();
  std::int64_t n() const { return n_; }
  std::int64_t k() const { return k_; }
  bool single() const { return single_; }

  // The NNLSResult of these outputs, its arrays made read-only; one warning
  // of each class for the problems whose status calls for it, attributed to
  // the frame `stacklevel` levels up (2: the caller of a function of the
  // package that called here).
  nb::object result(const char* method, std::int64_t limit, int stacklevel = 2);

 private:
  // An output array and its data (a new C-ordered ndarray's own).
  struct Array {
    nb::object object;
    void* data = nullptr;
  };
  void allocate(Array& a, nb::handle shape, PyObject* dtype);

  std::int64_t n_, k_;
  bool single_;
  Array x_, dual_, passive_, rnorm_, iterations_, status_;
  double rnorm_one_ = 0.0;
  std::int64_t iterations_one_ = 0, status_one_ = 0;
};

// One warning of each class for the statuses of k problems.
void warn_statuses(const std::int64_t* status, std::int64_t k, bool single,
                   std::int64_t limit, int stacklevel);

// The fields of the problems whose solver left them describing another x
// (status::refit, or a stop on the limit) recomputed from x; a problem
// whose x, dual or rnorm is not finite gets status::not_finite.
// Least-squares form: from A and b.
void settle_fields(const StridedMatrix& a, const StridedMatrix& b, const BatchResults& out,
                   std::int64_t k);
// Gram form: from G, c and btb (null: unknown, rnorm stays NaN).
void settle_gram_fields(const StridedMatrix& g, const StridedMatrix& c, const double* btb,
                        const BatchResults& out, std::int64_t k);

// tovrin.nnls(A, b, maxiter=, threads=, check_finite=, method=, x0=).
// solver: None, or for the tests the Gram method's solver to use
// ("one_at_a_time", "many", "large").
nb::object nnls(nb::handle a, nb::handle b, nb::handle maxiter, nb::handle threads,
                nb::handle check_finite, nb::handle method, nb::handle x0,
                nb::handle solver = nb::none());
// tovrin.nnls_gram(AtA, Atb, btb=, maxiter=, threads=, x0=).
nb::object nnls_gram(nb::handle g, nb::handle c, nb::handle btb, nb::handle maxiter,
                     nb::handle threads, nb::handle x0, nb::handle solver = nb::none());

// tovrin.dask's certificate of Gram-form solutions against a pass over A:
// (AtA, Atb, btb, x, passive, status, rows, residual_squares, duals) ->
// (x, status, rnorm, dual), x refined by one step (gram::certify_residual).
nb::object gram_certify(nb::handle g, nb::handle c, nb::handle btb, nb::handle x,
                        nb::handle passive, nb::handle status, std::int64_t rows,
                        nb::handle residual_squares, nb::handle duals);

// The plan's method and limit for tovrin.nnls on A (m x n) with k
// right-hand sides: (uses_gram, limit), for tovrin.dask, which decides once
// for all its blocks.
nb::object plan_summary(std::int64_t m, std::int64_t n, std::int64_t k, nb::handle method,
                        nb::handle maxiter);

struct NNLSResult {
  nb::object x, rnorm, dual, passive, iterations, status, converged, method;
};

}  // namespace front
}  // namespace tovrin

#endif  // TOVRIN_FRONT_H
