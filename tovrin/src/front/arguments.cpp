// Reading the caller's arguments: arrays through the buffer protocol,
// counts, the method, x0.  Every refusal takes its text from tovrin._texts.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include "front/front.h"

namespace tovrin {
namespace front {

Imports imports;

namespace {

PyObject* new_reference(nb::handle h) { return h.inc_ref().ptr(); }

bool is_native_float64(const Py_buffer& view) {
  if (view.itemsize != sizeof(double) || view.format == nullptr) return false;
  const std::string f(view.format);
  return f == "d" || f == "@d" || f == "=d" ||
         (f == "<d" && PY_LITTLE_ENDIAN) || (f == ">d" && PY_BIG_ENDIAN);
}

}  // namespace

void load_imports() {
  nb::module_ numpy = nb::module_::import_("numpy");
  nb::module_ ma = nb::module_::import_("numpy.ma");
  nb::module_ status = nb::module_::import_("tovrin._status");
  nb::module_ convert = nb::module_::import_("tovrin._convert");
  nb::object dtype = numpy.attr("dtype");
  imports.empty = new_reference(numpy.attr("empty"));
  imports.ndarray = new_reference(numpy.attr("ndarray"));
  imports.masked_array = new_reference(ma.attr("MaskedArray"));
  imports.float64 = new_reference(dtype("float64"));
  imports.bool_ = new_reference(dtype("bool"));
  imports.int64 = new_reference(dtype("int64"));
  imports.status = new_reference(status.attr("Status"));
  imports.solved = new_reference(status.attr("Status").attr("SOLVED"));
  imports.limit_warning = new_reference(status.attr("IterationLimitWarning"));
  imports.accuracy_warning = new_reference(status.attr("GramAccuracyWarning"));
  imports.finite_warning = new_reference(status.attr("NonFiniteResultWarning"));
  imports.as_real_array = new_reference(convert.attr("as_real_array"));
  imports.texts = new_reference(nb::module_::import_("tovrin._texts"));
  // Interned: the same object as the default of tovrin.nnls's method.
  imports.exact = PyUnicode_InternFromString("exact");
  if (imports.exact == nullptr) throw nb::python_error();
}

nb::object text(const char* key, Fields fields) {
  nb::dict named;
  for (const auto& [name, value] : fields) named[name] = value;
  nb::object format = nb::handle(imports.texts).attr(key).attr("format");
  return nb::steal(PyObject_Call(format.ptr(), nb::tuple().ptr(), named.ptr()));
}

void raise_text(PyObject* type, const char* key, Fields fields) {
  nb::object message = text(key, fields);
  if (!message.is_valid()) throw nb::python_error();
  PyErr_SetObject(type, message.ptr());
  throw nb::python_error();
}

RealArray::RealArray(nb::handle obj, const char* name) {
  // A masked array exposes its data as a buffer; as_real_array refuses it.
  const bool plain = Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject*>(imports.ndarray);
  if (plain && take(obj)) return;
  if (!plain) {
    const int masked = PyObject_IsInstance(obj.ptr(), imports.masked_array);
    if (masked < 0) throw nb::python_error();
    if (!masked && take(obj)) return;
  }
  PyObject* converted = PyObject_CallFunction(imports.as_real_array, "Os", obj.ptr(), name);
  if (converted == nullptr) throw nb::python_error();
  nb::object array = nb::steal(converted);
  if (!take(array)) raise_text(PyExc_TypeError, "NOT_READABLE", {{"name", nb::str(name)}});
}

bool RealArray::take(nb::handle obj) {
  if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    view_.obj = nullptr;
    return false;
  }
  // Indirect buffers (suboffsets) are read through NumPy instead.
  if (!is_native_float64(view_) || view_.suboffsets != nullptr || view_.ndim < 0) {
    PyBuffer_Release(&view_);
    return false;
  }
  // An exporter may leave the strides out for contiguous data: C order.
  Py_ssize_t step = view_.itemsize;
  for (int d = std::min(view_.ndim, 2) - 1; d >= 0; --d) {
    steps_[d] = view_.strides != nullptr ? view_.strides[d] : step;
    step *= view_.shape[d];
  }
  source_ = nb::borrow(obj);
  return true;
}

Py_ssize_t RealArray::size() const {
  Py_ssize_t count = 1;
  for (int d = 0; d < view_.ndim; ++d) count *= view_.shape[d];
  return count;
}

StridedMatrix RealArray::matrix() const {
  const char* base = static_cast<const char*>(view_.buf);
  switch (view_.ndim) {
    case 0: return {base, 1, 1, 0, 0};
    case 1: return {base, view_.shape[0], 1, steps_[0], 0};
    default: return {base, view_.shape[0], view_.shape[1], steps_[0], steps_[1]};
  }
}

nb::object RealArray::shape() const {
  nb::object t = nb::steal(PyTuple_New(view_.ndim));
  if (!t.is_valid()) throw nb::python_error();
  for (int d = 0; d < view_.ndim; ++d) {
    PyObject* extent = PyLong_FromSsize_t(view_.shape[d]);
    if (extent == nullptr) throw nb::python_error();
    PyTuple_SET_ITEM(t.ptr(), d, extent);  // steals extent
  }
  return t;
}

nb::object RealArray::array() const {
  if (PyObject_TypeCheck(source_.ptr(), reinterpret_cast<PyTypeObject*>(imports.ndarray))) {
    return source_;
  }
  return nb::module_::import_("numpy").attr("asarray")(source_);
}

std::int64_t positive_int(nb::handle value, const char* name, std::int64_t none_value) {
  if (value.is_none()) return none_value;
  auto refuse = [&](PyObject* type) {
    raise_text(type, "POSITIVE_INT", {{"name", nb::str(name)}, {"value", value}});
  };
  if (PyBool_Check(value.ptr())) refuse(PyExc_ValueError);
  if (!PyIndex_Check(value.ptr())) refuse(PyExc_TypeError);
  nb::object index = nb::steal(PyNumber_Index(value.ptr()));
  if (!index.is_valid()) {
    // An object whose __index__ refuses (a NumPy array of one element, say)
    // is not an integer either.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    refuse(PyExc_TypeError);
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw nb::python_error();
  if (overflow > 0) return std::numeric_limits<std::int64_t>::max();
  if (overflow < 0 || v < 1) refuse(PyExc_ValueError);
  return v;
}

Method read_method(nb::handle value) {
  if (value.ptr() == imports.exact) return Method::exact;
  if (PyUnicode_Check(value.ptr())) {
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "exact") == 0) return Method::exact;
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "gram") == 0) return Method::gram;
    if (PyUnicode_CompareWithASCIIString(value.ptr(), "auto") == 0) return Method::automatic;
  }
  raise_text(PyExc_ValueError, "METHOD", {{"value", value}});
}

