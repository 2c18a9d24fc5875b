"""What nnls makes of its arguments: parsing, the integer rules, the leading
dimension, the size checks against the arrays and the degenerate dimensions."""
import ctypes
import math

import numpy as np
import pytest

from module_testing import in_place_problem, run_python

KEYWORDS = ("a", "m", "n", "b", "w", "zz", "index_bn", "maxiter", "mda",
            "overwrite_a", "overwrite_b")
PARSE_FORMAT = b"OOOOOOOO|Oii:__tovrin.nnls"
CANNOT_CONVERT = {
    "m": "__tovrin.nnls() 2nd argument (m) can't be converted to int",
    "n": "__tovrin.nnls() 3rd argument (n) can't be converted to int",
    "maxiter": "__tovrin.nnls() 8th argument (maxiter) can't be converted to int",
    "mda": "__tovrin.nnls() 1st keyword (mda) can't be converted to int",
}
MDA_MISMATCH = "(shape(a,0)==mda) failed for 1st keyword mda: nnls:mda={}"
NEGATIVE_N = ("failed to create intent(cache|hide)|optional array-- must have "
              "defined dimensions but got ({},)")
TOO_SMALL = {
    "a_rows": "(shape(a,0)>=m) failed for 1st argument a: nnls:m={}",
    "a_cols": "(shape(a,1)>=n) failed for 1st argument a: nnls:n={}",
    "b": "(len(b)>=m) failed for 4th argument b: nnls:m={}",
    "w": "(len(w)>=n) failed for 5th argument w: nnls:n={}",
    "zz": "(len(zz)>=m) failed for 6th argument zz: nnls:m={}",
    "index_bn": "(len(index_bn)>=n) failed for 7th argument index_bn: nnls:n={}",
}
ROWS = 8
MODULE_ERROR = "the module's error class"


def zero_column_call(tovrin, m):
    """nnls on an 8x1 zero column with b of ones: no variable can enter, so
    rnorm is the norm of b(1..m), sqrt(m), which reveals the m that the
    solver received."""
    return tovrin.nnls(np.zeros((ROWS, 1), order="F"), m, 1, np.ones(ROWS),
                       np.zeros(1), np.zeros(ROWS), np.zeros(1, np.int32), 0)


def parser_verdict(args, kwargs):
    """The interpreter's own verdict on these arguments under nnls's format:
    None when they parse, else (exception class, text)."""
    kwlist = (ctypes.c_char_p * (len(KEYWORDS) + 1))(
        *[k.encode() for k in KEYWORDS], None)
    objects = [ctypes.c_void_p() for _ in range(9)]
    flags = [ctypes.c_int() for _ in range(2)]
    keywords = ctypes.py_object(kwargs) if kwargs else ctypes.c_void_p(None)
    try:
        ctypes.pythonapi.PyArg_ParseTupleAndKeywords(
            ctypes.py_object(tuple(args)), keywords, PARSE_FORMAT, kwlist,
            *[ctypes.byref(o) for o in objects + flags])
    except Exception as exc:
        return type(exc), str(exc)
    return None


def valid_arguments():
    return [np.zeros((2, 2), order="F"), 2, 2, np.zeros(2), np.zeros(2),
            np.zeros(2), np.zeros(2, np.int32), 0]


PARSE_FAILURES = {
    "nothing": ([], {}),
    "missing maxiter": (valid_arguments()[:7], {}),
    "missing keyword b": (valid_arguments()[:3], dict(w=[0.0], zz=[0.0], index_bn=[0], maxiter=0)),
    "surplus positional": (valid_arguments() + [None, 0, 0, 0], {}),
    "repeated a": (valid_arguments(), dict(a=[[0.0]])),
    "unknown keyword": (valid_arguments(), dict(tolerance=1.0)),
    "float flag": (valid_arguments(), dict(overwrite_a=1.5)),
    "text flag": (valid_arguments(), dict(overwrite_b="1")),
    "flag beyond 32 bits": (valid_arguments(), dict(overwrite_a=2**40)),
}


