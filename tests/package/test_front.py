"""The front door: one rule and one text per argument for every method, any
buffer NumPy can read, results whose fields describe their x, warnings
attributed to the caller."""
import ctypes
import subprocess
import sys
import warnings

import numpy as np
import pytest

import tovrin
from tovrin import _texts

A = np.array([[1.0, 2.0], [1.0, 1.0], [2.0, 1.0]])
B = np.array([1.0, 2.0, 1.0])  # two steps to the solution: maxiter=1 stops early
METHODS = ["exact", "gram", "auto"]


def nnls_with(method):
    return lambda a, b, **kw: tovrin.nnls(a, b, method=method, **kw)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("args, kwargs, error, text", [
    ((None, B), {}, TypeError, _texts.NOT_REAL.format(name="A", dtype="object")),
    ((A, None), {}, TypeError, _texts.NOT_REAL.format(name="b", dtype="object")),
    ((np.ma.masked_array(A), B), {}, TypeError, _texts.MASKED.format(name="A")),
    ((A, np.ma.masked_array(B)), {}, TypeError, _texts.MASKED.format(name="b")),
    ((A, np.ones(4)), {}, ValueError, "b has 4 rows but A has 3"),
    ((A, np.ones((5, 3))), {}, ValueError,
     _texts.ROWS_DIFFER_TRANSPOSED.format(rows=5, m=3, fix="b.T")),
    ((A.T, B), {}, ValueError, _texts.ROWS_DIFFER_TRANSPOSED.format(rows=3, m=2, fix="A.T")),
    ((A.T, np.ones((5, 3))), {}, ValueError,
     _texts.ROWS_DIFFER_TRANSPOSED.format(rows=5, m=2, fix="A.T and b.T")),
    ((A, B), {"maxiter": 0}, ValueError, "maxiter must be None or an int >= 1, got 0"),
    ((A, B), {"threads": True}, ValueError, "threads must be None or an int >= 1, got True"),
    ((A, B), {"maxiter": 1.5}, TypeError, "maxiter must be None or an int >= 1, got 1.5"),
    ((A, [np.nan, 1.0, 1.0]), {}, ValueError, "b must not contain NaN or infinity"),
    ((A, B), {"method": "fast"}, ValueError, _texts.METHOD.format(value="fast")),
])
def test_bad_arguments_get_one_class_and_text_for_every_method(method, args, kwargs, error,
                                                               text):
    kwargs = {"method": method, **kwargs}
    with pytest.raises(error) as caught:
        tovrin.nnls(*args, **kwargs)
    assert str(caught.value) == text


@pytest.mark.parametrize("method", METHODS)
def test_counts_and_flags_of_any_integer_kind_mean_the_same_everywhere(method):
    ref = tovrin.nnls(A, B, method=method)
    for options in [dict(maxiter=2**64, threads=2**63), dict(check_finite=np.False_),
                    dict(check_finite=0), dict(threads=10**6)]:
        res = tovrin.nnls(A, B, method=method, **options)
        assert res.x.tobytes() == ref.x.tobytes()


