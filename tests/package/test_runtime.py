"""The call at run time: Ctrl-C, other threads, memory over many calls, and
the type stubs."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import tovrin

# A solve that takes seconds: long enough to be interrupted in its middle.
# The child installs Python's own SIGINT handler: started from a background
# job it would inherit SIGINT ignored.
LONG_SOLVE = textwrap.dedent("""
    import signal
    import numpy as np, tovrin
    signal.signal(signal.SIGINT, signal.default_int_handler)
    rng = np.random.default_rng(1)
    a = rng.standard_normal({shape})
    b = rng.standard_normal({rhs})
    print("solving", flush=True)
    try:
        tovrin.nnls(a, b, threads={threads}, method="{method}")
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
""")


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="POSIX signals")
@pytest.mark.parametrize("method,shape,rhs,threads", [
    ("exact", "(4000, 2000)", "4000", 1), ("exact", "(4000, 2000)", "(4000, 3)", 2),
    ("gram", "(8000, 4000)", "8000", 2)])
def test_ctrl_c_stops_a_long_solve(method, shape, rhs, threads):
    code = LONG_SOLVE.format(method=method, shape=shape, rhs=rhs, threads=threads)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, cwd=os.path.dirname(__file__))
    try:
        assert child.stdout.readline() == "solving\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert (out, child.returncode) == ("interrupted\n", 0), err


def test_other_threads_run_during_a_solve():
    rng = np.random.default_rng(4)
    a = rng.standard_normal((1500, 750))
    b = rng.standard_normal(1500)
    ticks = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        start = len(ticks)
        res = tovrin.nnls(a, b)
        during = len(ticks) - start
    finally:
        done.set()
        t.join()
    assert res.converged and during >= 5


def test_no_memory_grows_over_many_calls():
    import gc
    import tracemalloc

    rng = np.random.default_rng(6)
    a = rng.standard_normal((20, 8))
    b = rng.standard_normal((20, 3))
    bad = b.copy()
    bad[0, 0] = np.nan

    def calls():
        for _ in range(300):
            tovrin.nnls(a, b[:, 0])
            tovrin.nnls(a, b, threads=2)
            tovrin.nnls(a.tolist(), b[:, 1])
            try:
                tovrin.nnls(a, bad)
            except ValueError:
                pass

    calls()
    tracemalloc.start()
    # Two rounds first: objects that the interpreter keeps and replaces (the
    # last exception and its frames, caches) were allocated before tracing
    # began and are counted once when traced anew.  A leak of even one small
    # object per call grows by over 50 kB in the three rounds measured.
    calls()
    calls()
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(3):
        calls()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    refs = sys.getrefcount(a), sys.getrefcount(b)
    calls()
    assert grown < 10_000 and (sys.getrefcount(a), sys.getrefcount(b)) == refs


USER_CODE = textwrap.dedent("""
    import numpy as np
    import numpy.typing
    import tovrin

    res: tovrin.NNLSResult = tovrin.nnls(np.eye(2), [1.0, 2.0], maxiter=10, threads=1)
    x: numpy.typing.NDArray[np.float64] = res.x
    ok: bool = res.status == tovrin.Status.SOLVED
    print(res.rnorm, res.iterations, res.converged, res.method, tovrin.__version__)
""")


def test_stubs_let_mypy_strict_accept_a_user_call(tmp_path):
    pytest.importorskip("mypy")
    script = tmp_path / "user.py"
    script.write_text(USER_CODE)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           str(script)], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
