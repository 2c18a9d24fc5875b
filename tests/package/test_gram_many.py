"""The Gram method on many right-hand sides: block pivoting across problems."""
import pathlib
import subprocess
import sys
import types

import numpy as np
import pytest

import tovrin

from package_testing import gram_form_with, gram_with
from test_gram import assert_optimal

ROOT = pathlib.Path(__file__).resolve().parents[2]
K = 64  # problems per call, well above MANY_PROBLEMS

# A 3-variable problem G = M'M + 0.01 I, c, found by search, on which
# exchanging every infeasible variable each round from the free set {2}
# cycles; a = [M; 0.1 I] has a'a = G, and b = a G^-1 c has a'b = c.
CYCLING_M = np.array([[2.4602209774902977, 1.0375169339183996, 1.1693638453750688],
                      [-5.002775441958708, -3.0874927105019543, 2.0238906389825875],
                      [-2.6822003144431728, -1.827389018337565, -0.02437347086118306]])
CYCLING_C = np.array([-0.29763473437236077, -1.4758366097672508, 1.686345842824112])
CYCLING_START = np.array([0.0, 0.0, 1.0])


def problems(rng, m, n, k, supports=None):
    """Gaussian A, B = A X + noise, X >= 0 about half zero; with supports,
    the columns of X take their zero patterns from that many patterns, so
    that many problems share their free sets."""
    a = rng.standard_normal((m, n))
    if supports is None:
        mask = rng.random((n, k)) < 0.5
    else:
        mask = (rng.random((n, supports)) < 0.5)[:, rng.integers(0, supports, k)]
    x = np.abs(rng.standard_normal((n, k))) * mask
    return a, a @ x + 1e-3 * rng.standard_normal((m, k))


def one_at_a_time(a, b):
    return gram_with("one_at_a_time", a, b)


@pytest.mark.parametrize("m, n, supports", [(60, 15, None), (60, 15, 3), (200, 40, None),
                                            (40, 40, 4)])
def test_many_problems_match_one_at_a_time_and_the_exact_method(m, n, supports):
    rng = np.random.default_rng(m + n)
    a, b = problems(rng, m, n, K, supports)
    many = tovrin.nnls(a, b, method="gram")
    alone = one_at_a_time(a, b)
    exact = tovrin.nnls(a, b)
    assert (many.status == tovrin.Status.SOLVED).all()
    assert (many.passive == alone.passive).all() and (many.passive == exact.passive).all()
    # Two solves of the same passive system, rounded differently.
    scale = np.abs(exact.x).max()
    np.testing.assert_allclose(many.x, alone.x, rtol=0, atol=1e-13 * scale)
    np.testing.assert_allclose(many.x, exact.x, rtol=0, atol=1e-10 * scale)
    np.testing.assert_allclose(many.rnorm, exact.rnorm, rtol=1e-10)
    assert_optimal(a, b, many)
    assert (many.iterations >= 1).all() and (many.iterations <= 3 * n).all()


def test_results_of_a_problem_depend_neither_on_threads_nor_on_the_other_problems():
    rng = np.random.default_rng(7)
    a, b = problems(rng, 80, 20, 3 * K, supports=4)
    base = tovrin.nnls(a, b, method="gram", threads=1)
    order = rng.permutation(3 * K)
    for threads, columns in ((2, slice(None)), (3, order), (1, order[:K])):
        other = tovrin.nnls(a, b[:, columns], method="gram", threads=threads)
        for field in ("x", "dual", "rnorm", "passive", "iterations", "status"):
            got, want = getattr(other, field), getattr(base, field)
            assert np.array_equal(got, want[..., columns]), (threads, field)


def test_a_cycling_problem_terminates_by_the_backup_rule_among_many():
    a = np.vstack([CYCLING_M, 0.1 * np.eye(3)])
    b = a @ np.linalg.solve(a.T @ a, CYCLING_C)
    rng = np.random.default_rng(8)
    others = a @ np.abs(rng.standard_normal((3, K))) + rng.standard_normal((6, K))
    rhs = np.hstack([np.repeat(b[:, None], K, axis=1), others])
    start = np.hstack([np.repeat(CYCLING_START[:, None], K, axis=1), np.ones((3, K))])
    res = tovrin.nnls(a, rhs, method="gram", threads=2, x0=start)
    exact = tovrin.nnls(a, rhs)
    assert (res.status == tovrin.Status.SOLVED).all()
    # Full exchanges alone would go round for ever; the single exchanges
    # take this problem past 3 n rounds.
    assert (res.iterations[:K] > 9).all()
    assert (res.passive == exact.passive).all()
    np.testing.assert_allclose(res.x, exact.x, rtol=0, atol=1e-12)


