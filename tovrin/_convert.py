"""The conversion of array-like arguments that are not already float64 buffers."""
import numpy as np

from ._texts import MASKED, NOT_REAL

# dtype kinds accepted and converted to float64: signed and unsigned
# integers, floating point.  Booleans, complex numbers, objects, text, dates
# and records are refused.
REAL_KINDS = "iuf"
NOT_REAL_TEXT = NOT_REAL


def as_real_array(value, name):
    """``value`` as a float64 array (native byte order, aligned).

    Raises TypeError naming the argument when its elements are not real or
    it is a masked array (whose mask a solve would silently drop).
    """
    if isinstance(value, np.ma.MaskedArray):
        raise TypeError(MASKED.format(name=name))
    try:
        array = np.asarray(value)
    except BufferError:
        # NumPy does not import indirect buffers (with suboffsets); their
        # elements are read through a memoryview instead.
        array = np.array(memoryview(value).tolist())
    if array.dtype.kind not in REAL_KINDS:
        raise TypeError(NOT_REAL.format(name=name, dtype=array.dtype))
    return np.require(array, dtype=np.float64, requirements="A")
