"""Block principal pivoting in the Gram method (tovrin/_gram_pivoting.py):
agreement with the exact method on problems of every shape, degenerate ones
included; termination under the backup rule; the factor updates; the
starting free set x0; the early exit that method="auto" relies on."""
import warnings

import numpy as np
import pytest

import tovrin
from tovrin import _gram_method, _gram_pivoting

from package_testing import random_problem


@pytest.fixture
def pivoting(monkeypatch):
    """Every problem through block principal pivoting, however small."""
    monkeypatch.setattr(_gram_method, "PIVOTING_MIN_VARIABLES", 1)


def objective(a, b, x):
    r = a @ x - b
    return np.einsum("ij,ij->j", r, r)


def degenerate(rng, m, n, kind):
    a, b = random_problem(rng, m, n, 3)
    if kind == "rank-deficient":
        a[:, n // 2:] = a[:, : n - n // 2] @ rng.standard_normal((n - n // 2, n // 2))
    elif kind == "duplicate and zero columns":
        a[:, 1] = a[:, 0]
        a[:, 3] = 0.0
        b = b + 2.0 * a[:, :1]
    return a, b


# The Gram method's accuracy contract: x to 1e-10 relative where it is
# unique (full column rank), else the objective to 1e-12 relative.
CASES = [(120, 60, "random"), (60, 60, "random"), (30, 60, "random"),
         (120, 60, "rank-deficient"), (120, 60, "duplicate and zero columns")]


@pytest.mark.parametrize("m, n, kind", CASES)
def test_pivoting_agrees_with_the_exact_method(pivoting, m, n, kind):
    rng = np.random.default_rng(m + n + len(kind))
    a, b = degenerate(rng, m, n, kind)
    res = tovrin.nnls(a, b, method="gram")
    exact = tovrin.nnls(a, b)
    solved = res.status == tovrin.Status.SOLVED
    assert solved.all() or kind != "random"
    assert (res.x >= 0).all()
    f, f_exact = objective(a, b, res.x), objective(a, b, exact.x)
    # (A zero residual, as wide problems reach, is matched to rounding.)
    floor = 1e-20 * np.einsum("ij,ij->j", b, b)
    assert (np.abs(f - f_exact)[solved] <= (1e-12 * f_exact + floor)[solved]).all()
    if kind == "random" and m >= n:
        assert np.abs(res.x - exact.x).max() <= 1e-10 * np.abs(exact.x).max()


def test_large_problem_takes_the_pivoting_path_and_agrees():
    rng = np.random.default_rng(17)
    n = _gram_method.PIVOTING_MIN_VARIABLES
    a, b = random_problem(rng, 2 * n, n)
    res = tovrin.nnls(a, b, method="gram")
    exact = tovrin.nnls(a, b)
    assert res.status == tovrin.Status.SOLVED
    assert res.iterations < 20   # rounds, not one trial per variable
    assert np.abs(res.x - exact.x).max() <= 1e-10 * np.abs(exact.x).max()
    assert (res.passive == exact.passive).all()


# Exchanging every infeasible variable cycles on this problem from the empty
# free set: {} -> {2} -> {0, 1, 2} -> {1} -> {} (found by search).
CYCLE_A = np.array([[-1.165, -2.849, -0.434], [0.96, 2.959, 0.524], [1.248, 3.187, -1.649]])
CYCLE_C = np.array([-0.738, -0.044, 2.569])


def test_backup_rule_ends_a_cycle_of_full_exchanges(monkeypatch):
    g = CYCLE_A.T @ CYCLE_A
    gnorm = np.abs(g).sum(axis=0).max()
    factor, rounds, optimal = _gram_pivoting.pivot(g, CYCLE_C, np.zeros(3, bool), gnorm, 50)
    assert optimal and rounds < 50
    x = np.zeros(3)
    x[factor.set] = factor.solve(CYCLE_C[factor.set])
    assert (x >= 0).all() and (g @ x - CYCLE_C >= -1e-12).all()
    monkeypatch.setattr(_gram_pivoting, "BACKUP_ROUNDS", 10**6)
    assert not _gram_pivoting.pivot(g, CYCLE_C, np.zeros(3, bool), gnorm, 50)[2]


def test_factor_updates_match_a_fresh_factorisation():
    rng = np.random.default_rng(4)
    a = rng.standard_normal((80, 30))
    g = a.T @ a
    free = rng.random(30) < 0.5
    factor = _gram_pivoting._factorise(g, free)
    leaving = np.flatnonzero(free)[[0, 3, -1]]
    entering = np.flatnonzero(~free)[:4]
    updated = _gram_pivoting._update(factor, g, leaving, entering)
    free[leaving], free[entering] = False, True
    assert sorted(updated.set) == list(np.flatnonzero(free))
    r = np.tril(updated.rt[:updated.p, :updated.p]).T
    gff = g[np.ix_(updated.set, updated.set)]
    np.testing.assert_allclose(r.T @ r, gff, rtol=0, atol=1e-12 * np.abs(gff).max())
    v = rng.standard_normal(updated.p)
    np.testing.assert_allclose(updated.solve(v), np.linalg.solve(gff, v), rtol=1e-10)
    # A column in the span of the free set's columns is refused.
    dependent = np.column_stack([a, a[:, updated.set[:2]].sum(axis=1)])
    gd = dependent.T @ dependent
    fresh = _gram_pivoting._factorise(gd, np.r_[free, False])
    assert _gram_pivoting._update(fresh, gd, np.array([], int), np.array([30])) is None


def test_x0_gives_each_problem_its_starting_free_set(pivoting):
    rng = np.random.default_rng(9)
    a, b = random_problem(rng, 120, 50, 4)
    g, c = a.T @ a, a.T @ b
    cold = tovrin.nnls_gram(g, c)
    nudged = c + 1e-3 * rng.standard_normal(c.shape)
    again = tovrin.nnls_gram(g, nudged)
    warm = tovrin.nnls_gram(g, nudged, x0=cold.x)
    assert (warm.status == tovrin.Status.SOLVED).all()
    np.testing.assert_allclose(warm.x, again.x, rtol=0, atol=1e-10 * np.abs(again.x).max())
    assert (warm.iterations <= again.iterations).all()
    # A poor start (every variable of problem 0 bound, all free in 1) too.
    start = np.zeros((50, 4))
    start[:, 1] = 1.0
    poor = _gram_method.solve_matrix(a, b, 150, 1, start)
    np.testing.assert_allclose(poor[0], cold.x, rtol=0, atol=1e-10 * np.abs(cold.x).max())


def blur(m, n):
    t = np.linspace(0.0, 1.0, m)[:, None]
    a = np.exp(-0.5 * ((t - np.linspace(0.0, 1.0, n)[None, :]) / 0.05) ** 2)
    x = np.zeros(n)
    x[:: n // 5] = 1.0
    return a, a @ x


def test_early_exit_flags_a_problem_the_gram_form_cannot_vouch_for(pivoting, monkeypatch):
    a, b = blur(200, 100)
    x, _, _, _, iterations, status = _gram_method.solve_matrix(a, b[:, None], 300, 1, None, True)
    assert status[0] == tovrin.Status.GRAM_INACCURATE and iterations[0] <= 2
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        full = tovrin.nnls(a, b, method="gram")
    assert full.status != tovrin.Status.SOLVED or full.iterations > 2
    monkeypatch.setattr(_gram_method, "AUTO_MIN_WORK", 0.0)
    auto = tovrin.nnls(a, b, method="auto")
    exact = tovrin.nnls(a, b)
    assert auto.method == _gram_method.FALLBACK and (auto.x == exact.x).all()