def test_x0_starts_each_problem_from_its_own_free_set():
    rng = np.random.default_rng(9)
    a, b = problems(rng, 100, 25, K)
    cold = tovrin.nnls(a, b, method="gram")
    start = np.where(cold.passive, 1.0, 0.0)
    start[:, 0] = -1.0  # not positive: F empty
    warm = tovrin.nnls(a, b, method="gram", threads=2, x0=start)
    assert (warm.iterations[1:] == 1).all() and warm.iterations[0] > 1
    assert (warm.passive == cold.passive).all()
    np.testing.assert_allclose(warm.x, cold.x, rtol=0, atol=1e-13 * np.abs(cold.x).max())
    few = tovrin.nnls(a, b[:, :3], method="gram", threads=1, x0=start[:, :3])
    assert few.x.shape == (25, 3) and (few.iterations[1:] == 1).all()


def test_the_gram_form_entry_agrees_with_the_matrix_entry():
    rng = np.random.default_rng(11)
    a, b = problems(rng, 90, 30, K)
    b += 0.3 * rng.standard_normal(b.shape)  # rnorm from b'b cancels less
    via_a = tovrin.nnls(a, b, method="gram")
    res = tovrin.nnls_gram(a.T @ a, a.T @ b, btb=(b * b).sum(axis=0))
    assert (res.passive == via_a.passive).all()
    np.testing.assert_allclose(res.x, via_a.x, rtol=0, atol=1e-12 * np.abs(via_a.x).max())
    np.testing.assert_allclose(res.rnorm, via_a.rnorm, rtol=1e-8)
    warm = tovrin.nnls_gram(a.T @ a, a.T @ b, x0=np.where(res.passive, 1.0, 0.0))
    assert (warm.iterations == 1).all() and np.isnan(warm.rnorm).all()
    np.testing.assert_allclose(warm.x, res.x, rtol=0, atol=1e-13 * np.abs(res.x).max())


@pytest.mark.parametrize("case", ["zero and duplicate columns", "wide", "rank deficient"])
def test_degenerate_matrices_are_solved_or_flagged_never_wrong(case):
    rng = np.random.default_rng(10)
    a, b = problems(rng, 30, 8, K)
    if case == "zero and duplicate columns":
        a[:, 2] = 0.0
        a[:, 5] = a[:, 1]
    elif case == "wide":
        a, b = problems(rng, 6, 12, K)
    else:
        a[:, 7] = a[:, 0] + a[:, 3]
    b[:, :2] = 0.0
    res = tovrin.nnls(a, b, method="gram")
    exact = tovrin.nnls(a, b)
    assert not res.passive[:, :2].any() and (res.x[:, :2] == 0).all()
    assert (res.rnorm[:2] == 0).all()
    solved = res.status == tovrin.Status.SOLVED
    assert ((res.status == tovrin.Status.SOLVED) |
            (res.status == tovrin.Status.GRAM_INACCURATE)).all()
    assert solved.mean() > 0.5
    # x need not be unique; the residual is.
    np.testing.assert_allclose(res.rnorm[solved], exact.rnorm[solved], rtol=1e-8,
                               atol=1e-12 * np.abs(b).max())
    assert (res.x >= 0).all()
    assert_optimal(a, b[:, solved], types.SimpleNamespace(
        x=res.x[:, solved], passive=res.passive[:, solved], dual=res.dual[:, solved]))


def test_the_nmf_example_runs(tmp_path):
    out = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "nmf.py"), "--m", "30", "--samples", "120",
         "--rank", "4", "--iterations", "4", "--out", str(tmp_path)],
        capture_output=True, text=True, check=True, cwd=tmp_path).stdout
    # Both runs take the same iterates, up to rounding.
    difference = float(out.split("largest difference of the errors:")[1].split()[0])
    assert "warm / cold" in out and difference < 1e-12
    assert any(tmp_path.glob("nmf.*"))
