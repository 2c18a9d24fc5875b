"""tovrin.nnls against its contract: fields and shapes, bit-identity with the
solver core, independence from threads, order and layout."""
import numpy as np
import pytest

import tovrin
from conftest import low_level, random_problem

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
