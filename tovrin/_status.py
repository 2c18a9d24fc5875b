"""Status codes of the solver and the warning for a stop on the iteration limit."""
import enum


class Status(enum.IntEnum):
    """How a solve ended; the values are the solver's own codes.

    Attributes
    ----------
    SOLVED
        The solution has been computed (code 1).
    ITERATION_LIMIT
        The solver stopped on its iteration limit (code 3): ``x`` holds the
        last completed step, not the solution.
    GRAM_INACCURATE
        The Gram-form method (``method="gram"``, :func:`tovrin.nnls_gram`)
        cannot vouch for its result (code 4): the optimality check failed,
        the problem is too ill-conditioned for A^T A, or a pivot was too
        small for the Gram form.  ``x`` is the Gram form's answer; solve
        with ``method="exact"`` for an accurate one.
    """

    SOLVED = 1
    ITERATION_LIMIT = 3
    GRAM_INACCURATE = 4


class IterationLimitWarning(RuntimeWarning):
    """Issued once per call of :func:`tovrin.nnls` when problems stopped on the
    iteration limit; the text says how many."""