@pytest.mark.parametrize("call, error, text", [
    (lambda: tovrin.nnls_gram(np.ones((2, 3)), np.ones(2)), ValueError,
     _texts.GRAM_SHAPE.format(shape=(2, 3))),
    (lambda: tovrin.nnls_gram(np.eye(2), np.ones(3)), ValueError,
     _texts.ATB_SHAPE.format(n=2, shape=(3,))),
    (lambda: tovrin.nnls_gram([[1.0, 0.5], [0.4, 1.0]], np.ones(2)), ValueError,
     _texts.GRAM_ASYMMETRIC.format(i=1, j=0, gij=0.4, gji=0.5)),
    (lambda: tovrin.nnls_gram([[1.0, 0.0], [0.0, -1.0]], np.ones(2)), ValueError,
     _texts.GRAM_DIAGONAL.format(i=1, value=-1.0)),
    (lambda: tovrin.nnls_gram(np.eye(2), np.ones((2, 2)), btb=1.0), ValueError,
     _texts.BTB_SHAPE.format(want=(2,), shape=())),
    (lambda: tovrin.nnls_gram(np.eye(2), np.ones(2), btb=-1.0), ValueError,
     _texts.BTB_NEGATIVE.format(value=-1.0)),
    (lambda: tovrin.nnls_gram(np.eye(2), [np.inf, 0.0]), ValueError,
     _texts.NOT_FINITE.format(name="Atb")),
    (lambda: tovrin.nnls_gram(np.eye(2, dtype=complex), np.ones(2)), TypeError,
     _texts.NOT_REAL.format(name="AtA", dtype="complex128")),
    (lambda: tovrin.nnls_gram(np.eye(2), np.ones(2), maxiter=0), ValueError,
     _texts.POSITIVE_INT.format(name="maxiter", value=0)),
    (lambda: tovrin.nnls(A, B, x0=[1.0, 0.0]), ValueError, _texts.X0_EXACT),
    (lambda: tovrin.nnls(A, B, method="gram", x0=[1.0]), ValueError,
     _texts.X0_SHAPE.format(want=(2,), against="A and b", shape=(1,))),
    (lambda: tovrin.nnls_gram(np.eye(3), np.ones(3), x0=np.ones(5)), ValueError,
     _texts.X0_SHAPE.format(want=(3,), against="AtA and Atb", shape=(5,))),
    (lambda: tovrin.nnls(A, B, method="gram", maxiter=np.array([3])), TypeError,
     _texts.POSITIVE_INT.format(name="maxiter", value=np.array([3]))),
    (lambda: tovrin.nnls_gram(np.eye(2), np.ones(2), threads=np.array([2])), TypeError,
     _texts.POSITIVE_INT.format(name="threads", value=np.array([2]))),
    (lambda: tovrin.nnls_gram(np.eye(2), np.ones(2), x0=[np.nan, 0.0]), ValueError,
     _texts.NOT_FINITE.format(name="x0")),
])
def test_gram_form_and_warm_start_arguments_are_checked(call, error, text):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == text


def test_btb_is_a_scalar_wherever_there_is_one_problem():
    g, c = A.T @ A, A.T @ B
    want = tovrin.nnls(A, B).rnorm
    for atb, btb in [(c, B @ B), (c[:, None], B @ B), (c[:, None], [B @ B])]:
        res = tovrin.nnls_gram(g, atb, btb=btb)
        assert np.ravel(res.rnorm)[0] == pytest.approx(want, rel=1e-9)


def buffers():
    """The same 3 x 2 matrix A from exporters that NumPy reads, some without
    strides (ctypes) or with suboffsets (_testbuffer's PIL-style arrays)."""
    yield ((ctypes.c_double * 2) * 3)(*[(ctypes.c_double * 2)(*row) for row in A])
    yield memoryview(np.ascontiguousarray(A.T)).cast("B").cast("d", A.shape[::-1])
    testbuffer = pytest.importorskip("_testbuffer")
    yield testbuffer.ndarray(A.ravel().tolist(), shape=list(A.shape), format="d",
                             flags=testbuffer.ND_PIL)


# Python 3.9's ctypes gives a format that NumPy reads with a warning.
@pytest.mark.filterwarnings("ignore:A builtin ctypes object gave a PEP3118")
@pytest.mark.parametrize("method", METHODS)
def test_every_buffer_numpy_reads_is_read_correctly(method):
    ref = tovrin.nnls(A, B, method=method)
    for i, matrix in enumerate(buffers()):
        a = matrix if i != 1 else np.asarray(matrix).T  # A in column-major order
        res = tovrin.nnls(a, (ctypes.c_double * 3)(*B), method=method)
        assert res.x.tobytes() == ref.x.tobytes()
    empty = tovrin.nnls(np.zeros((0, 2)), (ctypes.c_double * 0)(), method=method)
    assert empty.x.tolist() == [0.0, 0.0] and empty.rnorm == 0.0


