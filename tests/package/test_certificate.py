"""What a Gram-method result reported solved vouches for: rnorm describes
the x returned, the residual is as small as the exact method's, and the
dual is finite wherever the exact method's is."""
import warnings

import numpy as np
import pytest

import tovrin

pytestmark = pytest.mark.filterwarnings("ignore::tovrin.GramAccuracyWarning")


def ill_conditioned_in_cone(seed, k):
    """A of condition 1e3..1e9 and B = A X for a non-negative X: the least
    residual is rounding, and the Gram form can hardly see some columns."""
    rng = np.random.default_rng(seed)
    m, n = int(rng.integers(5, 40)), int(rng.integers(2, 12))
    n = min(n, m)
    u, _ = np.linalg.qr(rng.standard_normal((m, n)))
    v, _ = np.linalg.qr(rng.standard_normal((n, n)))
    a = u @ np.diag(np.logspace(0, -rng.uniform(3, 9), n)) @ v.T
    x = np.abs(rng.standard_normal((n, k))) * (rng.random((n, k)) < 0.7)
    return a, a @ x


def spread(a, b, x):
    """||b|| + sum ||a_j|| x_j, the scale of the rounding of b - A x."""
    return np.linalg.norm(b, axis=0) + np.linalg.norm(a, axis=0) @ np.abs(x)


@pytest.mark.parametrize("k", [1, 4, 16])
def test_a_solved_residual_is_the_least_to_within_its_rounding(k):
    for seed in range(40):
        a, b = ill_conditioned_in_cone(seed, k)
        exact = tovrin.nnls(a, b)
        for res in (tovrin.nnls(a, b, method="gram"),
                    tovrin.nnls(a, b, method="gram", x0=exact.x)):
            solved = np.atleast_1d(res.status) == tovrin.Status.SOLVED
            r = np.linalg.norm(b - a @ res.x, axis=0)
            excess = r - np.linalg.norm(b - a @ exact.x, axis=0)
            assert (excess[solved] <= 1e-12 * spread(a, b, res.x)[solved]).all(), seed
            np.testing.assert_allclose(np.atleast_1d(res.rnorm)[solved], r[solved],
                                       rtol=1e-10, atol=1e-15)


@pytest.mark.parametrize("decades", [6, 7, 9])
def test_rnorm_of_many_problems_on_an_ill_conditioned_a_describes_x(decades):
    rng = np.random.default_rng(290)
    u, _ = np.linalg.qr(rng.standard_normal((10, 5)))
    v, _ = np.linalg.qr(rng.standard_normal((5, 5)))
    a = u @ np.diag(np.logspace(0, -decades, 5)) @ v.T
    b = rng.standard_normal((10, 8))
    res = tovrin.nnls(a, b, method="gram")
    solved = res.status == tovrin.Status.SOLVED
    np.testing.assert_allclose(res.rnorm[solved],
                               np.linalg.norm(b - a @ res.x, axis=0)[solved], rtol=1e-10)


@pytest.mark.parametrize("k", [1, 8])
def test_duals_beyond_the_range_of_doubles_on_the_free_set_are_zero(k):
    rng = np.random.default_rng(11)
    a = rng.standard_normal((4, 2)) * 10.0 ** rng.uniform(-300, 300, 2)
    b = np.repeat((rng.standard_normal(4) * 1e100)[:, None], k, axis=1)
    exact, gram = tovrin.nnls(a, b), tovrin.nnls(a, b, method="gram")
    assert (exact.status == tovrin.Status.SOLVED).all()
    assert (gram.status == tovrin.Status.SOLVED).all()
    assert (gram.dual[gram.passive] == 0.0).all()
    np.testing.assert_allclose(gram.x, exact.x, rtol=1e-12)
