"""Block principal pivoting for the Gram method on large problems.

min f(x) = 1/2 x'G x - c'x over x >= 0 (G = A'A, c = A'b), after Júdice and
Pires and Kim and Park.  A partition of the variables into a free set F and
a bound set B fixes x_B = 0 and x_F = G_FF^-1 c_F; the dual y = G x - c
vanishes on F.  (x, y) is optimal when x_F >= 0 and y_B >= 0; each round
exchanges the infeasible variables (x_j < 0 on F, y_j < 0 on B) between the
sets at once.  While the number of infeasible variables falls, every one is
exchanged; after BACKUP_ROUNDS rounds without a new smallest number only the
infeasible variable of largest index is (the backup rule, which terminates
for a positive definite G).

Each round's system is solved through a Cholesky factor G_FF = R'R: from
NumPy's LAPACK (multi-threaded through NumPy's BLAS) when many variables
change, updated in place (tovrin._gram: append, delete with Givens
rotations) when few do.  The triangular solves run in C++.

The rounds end in tovrin._gram.solve_from, which takes the final free set
and its factor, continues with the one-at-a-time active-set method where
the set is not yet optimal (rounding, or MAX_ROUNDS reached), and makes the
Gram method's accuracy checks (condition estimate, refinement with A,
optimality, the duals from A).  A factorisation that breaks down (G_FF not
numerically positive definite: wide or rank-deficient A, duplicate or zero
columns) ends the rounds: the one-at-a-time method then solves the problem
from x = 0, or, with early_exit, the problem is flagged GRAM_INACCURATE at
once so that the caller can solve it with the exact method.
"""
from __future__ import annotations

from typing import Optional, Tuple

import numpy as np

from . import _gram

# Rounds without a new smallest number of infeasible variables before the
# backup rule exchanges one variable per round.
BACKUP_ROUNDS = 3
# A factor whose smallest pivot^2 / G_jj is at or below this has broken
# down: some column of F is numerically in the span of the others (the
# one-at-a-time method's bound for a variable to enter).
DEPENDENT_PIVOT = 1e-13
# A bound variable is infeasible when y_j < -ENTERING_TOLERANCE * scale,
# scale = ||G||_1 ||x||_inf + ||c||_inf (the one-at-a-time method's bound
# for a variable to enter).
ENTERING_TOLERANCE = 1e-13
# Rounds at most before the one-at-a-time method takes over from the last
# free set.  Gaussian problems take 4 to 12 rounds; on ill-conditioned ones
# (cond(A) = 1e6, 600 x 300) the rounds wandered past 50, while the
# one-at-a-time method from the free set of round 20 finished in a few
# hundred trials, as it does from x = 0.
MAX_ROUNDS = 20
# A round that exchanges at most this many variables updates the factor
# instead of refactorising.  Measured (bench/bench_gram.py --families
# tall, n = 2000): one append or delete at |F| = 1000 costs about 1 ms, a
# factorisation through NumPy about 25 ms.
UPDATE_EXCHANGES = 16

SOLVED = _gram.SOLVED
INACCURATE = _gram.GRAM_INACCURATE


class Factor:
    """R'R = G(set, set) for the free set: rt[j, :] is column j of R (rt[:p, :p]
    is the lower Cholesky factor L = R'), set[:p] the variables in position
    order."""

    def __init__(self, rt: np.ndarray, set_: np.ndarray) -> None:
        self.rt = rt
        self.set = set_
        self.p = set_.shape[0]

    def solve(self, v: np.ndarray) -> np.ndarray:
        """G(set, set)^-1 v."""
        s = np.empty(self.p)
        _gram.solve_factored(self.rt, self.p, self.set, np.ascontiguousarray(v), s)
        return s


def _factorise(g: np.ndarray, free: np.ndarray) -> Optional[Factor]:
    """The factor of G_FF in increasing index order, or None when it breaks
    down."""
    idx = np.flatnonzero(free).astype(np.int32)
    if idx.size == 0:
        return Factor(np.zeros((0, 0)), idx)
    gff = g.take(idx, axis=0).take(idx, axis=1)   # faster than g[np.ix_(idx, idx)]
    try:
        lower = np.linalg.cholesky(gff)
    except np.linalg.LinAlgError:
        return None
    if not np.min(np.diagonal(lower) ** 2 / np.diagonal(gff)) > DEPENDENT_PIVOT:
        return None
    return Factor(np.ascontiguousarray(lower), idx)


