"""Shared set-up of the tests of the public package tovrin.

The repository root holds the package's source folder tovrin/, which has no
compiled extension; when the root is on sys.path (python -m pytest from it,
an editable path, PYTHONPATH=.), `import tovrin` would pick that folder.  The
root is removed from sys.path before anything imports tovrin, and the import
is checked to come from an installed copy.
"""
import os
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != ROOT]

import tovrin  # noqa: E402  (after the path is cleaned)

if os.path.dirname(os.path.dirname(os.path.abspath(tovrin.__file__))) == ROOT:
    raise ImportError(f"tests would import the source folder {tovrin.__file__}; "
                      "install the package (pip install .) and run again")


def random_problem(rng, m, n, k=None):
    """Gaussian A (m, n) and b = A x_true + noise with x_true >= 0 about half zero."""
    a = rng.standard_normal((m, n))
    shape = (n,) if k is None else (n, k)
    x_true = np.abs(rng.standard_normal(shape)) * (rng.random(shape) < 0.5)
    noise = 0.1 * rng.standard_normal((m,) if k is None else (m, k))
    return a, a @ x_true + noise


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
