"""Non-negative least squares on Dask: many right-hand sides, or one tall A.

``tovrin.dask.nnls(A, B)`` solves min ||A x_j - b_j||, x_j >= 0, for every
column b_j of B, in one of two ways, chosen by where A is held:

- A in memory, B a ``dask.array`` of shape (m, K) chunked along K: each
  column block of B is solved on a worker by ``tovrin.nnls``; the result
  fields are lazy ``dask.array`` objects that share one solve per block.
- A a ``dask.array`` chunked along its rows, larger than memory if need be,
  and B of shape (m,) or (m, k) with the same rows: one pass over the row
  blocks sums A^T A, A^T B and b^T b, the Gram method solves the n x n
  problem in this process, and a second pass certifies the result against A
  (its residuals and duals A^T (b - A x)).

Nothing here knows about clusters: the graphs run on whatever scheduler is
active (a ``dask.distributed`` client, threads or processes).

This module is imported only on request (``import tovrin.dask``);
``import tovrin`` does not import Dask.
"""
from __future__ import annotations

import dataclasses
import os
import warnings
from typing import Any, Dict, Optional, Tuple

import numpy as np
import numpy.typing as npt

import tovrin
from tovrin import _solver
from tovrin._convert import REAL_KINDS, as_real_array
from tovrin._row_blocks import (GramSums, ResidualSums, add_gram, add_residuals, gram_sums,
                                range_shifts, residual_sums)
from tovrin._texts import (A_ROWS_UNKNOWN, B_NOT_2D, B_NOT_DASK, B_ROWS, B_ROWS_UNKNOWN,
                           DASK_MISSING, EXACT_NEEDS_A, MATRIX_RANK, METHOD, NOT_FINITE,
                           NOT_FINITE_ROWS, NOT_REAL, TALL_B_RANK, TALL_INACCURATE_MANY,
                           TALL_INACCURATE_ONE, TALL_KEPT_MANY, TALL_KEPT_ONE, X0_NEEDS_DASK_A,
                           X0_SHAPE)

try:
    import dask
    import dask.array as da
    from dask.base import tokenize
except ImportError as missing:
    raise ImportError(DASK_MISSING) from missing

__all__ = ["nnls", "DaskNNLSResult"]

# The array fields of a result; one block's solve returns them all, one record
# per problem, and every field array picks its part from those records.
FIELDS = ("x", "rnorm", "dual", "passive", "iterations", "status", "converged")
# Fields with one row per variable (n, K); the others have one entry per
# problem (K,).
PER_VARIABLE = ("x", "dual", "passive")
# maxiter=None means this many iterations per variable, as in tovrin.nnls.
# The Gram method's statuses that method="auto" answers with the exact method.
FLAGGED = (int(tovrin.Status.GRAM_INACCURATE), int(tovrin.Status.GRAM_INDEFINITE))
# A block's own warnings would be issued on the worker that solves it (into
# its log, or once per block in a local scheduler).  The counts are
# aggregated instead: DaskNNLSResult.compute() issues one warning of each
# class for the whole of B, and every field carries the status.  This filter silences only
# the warnings that tovrin.nnls attributes to its caller in this module.
for _category in (tovrin.IterationLimitWarning, tovrin.GramAccuracyWarning,
                  tovrin.NonFiniteResultWarning):
    warnings.filterwarnings("ignore", category=_category, module=r"tovrin\.dask\Z")

# A tall A's passes add the terms of SPLIT_EVERY consecutive row blocks in
# one task of a tree: such a task holds SPLIT_EVERY terms and their sum, at
# most 4 n^2 doubles of Gram matrices.
SPLIT_EVERY = 3
# method="auto" solves the flagged problems of a tall A again by the exact
# method in this process when A fits in memory: A gathered here (its blocks
# and their concatenation: GATHERED_COPIES copies at the peak), one
# column-major copy of A per solving thread and the flagged columns of B,
# together at most MEMORY_SHARE of the memory available to this process.
GATHERED_COPIES = 2
MEMORY_SHARE = 0.5
BYTES_PER_DOUBLE = 8
BYTES_PER_GB = 1e9
# Frames between the tall path's warnings and the caller of nnls: _warn_tall,
# _solve_tall, nnls.
CALLER_OF_NNLS = 4


