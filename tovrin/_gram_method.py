"""The Gram-form method: non-negative least squares on G = A^T A and c = A^T b.

``tovrin.nnls(A, b, method="gram")`` forms G and A^T B once with NumPy's
matrix product (NumPy's own BLAS) and runs the active-set iterations of
every problem in C++ (tovrin._gram) with the interpreter lock released;
``tovrin.nnls_gram`` does the same for callers who hold only the Gram form.
From PIVOTING_MIN_VARIABLES variables on, each problem is solved by block
principal pivoting (tovrin/_gram_pivoting.py), whose rounds factorise
through NumPy's LAPACK, before the same checks.
``method="auto"`` picks the Gram method where it pays and falls back to the
exact method for every problem whose accuracy check fails; it asks the
pivoting to give up at the first factorisation that breaks down
(early_exit), so that such a problem costs little more than the Gram
product before the exact method solves it.

The front door calls solve_matrix and solve_gram with checked arguments.
"""
from __future__ import annotations

import contextlib
import os
import threading
import warnings
from typing import Any, ContextManager, Optional, Tuple

import numpy as np
import numpy.typing as npt

from . import _gram, _gram_pivoting
from ._convert import as_real_array
from ._solver import NNLSResult
from ._solver import solve as _solve_exact
from ._status import IterationLimitWarning, Status

METHODS = ("exact", "gram", "auto")

# Message texts; the tests use them verbatim.  The first five are those of
# the exact method's binding.
MATRIX_RANK = "A must be 2-dimensional, got shape {}"
RHS_RANK = "b must be 1- or 2-dimensional, got shape {}"
ROWS_DIFFER = "b has {} rows but A has {}"
NOT_FINITE = "{} must not contain NaN or infinity"
POSITIVE_INT = "{} must be None or an int >= 1, got {!r}"
METHOD_TEXT = "method must be one of 'exact', 'gram', 'auto', got {!r}"
GRAM_SHAPE = "AtA must be a square 2-dimensional array, got shape {}"
ATB_SHAPE = "Atb must have shape ({n},) or ({n}, k) to match AtA, got shape {shape}"
BTB_SHAPE = "btb must have shape {want} to match Atb, got shape {shape}"
LIMIT_ONE = ("the solver stopped on the iteration limit (maxiter={}) before reaching "
             "the solution")
LIMIT_MANY = "{} of {} problems stopped on the iteration limit (maxiter={})"
INACCURATE_ONE = ("the Gram-form result may be inaccurate (status GRAM_INACCURATE): "
                  "the problem is too ill-conditioned for A^T A; use method='exact'")
INACCURATE_MANY = ("{} of {} Gram-form results may be inaccurate (status GRAM_INACCURATE): "
                   "too ill-conditioned for A^T A; use method='exact'")

# method="auto" takes the Gram form when A is at least as tall as it is
# wide and the exact method's work, about m n^2 multiply-adds per problem,
# reaches AUTO_MIN_WORK over all k problems.  Measured with
# bench/bench_gram.py (one run, side by side, Gram product included): for one
# problem the Gram method took 1.56 times the exact method's time at tall
# 200 x 100 (m n^2 = 2e6) and 0.63 times at tall 400 x 200 (1.6e7); square
# 200 x 200 (8e6) was even.  With many right-hand sides the product is paid
# once and the Gram method gains further.  Block principal pivoting starts
# at PIVOTING_MIN_VARIABLES = 300 (m n^2 >= 2.7e7 for square problems),
# above this crossover, so it leaves the crossover where it was; above it the
# Gram method gained (bench/results_gram.md: 6 to 8 times the exact method
# at 2000 x 1000 and 4000 x 2000).
AUTO_MIN_WORK = 1.0e7

# The text of NNLSResult.method after method="auto" has re-solved some
# problems with the exact method.
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


class GramAccuracyWarning(RuntimeWarning):
    """Issued once per call when Gram-form results carry the status
    GRAM_INACCURATE; the text says how many."""


def _positive_int(value: object, name: str) -> Optional[int]:
    if value is None:
        return None
    if isinstance(value, bool):
        raise ValueError(POSITIVE_INT.format(name, value))
    try:
        number = int(value.__index__())  # type: ignore[attr-defined]
    except (AttributeError, TypeError):
        raise TypeError(POSITIVE_INT.format(name, value)) from None
    if number < 1:
        raise ValueError(POSITIVE_INT.format(name, value))
    return number


