"""The Gram-form method's kernels: non-negative least squares on G = A^T A
and c = A^T b.

``solve_matrix`` (behind ``tovrin.nnls(A, b, method="gram")``) forms G and
A^T B once with NumPy's matrix product (NumPy's own BLAS) and runs the
iterations of every problem in C++ (tovrin._gram) with the interpreter lock
released; ``solve_gram`` (behind ``tovrin.nnls_gram``) does the same for
callers who hold only the Gram form.  Both take arguments that the front
door (tovrin._solver) has checked, and return the raw fields
``(x, dual, passive, rnorm, iterations, status)``: x, dual and passive of
shape (n, k), the others (k,).  The front door assembles the result, issues
the warnings and, for ``method="auto"``, re-solves flagged problems with the
exact method.
"""
from __future__ import annotations

import contextlib
import threading
from typing import Any, ContextManager

import numpy as np

from . import _gram
from ._status import Status

# Beside a status: x rounded when it was scaled back; the front door
# recomputes its rnorm and dual.
REFIT = 64

# method="auto" takes the Gram form when A is at least as tall as it is
# wide and the exact method's work, about m n^2 multiply-adds per problem,
# reaches AUTO_MIN_WORK over all k problems.  Measured with
# bench/bench_gram.py (one run, side by side, Gram product included): for one
# problem the Gram method took 1.56 times the exact method's time at tall
# 200 x 100 (m n^2 = 2e6) and 0.63 times at tall 400 x 200 (1.6e7); square
# 200 x 200 (8e6) was even.  With many right-hand sides the product is paid
# once and the Gram method gains further.
AUTO_MIN_WORK = 1.0e7

# NNLSResult.method of a method="auto" result some of whose problems the
# front door solved again with the exact method.
FALLBACK = "gram+exact"


# Multiply-adds up to which the Gram product runs on one BLAS thread.
# NumPy's OpenBLAS keeps the worker threads of a multi-threaded product
# spinning for about a tenth of a second after it returns, and they take a
# share of every core that the solve's workers fill: measured with 10^4
# right-hand sides and A of 200 x 20 on 2 cores, the call took 1.35 to 1.4
# times as long.  A product of this size takes a few hundredths of a second
# on one thread.  The choice depends on the product alone, never on
# `threads`: OpenBLAS's roundings depend on its thread count, and the
# method's results must not depend on `threads`.
SMALL_PRODUCT = 1.0e8


class _OneBlasThread:
    """NumPy's BLAS limited to one thread while any call is inside; the
    first call to enter sets the limit and the last to leave restores the
    setting it found, so overlapping calls from several Python threads
    cannot leave the limit behind."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._inside = 0
        self._limiter: Any = None
        self._controller: Any = None

    def available(self) -> bool:
        """Whether threadpoolctl is there to set the limit."""
        with self._lock:
            if self._controller is None:
                try:
                    from threadpoolctl import ThreadpoolController
                except ImportError:
                    self._controller = False
                else:
                    self._controller = ThreadpoolController()
            return self._controller is not False

    def __enter__(self) -> None:
        with self._lock:
            if self._inside == 0:
                self._limiter = self._controller.limit(limits=1, user_api="blas")
            self._inside += 1

    def __exit__(self, *exc: object) -> None:
        with self._lock:
            self._inside -= 1
            if self._inside == 0:
                self._limiter.restore_original_limits()
                self._limiter = None


_one_blas_thread = _OneBlasThread()


def _blas_threads_for_product(work: float) -> ContextManager[Any]:
    """One BLAS thread for a product of `work` multiply-adds up to
    SMALL_PRODUCT; NumPy's own threading above it, or where threadpoolctl is
    missing."""
    if work > SMALL_PRODUCT or not _one_blas_thread.available():
        return contextlib.nullcontext()
    return _one_blas_thread


def _largest(array: np.ndarray, axis: int) -> np.ndarray:
    """max |array| along axis, without a temporary of the array's size."""
    if array.shape[axis] == 0:
        return np.zeros(array.shape[1 - axis])
    return np.maximum(np.max(array, axis=axis), -np.min(array, axis=axis))


def _exponents(magnitude: np.ndarray) -> np.ndarray:
    """e with magnitude * 2**-e in [0.5, 1), 0 where magnitude is 0 or not finite."""
    e = np.frexp(magnitude)[1]
    e[~np.isfinite(magnitude) | (magnitude == 0)] = 0
    return e


def _unscale(x, w, status, e, f):
    """x 2^(f - e) and w 2^(e + f) for rows j (problems) and columns i; a dual
    beyond the range of doubles (columns near 1e300) becomes infinite, as the
    quantity itself is.  A problem whose x rounds on the way (a solution
    beyond the range of doubles) is marked for the front door to recompute
    its rnorm and dual from the x returned."""
    shift = f[:, None] - e[None, :]
    with np.errstate(over="ignore", under="ignore"):
        unscaled = np.ldexp(x, shift)
        rounded = (np.ldexp(unscaled, -shift) != x).any(axis=1)
        status[rounded] |= REFIT
        return unscaled, np.ldexp(w, f[:, None] + e[None, :])