@dataclasses.dataclass(frozen=True)
class DaskNNLSResult:
    """Lazy result of :func:`tovrin.dask.nnls`: one dask array per field.

    The fields mean what they mean in :class:`tovrin.NNLSResult` for k
    problems, with K = B.shape[1] problems and the column chunks of B:

    x : dask.array (n, K) float64
        The solutions, column j for problem j.
    rnorm : dask.array (K,) float64
        ||A x_j - b_j|| as the solver reports it.
    dual : dask.array (n, K) float64
        The solver's dual vectors w.
    passive : dask.array (n, K) bool
        True for the variables in the final solution set.
    iterations : dask.array (K,) int
        The solver's iteration counts.
    status : dask.array (K,) int
        ``tovrin.Status`` codes, as in ``tovrin.nnls``.
    converged : dask.array (K,) bool
        status == SOLVED.
    method : str
        The method that solved the blocks: "exact" or "gram" ("auto" is
        decided once for all K problems); :meth:`compute` reports
        "gram+exact" where "auto" solved some problems again exactly.
    maxiter : int
        The iteration limit of each problem.
    records : dask.array (K,) of a structured dtype
        The solves themselves, one record per problem with every field
        (x, dual and passive as sub-arrays of n); each field above picks its
        part from these blocks.

    Every field is computed from the same solve of each block: computing
    several fields in one ``dask.compute`` call, or all of them through
    :meth:`compute`, solves each block of B once.

    With A a dask array (one tall problem set), the problems are solved when
    ``nnls`` returns: the fields are dask arrays of one block each holding
    the results, shaped as ``tovrin.nnls`` shapes them (x of shape (n,) and
    0-d rnorm, iterations, status and converged for B of shape (m,)), and
    ``solved`` is the in-memory ``tovrin.NNLSResult`` that :meth:`compute`
    returns.
    """

    x: da.Array
    rnorm: da.Array
    dual: da.Array
    passive: da.Array
    iterations: da.Array
    status: da.Array
    converged: da.Array
    method: str
    maxiter: int
    records: da.Array = dataclasses.field(repr=False)
    # A tall A's result, solved when nnls returned (its warnings issued then).
    solved: Optional["tovrin.NNLSResult"] = dataclasses.field(default=None, repr=False)

    def fields(self) -> Tuple[da.Array, ...]:
        """The lazy field arrays, in the order of ``FIELDS``."""
        return tuple(getattr(self, name) for name in FIELDS)

    def compute(self, **kwargs: Any) -> "tovrin.NNLSResult":
        """Solve every block once and return an in-memory ``tovrin.NNLSResult``.

        Keyword arguments go to ``dask.compute``.  The solved blocks are
        gathered whole, one task per block, and split into the fields here.
        One warning of each class that the statuses call for (as
        ``tovrin.nnls`` issues them) says how many of the K problems it
        concerns.  A tall A's result was solved, and warned about, by
        ``nnls`` itself: it is returned as it is.
        """
        if self.solved is not None:
            return self.solved
        records = self.records.compute(**kwargs)
        values = {name: np.ascontiguousarray(records[name].T) for name in FIELDS}
        for name in PER_VARIABLE:
            values[name].flags.writeable = False
        # Level 2: the caller of compute().
        _solver.warn(values["status"], self.maxiter, False, 2)
        method = "gram+exact" if records["again"].any() else self.method
        return tovrin.NNLSResult(**values, method=method)

    def persist(self, **kwargs: Any) -> "DaskNNLSResult":
        """Solve every block once and keep the results in the cluster's memory.

        Keyword arguments go to ``dask.persist``.  The returned result's
        fields are backed by the solved blocks.
        """
        records, *fields = dask.persist(self.records, *self.fields(), **kwargs)
        return dataclasses.replace(self, **dict(zip(FIELDS, fields)), records=records)

    def __repr__(self) -> str:
        n = self.x.shape[0]
        if self.solved is not None:
            count = 1 if self.x.ndim == 1 else self.x.shape[1]
            return (f"<tovrin.dask.DaskNNLSResult: {count} problems of a tall A, solved, "
                    f"n={n}, method={self.method!r}>")
        return (f"<tovrin.dask.DaskNNLSResult: {self.x.shape[1]} problems in "
                f"{self.x.numblocks[1]} blocks, n={n}, method={self.method!r}>")