def _threads(threads: Optional[int]) -> int:
    if threads is not None:
        return threads
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # no affinity on this platform
        return max(1, os.cpu_count() or 1)


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


def _unscale(x, w, e, f):
    """x 2^(f - e) and w 2^(e + f) for rows j (problems) and columns i; a dual
    beyond the range of doubles (columns near 1e300) becomes infinite, as the
    quantity itself is."""
    with np.errstate(over="ignore"):
        return np.ldexp(x, f[:, None] - e[None, :]), np.ldexp(w, f[:, None] + e[None, :])


def _check_finite(array: np.ndarray, name: str) -> None:
    if not np.isfinite(array).all():
        raise ValueError(NOT_FINITE.format(name))


# Variables from which a problem is solved by block principal pivoting
# (tovrin/_gram_pivoting.py) rather than by the one-at-a-time method alone.
# Measured (one BLAS thread on a loaded machine, Gram product included,
# medians of three): pivoting took 1.01, 0.91, 0.83, 0.71 and 0.48 of the
# one-at-a-time method's time at tall n = 200, 300, 400, 500, 1000, and
# 0.60, 1.21, 0.84, 0.77, 0.47 at square n = 200, 300, 400, 700, 1000; even
# on non-negative A of 2000 x 1000 with 393 of 1000 variables positive at
# the solution (1.07).  NumPy's multi-threaded LAPACK gains further.
PIVOTING_MIN_VARIABLES = 300


def _solve_scaled(g_columns, ct, a_columns, bt, maxiter, threads, group=True, free=None,
                  early_exit=False):
    """Runs tovrin._gram.solve; returns x, w (k, n), passive, iterations,
    status and (with A) the residual norms, else NaN.

    group: problems whose passive sets coincide may share one factorisation
    (for 64 or more problems; see tovrin/src/gram_module.cpp).
    free: None or (k, n) bool, the starting free set of each problem (the
    positive entries of x0), for block principal pivoting.
    early_exit: a problem whose pivoting breaks down is flagged
    GRAM_INACCURATE at once instead of being solved one variable at a time."""
    k, n = ct.shape
    if n >= PIVOTING_MIN_VARIABLES or free is not None:
        return _pivot_each(g_columns, ct, a_columns, bt, maxiter, threads, free, early_exit)
    return _solve_scaled_one_at_a_time(g_columns, ct, a_columns, bt, maxiter, threads, group)


def _solve_scaled_one_at_a_time(g_columns, ct, a_columns, bt, maxiter, threads, group=True):
    """_solve_scaled by the one-at-a-time active-set method in C++."""
    k, n = ct.shape
    x = np.zeros((k, n))
    w = ct.copy()
    passive = np.zeros((k, n), dtype=bool)
    iterations = np.zeros(k, dtype=np.int64)
    status = np.full(k, int(Status.SOLVED), dtype=np.int64)
    rnorm = np.full(k, np.nan)
    limit = 3 * n if maxiter is None else maxiter
    _gram.solve(g_columns, ct, a_columns, bt, max(1, limit), _threads(threads),
                x, w, passive, iterations, status, rnorm, group)
    return x, w, passive, iterations, status, rnorm


def _pivot_each(g_columns, ct, a_columns, bt, maxiter, threads, free, early_exit):
    """_solve_scaled by block principal pivoting, problem by problem (the
    factorisations use NumPy's BLAS threads, not `threads`); those whose
    rounds break down go to the one-at-a-time method together."""
    k, n = ct.shape
    g = g_columns.T   # C-contiguous; G is symmetric
    gnorm = float(np.max(np.abs(g).sum(axis=0)))
    limit = 3 * n if maxiter is None else maxiter
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
                g, ct[j], a_columns, None if bt is None else bt[j], start, gnorm, limit,
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


def _warn(status: np.ndarray, single: bool, limit: int, stacklevel: int) -> None:
    """The warnings for problems stopped on the limit and for flagged results;
    stacklevel counts from the caller of _warn to the user's frame."""
    k = status.shape[0]
    stopped = int(np.count_nonzero(status == Status.ITERATION_LIMIT))
    if stopped:
        text = LIMIT_ONE.format(limit) if single else LIMIT_MANY.format(stopped, k, limit)
        warnings.warn(text, IterationLimitWarning, stacklevel=stacklevel + 1)
    flagged = int(np.count_nonzero(status == Status.GRAM_INACCURATE))
    if flagged:
        text = INACCURATE_ONE if single else INACCURATE_MANY.format(flagged, k)
        warnings.warn(text, GramAccuracyWarning, stacklevel=stacklevel + 1)


