"""Solutions through the module: exact small cases compared bit for bit, and
the optimality conditions of the returned point on random problems."""
import ctypes
import math
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from module_testing import in_place_problem, same_bits

QUITTING = "\n NNLS quitting on iteration count.\n"
EPS = np.finfo(np.float64).eps
# Householder QR is backward stable: the computed point solves a problem
# perturbed by a few units of roundoff per element, so the gradient and the
# residual norm agree with the original data to c*(m+n)*eps relative to
# |A|*(|b| + |A|*|x|).  The factor 1000 leaves room for the growth of that
# bound over the active-set steps; a wrong result is off by order one.
TOLERANCE_FACTOR = 1000.0
SENTINEL = 99.0
LIBC = ctypes.CDLL(None)


def console(capfd):
    """What the module wrote to standard output, C stdio buffers included."""
    LIBC.fflush(None)
    return capfd.readouterr().out


def solve(tovrin, a, b, **extra):
    args = in_place_problem(a, b)
    x, rnorm, mode = tovrin.nnls(**dict(args, **extra))
    return x, rnorm, mode, args


EXACT_CASES = {
    # name: (A, b, x, rnorm, w, index, final a, final b)
    "identity": ([[1.0, 0.0], [0.0, 1.0]], [1.0, -1.0], [1.0, 0.0], 1.0, [0.0, -1.0],
                 [1, 2], [[-1.0, 0.0], [0.0, 1.0]], [-1.0, -1.0]),
    "one row, P full": ([[2.0, 3.0, -1.0]], [6.0], [0.0, 2.0, 0.0], 0.0, [0.0, 0.0, 0.0],
                        [2, 1, 3], [[2.0, 3.0, -1.0]], [6.0]),
    "one row, no candidate": ([[2.0, 3.0, 1.0]], [-6.0], [0.0, 0.0, 0.0], 6.0,
                              [-12.0, -18.0, -6.0], [1, 2, 3], [[2.0, 3.0, 1.0]], [-6.0]),
    "zero right-hand side": ([[1.0, -2.0], [3.0, 4.0], [-5.0, 6.0]], [0.0, 0.0, 0.0],
                             [0.0, 0.0], 0.0, [0.0, 0.0], [1, 2],
                             [[1.0, -2.0], [3.0, 4.0], [-5.0, 6.0]], [0.0, 0.0, 0.0]),
    "one column, negative correlation": ([[1.0], [2.0], [2.0]], [-3.0, 0.0, 0.0], [0.0], 3.0,
                                         [-3.0], [1], [[1.0], [2.0], [2.0]], [-3.0, 0.0, 0.0]),
}


@pytest.mark.parametrize("case", EXACT_CASES.keys())
def test_exact_small_cases(tovrin, capfd, case):
    a, b, x, rnorm, w, index, final_a, final_b = EXACT_CASES[case]
    result_x, result_rnorm, mode, args = solve(tovrin, a, b)
    assert same_bits(result_x, x) and (result_rnorm, mode) == (rnorm, 1)
    assert same_bits(args["w"], w) and list(args["index_bn"]) == index
    assert same_bits(args["a"], final_a) and same_bits(args["b"], final_b)
    assert console(capfd) == ""


def test_iteration_limit_stops_after_one_solve(tovrin, capfd):
    x, rnorm, mode, _ = solve(tovrin, [[1.0, 2.0], [1.0, 1.0], [2.0, 1.0]], [1.0, 2.0, 1.0],
                              maxiter=1)
    assert mode == 3 and console(capfd) == QUITTING
    assert x[0] == pytest.approx(5.0 / 6.0, rel=4 * EPS) and same_bits(x[1:], [0.0])
    assert rnorm == pytest.approx(math.sqrt(176.0) / 11.0, rel=16 * EPS)


@pytest.mark.parametrize("maxiter", [0, -1, 1000])
def test_default_iteration_limit_finishes(tovrin, capfd, maxiter):
    x, rnorm, mode, _ = solve(tovrin, [[1.0, 2.0], [1.0, 1.0], [2.0, 1.0]], [1.0, 2.0, 1.0],
                              maxiter=maxiter)
    assert mode == 1 and console(capfd) == "" and (x > 0).all()


STRUCTURE_CASES = {
    # name: (A, b, index, x)
    "tie goes to the lower position": ([[1.0, 0.0], [0.0, 1.0]], [1.0, 1.0], [1, 2], [1.0, 1.0]),
    "zero column never enters": ([[0.0, 1.0], [0.0, 1.0]], [1.0, 1.0], [2, 1], [0.0, 1.0]),
    "one column": ([[1.0], [2.0], [2.0]], [3.0, 0.0, 0.0], [1], [1.0 / 3.0]),
}