def nnls(A: Any, B: Any, *, method: Optional[str] = None,
         maxiter: Optional[int] = None, threads: Optional[int] = None,
         check_finite: bool = True, x0: Optional[npt.ArrayLike] = None) -> DaskNNLSResult:
    """Solve min ||A x_j - b_j||, x_j >= 0, for the columns of B with Dask.

    Two kinds of problem, told apart by A:

    - **Many right-hand sides**: A in memory, B a dask array of shape (m, K)
      chunked along K.  Each column block of B is one task that calls
      ``tovrin.nnls``; nothing is solved before the fields are computed.
    - **One tall problem set**: A a dask array of shape (m, n) chunked along
      its rows (m may exceed the memory of every machine), B of shape (m,)
      or (m, k) with the same rows.  The Gram method solves it in two passes
      over the row blocks, and ``nnls`` returns when it is solved (see
      Notes).

    Parameters
    ----------
    A : array_like or dask.array.Array, shape (m, n)
        In memory: the matrix shared by all problems, converted as
        ``tovrin.nnls`` converts it and placed in the task graph once;
        every block's task refers to that one copy, so a cluster receives it
        once (each worker then holds one copy).

        A dask array: real (integers and float32 are converted block by
        block), chunked along its rows in any way, with any chunking of its
        columns (a rechunk joins the column chunks of a row block).  Its graph must
        give the same numbers each time it is computed (data read from
        files, or generated from fixed seeds): the second pass reads A again
        unless it is persisted.
    B : dask.array.Array, shape (m, K); with a dask A also (m,), or in memory
        Many right-hand sides: one problem per column, chunked along K.  Each
        column block is one task.  B chunked along m as well is first
        rechunked to a single block along m (each task needs whole columns).
        The scheduler's cost is a few milliseconds per block, the solve of a
        few hundred 200x5 problems: blocks of about 10^4 columns keep it to a
        few per cent, with several blocks per worker left for balance (see
        ``bench/bench_dask.py``).  An image
        cube held as an ``xarray.DataArray`` with a band dimension becomes
        such a B through ``cube.transpose("band", ...).data.reshape(m, -1)``
        (pixels numbered row by row).

        With a dask A: one problem (m,) or k problems (m, k), a dask array
        whose row chunks are aligned to A's (rechunked where they differ),
        or an array in memory when it fits there.
    method : {"exact", "gram", "auto"}, optional
        Many right-hand sides: passed to ``tovrin.nnls``; None (default)
        means "exact", tovrin.nnls's own default, which is not passed on, so
        this path also works with a tovrin.nnls that has no ``method``
        argument.

        A dask A: "gram" (what None means) or "auto", which also solves
        the problems that the certificate flags again by the exact method
        when A fits in memory (the rule is in Notes).  "exact" raises
        ValueError: it needs A in one piece.
    maxiter, threads, check_finite
        As for ``tovrin.nnls``.  Many right-hand sides: applied to each
        block; ``threads`` is the number of threads of one block's solve on
        its worker: choose 1 when the workers' threads already use every
        core.  A dask A: ``maxiter`` and ``threads`` are those of the n x n
        solve in this process (and of the exact re-solves of "auto"); with
        ``check_finite`` a NaN or infinity raises ValueError naming A or B
        and the row block that holds it, and without it the problems it
        touches get status NOT_FINITE.
    x0 : array_like, shape (n,) or (n, k), optional
        A dask A only: a warm start for the Gram method, as for
        ``tovrin.nnls_gram`` (the positive entries are the variables that
        start in the solution set).

    Returns
    -------
    DaskNNLSResult
        Lazy dask arrays x (n, K), rnorm (K,), dual (n, K), passive (n, K),
        iterations (K,), status (K,) and converged (K,), computed from one
        solve per block.  With method "exact", column j of every field is
        bit for bit what ``tovrin.nnls(A, B[:, j])`` gives, whatever the
        chunking.  With "gram" or "auto" it is what
        ``tovrin.nnls(A, block, method=...)`` gives for the column's block:
        the Gram method's products A^T B and its sharing of work between
        the problems of a block depend on the block, so results may differ
        in their last bits between chunkings (and are flagged alike).

        A dask A: the fields of the solved problems, with the shapes and
        meanings of ``tovrin.nnls(A.compute(), B.compute())``'s (x of shape
        (n,) for B of shape (m,)); ``rnorm`` and ``dual`` are computed from
        A itself, and ``method`` is "gram", or "gram+exact" where "auto"
        solved problems again.  ``compute()`` gives the
        ``tovrin.NNLSResult``.

    Raises
    ------
    TypeError, ValueError
        Many right-hand sides: while building the graph, before any task
        runs: B not a dask array, not 2-d, of a non-real dtype or with a row
        count other than m; every error of ``tovrin.nnls`` about A,
        ``maxiter``, ``threads`` or ``method``, checked by tovrin.nnls
        itself on the client (A is checked for NaN and infinity there when
        ``check_finite`` is true).  A NaN or infinity in B is found when
        its block is solved: computing then raises tovrin.nnls's
        ValueError; x0 raises ValueError.

        A dask A: before any pass, A not 2-d or B not of shape (m,) or
        (m, k), a non-real dtype, a row count of B other than m, rows of
        unknown number, method "exact" or unknown, and every error of
        ``tovrin.nnls_gram`` about ``maxiter``, ``threads`` and ``x0``;
        after the first pass, NaN or infinity with ``check_finite``.

    Warns
    -----
    IterationLimitWarning, NonFiniteResultWarning, GramAccuracyWarning
        Many right-hand sides: the blocks' own warnings are silenced, the
        statuses report them, and :meth:`DaskNNLSResult.compute` issues one
        warning of each class for all K problems; computing single fields
        issues none.  A dask A: ``nnls`` itself issues them, one of each
        class, as ``tovrin.nnls`` does; for flagged problems the
        ``GramAccuracyWarning`` says whether "auto" could solve them again.

    Notes
    -----
    A dask A is solved in two passes over its row blocks, each one graph of
    one task per row block and a tree of sums (SPLIT_EVERY blocks per sum):

    1. Each block gives A_i^T A_i, A_i^T B_i (through NumPy's BLAS) and
       ||b_ij||^2, and bounds on its columns' largest magnitudes (from the
       norms, the columns that these do not place scanned) and its
       finiteness.  Where some column of A or B has its largest magnitude
       outside [2^-480, 2^480), the pass runs again with those columns
       scaled by powers of two (exact), as ``tovrin.nnls`` scales them, so
       that no product overflows or underflows; results are scaled back.
    2. ``tovrin.nnls_gram`` solves the Gram form in this process (x0
       included).
    3. Each block gives ||b_ij - A_i x_j||^2 and A_i^T (b_ij - A_i x_j):
       rnorm is the true residual norm and dual the true A^T (b - A x).  A
       problem that the Gram method reported solved keeps status SOLVED
       only where these duals satisfy the optimality conditions within
       tolerance (``|w_i| <= tol_i`` on the solution set, ``w_i <= tol_i``
       off it, tol_i the larger of 1e-10 (||A^T A||_1 ||x||_inf +
       ||A^T b||_inf) and the rounding of a_i^T r in float64); the others
       become GRAM_INACCURATE.

    A task holds one row block of A and of B (two blocks where it converts
    or scales one) and O(n^2 + n k) doubles; this process holds A^T A and
    A^T B.

    "auto" solves the flagged problems again by ``tovrin.nnls(A.compute(),
    B_flagged.compute())`` when A fits in memory: when (GATHERED_COPIES +
    solving threads) copies of A plus the flagged columns of B take at most
    MEMORY_SHARE of the memory available to this process (psutil's
    ``available``, else the free pages).
    """
    if isinstance(A, da.Array):
        return _solve_tall(A, B, method, maxiter, threads, check_finite, x0)
    if x0 is not None:
        raise ValueError(X0_NEEDS_DASK_A)
    B = _checked_columns(B)
    options = _solver_options("exact" if method is None else method, maxiter, threads,
                              check_finite)
    # One solve of b = 0 (of B's dtype) on the client checks A and the
    # options at tovrin.nnls's front door, exactly as every block's solve
    # will, and gives the dtype of every field.  A that is not 2-d is
    # refused there.
    shape = np.shape(A)
    probe = tovrin.nnls(A, np.zeros((shape[0] if len(shape) == 2 else 0, 1), dtype=B.dtype),
                        **options)
    A = np.asarray(A, dtype=np.float64)
    m, n = A.shape
    _check_rows(B, m)
    B = B.rechunk({0: -1}) if B.numblocks[0] > 1 else B
    # The plan decides once, for all K problems: "auto" then runs the same
    # method in every block (whatever its width), and the Gram method's
    # flagged problems are solved again exactly, block by block.
    uses_gram, limit = _solver.plan_summary(m, n, B.shape[1], options.get("method", "exact"),
                                            maxiter)
    if options.get("method") == "auto":
        options["method"] = "gram" if uses_gram else "exact"
        options["again"] = uses_gram
    return _lazy_result(A, B, probe, options, limit)


