"""What tovrin.nnls accepts, converts and refuses, and that it never changes
its inputs."""
import numpy as np
import pytest

import tovrin
from tovrin._convert import NOT_REAL_TEXT

A = np.array([[1.0, 2.0], [3.0, 1.0], [0.5, 0.5]])
B = np.array([1.0, 2.0, 3.0])


# Small integers: every conversion below keeps their values exactly.
@pytest.mark.parametrize("convert", [
    lambda v: v.astype(np.float32), lambda v: v.astype(np.int16), lambda v: v.astype(np.uint8),
    lambda v: v.astype(">f8"), lambda v: v.tolist(), lambda v: memoryview(v.copy())])
def test_real_inputs_are_solved_as_their_float64_values(convert):
    ref = tovrin.nnls(A * 2, B)
    res = tovrin.nnls(convert(A * 2), convert(B))
    assert res.x.tobytes() == ref.x.tobytes() and res.rnorm == ref.rnorm


@pytest.mark.parametrize("bad,dtype", [(np.array([[1.0 + 1j, 0]]), "complex128"),
                                       (np.array([[True, False]]), "bool"),
                                       (np.array([[1.0, None]], dtype=object), "object"),
                                       (np.array([["a", "b"]]), "<U1")])
def test_non_real_elements_are_refused_naming_the_argument(bad, dtype):
    with pytest.raises(TypeError) as e:
        tovrin.nnls(bad, [1.0])
    assert str(e.value) == NOT_REAL_TEXT.format(name="A", dtype=dtype)
    with pytest.raises(TypeError) as e:
        tovrin.nnls([[1.0]], bad[0])
    assert str(e.value) == NOT_REAL_TEXT.format(name="b", dtype=dtype)


@pytest.mark.parametrize("a,b,text", [
    (np.ones((6, 2)), np.ones(5), "b has 5 rows but A has 6"),
    (np.ones((6, 2)), np.ones((5, 3)), "b has 5 rows but A has 6"),
    (np.ones(3), np.ones(3), "A must be 2-dimensional, got shape (3,)"),
    (np.ones((3, 2, 1)), np.ones(3), "A must be 2-dimensional, got shape (3, 2, 1)"),
    (np.ones((3, 2)), 1.0, "b must be 1- or 2-dimensional, got shape ()"),
    (np.ones((3, 2)), np.ones((3, 1, 1)), "b must be 1- or 2-dimensional, got shape (3, 1, 1)"),
])
def test_shapes_that_disagree_are_refused(a, b, text):
    with pytest.raises(ValueError) as e:
        tovrin.nnls(a, b)
    assert str(e.value) == text


@pytest.mark.parametrize("name", ["maxiter", "threads"])
@pytest.mark.parametrize("value,error", [(0, ValueError), (-1, ValueError), (True, ValueError),
                                         (False, ValueError), (2.0, TypeError),
                                         ("3", TypeError)])
def test_counts_must_be_positive_ints(name, value, error):
    with pytest.raises(error) as e:
        tovrin.nnls(A, B, **{name: value})
    assert str(e.value) == f"{name} must be None or an int >= 1, got {value!r}"


def test_counts_accept_any_integer_type():
    ref = tovrin.nnls(A, B)
    for count in [np.int32(5), 10**30]:
        assert np.array_equal(tovrin.nnls(A, B, maxiter=count, threads=count).x, ref.x)


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
def test_check_finite_names_the_argument(value):
    a = A.copy()
    a[1, 1] = value
    b = B.copy()
    b[2] = value
    with pytest.raises(ValueError, match="^A must not contain NaN or infinity$"):
        tovrin.nnls(a, B)
    with pytest.raises(ValueError, match="^b must not contain NaN or infinity$"):
        tovrin.nnls(A, np.column_stack([B, b]))
    for method in ("exact", "gram", "auto"):  # reaches the solver unchecked
        with pytest.warns(tovrin.NonFiniteResultWarning):
            res = tovrin.nnls(a, b, check_finite=False, method=method)
        assert res.status is tovrin.Status.NOT_FINITE and not res.converged


@pytest.mark.parametrize("layout", ["C", "F", "strided"])
def test_unchecked_nan_marks_only_its_own_problem(layout):
    rng = np.random.default_rng(4)
    b = rng.standard_normal((A.shape[0], 40))
    b[1, 17] = np.nan
    rhs = {"C": b, "F": np.asfortranarray(b), "strided": np.repeat(b, 2, axis=1)[:, ::2]}[layout]
    for method in ("exact", "gram"):
        with pytest.warns(tovrin.NonFiniteResultWarning):
            res = tovrin.nnls(A, rhs, check_finite=False, method=method)
        assert (res.status == tovrin.Status.NOT_FINITE).nonzero()[0].tolist() == [17]


def test_inputs_are_never_modified():
    rng = np.random.default_rng(5)
    for a in [rng.standard_normal((7, 4)), np.asfortranarray(rng.standard_normal((7, 4)))]:
        b = rng.standard_normal((7, 3))
        a_before, b_before = a.copy(order="A"), b.copy(order="A")
        for rhs in [b, b[:, 0], np.asfortranarray(b)]:
            tovrin.nnls(a, rhs)
        assert a.tobytes("A") == a_before.tobytes("A") and b.tobytes("A") == b_before.tobytes("A")
    read_only = A.copy()
    read_only.flags.writeable = False
    tovrin.nnls(read_only, B)
