"""Helpers shared by the black-box tests of the extension module __tovrin.

A module of its own name, not conftest: the tests of the package tovrin
have a conftest of their own, and one pytest run collects both trees.
"""
import importlib.util
import subprocess
import sys

import numpy as np


def fortran(values, dtype=np.float64):
    """A new column-major, aligned, writeable array: one the solver works in."""
    return np.asfortranarray(np.array(values, dtype=dtype))


def same_bits(actual, expected):
    """Equality of float64 arrays bit for bit, so that -0.0 differs from 0.0."""
    actual = np.ascontiguousarray(actual, dtype=np.float64)
    expected = np.ascontiguousarray(expected, dtype=np.float64)
    return actual.shape == expected.shape and actual.tobytes() == expected.tobytes()


def in_place_problem(a, b, n_work=None, m_work=None):
    """Keyword arguments of nnls for A and b, every array one the solver works in.

    The work arrays start from sentinels (w = zz = 5.0, index_bn = 7), so that
    every array visibly changes when the solver writes into it.
    """
    a = fortran(a)
    if a.ndim == 1:
        a = a.reshape(-1, 1, order="F")
    m, n = a.shape
    return dict(a=a, m=m, n=n, b=fortran(b),
                w=np.full(n_work or n, 5.0), zz=np.full(m_work or m, 5.0),
                index_bn=np.full(n_work or n, 7, dtype=np.int32),
                maxiter=0, overwrite_a=1, overwrite_b=1)


def run_python(code):
    """Run code in a fresh interpreter; returns the completed process."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=60)


def numpy_headers_major():
    """Major version of the NumPy headers the module was built against: 2 when
    its import step names NumPy 2's core module, else 1."""
    with open(importlib.util.find_spec("__tovrin").origin, "rb") as module:
        return 2 if b"numpy._core._multiarray_umath" in module.read() else 1