def _checked_columns(B: Any) -> da.Array:
    """B itself when it is a 2-d dask array of real numbers; raises otherwise."""
    if not isinstance(B, da.Array):
        raise TypeError(B_NOT_DASK.format(kind=type(B).__name__))
    if B.ndim != 2:
        raise ValueError(B_NOT_2D.format(ndim=B.ndim))
    if B.dtype.kind not in REAL_KINDS:
        raise TypeError(NOT_REAL.format(name="B", dtype=B.dtype))
    return B


def _check_rows(B: da.Array, m: int) -> None:
    """Raises unless B has exactly m rows (the number of rows of A)."""
    rows = B.shape[0]
    if np.isnan(rows):
        raise ValueError(B_ROWS_UNKNOWN)
    if rows != m:
        raise ValueError(B_ROWS.format(rows=rows, m=m))


def _solver_options(method: str, maxiter: Optional[int],
                    threads: Optional[int], check_finite: bool) -> Dict[str, Any]:
    """Keyword arguments of every block's tovrin.nnls call."""
    options: Dict[str, Any] = dict(maxiter=maxiter, threads=threads,
                                   check_finite=check_finite)
    if method != "exact":
        options["method"] = method
    return options


def _lazy_result(A: npt.NDArray[Any], B: da.Array, probe: Any,
                 options: Dict[str, Any], limit: int) -> DaskNNLSResult:
    """The graph: A once, one solve task per column block, one pick per field.

    The solve layer's blocks are record arrays, one record per problem; each
    field is a map_blocks layer that picks its part, so fields computed
    together depend on the same solve tasks.
    """
    a_token = tokenize(A)
    token = tokenize(a_token, B.name, options)
    shared_a = dask.delayed(A, pure=True, name="tovrin-A-" + a_token)
    n = A.shape[1]
    record = _record_dtype(probe, n)
    records = da.blockwise(
        _solve_block, "k", B, "mk", concatenate=True,
        name="tovrin-nnls-" + token, dtype=record,
        meta=np.empty((0,), dtype=record),
        a=shared_a, record=record, options=options)
    columns = B.chunks[1]
    fields = {}
    for name in FIELDS:
        dtype = record[name].base
        if name in PER_VARIABLE:
            fields[name] = records.map_blocks(
                _pick, name, name=f"tovrin-{name}-{token}", new_axis=0,
                chunks=((n,), columns), dtype=dtype, meta=np.empty((0, 0), dtype))
        else:
            fields[name] = records.map_blocks(
                _pick, name, name=f"tovrin-{name}-{token}",
                dtype=dtype, meta=np.empty((0,), dtype))
    method = options.get("method", "exact")
    return DaskNNLSResult(**fields, method=method, maxiter=limit, records=records)