@pytest.mark.parametrize("args, kwargs", PARSE_FAILURES.values(), ids=PARSE_FAILURES.keys())
def test_parser_errors_pass_through_unchanged(tovrin, args, kwargs):
    expected = parser_verdict(args, kwargs)
    assert expected is not None
    with pytest.raises(expected[0]) as caught:
        tovrin.nnls(*args, **kwargs)
    assert (type(caught.value), str(caught.value)) == expected


def test_every_argument_can_be_given_by_keyword(tovrin):
    names = KEYWORDS[:8]
    x, rnorm, mode = tovrin.nnls(**dict(zip(names, valid_arguments())), mda=None,
                                 overwrite_a=0, overwrite_b=0)
    assert (list(x), rnorm, mode) == ([0.0, 0.0], 0.0, 1)


class IntIndexingElsewhere(int):
    """An int whose own value counts, not what its conversion methods say."""
    def __int__(self):
        return 99

    __index__ = __int__


class ConvertsToFour:
    def __int__(self):
        return 4


# (object, the 32-bit m it stands for); the low 32 bits are kept without a range test
INTEGER_VALUES = [(3.9, 3), (-0.5, 0), ("4", 4), (b"4", 4), (" 6 ", 6), ([5, 6], 5),
                  ((5,), 5), ([[[5]]], 5), (2 + 7j, 2), ([2 + 7j], 2), (True, 1),
                  (2**32 + 5, 5), (-(2**32) + 3, 3), (2**31 + 3, -(2**31) + 3),
                  (2**32 - 1, -1), (np.int16(6), 6), (np.float64(7.5), 7), (np.array(7), 7),
                  (IntIndexingElsewhere(3), 3), (ConvertsToFour(), 4)]


@pytest.mark.parametrize("value, m", INTEGER_VALUES)
def test_integer_rules_give_the_solver_this_m(tovrin, value, m):
    x, rnorm, mode = zero_column_call(tovrin, value)
    assert (rnorm, mode) == ((math.sqrt(m), 1) if m > 0 else (0.0, 2))


@pytest.mark.parametrize("value, n", [(3.9, 3), ("2", 2), ([4], 4), (2**32 + 1, 1)])
def test_integer_rules_give_x_length_n(tovrin, value, n):
    x, _, _ = tovrin.nnls(np.ones((1, 4), order="F"), 1, value, [1.0], np.zeros(4),
                          [0.0], np.zeros(4, np.int32), 0)
    assert x.shape == (n,)


INTEGER_FAILURES = [([], IndexError), ((), IndexError), (None, TypeError), ({}, TypeError),
                    ([None], TypeError), ("abc", ValueError), ("", ValueError),
                    (b"x", ValueError), (float("nan"), ValueError),
                    (complex(float("nan"), 1), ValueError), (float("inf"), OverflowError),
                    (-float("inf"), OverflowError), (2**63, OverflowError),
                    (-(2**63) - 1, OverflowError), ([[2**70]], OverflowError)]


@pytest.mark.parametrize("value, exc_class", INTEGER_FAILURES)
def test_m_that_cannot_be_converted_keeps_class_takes_text(tovrin, value, exc_class):
    with pytest.raises(exc_class) as caught:
        zero_column_call(tovrin, value)
    assert type(caught.value) is exc_class
    assert str(caught.value) == CANNOT_CONVERT["m"]


@pytest.mark.parametrize("name", ["n", "maxiter", "mda"])
@pytest.mark.parametrize("value, exc_class", [({}, TypeError), ([], IndexError), ("x", ValueError)])
def test_other_integers_report_their_own_text(tovrin, name, value, exc_class):
    args = dict(a=np.zeros((2, 2), order="F"), m=2, n=2, b=np.zeros(2), w=np.zeros(2),
                zz=np.zeros(2), index_bn=np.zeros(2, np.int32), maxiter=0)
    args[name] = value
    with pytest.raises(exc_class) as caught:
        tovrin.nnls(**args)
    assert type(caught.value) is exc_class and str(caught.value) == CANNOT_CONVERT[name]


