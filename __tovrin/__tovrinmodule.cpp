// The extension module __tovrin: its routine definition table, the call
// binding of nnls and module initialisation.
#include "numpy_api.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "conversion.h"
#include "fortranobject.h"
#include "nnls.h"

// NumPy's API function table, filled by import_numpy_api.
void** _npy_f2py_ARRAY_API = nullptr;

#if TOVRIN_NUMPY_HEADERS_MAJOR >= 2
// The running NumPy's API feature version, set by import_numpy_api; NumPy 2's
// accessors read it to choose between the descriptor layouts of 1.x and 2.x.
int PyArray_RUNTIME_VERSION = 0;
#endif

// The module's exception class "__tovrin.error"; holds its creation
// reference for the life of the process.
static PyObject* __tovrin_error = nullptr;

namespace {

// ------------------------------------------------------------------ texts

const char doc_f2py_rout___tovrin_nnls[] =
    "x,rnorm,mode = nnls(a,m,n,b,w,zz,index_bn,maxiter,"
    "[mda,overwrite_a,overwrite_b])\n"
    "\n"
    "Wrapper for ``nnls``.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "a : input rank-2 array('d') with bounds (mda,*)\n"
    "m : input int\n"
    "n : input int\n"
    "b : input rank-1 array('d') with bounds (*)\n"
    "w : input rank-1 array('d') with bounds (*)\n"
    "zz : input rank-1 array('d') with bounds (*)\n"
    "index_bn : input rank-1 array('i') with bounds (*)\n"
    "maxiter : input int\n"
    "\n"
    "Other Parameters\n"
    "----------------\n"
    "overwrite_a : input int, optional\n"
    "    Default: 0\n"
    "mda : input int, optional\n"
    "    Default: shape(a,0)\n"
    "overwrite_b : input int, optional\n"
    "    Default: 0\n"
    "\n"
    "Returns\n"
    "-------\n"
    "x : rank-1 array('d') with bounds (n)\n"
    "rnorm : float\n"
    "mode : int";

const char kModuleDoc[] =
    "This module '__tovrin' is auto-generated with f2py (version:2).\n"
    "Functions:\n"
    "  x,rnorm,mode = nnls(a,m,n,b,w,zz,index_bn,maxiter,mda=shape(a,0),"
    "overwrite_a=0,overwrite_b=0)\n"
    ".";

const char kVersion[] = "$Revision: $";

const char kArgFormat[] = "OOOOOOOO|Oii:__tovrin.nnls";

const char kConvertA[] =
    "failed in converting 1st argument `a' of __tovrin.nnls to C/Fortran array";
const char kConvertB[] =
    "failed in converting 4th argument `b' of __tovrin.nnls to C/Fortran array";
const char kConvertW[] =
    "failed in converting 5th argument `w' of __tovrin.nnls to C/Fortran array";
const char kConvertZz[] =
    "failed in converting 6th argument `zz' of __tovrin.nnls to C/Fortran "
    "array";
const char kConvertIndex[] =
    "failed in converting 7th argument `index_bn' of __tovrin.nnls to "
    "C/Fortran array";
const char kConvertX[] =
    "failed in converting hidden `x' of __tovrin.nnls to C/Fortran array";

const char kIntM[] = "__tovrin.nnls() 2nd argument (m) can't be converted to int";
const char kIntN[] = "__tovrin.nnls() 3rd argument (n) can't be converted to int";
const char kIntMaxiter[] =
    "__tovrin.nnls() 8th argument (maxiter) can't be converted to int";
const char kIntMda[] =
    "__tovrin.nnls() 1st keyword (mda) can't be converted to int";

// Failed checks between arguments: "<condition>: nnls:<name>=<value>".
const char kCheckFormat[] = "%s: nnls:%s=%d";
const char kCheckMda[] = "(shape(a,0)==mda) failed for 1st keyword mda";
const char kCheckRowsA[] = "(shape(a,0)>=m) failed for 1st argument a";
const char kCheckColsA[] = "(shape(a,1)>=n) failed for 1st argument a";
const char kCheckLenB[] = "(len(b)>=m) failed for 4th argument b";
const char kCheckLenW[] = "(len(w)>=n) failed for 5th argument w";
const char kCheckLenZz[] = "(len(zz)>=m) failed for 6th argument zz";
const char kCheckLenIndex[] =
    "(len(index_bn)>=n) failed for 7th argument index_bn";
// Two arrays whose bytes the solver uses overlap: "(<later> apart from
// <earlier>) failed for <ordinal> argument <later>: nnls:<name>=<value>".
const char kCheckApartFormat[] =
    "(%s apart from %s) failed for %s argument %s: nnls:%s=%d";
const char kCheckLayoutA[] = "(isfarray(a)) failed for 1st argument a";
const char kCheckLayoutB[] = "(isfarray(b)) failed for 4th argument b";
const char kCheckLayoutW[] = "(isfarray(w)) failed for 5th argument w";
const char kCheckLayoutZz[] = "(isfarray(zz)) failed for 6th argument zz";
const char kCheckLayoutIndex[] =
    "(isfarray(index_bn)) failed for 7th argument index_bn";
const char kCheckSizeA[] =
    "(size(a)>=shape(a,0)*shape(a,1)) failed for 1st argument a";
const char kCheckTypeA[] = "(dtype(a)=='d') failed for 1st argument a";
const char kCheckTypeB[] = "(dtype(b)=='d') failed for 4th argument b";
const char kCheckTypeW[] = "(dtype(w)=='d') failed for 5th argument w";
const char kCheckTypeZz[] = "(dtype(zz)=='d') failed for 6th argument zz";
const char kCheckTypeIndex[] =
    "(dtype(index_bn)=='i') failed for 7th argument index_bn";

// Texts and values of NumPy's own import step, _import_array, in the
// headers the module is built with.
#if TOVRIN_NUMPY_HEADERS_MAJOR >= 2
const char kImportFailed[] = "numpy._core.multiarray failed to import";
const char kNumpyCore[] = "numpy._core._multiarray_umath";
// NumPy 1.x's core module, imported when NumPy 2's does not exist.
const char kNumpyCoreBefore2[] = "numpy.core._multiarray_umath";
const char kSizeNotIntptr[] =
    "module compiled against NumPy 2.0 but running on NumPy 1.x. "
    "Unfortunately, this is not supported on niche platforms where "
    "`sizeof(size_t) != sizeof(inptr_t)`.";
const char kApiTooOld[] =
    "module was compiled against NumPy C-API version 0x%x "
    "(NumPy " NPY_FEATURE_VERSION_STRING ") "
    "but the running NumPy has C-API version 0x%x. "
    "Check the section C-API incompatibility at the "
    "Troubleshooting ImportError section at "
    "https://numpy.org/devdocs/user/troubleshooting-importerror.html"
    "#c-api-incompatibility "
    "for indications on how to solve this problem.";
#else
const char kImportFailed[] = "numpy.core.multiarray failed to import";
const char kNumpyCore[] = "numpy.core._multiarray_umath";
const char kApiNotFound[] = "_ARRAY_API not found";
const char kApiTooOld[] =
    "module compiled against API version 0x%x but this version of numpy is "
    "0x%x";
#endif
const char kApiAttribute[] = "_ARRAY_API";
const char kApiNotCapsule[] = "_ARRAY_API is not PyCapsule object";
const char kApiNull[] = "_ARRAY_API is NULL pointer";
const char kAbiMismatch[] =
    "module compiled against ABI version 0x%x but this version of numpy is "
    "0x%x";
const char kUnknownEndian[] = "FATAL: module compiled as unknown endian";
const char kOtherEndian[] =
    "FATAL: module compiled as little endian, but detected different "
    "endianness at runtime";
const char kInitFailed[] =
    "can't initialize module __tovrin (failed to import numpy)";

// ------------------------------------------------------- argument checks

// Raises error with "<condition>: nnls:<name>=<value>" in a buffer of 256
// bytes.
void raise_check(const char* condition, const char* name, int value) {
  char errstring[256];
  std::snprintf(errstring, sizeof errstring, kCheckFormat, condition, name,
                value);
  PyErr_SetString(__tovrin_error, errstring);
}

// Sets error with text when the failed step left no exception pending.
void raise_if_none_pending(const char* text) {
  if (!PyErr_Occurred()) PyErr_SetString(__tovrin_error, text);
}

struct ByteRange {
  const char* first;
  std::uint64_t bytes;
};

// The bytes of count elements of size bytes each (count >= 0).
std::uint64_t bytes_of(npy_intp count, std::size_t size) {
  return static_cast<std::uint64_t>(count) * size;
}

// The bytes that the solver reads or writes of the first count elements of
// arr, each of size bytes.
ByteRange used_bytes(PyArrayObject* arr, npy_intp count, std::size_t size) {
  return {static_cast<const char*>(PyArray_DATA(arr)), bytes_of(count, size)};
}

bool overlap(ByteRange p, ByteRange q) {
  if (p.bytes == 0 || q.bytes == 0) return false;
  const auto p0 = reinterpret_cast<std::uintptr_t>(p.first);
  const auto q0 = reinterpret_cast<std::uintptr_t>(q.first);
  return p0 < q0 + q.bytes && q0 < p0 + p.bytes;
}

// True when the buffer of arr holds count elements of size bytes each.
bool holds_bytes(PyArrayObject* arr, npy_intp count, std::size_t size) {
  return static_cast<std::uint64_t>(PyArray_NBYTES(arr)) >=
         bytes_of(count, size);
}

// The element types the solver reads and writes, in native byte order:
// doubles (float64) in a, b, w and zz, 32-bit integers in index.  Size and
// kind are those that the conversion accepts for working in place, so that
// a uint32 index_bn serves as well as an int32 one.
bool holds_doubles(PyArrayObject* arr) {
  return PyArray_ITEMSIZE(arr) == static_cast<npy_intp>(sizeof(double)) &&
         PyArray_ISFLOAT(arr) && PyArray_ISNOTSWAPPED(arr);
}

bool holds_int32(PyArrayObject* arr) {
  return PyArray_ITEMSIZE(arr) ==
             static_cast<npy_intp>(sizeof(std::int32_t)) &&
         PyArray_ISINTEGER(arr) && PyArray_ISNOTSWAPPED(arr);
}

// The arrays of one call, converted, as the solver sees them.
struct NnlsArrays {
  PyArrayObject* a;
  const npy_intp* a_dims;  // reconciled (rows, columns) of a
  PyArrayObject* b;
  PyArrayObject* w;
  PyArrayObject* zz;
  PyArrayObject* index;
};

// Every array still column-major contiguous, aligned and writeable: it was
// so when converted, but Python code run by later conversions can change an
// array the caller owns.
bool check_layouts(const NnlsArrays& arr) {
  const struct {
    PyArrayObject* arr;
    const char* condition;
  } layouts[] = {{arr.a, kCheckLayoutA},
                 {arr.b, kCheckLayoutB},
                 {arr.w, kCheckLayoutW},
                 {arr.zz, kCheckLayoutZz},
                 {arr.index, kCheckLayoutIndex}};
  for (const auto& layout : layouts) {
    if (!PyArray_ISFARRAY(layout.arr)) {
      PyErr_SetString(__tovrin_error, layout.condition);
      return false;
    }
  }
  return true;
}

// Every array still of the element type the solver takes.  Python code run
// by later conversions can retype an array the caller owns
// (w.dtype = np.uint8): its bytes stay, its element count grows, and only
// its bytes bound what the solver may touch.
bool check_element_types(const NnlsArrays& arr) {
  const struct {
    PyArrayObject* arr;
    bool (*holds)(PyArrayObject*);
    const char* condition;
  } types[] = {{arr.a, holds_doubles, kCheckTypeA},
               {arr.b, holds_doubles, kCheckTypeB},
               {arr.w, holds_doubles, kCheckTypeW},
               {arr.zz, holds_doubles, kCheckTypeZz},
               {arr.index, holds_int32, kCheckTypeIndex}};
  for (const auto& type : types) {
    if (!type.holds(type.arr)) {
      PyErr_SetString(__tovrin_error, type.condition);
      return false;
    }
  }
  return true;
}

// No byte used by the solver in two of a, b, w, zz, index: it writes into
// each of them while it reads the others, so shared memory would turn its
// results into wrong values reported as solved (w and zz as one array), or
// column numbers in index into wild indices.  The ranges used are
// a(1,1)..a(m,n) with leading dimension mda, b(1..m), w(1..n), zz(1..m)
// and index(1..n), in bytes of the solver's element types.  Requires
// m >= 1, n >= 1 and arrays that hold these ranges.
bool check_apart(const NnlsArrays& arr, int m, int n, int mda) {
  const npy_intp a_span = static_cast<npy_intp>(n - 1) * mda + m;
  const struct {
    ByteRange range;
    const char* name;
    const char* ordinal;
    const char* extent;  // the dimension that sets the range's length
    int value;
  } used[] = {
      {used_bytes(arr.a, a_span, sizeof(double)), "a", "1st", "mda", mda},
      {used_bytes(arr.b, m, sizeof(double)), "b", "4th", "m", m},
      {used_bytes(arr.w, n, sizeof(double)), "w", "5th", "n", n},
      {used_bytes(arr.zz, m, sizeof(double)), "zz", "6th", "m", m},
      {used_bytes(arr.index, n, sizeof(std::int32_t)), "index_bn", "7th",
       "n", n}};
  const int count = sizeof used / sizeof used[0];
  for (int later = 1; later < count; ++later) {
    for (int earlier = 0; earlier < later; ++earlier) {
      if (!overlap(used[earlier].range, used[later].range)) continue;
      char errstring[256];
      std::snprintf(errstring, sizeof errstring, kCheckApartFormat,
                    used[later].name, used[earlier].name, used[later].ordinal,
                    used[later].name, used[later].extent, used[later].value);
      PyErr_SetString(__tovrin_error, errstring);
      return false;
    }
  }
  return true;
}

// The solver with m >= 1 and n >= 1 reads and writes rows 1..m of columns
// 1..n of a (leading dimension mda = shape(a,0)), b(1..m), zz(1..m),
// w(1..n) and index(1..n), and takes the values of index as column numbers.
// Refuses, with nothing changed, a call in which any of these lies outside
// its array, is not of the solver's element type and layout, or shares
// memory with another.  Everything is read from the arrays now, since
// Python code run by later conversions can resize, retype or freeze an
// array the caller owns; sizes are compared in bytes, which alone bound
// what the solver may touch.
bool check_extents(const NnlsArrays& arr, int m, int n, int mda) {
  if (m <= 0 || n <= 0) return true;  // the solver touches no array
  if (!check_layouts(arr) || !check_element_types(arr)) return false;
  const npy_intp rows = arr.a_dims[0];
  const npy_intp cols = arr.a_dims[1];
  if (m > rows) {
    raise_check(kCheckRowsA, "m", m);
    return false;
  }
  if (n > cols) {
    raise_check(kCheckColsA, "n", n);
    return false;
  }
  if (!holds_bytes(arr.a, rows * cols, sizeof(double))) {
    raise_check(kCheckSizeA, "mda", mda);
    return false;
  }
  const struct {
    PyArrayObject* arr;
    int need;
    std::size_t size;
    const char* condition;
    const char* name;
  } lengths[] = {{arr.b, m, sizeof(double), kCheckLenB, "m"},
                 {arr.w, n, sizeof(double), kCheckLenW, "n"},
                 {arr.zz, m, sizeof(double), kCheckLenZz, "m"},
                 {arr.index, n, sizeof(std::int32_t), kCheckLenIndex, "n"}};
  for (const auto& length : lengths) {
    if (!holds_bytes(length.arr, length.need, length.size)) {
      raise_check(length.condition, length.name, length.need);
      return false;
    }
  }
  return check_apart(arr, m, n, mda);
}

// --------------------------------------------------------------- binding

using nnls_routine = decltype(&nnls);

// x,rnorm,mode = nnls(a,m,n,b,w,zz,index_bn,maxiter,[mda,overwrite_a,
// overwrite_b]).  Converts the arguments in the order a; m, n; b, w, zz,
// index_bn; maxiter; mda, tests mda against the rows of a, creates x, and
// calls the solver at f2py_func once.  Every array the binding converted or
// created is released on every path, in reverse order; x moves into the
// result.
PyObject* f2py_rout___tovrin_nnls(PyObject* /*capi_self*/,
                                  PyObject* capi_args, PyObject* capi_keywds,
                                  void* f2py_func) {
  static char* capi_kwlist[] = {
      const_cast<char*>("a"),           const_cast<char*>("m"),
      const_cast<char*>("n"),           const_cast<char*>("b"),
      const_cast<char*>("w"),           const_cast<char*>("zz"),
      const_cast<char*>("index_bn"),    const_cast<char*>("maxiter"),
      const_cast<char*>("mda"),         const_cast<char*>("overwrite_a"),
      const_cast<char*>("overwrite_b"), nullptr};

  PyObject* capi_buildvalue = nullptr;
  int mda = 0, m = 0, n = 0, maxiter = 0, mode = 0;
  double rnorm = 0.0;
  int overwrite_a = 0, overwrite_b = 0;
  PyObject *a_capi = Py_None, *m_capi = Py_None, *n_capi = Py_None,
           *b_capi = Py_None, *w_capi = Py_None, *zz_capi = Py_None,
           *index_bn_capi = Py_None, *maxiter_capi = Py_None,
           *mda_capi = Py_None;
  npy_intp a_Dims[2] = {-1, -1};
  npy_intp b_Dims[1] = {-1};
  npy_intp w_Dims[1] = {-1};
  npy_intp zz_Dims[1] = {-1};
  npy_intp index_bn_Dims[1] = {-1};
  npy_intp x_Dims[1] = {-1};

  if (!PyArg_ParseTupleAndKeywords(
          capi_args, capi_keywds, kArgFormat, capi_kwlist, &a_capi, &m_capi,
          &n_capi, &b_capi, &w_capi, &zz_capi, &index_bn_capi, &maxiter_capi,
          &mda_capi, &overwrite_a, &overwrite_b)) {
    return nullptr;
  }

  // Owned references (new arrays, or the caller's arrays with one reference
  // taken), released below in reverse order.
  PyArrayObject *a = nullptr, *b = nullptr, *w = nullptr, *zz = nullptr,
                *index_bn = nullptr, *x = nullptr;

  a = array_from_pyobj(NPY_DOUBLE, a_Dims, 2,
                       overwrite_a ? F2PY_INTENT_IN
                                   : F2PY_INTENT_IN | F2PY_INTENT_COPY,
                       a_capi);
  if (a == nullptr) {
    raise_if_none_pending(kConvertA);
    goto cleanup;
  }
  if (!int_from_pyobj(&m, m_capi, kIntM, __tovrin_error)) goto cleanup;
  if (!int_from_pyobj(&n, n_capi, kIntN, __tovrin_error)) goto cleanup;

  b = array_from_pyobj(NPY_DOUBLE, b_Dims, 1,
                       overwrite_b ? F2PY_INTENT_IN
                                   : F2PY_INTENT_IN | F2PY_INTENT_COPY,
                       b_capi);
  if (b == nullptr) {
    raise_if_none_pending(kConvertB);
    goto cleanup;
  }
  w = array_from_pyobj(NPY_DOUBLE, w_Dims, 1, F2PY_INTENT_IN, w_capi);
  if (w == nullptr) {
    raise_if_none_pending(kConvertW);
    goto cleanup;
  }
  zz = array_from_pyobj(NPY_DOUBLE, zz_Dims, 1, F2PY_INTENT_IN, zz_capi);
  if (zz == nullptr) {
    raise_if_none_pending(kConvertZz);
    goto cleanup;
  }
  index_bn = array_from_pyobj(NPY_INT, index_bn_Dims, 1, F2PY_INTENT_IN,
                              index_bn_capi);
  if (index_bn == nullptr) {
    raise_if_none_pending(kConvertIndex);
    goto cleanup;
  }
  if (!int_from_pyobj(&maxiter, maxiter_capi, kIntMaxiter, __tovrin_error)) {
    goto cleanup;
  }

  // mda defaults to the rows of a, kept to its low-order 32 bits; the test
  // below then refuses a matrix of 2^31 rows or more.
  if (mda_capi == Py_None) {
    mda = static_cast<int>(static_cast<unsigned int>(a_Dims[0]));
  } else if (!int_from_pyobj(&mda, mda_capi, kIntMda, __tovrin_error)) {
    goto cleanup;
  }
  if (a_Dims[0] != static_cast<npy_intp>(mda)) {
    raise_check(kCheckMda, "mda", mda);
    goto cleanup;
  }

  x_Dims[0] = n;
  x = array_from_pyobj(NPY_DOUBLE, x_Dims, 1,
                       F2PY_INTENT_OUT | F2PY_INTENT_HIDE, Py_None);
  if (x == nullptr) {
    raise_if_none_pending(kConvertX);
    goto cleanup;
  }

  // Last step before the solver: no Python code runs between these tests
  // and the call, so what they establish holds during the call.
  if (!check_extents({a, a_Dims, b, w, zz, index_bn}, m, n, mda)) {
    goto cleanup;
  }

  reinterpret_cast<nnls_routine>(f2py_func)(
      static_cast<double*>(PyArray_DATA(a)), &mda, &m, &n,
      static_cast<double*>(PyArray_DATA(b)),
      static_cast<double*>(PyArray_DATA(x)), &rnorm,
      static_cast<double*>(PyArray_DATA(w)),
      static_cast<double*>(PyArray_DATA(zz)),
      static_cast<std::int32_t*>(PyArray_DATA(index_bn)), &mode, &maxiter);

  if (PyErr_Occurred()) goto cleanup;
  // "N" moves the reference of x into the tuple, or releases it on failure.
  capi_buildvalue = Py_BuildValue("Ndi", x, rnorm, mode);
  x = nullptr;

cleanup:
  Py_XDECREF(x);
  Py_XDECREF(index_bn);
  Py_XDECREF(zz);
  Py_XDECREF(w);
  Py_XDECREF(b);
  Py_XDECREF(a);
  return capi_buildvalue;
}

// --------------------------------------------------------- routine table

FortranDataDef f2py_routine_defs[] = {
    {"nnls", F2PY_ROUTINE_RANK, {{-1}}, 0, reinterpret_cast<void*>(&nnls),
     f2py_rout___tovrin_nnls, doc_f2py_rout___tovrin_nnls},
    {nullptr, 0, {{0}}, 0, nullptr, nullptr, nullptr}};

PyMethodDef f2py_module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef moduledef = {
    PyModuleDef_HEAD_INIT,
    "__tovrin",           // m_name
    nullptr,              // m_doc: __doc__ is stored in the dictionary
    -1,                   // m_size: state is process-wide
    f2py_module_methods,  // m_methods
    nullptr,              // m_slots
    nullptr,              // m_traverse
    nullptr,              // m_clear
    nullptr,              // m_free
};

// Python API version passed to PyModule_Create2.
constexpr int kModuleApiVersion = 1013;

// -------------------------------------------------------- NumPy import

// Stores the capsule pointer of NumPy's API table, the attribute "_ARRAY_API"
// of its core module (new reference, released here), in
// _npy_f2py_ARRAY_API before testing it.  Returns 0, or -1 with
// RuntimeError set when c_api is no capsule or holds no pointer.
int take_api_table(PyObject* c_api) {
  if (!PyCapsule_CheckExact(c_api)) {
    PyErr_SetString(PyExc_RuntimeError, kApiNotCapsule);
    Py_DECREF(c_api);
    return -1;
  }
  _npy_f2py_ARRAY_API =
      static_cast<void**>(PyCapsule_GetPointer(c_api, nullptr));
  Py_DECREF(c_api);
  if (_npy_f2py_ARRAY_API == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, kApiNull);
    return -1;
  }
  return 0;
}