def _record_dtype(probe: Any, n: int) -> "np.dtype[Any]":
    """One problem's fields as one record, with the dtypes the solver gives;
    x, dual and passive are sub-arrays of n entries."""
    return np.dtype([(name, np.asarray(getattr(probe, name)).dtype,
                      (n,) if name in PER_VARIABLE else ())
                     for name in FIELDS] + [("again", np.bool_)])


def _solve_block(b: npt.NDArray[Any], a: npt.NDArray[Any], record: "np.dtype[Any]",
                 options: Dict[str, Any]) -> npt.NDArray[Any]:
    """One record per column of b, from one tovrin.nnls call for the block."""
    records = np.empty(b.shape[1], dtype=record)
    if b.shape[1] > 0:
        solve = dict(options)
        again = solve.pop("again", False)
        result = tovrin.nnls(a, b, **solve)
        for name in FIELDS:
            records[name] = np.transpose(getattr(result, name))
        records["again"] = False
        flagged = np.isin(records["status"], FLAGGED)
        if again and flagged.any():
            # method="auto": what the Gram form cannot vouch for, exactly.
            solve["method"] = "exact"
            exact = tovrin.nnls(a, b[:, flagged], **solve)
            for name in FIELDS:
                records[name][flagged] = np.transpose(getattr(exact, name))
            records["again"][flagged] = True
    return records


def _pick(records: npt.NDArray[Any], name: str) -> npt.NDArray[Any]:
    """Field ``name`` of a block's records: (n, columns) for x, dual and
    passive, (columns,) for the others."""
    return records[name].T


# One tall problem set: A a dask array chunked along its rows.

Fields = Dict[str, np.ndarray]
# The per-problem fields of a tall solve before they are assembled: x, dual
# and passive (n, k), the others (k,).
SOLVED_FIELDS = ("x", "rnorm", "dual", "passive", "iterations", "status")


