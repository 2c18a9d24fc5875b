// Argument conversion for call bindings.  See conversion.h.
#include "conversion.h"

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

static_assert(sizeof(int) == 4, "native routines take 32-bit integers");

namespace {

const char kUndefinedDims[] =
    "failed to create intent(cache|hide)|optional array-- must have defined "
    "dimensions but got (";
const char kUnexpectedSize[] =
    "unexpected array size: size=%ld, arr_size=%ld, rank=%d, effrank=%d, "
    "arr.nd=%d, dims=[";

// Longest text of a refused shape; longer texts are cut.
constexpr std::size_t kMaxShapeMessage = 199;

// Recursion guard text for nested integer arguments; the argument's own text
// replaces it when the conversion fails.
const char kNestedInt[] = " while converting a nested argument to int";

// ---------------------------------------------------------------- extents

std::string format_long(const char* format, long value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// Product of extents in two's-complement arithmetic (no overflow trap):
// equal to the element count whenever the extents describe a real array.
npy_intp extent_product(const npy_intp* dims, int count) {
  std::uint64_t product = 1;
  for (int i = 0; i < count; ++i) product *= static_cast<std::uint64_t>(dims[i]);
  return static_cast<npy_intp>(product);
}

int count_above_one(const npy_intp* shape, int nd) {
  int count = 0;
  for (int i = 0; i < nd; ++i) count += shape[i] > 1;
  return count;
}

// Extents of an array with more dimensions than rank: the first rank-1
// extents > 1 give the leading extents, every later extent > 1 multiplies
// into the last one; missing extents are 1.
void fold_extents(const npy_intp* shape, int nd, int rank, npy_intp* dims) {
  for (int k = 0; k < rank; ++k) dims[k] = 1;
  int k = 0;
  for (int i = 0; i < nd; ++i) {
    if (shape[i] <= 1) continue;
    if (k < rank - 1) {
      dims[k++] = shape[i];
    } else {
      dims[rank - 1] = static_cast<npy_intp>(
          static_cast<std::uint64_t>(dims[rank - 1]) *
          static_cast<std::uint64_t>(shape[i]));
    }
  }
}

// Extents of an array with at most rank dimensions: its own, then 1s; an
// empty vector read as a matrix has one row and no columns.
void pad_extents(const npy_intp* shape, int nd, int rank, npy_intp* dims) {
  for (int k = 0; k < rank; ++k) dims[k] = k < nd ? shape[k] : 1;
  if (nd == 1 && rank == 2 && shape[0] == 0) {
    dims[0] = 1;
    dims[1] = 0;
  }
}

void set_unexpected_size(PyArrayObject* arr, int rank, const npy_intp* dims) {
  const int nd = PyArray_NDIM(arr);
  const npy_intp* shape = PyArray_DIMS(arr);
  char head[256];
  std::snprintf(head, sizeof head, kUnexpectedSize,
                static_cast<long>(extent_product(dims, rank)),
                static_cast<long>(PyArray_SIZE(arr)), rank,
                count_above_one(shape, nd), nd);
  std::string text;
  try {
    text = head;
    for (int k = 0; k < rank; ++k) text += format_long(" %ld", dims[k]);
    text += " ], arr.dims=[";
    for (int i = 0; i < nd; ++i) text += format_long(" %ld", shape[i]);
    text += " ]\n";
    if (text.size() > kMaxShapeMessage) text.resize(kMaxShapeMessage);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return;
  }
  PyErr_SetString(PyExc_ValueError, text.c_str());
}

// ------------------------------------------------------------------ arrays

// New reference to a zero-filled column-major array of extents dims.
PyArrayObject* new_zeroed(int type_num, const npy_intp* dims, int rank) {
  for (int k = 0; k < rank; ++k) {
    if (dims[k] >= 0) continue;
    std::string text;
    try {
      text = kUndefinedDims;
      for (int i = 0; i < rank; ++i) text += format_long("%ld,", dims[i]);
      text += ")";
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return nullptr;
    }
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
  }
  return reinterpret_cast<PyArrayObject*>(
      PyArray_ZEROS(rank, const_cast<npy_intp*>(dims), type_num, 1));
}

int element_size(int type_num) {
  PyArray_Descr* descr = PyArray_DescrFromType(type_num);  // new reference
  if (descr == nullptr) return -1;
  const int size = static_cast<int>(PyDataType_ELSIZE(descr));
  Py_DECREF(descr);
  return size;
}

// Floating types stand in for one another, and so do integer types, as long
// as the element size agrees too.
bool kind_matches(PyArrayObject* arr, int type_num) {
  if (PyTypeNum_ISFLOAT(type_num)) return PyArray_ISFLOAT(arr);
  if (PyTypeNum_ISINTEGER(type_num)) return PyArray_ISINTEGER(arr);
  return PyArray_TYPE(arr) == type_num;
}

// True when a native routine may work in arr itself.
bool usable_in_place(PyArrayObject* arr, int type_num, int intent) {
  return (intent & F2PY_INTENT_COPY) == 0 &&
         PyArray_ITEMSIZE(arr) == element_size(type_num) &&
         kind_matches(arr, type_num) && PyArray_ISFARRAY(arr) &&
         PyArray_DESCR(arr)->byteorder != '>';
}

// New reference to a column-major array of type_num with the extents of
// arr, filled from arr by a cast that may lose information.
PyArrayObject* cast_copy(PyArrayObject* arr, int type_num) {
  PyArrayObject* copy = reinterpret_cast<PyArrayObject*>(
      PyArray_New(&PyArray_Type, PyArray_NDIM(arr), PyArray_DIMS(arr),
                  type_num, nullptr, nullptr, 0, NPY_ARRAY_F_CONTIGUOUS,
                  nullptr));
  if (copy == nullptr) return nullptr;
  if (PyArray_CopyInto(copy, arr) < 0) {
    Py_DECREF(copy);
    return nullptr;
  }
  return copy;
}

// ---------------------------------------------------------------- integers

bool store_low_bits(int* v, PyObject* integer) {
  const long value = PyLong_AsLong(integer);
  if (value == -1 && PyErr_Occurred()) return false;
  *v = static_cast<int>(static_cast<unsigned int>(value));
  return true;
}

// New reference to the object that stands in for obj after int(obj) failed:
// the real part of a complex, the first item of a sequence that is not str
// or bytes.  Null when there is none; the pending exception is then int()'s
// failure or the failure of the fetch.
PyObject* stand_in(PyObject* obj) {
  const bool is_complex = PyComplex_Check(obj);
  if (!is_complex &&
      (PyBytes_Check(obj) || PyUnicode_Check(obj) || !PySequence_Check(obj))) {
    return nullptr;
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);  // int()'s failure, now owned
  PyObject* fetched = is_complex ? PyObject_GetAttrString(obj, "real")
                                 : PySequence_GetItem(obj, 0);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  return fetched;
}

bool int_value(int* v, PyObject* obj) {
  if (PyLong_Check(obj)) return store_low_bits(v, obj);
  PyObject* integer = PyNumber_Long(obj);  // new reference
  if (integer != nullptr) {
    const bool ok = store_low_bits(v, integer);
    Py_DECREF(integer);
    return ok;
  }
  PyObject* inner = stand_in(obj);  // new reference
  if (inner == nullptr) return false;
  bool ok = false;
  // Nesting is bounded by the interpreter's recursion limit: a sequence
  // that holds itself as its first item fails instead of recursing forever.
  if (Py_EnterRecursiveCall(kNestedInt) == 0) {
    ok = int_value(v, inner);
    Py_LeaveRecursiveCall();
  }
  Py_DECREF(inner);
  return ok;
}

}  // namespace

int check_and_fix_dimensions(PyArrayObject* arr, int rank, npy_intp* dims) {
  const int nd = PyArray_NDIM(arr);
  const npy_intp* shape = PyArray_DIMS(arr);
  if (nd <= rank) {
    pad_extents(shape, nd, rank, dims);
    return 0;
  }
  fold_extents(shape, nd, rank, dims);
  // Folding keeps the element count exactly when no extent is 0.
  if (extent_product(dims, rank) != PyArray_SIZE(arr)) {
    set_unexpected_size(arr, rank, dims);
    return -1;
  }
  return 0;
}

PyArrayObject* array_from_pyobj(int type_num, npy_intp* dims, int rank,
                                int intent, PyObject* obj) {
  if (intent & F2PY_INTENT_HIDE) return new_zeroed(type_num, dims, rank);
  if (PyArray_Check(obj)) {
    PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (check_and_fix_dimensions(arr, rank, dims) < 0) return nullptr;
    if (usable_in_place(arr, type_num, intent)) {
      Py_INCREF(arr);
      return arr;
    }
    return cast_copy(arr, type_num);
  }
  PyArrayObject* arr = reinterpret_cast<PyArrayObject*>(PyArray_FromAny(
      obj, PyArray_DescrFromType(type_num), 0, 0,
      NPY_ARRAY_FARRAY | NPY_ARRAY_FORCECAST, nullptr));
  if (arr == nullptr) return nullptr;
  if (check_and_fix_dimensions(arr, rank, dims) < 0) {
    Py_DECREF(arr);
    return nullptr;
  }
  return arr;
}

int int_from_pyobj(int* v, PyObject* obj, const char* errmess,
                   PyObject* error) {
  if (int_value(v, obj)) return 1;
  PyObject* pending = PyErr_Occurred();  // borrowed
  if (pending != nullptr) {
    Py_INCREF(pending);
    PyErr_SetString(pending, errmess);
    Py_DECREF(pending);
  } else {
    PyErr_SetString(error, errmess);
  }
  return 0;
}
