"""The sums over the row blocks of a tall A that its Gram form needs.

With A = [A_1; A_2; ...] and B = [B_1; B_2; ...] cut into the same row
blocks, every quantity of the Gram method is a sum over the blocks:

    A^T A = sum_i A_i^T A_i,   A^T B = sum_i A_i^T B_i,   b^T b = sum_i ||b_i||^2,

and, for a candidate solution X, so are the certificate's

    ||b_j - A x_j||^2 = sum_i ||r_ij||^2,   A^T (B - A X) = sum_i A_i^T R_i,
    with R_i = B_i - A_i X.

``gram_sums`` and ``residual_sums`` compute one block's terms, ``add_gram``
and ``add_residuals`` add the terms of consecutive blocks (in row order), so
that a tree of them over all blocks gives the totals.  Each works on the
arrays of one block and allocates at most one more block's worth (a float64
copy of a block of another dtype, or its columns scaled) plus O(n^2); the
residual pass takes the block in slabs, so its temporaries stay small
whatever k is.  Nothing here imports Dask: the workers run these functions.
"""
from __future__ import annotations

from typing import NamedTuple, Optional, Tuple

import numpy as np
import numpy.typing as npt

Rows = Optional[Tuple[int, int]]

# The front door's scaling rule (tovrin/src/common/scaling.h): a column whose
# largest magnitude lies outside [2^-SAFE_EXPONENT, 2^SAFE_EXPONENT) is scaled
# by the power of two that brings it into [1, 2).  Inside, every product and
# every sum of fewer than 2^63 of them stays in float64's normal range.
SAFE_EXPONENT = 480
# A column whose block norm s = ||a||_2 has 2^-(SAFE_EXPONENT - 1) <=
# s / sqrt(rows) and s < 2^(SAFE_EXPONENT - 1) has its largest magnitude,
# which lies in [s / sqrt(rows), s], inside the safe range: the binade to
# spare covers the rounding of s.  Only the other columns of a block are
# scanned for their largest magnitude.
BOUND_MARGIN = 1
# Rows of a slab of the residual pass: about SLAB_BYTES of A, which stay in
# the core's cache between the product A_s X and the product A_s^T R_s, so
# that A is read from memory once.
SLAB_BYTES = 1 << 20


class GramSums(NamedTuple):
    """The Gram form's terms of consecutive row blocks, and what their data
    were like.

    rows: rows covered; gram (n, n) = A^T A, atb (n, k) = A^T B and btb (k,)
    = b_j^T b_j over them.  a_low, a_high (n,) and b_low, b_high (k,):
    bounds low <= max |column| <= high, with low = high = the largest
    magnitude itself wherever the norm did not place it in the safe range
    (NaN where a column holds NaN).  a_bad, b_bad: the row range
    (start, stop) of the first block that holds NaN or infinity in A, in B,
    relative to the first row covered; None where there is none.
    """

    rows: int
    gram: npt.NDArray[np.float64]
    atb: npt.NDArray[np.float64]
    btb: npt.NDArray[np.float64]
    a_low: npt.NDArray[np.float64]
    a_high: npt.NDArray[np.float64]
    b_low: npt.NDArray[np.float64]
    b_high: npt.NDArray[np.float64]
    a_bad: Rows
    b_bad: Rows


class ResidualSums(NamedTuple):
    """The certificate's terms of consecutive row blocks: squares (k,) =
    ||b_j - A x_j||^2 and duals (n, k) = A^T (B - A X) over them."""

    squares: npt.NDArray[np.float64]
    duals: npt.NDArray[np.float64]


def as_float64(block: npt.ArrayLike, shift: Optional[npt.NDArray[np.int64]]) -> np.ndarray:
    """The block as float64, its columns times 2^shift where a shift is
    given (exact, as long as no element leaves the normal range)."""
    block = np.asarray(block, dtype=np.float64)
    return block if shift is None else np.ldexp(block, shift[None, :])


def largest_magnitudes(block: np.ndarray) -> np.ndarray:
    """max |column| of a block with rows, NaN where a column holds NaN."""
    return np.maximum(np.max(block, axis=0), -np.min(block, axis=0))


def magnitude_bounds(block: np.ndarray,
                     squares: np.ndarray) -> Tuple[np.ndarray, np.ndarray, bool]:
    """Bounds low <= max |column| <= high for a block, and whether the block
    is finite, from the columns' squared norms ``squares`` (0 for no rows).

    ||a||_2 / sqrt(rows) <= max |a| <= ||a||_2 places most columns inside the
    safe range at no cost; the others (zero, tiny, huge or not finite
    columns) are scanned, and their bounds are the exact largest magnitude.
    A column is finite exactly when its squared norm is finite or its scan
    finds every element finite (a square that overflows is not a NaN).
    """
    rows = block.shape[0]
    if rows == 0:
        return np.zeros(block.shape[1]), np.zeros(block.shape[1]), True
    norms = np.sqrt(squares)
    low = norms / np.sqrt(rows)
    high = norms.copy()
    limit = np.ldexp(1.0, SAFE_EXPONENT - BOUND_MARGIN)
    placed = (low >= 1.0 / limit) & (high < limit)
    scanned = np.flatnonzero(~placed)
    if scanned.size:
        exact = largest_magnitudes(block[:, scanned])
        low[scanned] = exact
        high[scanned] = exact
    return low, high, bool(np.isfinite(high).all())


