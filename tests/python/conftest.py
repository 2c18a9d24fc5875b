"""Fixtures of the black-box tests of the extension module __tovrin."""
import numpy as np
import pytest


@pytest.fixture(scope="session")
def tovrin():
    import __tovrin
    return __tovrin


@pytest.fixture(scope="session")
def error_class(tovrin):
    """The module's exception class, which the module does not expose by name."""
    a = np.zeros((2, 1), order="F")
    try:
        tovrin.nnls(a, 1, 1, [0.0, 0.0], [0.0], [0.0, 0.0], [0], 0, mda=3)
    except Exception as exc:  # the leading-dimension test raises it
        return type(exc)
    pytest.fail("a wrong leading dimension was accepted")
