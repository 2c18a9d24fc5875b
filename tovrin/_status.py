"""Status codes of a solve and the warnings that report them."""
import enum


class Status(enum.IntEnum):
    """How a solve ended.

    The codes 1 and 3 are the low-level module's ``mode`` values.  Its
    ``mode`` 2, bad dimensions (m <= 0 or n <= 0), never reaches a result of
    the package: empty dimensions are solved, x = 0 and rnorm = ||b||.
    Hence there is no code 2.

    Attributes
    ----------
    SOLVED
        The solution has been computed (code 1).
    ITERATION_LIMIT
        The solver stopped on its iteration limit (code 3): ``x`` holds the
        last completed step, not the solution; ``rnorm``, ``dual`` and
        ``passive`` describe that ``x``.
    GRAM_INACCURATE
        The Gram-form method (``method="gram"``, :func:`tovrin.nnls_gram`)
        cannot vouch for its result (code 4): the optimality check failed,
        the problem is too ill-conditioned for A^T A, or a pivot was too
        small for the Gram form.  ``x`` is the Gram form's answer; solve
        with ``method="exact"`` for an accurate one.
    NOT_FINITE
        ``x``, ``rnorm`` or ``dual`` is not finite (code 5): the data held
        NaN or infinity (with ``check_finite=False``), or the solution lies
        beyond the range of float64.
    GRAM_INDEFINITE
        :func:`tovrin.nnls_gram` met an AtA that is not positive
        semi-definite (code 6): a pivot of its factorisation was clearly
        negative, so AtA is the Gram matrix of no A and the result is not a
        solution.
    """

    SOLVED = 1
    ITERATION_LIMIT = 3
    GRAM_INACCURATE = 4
    NOT_FINITE = 5
    GRAM_INDEFINITE = 6

    def __str__(self) -> str:
        # The same on every Python (3.11 made IntEnum's str the bare number).
        return f"{type(self).__name__}.{self.name}"


class IterationLimitWarning(RuntimeWarning):
    """Issued once per call when problems stopped on the iteration limit
    (status ITERATION_LIMIT); the text says how many."""


class GramAccuracyWarning(RuntimeWarning):
    """Issued once per call when Gram-form results carry the status
    GRAM_INACCURATE or GRAM_INDEFINITE; the text says how many."""


class NonFiniteResultWarning(RuntimeWarning):
    """Issued once per call when results carry the status NOT_FINITE; the
    text says how many."""
