"""Non-negative least squares: min ||A x - b|| subject to x >= 0.

``tovrin.nnls(A, b)`` solves one problem, or one per column of b, by the
active-set method of Lawson and Hanson, with results reproducible bit for
bit; ``method="gram"`` solves on the normal equations, fast for large
problems and many right-hand sides, and ``method="auto"`` chooses between
the two.  ``tovrin.nnls_gram`` solves from A^T A and A^T b alone, and
``tovrin.dask.nnls`` (imported on first use, it needs Dask) spreads the
columns of a dask array over a cluster.  The low-level module ``__tovrin``
offers the exact solver's raw contract.
"""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Optional

import numpy.typing as npt

from ._status import GramAccuracyWarning, IterationLimitWarning, NonFiniteResultWarning, Status

try:
    from ._solver import NNLSResult
    from ._solver import nnls as _nnls
    from ._solver import nnls_gram as _nnls_gram
except ImportError as missing:  # pragma: no cover - depends on how it is run
    raise ImportError(
        f"tovrin was imported from {__path__[0]}, which has no compiled extension "
        "_solver: install the package (pip install .) and run from outside the "
        "source tree") from missing

try:
    from importlib.metadata import version as _version

    __version__: str = _version("tovrin")
except Exception:  # not installed as a distribution (a bare build tree)
    __version__ = "0+unknown"

from ._config import show_config  # noqa: E402  (needs _solver, checked above)

__all__ = ["nnls", "nnls_gram", "NNLSResult", "Status", "IterationLimitWarning",
           "GramAccuracyWarning", "NonFiniteResultWarning", "show_config", "__version__"]

# The public classes show, in help() and reprs, as tovrin's own.
for _public in (NNLSResult, Status, IterationLimitWarning, GramAccuracyWarning,
                NonFiniteResultWarning):
    _public.__module__ = __name__
del _public

# Submodules imported on first use: tovrin.dask needs Dask, which importing
# tovrin never imports.
_SUBMODULES = ("dask",)

# Hidden from type checkers, which would otherwise accept any attribute of
# the module.
if not TYPE_CHECKING:
    def __getattr__(name):
        if name in _SUBMODULES:
            return importlib.import_module(f"{__name__}.{name}")
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    """The public names and the submodules, as NumPy lists its own."""
    return sorted({*__all__, *_SUBMODULES})


