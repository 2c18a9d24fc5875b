"""Arbitrary objects in every argument position of __tovrin.nnls.

Whatever a caller passes, the call returns a well-formed (x, rnorm, mode) or
raises an Exception; it never crashes the interpreter; a call that raises
leaves the caller's arrays and lists as they were; and no argument gains or
loses a reference.  Each example starts from a call whose sizes agree (so
that the solver runs) and replaces some arguments by anything: nested and
self-containing lists, scalars of every kind, strings, bytes, huge integers,
arrays of every dtype, order, stride, byte order and writeability, objects
that raise in __int__, __index__, __len__, __getitem__ or __array__, arrays
laid over the memory of another argument, and integers and array-likes whose
conversion frees, resizes, retypes, restrides, freezes or reshapes an
argument converted before.

TOVRIN_FUZZ_EXAMPLES sets the number of examples (default 300); fuzz/module.sh
runs a long campaign against the sanitizer build.
"""
import array
import os
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

EXAMPLES = int(os.environ.get("TOVRIN_FUZZ_EXAMPLES", "300"))

REQUIRED = ("a", "m", "n", "b", "w", "zz", "index_bn", "maxiter")
ARRAY_ARGS = ("a", "b", "w", "zz", "index_bn")
CONVERSION_ORDER = ("a", "m", "n", "b", "w", "zz", "index_bn", "maxiter", "mda")
OPTIONAL = ("mda", "overwrite_a", "overwrite_b")
MODES = (1, 2, 3)

SPECIAL_FLOATS = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                  1.7976931348623157e308, -1.7976931348623157e308, 1e154,
                  float("inf"), float("-inf"), float("nan")]
# Integers at the edges of the 32- and 64-bit conversions.  No large
# positive value: n doubles are allocated before n is tested against a, and
# under AddressSanitizer a 2^31-element x costs seconds and gigabytes.
EDGE_INTEGERS = [-2**31, -2**31 - 1, 2**32 + 3, 2**32 - 1, 2**63, -2**63 - 1,
                 2**64 + 2, 10**30, -10**30, True, False]
NUMERIC_DTYPES = ["<f8", ">f8", "<f4", "<f2", "<i1", "<i2", "<i4", ">i4",
                  "<i8", "<u1", "<u4", ">u4", "<u8", "?", "<c8", "<c16",
                  "<g"]
ODD_DTYPES = ["U3", "S3", "O", "m8[s]", "M8[s]"]


# ---------------------------------------------------------------- objects

class Raises:
    """Raises exc from every conversion hook the binding or NumPy may try."""

    def __init__(self, hook, exc):
        self.hook, self.exc = hook, exc

    def _maybe_raise(self, hook, value):
        if hook == self.hook:
            raise self.exc("raised on purpose by " + hook)
        return value

    def __int__(self):
        return self._maybe_raise("__int__", 1)

    def __index__(self):
        return self._maybe_raise("__index__", 1)

    def __float__(self):
        return self._maybe_raise("__float__", 1.0)

    def __len__(self):
        return self._maybe_raise("__len__", 1)

    def __getitem__(self, i):
        return self._maybe_raise("__getitem__", 1.0)

    def __array__(self, dtype=None):
        return self._maybe_raise("__array__", np.ones(1))

    def __repr__(self):
        return f"Raises({self.hook}, {self.exc.__name__})"


