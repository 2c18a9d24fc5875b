// The one place that includes Python and NumPy's C headers for the extension
// module.  Every NumPy call goes through the API function table whose address
// lives in _npy_f2py_ARRAY_API: __tovrinmodule.cpp defines that variable and
// fills it while the module is imported; every other translation unit sees
// it as an extern.  NumPy's own import macros are not used (NO_IMPORT_ARRAY):
// the module runs its own import step with its own checks.
#ifndef TOVRIN_NUMPY_API_H
#define TOVRIN_NUMPY_API_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL _npy_f2py_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#endif  // TOVRIN_NUMPY_API_H
