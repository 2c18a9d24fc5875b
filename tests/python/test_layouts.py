"""Where the solver works: in the caller's array or in a copy, by argument,
layout and overwrite flag; how extents are read; what a call returns."""
import array

import numpy as np
import pytest

from module_testing import fortran, in_place_problem, same_bits

UNEXPECTED_SIZE = ("unexpected array size: size={}, arr_size=0, rank={}, effrank={}, "
                   "arr.nd={}, dims=[{} ], arr.dims=[{} ]\n")
SIZE_TEXT_LIMIT = 199
MDA_MISMATCH = "(shape(a,0)==mda) failed for 1st keyword mda: nnls:mda={}"
ROWS_TOO_FEW = "(shape(a,0)>=m) failed for 1st argument a: nnls:m={}"
COLUMNS_TOO_FEW = "(shape(a,1)>=n) failed for 1st argument a: nnls:n={}"
A = [[1.0, 2.0], [0.5, -1.0], [2.0, 0.25]]
B = [1.0, 2.0, 3.0]


def problem():
    return in_place_problem(A, B)


@pytest.fixture(scope="module")
def reference(tovrin):
    """Result and final array contents of the all-in-place call."""
    args = problem()
    result = tovrin.nnls(**args)
    return result, {k: np.copy(v) for k, v in args.items() if isinstance(v, np.ndarray)}


def strided(values, dtype):
    """A view on every second element (or column) of a larger array."""
    values = np.array(values, dtype=dtype)
    big = np.zeros(values.shape[:-1] + (2 * values.shape[-1],), dtype=dtype, order="F")
    big[..., ::2] = values
    return big[..., ::2]


def read_only(values, dtype):
    array = fortran(values, dtype)
    array.flags.writeable = False
    return array


def unaligned(values, dtype):
    """A writeable vector one byte off the alignment of its element type."""
    values = np.ravel(np.array(values, dtype=dtype))
    memory = bytearray(values.nbytes + 1)
    array = np.frombuffer(memory, dtype=dtype, offset=1, count=values.size)
    array[:] = values
    return array


class Subclass(np.ndarray):
    pass


VARIANTS = {
    "fortran": lambda v, t: fortran(v, t),
    "c_order": lambda v, t: np.ascontiguousarray(np.array(v, dtype=t)),
    "list": lambda v, t: np.array(v, dtype=t).tolist(),
    "tuple": lambda v, t: tuple(np.array(v, dtype=t).tolist()),
    "strided": strided,
    "read_only": read_only,
    "float32": lambda v, t: fortran(v, np.float32),
    "big_endian": lambda v, t: fortran(v, np.dtype(t).newbyteorder(">")),
    "int32": lambda v, t: fortran(v, np.int32),
    "uint32": lambda v, t: fortran(v, np.uint32),
    "int64": lambda v, t: fortran(v, np.int64),
    "float64": lambda v, t: fortran(v, np.float64),
    "column": lambda v, t: fortran(v, t).reshape(-1, 1, order="F"),
    "unaligned": unaligned,
    "subclass": lambda v, t: fortran(v, t).view(Subclass),
    "complex": lambda v, t: fortran(v, np.complex128),
    "buffer": lambda v, t: array.array("d" if t is np.float64 else "i", np.ravel(v).tolist()),
}
# (argument, variant, overwrite flag) -> does the solver work in the caller's object?
IN_PLACE = {("a", "fortran", 1): True, ("a", "fortran", 0): False, ("a", "fortran", -1): True,
            ("a", "c_order", 1): False, ("a", "list", 1): False, ("a", "strided", 1): False,
            ("a", "read_only", 1): False, ("a", "float32", 1): False,
            ("a", "big_endian", 1): False, ("a", "subclass", 1): True,
            ("a", "complex", 1): False,
            ("b", "fortran", 1): True, ("b", "fortran", 0): False, ("b", "fortran", 2): True,
            ("b", "list", 1): False, ("b", "tuple", 1): False, ("b", "strided", 1): False,
            ("b", "read_only", 1): False, ("b", "float32", 1): False,
            ("b", "big_endian", 1): False, ("b", "column", 1): True,
            ("b", "complex", 1): False,
            # memory that NumPy shares is written whatever the flag says
            ("b", "buffer", 0): True, ("b", "unaligned", 1): False}