def gram_sums(a_block: npt.ArrayLike, b_block: npt.ArrayLike,
              a_shift: Optional[np.ndarray] = None,
              b_shift: Optional[np.ndarray] = None) -> GramSums:
    """One block's terms of A^T A, A^T B and b^T b (products through NumPy's
    BLAS), its magnitude bounds and finiteness; the columns of A and B
    scaled by 2^a_shift and 2^b_shift where given."""
    a = as_float64(a_block, a_shift)
    b = as_float64(b_block, b_shift)
    rows = a.shape[0]
    with np.errstate(over="ignore", invalid="ignore"):
        gram = a.T @ a
        atb = a.T @ b
        btb = np.einsum("ij,ij->j", b, b)
        a_low, a_high, a_finite = magnitude_bounds(a, np.diagonal(gram))
        b_low, b_high, b_finite = magnitude_bounds(b, btb)
    return GramSums(rows, gram, atb, btb, a_low, a_high, b_low, b_high,
                    None if a_finite else (0, rows), None if b_finite else (0, rows))


def first_bad(parts: Tuple[GramSums, ...], field: str) -> Rows:
    """The first bad row range of consecutive parts, relative to the first
    part's first row."""
    offset = 0
    for part in parts:
        bad = getattr(part, field)
        if bad is not None:
            return bad[0] + offset, bad[1] + offset
        offset += part.rows
    return None


def add_gram(*parts: GramSums) -> GramSums:
    """The terms of consecutive blocks together (in row order); the parts
    are left as they are."""
    first = parts[0]
    gram, atb, btb = first.gram.copy(), first.atb.copy(), first.btb.copy()
    a_low, a_high = first.a_low.copy(), first.a_high.copy()
    b_low, b_high = first.b_low.copy(), first.b_high.copy()
    for part in parts[1:]:
        gram += part.gram
        atb += part.atb
        btb += part.btb
        for total, term in ((a_low, part.a_low), (a_high, part.a_high),
                            (b_low, part.b_low), (b_high, part.b_high)):
            np.maximum(total, term, out=total)
    return GramSums(sum(part.rows for part in parts), gram, atb, btb, a_low, a_high,
                    b_low, b_high, first_bad(parts, "a_bad"), first_bad(parts, "b_bad"))


def residual_sums(a_block: npt.ArrayLike, b_block: npt.ArrayLike, x: np.ndarray,
                  a_shift: Optional[np.ndarray] = None,
                  b_shift: Optional[np.ndarray] = None) -> ResidualSums:
    """One block's terms of ||b_j - A x_j||^2 and A^T (B - A X) for X (n, k),
    the columns of A and B scaled by 2^a_shift and 2^b_shift where given.
    R_s = B_s - A_s X is formed slab by slab, and each slab of A is used
    twice while it is in cache."""
    a_all, b_all = np.asarray(a_block), np.asarray(b_block)
    n, k = x.shape
    squares = np.zeros(k)
    duals = np.zeros((n, k))
    step = max(1, SLAB_BYTES // (8 * max(n, 1)))
    with np.errstate(over="ignore", invalid="ignore"):
        for start in range(0, a_all.shape[0], step):
            a = as_float64(a_all[start:start + step], a_shift)
            r = as_float64(b_all[start:start + step], b_shift) - a @ x
            duals += a.T @ r
            squares += np.einsum("ij,ij->j", r, r)
    return ResidualSums(squares, duals)


def add_residuals(*parts: ResidualSums) -> ResidualSums:
    """The certificate's terms of several blocks together; the parts are
    left as they are."""
    squares, duals = parts[0].squares.copy(), parts[0].duals.copy()
    for part in parts[1:]:
        squares += part.squares
        duals += part.duals
    return ResidualSums(squares, duals)


def range_shifts(high: np.ndarray, low: np.ndarray) -> np.ndarray:
    """The power of two s_i that the scaling rule applies to column i, from
    the column's bounds over all blocks: 0 where low >= 2^-SAFE_EXPONENT and
    high < 2^SAFE_EXPONENT; else -floor(log2(max |column|)), where max
    |column| = high (a column outside the range was scanned in every block
    that placed it there), and 0 for a zero or non-finite column."""
    limit = np.ldexp(1.0, SAFE_EXPONENT)
    inside = (low >= 1.0 / limit) & (high < limit)
    usable = ~inside & np.isfinite(high) & (high > 0)
    shifts = np.zeros(high.shape, dtype=np.int64)
    # frexp: high = f 2^e with f in [0.5, 1), so floor(log2(high)) = e - 1.
    shifts[usable] = 1 - np.frexp(high[usable])[1]
    return shifts
