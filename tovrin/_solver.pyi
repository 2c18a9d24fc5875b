"""Types of the extension module tovrin._solver."""
from typing import Any, Iterator, Optional, Union

import numpy as np
import numpy.typing as npt

from ._status import Status

class NNLSResult:
    """Result of tovrin.nnls: the solution of min ||A x - b||, x >= 0."""

    def __init__(
        self,
        *,
        x: npt.NDArray[np.float64],
        rnorm: Union[float, npt.NDArray[np.float64]],
        dual: npt.NDArray[np.float64],
        passive: npt.NDArray[np.bool_],
        iterations: Union[int, npt.NDArray[np.int64]],
        status: Union[Status, npt.NDArray[np.int64]],
        converged: Union[bool, npt.NDArray[np.bool_], None] = None,
        method: str = "exact",
    ) -> None: ...
    @property
    def x(self) -> npt.NDArray[np.float64]: ...
    @property
    def rnorm(self) -> Union[float, npt.NDArray[np.float64]]: ...
    @property
    def dual(self) -> npt.NDArray[np.float64]: ...
    @property
    def passive(self) -> npt.NDArray[np.bool_]: ...
    @property
    def iterations(self) -> Union[int, npt.NDArray[np.int64]]: ...
    @property
    def status(self) -> Union[Status, npt.NDArray[np.int64]]: ...
    @property
    def converged(self) -> Union[bool, npt.NDArray[np.bool_]]: ...
    @property
    def method(self) -> str: ...

    def __iter__(self) -> Iterator[Any]: ...

def nnls(
    A: npt.ArrayLike,
    b: npt.ArrayLike,
    maxiter: Optional[int],
    threads: Optional[int],
    check_finite: object,
    method: str,
    x0: Optional[npt.ArrayLike],
) -> NNLSResult: ...
def nnls_gram(
    AtA: npt.ArrayLike,
    Atb: npt.ArrayLike,
    btb: Optional[npt.ArrayLike],
    maxiter: Optional[int],
    threads: Optional[int],
    x0: Optional[npt.ArrayLike],
) -> NNLSResult: ...
def warn(status: npt.ArrayLike, maxiter: int, single: bool, stacklevel: int) -> None: ...
def _exact_kernels() -> dict[str, Any]: ...