def _solve_tall(A: da.Array, B: Any, method: Optional[str], maxiter: Optional[int],
                threads: Optional[int], check_finite: bool,
                x0: Optional[npt.ArrayLike]) -> DaskNNLSResult:
    """The Gram method over the row blocks of A, certified against A; the
    flagged problems solved again by the exact method where "auto" asks and
    A fits in memory."""
    method = _tall_method(method)
    A = _checked_tall_matrix(A)
    B, single = _aligned_rows(B, A)
    m, n = A.shape
    k = B.shape[1]
    _check_limits(maxiter, threads)
    start = _checked_start(x0, n, k, single)
    sums, a_shift, b_shift = _gram_pass(A, B)
    if check_finite:
        _raise_at_bad_rows(sums)
    limit = _solver.plan_summary(m, n, k, "gram", maxiter)[1]
    used, kept = "gram", None
    if m == 0 or n == 0 or k == 0:
        # As tovrin.nnls: x = 0 and rnorm = ||b||, without a solve ("auto"
        # then names the exact method, as tovrin.nnls does).
        fields = _unsolved_fields(n, k, tovrin.Status.SOLVED)
        fields["rnorm"] = np.ldexp(np.sqrt(sums.btb), -b_shift)
        used = "exact" if method == "auto" else "gram"
    else:
        fields = _certified_solution(A, B, m, sums, a_shift, b_shift, maxiter, threads, start)
        flagged = np.isin(fields["status"], FLAGGED)
        if method == "auto" and flagged.any():
            need, available = _exact_memory(m, n, int(np.count_nonzero(flagged)), threads)
            if need <= MEMORY_SHARE * available:
                _solve_again_exactly(A, B, flagged, maxiter, threads, fields)
                used = "gram+exact"
            else:
                kept = (need, available)
    _mark_non_finite(fields, sums)
    _warn_tall(fields["status"], limit, single, kept)
    return _held_result(fields, single, used, limit)


def _tall_method(method: Optional[str]) -> str:
    """The method for a dask A: "gram" for None; "exact" is refused."""
    if method is None:
        return "gram"
    if not isinstance(method, str) or method not in ("exact", "gram", "auto"):
        raise ValueError(METHOD.format(value=method))
    if method == "exact":
        raise ValueError(EXACT_NEEDS_A)
    return method


def _checked_tall_matrix(A: da.Array) -> da.Array:
    """A itself when it is a 2-d dask array of real numbers with known rows."""
    if A.ndim != 2:
        raise ValueError(MATRIX_RANK.format(shape=A.shape))
    if A.dtype.kind not in REAL_KINDS:
        raise TypeError(NOT_REAL.format(name="A", dtype=A.dtype))
    if np.isnan(A.shape).any():
        raise ValueError(A_ROWS_UNKNOWN)
    return _whole_rows(A)


def _whole_rows(X: da.Array) -> da.Array:
    """X with one chunk along its columns (its column chunks joined)."""
    return X if X.numblocks[1] == 1 else X.rechunk({1: -1})


def _aligned_rows(B: Any, A: da.Array) -> Tuple[da.Array, bool]:
    """B as a 2-d dask array of real numbers with A's row chunks, and
    whether it was one vector (m,)."""
    if not isinstance(B, da.Array):
        B = as_real_array(B, "B")
    if B.ndim not in (1, 2):
        raise ValueError(TALL_B_RANK.format(shape=B.shape))
    if B.dtype.kind not in REAL_KINDS:
        raise TypeError(NOT_REAL.format(name="B", dtype=B.dtype))
    single = B.ndim == 1
    if single:
        B = B[:, None]
    _check_rows(B, A.shape[0])
    if not isinstance(B, da.Array):
        return da.from_array(B, chunks=(A.chunks[0], -1)), single
    B = _whole_rows(B)
    return (B if B.chunks[0] == A.chunks[0] else B.rechunk({0: A.chunks[0]})), single