bool read_flag(nb::handle value) {
  if (value.ptr() == Py_True) return true;
  if (value.ptr() == Py_False) return false;
  const int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw nb::python_error();
  return truth != 0;
}

nb::object read_start(nb::handle value, std::int64_t n, std::int64_t k, bool single,
                      const char* against) {
  if (value.is_none()) return nb::none();
  const RealArray x0(value, "x0");
  const bool fits = (x0.ndim() == 1 && x0.extent(0) == n) ||
                    (x0.ndim() == 2 && !single && x0.extent(0) == n && x0.extent(1) == k) ||
                    (x0.ndim() == 2 && single && x0.extent(0) == n && x0.extent(1) == 1);
  if (!fits) {
    nb::object want = single ? nb::make_tuple(n) : nb::make_tuple(n, k);
    raise_text(PyExc_ValueError, "X0_SHAPE",
               {{"want", want}, {"against", nb::str(against)}, {"shape", x0.shape()}});
  }
  const StridedMatrix v = x0.matrix();
  if (!v.all_finite()) raise_text(PyExc_ValueError, "NOT_FINITE", {{"name", nb::str("x0")}});
  nb::object start = nb::handle(imports.empty)(nb::make_tuple(n, k));
  Py_buffer out{};
  if (PyObject_GetBuffer(start.ptr(), &out, PyBUF_WRITABLE) != 0) throw nb::python_error();
  double* data = static_cast<double*>(out.buf);
  const bool shared = v.cols == 1;  // one start for every problem
  for (std::int64_t i = 0; i < n; ++i) {
    for (std::int64_t j = 0; j < k; ++j) data[i * k + j] = v(i, shared ? 0 : j);
  }
  PyBuffer_Release(&out);
  return start;
}

}  // namespace front
}  // namespace tovrin