class IntReturning:
    """__int__ returns something that is not an int (or a huge one)."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __repr__(self):
        return f"IntReturning({self.value!r})"


class JunkArray:
    """__array__ returns something that is not an array."""

    def __array__(self, dtype=None):
        return [1.0, "x"]


# What Python code run between two conversions may do to an array that was
# already converted.  "shrink" frees its buffer; the resizing actions use
# refcheck=False, which NumPy leaves to the caller: they are drawn only when
# no argument is a view of another.
ACTIONS = ["shrink", "trim", "grow", "freeze", "reshape", "retype", "byteswap",
           "restride"]
RESIZING = ("shrink", "trim", "grow")
RETYPES = [np.uint8, np.int16, np.float16, np.float32, np.int32, np.int64,
           np.complex64, ">f8", np.bool_]


def meddle(target, action, dtype):
    """Changes the array target in place as the action says, when NumPy
    allows it."""
    if not isinstance(target, np.ndarray):
        return
    try:
        if action == "shrink":
            target.resize(0, refcheck=False)
        elif action == "trim":
            target.resize(max(target.size - 1, 0), refcheck=False)
        elif action == "grow":
            target.resize(target.size * 3 + 1, refcheck=False)
        elif action == "freeze":
            target.flags.writeable = False
        elif action == "reshape":
            target.shape = (target.size,)
        elif action == "retype":
            target.dtype = dtype
        elif action == "byteswap":
            target.dtype = target.dtype.newbyteorder()
        elif action == "restride":
            target.strides = (0,) * target.ndim
    except (ValueError, AttributeError, TypeError):
        return
    event(f"changed by {action}")


class Meddler:
    """An integer whose conversion first changes another argument: frees,
    resizes, retypes, restrides, freezes or reshapes it.  The binding must
    not rely on what it saw of that argument before."""

    def __init__(self, value, action, dtype=None):
        self.value, self.action, self.dtype, self.target = value, action, dtype, None

    def __int__(self):
        meddle(self.target, self.action, self.dtype)
        return self.value

    __index__ = __int__

    def __repr__(self):
        return f"Meddler({self.value}, {self.action}, {self.dtype})"


class ArrayMeddler:
    """An array-like whose __array__ first changes another argument (as
    Meddler does), then returns its own array, which the solver may work in
    and which a later Meddler may change in turn."""

    def __init__(self, arr, action, dtype=None):
        self.arr, self.action, self.dtype, self.target = arr, action, dtype, None

    def __array__(self, dtype=None):
        meddle(self.target, self.action, self.dtype)
        return self.arr

    def __repr__(self):
        return f"ArrayMeddler({self.action}, {self.dtype})"


def alias_of(arr, dtype, offset, count):
    """Up to count elements of dtype laid over the memory of arr from byte
    offset on: a view sharing its buffer, or None where arr's memory is not
    one block."""
    if not isinstance(arr, np.ndarray) or arr.dtype.hasobject:
        return None
    try:
        flat = arr.ravel(order="K")
        if not np.shares_memory(flat, arr):
            return None
        raw = flat.view(np.uint8)[offset:]
        size = np.dtype(dtype).itemsize
        return raw[:(min(count * size, raw.size) // size) * size].view(dtype)
    except ValueError:
        return None


def self_containing_list():
    v = [1.0, 2.0]
    v.append(v)
    return v


def unaligned(values):
    """A writeable float64 array whose data starts one byte off alignment."""
    values = np.asarray(values, dtype=np.float64)
    raw = bytearray(values.nbytes + 1)
    arr = np.ndarray(values.shape, np.float64, buffer=raw, offset=1)
    arr[...] = values
    return arr


class Sub(np.ndarray):
    """A subtype of ndarray, which the binding treats as an ndarray."""


# ------------------------------------------------------------- strategies

floats = st.one_of(st.sampled_from(SPECIAL_FLOATS), st.integers(-4, 4).map(float),
                   st.floats(allow_nan=True, allow_infinity=True))

LAYOUTS = ["as is", "fortran", "c", "reversed", "every second", "read-only",
           "byte-swapped", "unaligned", "broadcast", "subtype", "3-d"]


def laid_out(arr, layout):
    """The same logical values as arr in another memory layout."""
    if layout == "fortran":
        return np.asfortranarray(arr)
    if layout == "c":
        return np.ascontiguousarray(arr)
    if layout == "reversed" and arr.ndim >= 1:
        return arr[::-1].copy()[::-1]
    if layout == "every second" and arr.ndim >= 1:
        spread = np.repeat(arr, 2, axis=0)
        return spread[::2]
    if layout == "read-only":
        frozen = arr.copy(order="F")
        frozen.flags.writeable = False
        return frozen
    if layout == "byte-swapped" and arr.dtype.kind in "biufc":
        return arr.byteswap().view(arr.dtype.newbyteorder())
    if layout == "unaligned" and arr.dtype == np.float64:
        return unaligned(arr)
    if layout == "broadcast" and arr.ndim >= 1 and arr.shape[0] > 0:
        return np.broadcast_to(arr[:1], arr.shape)
    if layout == "subtype":
        return arr.view(Sub)
    if layout == "3-d":
        return arr.reshape(arr.shape + (1,))
    return arr


@st.composite
def solver_arrays(draw, shape, dtype="<f8"):
    """An array of the shape the solver needs, in any dtype and layout."""
    if draw(st.integers(0, 3)) == 0:
        dtype = draw(st.sampled_from(NUMERIC_DTYPES))
    arr = draw(hnp.arrays(np.float64, shape, elements=floats))
    with np.errstate(all="ignore"):
        arr = arr.astype(dtype)
    return laid_out(arr, draw(st.sampled_from(LAYOUTS)))


@st.composite
def any_array(draw):
    """An array of any dtype, shape (0 to 3 dimensions) and layout."""
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4))
    dtype = draw(st.sampled_from(NUMERIC_DTYPES + ODD_DTYPES))
    if dtype == "O":
        items = draw(st.lists(scalars, min_size=int(np.prod(shape)),
                              max_size=int(np.prod(shape))))
        arr = np.empty(shape, dtype=object)
        arr.reshape(-1)[:] = items
    elif dtype in ("U3", "S3"):
        arr = draw(hnp.arrays(dtype, shape))
    else:
        arr = draw(hnp.arrays(np.float64, shape, elements=floats))
        with np.errstate(all="ignore"):
            arr = arr.astype("<i8" if dtype[0] in "mM" else dtype).astype(dtype)
    return laid_out(arr, draw(st.sampled_from(LAYOUTS)))


scalars = st.one_of(
    st.integers(-3, 8), st.sampled_from(EDGE_INTEGERS), floats,
    st.complex_numbers(max_magnitude=1e3), st.none(),
    st.text(max_size=4), st.binary(max_size=4),
    st.sampled_from(["3", b"2", "1e3", " 4 ", "0x10", "-1", "nan"]),
    st.sampled_from([np.int8(3), np.uint32(2), np.int64(-5), np.float32(2.5),
                     np.float64("nan"), np.complex64(1 + 2j), np.bool_(True)]),
)

EXCEPTIONS = [RuntimeError, ValueError, TypeError, OverflowError, IndexError,
              KeyError, ZeroDivisionError, MemoryError, ArithmeticError]
HOOKS = ["__int__", "__index__", "__float__", "__len__", "__getitem__", "__array__"]

odd_objects = st.one_of(
    st.builds(Raises, st.sampled_from(HOOKS), st.sampled_from(EXCEPTIONS)),
    st.sampled_from([2.5, "3", None, 2**70, -7]).map(IntReturning),
    st.builds(JunkArray), st.builds(self_containing_list),
    st.builds(dict), st.builds(set), st.builds(object),
    st.builds(lambda: array.array("d", [1.0, 2.0])),
    st.builds(lambda: memoryview(b"\x00" * 16)),
    st.builds(lambda: bytearray(8)), st.builds(lambda: range(3)),
)

nested_lists = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3) |
                            st.tuples(inner, inner), max_leaves=8)

anything = st.one_of(scalars, odd_objects, nested_lists, any_array())

# For maxiter, objects whose value is small or that fail to convert: a large
# iteration limit lets a cycle driven by NaN run for up to 2^31 solves, a
# time sink rather than a fault.
limits = st.one_of(
    st.integers(-3, 30), odd_objects,
    st.sampled_from(["7", b"3", 2.9, [4], (2, 9), np.int64(5), np.array([6]),
                     2**32 + 3, 2**63, -2**63 - 1, float("nan"), float("inf"),
                     3 + 4j, "abc", "", [], None, np.zeros(0)]))


@st.composite
def calls(draw):
    """Keyword arguments of one call: sizes that agree, then some arguments
    replaced by anything."""
    def now_and_then(value, otherwise):
        return otherwise if draw(st.integers(0, 7)) == 0 else value

    rows = now_and_then(draw(st.integers(1, 5)), 0)
    cols = now_and_then(draw(st.integers(1, 5)), 0)
    m = now_and_then(rows, draw(st.integers(-1, rows)))
    n = now_and_then(cols, draw(st.integers(-1, cols)))
    args = dict(
        a=draw(solver_arrays((rows, cols))),
        m=m, n=n,
        b=draw(solver_arrays((max(m, 0) + draw(st.integers(0, 2)),))),
        w=draw(solver_arrays((max(n, 0) + draw(st.integers(0, 2)),))),
        zz=draw(solver_arrays((max(m, 0) + draw(st.integers(0, 2)),))),
        index_bn=draw(solver_arrays((max(n, 0) + draw(st.integers(0, 2)),),
                                    dtype="<i4")),
        maxiter=draw(st.integers(-3, 30)),
    )
    for name in OPTIONAL:
        if draw(st.booleans()):
            choices = [None, rows, rows, 0, rows + 1] if name == "mda" else [0, 1, 2, -1]
            args[name] = draw(st.sampled_from(choices))
    # Most examples keep the sizes consistent so that the solver runs; the
    # rest replace one to three arguments by anything.
    count = draw(st.sampled_from([0, 0, 0, 1, 1, 2, 3]))
    for name in draw(st.permutations(REQUIRED + OPTIONAL))[:count]:
        args[name] = draw(limits if name == "maxiter" else anything)
    # Now and then one array laid over the memory of an earlier one.
    aliased = draw(st.integers(0, 7)) == 0
    if aliased:
        later = draw(st.sampled_from(ARRAY_ARGS[1:]))
        earlier = draw(st.sampled_from(ARRAY_ARGS[:ARRAY_ARGS.index(later)]))
        alias = alias_of(args[earlier], "<i4" if later == "index_bn" else "<f8",
                         draw(st.integers(0, 16)), draw(st.integers(0, 8)))
        if alias is not None:
            args[later] = alias
    # Now and then Python code run between conversions changes an argument
    # already converted: the __int__ of a later integer or the __array__ of a
    # later array (wrapping the array that stood there), whose own array a
    # still later conversion may change in turn.
    # Retyping, which changes the element count while keeping the bytes,
    # weighs three times.
    actions = st.sampled_from([a for a in ACTIONS + ["retype"] * 2
                               if not (aliased and a in RESIZING)])
    for _ in range(draw(st.sampled_from([0, 0, 1, 1, 2]))):
        action, dtype = draw(actions), draw(st.sampled_from(RETYPES))
        # NumPy may return a view of what __array__ gave, so only the
        # arguments themselves are resized.
        targets = {k: v for k, v in args.items()
                   if k in CONVERSION_ORDER and isinstance(v, np.ndarray)}
        if action not in RESIZING:
            targets.update((k, v.arr) for k, v in args.items()
                           if isinstance(v, ArrayMeddler) and isinstance(v.arr, np.ndarray))
        name = draw(st.sampled_from(sorted(targets))) if targets else None
        later = [p for p in CONVERSION_ORDER[CONVERSION_ORDER.index(name) + 1:]
                 if not isinstance(args.get(p), (Meddler, ArrayMeddler))] if name else []
        if not later:
            continue
        target = targets[name]
        if target.ndim == 1 and target.size > 1 and draw(st.booleans()):
            # Too short for the solver, which the change may hide: a retype
            # to a smaller element multiplies the element count.
            target = target[:target.size // 4 + 1].copy()
        elif action in RESIZING and target.flags.owndata:
            # NumPy resizes no array that a weak reference knows, and
            # Hypothesis may keep one to what it drew.
            target = target.copy(order="K")
        if isinstance(args[name], ArrayMeddler):
            args[name].arr = target
        else:
            args[name] = target
        position = draw(st.sampled_from(later))
        standing = args.get(position, rows if position == "mda" else 0)
        if position in ARRAY_ARGS:
            meddler = ArrayMeddler(standing, action, dtype)
        else:
            meddler = Meddler(standing if isinstance(standing, int) else draw(st.integers(-1, 5)),
                              action, dtype)
        meddler.target = target
        args[position] = meddler
    return args


# ---------------------------------------------------------------- checks

IMMUTABLE = (int, float, complex, str, bytes, bool, type(None), np.generic)


def state_of(obj):
    """What a failing call must leave unchanged: array contents and layout,
    and the printed form of a list."""
    if isinstance(obj, np.ndarray):
        return (obj.dtype.str, obj.shape, obj.strides, obj.flags.writeable,
                obj.tobytes() if obj.dtype != object else list(map(id, obj.flat)))
    if isinstance(obj, list):
        return repr(obj)
    return None


def counted(args):
    """The arguments whose reference counts are theirs alone to watch."""
    return [v for v in args.values() if not isinstance(v, IMMUTABLE)]


def check_result(result, args):
    assert type(result) is tuple and len(result) == 3
    x, rnorm, mode = result
    assert type(x) is np.ndarray and x.dtype == np.float64 and x.ndim == 1
    assert x.flags.f_contiguous and x.flags.writeable
    assert type(rnorm) is float and type(mode) is int and mode in MODES
    if mode == 2:
        assert not x.any() and rnorm == 0.0
    else:
        assert not rnorm < 0.0
    for value in args.values():
        if isinstance(value, np.ndarray):
            assert not np.shares_memory(x, value)


def call_and_check(tovrin, args, positional=False, warnings_raise=False):
    """Calls nnls and checks the outcome.  With warnings_raise, NumPy's
    casting warnings become exceptions raised in the middle of a conversion."""
    meddled = any(isinstance(v, (Meddler, ArrayMeddler)) for v in args.values())
    before = {name: state_of(value) for name, value in args.items()}
    objects = counted(args)
    refs = [sys.getrefcount(o) for o in objects]
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error" if warnings_raise else "ignore")
            result = tovrin.nnls(*args.values()) if positional else tovrin.nnls(**args)
    except Exception as exc:  # every failure must be an ordinary exception
        event(f"raised {type(exc).__name__}")
        # SystemError is the interpreter's report of a broken C-API contract
        # (a null result without an exception, or the reverse).
        assert not isinstance(exc, SystemError), exc
        del exc
        if not meddled:
            after = {name: state_of(value) for name, value in args.items()}
            assert after == before
    else:
        event(f"returned mode {result[2] if len(result) == 3 else result}")
        check_result(result, args)
        x = result[0]
        del result
        assert sys.getrefcount(x) == 2
        del x
    assert [sys.getrefcount(o) for o in objects] == refs


@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.filter_too_much])
@given(args=calls(), warnings_raise=st.booleans())
def test_any_arguments_give_a_result_or_an_exception(tovrin, args, warnings_raise):
    call_and_check(tovrin, args, warnings_raise=warnings_raise)


@settings(max_examples=max(EXAMPLES // 3, 50), deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(values=st.lists(anything, min_size=7, max_size=10), limit=limits)
def test_any_positional_arguments(tovrin, values, limit):
    """Nothing in common with a valid call: every position anything."""
    values.insert(7, limit)
    call_and_check(tovrin, dict(zip(REQUIRED + OPTIONAL, values)), positional=True)
