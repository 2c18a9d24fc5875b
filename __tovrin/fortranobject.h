// Routine objects: the callable attributes through which the module offers
// its native routines.  A routine object serves one definition record of the
// module's routine table, keeps an attribute dictionary of its own and hands
// every call, with the record's native entry address, to the record's call
// binding.
#ifndef TOVRIN_FORTRANOBJECT_H
#define TOVRIN_FORTRANOBJECT_H

#include "numpy_api.h"

// Most extents a definition record describes.
constexpr int F2PY_MAX_DIMS = 40;

// Rank of a definition record that describes a callable routine.
constexpr int F2PY_ROUTINE_RANK = -1;

// A call binding: (routine object, positional tuple, keyword dict or null,
// native entry address) -> new reference to the result, or null with an
// exception set.
typedef PyObject* (*fortranfunc)(PyObject*, PyObject*, PyObject*, void*);

// One entry of a routine definition table; a table ends at the first entry
// whose name is null.
struct FortranDataDef {
  const char* name;  // attribute name of the entry
  int rank;          // F2PY_ROUTINE_RANK for a routine
  struct {
    npy_intp d[F2PY_MAX_DIMS];
  } dims;            // unused for a routine
  int type;          // NumPy type number; unused for a routine
  void* data;        // native entry address of a routine
  fortranfunc func;  // call binding of a routine
  const char* doc;   // documentation text of a routine
};

// The routine object: serves defs[0..len-1]; dict holds its attributes.
struct PyFortranObject {
  PyObject_HEAD
  int len;
  FortranDataDef* defs;
  PyObject* dict;
};

// Type "fortran".  Its metatype is left empty here; module initialisation
// sets it to PyType_Type before any routine object exists.
extern PyTypeObject PyFortran_Type;

// New reference to a routine object serving the one entry *def, with a new,
// empty attribute dictionary; null with an exception set on failure.
PyObject* PyFortranObject_NewAsAttr(FortranDataDef* def);

#endif  // TOVRIN_FORTRANOBJECT_H
