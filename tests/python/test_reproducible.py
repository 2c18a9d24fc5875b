"""The same problems give the same bytes everywhere: whichever NumPy headers
the module was built with, whichever Python and NumPy run it.

The problems come from an integer generator (no floating-point library
call), so every input is the same exact double on every platform; the
digests of every output array were stored from one run.
"""
import hashlib
import json
import pathlib

import numpy as np
import pytest

from module_testing import in_place_problem

STORED = pathlib.Path(__file__).parent / "data" / "reproducible_outputs.json"
# name: (rows, columns, seed, iteration limit, every second column repeats the one before)
PROBLEMS = {
    "tall 120x80": (120, 80, 1, 0, False),
    "square 80x80": (80, 80, 2, 0, False),
    "wide 40x80": (40, 80, 3, 0, False),
    "tall 300x5": (300, 5, 4, 0, False),
    "iteration limit 60x40": (60, 40, 5, 7, False),
    "repeated columns 30x20": (30, 20, 6, 0, True),
}


def exact_values(count, seed):
    """count multiples of 2^-10 in [-512, 512) from a linear congruential generator."""
    state, values = seed, []
    for _ in range(count):
        state = (state * 1103515245 + 12345) % 2**31
        values.append((state >> 11) / 1024.0 - 512.0)
    return values


def problem(rows, columns, seed, maxiter, repeated):
    values = exact_values(rows * columns + rows, seed)
    a = np.array(values[:rows * columns]).reshape(rows, columns, order="F")
    if repeated:
        a[:, 1::2] = a[:, ::2]
    args = in_place_problem(a, values[rows * columns:])
    args["maxiter"] = maxiter
    return args


def digest(tovrin, args):
    x, rnorm, mode = tovrin.nnls(**args)
    outputs = [x, np.float64(rnorm), np.int32(mode)] + [
        args[name] for name in ("a", "b", "w", "zz", "index_bn")]
    return hashlib.sha256(b"".join(np.ascontiguousarray(o).tobytes() for o in outputs)).hexdigest()


@pytest.mark.parametrize("name", PROBLEMS)
def test_outputs_are_the_stored_bytes(tovrin, name):
    stored = json.loads(STORED.read_text())
    assert digest(tovrin, problem(*PROBLEMS[name])) == stored[name]
