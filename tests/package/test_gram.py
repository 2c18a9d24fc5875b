"""The Gram-form method: tovrin.nnls(method="gram"|"auto") and tovrin.nnls_gram."""
import threading
import time
import warnings

import numpy as np
import pytest

import tovrin

from package_testing import random_problem

SHAPES = [(40, 20), (20, 20), (10, 20), (1, 4), (6, 1), (300, 60)]


def conditioned(rng, m, n, kappa, k=None, dense=False):
    """A = U diag(s) V^T with s from 1 down to 1/kappa, b = A x_true + noise,
    x_true >= 0 about half zero (dense: all positive, so that every column
    is passive and the passive set has A's condition number)."""
    u = np.linalg.qr(rng.standard_normal((m, n)))[0]
    v = np.linalg.qr(rng.standard_normal((n, n)))[0]
    a = (u * np.geomspace(1.0, 1.0 / kappa, n)) @ v.T
    shape = (n,) if k is None else (n, k)
    x_true = 1.0 + rng.random(shape) if dense else (
        np.abs(rng.standard_normal(shape)) * (rng.random(shape) < 0.5))
    return a, a @ x_true + 1e-3 * rng.standard_normal((m,) if k is None else (m, k))


def assert_optimal(a, b, res):
    """x >= 0, x = 0 off the passive set, the dual A^T (b - A x) ~ 0 on it and
    <= 0 off it, to the documented tolerance (with room for the dual being
    recomputed here from A)."""
    x = res.x
    dual = a.T @ (b - a @ x)
    g = a.T @ a
    scale = np.abs(g).sum(axis=0).max() * np.abs(x).max(axis=0) + np.abs(a.T @ b).max(axis=0)
    tol = 1e-9 * scale + 1e-12
    assert (x >= 0).all()
    assert (x[~res.passive] == 0).all()
    assert (np.abs(np.where(res.passive, dual, 0)) <= tol).all()
    assert (np.where(res.passive, 0, dual) <= tol).all()
    np.testing.assert_allclose(res.dual, a.T @ b - g @ x, atol=1e-12 * np.max(scale) + 1e-12)


@pytest.mark.parametrize("m, n", SHAPES)
@pytest.mark.parametrize("k", [None, 7])
def test_random_problems_of_every_shape_are_solved_optimally(m, n, k):
    rng = np.random.default_rng(m * 100 + n)
    a, b = random_problem(rng, m, n, k)
    res = tovrin.nnls(a, b, method="gram")
    assert res.method == "gram"
    assert (np.asarray(res.status) == tovrin.Status.SOLVED).all()
    assert np.all(res.converged)
    assert_optimal(a, b, res)
    exact = tovrin.nnls(a, b)
    np.testing.assert_allclose(res.rnorm, exact.rnorm, rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize("m, n", [(80, 40), (40, 40), (200, 50)])
@pytest.mark.parametrize("kappa", [1e2, 1e4])
def test_well_conditioned_problems_agree_with_the_exact_method(m, n, kappa):
    rng = np.random.default_rng(int(kappa) + m)
    a, b = conditioned(rng, m, n, kappa, k=5)
    res = tovrin.nnls(a, b, method="gram")
    exact = tovrin.nnls(a, b)
    assert (res.status == tovrin.Status.SOLVED).all()
    assert (res.passive == exact.passive).all()
    assert np.abs(res.x - exact.x).max() <= 1e-10 * np.abs(exact.x).max()


@pytest.mark.parametrize("kappa", [1e8, 1e12])
def test_ill_conditioned_problems_are_accurate_or_flagged_and_auto_falls_back(kappa):
    rng = np.random.default_rng(8)
    a, b = conditioned(rng, 60, 30, kappa, k=12, dense=True)
    exact = tovrin.nnls(a, b)
    scale = np.abs(exact.x).max(axis=0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tovrin.GramAccuracyWarning)
        results = [tovrin.nnls(a, b, method="gram"), tovrin.nnls_gram(a.T @ a, a.T @ b)]
    for res in results:
        flagged = res.status == tovrin.Status.GRAM_INACCURATE
        assert not res.converged[flagged].any()
        error = np.abs(res.x - exact.x).max(axis=0) / scale
        assert (error[~flagged] <= 1e-6).all()
    assert (results[1].status == tovrin.Status.GRAM_INACCURATE).any()

    flagged = results[0].status == tovrin.Status.GRAM_INACCURATE
    assert tovrin.nnls(a, b, method="auto").method == "exact"  # below the threshold
    # Enough right-hand sides for auto to take the Gram method; a problem's
    # results do not depend on the others.
    copies = 20
    with warnings.catch_warnings():
        warnings.simplefilter("error", tovrin.GramAccuracyWarning)
        auto = tovrin.nnls(a, np.tile(b, copies), method="auto")
    flagged = np.tile(flagged, copies)
    assert auto.method == ("gram+exact" if flagged.any() else "gram")
    assert (auto.x[:, flagged] == np.tile(exact.x, copies)[:, flagged]).all()
    assert (auto.status == tovrin.Status.SOLVED).all()


def test_nnls_gram_agrees_with_the_gram_method_and_reports_rnorm_from_btb():
    rng = np.random.default_rng(3)
    a, b = random_problem(rng, 90, 30, 6)
    via_a = tovrin.nnls(a, b, method="gram")
    res = tovrin.nnls_gram(a.T @ a, a.T @ b, btb=(b * b).sum(axis=0))
    assert res.method == "gram"
    assert (res.passive == via_a.passive).all()
    np.testing.assert_allclose(res.x, via_a.x, rtol=0, atol=1e-12 * np.abs(via_a.x).max())
    np.testing.assert_allclose(res.rnorm, via_a.rnorm, rtol=1e-9)
    np.testing.assert_allclose(res.dual, via_a.dual, atol=1e-10)
    one = tovrin.nnls_gram(a.T @ a, a.T @ b[:, 0])
    assert np.isnan(one.rnorm) and one.x.shape == (30,)
    assert isinstance(one.status, tovrin.Status)


def test_degenerate_data():
    rng = np.random.default_rng(5)
    a, b = random_problem(rng, 30, 6)
    a[:, 2] = 0.0
    a[:, 4] = a[:, 0]
    b = b + 3.0 * a[:, 0]
    res = tovrin.nnls(a, b, method="gram")
    assert res.status == tovrin.Status.SOLVED
    assert res.x[2] == 0.0 and not (res.passive[0] and res.passive[4])
    assert res.rnorm == pytest.approx(tovrin.nnls(a, b).rnorm, rel=1e-10)

    zero = tovrin.nnls(a, np.zeros(30), method="gram")
    assert (zero.x == 0).all() and zero.rnorm == 0.0 and zero.iterations <= 1

    col = tovrin.nnls(np.array([[2.0], [0.0]]), np.array([3.0, 1.0]), method="gram")
    assert col.x[0] == pytest.approx(1.5) and col.rnorm == pytest.approx(1.0)

    wide_a, wide_b = random_problem(rng, 8, 20, 4)
    wide = tovrin.nnls(wide_a, wide_b, method="gram")
    assert (wide.status == tovrin.Status.SOLVED).all()
    assert_optimal(wide_a, wide_b, wide)

    empty = tovrin.nnls(np.zeros((3, 0)), np.ones(3), method="gram")
    assert empty.x.shape == (0,) and empty.rnorm == pytest.approx(np.sqrt(3.0))


@pytest.mark.parametrize("scale", [1e-300, 1e-165, 1e155, 1e300])
def test_extreme_scales_are_solved(scale):
    rng = np.random.default_rng(11)
    a, b = random_problem(rng, 20, 8)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tovrin.NonFiniteResultWarning)
        res = tovrin.nnls(a * scale, b * scale, method="gram")
    exact = tovrin.nnls(a, b)
    # The dual scales with scale^2: beyond float64 it is reported as such.
    dual_fits = scale < 1e150
    assert res.status == (tovrin.Status.SOLVED if dual_fits else tovrin.Status.NOT_FINITE)
    np.testing.assert_allclose(res.x, exact.x, atol=1e-12)
    assert res.rnorm == pytest.approx(exact.rnorm * scale, rel=1e-10)


