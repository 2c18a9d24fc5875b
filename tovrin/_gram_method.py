"""The Gram-form method's kernels: non-negative least squares on G = A^T A
and c = A^T b.

``solve_matrix`` (behind ``tovrin.nnls(A, b, method="gram")``) forms G and
A^T B once with NumPy's matrix product (NumPy's own BLAS) and runs the
iterations of every problem in C++ (tovrin._gram) with the interpreter lock
released; ``solve_gram`` (behind ``tovrin.nnls_gram``) does the same for
callers who hold only the Gram form.  Three solvers share the work, each
where it was measured fastest:

- many right-hand sides (MANY_PROBLEMS or more), or a start x0 on a small
  problem: block principal pivoting across the problems, in C++
  (tovrin/src/gram/pivoting.*);
- large problems (PIVOTING_MIN_VARIABLES or more variables): block principal
  pivoting problem by problem, whose rounds factorise through NumPy's LAPACK
  (tovrin/_gram_pivoting.py), confirmed by the active-set method's checks;
- the rest: the one-at-a-time active-set method in the order of Bro and de
  Jong, with an updated Cholesky factor (tovrin/src/gram/active_set.*).
  Both take arguments that the front
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

from . import _gram, _gram_pivoting
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


# Variables from which a problem is solved by block principal pivoting
# (tovrin/_gram_pivoting.py) rather than by the one-at-a-time method alone.
# Measured (one BLAS thread on a loaded machine, Gram product included,
# medians of three): pivoting took 1.01, 0.91, 0.83, 0.71 and 0.48 of the
# one-at-a-time method's time at tall n = 200, 300, 400, 500, 1000, and
# 0.60, 1.21, 0.84, 0.77, 0.47 at square n = 200, 300, 400, 700, 1000; even
# on non-negative A of 2000 x 1000 with 393 of 1000 variables positive at
# the solution (1.07).  NumPy's multi-threaded LAPACK gains further.
PIVOTING_MIN_VARIABLES = 300


def _scaled_columns(a):
    """A's columns scaled by powers of two (exact) to magnitudes in
    [0.5, 1), column-major, and the exponents e: A^T A cannot overflow or
    underflow, and its diagonal is equilibrated, which keeps cond(A^T A) as
    small as column scaling can."""
    e = _exponents(_largest(a, 0))
    return np.ldexp(a, -e, order="F"), e


def _scaled_gram_form(g, c):
    """G' = S G S (column-major) and the rows of c' = S c 2^-f (k, n), with
    S = diag(2^-e) and sqrt(G_jj) 2^-e_j in [0.5, 1): exact, and
    equilibrated.  Returns G', c' rows, e, f."""
    e = _exponents(np.sqrt(np.abs(np.diag(g))))
    g_columns = np.asfortranarray(np.ldexp(g, -(e[:, None] + e[None, :])))
    c_scaled = np.ldexp(c, -e[:, None])
    f = _exponents(np.max(np.abs(c_scaled), axis=0))
    return g_columns, np.ascontiguousarray(np.ldexp(c_scaled, -f[None, :]).T), e, f


def _rnorm_from_btb(btb, c, x, w):
    """||A x - b|| per problem from the Gram form, x and w (n, k):
    ||A x - b||^2 = b'b - 2 x'A'b + x'G x = b'b - x'A'b - x'w; NaN without
    btb."""
    if btb is None:
        return np.full(c.shape[1], np.nan)
    squares = btb - np.einsum("ij,ij->j", c, x) - np.einsum("ij,ij->j", x, w)
    return np.sqrt(np.maximum(squares, 0.0))


def _solve_scaled(g_columns, ct, a_columns, bt, maxiter, threads, free=None,
                  early_exit=False):
    """Runs tovrin._gram.solve; returns x, w (k, n), passive, iterations,
    status and (with A) the residual norms, else NaN.

    free: None or (k, n) bool, the starting free set of each problem (the
    positive entries of x0), for block principal pivoting (from
    PIVOTING_MIN_VARIABLES variables; smaller problems with a start go to
    solve_matrix_many).
    early_exit: a problem whose pivoting breaks down is flagged
    GRAM_INACCURATE at once instead of being solved one variable at a time."""
    k, n = ct.shape
    if n >= PIVOTING_MIN_VARIABLES:
        return _pivot_each(g_columns, ct, a_columns, bt, maxiter, threads, free, early_exit)
    return _solve_scaled_one_at_a_time(g_columns, ct, a_columns, bt, maxiter, threads)


def _solve_scaled_one_at_a_time(g_columns, ct, a_columns, bt, maxiter, threads):
    """_solve_scaled by the one-at-a-time active-set method in C++."""
    k, n = ct.shape
    x = np.zeros((k, n))
    w = ct.copy()
    passive = np.zeros((k, n), dtype=bool)
    iterations = np.zeros(k, dtype=np.int64)
    status = np.full(k, int(Status.SOLVED), dtype=np.int64)
    rnorm = np.full(k, np.nan)
    _gram.solve(g_columns, ct, a_columns, bt, maxiter, threads,
                x, w, passive, iterations, status, rnorm)
    return x, w, passive, iterations, status, rnorm


def _pivot_each(g_columns, ct, a_columns, bt, maxiter, threads, free, early_exit):
    """_solve_scaled by block principal pivoting, problem by problem (the
    factorisations use NumPy's BLAS threads, not `threads`); those whose
    rounds break down go to the one-at-a-time method together."""
    k, n = ct.shape
    g = g_columns.T   # C-contiguous; G is symmetric
    gnorm = float(np.max(np.abs(g).sum(axis=0)))
    x, w = np.zeros((k, n)), ct.copy()
    passive = np.zeros((k, n), dtype=bool)
    iterations = np.zeros(k, dtype=np.int64)
    status = np.full(k, int(Status.SOLVED), dtype=np.int64)
    rnorm = np.full(k, np.nan)
    broken = []
    # The factorisations' size decides NumPy's BLAS threads, as for the
    # product (never `threads`: the roundings would depend on it).
    with _blas_threads_for_product(float(n) ** 3 / 3.0):
        for j in range(k):
            start = None if free is None else free[j].copy()
            result = _gram_pivoting.solve_one(
                g, ct[j], a_columns, None if bt is None else bt[j], start, gnorm, maxiter,
                early_exit)
            if result is None:
                broken.append(j)
                continue
            x[j], w[j], passive[j], iterations[j], status[j], rnorm[j] = result
    if broken:
        rows = np.array(broken)
        parts = _solve_scaled_one_at_a_time(
            g_columns, ct[rows], a_columns, None if bt is None else bt[rows], maxiter,
            threads)
        for whole, part in zip((x, w, passive, iterations, status, rnorm), parts):
            whole[rows] = part
    return x, w, passive, iterations, status, rnorm


def solve_matrix(a, rhs, maxiter, threads, x0=None, early_exit=False):
    """The Gram method on A (m, n) and B (m, k), float64, m, n, k >= 1.

    maxiter >= 1 and threads >= 1 are resolved; x0 None or (n, k), whose
    positive entries name each problem's starting free set.  early_exit
    (method="auto"): a large problem whose pivoting shows G_FF not positive
    definite to working accuracy returns at once with status
    GRAM_INACCURATE, for the exact method to solve, instead of being solved
    one variable at a time."""
    k, n = rhs.shape[1], a.shape[1]
    if k >= MANY_PROBLEMS or (x0 is not None and n < PIVOTING_MIN_VARIABLES):
        return solve_matrix_many(a, rhs, maxiter, threads, x0)
    return solve_matrix_each(a, rhs, maxiter, threads, x0, early_exit)


def solve_matrix_each(a, rhs, maxiter, threads, x0=None, early_exit=False):
    """solve_matrix problem by problem: block pivoting for large ones, the
    one-at-a-time active-set method for the others."""
    m, n = a.shape
    k = rhs.shape[1]
    a_columns, e = _scaled_columns(a)
    # Row j = b_j 2^-f_j, transposed and scaled in one pass.
    f = _exponents(_largest(rhs, 0))
    if f.any():
        bt = np.ldexp(rhs.T, -f[:, None], order="C")
    else:
        bt = np.ascontiguousarray(rhs.T)
    with _blas_threads_for_product(float(m) * n * (n + k)):
        gram = a_columns.T @ a_columns   # symmetric bit for bit (one triangle mirrored)
        ct = bt @ a_columns               # row j = (A^T b_j)^T
    free = None if x0 is None else np.ascontiguousarray(x0.T > 0)
    x, w, passive, iterations, status, rnorm = _solve_scaled(
        gram.T, ct, a_columns, bt, maxiter, threads, free, early_exit)
    rnorm = np.ldexp(rnorm, f)
    # A x = b for x = 2^(f - e) x' and A^T (b - A x) = 2^(e + f) w'.
    x, w = _unscale(x, w, status, e, f)
    return x.T, w.T, passive.T, rnorm, iterations, status


# Right-hand sides from which the Gram method solves by block principal
# pivoting across problems (tovrin/src/gram/pivoting.h) rather than one
# problem at a time.  Measured (CPU time, one thread, Gaussian A, b = A x +
# noise, loaded machine), block pivoting over one at a time at k = 4, 8,
# 16: 0.65, 0.57, 0.44 (200 x 20); 0.90, 0.71, 0.78 (100 x 5); 1.14, 0.73,
# 0.49 (400 x 100); 0.95, 0.96, 0.90 (60 x 40, where G is too ill-conditioned
# for the held form); at k = 1, 1.03 to 1.71.
MANY_PROBLEMS = 8

# Rounds of block pivoting per problem at least, when maxiter is None (else
# 3 n): a problem whose full exchanges cycle needs a few rounds to detect it
# and then one round per variable moved (a 3-variable problem of
# tests/package/test_gram_many.py takes 11).
MIN_ROUNDS = 30


def default_limit(n: int) -> int:
    """The iteration limit of a problem with n variables when maxiter is None."""
    return max(3 * n, MIN_ROUNDS)

# Columns of B whose squared norms lie within [2^-2 B_RANGE, 2^2 B_RANGE]
# are used unscaled: their magnitudes max_i |b_ij| then lie within
# [2^-B_RANGE / sqrt(m), 2^B_RANGE], so A'B (A's columns scaled to at most
# 1) and the residuals' squares stay far from overflow and underflow.
B_RANGE = 200


def _b_exponents(rhs: np.ndarray) -> np.ndarray:
    """f_j with column j of B taken as b_j 2^-f_j: 0 for every column when
    all of them lie in range, else the exponents of their magnitudes.  The
    squared norms take one pass over B, where the magnitudes take two; a
    square that overflows or underflows is out of range."""
    squares = np.einsum("ij,ij->j", rhs, rhs)
    if squares.size == 0 or (np.ldexp(1.0, -2 * B_RANGE) <= squares.min() and
                             squares.max() <= np.ldexp(1.0, 2 * B_RANGE)):
        return np.zeros(rhs.shape[1], dtype=np.int32)
    return _exponents(_largest(rhs, 0))


def _solve_many(g_columns, ct, a_columns, rhs, x0, maxiter, threads):
    """tovrin._gram.solve_many on scaled data, ct (k, n) with row j = c_j;
    returns x, w, passive (n, k), rnorm (NaN without A), iterations, status."""
    k, n = ct.shape
    x = np.empty((n, k))
    w = np.empty((n, k))
    passive = np.empty((n, k), dtype=bool)
    iterations = np.empty(k, dtype=np.int64)
    status = np.empty(k, dtype=np.int64)
    rnorm = np.empty(k) if a_columns is not None else np.full(k, np.nan)
    _gram.solve_many(g_columns, ct, a_columns, rhs, x0, maxiter, threads,
                     x, w, passive, iterations, status, rnorm)
    return x, w, passive, rnorm, iterations, status


def _unscale_columns(x, w, status, e, f):
    """x 2^(f_j - e_i) and w 2^(e_i + f_j) in place, for (n, k) arrays; a
    problem whose x rounds on the way is marked REFIT, as in _unscale."""
    shift = f[None, :] - e[:, None]
    with np.errstate(over="ignore", under="ignore"):
        scaled = x.copy() if shift.any() else None
        np.ldexp(x, shift, out=x)
        np.ldexp(w, f[None, :] + e[:, None], out=w)
        if scaled is not None:
            status[(np.ldexp(x, -shift) != scaled).any(axis=0)] |= REFIT


def solve_matrix_many(a, rhs, maxiter, threads, x0=None):
    """The Gram method for A (m, n) and B (m, k) float64 by block principal
    pivoting across the k problems; x0 None or (n, k) C-contiguous, whose
    positive entries name each problem's starting free set.  Returns x,
    dual = A'(b - A x), passive (n, k), rnorm, iterations, status (k,)."""
    m, n = a.shape
    k = rhs.shape[1]
    # A's columns scaled as for one problem at a time; B only where out of
    # range.
    a_columns, e = _scaled_columns(a)
    f = _b_exponents(rhs)
    if f.any():
        rhs = np.ldexp(rhs, -f[None, :])
    with _blas_threads_for_product(float(m) * n * (n + k)):
        gram = a_columns.T @ a_columns   # symmetric bit for bit (one triangle mirrored)
        # Row j = (A'b_j)'.  A'B then a transposed copy: measured (one BLAS
        # thread, B of 200 x 10^4) 1.3 to 1.8 ms against 3.1 to 4.3 ms for
        # B'A, whose narrow result NumPy's BLAS forms slowly.
        ct = np.ascontiguousarray((a_columns.T @ rhs).T)
    x, w, passive, rnorm, iterations, status = _solve_many(
        gram.T, ct, a_columns, rhs, x0, maxiter, threads)
    _unscale_columns(x, w, status, e, f)
    if f.any():
        rnorm = np.ldexp(rnorm, f)
    return x, w, passive, rnorm, iterations, status


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
    btb (k,) or None gives rnorm (NaN without).  Dispatched as solve_matrix
    is."""
    n, k = c.shape
    g_columns, ct, e, f = _scaled_gram_form(g, c)
    if k >= MANY_PROBLEMS or (x0 is not None and n < PIVOTING_MIN_VARIABLES):
        x, w, passive, _, iterations, status = _solve_many(g_columns, ct, None, None, x0,
                                                           maxiter, threads)
        _unscale_columns(x, w, status, e, f)
    else:
        free = None if x0 is None else np.ascontiguousarray(x0.T > 0)
        x, w, passive, iterations, status, _ = _solve_scaled(g_columns, ct, None, None,
                                                             maxiter, threads, free)
        x, w = _unscale(x, w, status, e, f)
        x, w, passive = x.T, w.T, passive.T
    _mark_indefinite(g_columns, status)
    return x, w, passive, _rnorm_from_btb(btb, c, x, w), iterations, status