def _update(factor: Factor, g: np.ndarray, leaving: np.ndarray,
            entering: np.ndarray) -> Optional[Factor]:
    """The factor with the variables `leaving` deleted and `entering`
    appended, or None when an appended pivot is too small."""
    position = np.empty(g.shape[0], dtype=np.int64)
    position[factor.set] = np.arange(factor.p)
    p = factor.p
    if leaving.size:
        p = _gram.delete_positions(factor.rt, p, factor.set,
                                   np.sort(position[leaving])[::-1].astype(np.int32))
    want = p + entering.size
    rt = factor.rt
    if want > rt.shape[0]:
        rt = np.zeros((want, want))
        rt[:p, :p] = factor.rt[:p, :p]
    set_ = np.empty(rt.shape[0], dtype=np.int32)
    set_[:p] = factor.set[:p]
    p = _gram.append_variables(rt, p, set_, g, entering.astype(np.int32))
    if p < want:
        return None
    return Factor(rt, set_[:p])


def pivot(g: np.ndarray, c: np.ndarray, free: np.ndarray, gnorm: float,
          limit: int) -> Tuple[Optional[Factor], int, bool]:
    """Rounds of block principal pivoting from the free set `free` (changed
    in place).  Returns (factor, rounds, optimal): the factor of the last
    free set (None when a factorisation broke down), the rounds taken (at
    most limit) and whether that set is optimal."""
    n = c.shape[0]
    cnorm = float(np.max(np.abs(c))) if n else 0.0
    x = np.zeros(n)
    fewest, chances = n + 1, BACKUP_ROUNDS
    factor: Optional[Factor] = None
    moved = np.zeros(0, dtype=np.int64)
    rounds = 0
    while rounds < limit:
        rounds += 1
        if factor is not None and 0 < moved.size <= UPDATE_EXCHANGES:
            leaving = moved[~free[moved]]
            factor = _update(factor, g, leaving, moved[free[moved]])
        else:
            factor = _factorise(g, free)
        if factor is None:
            return None, rounds, False
        x[:] = 0.0
        if factor.p:
            x[factor.set] = factor.solve(c[factor.set])
        y = g @ x - c
        tolerance = ENTERING_TOLERANCE * (gnorm * float(np.max(np.abs(x))) + cnorm)
        infeasible = np.flatnonzero(np.where(free, x < 0.0, y < -tolerance))
        if infeasible.size == 0:
            return factor, rounds, True
        # Invariant: fewest is the smallest number of infeasible variables
        # seen; chances the full exchanges left without a new smallest.
        backup = False
        if infeasible.size < fewest:
            fewest, chances = infeasible.size, BACKUP_ROUNDS
        elif chances > 0:
            chances -= 1
        else:
            backup = True
        moved = infeasible[-1:] if backup else infeasible
        free[moved] = ~free[moved]
    return factor, rounds, False


def solve_one(g, c, a, b, free, gnorm, maxiter, early_exit):
    """One problem in the scaled Gram form (g C-contiguous and symmetric, c,
    and optionally a (m, n) column-major and b) from the free set `free`,
    or, for None, from every variable free (the unconstrained minimiser's
    round) and, should G itself break down, from none.  Returns x,
    w = c - G x, passive, iterations, status, rnorm (NaN without a), or
    None when the rounds broke down and the caller should solve the problem
    with the one-at-a-time method instead (never with early_exit)."""
    n = c.shape[0]
    if maxiter < 2:
        return None
    limit = min(MAX_ROUNDS, maxiter - 1)
    unconstrained = free is None
    if unconstrained:
        free = np.ones(n, dtype=bool)
    factor, rounds, optimal = pivot(g, c, free, gnorm, limit)
    if factor is None and unconstrained and rounds == 1 and not early_exit:
        # G is singular (m < n, dependent columns): start from x = 0.
        free[:] = False
        factor, more, optimal = pivot(g, c, free, gnorm, limit - 1)
        rounds += more
    if factor is None and early_exit:
        rnorm = float(np.linalg.norm(b)) if a is not None else np.nan
        return (np.zeros(n), c.copy(), np.zeros(n, dtype=bool), rounds, INACCURATE, rnorm)
    if factor is None or (optimal and factor.p == 0):
        # Broken down, or x = 0: the one-at-a-time method from x = 0.
        return None
    # Out of rounds (on an ill-conditioned G rounding makes the exchanges
    # wander), the one-at-a-time method continues from the last free set.
    x, w = np.empty(n), np.empty(n)
    passive = np.empty(n, dtype=bool)
    iterations, status, rnorm = _gram.solve_from(
        g, c, a, b, factor.rt, factor.p, factor.set, maxiter - rounds, x, w, passive)
    return x, w, passive, rounds + iterations, status, rnorm