// The running NumPy's byte order is this machine's, little-endian.  Returns
// 0, or -1 with RuntimeError set.
int check_byte_order() {
  const int endianness = PyArray_GetEndianness();
  if (endianness == NPY_CPU_UNKNOWN_ENDIAN) {
    PyErr_SetString(PyExc_RuntimeError, kUnknownEndian);
    return -1;
  }
  if (endianness != NPY_CPU_LITTLE) {
    PyErr_SetString(PyExc_RuntimeError, kOtherEndian);
    return -1;
  }
  return 0;
}

#if TOVRIN_NUMPY_HEADERS_MAJOR >= 2

// NumPy 2's import step.  Takes NumPy's API table from the capsule
// "_ARRAY_API" of its core module (numpy._core, or numpy.core when NumPy 1.x
// runs) into _npy_f2py_ARRAY_API, and checks that the running NumPy's ABI is
// not newer than the headers', that it serves at least the feature version
// the module targets (NPY_TARGET_VERSION), and that it is little-endian.
// Sets PyArray_RUNTIME_VERSION to the running NumPy's feature version,
// which picks the descriptor layout of NumPy 1.x or 2.x in every accessor.
// Returns 0, or -1 with the first failing check's exception set.
int import_numpy_api() {
  PyObject* numpy = PyImport_ImportModule(kNumpyCore);  // new
  if (numpy == nullptr && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();
    numpy = PyImport_ImportModule(kNumpyCoreBefore2);  // new
  }
  if (numpy == nullptr) return -1;
  // A missing attribute reports the lookup's own exception.
  PyObject* c_api = PyObject_GetAttrString(numpy, kApiAttribute);  // new
  Py_DECREF(numpy);
  if (c_api == nullptr) return -1;
  if (take_api_table(c_api) < 0) return -1;
  // NumPy 2's npy_intp is Py_ssize_t, NumPy 1.x's is intptr_t: where the
  // two differ (never on the platforms built for), a NumPy 2 build cannot
  // serve NumPy 1.x.  As in NumPy's own import step, the test comes before
  // PyArray_RUNTIME_VERSION is set, and it sets the error without
  // stopping the checks; the exception left pending then fails the
  // module's initialisation.
  constexpr bool kSsizeIsIntptr = sizeof(Py_ssize_t) == sizeof(Py_intptr_t);
  if (!kSsizeIsIntptr && PyArray_RUNTIME_VERSION < NPY_2_0_API_VERSION) {
    PyErr_SetString(PyExc_RuntimeError, kSizeNotIntptr);
  }
  // Unsigned comparison of the ABI versions; the feature versions below
  // compare as signed integers.
  const unsigned int abi = PyArray_GetNDArrayCVersion();
  if (static_cast<unsigned int>(NPY_VERSION) < abi) {
    PyErr_Format(PyExc_RuntimeError, kAbiMismatch,
                 static_cast<int>(NPY_VERSION), static_cast<int>(abi));
    return -1;
  }
  PyArray_RUNTIME_VERSION =
      static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
    PyErr_Format(PyExc_RuntimeError, kApiTooOld,
                 static_cast<int>(NPY_FEATURE_VERSION),
                 PyArray_RUNTIME_VERSION);
    return -1;
  }
  return check_byte_order();
}