SELF_NESTED = {
    "list holding itself": "v = []; v.append(v)",
    "complex whose real part is itself":
        "class C(complex):\n    real = property(lambda self: self)\nv = C(1, 1)",
    "sequence without end":
        "class S:\n    def __len__(self): return 1\n"
        "    def __getitem__(self, i): return S()\nv = S()",
}


@pytest.mark.parametrize("setup", SELF_NESTED.values(), ids=SELF_NESTED.keys())
def test_endless_nesting_fails_with_the_argument_text(setup):
    code = setup + (
        "\nimport numpy as np, __tovrin\n"
        "try:\n"
        "    __tovrin.nnls(np.zeros((1, 1), order='F'), v, 1, [0.0], [0.0], [0.0], [0], 0)\n"
        "except Exception as exc:\n"
        "    print(str(exc))\n")
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout == CANNOT_CONVERT["m"] + "\n"


@pytest.mark.parametrize("mda", [None, 3, 3.0, "3", [3], 2**32 + 3])
def test_mda_equal_to_the_rows_of_a_is_accepted(tovrin, mda):
    args = in_place_problem(np.ones((3, 2)), np.ones(3))
    assert tovrin.nnls(**args, mda=mda)[2] == 1


@pytest.mark.parametrize("mda, shown", [(4, 4), (2, 2), (0, 0), (-3, -3), (2**32 + 4, 4)])
def test_mda_other_than_the_rows_of_a_is_refused(tovrin, error_class, mda, shown):
    args = in_place_problem(np.ones((3, 2)), np.ones(3))
    with pytest.raises(error_class) as caught:
        tovrin.nnls(**args, mda=mda)
    assert str(caught.value) == MDA_MISMATCH.format(shown)


def sized_call(case):
    """A 4x3 problem whose arrays are large enough except for one of them."""
    rows, cols, m, n = 4, 3, 4, 3
    lengths = dict(b=m, w=n, zz=m, index_bn=n)
    if case == "a_rows":
        m, lengths["b"], lengths["zz"] = 5, 5, 5
    elif case == "a_cols":
        n, lengths["w"], lengths["index_bn"] = 4, 4, 4
    else:
        lengths[case] -= 1
    args = in_place_problem(np.ones((rows, cols)), np.ones(lengths["b"]))
    args.update(m=m, n=n, w=np.ones(lengths["w"]), zz=np.ones(lengths["zz"]),
                index_bn=np.ones(lengths["index_bn"], np.int32))
    return args, (m if case in ("a_rows", "b", "zz") else n)


@pytest.mark.parametrize("case", TOO_SMALL.keys())
def test_dimensions_beyond_the_arrays_are_refused(tovrin, error_class, case):
    args, value = sized_call(case)
    before = {k: np.copy(v) for k, v in args.items() if isinstance(v, np.ndarray)}
    with pytest.raises(error_class) as caught:
        tovrin.nnls(**args)
    assert str(caught.value) == TOO_SMALL[case].format(value)
    for name, array in before.items():
        assert same_arrays(args[name], array), name


def same_arrays(actual, expected):
    return actual.dtype == expected.dtype and np.array_equal(actual, expected, equal_nan=True)


def test_two_dimensional_b_counts_all_its_elements(tovrin):
    args = in_place_problem(np.ones((4, 1)), np.ones(4))
    args.update(b=np.ones((2, 2), order="F"))
    assert tovrin.nnls(**args)[2] == 1