@pytest.mark.parametrize("case", STRUCTURE_CASES.keys())
def test_which_variables_enter(tovrin, case):
    a, b, index, x = STRUCTURE_CASES[case]
    result_x, _, mode, args = solve(tovrin, a, b)
    assert mode == 1 and list(args["index_bn"]) == index
    assert result_x == pytest.approx(x, rel=4 * EPS)


def padded_problem(a, b):
    """In-place arguments whose arrays are longer than m and n, with sentinel tails."""
    m, n = a.shape
    args = in_place_problem(np.vstack([a, np.full((2, n), SENTINEL)]),
                            np.append(b, np.full(3, SENTINEL)), n_work=n + 2, m_work=m + 3)
    args.update(m=m, n=n)
    return args


def solve_padded(tovrin, a, b):
    """Solve in place with over-long arrays; nothing beyond m rows or n
    entries may change."""
    m, n = a.shape
    args = padded_problem(a, b)
    x, rnorm, mode = tovrin.nnls(**args)
    assert np.all(args["a"][m:] == SENTINEL) and np.all(args["b"][m:] == SENTINEL)
    assert np.all(args["zz"][m:] == 5.0) and np.all(args["w"][n:] == 5.0)
    assert np.all(args["index_bn"][n:] == 7)
    return x, rnorm, mode, args["w"][:n], args["index_bn"][:n]


def assert_active_set_structure(x, rnorm, w, index, m):
    """What a normal finish guarantees: index is a permutation with P first,
    x = 0 on Z, w = +0 on P and w <= 0 everywhere, and a full P leaves no
    residual and w = 0."""
    n = len(x)
    assert sorted(index) == list(range(1, n + 1))
    assert (x >= 0).all() and (w <= 0).all()
    positive = np.isin(index, np.flatnonzero(x > 0) + 1)
    in_p = positive.nonzero()[0].max() + 1 if positive.any() else 0  # a prefix of P
    assert in_p <= min(m, n)
    assert same_bits(w[index[:in_p] - 1], np.zeros(in_p))
    if in_p == m:
        assert rnorm == 0.0 and same_bits(w, np.zeros(n))


SHAPES = [(1, 1), (1, 4), (4, 1), (3, 3), (6, 3), (3, 6), (10, 7), (7, 10), (15, 15), (30, 8)]


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("shape", SHAPES, ids=[f"{m}x{n}" for m, n in SHAPES])
def test_optimality_on_random_problems(tovrin, capfd, shape, seed):
    rng = np.random.default_rng([seed, *shape])
    a, b = rng.standard_normal(shape), rng.standard_normal(shape[0])
    x, rnorm, mode, w, index = solve_padded(tovrin, a, b)
    assert mode == 1 and console(capfd) == ""
    assert_active_set_structure(x, rnorm, w, index, shape[0])
    nsetp = int(np.count_nonzero(x > 0))
    assert set(index[:nsetp]) == set(np.flatnonzero(x > 0) + 1)
    residual = b - a @ x
    scale = np.linalg.norm(b) + np.linalg.norm(a) * np.linalg.norm(x)
    tolerance = TOLERANCE_FACTOR * sum(shape) * EPS * scale
    gradient = a.T @ residual
    p, z = index[:nsetp] - 1, index[nsetp:] - 1
    assert np.all(np.abs(gradient[p]) <= tolerance * np.linalg.norm(a))
    assert np.all(np.abs(w[z] - gradient[z]) <= tolerance * np.linalg.norm(a))
    assert abs(rnorm - np.linalg.norm(residual)) <= tolerance


@settings(max_examples=200, deadline=None)
@given(st.integers(1, 6).flatmap(lambda m: st.tuples(
    hnp.arrays(np.float64, st.tuples(st.just(m), st.integers(1, 6)), elements=st.integers(-3, 3)),
    hnp.arrays(np.float64, m, elements=st.integers(-3, 3)))))
def test_active_set_structure_on_degenerate_data(tovrin, problem):
    a, b = problem
    x, rnorm, mode, w, index = solve_padded(tovrin, a, b)
    assert mode == 1
    assert_active_set_structure(x, rnorm, w, index, a.shape[0])


def test_calls_from_several_threads_do_not_interfere(tovrin):
    rng = np.random.default_rng(11)
    problems = [(rng.standard_normal((12, 8)), rng.standard_normal(12)) for _ in range(4)]
    serial = [tovrin.nnls(**in_place_problem(a, b)) for a, b in problems]
    outcomes = {}

    def repeat(k):
        a, b = problems[k]
        outcomes[k] = [tovrin.nnls(**in_place_problem(a, b)) for _ in range(200)]

    threads = [threading.Thread(target=repeat, args=(k,)) for k in range(len(problems))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for k, (x, rnorm, mode) in enumerate(serial):
        assert all(same_bits(r[0], x) and r[1:] == (rnorm, mode) for r in outcomes[k])