#else

// NumPy 1.x's import step.  Takes NumPy's API table from the capsule
// "_ARRAY_API" of its core module into _npy_f2py_ARRAY_API and checks that
// it serves exactly the ABI and at least the API feature level this module
// was compiled against, on a little-endian machine.  Returns 0, or -1 with
// the first failing check's exception set.
int import_numpy_api() {
  PyObject* numpy = PyImport_ImportModule(kNumpyCore);  // new
  if (numpy == nullptr) return -1;
  PyObject* c_api = PyObject_GetAttrString(numpy, kApiAttribute);  // new
  Py_DECREF(numpy);
  if (c_api == nullptr) {
    PyErr_SetString(PyExc_AttributeError, kApiNotFound);
    return -1;
  }
  if (take_api_table(c_api) < 0) return -1;
  const unsigned int abi = PyArray_GetNDArrayCVersion();
  if (abi != NPY_VERSION) {
    PyErr_Format(PyExc_RuntimeError, kAbiMismatch,
                 static_cast<unsigned int>(NPY_VERSION), abi);
    return -1;
  }
  const unsigned int feature = PyArray_GetNDArrayCFeatureVersion();
  if (feature < static_cast<unsigned int>(NPY_FEATURE_VERSION)) {
    PyErr_Format(PyExc_RuntimeError, kApiTooOld,
                 static_cast<unsigned int>(NPY_FEATURE_VERSION), feature);
    return -1;
  }
  return check_byte_order();
}

