// The one place that includes Python and NumPy's C headers for the extension
// module.  Every NumPy call goes through the API function table whose address
// lives in _npy_f2py_ARRAY_API: __tovrinmodule.cpp defines that variable and
// fills it while the module is imported; every other translation unit sees
// it as an extern.  NumPy's own import macros are not used (NO_IMPORT_ARRAY):
// the module runs its own import step with its own checks.
//
// The module builds against NumPy 1.x or NumPy 2 headers (CMake chooses and
// checks which; TOVRIN_NUMPY_MAJOR names it).  NumPy 2 headers give one
// binary for NumPy 1.x and 2.x at run time: the descriptor's layout differs
// between the two, so its fields are read only through accessors such as
// PyDataType_ELSIZE and PyArray_ITEMSIZE, which pick the layout by the
// running NumPy's feature version, PyArray_RUNTIME_VERSION.  The import step
// sets that variable; __tovrinmodule.cpp defines it.
#ifndef TOVRIN_NUMPY_API_H
#define TOVRIN_NUMPY_API_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL _npy_f2py_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

// Major version of the NumPy C-API the headers declare.
#define TOVRIN_NUMPY_HEADERS_MAJOR (NPY_ABI_VERSION >> 24)

#if defined(TOVRIN_NUMPY_MAJOR) && TOVRIN_NUMPY_MAJOR != TOVRIN_NUMPY_HEADERS_MAJOR
#error "the NumPy headers included are not the ones the build configured"
#endif

#if TOVRIN_NUMPY_HEADERS_MAJOR < 2
// NumPy 1.x headers have one descriptor layout and no accessor for its
// element size; this is NumPy 2's accessor for that layout.
static inline npy_intp PyDataType_ELSIZE(const PyArray_Descr* descr) {
  return descr->elsize;
}
#endif

#endif  // TOVRIN_NUMPY_API_H
