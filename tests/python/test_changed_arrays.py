"""Arrays that Python code changes after their conversion, and arrays that
share memory.

An __int__ of maxiter, or an __array__ of a later array argument, runs after
a caller's array was accepted for working in place, and may retype, resize,
free, freeze or reshape it.  The checks made just before the solver read the
arrays as they are then: a change the solver cannot work with is refused with
error, nothing of the caller's is written, and the solver never touches a
byte outside an array (tools/sanitize.sh runs these tests under
AddressSanitizer).  index_bn is the last array converted, so only an __int__
can change it.  Any two arrays whose used bytes overlap are refused too.
"""
import numpy as np
import pytest

from module_testing import in_place_problem, run_python

# Setting an array's dtype or shape in place is the very change under test;
# NumPy 2.5 deprecates it.
pytestmark = pytest.mark.filterwarnings(
    "ignore:Setting the (dtype|shape) on a NumPy array:DeprecationWarning")

ARRAYS = ("a", "b", "w", "zz", "index_bn")
ORDINALS = dict(a="1st", b="4th", w="5th", zz="6th", index_bn="7th")
EXTENT = dict(a="mda", b="m", w="n", zz="m", index_bn="n")
M, N = 6, 4

TYPE_TEXT = "(dtype({0})=='{1}') failed for {2} argument {0}"
LAYOUT_TEXT = "(isfarray({0})) failed for {1} argument {0}"
SIZE_TEXT = dict(
    a=f"(size(a)>=shape(a,0)*shape(a,1)) failed for 1st argument a: nnls:mda={M}",
    b=f"(len(b)>=m) failed for 4th argument b: nnls:m={M}",
    w=f"(len(w)>=n) failed for 5th argument w: nnls:n={N}",
    zz=f"(len(zz)>=m) failed for 6th argument zz: nnls:m={M}",
    index_bn=f"(len(index_bn)>=n) failed for 7th argument index_bn: nnls:n={N}")
APART_TEXT = "({0} apart from {1}) failed for {2} argument {0}: nnls:{3}={4}"


def type_text(name):
    return TYPE_TEXT.format(name, "i" if name == "index_bn" else "d", ORDINALS[name])


def other_kind(arr):
    arr.dtype = np.float32 if arr.itemsize == 4 else np.int64


def to_bytes(arr):
    arr.dtype = np.uint8


def byte_swapped(arr):
    arr.dtype = arr.dtype.newbyteorder()


def shrunk(arr):
    arr.resize(arr.size - 1, refcheck=False)


def freed(arr):
    arr.resize(0, refcheck=False)


def frozen(arr):
    arr.flags.writeable = False


def reshaped(arr):
    arr.shape = arr.shape + (1,)


def layout_text(name):
    return LAYOUT_TEXT.format(name, ORDINALS[name])


# change -> the text it is refused with (None: the solver can still work).
# Native byte order is part of the layout the solver works in.
CHANGES = {to_bytes: type_text, other_kind: type_text, byte_swapped: layout_text,
           shrunk: SIZE_TEXT.get, freed: SIZE_TEXT.get, frozen: layout_text,
           reshaped: lambda name: None}
# A Fortran-ordered matrix cannot be retyped to a smaller element.
GRID = [(change, name) for change in CHANGES for name in ARRAYS
        if not (change is to_bytes and name == "a")]


def problem():
    rng = np.random.default_rng(8)
    return in_place_problem(rng.standard_normal((M, N)), rng.standard_normal(M))


class ChangingInt:
    def __init__(self, change, value):
        self.change, self.value = change, value

    def __int__(self):
        self.change()
        return self.value


class ChangingArrayLike:
    def __init__(self, change, arr):
        self.change, self.arr = change, arr

    def __array__(self, dtype=None):
        self.change()
        return self.arr


def raw(arr):
    return arr.tobytes(order="A")


def call_with_change(tovrin, error_class, change, name, through):
    args = problem()
    target = args[name]
    arrays = {k: v for k, v in args.items() if isinstance(v, np.ndarray)}
    before = {k: raw(v) for k, v in arrays.items()}
    if through == "__int__ of maxiter":
        args["maxiter"] = ChangingInt(lambda: change(target), 0)
    else:
        later = ARRAYS[ARRAYS.index(name) + 1]
        args[later] = ChangingArrayLike(lambda: change(target), args[later])
    expected = CHANGES[change](name)
    if expected is None:
        return tovrin.nnls(**args)
    with pytest.raises(error_class) as caught:
        tovrin.nnls(**args)
    assert str(caught.value) == expected
    for key, old in before.items():  # a shrunk array keeps its leading bytes
        now = raw(arrays[key])
        assert now == old[:len(now)], key
    return None