for _name in ("w", "zz"):
    IN_PLACE.update({(_name, "fortran", 0): True, (_name, "list", 0): False,
                     (_name, "strided", 0): False, (_name, "read_only", 0): False,
                     (_name, "float32", 0): False, (_name, "big_endian", 0): False,
                     (_name, "buffer", 0): True, (_name, "unaligned", 0): False})
IN_PLACE.update({("index_bn", v, 0): v in ("int32", "uint32", "buffer") for v in
                 ("int32", "uint32", "int64", "float64", "list", "strided",
                  "read_only", "big_endian", "buffer", "unaligned")})
DTYPES = dict(a=np.float64, b=np.float64, w=np.float64, zz=np.float64, index_bn=np.int32)


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("name, variant, flag", IN_PLACE.keys())
def test_solver_works_in_place_only_where_layout_and_flag_allow(tovrin, reference, name,
                                                                 variant, flag):
    args = problem()
    args[name] = VARIANTS[variant](args[name], DTYPES[name])
    args.update(overwrite_a=flag if name == "a" else 1, overwrite_b=flag if name == "b" else 1)
    entry = np.array(args[name])
    result = tovrin.nnls(**args)
    (x, rnorm, mode), final = reference
    assert same_bits(result[0], x) and result[1:] == (rnorm, mode)
    expected = final[name] if IN_PLACE[name, variant, flag] else entry
    assert np.array_equal(np.array(args[name]).reshape(expected.shape), expected)
    assert not np.array_equal(final[name].ravel(), entry.ravel()), "the solver must change it"


# Element types of other sizes and byte orders: each array is converted to the
# solver's type, whatever descriptor layout the running NumPy has.
OTHER_ELEMENT_TYPES = ["float16", "float32", "longdouble", "int8", "int16", "int64", "uint16",
                       ">f8", ">f4", ">i4", ">i2"]


@pytest.mark.parametrize("dtype", OTHER_ELEMENT_TYPES)
def test_every_array_of_another_element_type_gives_the_float64_result(tovrin, dtype):
    a, b = [[1, 2], [0, 1], [2, 0]], [1, 2, 3]
    expected = tovrin.nnls(**in_place_problem(a, b))
    args = in_place_problem(a, b)
    for name in ("a", "b", "w", "zz", "index_bn"):
        args[name] = fortran(args[name], dtype)
    x, rnorm, mode = tovrin.nnls(**args)
    assert same_bits(x, expected[0]) and (rnorm, mode) == expected[1:]


def test_rows_of_b_are_read_column_major(tovrin):
    b = np.arange(1.0, 13.0).reshape(3, 4)  # column-major: 1, 5, 9, 2, ...
    args = dict(a=np.zeros((12, 1), order="F"), n=1, b=b, w=[0.0], zz=np.zeros(12),
                index_bn=[0], maxiter=0)
    assert tovrin.nnls(m=2, **args)[1] == np.sqrt(26.0)
    assert tovrin.nnls(m=12, **args)[1] == np.sqrt(650.0)


SHAPES_OF_A = {"python float": (2.0, (1, 1)), "0-d": (np.array(2.0), (1, 1)),
               "1-d": (np.full(5, 2.0), (5, 1)), "1-d empty": (np.zeros(0), (1, 0)),
               "3-d": (np.full((2, 3, 4), 2.0), (2, 12)),
               "ones passed over": (np.full((1, 3, 1, 2), 2.0), (3, 2)),
               "all ones": (np.full((1, 1, 1), 2.0), (1, 1)),
               "2-d empty": (np.zeros((2, 0)), (2, 0))}


@pytest.mark.parametrize("a, shape", SHAPES_OF_A.values(), ids=SHAPES_OF_A.keys())
def test_a_is_read_as_a_matrix_of_this_shape(tovrin, error_class, a, shape):
    rows, cols = shape
    vectors = dict(b=np.ones(rows), zz=np.zeros(rows), w=np.zeros(cols + 1),
                   index_bn=np.zeros(cols + 1, np.int32), maxiter=0)
    x, rnorm, mode = tovrin.nnls(a, rows, cols, **vectors)
    assert x.shape == (cols,) and mode == (1 if cols else 2)
    tovrin.nnls(a, rows, cols, mda=rows, **vectors)
    wrongs = [(dict(mda=rows + 1), MDA_MISMATCH.format(rows + 1)),
              (dict(n=cols + 1), COLUMNS_TOO_FEW.format(cols + 1))]
    if cols:  # with n = 0 the solver runs and reports mode 2 whatever m is
        wrongs.append((dict(m=rows + 1), ROWS_TOO_FEW.format(rows + 1)))
    for wrong, text in wrongs:
        with pytest.raises(error_class) as caught:
            tovrin.nnls(**dict(dict(a=a, m=rows, n=cols), **wrong), **vectors)
        assert str(caught.value) == text