def _result(x, rnorm, dual, passive, iterations, status, single, method) -> NNLSResult:
    """An NNLSResult from (k, n) rows and (k,) vectors."""
    if single:
        code = int(status[0])
        return NNLSResult(x=x[0].copy(), rnorm=float(rnorm[0]), dual=dual[0].copy(),
                          passive=passive[0].copy(), iterations=int(iterations[0]),
                          status=Status(code), converged=code == Status.SOLVED,
                          method=method)
    return NNLSResult(x=np.ascontiguousarray(x.T), rnorm=rnorm,
                      dual=np.ascontiguousarray(dual.T), passive=np.ascontiguousarray(passive.T),
                      iterations=iterations, status=status,
                      converged=status == Status.SOLVED, method=method)


def _trivial(n: int, rnorm: np.ndarray, single: bool) -> NNLSResult:
    k = rnorm.shape[0]
    zeros = np.zeros((k, n))
    return _result(zeros, rnorm, zeros, np.zeros((k, n), dtype=bool),
                   np.zeros(k, dtype=np.int64), np.full(k, int(Status.SOLVED), dtype=np.int64),
                   single, "gram")


def _read_problem(A, b, check_finite) -> Tuple[np.ndarray, np.ndarray, bool]:
    """A (m, n) and b as (m, k) float64 arrays, checked as the exact method does."""
    a = as_real_array(A, "A")
    if a.ndim != 2:
        raise ValueError(MATRIX_RANK.format(a.shape))
    rhs = as_real_array(b, "b")
    if rhs.ndim not in (1, 2):
        raise ValueError(RHS_RANK.format(rhs.shape))
    if rhs.shape[0] != a.shape[0]:
        raise ValueError(ROWS_DIFFER.format(rhs.shape[0], a.shape[0]))
    if check_finite:
        _check_finite(a, "A")
        _check_finite(rhs, "b")
    single = rhs.ndim == 1
    return a, (rhs[:, None] if single else rhs), single


def solve_matrix(a, rhs, maxiter, threads, x0=None, early_exit=False, group=True):
    """The Gram method on A (m, n) and B (m, k), both float64.

    x0: None or (n, k), whose positive entries make each problem's starting
    free set for block principal pivoting.  early_exit: a problem whose
    pivoting shows G_FF not positive definite to working accuracy returns at
    once with status GRAM_INACCURATE (the caller solves it with the exact
    method) instead of being solved one variable at a time.  Returns x,
    dual = A^T (b - A x), passive (n, k), rnorm, iterations, status (k,)."""
    m, n = a.shape
    k = rhs.shape[1]
    if m == 0 or n == 0 or k == 0:
        return (np.zeros((n, k)), np.zeros((n, k)), np.zeros((n, k), dtype=bool),
                np.sqrt(np.einsum("ij,ij->j", rhs, rhs)), np.zeros(k, dtype=np.int64),
                np.full(k, int(Status.SOLVED), dtype=np.int64))
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
    free = None if x0 is None else np.ascontiguousarray(x0.T > 0)
    x, w, passive, iterations, status, rnorm = _solve_scaled(
        gram.T, ct, a_columns, bt, maxiter, threads, group, free, early_exit)
    rnorm = np.ldexp(rnorm, f)
    # A x = b for x = 2^(f - e) x' and A^T (b - A x) = 2^(e + f) w'.
    x, w = _unscale(x, w, e, f)
    return x.T, w.T, passive.T, rnorm, iterations, status