def _check_limits(maxiter: Optional[int], threads: Optional[int]) -> None:
    """Raises tovrin.nnls_gram's errors about maxiter and threads: a solve of
    a 1 x 1 problem checks them at its front door."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tovrin.nnls_gram(np.ones((1, 1)), np.zeros(1), maxiter=maxiter, threads=threads)


def _checked_start(x0: Optional[npt.ArrayLike], n: int, k: int,
                   single: bool) -> Optional[np.ndarray]:
    """x0 as an (n, k) array (a vector serves every problem), by the rules
    and texts of tovrin.nnls; None without a start."""
    if x0 is None:
        return None
    start = as_real_array(x0, "x0")
    fits = ((start.ndim == 1 and start.shape[0] == n) or
            (start.ndim == 2 and start.shape == (n, 1 if single else k)))
    if not fits:
        want = (n,) if single else (n, k)
        raise ValueError(X0_SHAPE.format(want=want, against="A and b", shape=start.shape))
    if not np.isfinite(start).all():
        raise ValueError(NOT_FINITE.format(name="x0"))
    return np.broadcast_to(start if start.ndim == 2 else start[:, None], (n, k))


def _sum_over_blocks(terms: Any, add: Any, token: str, A: da.Array, B: da.Array,
                     **arguments: Any) -> Any:
    """add(terms(A_i, B_i, **arguments) for every row block i), computed as
    one graph: one task per row block, then a tree of sums of SPLIT_EVERY
    consecutive blocks each.

    A and B have one chunk along their columns.  The block tasks index
    every dimension of their inputs (no index is contracted), so Dask fuses
    each with the tasks that make its blocks (generated, read from a file):
    a block of A exists only inside the task that uses it.
    """
    parts = da.blockwise(terms, "ijk", A, "ij", B, "ik",
                         adjust_chunks={"i": 1, "j": 1, "k": 1}, token=token, dtype=object,
                         meta=np.empty((0, 0, 0), dtype=object), **arguments)
    level = list(parts.to_delayed(optimize_graph=True).ravel())
    add_terms = dask.delayed(add, pure=True)
    while len(level) > 1:
        level = [add_terms(*level[i:i + SPLIT_EVERY])
                 for i in range(0, len(level), SPLIT_EVERY)]
    return dask.compute(level[0])[0]


def _gram_pass(A: da.Array, B: da.Array) -> Tuple[GramSums, np.ndarray, np.ndarray]:
    """The Gram form's sums and the powers of two s (n,) and t (k,) that
    they were formed with: A's column i times 2^s_i, B's column j times
    2^t_j.  The pass runs again, scaled, only where the scaling rule asks."""
    sums = _sum_over_blocks(gram_sums, add_gram, "tovrin-gram-sums", A, B)
    a_shift = range_shifts(sums.a_high, sums.a_low)
    b_shift = range_shifts(sums.b_high, sums.b_low)
    if a_shift.any() or b_shift.any():
        sums = _sum_over_blocks(gram_sums, add_gram, "tovrin-gram-sums", A, B,
                                a_shift=a_shift, b_shift=b_shift)
    return sums, a_shift, b_shift


def _residual_pass(A: da.Array, B: da.Array, x: np.ndarray, a_shift: np.ndarray,
                   b_shift: np.ndarray) -> ResidualSums:
    """||b_j - A x_j||^2 and A^T (B - A X) in the units of the Gram pass."""
    shifts = {}
    if a_shift.any() or b_shift.any():
        shifts = dict(a_shift=a_shift, b_shift=b_shift)
    return _sum_over_blocks(residual_sums, add_residuals, "tovrin-residual-sums", A, B,
                            x=dask.delayed(x, pure=True), **shifts)


def _raise_at_bad_rows(sums: GramSums) -> None:
    """ValueError naming A or B and the first row block that holds NaN or
    infinity."""
    for name, rows in (("A", sums.a_bad), ("B", sums.b_bad)):
        if rows is not None:
            raise ValueError(NOT_FINITE_ROWS.format(name=name, start=rows[0], stop=rows[1]))


def _unsolved_fields(n: int, k: int, status: int) -> Fields:
    """x = 0 for k problems: no iterations, nothing passive, the status given."""
    return dict(x=np.zeros((n, k)), rnorm=np.zeros(k), dual=np.zeros((n, k)),
                passive=np.zeros((n, k), dtype=bool), iterations=np.zeros(k, dtype=np.int64),
                status=np.full(k, int(status), dtype=np.int64))


def _certified_solution(A: da.Array, B: da.Array, m: int, sums: GramSums,
                        a_shift: np.ndarray, b_shift: np.ndarray, maxiter: Optional[int],
                        threads: Optional[int], start: Optional[np.ndarray]) -> Fields:
    """The Gram method on the sums for the problems whose data are finite,
    the residual pass for all, the certificate's verdict, and the fields
    scaled back to the caller's units."""
    n, k = sums.atb.shape
    fields = _unsolved_fields(n, k, tovrin.Status.NOT_FINITE)
    finite = np.isfinite(sums.b_high) & (sums.a_bad is None)
    if finite.any():
        with warnings.catch_warnings():
            # The verdict and the warnings come after the certificate.
            warnings.simplefilter("ignore")
            solved = tovrin.nnls_gram(sums.gram, sums.atb[:, finite], btb=sums.btb[finite],
                                      maxiter=maxiter, threads=threads,
                                      x0=None if start is None else start[:, finite])
        for name in ("x", "passive", "iterations", "status"):
            fields[name][..., finite] = getattr(solved, name)
    residuals = _residual_pass(A, B, fields["x"], a_shift, b_shift)
    fields["x"], fields["status"], fields["rnorm"], fields["dual"] = _solver.gram_certify(
        sums.gram, sums.atb, sums.btb, fields["x"], fields["passive"], fields["status"], m,
        residuals.squares, residuals.duals)
    _scale_back(fields, a_shift, b_shift)
    return fields


