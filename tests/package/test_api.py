"""tovrin.nnls against its contract: fields and shapes, bit-identity with the
solver core, independence from threads, order and layout."""
import numpy as np
import pytest

import tovrin
from package_testing import low_level, random_problem

SHAPES = [(1, 1), (5, 3), (3, 5), (8, 8), (30, 12), (12, 30), (60, 20)]


def bits(v):
    return np.ascontiguousarray(v, dtype=np.float64).tobytes()


@pytest.mark.parametrize("m,n", SHAPES)
def test_one_problem_is_the_solver_core_bit_for_bit(m, n):
    rng = np.random.default_rng(m * 100 + n)
    for _ in range(5):
        a, b = random_problem(rng, m, n)
        res = tovrin.nnls(a, b)
        x, rnorm, w, index, mode = low_level(a, b)
        assert bits(res.x) == bits(x) and bits(res.dual) == bits(w)
        assert bits(res.rnorm) == bits(rnorm)
        assert res.status is tovrin.Status(mode) and res.converged is (mode == 1)
        nsetp = int(res.passive.sum())
        assert set(index[:nsetp] - 1) == set(np.flatnonzero(res.passive))
        assert isinstance(res.rnorm, float) and isinstance(res.iterations, int)
        assert res.method == "exact"


@pytest.mark.parametrize("m,n", SHAPES)
def test_k_problems_are_the_single_problems(m, n):
    rng = np.random.default_rng(m + n)
    a, b = random_problem(rng, m, n, k=7)
    res = tovrin.nnls(a, b)
    assert res.x.shape == res.dual.shape == res.passive.shape == (n, 7)
    assert res.rnorm.shape == res.iterations.shape == res.status.shape == (7,)
    assert res.passive.dtype == bool and res.converged.dtype == bool
    for j in range(7):
        one = tovrin.nnls(a, b[:, j])
        assert bits(res.x[:, j]) == bits(one.x) and bits(res.dual[:, j]) == bits(one.dual)
        assert bits(res.rnorm[j]) == bits(one.rnorm)
        assert (res.passive[:, j] == one.passive).all()
        assert res.iterations[j] == one.iterations and res.status[j] == one.status


def test_results_do_not_depend_on_threads_order_or_layout():
    rng = np.random.default_rng(3)
    a, b = random_problem(rng, 40, 15, k=64)
    ref = tovrin.nnls(a, b, threads=1)
    perm = rng.permutation(64)
    wide = np.zeros((80, 45))
    wide[::2, ::3] = a  # a strided view of the same values
    for res, cols in [(tovrin.nnls(a, b, threads=2), slice(None)),
                      (tovrin.nnls(a, b, threads=5), slice(None)),
                      (tovrin.nnls(a, b[:, perm], threads=2), perm),
                      (tovrin.nnls(np.asfortranarray(a), b), slice(None)),
                      (tovrin.nnls(wide[::2, ::3], np.asfortranarray(b)), slice(None)),
                      (tovrin.nnls(a.T.copy().T, b), slice(None))]:
        assert bits(res.x) == bits(ref.x[:, cols]) and bits(res.dual) == bits(ref.dual[:, cols])
        assert bits(res.rnorm) == bits(ref.rnorm[cols])
        assert (res.iterations == ref.iterations[cols]).all()


@pytest.mark.parametrize("m,n,k", [(0, 3, None), (4, 0, None), (0, 0, None), (0, 3, 2),
                                   (4, 0, 3), (4, 3, 0)])
def test_empty_dimensions_give_the_trivial_solution(m, n, k):
    b = np.arange(1.0, m + 1) if k is None else np.ones((m, k)) * np.arange(1.0, m + 1)[:, None]
    res = tovrin.nnls(np.ones((m, n)), b)
    xshape = (n,) if k is None else (n, k)
    assert res.x.shape == res.dual.shape == res.passive.shape == xshape
    assert not res.x.any() and not res.dual.any() and not res.passive.any()
    assert np.all(res.rnorm == np.linalg.norm(b, axis=0)) and np.all(res.converged)


def test_result_is_an_immutable_record_built_by_keyword():
    res = tovrin.nnls(np.eye(2), [1.0, -1.0])
    with pytest.raises(AttributeError):
        res.x = np.zeros(2)
    with pytest.raises(AttributeError):
        res.extra = 1
    made = tovrin.NNLSResult(x=res.x, rnorm=res.rnorm, dual=res.dual, passive=res.passive,
                             iterations=res.iterations, status=tovrin.Status.ITERATION_LIMIT)
    assert made.converged is False and made.method == "exact"
    import copy
    import pickle

    for again in [pickle.loads(pickle.dumps(res)), copy.deepcopy(res)]:
        assert repr(again) == repr(res)
    assert repr(res) == "\n".join([
        "NNLSResult(", "    x=array([1., 0.]),", "    rnorm=1.0,", "    dual=array([ 0., -1.]),",
        "    passive=array([ True, False]),", "    iterations=1,", "    status=<Status.SOLVED: 1>,",
        "    converged=True,", "    method='exact',", ")"])
    lines = repr(tovrin.nnls(np.eye(2), np.eye(2))).splitlines()
    assert lines[1:3] == ["    x=array([[1., 0.],", "             [0., 1.]]),"]
    many = tovrin.NNLSResult(x=res.x, rnorm=res.rnorm, dual=res.dual, passive=res.passive,
                             iterations=1, status=np.array([1, 3]), method="gram")
    assert many.converged.tolist() == [True, False] and many.method == "gram"


def test_public_names_and_documentation():
    import inspect

    params = inspect.signature(tovrin.nnls).parameters.values()
    assert [(p.name, p.kind.name, p.default) for p in params] == [
        ("A", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("b", "POSITIONAL_OR_KEYWORD", inspect.Parameter.empty),
        ("maxiter", "KEYWORD_ONLY", None), ("threads", "KEYWORD_ONLY", None),
        ("check_finite", "KEYWORD_ONLY", True), ("method", "KEYWORD_ONLY", "exact"),
        ("x0", "KEYWORD_ONLY", None)]
    assert isinstance(tovrin.__version__, str) and tovrin.__version__[0].isdigit()
    assert issubclass(tovrin.IterationLimitWarning, RuntimeWarning)
    assert [(s.name, int(s)) for s in tovrin.Status] == [
        ("SOLVED", 1), ("ITERATION_LIMIT", 3), ("GRAM_INACCURATE", 4), ("NOT_FINITE", 5),
        ("GRAM_INDEFINITE", 6)]
    assert str(tovrin.Status.SOLVED) == "Status.SOLVED"
    for name in ["maxiter", "threads", "check_finite", "rnorm", "dual", "passive",
                 "iterations", "Exact", "IterationLimitWarning"]:
        assert name in tovrin.nnls.__doc__
    assert "Attributes" in tovrin.NNLSResult.__doc__


def test_dir_and_help_show_the_package_not_its_machinery():
    import pydoc

    names = dir(tovrin)
    assert [name for name in names if name.startswith("_")] == ["__version__"]
    assert set(tovrin.__all__) < set(names) and "dask" in names
    assert not {"Optional", "annotations", "npt", "importlib"} & set(names)
    assert all(getattr(tovrin, name) is not None for name in names)  # dask on first use
    assert "nanobind" not in pydoc.render_doc(tovrin.NNLSResult, renderer=pydoc.plaintext)
    first = tovrin.nnls.__doc__.split("\n\n")[1]
    assert all(f'"{method}"' in first for method in ["exact", "gram", "auto"])
