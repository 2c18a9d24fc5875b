// Argument conversion for call bindings: Python objects into the 32-bit
// integers and the column-major arrays that the native routines take.
#ifndef TOVRIN_CONVERSION_H
#define TOVRIN_CONVERSION_H

#include "numpy_api.h"

// Intent bits of an array argument.
constexpr int F2PY_INTENT_IN = 1;
constexpr int F2PY_INTENT_OUT = 4;
constexpr int F2PY_INTENT_HIDE = 8;
constexpr int F2PY_INTENT_COPY = 32;

// New reference to the array in which a native routine is to work, or null
// with an exception set.
//
// With the hide bit in intent, obj is ignored and the result is a new,
// zero-filled, column-major array of extents dims[0..rank-1], which must all
// be defined (>= 0).  Otherwise dims[0..rank-1] must be -1 on entry and
// receive the extents that check_and_fix_dimensions reads from the array.
// An ndarray is returned itself when the intent has no copy bit and it has
// the element size and kind of type_num, is column-major contiguous, aligned
// and writeable and not big-endian; otherwise it is cast (unsafely) into a
// new column-major array of its own extents.  Any other object goes through
// NumPy's general conversion to a column-major array of type_num.
PyArrayObject* array_from_pyobj(int type_num, npy_intp* dims, int rank,
                                int intent, PyObject* obj);

// Reads the extents of arr as an array of rank 1 or 2 into dims[0..rank-1],
// all column-major:
//   rank 1: the number of elements (a 0-d array is one element);
//   rank 2: a 0-d array is 1x1, a vector of length L is Lx1 (an empty one
//           1x0), a matrix keeps its shape, and a higher-dimensional array
//           has as rows its first extent > 1 and as columns the product of
//           its later extents > 1.
// Extents equal to 1 are passed over.  An array with more dimensions than
// rank and an extent 0 cannot be read so: ValueError, returns -1.
int check_and_fix_dimensions(PyArrayObject* arr, int rank, npy_intp* dims);

// Converts obj into a 32-bit integer at *v: an int (or subclass) by value,
// anything else through int(); failing that, the real part of a complex or
// the first item of a sequence (not str or bytes), converted by the same
// rules.  Values keep their low-order 32 bits.  Returns 1 on success; on
// failure returns 0 with the pending exception's class (or error when none
// is pending) carrying the text errmess.
int int_from_pyobj(int* v, PyObject* obj, const char* errmess,
                   PyObject* error);

#endif  // TOVRIN_CONVERSION_H
