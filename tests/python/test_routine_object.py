"""The module's attributes, its exception class and the routine object nnls."""
import ctypes
import json

import numpy as np
import pytest

from module_testing import in_place_problem, run_python

MODULE_DOC = ("This module '__tovrin' is auto-generated with f2py (version:2).\n"
              "Functions:\n"
              "  x,rnorm,mode = nnls(a,m,n,b,w,zz,index_bn,maxiter,mda=shape(a,0),"
              "overwrite_a=0,overwrite_b=0)\n.")
VERSION = b"$Revision: $"
ROUTINE_DOC = "\n".join([
    "x,rnorm,mode = nnls(a,m,n,b,w,zz,index_bn,maxiter,[mda,overwrite_a,overwrite_b])",
    "", "Wrapper for ``nnls``.", "", "Parameters", "----------",
    "a : input rank-2 array('d') with bounds (mda,*)",
    "m : input int", "n : input int",
    "b : input rank-1 array('d') with bounds (*)",
    "w : input rank-1 array('d') with bounds (*)",
    "zz : input rank-1 array('d') with bounds (*)",
    "index_bn : input rank-1 array('i') with bounds (*)",
    "maxiter : input int", "", "Other Parameters", "----------------",
    "overwrite_a : input int, optional", "    Default: 0",
    "mda : input int, optional", "    Default: shape(a,0)",
    "overwrite_b : input int, optional", "    Default: 0", "",
    "Returns", "-------",
    "x : rank-1 array('d') with bounds (n)", "rnorm : float", "mode : int"]) + "\n"
OVERWRITING = "over-writing fortran routine"
DELETE_MISSING = "delete non-existing fortran attribute"
NO_ATTRIBUTE = "'fortran' object has no attribute '{}'"
INTERPRETER_ENTRIES = {"__name__", "__loader__", "__package__", "__spec__", "__file__"}


@pytest.fixture
def routine(tovrin):
    """nnls, with its attribute dictionary restored after the test."""
    saved = dict(tovrin.nnls.__dict__)
    yield tovrin.nnls
    tovrin.nnls.__dict__.clear()
    tovrin.nnls.__dict__.update(saved)


def test_module_attributes(tovrin):
    assert type(tovrin.__version__) is bytes and tovrin.__version__ == VERSION
    assert tovrin.__doc__ == MODULE_DOC
    assert set(vars(tovrin)) - INTERPRETER_ENTRIES == {"__version__", "__doc__", "nnls"}
    assert not hasattr(tovrin, "error")


def test_error_class(tovrin, error_class):
    assert error_class.__name__ == "error" and error_class.__qualname__ == "error"
    assert error_class.__module__ == "__tovrin"
    assert error_class.__bases__ == (Exception,)
    args = in_place_problem(np.ones((2, 2)), np.ones(2))
    with pytest.raises(error_class):
        tovrin.nnls(**dict(args, m=3))


def test_routine_object_type_and_representation(routine):
    assert type(routine).__name__ == "fortran" and callable(routine)
    assert repr(routine) == "<fortran object>"
    routine.__name__ = 5
    assert repr(routine) == "<fortran object>"
    routine.__name__ = "nnls"
    assert repr(routine) == "<fortran nnls>" and routine.__name__ == "nnls"


@pytest.mark.parametrize("name", ["__name__", "nnls", "missing"])
def test_unanswered_names_raise_the_ordinary_attribute_error(routine, name):
    with pytest.raises(AttributeError) as caught:
        getattr(routine, name)
    assert str(caught.value) == NO_ATTRIBUTE.format(name)


def test_doc_is_built_once_and_kept(routine):
    first = routine.__doc__
    assert first == ROUTINE_DOC and routine.__doc__ is first
    assert routine.__dict__["__doc__"] is first
    assert routine.__dict__ is routine.__dict__


def test_own_routine_name_cannot_be_set_or_deleted(routine):
    before = dict(routine.__dict__)
    for action in (lambda: setattr(routine, "nnls", 1), lambda: delattr(routine, "nnls")):
        with pytest.raises(AttributeError) as caught:
            action()
        assert str(caught.value) == OVERWRITING
    assert routine.__dict__ == before


@pytest.mark.parametrize("name", ["label", "__doc__", "_cpointer", "__name__"])
def test_set_value_shadows_and_deletes_once(routine, name):
    routine.__dict__.pop(name, None)
    setattr(routine, name, "mine")
    assert getattr(routine, name) == "mine" and routine.__dict__[name] == "mine"
    delattr(routine, name)
    with pytest.raises(AttributeError) as caught:
        delattr(routine, name)
    assert str(caught.value) == DELETE_MISSING


def capsule_function(api, name, restype, *argtypes):
    function = getattr(api, name)
    function.restype, function.argtypes = restype, list(argtypes)
    return function


def test_cpointer_is_one_unnamed_capsule_of_the_solver(routine):
    capsule = routine._cpointer
    assert routine._cpointer is capsule and type(capsule).__name__ == "PyCapsule"
    api = ctypes.pythonapi
    get_name = capsule_function(api, "PyCapsule_GetName", ctypes.c_char_p, ctypes.py_object)
    get_pointer = capsule_function(api, "PyCapsule_GetPointer", ctypes.c_void_p,
                                   ctypes.py_object, ctypes.c_char_p)
    assert get_name(capsule) is None
    # The solver's native signature: every argument by reference.
    double, int32 = ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int32)
    solver = ctypes.CFUNCTYPE(None, double, int32, int32, int32, double, double, double,
                              double, double, int32, int32, int32)(get_pointer(capsule, None))
    a, b, x, w, zz = np.eye(2, order="F"), np.array([1.0, -1.0]), *np.zeros((3, 2))
    index = np.zeros(2, np.int32)
    two, mode, rnorm, maxiter = ctypes.c_int32(2), ctypes.c_int32(0), ctypes.c_double(), ctypes.c_int32(0)

    def as_double(array):
        return array.ctypes.data_as(double)

    solver(as_double(a), two, two, two, as_double(b), as_double(x), ctypes.byref(rnorm),
           as_double(w), as_double(zz), index.ctypes.data_as(int32), ctypes.byref(mode),
           ctypes.byref(maxiter))
    assert (list(x), rnorm.value, mode.value, list(index)) == ([1.0, 0.0], 1.0, 1, [1, 2])


FRESH_ROUTINE = """
import json, __tovrin
f, facts = __tovrin.nnls, {}
facts["initial"] = sorted(f.__dict__)
try:
    del f.__doc__
except AttributeError as exc:
    facts["unread doc deleted"] = str(exc)
first = f.__doc__
facts["doc read"] = sorted(f.__dict__)
f._cpointer
facts["cpointer read"] = sorted(f.__dict__)
del f.__doc__
facts["doc deleted"] = sorted(f.__dict__)
facts["doc rebuilt"] = f.__doc__ == first
print(json.dumps(facts))
"""


def test_attribute_dictionary_fills_as_attributes_are_read():
    done = run_python(FRESH_ROUTINE)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {
        "initial": [], "unread doc deleted": DELETE_MISSING, "doc read": ["__doc__"],
        "cpointer read": ["__doc__", "_cpointer"], "doc deleted": ["_cpointer"],
        "doc rebuilt": True}
