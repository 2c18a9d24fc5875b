"""Many Python threads calling nnls at once, each on its own arrays, get
exactly the serial results, and each failing call its own exception and text.

The binding holds the interpreter lock through the solver, but a conversion
that runs Python code (an __int__ here) lets other threads in while a call is
half-way through its arguments.  So calls interleave in their conversion
phase, and any state shared between calls of the binding would show up as a
wrong result or a wrong message in another thread.
"""
import sys
import threading
import time

import numpy as np
import pytest

from module_testing import in_place_problem, same_bits

THREADS = 8
ROUNDS = 40


class YieldingInt:
    """An integer whose conversion gives the other threads a turn."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        time.sleep(0)
        return self.value


def problems():
    rng = np.random.default_rng(2024)
    shapes = [(1, 1), (3, 5), (6, 2), (8, 8), (12, 7), (4, 9)]
    return [(rng.standard_normal(shape), rng.standard_normal(shape[0])) for shape in shapes]


def solve(tovrin, a, b, yielding):
    """One call with every array in place; returns what the solver left."""
    args = in_place_problem(a, b)
    if yielding:
        args.update(m=YieldingInt(args["m"]), n=YieldingInt(args["n"]),
                    maxiter=YieldingInt(0))
    x, rnorm, mode = tovrin.nnls(**args)
    return (x, rnorm, mode, args["a"], args["b"], args["w"], args["index_bn"].copy())


def same_outcome(p, q):
    x1, r1, m1, a1, b1, w1, i1 = p
    x2, r2, m2, a2, b2, w2, i2 = q
    return (same_bits(x1, x2) and same_bits(r1, r2) and m1 == m2 and same_bits(a1, a2)
            and same_bits(b1, b2) and same_bits(w1, w2) and np.array_equal(i1, i2))


# A failing call per error path of the binding, each with its own message.
def failing_calls(tovrin):
    ok = in_place_problem(np.eye(2), [1.0, -1.0])
    return [
        dict(ok, m=YieldingInt(3)),                       # m beyond the rows of a
        dict(ok, n=YieldingInt(5)),                       # n beyond the columns of a
        dict(ok, mda=YieldingInt(7)),                     # wrong leading dimension
        dict(ok, maxiter="many"),                         # integer conversion
        dict(ok, n=YieldingInt(-4)),                      # x cannot be made
        dict(ok, w=[[1.0], [2.0, 3.0]]),                  # NumPy's own error
    ]


def expected_failure(tovrin, args):
    try:
        tovrin.nnls(**args)
    except Exception as exc:
        return type(exc), str(exc)
    pytest.fail("the call was expected to fail")


@pytest.fixture(autouse=True)
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def run_threads(work):
    errors = []
    start = threading.Barrier(THREADS)

    def body(t):
        start.wait()
        try:
            work(t)
        except BaseException as exc:  # reported to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


def test_concurrent_calls_give_the_serial_results(tovrin):
    cases = problems()
    serial = [solve(tovrin, a, b, yielding=False) for a, b in cases]
    mismatches = []

    def work(t):
        for r in range(ROUNDS):
            k = (t + r) % len(cases)
            outcome = solve(tovrin, *cases[k], yielding=(t + r) % 2 == 0)
            if not same_outcome(outcome, serial[k]):
                mismatches.append((t, r, k))

    run_threads(work)
    assert mismatches == []


def test_concurrent_failures_keep_their_own_exception_and_text(tovrin, capfd):
    calls = failing_calls(tovrin)
    expected = [expected_failure(tovrin, args) for args in calls]
    assert len(set(expected)) == len(expected)
    problem = problems()[3]
    serial = solve(tovrin, *problem, yielding=False)
    wrong = []

    def work(t):
        for r in range(ROUNDS):
            if (t + r) % 3 == 0:
                if not same_outcome(solve(tovrin, *problem, yielding=True), serial):
                    wrong.append(("result", t, r))
                continue
            k = (t + r) % len(calls)
            if expected_failure(tovrin, calls[k]) != expected[k]:
                wrong.append(("failure", t, r, k))

    run_threads(work)
    assert wrong == []
    assert capfd.readouterr().out == ""