def solve_gram(g, c, btb, maxiter, threads, x0=None):
    """The Gram method on G = A^T A (n, n) and C = A^T B (n, k), with b^T b
    per problem or None.  Returns as solve_matrix; rnorm is NaN without
    btb."""
    n, k = c.shape
    if n == 0 or k == 0:
        rnorm = np.sqrt(np.maximum(btb, 0.0)) if btb is not None else np.full(k, np.nan)
        return (np.zeros((n, k)), np.zeros((n, k)), np.zeros((n, k), dtype=bool), rnorm,
                np.zeros(k, dtype=np.int64), np.full(k, int(Status.SOLVED), dtype=np.int64))
    # G' = S G S and c' = S c 2^-f with S = diag(2^-e), sqrt(G_jj) 2^-e_j in
    # [0.5, 1): exact, and equilibrated.
    e = _exponents(np.sqrt(np.abs(np.diag(g))))
    g_columns = np.asfortranarray(np.ldexp(g, -(e[:, None] + e[None, :])))
    c_scaled = np.ldexp(c, -e[:, None])
    f = _exponents(np.max(np.abs(c_scaled), axis=0))
    ct = np.ascontiguousarray(np.ldexp(c_scaled, -f[None, :]).T)
    free = None if x0 is None else np.ascontiguousarray(x0.T > 0)
    x, w, passive, iterations, status, _ = _solve_scaled(g_columns, ct, None, None, maxiter,
                                                         threads, True, free)
    x, w = _unscale(x, w, e, f)
    if btb is None:
        rnorm = np.full(k, np.nan)
    else:
        # ||A x - b||^2 = b'b - 2 x'A'b + x'G x = b'b - x'A'b - x'w.
        cx = np.einsum("ij,ji->j", c, x)
        xw = np.einsum("ij,ij->i", x, w)
        rnorm = np.sqrt(np.maximum(btb - cx - xw, 0.0))
    return x.T, w.T, passive.T, rnorm, iterations, status


def _gram_from_matrix(a, rhs, single, maxiter, threads, group=True, x0=None,
                      early_exit=False) -> NNLSResult:
    """The Gram method on A (m, n) and B (m, k), both float64."""
    x, w, passive, rnorm, iterations, status = solve_matrix(
        a, rhs, maxiter, threads, x0, early_exit, group)
    return _result(x.T, rnorm, w.T, passive.T, iterations, status, single, "gram")


def _auto_takes_gram(m: int, n: int, k: int) -> bool:
    return m >= n and float(m) * n * n * k >= AUTO_MIN_WORK


def nnls_method(A, b, method, maxiter, threads, check_finite) -> NNLSResult:
    """tovrin.nnls for method "gram" and "auto" (and "exact", passed on)."""
    if method not in METHODS:
        raise ValueError(METHOD_TEXT.format(method))
    if method == "exact":
        return _solve_exact(A, b, maxiter, threads, check_finite)
    a, rhs, single = _read_problem(A, b, check_finite)
    maxiter = _positive_int(maxiter, "maxiter")
    threads = _positive_int(threads, "threads")
    m, n = a.shape
    k = rhs.shape[1]
    if method == "auto" and not _auto_takes_gram(m, n, k):
        return _solve_exact(a, rhs[:, 0] if single else rhs, maxiter, threads, False)
    limit = 3 * n if maxiter is None else maxiter
    if method == "gram":
        result = _gram_from_matrix(a, rhs, single, maxiter, threads)
        _warn(np.atleast_1d(np.asarray(result.status)), single, limit, 3)
        return result
    return _auto(a, rhs, single, maxiter, threads, limit)


