"""Types of the extension module tovrin._gram (called by tovrin._gram_method)."""
from typing import Optional

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
    group: bool = ...,
) -> None: ...