#endif

// ------------------------------------------------------ initialisation

// Stores value under key in dict and drops the caller's reference to it, so
// that the dictionary holds the only one.  Returns -1 with an exception set
// when value is null or the store fails.
int store_stolen(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return -1;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status;
}

// Fills the module dictionary and creates the exception class.  Returns 0,
// or -1 with an exception set.
int fill_module(PyObject* module) {
  PyObject* d = PyModule_GetDict(module);  // borrowed
  if (d == nullptr) return -1;
  if (store_stolen(d, "__version__", PyBytes_FromString(kVersion)) < 0 ||
      store_stolen(d, "__doc__", PyUnicode_FromString(kModuleDoc)) < 0) {
    return -1;
  }
  __tovrin_error = PyErr_NewException("__tovrin.error", nullptr, nullptr);
  if (__tovrin_error == nullptr) return -1;
  for (FortranDataDef* def = f2py_routine_defs; def->name != nullptr; ++def) {
    if (store_stolen(d, def->name, PyFortranObject_NewAsAttr(def)) < 0) {
      return -1;
    }
  }
  return 0;
}

}  // namespace

#if PY_VERSION_HEX < 0x030900A4
#define Py_SET_TYPE(ob, type) (Py_TYPE(ob) = (type))
#endif

PyMODINIT_FUNC PyInit___tovrin(void) {
  PyObject* module = PyModule_Create2(&moduledef, kModuleApiVersion);
  if (module == nullptr) return nullptr;
  Py_SET_TYPE(&PyFortran_Type, &PyType_Type);
  if (import_numpy_api() < 0) {
    PyErr_Print();
    PyErr_SetString(PyExc_ImportError, kImportFailed);
    Py_DECREF(module);
    return nullptr;
  }
  if (PyErr_Occurred()) {
    PyErr_SetString(PyExc_ImportError, kInitFailed);
    Py_DECREF(module);
    return nullptr;
  }
  if (fill_module(module) < 0) {
    Py_CLEAR(__tovrin_error);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
