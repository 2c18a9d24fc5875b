// Routine objects (type "fortran").  See fortranobject.h.
#include "fortranobject.h"

#include <cstring>
#include <new>
#include <string>

namespace {

const char kOverwriteRoutine[] = "over-writing fortran routine";
const char kDeleteMissing[] = "delete non-existing fortran attribute";
const char kNotCallable[] = "this fortran object is not callable";
const char kNoFunction[] = "no function to call";
const char kNamedRepr[] = "<fortran %U>";
const char kAnonymousRepr[] = "<fortran object>";

PyFortranObject* as_fortran(PyObject* self) {
  return reinterpret_cast<PyFortranObject*>(self);
}

void fortran_dealloc(PyObject* self) {
  Py_XDECREF(as_fortran(self)->dict);
  PyObject_Free(self);
}

// New reference to the documentation text: each record's text followed by a
// line feed.
PyObject* fortran_doc(const PyFortranObject* fp) {
  std::string text;
  try {
    for (int i = 0; i < fp->len; ++i) {
      if (fp->defs[i].doc != nullptr) text += fp->defs[i].doc;
      text += '\n';
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return PyUnicode_FromStringAndSize(text.data(),
                                     static_cast<Py_ssize_t>(text.size()));
}

// New reference to a capsule without name or destructor that holds the
// native entry address of the first record.
PyObject* fortran_cpointer(const PyFortranObject* fp) {
  return PyCapsule_New(fp->defs[0].data, nullptr, nullptr);
}

// Builds a value with make, stores it in the attribute dictionary under key
// so that later reads return the same object, and returns a new reference.
template <typename Make>
PyObject* build_and_store(PyFortranObject* fp, PyObject* key, Make make) {
  PyObject* value = make(fp);  // new reference
  if (value == nullptr) return nullptr;
  if (PyDict_SetItem(fp->dict, key, value) < 0) {
    Py_DECREF(value);
    return nullptr;
  }
  return value;
}

// Attribute read: a stored attribute first, then __dict__, __doc__ and
// _cpointer, then the generic lookup.
PyObject* fortran_getattr_key(PyFortranObject* fp, PyObject* key,
                              const char* name) {
  PyObject* stored = PyDict_GetItemWithError(fp->dict, key);  // borrowed
  if (stored != nullptr) {
    Py_INCREF(stored);
    return stored;
  }
  if (PyErr_Occurred()) return nullptr;
  if (std::strcmp(name, "__dict__") == 0) {
    Py_INCREF(fp->dict);
    return fp->dict;
  }
  if (std::strcmp(name, "__doc__") == 0) {
    return build_and_store(fp, key, fortran_doc);
  }
  if (std::strcmp(name, "_cpointer") == 0 && fp->len >= 1) {
    return build_and_store(fp, key, fortran_cpointer);
  }
  return PyObject_GenericGetAttr(reinterpret_cast<PyObject*>(fp), key);
}

PyObject* fortran_getattr(PyObject* self, char* name) {
  PyObject* key = PyUnicode_FromString(name);  // new reference
  if (key == nullptr) return nullptr;
  PyObject* result = fortran_getattr_key(as_fortran(self), key, name);
  Py_DECREF(key);
  return result;
}

// Attribute write (value non-null) or delete (value null).  The names of the
// routines the object serves can be neither written nor deleted; any other
// name lives in the attribute dictionary.
int fortran_setattr(PyObject* self, char* name, PyObject* value) {
  PyFortranObject* fp = as_fortran(self);
  for (int i = 0; i < fp->len; ++i) {
    if (std::strcmp(name, fp->defs[i].name) == 0) {
      PyErr_SetString(PyExc_AttributeError, kOverwriteRoutine);
      return -1;
    }
  }
  if (value != nullptr) return PyDict_SetItemString(fp->dict, name, value);
  if (PyDict_DelItemString(fp->dict, name) < 0) {
    PyErr_SetString(PyExc_AttributeError, kDeleteMissing);
    return -1;
  }
  return 0;
}

// "<fortran NAME>" once a text-valued __name__ has been stored, otherwise
// "<fortran object>".
PyObject* fortran_repr(PyObject* self) {
  PyObject* name = PyDict_GetItemString(as_fortran(self)->dict, "__name__");
  if (name != nullptr && PyUnicode_Check(name)) {
    Py_INCREF(name);
    PyObject* text = PyUnicode_FromFormat(kNamedRepr, name);
    Py_DECREF(name);
    return text;
  }
  return PyUnicode_FromString(kAnonymousRepr);
}

// Hands the arguments unchanged to the call binding of the first record.
PyObject* fortran_call(PyObject* self, PyObject* args, PyObject* kwds) {
  const FortranDataDef& def = as_fortran(self)->defs[0];
  if (def.rank != F2PY_ROUTINE_RANK) {
    PyErr_SetString(PyExc_TypeError, kNotCallable);
    return nullptr;
  }
  if (def.func == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, kNoFunction);
    return nullptr;
  }
  return def.func(self, args, kwds, def.data);
}

}  // namespace

// Only the five slots deallocation, attribute read and write by name text,
// representation and call are filled; the flags are 0 and there is no base.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject PyFortran_Type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "fortran",                // tp_name
    sizeof(PyFortranObject),  // tp_basicsize
    0,                        // tp_itemsize
    fortran_dealloc,          // tp_dealloc
    0,                        // tp_vectorcall_offset
    fortran_getattr,          // tp_getattr
    fortran_setattr,          // tp_setattr
    nullptr,                  // tp_as_async
    fortran_repr,             // tp_repr
    nullptr,                  // tp_as_number
    nullptr,                  // tp_as_sequence
    nullptr,                  // tp_as_mapping
    nullptr,                  // tp_hash
    fortran_call,             // tp_call
};
#pragma GCC diagnostic pop

PyObject* PyFortranObject_NewAsAttr(FortranDataDef* def) {
  PyFortranObject* fp = PyObject_New(PyFortranObject, &PyFortran_Type);
  if (fp == nullptr) return nullptr;
  fp->len = 1;
  fp->defs = def;
  fp->dict = PyDict_New();  // new reference, owned by fp
  if (fp->dict == nullptr) {
    Py_DECREF(fp);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(fp);
}