def test_many_right_hand_sides_match_per_problem_solves_and_any_thread_count():
    rng = np.random.default_rng(2)
    a, b = random_problem(rng, 100, 25, 40)
    batch = tovrin.nnls(a, b, method="gram", threads=1)
    again = tovrin.nnls(a, b, method="gram", threads=3)
    for field in ("x", "dual", "rnorm", "passive", "iterations", "status"):
        assert np.array_equal(getattr(batch, field), getattr(again, field)), field
    for j in (0, 17, 39):
        alone = tovrin.nnls(a, b[:, j], method="gram")
        assert (alone.passive == batch.passive[:, j]).all()
        np.testing.assert_allclose(alone.x, batch.x[:, j], rtol=0, atol=1e-13)


@pytest.mark.parametrize("m, n, k", [(200, 20, 300), (600, 300, 3)])
def test_a_problems_bits_depend_neither_on_the_threads_nor_on_the_others(m, n, k):
    rng = np.random.default_rng(3)
    a, b = random_problem(rng, m, n, k)
    one, two = (tovrin.nnls(a, b, method="gram", threads=t) for t in (1, 2))
    assert one.x.tobytes() == two.x.tobytes() and one.dual.tobytes() == two.dual.tobytes()
    alone = tovrin.nnls(a, b[:, 1], method="gram")
    assert alone.x.tobytes() == one.x[:, 1].tobytes() and alone.rnorm == one.rnorm[1]
    # Nor on the memory order of A and B.
    fortran = tovrin.nnls(np.asfortranarray(a), np.asfortranarray(b), method="gram", threads=1)
    assert fortran.x.tobytes() == one.x.tobytes()


def test_the_interpreter_lock_is_released_during_the_solve():
    rng = np.random.default_rng(4)
    a, b = random_problem(rng, 1200, 600)
    g, c = a.T @ a, a.T @ b
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    worker = threading.Thread(target=count)
    start = time.perf_counter()
    worker.start()
    try:
        tovrin.nnls_gram(g, c, threads=1)
    finally:
        finished = time.perf_counter()
        done.set()
        worker.join()
    during = [t for t in ticks if start < t < finished]
    assert len(during) >= 5
