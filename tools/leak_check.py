"""Runs every exit path of __tovrin.nnls many times and reports whether the
process's memory stays flat.

For each path: a warm-up, then CALLS calls; reported are the growth of the
resident set (from /proc/self/statm), of the interpreter's allocated blocks
(sys.getallocatedblocks, exact for Python objects) and of the reference
counts of the argument objects.  Arguments converted before the failing step
are lists or strided arrays, so that every conversion makes a temporary that
the binding must release.  One leaked temporary per call would grow the
resident set by more than 10 MB and the block count by CALLS.

    python3 tools/leak_check.py [calls per path, default 100000]

Exits non-zero when a path grows beyond the limits below.
"""
import contextlib
import gc
import os
import sys
import time

import numpy as np

import __tovrin

CALLS = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
WARM_UP = 2_000
PAGE = os.sysconf("SC_PAGE_SIZE")
RSS_LIMIT = 2 << 20      # bytes of resident set growth allowed per path
BLOCKS_LIMIT = 1_000     # interpreter blocks allowed per path (caches, interning)


class RaisingInt:
    def __int__(self):
        raise RuntimeError("no integer here")


def self_containing():
    v = []
    v.append(v)
    return v


def strided(values, dtype=np.float64):
    """A non-contiguous array: always converted into a temporary."""
    return np.repeat(np.asarray(values, dtype=dtype), 2)[::2]


def base():
    """A solvable 3x2 problem whose every array is converted into a copy."""
    return dict(a=[[1.0, 2.0], [3.0, 1.0], [0.5, -1.0]], m=3, n=2,
                b=strided([1.0, 2.0, 3.0]), w=strided([0.0, 0.0]),
                zz=strided([0.0, 0.0, 0.0]), index_bn=[0, 0], maxiter=0)


def in_place():
    """The same problem with every array used in place."""
    f = np.asfortranarray
    return dict(a=f([[1.0, 2.0], [3.0, 1.0], [0.5, -1.0]]), m=3, n=2,
                b=np.array([1.0, 2.0, 3.0]), w=np.zeros(2), zz=np.zeros(3),
                index_bn=np.zeros(2, np.int32), maxiter=0,
                overwrite_a=1, overwrite_b=1)


class Retyping:
    """An integer whose conversion retypes arr: to bytes, or back to doubles
    (so that each call finds arr as the one before did)."""

    def __init__(self, arr, dtype, value):
        self.arr, self.dtype, self.value = arr, dtype, value

    def __int__(self):
        self.arr.dtype = self.dtype
        return self.value


def retyped_w():
    """w used in place, then retyped by maxiter: refused by its element type."""
    w = np.zeros(2)
    return dict(base(), m=Retyping(w, np.float64, 3), w=w,
                maxiter=Retyping(w, np.uint8, 0))


def shared_w_zz():
    """One array as w and zz: refused as overlapping."""
    shared = np.zeros(3)
    return dict(base(), w=shared, zz=shared)


def changed(**changes):
    return lambda: dict(base(), **changes)


def without(name):
    def args():
        a = base()
        del a[name]
        return a
    return args


PATHS = {
    "success, every array a copy": base,
    "success, every array in place": in_place,
    "success with mode 2 (n = 0)": changed(n=0),
    "success with mode 3 (limit line)": changed(maxiter=1, a=[[1, 2], [1, 1], [2, 1]],
                                              b=strided([1.0, 2.0, 1.0])),
    "integer rules: nested, complex, string": changed(m=[[3]], n=2 + 7j, maxiter="0"),
    "argument parsing": without("maxiter"),
    "conversion of a": changed(a=[[1.0], [2.0, 3.0]]),
    "conversion of m": changed(m=None),
    "conversion of m, exception from __int__": changed(m=RaisingInt()),
    "conversion of m, endless nesting": changed(m=self_containing()),
    "conversion of n": changed(n="two"),
    "conversion of b": changed(b=[[1.0], [2.0, 3.0]]),
    "conversion of w": changed(w=["x", 1.0]),
    "conversion of zz": changed(zz={}),
    "conversion of index_bn": changed(index_bn=[[1], [2, 3]]),
    "conversion of maxiter": changed(maxiter=[]),
    "conversion of mda": changed(mda=float("nan")),
    "leading-dimension test": changed(mda=4),
    "creating x (n < 0)": changed(n=-1),
    "m beyond the rows of a": changed(m=4),
    "n beyond the columns of a": changed(n=3),
    "b shorter than m": changed(b=strided([1.0, 2.0])),
    "index_bn shorter than n": changed(index_bn=[0]),
    "w retyped after its conversion": retyped_w,
    "w and zz one array": shared_w_zz,
}


def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def call(args):
    try:
        __tovrin.nnls(**args)
    except Exception:
        pass


def measure(make_args):
    args = make_args()
    shared = (int, float, complex, str, bytes, type(None))  # counts move with the interpreter
    objects = [v for v in args.values() if not isinstance(v, shared)]
    for _ in range(WARM_UP):
        call(args)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objects]
    rss, blocks = resident(), sys.getallocatedblocks()
    start = time.perf_counter()
    for _ in range(CALLS):
        call(args)
    seconds = time.perf_counter() - start
    gc.collect()
    rss_growth = resident() - rss
    block_growth = sys.getallocatedblocks() - blocks
    refs_moved = [sys.getrefcount(o) for o in objects] != refs
    return rss, rss_growth, block_growth, refs_moved, seconds


def main():
    print(f"{CALLS} calls per path after {WARM_UP} warm-up calls")
    print(f"{'path':44} {'RSS before':>11} {'growth':>9} {'blocks':>7} {'refs':>5} {'s':>6}")
    failed = []
    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
        # The limit line is written by the solver to file descriptor 1.
        saved = os.dup(1)
        os.dup2(null.fileno(), 1)
        try:
            results = {name: measure(make) for name, make in PATHS.items()}
        finally:
            os.dup2(saved, 1)
            os.close(saved)
    for name, (rss, growth, blocks, refs, seconds) in results.items():
        bad = growth > RSS_LIMIT or blocks > BLOCKS_LIMIT or refs
        print(f"{name:44} {rss >> 10:>8} kB {growth >> 10:>6} kB {blocks:>7} "
              f"{'moved' if refs else 'flat':>5} {seconds:>6.2f}{'  LEAK' if bad else ''}")
        if bad:
            failed.append(name)
    print("leaking paths: " + (", ".join(failed) if failed else "none"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