def _solve_scaled(g_columns, ct, a_columns, bt, maxiter, threads, group=True):
    """Runs tovrin._gram.solve; returns x, w (k, n), passive, iterations,
    status and (with A) the residual norms, else NaN.

    group: problems whose passive sets coincide may share one factorisation
    (for 64 or more problems; see tovrin/src/gram_module.cpp)."""
    k, n = ct.shape
    x = np.zeros((k, n))
    w = ct.copy()
    passive = np.zeros((k, n), dtype=bool)
    iterations = np.zeros(k, dtype=np.int64)
    status = np.full(k, int(Status.SOLVED), dtype=np.int64)
    rnorm = np.full(k, np.nan)
    _gram.solve(g_columns, ct, a_columns, bt, maxiter, threads,
                x, w, passive, iterations, status, rnorm, group)
    return x, w, passive, iterations, status, rnorm


def _fields(x, w, passive, rnorm, iterations, status):
    """The raw fields in the front door's order, per-variable ones (n, k)."""
    return x.T, w.T, passive.T, rnorm, iterations, status


def solve_matrix(a, rhs, maxiter, threads, x0=None, early_exit=False, group=True):
    """The Gram method on A (m, n) and B (m, k), float64, m, n, k >= 1.

    maxiter >= 1 and threads >= 1 are resolved; x0 (n, k) or None is not yet
    used by this kernel, nor early_exit; group lets problems whose passive
    sets coincide share a factorisation."""
    m, n = a.shape
    k = rhs.shape[1]
    # Columns of A and of B scaled by powers of two (exact) to magnitudes in
    # [0.5, 1): A^T A cannot overflow or underflow, and its diagonal is
    # equilibrated, which keeps cond(A^T A) as small as column scaling can.
    e = _exponents(_largest(a, 0))
    a_columns = np.ldexp(a, -e, order="F")
    # Row j = b_j 2^-f_j, transposed and scaled in one pass.
    f = _exponents(_largest(rhs, 0))
    if f.any():
        bt = np.ldexp(rhs.T, -f[:, None], order="C")
    else:
        bt = np.ascontiguousarray(rhs.T)
    with _blas_threads_for_product(float(m) * n * (n + k)):
        gram = a_columns.T @ a_columns   # symmetric bit for bit (one triangle mirrored)
        ct = bt @ a_columns               # row j = (A^T b_j)^T
    x, w, passive, iterations, status, rnorm = _solve_scaled(
        gram.T, ct, a_columns, bt, maxiter, threads, group)
    rnorm = np.ldexp(rnorm, f)
    # A x = b for x = 2^(f - e) x' and A^T (b - A x) = 2^(e + f) w'.
    x, w = _unscale(x, w, status, e, f)
    return _fields(x, w, passive, rnorm, iterations, status)


# An eigenvalue of the scaled G (unit diagonal, largest eigenvalue between 1
# and n) below -INDEFINITE times the largest is beyond any rounding of a
# Gram matrix formed in float64: G is not positive semi-definite.
INDEFINITE = 1e-8


def _mark_indefinite(g, status):
    """Flagged problems get GRAM_INDEFINITE when G is clearly indefinite
    (checked only when a problem is flagged: O(n^3))."""
    flagged = status == Status.GRAM_INACCURATE
    if flagged.any():
        eigenvalues = np.linalg.eigvalsh(g)
        if eigenvalues[0] < -INDEFINITE * eigenvalues[-1]:
            status[flagged] = Status.GRAM_INDEFINITE


def solve_gram(g, c, btb, maxiter, threads, x0=None):
    """The Gram method on G (n, n) and c = A^T B (n, k), float64, n, k >= 1;
    btb (k,) or None gives rnorm (NaN without)."""
    k = c.shape[1]
    # G' = S G S and c' = S c 2^-f with S = diag(2^-e), sqrt(G_jj) 2^-e_j in
    # [0.5, 1): exact, and equilibrated.
    e = _exponents(np.sqrt(np.abs(np.diag(g))))
    g_columns = np.asfortranarray(np.ldexp(g, -(e[:, None] + e[None, :])))
    c_scaled = np.ldexp(c, -e[:, None])
    f = _exponents(np.max(np.abs(c_scaled), axis=0))
    ct = np.ascontiguousarray(np.ldexp(c_scaled, -f[None, :]).T)
    x, w, passive, iterations, status, _ = _solve_scaled(g_columns, ct, None, None, maxiter,
                                                         threads)
    x, w = _unscale(x, w, status, e, f)
    _mark_indefinite(g_columns, status)
    if btb is None:
        rnorm = np.full(k, np.nan)
    else:
        # ||A x - b||^2 = b'b - 2 x'A'b + x'G x = b'b - x'A'b - x'w.
        cx = np.einsum("ij,ji->j", c, x)
        xw = np.einsum("ij,ij->i", x, w)
        rnorm = np.sqrt(np.maximum(btb - cx - xw, 0.0))
    return _fields(x, w, passive, rnorm, iterations, status)