@pytest.mark.parametrize("change, name", GRID)
def test_change_made_by_int_of_a_later_argument(tovrin, error_class, change, name):
    result = call_with_change(tovrin, error_class, change, name, "__int__ of maxiter")
    if result is not None:
        expected = tovrin.nnls(**problem())
        assert raw(result[0]) == raw(expected[0]) and result[1:] == expected[1:]


@pytest.mark.parametrize("change, name", [(c, n) for c, n in GRID if n != "index_bn"])
def test_change_made_by_array_of_a_later_argument(tovrin, error_class, change, name):
    result = call_with_change(tovrin, error_class, change, name, "__array__ of the next array")
    if result is not None:
        assert result[2] == 1


def test_retyped_work_array_from_the_report_is_refused(error_class):
    """w of 2 doubles, retyped to 16 bytes, used to pass len(w) >= n = 16 and
    the solver wrote 128 bytes into it."""
    done = run_python(
        "import numpy as np, __tovrin\n"
        "w = np.zeros(2)\n"
        "class Maxiter:\n"
        "    def __int__(self):\n"
        "        w.dtype = np.uint8\n"
        "        return 0\n"
        "a = np.asfortranarray(np.random.default_rng(0).standard_normal((6, 16)))\n"
        "try:\n"
        "    __tovrin.nnls(a, 6, 16, np.ones(6), w, np.zeros(6),"
        " np.zeros(16, np.int32), Maxiter())\n"
        "except Exception as exc:\n"
        "    print(type(exc).__name__, exc)\n"
        "print(w.tobytes() == bytes(16))\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"error {type_text('w')}\nTrue\n"


# ----------------------------------------------------------------- overlap

def packed(offsets):
    """The arrays of a 3x2 problem in one buffer of doubles, each starting at
    its offset (in doubles): a 3x2, b and zz of 3, w of 2, index_bn of 2
    int32 (one double)."""
    m, n = 3, 2
    rng = np.random.default_rng(3)
    buf = rng.standard_normal(16)
    lengths = dict(a=m * n, b=m, w=n, zz=m, index_bn=1)
    views = {k: buf[offsets[k]:offsets[k] + lengths[k]] for k in ARRAYS}
    views["a"] = views["a"].reshape((m, n), order="F")
    views["index_bn"] = views["index_bn"].view(np.int32)
    views["index_bn"][:] = 0
    return dict(views, m=m, n=n, maxiter=0, overwrite_a=1, overwrite_b=1), buf


SIDE_BY_SIDE = dict(a=0, b=6, w=9, zz=11, index_bn=14)
PAIRS = [(p, q) for i, p in enumerate(ARRAYS) for q in ARRAYS[i + 1:]]


@pytest.mark.parametrize("earlier, later", PAIRS)
@pytest.mark.parametrize("where", ["at its first element", "at its last element"])
def test_arrays_sharing_used_bytes_are_refused(tovrin, error_class, earlier, later, where):
    offsets = dict(SIDE_BY_SIDE)
    length = (SIDE_BY_SIDE[ARRAYS[ARRAYS.index(earlier) + 1]] - SIDE_BY_SIDE[earlier])
    offsets[later] = offsets[earlier] + (0 if where == "at its first element" else length - 1)
    args, buf = packed(offsets)
    before = buf.tobytes()
    with pytest.raises(error_class) as caught:
        tovrin.nnls(**args)
    value = dict(m=3, n=2)[EXTENT[later]]
    assert str(caught.value) == APART_TEXT.format(later, earlier, ORDINALS[later],
                                                  EXTENT[later], value)
    assert buf.tobytes() == before


def test_arrays_side_by_side_in_one_buffer_are_apart(tovrin):
    args, _ = packed(SIDE_BY_SIDE)
    alone = {k: v.copy(order="F") if isinstance(v, np.ndarray) else v
             for k, v in args.items()}
    x, rnorm, mode = tovrin.nnls(**args)
    expected = tovrin.nnls(**alone)
    assert raw(x) == raw(expected[0]) and (rnorm, mode) == expected[1:]


def test_work_array_inside_a_copied_matrix_is_apart(tovrin):
    """With overwrite_a=0 the solver works in a copy of a, so w may be a
    column of the caller's a."""
    args = problem()
    args.update(overwrite_a=0, w=args["a"][:N, 0])
    assert tovrin.nnls(**args)[2] == 1