@pytest.mark.parametrize("b", [np.array(6.0), 6.0, [6.0], [[6.0]]])
def test_any_single_element_b_is_one_element(tovrin, b):
    x, rnorm, mode = tovrin.nnls(2.0, 1, 1, b, [0.0], [0.0], [0], 0)
    assert (list(x), rnorm, mode) == ([3.0], 0.0, 1)


EMPTY_EXTENTS = {"b": ((3, 0), "3", 1, 1), "w": ((0, 3), "3", 1, 1),
                 "index_bn": ((2, 0, 1), "2", 1, 1), "zz": ((4, 0), "4", 1, 1),
                 "a": ((2, 0, 3), "2 3", 2, 2)}


@pytest.mark.parametrize("name", EMPTY_EXTENTS.keys())
def test_surplus_dimension_with_zero_extent_is_refused(tovrin, name):
    shape, dims, rank, effrank = EMPTY_EXTENTS[name]
    size = int(np.prod([int(d) for d in dims.split()]))
    text = UNEXPECTED_SIZE.format(size, rank, effrank, len(shape),
                                  "".join(f" {d}" for d in dims.split()),
                                  "".join(f" {d}" for d in shape))
    args = problem()
    args[name] = np.zeros(shape, dtype=DTYPES[name])
    with pytest.raises(ValueError) as caught:
        tovrin.nnls(**args)
    assert str(caught.value) == text


def test_size_text_is_cut(tovrin):
    shape = (0, 1000003, 1000003, 1000003) + (1,) * 25
    size = 1000003**3
    full = UNEXPECTED_SIZE.format(size, 1, 3, len(shape), f" {size}",
                                  "".join(f" {d}" for d in shape))
    assert len(full) > SIZE_TEXT_LIMIT
    with pytest.raises(ValueError) as caught:
        tovrin.nnls(**dict(problem(), b=np.zeros(shape)))
    assert str(caught.value) == full[:SIZE_TEXT_LIMIT]


def test_result_is_a_new_x_a_float_and_an_int(tovrin):
    args = problem()
    first, second = tovrin.nnls(**args), tovrin.nnls(**problem())
    assert type(first) is tuple and len(first) == 3
    x, rnorm, mode = first
    assert type(x) is np.ndarray and x.dtype == np.float64 and x.shape == (2,)
    assert type(rnorm) is float and type(mode) is int
    assert x.flags.writeable and x.flags.f_contiguous
    assert second[0] is not x and not np.shares_memory(second[0], x)
    for value in args.values():
        assert not (isinstance(value, np.ndarray) and np.shares_memory(value, x))


def test_layout_of_a_does_not_change_the_result(tovrin):
    rng = np.random.default_rng(7)
    a, b = rng.standard_normal((6, 4)), rng.standard_normal(6)
    results = [tovrin.nnls(layout(a), 6, 4, b, np.zeros(4), np.zeros(6),
                           np.zeros(4, np.int32), 0)
               for layout in (np.asfortranarray, np.ascontiguousarray, np.ndarray.tolist,
                              lambda v: strided(v, np.float64))]
    for x, rnorm, mode in results[1:]:
        assert same_bits(x, results[0][0]) and (rnorm, mode) == results[0][1:]


FAILURES = {"maxiter": dict(maxiter=None), "mda conversion": dict(mda="x"),
            "leading dimension": dict(mda=4), "negative n": dict(n=-1),
            "short b": dict(m=3, b=np.ones(2, order="F")), "unknown keyword": dict(other=1)}


@pytest.mark.parametrize("changes", FAILURES.values(), ids=FAILURES.keys())
def test_failing_call_changes_none_of_the_callers_arrays(tovrin, changes):
    args = dict(problem(), **changes)
    before = {k: np.copy(v) for k, v in args.items() if isinstance(v, np.ndarray)}
    with pytest.raises(Exception):
        tovrin.nnls(**args)
    for name, array in before.items():
        assert np.array_equal(args[name], array), name
