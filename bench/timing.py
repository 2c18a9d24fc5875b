"""Timing shared by the Gram method's benchmarks (bench_gram.py, bench_many.py).

  * time_in_turns: contenders timed side by side, each taking its turn in
    every round, so that a change of load on a shared machine falls on all
    of them alike; medians of wall and CPU time.
  * InterveningWork: the large NumPy work a user does between two calls (a
    fresh array filled and dropped, a matrix product), which evicts the
    caches, returns memory to the system and leaves NumPy's BLAS threads
    spinning.
  * busy_cores: child processes that hold cores busy for the duration.
  * load_average: the machine's load, to print and record with the results.
"""
import contextlib
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Callable, NamedTuple, Optional

import numpy as np

# A turn without work before it times as many calls as fill this many
# seconds (one at least) and takes their mean: the calls of small problems
# last less than the clock's useful resolution.
MIN_SECONDS = 0.05

# NumPy's BLAS (OpenBLAS) keeps a worker thread spinning for about 0.1 s
# after each of its multi-threaded calls (measured: 0.1 s of CPU time
# burnt during a sleep after a product, of any size).  Every turn first
# waits twice that, so that no contender pays for the threads of the one
# before it; the work between calls is measured on purpose, by a contender
# of its own.
SETTLE_SECONDS = 0.2

# The work between two calls: a fresh array of this many bytes filled and
# dropped (larger than every cache, and served by the allocator from fresh
# pages), then a product of two matrices of this order.
INTERVENING_ORDER = 2000
INTERVENING_BYTES = 200_000_000
INTERVENING_TEXT = (f"a fresh {INTERVENING_BYTES // 10**6} MB array filled and dropped, then a "
                    f"{INTERVENING_ORDER} x {INTERVENING_ORDER} matrix product (NumPy's BLAS, "
                    "whose threads spin on for a moment after it)")

# A busy child spins until its parent is gone (it is then adopted and its
# parent id changes) or for at most this long, so that no spinner outlives
# a run that was killed.
SPIN_LIMIT_SECONDS = 3600
SPIN_CODE = """
import os, sys, time
parent, deadline = int(sys.argv[1]), time.monotonic() + float(sys.argv[2])
while os.getppid() == parent and time.monotonic() < deadline:
    sum(range(100_000))
"""
# Time for the spinners to start and reach their loop before timing.
SPIN_UP_SECONDS = 1.0
STOP_SECONDS = 5.0


@dataclass(frozen=True)
class Contender:
    """A call to time; `before`, when given, runs untimed before each timed
    call (and the turn is then that one call)."""
    name: str
    call: Callable[[], object]
    before: Optional[Callable[[], object]] = None


class Timing(NamedTuple):
    wall: float  # median wall time of a call, seconds
    cpu: float   # median CPU time of a call over every thread of the process


def time_turn(contender, min_seconds):
    """(wall, cpu) of one turn, after SETTLE_SECONDS: one call after
    `before`, else the mean over the calls that fill min_seconds."""
    time.sleep(SETTLE_SECONDS)
    if contender.before is not None:
        contender.before()
    calls = 0
    wall, cpu = time.perf_counter(), time.process_time()
    while True:
        contender.call()
        calls += 1
        spent = time.perf_counter() - wall
        if contender.before is not None or spent >= min_seconds:
            break
    return spent / calls, (time.process_time() - cpu) / calls


def time_in_turns(contenders, repeats, min_seconds=MIN_SECONDS):
    """{name: Timing} over `repeats` rounds in which every contender takes
    one turn, in the order given."""
    walls = {c.name: [] for c in contenders}
    cpus = {c.name: [] for c in contenders}
    for _ in range(repeats):
        for contender in contenders:
            wall, cpu = time_turn(contender, min_seconds)
            walls[contender.name].append(wall)
            cpus[contender.name].append(cpu)
    return {name: Timing(statistics.median(walls[name]), statistics.median(cpus[name]))
            for name in walls}


class InterveningWork:
    """Callable: a user's large NumPy work between two solver calls -- a
    fresh array of INTERVENING_BYTES filled and dropped, then a product of
    two INTERVENING_ORDER matrices.  The product comes last, as where a
    user forms the data right before solving: NumPy's BLAS threads keep
    their cores busy for a moment after a product returns."""

    def __init__(self, seed=0):
        rng = np.random.default_rng(seed)
        self.left = rng.standard_normal((INTERVENING_ORDER, INTERVENING_ORDER))
        self.right = rng.standard_normal((INTERVENING_ORDER, INTERVENING_ORDER))

    def __call__(self):
        filled = np.full(INTERVENING_BYTES // 8, 1.0)
        last = float(filled[-1])
        del filled
        product = self.left @ self.right
        return last + float(product[0, 0])


@contextlib.contextmanager
def busy_cores(count):
    """Keeps `count` child processes spinning in Python while the block runs;
    they are stopped afterwards, also when the block raises."""
    children = []
    try:
        for _ in range(count):
            children.append(subprocess.Popen(
                [sys.executable, "-c", SPIN_CODE, str(os.getpid()), str(SPIN_LIMIT_SECONDS)]))
        time.sleep(SPIN_UP_SECONDS)
        yield
    finally:
        for child in children:
            child.terminate()
        for child in children:
            try:
                child.wait(STOP_SECONDS)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()


def load_average():
    """The 1, 5 and 15 minute load averages as text."""
    return " ".join(f"{v:.2f}" for v in os.getloadavg())


def verdict(value, target, at_most):
    """'value (target <= t: met)' or with '>=' when at_most is False."""
    met = value <= target if at_most else value >= target
    bound = "<=" if at_most else ">="
    return f"{value:.2f} (target {bound} {target:g}: {'met' if met else 'missed'})"