@pytest.mark.parametrize("m, n", [(0, 3), (-4, 3), (3, 0), (0, 0), (-2**31, 2)])
def test_bad_dimensions_return_mode_2_and_touch_nothing(tovrin, m, n):
    args = in_place_problem(np.ones((3, 3)), np.ones(3))
    args.update(m=m, n=n, b=np.ones(0 if m <= 0 else 3), w=np.ones(0), index_bn=np.ones(0, np.int32))
    before = {k: np.copy(v) for k, v in args.items() if isinstance(v, np.ndarray)}
    x, rnorm, mode = tovrin.nnls(**args)
    assert same_arrays(x, np.zeros(max(n, 0))) and (rnorm, mode) == (0.0, 2)
    for name, array in before.items():
        assert same_arrays(args[name], array), name


@pytest.mark.parametrize("n, shown", [(-1, -1), (-7, -7), (2**32 - 1, -1)])
def test_negative_n_cannot_make_x(tovrin, n, shown):
    args = in_place_problem(np.ones((2, 2)), np.ones(2))
    with pytest.raises(ValueError) as caught:
        tovrin.nnls(**dict(args, n=n))
    assert str(caught.value) == NEGATIVE_N.format(shown)


ORDER_CASES = {
    "m before n": (dict(m=None, n="x"), TypeError, CANNOT_CONVERT["m"]),
    "n before b": (dict(n=None, b="x"), TypeError, CANNOT_CONVERT["n"]),
    "maxiter before mda": (dict(maxiter=[], mda="x"), IndexError, CANNOT_CONVERT["maxiter"]),
    "mda test before x": (dict(n=-1, mda=5), MODULE_ERROR, MDA_MISMATCH.format(5)),
    "mda test before sizes": (dict(m=9, n=9, mda=9), MODULE_ERROR, MDA_MISMATCH.format(9)),
}


@pytest.mark.parametrize("changes, exc_class, text", ORDER_CASES.values(), ids=ORDER_CASES.keys())
def test_first_failing_step_reports(tovrin, error_class, changes, exc_class, text):
    args = in_place_problem(np.ones((2, 2)), np.ones(2))
    with pytest.raises(Exception) as caught:
        tovrin.nnls(**dict(args, **changes))
    assert type(caught.value) is (error_class if exc_class is MODULE_ERROR else exc_class)
    assert str(caught.value) == text


ARRAY_FAILURES = {"a": ("abc", np.float64), "b": ([[1.0], [2.0, 3.0]], np.float64),
                  "w": (["x", 1], np.float64), "zz": ({1: 2}, np.float64),
                  "index_bn": (["x"], np.int32)}


@pytest.mark.parametrize("name", ARRAY_FAILURES.keys())
def test_numpy_conversion_errors_pass_through(tovrin, name):
    value, dtype = ARRAY_FAILURES[name]
    with pytest.raises(Exception) as reference:
        np.array(value, dtype=dtype)
    args = in_place_problem(np.ones((2, 2)), np.ones(2))
    with pytest.raises(Exception) as caught:
        tovrin.nnls(**dict(args, **{name: value}))
    assert (type(caught.value), str(caught.value)) == (type(reference.value), str(reference.value))


def test_conversions_may_call_nnls_again(tovrin):
    """Python code run by a conversion may itself call nnls; neither call
    disturbs the other."""
    def identity_call(**changes):
        return tovrin.nnls(**dict(in_place_problem(np.eye(2), [1.0, -1.0]), **changes))

    inner = []

    class Reentrant:
        def __int__(self):
            inner.append(identity_call())
            return 2

    class ArrayLike:
        def __array__(self, dtype=None):
            inner.append(identity_call(n=Reentrant()))
            return np.array([1.0, -1.0])

    outer = identity_call(m=Reentrant(), n=Reentrant(), maxiter=Reentrant(),
                          mda=Reentrant(), b=ArrayLike(), w=ArrayLike())
    assert len(inner) == 8
    for x, rnorm, mode in inner + [outer]:
        assert (list(x), rnorm, mode) == ([1.0, 0.0], 1.0, 1)