def nnls(
    A: npt.ArrayLike,
    b: npt.ArrayLike,
    *,
    maxiter: Optional[int] = None,
    threads: Optional[int] = None,
    check_finite: bool = True,
    method: str = "exact",
    x0: Optional[npt.ArrayLike] = None,
) -> NNLSResult:
    """Solve min ||A x - b|| subject to x >= 0, for b or each column of b.

    Three methods, one result: "exact" (the default) is the active-set
    method of Lawson and Hanson on A itself, accurate to about eps cond(A)
    and reproducible bit for bit; "gram" solves on the normal equations,
    A^T A and A^T B formed once for every right-hand side, faster for large
    problems and for many right-hand sides, with every result checked and
    flagged (status GRAM_INACCURATE) where the Gram form cannot vouch for
    it; "auto" takes "gram" where it pays and solves again by "exact" every
    problem that "gram" flags.

    The exact method: variables enter the solution set one at a time, the
    one with the largest positive component of the dual vector
    A^T (b - A x) first; after each entry the least squares problem on the
    set is solved, and variables that would turn negative are moved back
    out.

    Parameters
    ----------
    A : array_like, shape (m, n)
        The matrix.  Real: integers and float32 are converted to float64;
        complex, object and bool arrays raise TypeError, and so do masked
        arrays (pass ``A.filled(value)``, or leave out the masked rows).
        Any layout (C or Fortran order, strided views, any buffer NumPy
        reads); never modified.
    b : array_like, shape (m,) or (m, k)
        One right-hand side, or k right-hand sides sharing A, each solved as
        a problem of its own.  Same rules as A; never modified.
    maxiter : int, optional
        Limit on the solver's iteration count per problem, an int >= 1
        (larger than 2**63 counts as 2**63 - 1).  None (default) means 3 n
        (for the Gram method at least 30: its block pivoting may need a few
        rounds more than there are variables).
    threads : int, optional
        The number of threads the call may use, all of them: the exact
        method's workers for k problems (never more than k); the Gram
        method's threads, which form A^T A and A^T B and then either solve
        ranges of problems (fewer than 300 variables, never more threads
        than problems) or share each large problem's factorisations and
        products.  NumPy's BLAS takes no part.  None (default) means every
        core this process may use; 1 solves on one thread.
    check_finite : bool, default True
        Raise ValueError, naming the argument, when A or b holds NaN or
        infinity (any truth value is accepted).  With False such values
        reach the solver unchecked, and the problems they touch get status
        Status.NOT_FINITE.
    method : {"exact", "gram", "auto"}, default "exact"
        "exact": the bit-reproducible active-set solver described above.
        "gram": the normal equations (A^T A and A^T B formed once with
        NumPy's matrix product, the iterations in C++; see
        :func:`tovrin.nnls_gram` for its accuracy check), deterministic but
        not bit-identical to "exact"; a result it cannot vouch for has
        status Status.GRAM_INACCURATE (code 4) and a GramAccuracyWarning is
        issued.  "auto": "gram" where it pays (A at least as tall as wide
        and m n^2 k above a measured threshold), "exact" otherwise; every
        problem whose Gram-form check fails is solved again by "exact", and
        the result's method is then "gram+exact".
    x0 : array_like, shape (n,) or (n, k), optional
        A warm start for method "gram" or "auto": the positive entries of
        x0 (of each column; a vector serves every problem) are the variables
        that start in the solution set.  Finite.  With method "exact", whose
        results are fixed bit for bit from a cold start, x0 raises
        ValueError.

    Returns
    -------
    NNLSResult
        For b of shape (m,): ``x`` (n,), ``rnorm`` float, ``dual`` (n,),
        ``passive`` (n,) bool, ``iterations`` int, ``status`` Status,
        ``converged`` bool, ``method`` "exact" (or "gram", "gram+exact").
        For b of shape (m, k): ``x``, ``dual`` and ``passive`` of shape
        (n, k), ``rnorm``, ``iterations``, ``status`` (int codes) and
        ``converged`` of shape (k,); column j belongs to b[:, j].  The
        arrays are read-only, and ``x, rnorm = tovrin.nnls(A, b)`` unpacks
        the two fields that NNLS routines conventionally return.

        - ``x``: the solution.
        - ``rnorm``: ||A x - b|| of the x returned (always known here;
          only :func:`tovrin.nnls_gram` without btb leaves it NaN).
        - ``dual``: the dual vector w = A^T (b - A x) of the x returned: 0
          on the solution set, <= 0 off it at an optimum.
        - ``passive``: True for the variables of the set that x was
          computed on.
        - ``iterations``: the solver's iteration count, the count that
          maxiter limits; after a stop on the limit it is maxiter + 1 (the
          count that passed the limit), for every method.
        - ``status``: Status.SOLVED, or Status.ITERATION_LIMIT (x is the last
          completed step), Status.NOT_FINITE (x, rnorm or dual is not finite,
          or the data were), and for method "gram" Status.GRAM_INACCURATE
          ("auto" solves those again).  There is no code 2: see Status.
        - ``converged``: status == Status.SOLVED.

    Raises
    ------
    TypeError
        A, b or x0 is not real or is a masked array, or maxiter or threads
        is not an integer.
    ValueError
        Shapes disagree (the text names both), A is not 2-dimensional or b
        not 1- or 2-dimensional, maxiter or threads is below 1 or a bool,
        method is unknown, x0 is given with method "exact" or has the wrong
        shape, or check_finite finds NaN or infinity.
    KeyboardInterrupt
        Ctrl-C during the solve stops every worker and is raised here.

    Warns
    -----
    IterationLimitWarning
        When problems stopped on the iteration limit, saying how many.
    NonFiniteResultWarning
        When results have status NOT_FINITE, saying how many.
    GramAccuracyWarning
        When Gram-form results have status GRAM_INACCURATE, saying how many.

    At most one warning of each class per call, attributed to the caller's
    line; nothing is printed.

    Notes
    -----
    Exact: for every problem j that reaches its solution, x, rnorm, dual
    and the solution set are bit for bit those of the solver core run on
    (A in column-major order, b[:, j]), the same bits that
    ``__tovrin.nnls`` returns for it.  Results do not depend on
    ``threads``, on the order of the problems or on the layout of A.  After
    a stop on the iteration limit x is still the core's, and rnorm, dual and
    the set are recomputed so that they describe that x.

    Extreme scales: the solver's reflections form unscaled products that
    underflow for columns of norm below about 1e-154 and overflow above
    about 1e154.  Columns of A and right-hand sides whose largest magnitude
    lies outside [2**-480, 2**480] (about 3e-145 to 3e144) are therefore
    scaled by powers of two (exact in binary floating point) before the
    solve, and x, dual and rnorm scaled back.  Problems inside that range
    are not touched.  A solution beyond the range of float64 is reported
    with status NOT_FINITE; one below it rounds to zero, with the rnorm and
    dual of that zero.

    Empty dimensions (m = 0 or n = 0) give x = 0 and rnorm = ||b||.

    The interpreter lock is released during the solve, so other Python
    threads keep running.

    Examples
    --------
    >>> import numpy as np, tovrin
    >>> res = tovrin.nnls(np.array([[1.0, 0.0], [0.0, 1.0]]), np.array([1.0, -1.0]))
    >>> res.x, res.rnorm, res.status
    (array([1., 0.]), 1.0, <Status.SOLVED: 1>)
    """
    return _nnls(A, b, maxiter, threads, check_finite, method, x0)


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

    The problem in the Gram form, min 1/2 x^T G x - (A^T b)^T x over
    x >= 0, solved by the Gram method of ``tovrin.nnls(A, b,
    method="gram")`` for callers who hold only G and A^T b.  Without A there
    is no exact method to fall back on and no refinement with A's residual;
    without btb (b^T b) there is no residual norm: rnorm is NaN.

    Parameters
    ----------
    AtA : array_like, shape (n, n)
        G = A^T A: symmetric (to rounding) and positive semi-definite.
        Real; never modified.
    Atb : array_like, shape (n,) or (n, k)
        A^T b for one problem, or A^T B for k problems sharing G.
    btb : array_like, optional
        b^T b per problem, >= 0: a scalar (or one element) for one problem,
        shape (k,) for k.  When given, rnorm is
        sqrt(max(0, b^T b - 2 x^T A^T b + x^T G x)); without it rnorm is
        NaN (a float, or an array of NaN for k problems).
    maxiter : int, optional
        Limit on the iterations per problem, an int >= 1; None means
        max(3 n, 30).
    threads : int, optional
        The number of threads the call may use, all of them: for problems
        of 300 or more variables the threads that share each factorisation
        and product, for smaller ones workers that solve ranges of problems
        (never more than k).  None (default) means every core this process
        may use.
    x0 : array_like, shape (n,) or (n, k), optional
        A warm start: the positive entries of x0 (of each column) are the
        variables that start in the solution set.  Finite.

    Returns
    -------
    NNLSResult
        As for :func:`tovrin.nnls`, with ``method`` "gram": ``x``,
        ``rnorm`` (NaN without btb), ``dual`` = A^T b - G x, ``passive``,
        ``iterations``, ``status`` and ``converged``.

    Raises
    ------
    TypeError
        An argument is not real, or maxiter or threads is not an integer.
    ValueError
        AtA is not square, not symmetric or has a negative diagonal entry;
        Atb, btb or x0 does not match it; btb is negative; an argument holds
        NaN or infinity; maxiter or threads is below 1 or a bool.

    Warns
    -----
    GramAccuracyWarning
        Once per call when results have status GRAM_INACCURATE (the Gram
        form cannot vouch for them) or GRAM_INDEFINITE (AtA turned out not
        to be positive semi-definite).
    IterationLimitWarning, NonFiniteResultWarning
        As for :func:`tovrin.nnls`.

    Notes
    -----
    Accuracy: the Gram form squares the condition number of A.  Every
    result goes through one certificate (the guide's page on the Gram
    method states it in full): x >= 0, ``|w_j| <= tol`` on the solution set
    and ``w_j <= tol`` off it with tol = 1e-10 * (||G||_1 ||x||_inf +
    ||A^T b||_inf), and a predicted relative error of x of at most 1e-8
    (eps * cond(G_FF) from the Cholesky factor of the final free set, or
    after refinement with c - G x the last correction).  A result that
    fails has status ``Status.GRAM_INACCURATE`` (code 4).  With A at hand,
    ``tovrin.nnls(A, b, method="gram")`` refines x with the residual of A,
    which takes it towards the accuracy of A itself, and also vouches for
    its residual and rnorm.

    G and A^T b are scaled by powers of two (exact) to a unit diagonal
    before the solve.  A problem's results are the same bits on every run,
    for any ``threads``, whatever the other right-hand sides of the call
    and from any calling thread, on one kind of processor (the kernels
    chosen for AVX-512, AVX2 or neither round differently); they are not
    those of the exact method.
    """
    return _nnls_gram(AtA, Atb, btb, maxiter, threads, x0)
