"""The iteration limit (status, warning, nothing printed) and problems at
extreme scales."""
import warnings

import numpy as np
import pytest

import tovrin
from package_testing import low_level, random_problem

# Columns (1,1,2) and (2,1,1), b = (1,2,1): two triangular solves to the
# solution, so maxiter=1 stops on the limit.
TWO_STEP_A = np.array([[1.0, 2.0], [1.0, 1.0], [2.0, 1.0]])
TWO_STEP_B = np.array([1.0, 2.0, 1.0])


def test_limit_sets_status_warns_once_and_prints_nothing(capfd):
    with pytest.warns(tovrin.IterationLimitWarning) as caught:
        res = tovrin.nnls(TWO_STEP_A, TWO_STEP_B, maxiter=1)
    assert len(caught) == 1 and caught[0].filename == __file__
    assert str(caught[0].message) == ("the solver stopped on the iteration limit (maxiter=1) "
                                      "before reaching the solution")
    assert res.status is tovrin.Status.ITERATION_LIMIT and res.converged is False
    assert res.iterations == 2

    b = np.column_stack([TWO_STEP_B, TWO_STEP_B, [1.0, 0.0, 0.0]])
    with pytest.warns(tovrin.IterationLimitWarning,
                      match=r"^2 of 3 problems stopped on the iteration limit \(maxiter=1\)$"):
        many = tovrin.nnls(TWO_STEP_A, b, maxiter=1)
    assert many.status.tolist() == [3, 3, 1] and many.converged.tolist() == [False, False, True]
    assert capfd.readouterr().out == ""
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # two solves suffice: no warning
        assert tovrin.nnls(TWO_STEP_A, TWO_STEP_B, maxiter=2).status is tovrin.Status.SOLVED
    # The x of the low-level module, which prints its line; every other
    # field describes that x: its residual, its dual, the set it was
    # computed on (without the variable that entered at zero).
    x, _, _, _, mode = low_level(TWO_STEP_A, TWO_STEP_B, maxiter=1)
    assert mode == 3 and np.array_equal(res.x, x) and x[1] == 0
    residual = TWO_STEP_B - TWO_STEP_A @ x
    assert res.rnorm == pytest.approx(np.linalg.norm(residual), rel=1e-15)
    np.testing.assert_allclose(res.dual, TWO_STEP_A.T @ residual, rtol=1e-15, atol=1e-15)
    assert res.passive.tolist() == [True, False]


def test_problems_near_the_edge_of_the_safe_range_are_not_touched():
    rng = np.random.default_rng(11)
    a, b = random_problem(rng, 9, 4)
    for sa, sb in [(2.0**479, 2.0**-479), (2.0**-479, 2.0**-479), (1.0, 2.0**479)]:
        scaled_a = a / np.abs(a).max(axis=0) * sa  # every column's largest = sa
        res = tovrin.nnls(scaled_a, b * sb)
        x, rnorm, w, _, _ = low_level(scaled_a, b * sb)
        assert res.x.tobytes() == x.tobytes() and res.dual.tobytes() == w.tobytes()
        assert res.rnorm == rnorm


SCALES = [1e-300, 1e-200, 1e-165, 1e-100, 1.0, 1e100, 1e155, 1e200, 1e300]
# Pairs whose solution, of the size sb/sa, is itself representable.
SCALE_PAIRS = [(sa, sb) for sa in SCALES for sb in SCALES if 1e-290 < sb / sa < 1e290]


@pytest.mark.parametrize("sa,sb", SCALE_PAIRS)
def test_extreme_scales_are_solved_correctly(sa, sb):
    rng = np.random.default_rng(2)
    a, b = random_problem(rng, 12, 5)
    ref = tovrin.nnls(a, b)
    # Columns at very different scales in one matrix, and sa, sb overall.
    col = np.array([1.0, 1e-5, 1e5, 1.0, 1e-2])
    with warnings.catch_warnings():
        # A dual beyond the range of float64 (columns near 1e300 against a
        # large b) is reported as not finite; x and rnorm are still right.
        warnings.simplefilter("ignore", tovrin.NonFiniteResultWarning)
        res = tovrin.nnls(a * col * sa, b * sb)
    assert res.status == tovrin.Status.SOLVED or not np.isfinite(res.dual).all()
    # Relative to the unscaled solution: the scaled problem is the same one,
    # solved along another path; 1e-9 allows for the conditioning of A.
    assert np.allclose(res.x * col * sa / sb, ref.x, rtol=1e-9, atol=1e-12)
    assert np.isclose(res.rnorm / sb, ref.rnorm, rtol=1e-9)
    assert (res.passive == ref.passive).all()


def test_the_examples_of_under_and_overflow():
    res = tovrin.nnls(1e-165 * np.ones((2, 1)), [1.0, 1.0])
    assert np.isclose(res.x[0], 1e165, rtol=1e-14) and res.rnorm < 1e-14
    res = tovrin.nnls(1e155 * np.ones((2, 1)), 1e155 * np.ones(2))
    assert np.isclose(res.x[0], 1.0, rtol=1e-14) and np.isfinite(res.rnorm)
    assert res.rnorm < 1e141
