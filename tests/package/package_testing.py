"""Problems and the low-level module's answers, shared by the package tests."""
import numpy as np


def random_problem(rng, m, n, k=None):
    """Gaussian A (m, n) and b = A x_true + noise with x_true >= 0 about half zero."""
    a = rng.standard_normal((m, n))
    shape = (n,) if k is None else (n, k)
    x_true = np.abs(rng.standard_normal(shape)) * (rng.random(shape) < 0.5)
    noise = 0.1 * rng.standard_normal((m,) if k is None else (m, k))
    return a, a @ x_true + noise


def gram_with(solver, a, b, maxiter=None, threads=None, x0=None, method="gram"):
    """tovrin.nnls(a, b, method=method) through the Gram method's `solver`
    ("one_at_a_time", "many" or "large"), whatever the plan would choose."""
    from tovrin import _solver

    return _solver.nnls(a, b, maxiter, threads, True, method, x0, solver)


def gram_form_with(solver, g, c, btb=None, x0=None):
    """tovrin.nnls_gram(g, c) through the Gram method's `solver`."""
    from tovrin import _solver

    return _solver.nnls_gram(g, c, btb, None, None, x0, solver)


def low_level(a, b, maxiter=None):
    """The low-level module's (x, rnorm, w, index, mode) for A and one b."""
    import __tovrin

    m, n = a.shape
    w = np.zeros(n)
    zz = np.zeros(m)
    index = np.zeros(n, dtype=np.int32)
    x, rnorm, mode = __tovrin.nnls(np.asfortranarray(a, dtype=np.float64), m, n,
                                   np.array(b, dtype=np.float64), w, zz, index,
                                   -1 if maxiter is None else maxiter)
    return x, rnorm, w, index, mode