# Right-hand sides that take more than one iteration: the exact method's
# first adds one variable; the Gram method's first, the unconstrained
# minimiser, has a negative entry.
@pytest.mark.parametrize("method, b", [("exact", B), ("auto", B), ("gram", [3.0, 1.0, -1.0])])
def test_every_field_describes_the_returned_x_at_the_limit(method, b):
    b = np.array(b)
    with pytest.warns(tovrin.IterationLimitWarning) as caught:
        res = tovrin.nnls(A, b, maxiter=1, method=method)
    assert len(caught) == 1 and caught[0].filename == __file__
    residual = b - A @ res.x
    assert res.status is tovrin.Status.ITERATION_LIMIT and res.iterations == 2
    assert res.rnorm == pytest.approx(np.linalg.norm(residual), rel=1e-14)
    np.testing.assert_allclose(res.dual, A.T @ residual, atol=1e-14)
    assert (res.passive == (res.x > 0)).all()


@pytest.mark.parametrize("method", METHODS)
def test_results_beyond_float64_or_from_nan_are_never_solved(method):
    cases = [(A, [np.nan, 1.0, 1.0]), (A * np.inf, B), (A * 1e-300, B * 1e300)]
    for a, b in cases:
        with pytest.warns(tovrin.NonFiniteResultWarning) as caught:
            res = tovrin.nnls(a, b, method=method, check_finite=False)
        assert res.status is tovrin.Status.NOT_FINITE and caught[0].filename == __file__
    # A solution that underflows to zero is right only with the rnorm of zero.
    res = tovrin.nnls(A * 1e300, B * 1e-300, method=method)
    assert res.status is tovrin.Status.SOLVED and (res.x == 0).all()
    assert res.rnorm == pytest.approx(np.linalg.norm(B) * 1e-300, rel=1e-14)


def test_an_indefinite_gram_matrix_met_in_the_solve_is_reported_as_such():
    # Eigenvalues 3 and -1: the second variable enters with pivot 1 - 4.
    g = np.array([[1.0, -2.0], [-2.0, 1.0]])
    with pytest.warns(tovrin.GramAccuracyWarning, match="not positive semi-definite"):
        res = tovrin.nnls_gram(g, [1.0, 1.0])
    assert res.status is tovrin.Status.GRAM_INDEFINITE


def test_the_result_unpacks_as_x_and_rnorm_and_cannot_be_changed():
    x, rnorm = res = tovrin.nnls(A, B)
    assert x is res.x and rnorm == res.rnorm
    for field in (res.x, res.dual, res.passive, tovrin.nnls(A, np.eye(3)).rnorm):
        with pytest.raises(ValueError):
            field[0] = 5


def test_threads_are_clamped_to_the_problems_and_the_cores(tmp_path):
    # One workspace of A per thread: 10^6 threads for 400 problems of
    # 200 x 150 would take 400 of them (96 MB) without the clamp.
    code = ("import resource, numpy as np, tovrin\n"
            "a = np.random.default_rng(1).random((200, 150)); b = a @ np.ones((150, 400))\n"
            "tovrin.nnls(a, b[:, :2], threads=2)\n"
            "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
            "tovrin.nnls(a, b, threads=10**6)\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)\n")
    grown_kb = int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                  check=True, cwd=tmp_path).stdout)
    assert grown_kb < 40_000


def test_auto_falling_back_at_the_limit_warns_once():
    # A Gaussian blur: too ill-conditioned for the Gram form, large enough for
    # auto to try it.
    t = np.linspace(0.0, 1.0, 400)[:, None]
    a = np.exp(-0.5 * ((t - np.linspace(0.0, 1.0, 300)[None, :]) / 0.05) ** 2)
    b = a @ np.where(np.arange(300) % 60 == 0, 1.0, 0.0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        res = tovrin.nnls(a, np.column_stack([b, b]), method="auto", maxiter=1)
    assert res.method == "gram+exact" and (res.status == tovrin.Status.ITERATION_LIMIT).all()
    assert [w.category for w in caught] == [tovrin.IterationLimitWarning]
    assert caught[0].filename == __file__
