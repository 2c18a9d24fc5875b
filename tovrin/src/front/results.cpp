// Assembling results: the outputs' arrays, the fields recomputed where the
// solver left them describing another x, the statuses, the warnings and
// the NNLSResult itself.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "front/fields.h"
#include "front/front.h"
#include "common/status.h"

namespace tovrin {
namespace front {

namespace {

// The array's flags say read-only from now on.  Here and in allocate only
// the ndarray's own fields are touched (its flag word and data pointer,
// laid out alike in every NumPy release this package supports), so NumPy's
// C API is not needed.
void freeze(const nb::object& array) {
  PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(array.ptr()), NPY_ARRAY_WRITEABLE);
}

// finite[j] = 0 for the problems j whose x or dual holds NaN or infinity:
// one pass over the (n, k) arrays in memory order.
std::vector<unsigned char> finite_columns(const BatchResults& out, std::int64_t n,
                                          std::int64_t k) {
  std::vector<unsigned char> finite(static_cast<std::size_t>(k), 1);
  for (std::int64_t i = 0; i < n; ++i) {
    const double* x = out.x + i * k;
    const double* dual = out.dual + i * k;
    for (std::int64_t j = 0; j < k; ++j) {
      // x - x and dual - dual are 0 for finite values, NaN otherwise.
      finite[j] &= static_cast<unsigned char>((x[j] - x[j]) + (dual[j] - dual[j]) == 0.0);
    }
  }
  return finite;
}

// At a stop on the limit the solution set may hold a variable that has just
// entered, still at zero: x was computed on the others.
void drop_zeros_from_set(const BatchResults& out, std::int64_t n, std::int64_t k,
                         std::int64_t j) {
  for (std::int64_t i = 0; i < n; ++i) {
    if (!(out.x[i * k + j] > 0.0)) out.passive[i * k + j] = false;
  }
}

// The pass shared by both forms: refit(j) recomputes problem j's fields.
template <class Refit>
void settle(const BatchResults& out, std::int64_t n, std::int64_t k, bool check_rnorm,
            const Refit& refit) {
  for (std::int64_t j = 0; j < k; ++j) {
    std::int64_t code = out.status[j];
    const bool at_limit = (code & ~status::refit) == status::iteration_limit;
    if (at_limit || (code & status::refit) != 0) {
      code &= ~status::refit;
      if (at_limit) drop_zeros_from_set(out, n, k, j);
      refit(j);
    }
    out.status[j] = code;
  }
  // After the refits, which may change x's fields.
  const std::vector<unsigned char> finite = finite_columns(out, n, k);
  for (std::int64_t j = 0; j < k; ++j) {
    if (!finite[j] || (check_rnorm && !std::isfinite(out.rnorm[j]))) {
      out.status[j] = status::not_finite;
    }
  }
}

nb::object status_member(std::int64_t code) {
  return nb::handle(imports.status)(code);
}

void warn(PyObject* category, const char* key_one, const char* key_many, std::int64_t count,
          std::int64_t k, bool single, std::int64_t limit, int stacklevel) {
  if (count == 0) return;
  nb::object message = single ? text(key_one, {{"maxiter", nb::int_(limit)}})
                              : text(key_many, {{"count", nb::int_(count)},
                                                {"total", nb::int_(k)},
                                                {"maxiter", nb::int_(limit)}});
  if (!message.is_valid()) throw nb::python_error();
  if (PyErr_WarnEx(category, PyUnicode_AsUTF8(message.ptr()), stacklevel) != 0) {
    throw nb::python_error();
  }
}

}  // namespace

void settle_fields(const StridedMatrix& a, const StridedMatrix& b, const BatchResults& out,
                   std::int64_t k) {
  const std::int64_t n = a.cols;
  std::vector<double> r;
  settle(out, n, k, true, [&](std::int64_t j) {
    refit_least_squares(a, b, j, {out.x + j, k}, {out.dual + j, k}, out.rnorm[j], r);
  });
}

void settle_gram_fields(const StridedMatrix& g, const StridedMatrix& c, const double* btb,
                        const BatchResults& out, std::int64_t k) {
  settle(out, g.rows, k, btb != nullptr, [&](std::int64_t j) {
    refit_gram(g, c, j, btb != nullptr ? btb[j] : -1.0, {out.x + j, k}, {out.dual + j, k},
               out.rnorm[j]);
  });
}

void warn_statuses(const std::int64_t* status, std::int64_t k, bool single,
                   std::int64_t limit, int stacklevel) {
  std::int64_t counts[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  for (std::int64_t j = 0; j < k; ++j) {
    if (status[j] >= 0 && status[j] < 8) ++counts[status[j]];
  }
  warn(imports.limit_warning, "LIMIT_ONE", "LIMIT_MANY", counts[status::iteration_limit], k,
       single, limit, stacklevel);
  warn(imports.accuracy_warning, "INACCURATE_ONE", "INACCURATE_MANY",
       counts[status::gram_inaccurate], k, single, limit, stacklevel);
  warn(imports.accuracy_warning, "INDEFINITE_ONE", "INDEFINITE_MANY",
       counts[status::gram_indefinite], k, single, limit, stacklevel);
  warn(imports.finite_warning, "NON_FINITE_ONE", "NON_FINITE_MANY", counts[status::not_finite],
       k, single, limit, stacklevel);
}

void Outputs::allocate(Array& a, nb::handle shape, PyObject* dtype) {
  PyObject* args[] = {shape.ptr(), dtype};
  nb::object array = nb::steal(PyObject_Vectorcall(imports.empty, args, 2, nullptr));
  if (!array.is_valid()) throw nb::python_error();
  // A new ndarray from numpy.empty: C-contiguous, aligned and writable, so
  // its data pointer is all the solver needs (no buffer to hold).
  a.data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.ptr()));
  a.object = std::move(array);
}

