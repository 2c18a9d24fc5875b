"""Types of the extension module tovrin._gram (called by tovrin._gram_method)."""
from typing import Optional, Tuple

import numpy as np
import numpy.typing as npt

SOLVED: int
ITERATION_LIMIT: int
GRAM_INACCURATE: int
DUAL_TOLERANCE: float
ACCURACY_TARGET: float

def solve(
    g: npt.NDArray[np.float64],
    ct: npt.NDArray[np.float64],
    a: Optional[npt.NDArray[np.float64]],
    bt: Optional[npt.NDArray[np.float64]],
    maxiter: int,
    threads: int,
    x: npt.NDArray[np.float64],
    w: npt.NDArray[np.float64],
    passive: npt.NDArray[np.bool_],
    iterations: npt.NDArray[np.int64],
    status: npt.NDArray[np.int64],
    rnorm: npt.NDArray[np.float64],
) -> None: ...

# Block principal pivoting (tovrin/_gram_pivoting.py).  A factor is rt, a
# C-contiguous (cap, cap) array whose row j is column j of R (R'R =
# G(set, set)), with p positions in use.
def solve_factored(
    rt: npt.NDArray[np.float64], p: int, set: npt.NDArray[np.int32],
    v: npt.NDArray[np.float64], s: npt.NDArray[np.float64],
) -> None: ...
def delete_positions(
    rt: npt.NDArray[np.float64], p: int, set: npt.NDArray[np.int32],
    positions: npt.NDArray[np.int32],
) -> int: ...
def append_variables(
    rt: npt.NDArray[np.float64], p: int, set: npt.NDArray[np.int32],
    g: npt.NDArray[np.float64], variables: npt.NDArray[np.int32],
) -> int: ...
def solve_from(
    g: npt.NDArray[np.float64],
    c: npt.NDArray[np.float64],
    a: Optional[npt.NDArray[np.float64]],
    b: Optional[npt.NDArray[np.float64]],
    rt: npt.NDArray[np.float64],
    p: int,
    set: npt.NDArray[np.int32],
    maxiter: int,
    x: npt.NDArray[np.float64],
    w: npt.NDArray[np.float64],
    passive: npt.NDArray[np.bool_],
) -> Tuple[int, int, float]: ...
