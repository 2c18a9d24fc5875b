"""Ownership: a call keeps no reference to the caller's objects and releases
every temporary, whether it succeeds or fails at any step."""
import os
import sys

import numpy as np
import pytest

ROWS, COLS, WIDTH, LONG = 30, 20, 200, 5000
CALLS, WARM_UP = 1000, 100
RSS_GROWTH_LIMIT = 8 << 20  # bytes; one leaked temporary per call would take > 20 MB
PAGE = os.sysconf("SC_PAGE_SIZE")


def arguments(in_place):
    """Unique objects for every argument. The copied variant makes a temporary
    of every array, each of at least 20 kB, so that a leak shows in the RSS."""
    rng = np.random.default_rng(3)
    a = rng.standard_normal((ROWS, WIDTH))
    if in_place:
        vectors = dict(b=np.zeros(LONG), w=np.zeros(LONG), zz=np.zeros(LONG),
                       index_bn=np.zeros(LONG, np.int32), overwrite_a=1, overwrite_b=1)
        a = np.asfortranarray(a)
    else:
        vectors = dict(b=np.zeros(LONG, np.float32), w=np.zeros(LONG, np.float32),
                       zz=np.zeros(LONG, np.float32), index_bn=np.zeros(LONG, np.int64))
        vectors["b"][:ROWS] = rng.standard_normal(ROWS)
    return dict(a=a, m=float(ROWS), n=[COLS], maxiter=np.int64(0), mda=np.float64(ROWS),
                **vectors)


PATHS = {
    "success": {},
    "mode 2 with wide a": dict(a=np.zeros((1, 20000)), m=0.0, n=20000.0, mda=1.0),
    "parsing": dict(other=1.0),
    "a": dict(a=[["x"]]),
    "m": dict(m=[[]]),
    "n": dict(n=complex(float("nan"), 0.0)),
    "b": dict(b=["x"]),
    "w": dict(w=["x"]),
    "zz": dict(zz=["x"]),
    "index_bn": dict(index_bn=["x"]),
    "maxiter": dict(maxiter=[{}]),
    "mda": dict(mda=["x"]),
    "leading dimension": dict(mda=np.float64(ROWS + 1)),
    "negative n": dict(n=-1.0),
    "size check": dict(n=[LONG + 1]),
}
SUCCEEDING = ("success", "mode 2 with wide a")


def call(tovrin, args):
    try:
        return tovrin.nnls(**args)
    except Exception:
        return None


def objects_of(args):
    """Every argument object, and the items of list arguments."""
    found = list(args.values())
    found += [item for value in args.values() if isinstance(value, list) for item in value]
    return found


@pytest.mark.parametrize("in_place", [True, False], ids=["in place", "copies"])
@pytest.mark.parametrize("path", PATHS.keys())
def test_reference_counts_are_unchanged(tovrin, path, in_place):
    args = dict(arguments(in_place), **PATHS[path])
    objects = objects_of(args)
    before = [sys.getrefcount(o) for o in objects]
    result = call(tovrin, args)
    assert (result is None) == (path not in SUCCEEDING)
    if result is not None:
        x = result[0]
        del result
        assert sys.getrefcount(x) == 2
    assert [sys.getrefcount(o) for o in objects] == before


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


@pytest.mark.parametrize("path", PATHS.keys())
def test_many_calls_do_not_grow_memory(tovrin, path):
    args = dict(arguments(False), **PATHS[path])
    for _ in range(WARM_UP):
        call(tovrin, args)
    start = resident_bytes()
    for _ in range(CALLS):
        call(tovrin, args)
    assert resident_bytes() - start < RSS_GROWTH_LIMIT