def _auto(a, rhs, single, maxiter, threads, limit) -> NNLSResult:
    """The Gram method, then the exact method for the problems it flags."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", GramAccuracyWarning)
        gram = _gram_from_matrix(a, rhs, False, maxiter, threads, early_exit=True)
    flagged = np.flatnonzero(gram.status == Status.GRAM_INACCURATE)
    if flagged.size == 0:
        _warn(gram.status, single, limit, 4)
        return _result(gram.x.T, gram.rnorm, gram.dual.T, gram.passive.T,
                       gram.iterations, gram.status, single, "gram")
    exact = _solve_exact(a, rhs[:, flagged], maxiter, threads, False)
    x, dual, passive = gram.x.copy(), gram.dual.copy(), gram.passive.copy()
    rnorm, iterations, status = gram.rnorm.copy(), gram.iterations.copy(), gram.status.copy()
    x[:, flagged] = exact.x
    dual[:, flagged] = exact.dual
    passive[:, flagged] = exact.passive
    rnorm[flagged] = exact.rnorm
    iterations[flagged] = exact.iterations
    status[flagged] = exact.status
    _warn(status, single, limit, 4)
    return _result(x.T, rnorm, dual.T, passive.T, iterations, status, single, FALLBACK)


def nnls_gram(
    AtA: npt.ArrayLike,
    Atb: npt.ArrayLike,
    *,
    btb: Optional[npt.ArrayLike] = None,
    maxiter: Optional[int] = None,
    threads: Optional[int] = None,
    x0: Optional[npt.ArrayLike] = None,
) -> NNLSResult:
    """Solve min ||A x - b|| subject to x >= 0 given only G = A^T A and A^T b.

    The problem in the Gram form, min 1/2 x^T G x - (A^T b)^T x over x >= 0,
    solved by the active-set method of Lawson and Hanson in the order of Bro
    and de Jong: the variable with the largest positive component of the
    dual w = A^T b - G x enters; the passive-set system is solved through a
    Cholesky factor that is updated as variables enter and leave.

    Parameters
    ----------
    AtA : array_like, shape (n, n)
        G = A^T A, symmetric positive semi-definite (its columns are read; a
        non-symmetric G is not detected).  Real; never modified.
    Atb : array_like, shape (n,) or (n, k)
        A^T b for one problem, or A^T B for k problems sharing G.
    btb : array_like, optional
        b^T b per problem (a scalar, or shape (k,)).  When given, rnorm is
        sqrt(max(0, b^T b - 2 x^T A^T b + x^T G x)); otherwise NaN.
    maxiter : int, optional
        Limit on the trial solutions per problem, an int >= 1; None means 3 n.
    threads : int, optional
        Worker threads for k problems; None means every core this process
        may use.  Results do not depend on it.
    x0 : array_like, optional
        A starting point of Atb's shape (a previous solution): from 200
        variables on, its positive entries are each problem's starting free
        set for block principal pivoting.

    Returns
    -------
    NNLSResult
        As for :func:`tovrin.nnls`, with ``method`` "gram": ``x``,
        ``rnorm``, ``dual`` = A^T b - G x, ``passive``, ``iterations``,
        ``status`` and ``converged``.

    Notes
    -----
    Accuracy: the Gram form squares the condition number of A, so x is
    accurate to about eps * cond(G_PP) relative (G_PP: the rows and columns
    of the final passive set).  Each result is checked: x >= 0, w_j <= tol
    off the passive set and |w_j| <= tol on it, with
    tol = 1e-10 * (||G||_1 ||x||_inf + ||A^T b||_inf); cond(G_PP) is
    estimated from the Cholesky factor.  A result that fails the check,
    whose predicted relative error exceeds 1e-8, or that met a pivot too
    small for the Gram form (a variable that should enter but is
    numerically dependent on the passive set) has status
    ``Status.GRAM_INACCURATE`` (code 4) and a GramAccuracyWarning is issued.
    With A at hand, ``tovrin.nnls(A, b, method="gram")`` also refines x
    with the residual of A and is accurate to about eps * cond(A) for
    cond(A) up to about 1e7.

    G and A^T b are scaled by powers of two (exact) to a unit diagonal
    before the solve.  Results are the same bits on every run and for any
    ``threads``, but not those of the exact method.
    """
    g = as_real_array(AtA, "AtA")
    if g.ndim != 2 or g.shape[0] != g.shape[1]:
        raise ValueError(GRAM_SHAPE.format(g.shape))
    n = g.shape[0]
    c = as_real_array(Atb, "Atb")
    if c.ndim not in (1, 2) or c.shape[0] != n:
        raise ValueError(ATB_SHAPE.format(n=n, shape=c.shape))
    single = c.ndim == 1
    c = c[:, None] if single else c
    k = c.shape[1]
    _check_finite(g, "AtA")
    _check_finite(c, "Atb")
    norms = None
    if btb is not None:
        norms = as_real_array(btb, "btb")
        want = () if single else (k,)
        if norms.shape != want and not (single and norms.shape == (1,)):
            raise ValueError(BTB_SHAPE.format(want=want, shape=norms.shape))
        _check_finite(norms, "btb")
        norms = norms.reshape(k)
    maxiter = _positive_int(maxiter, "maxiter")
    threads = _positive_int(threads, "threads")
    start = None
    if x0 is not None:
        start = as_real_array(x0, "x0").reshape(n, k)
    x, w, passive, rnorm, iterations, status = solve_gram(g, c, norms, maxiter, threads, start)
    _warn(status, single, 3 * n if maxiter is None else maxiter, 2)
    return _result(x.T, rnorm, w.T, passive.T, iterations, status, single, "gram")
