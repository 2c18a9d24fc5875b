"""The Gram method's large solver, a problem at a time by block pivoting in
the held form (through the factor of G) or the free form: agreement with the
exact method on problems of every shape, degenerate ones included;
termination under the backup rule; the starting free set x0; the early exit
that method="auto" relies on."""
import warnings

import numpy as np
import pytest

import tovrin

from package_testing import gram_form_with, gram_with, random_problem


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
def test_pivoting_agrees_with_the_exact_method(m, n, kind):
    rng = np.random.default_rng(m + n + len(kind))
    a, b = degenerate(rng, m, n, kind)
    res = gram_with("large", a, b)
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


@pytest.mark.parametrize("order", ["C", "F"])
def test_a_large_problem_takes_few_rounds_in_either_memory_order(order):
    rng = np.random.default_rng(17)
    a, b = random_problem(rng, 600, 300)
    res = tovrin.nnls(np.asarray(a, order=order), b, method="gram")
    exact = tovrin.nnls(a, b)
    assert res.status == tovrin.Status.SOLVED
    assert res.iterations < 20   # rounds, not one trial per variable
    assert np.abs(res.x - exact.x).max() <= 1e-10 * np.abs(exact.x).max()
    assert (res.passive == exact.passive).all()
    assert res.rnorm == pytest.approx(exact.rnorm, rel=1e-12)


# Exchanging every infeasible variable cycles on this problem from the empty
# free set: {} -> {2} -> {0, 1, 2} -> {1} -> {} (found by search).
CYCLE_A = np.array([[-1.165, -2.849, -0.434], [0.96, 2.959, 0.524], [1.248, 3.187, -1.649]])
CYCLE_C = np.array([-0.738, -0.044, 2.569])


@pytest.mark.parametrize("solver", ["large", "many"])
def test_backup_rule_ends_a_cycle_of_full_exchanges(solver):
    g = CYCLE_A.T @ CYCLE_A
    res = gram_form_with(solver, g, CYCLE_C, x0=np.zeros(3))
    assert res.status == tovrin.Status.SOLVED and res.iterations < 20
    assert (res.x >= 0).all() and (g @ res.x - CYCLE_C >= -1e-12).all()


def test_x0_gives_each_problem_its_starting_free_set():
    rng = np.random.default_rng(9)
    a, b = random_problem(rng, 120, 50, 4)
    g, c = a.T @ a, a.T @ b
    cold = gram_form_with("large", g, c)
    nudged = c + 1e-3 * rng.standard_normal(c.shape)
    again = gram_form_with("large", g, nudged)
    warm = gram_form_with("large", g, nudged, x0=cold.x)
    assert (warm.status == tovrin.Status.SOLVED).all()
    np.testing.assert_allclose(warm.x, again.x, rtol=0, atol=1e-10 * np.abs(again.x).max())
    assert (warm.iterations <= again.iterations).all()
    # A poor start (every variable of problem 0 held, all free in 1) too.
    start = np.zeros((50, 4))
    start[:, 1] = 1.0
    poor = gram_with("large", a, b, x0=start)
    np.testing.assert_allclose(poor.x, cold.x, rtol=0, atol=1e-10 * np.abs(cold.x).max())


def blur(m, n):
    t = np.linspace(0.0, 1.0, m)[:, None]
    a = np.exp(-0.5 * ((t - np.linspace(0.0, 1.0, n)[None, :]) / 0.05) ** 2)
    x = np.zeros(n)
    x[::3] = 1.0   # spikes closer than the blur's width: G_FF near singular
    return a, a @ x


def test_auto_hands_what_the_gram_form_cannot_vouch_for_to_the_exact_method():
    a, b = blur(400, 300)
    with pytest.warns(tovrin.GramAccuracyWarning):
        full = tovrin.nnls(a, b, method="gram")
    assert full.status == tovrin.Status.GRAM_INACCURATE
    auto = tovrin.nnls(a, b, method="auto")
    exact = tovrin.nnls(a, b)
    assert auto.method == "gram+exact" and (auto.x == exact.x).all()