Outputs::Outputs(std::int64_t n, std::int64_t k, bool single) : n_(n), k_(k), single_(single) {
  nb::object shape = single ? nb::object(nb::int_(n)) : nb::object(nb::make_tuple(n, k));
  allocate(x_, shape, imports.float64);
  allocate(dual_, shape, imports.float64);
  allocate(passive_, shape, imports.bool_);
  if (single) return;
  nb::object problems = nb::int_(k);
  allocate(rnorm_, problems, imports.float64);
  allocate(iterations_, problems, imports.int64);
  allocate(status_, problems, imports.int64);
}

BatchResults Outputs::view() {
  auto data = [](const Array& a) { return a.data; };
  // One problem made here keeps rnorm, iterations and status as scalars.
  const bool scalars = single_ && !rnorm_.object.is_valid();
  return {static_cast<double*>(data(x_)), static_cast<double*>(data(dual_)),
          static_cast<bool*>(data(passive_)),
          scalars ? &rnorm_one_ : static_cast<double*>(data(rnorm_)),
          scalars ? &iterations_one_ : static_cast<std::int64_t*>(data(iterations_)),
          scalars ? &status_one_ : static_cast<std::int64_t*>(data(status_))};
}

nb::object Outputs::result(const char* method, std::int64_t limit, int stacklevel) {
  const BatchResults out = view();
  warn_statuses(out.status, k_, single_, limit, stacklevel);
  freeze(x_.object);
  freeze(dual_.object);
  freeze(passive_.object);
  NNLSResult r{x_.object, {}, dual_.object, passive_.object, {}, {}, {}, {}};
  r.method = std::strcmp(method, "exact") == 0 ? nb::borrow(imports.exact) : nb::str(method);
  if (single_) {
    r.rnorm = nb::float_(out.rnorm[0]);
    r.iterations = nb::int_(out.iterations[0]);
    r.status = out.status[0] == status::solved ? nb::borrow(imports.solved)
                                               : status_member(out.status[0]);
    r.converged = nb::bool_(out.status[0] == status::solved);
    return nb::cast(std::move(r));
  }
  Array converged;
  allocate(converged, nb::int_(k_), imports.bool_);
  bool* c = static_cast<bool*>(converged.data);
  for (std::int64_t j = 0; j < k_; ++j) c[j] = out.status[j] == status::solved;
  for (const Array* a : {&rnorm_, &iterations_, &status_, &converged}) freeze(a->object);
  r.rnorm = rnorm_.object;
  r.iterations = iterations_.object;
  r.status = status_.object;
  r.converged = converged.object;
  return nb::cast(std::move(r));
}

}  // namespace front
}  // namespace tovrin
