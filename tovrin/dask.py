"""Many right-hand sides sharing one matrix, solved block by block with Dask.

``tovrin.dask.nnls(A, B)`` solves min ||A x_j - b_j||, x_j >= 0, for every
column b_j of a ``dask.array`` B of shape (m, K), chunked along K.  Each column
block of B is solved on a worker by ``tovrin.nnls``; the result fields are lazy
``dask.array`` objects that share one solve per block.  Nothing here knows
about clusters: the graph runs on whatever scheduler is active (a
``dask.distributed`` client, threads or processes).

This module is imported only on request (``import tovrin.dask``);
``import tovrin`` does not import Dask.
"""
from __future__ import annotations

import dataclasses
import warnings
from typing import Any, Dict, Optional, Tuple

import numpy as np
import numpy.typing as npt

import tovrin
from tovrin import _solver
from tovrin._convert import REAL_KINDS
from tovrin._texts import B_NOT_2D, B_NOT_DASK, B_ROWS, B_ROWS_UNKNOWN, DASK_MISSING, NOT_REAL

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
DEFAULT_ITERATIONS_PER_VARIABLE = 3
# A block's own warnings would be issued on the worker that solves it (into
# its log, or once per block in a local scheduler).  The counts are
# aggregated instead: DaskNNLSResult.compute() issues one warning of each
# class for the whole of B, and every field carries the status.  This filter silences only
# the warnings that tovrin.nnls attributes to its caller in this module.
for _category in (tovrin.IterationLimitWarning, tovrin.GramAccuracyWarning,
                  tovrin.NonFiniteResultWarning):
    warnings.filterwarnings("ignore", category=_category, module=r"tovrin\.dask\Z")


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
        The method that solved the blocks.
    maxiter : int
        The iteration limit of each problem.
    records : dask.array (K,) of a structured dtype
        The solves themselves, one record per problem with every field
        (x, dual and passive as sub-arrays of n); each field above picks its
        part from these blocks.

    Every field is computed from the same solve of each block: computing
    several fields in one ``dask.compute`` call, or all of them through
    :meth:`compute`, solves each block of B once.
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

    def fields(self) -> Tuple[da.Array, ...]:
        """The lazy field arrays, in the order of ``FIELDS``."""
        return tuple(getattr(self, name) for name in FIELDS)

    def compute(self, **kwargs: Any) -> "tovrin.NNLSResult":
        """Solve every block once and return an in-memory ``tovrin.NNLSResult``.

        Keyword arguments go to ``dask.compute``.  The solved blocks are
        gathered whole, one task per block, and split into the fields here.
        One warning of each class that the statuses call for (as
        ``tovrin.nnls`` issues them) says how many of the K problems it
        concerns.
        """
        records = self.records.compute(**kwargs)
        values = {name: np.ascontiguousarray(records[name].T) for name in FIELDS}
        for name in PER_VARIABLE:
            values[name].flags.writeable = False
        # Level 2: the caller of compute().
        _solver.warn(values["status"], self.maxiter, False, 2)
        return tovrin.NNLSResult(**values, method=self.method)

    def persist(self, **kwargs: Any) -> "DaskNNLSResult":
        """Solve every block once and keep the results in the cluster's memory.

        Keyword arguments go to ``dask.persist``.  The returned result's
        fields are backed by the solved blocks.
        """
        records, *fields = dask.persist(self.records, *self.fields(), **kwargs)
        return dataclasses.replace(self, **dict(zip(FIELDS, fields)), records=records)

    def __repr__(self) -> str:
        n, K = self.x.shape
        return (f"<tovrin.dask.DaskNNLSResult: {K} problems in "
                f"{self.x.numblocks[1]} blocks, n={n}, method={self.method!r}>")


def nnls(A: Any, B: Any, *, method: str = "exact",
         maxiter: Optional[int] = None, threads: Optional[int] = None,
         check_finite: bool = True) -> DaskNNLSResult:
    """Solve min ||A x_j - b_j||, x_j >= 0, for every column of a dask array B.

    Parameters
    ----------
    A : array_like, shape (m, n)
        The matrix shared by all problems, held in memory.  It is converted
        as ``tovrin.nnls`` converts it and placed in the task graph once;
        every block's task refers to that one copy, so a cluster receives it
        once (each worker then holds one copy).
    B : dask.array.Array, shape (m, K)
        The right-hand sides, one problem per column, chunked along K.  Each
        column block is one task.  B chunked along m as well is first
        rechunked to a single block along m (each task needs whole columns).
        The scheduler's cost is a few milliseconds per block, the solve of a
        few hundred 200x5 problems: blocks of about 10^4 columns keep it to a
        few per cent, with several blocks per worker left for balance (see
        ``bench/bench_dask.py``).  An image
        cube held as an ``xarray.DataArray`` with a band dimension becomes
        such a B through ``cube.transpose("band", ...).data.reshape(m, -1)``
        (pixels numbered row by row).
    method : str
        The solving method, passed to ``tovrin.nnls``.  "exact" (the default)
        is tovrin.nnls's own default and is not passed on, so this module
        also works with a tovrin.nnls that has no ``method`` argument.
    maxiter, threads, check_finite
        As for ``tovrin.nnls``, applied to each block.  ``threads`` is the
        number of threads of one block's solve on its worker: choose 1 when
        the workers' threads already use every core.

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

    Raises
    ------
    TypeError, ValueError
        While building the graph, before any task runs: B not a dask array,
        not 2-d, of a non-real dtype or with a row count other than m; every
        error of ``tovrin.nnls`` about A, ``maxiter``, ``threads`` or
        ``method``, checked by tovrin.nnls itself on the client (A is
        checked for NaN and infinity there when ``check_finite`` is true).
        A NaN or infinity in B is found when its block is solved: computing
        then raises tovrin.nnls's ValueError.

    Notes
    -----
    The iteration limit is reported through ``status`` and ``converged``;
    the blocks' own warnings are silenced, and
    :meth:`DaskNNLSResult.compute` issues one ``tovrin.IterationLimitWarning``
    for all K problems.  Computing single fields issues none.
    """
    B = _checked_columns(B)
    options = _solver_options(method, maxiter, threads, check_finite)
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
    return _lazy_result(A, B, probe, options)


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
                 options: Dict[str, Any]) -> DaskNNLSResult:
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
    limit = options["maxiter"]
    if limit is None:
        limit = DEFAULT_ITERATIONS_PER_VARIABLE * n
    return DaskNNLSResult(**fields, method=probe.method, maxiter=limit, records=records)


def _record_dtype(probe: Any, n: int) -> "np.dtype[Any]":
    """One problem's fields as one record, with the dtypes the solver gives;
    x, dual and passive are sub-arrays of n entries."""
    return np.dtype([(name, np.asarray(getattr(probe, name)).dtype,
                      (n,) if name in PER_VARIABLE else ())
                     for name in FIELDS])


def _solve_block(b: npt.NDArray[Any], a: npt.NDArray[Any], record: "np.dtype[Any]",
                 options: Dict[str, Any]) -> npt.NDArray[Any]:
    """One record per column of b, from one tovrin.nnls call for the block."""
    records = np.empty(b.shape[1], dtype=record)
    if b.shape[1] > 0:
        result = tovrin.nnls(a, b, **options)
        for name in FIELDS:
            records[name] = np.transpose(getattr(result, name))
    return records


def _pick(records: npt.NDArray[Any], name: str) -> npt.NDArray[Any]:
    """Field ``name`` of a block's records: (n, columns) for x, dual and
    passive, (columns,) for the others."""
    return records[name].T