def _scale_back(fields: Fields, a_shift: np.ndarray, b_shift: np.ndarray) -> None:
    """The fields of A' = A 2^s and B' = B 2^t in the caller's units: x
    2^(s_i - t_j), rnorm 2^-t_j and dual 2^(-s_i - t_j) (exact unless they
    leave float64's range: such a problem's status is then NOT_FINITE)."""
    if not (a_shift.any() or b_shift.any()):
        return
    with np.errstate(over="ignore", under="ignore"):
        fields["x"] = np.ldexp(fields["x"], a_shift[:, None] - b_shift[None, :])
        fields["rnorm"] = np.ldexp(fields["rnorm"], -b_shift)
        fields["dual"] = np.ldexp(fields["dual"], -a_shift[:, None] - b_shift[None, :])


def _mark_non_finite(fields: Fields, sums: GramSums) -> None:
    """Status NOT_FINITE for the problems whose data or results hold NaN or
    infinity, as tovrin.nnls gives them."""
    finite = (np.isfinite(fields["x"]).all(axis=0) & np.isfinite(fields["dual"]).all(axis=0) &
              np.isfinite(fields["rnorm"]) & np.isfinite(sums.b_high) & (sums.a_bad is None))
    fields["status"][~finite] = tovrin.Status.NOT_FINITE


def _available_memory() -> int:
    """Bytes of memory available to this process: psutil's estimate (it
    counts reclaimable caches), else the free pages."""
    try:
        import psutil
    except ImportError:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    return int(psutil.virtual_memory().available)


def _exact_memory(m: int, n: int, problems: int, threads: Optional[int]) -> Tuple[int, int]:
    """Bytes that the exact method's re-solve of `problems` problems needs
    here, and bytes available."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    solving = min(threads or cores or 1, problems)
    need = BYTES_PER_DOUBLE * m * (n * (GATHERED_COPIES + solving) + problems)
    return need, _available_memory()


def _solve_again_exactly(A: da.Array, B: da.Array, flagged: np.ndarray,
                         maxiter: Optional[int], threads: Optional[int],
                         fields: Fields) -> None:
    """The flagged problems solved by tovrin.nnls's exact method on A and
    their columns of B gathered here, their fields replaced."""
    a, b = dask.compute(A, B[:, np.flatnonzero(flagged)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        exact = tovrin.nnls(a, b, maxiter=maxiter, threads=threads)
    for name in SOLVED_FIELDS:
        fields[name][..., flagged] = getattr(exact, name)


def _warn_tall(status: np.ndarray, limit: int, single: bool,
               kept: Optional[Tuple[int, int]]) -> None:
    """One warning of each class that the statuses call for, pointing at
    the caller of nnls; for GRAM_INACCURATE a text that says what "auto"
    does, or why it kept them flagged."""
    inaccurate = status == tovrin.Status.GRAM_INACCURATE
    others = np.where(inaccurate, int(tovrin.Status.SOLVED), status).astype(np.int64)
    _solver.warn(others, limit, single, CALLER_OF_NNLS)
    count = int(np.count_nonzero(inaccurate))
    if count == 0:
        return
    if kept is None:
        text = TALL_INACCURATE_ONE if single else TALL_INACCURATE_MANY
        message = text.format(count=count, total=status.size)
    else:
        text = TALL_KEPT_ONE if single else TALL_KEPT_MANY
        message = text.format(count=count, total=status.size, need=kept[0] / BYTES_PER_GB,
                              available=kept[1] / BYTES_PER_GB)
    warnings.warn(message, tovrin.GramAccuracyWarning, stacklevel=CALLER_OF_NNLS)


def _held_result(fields: Fields, single: bool, used: str, limit: int) -> DaskNNLSResult:
    """The solved fields as a tovrin.NNLSResult (of one problem where B was
    a vector) and as a DaskNNLSResult whose dask arrays hold them."""
    values: Dict[str, Any] = dict(fields)
    values["converged"] = values["status"] == tovrin.Status.SOLVED
    records = np.empty(values["status"].size, dtype=np.dtype(
        [(name, values[name].dtype, values[name].shape[:1] if name in PER_VARIABLE else ())
         for name in FIELDS]))
    for name in FIELDS:
        records[name] = np.transpose(values[name])
    if single:
        values = {name: value[..., 0] for name, value in values.items()}
        values.update(rnorm=float(values["rnorm"]), iterations=int(values["iterations"]),
                      status=tovrin.Status(int(values["status"])),
                      converged=bool(values["converged"]))
    for name in FIELDS:
        if isinstance(values[name], np.ndarray):
            values[name] = np.ascontiguousarray(values[name])
            values[name].flags.writeable = False
    solved = tovrin.NNLSResult(**values, method=used)
    lazy = {name: da.from_array(np.asarray(values[name])) for name in FIELDS}
    return DaskNNLSResult(**lazy, method=used, maxiter=limit,
                          records=da.from_array(records), solved=solved)
