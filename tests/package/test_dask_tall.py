"""tovrin.dask.nnls with A a dask array chunked by rows: one tall problem set."""
import concurrent.futures
import os
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

distributed = pytest.importorskip(
    "distributed", reason="tovrin.dask needs dask[array,distributed]: pip install .[dask]")
import cloudpickle  # noqa: E402  (installed with distributed)
import dask  # noqa: E402
import dask.array as da  # noqa: E402

import tovrin  # noqa: E402
import tovrin.dask as tdask  # noqa: E402
from tovrin import _solver, _texts  # noqa: E402

cloudpickle.register_pickle_by_value(sys.modules[__name__])

M, N, K = 3000, 12, 3
ROWS = 700  # a row block; the last one is shorter
SECONDS_PER_SLOW_BLOCK = 0.1
SLOW_ROWS = 300  # ten slow blocks: the first pass lasts half a second at least
KILL_DEADLINE = 60.0


@pytest.fixture(scope="module")
def problem():
    rng = np.random.default_rng(23)
    a = rng.standard_normal((M, N))
    x = np.abs(rng.standard_normal((N, K))) * (rng.random((N, K)) < 0.6)
    return a, a @ x + 0.1 * rng.standard_normal((M, K))


@pytest.fixture
def threads():
    """The local threaded scheduler, whatever client a test before set up."""
    with dask.config.set(scheduler="threads"):
        yield


def relative(x, reference):
    return np.abs(x - reference).max() / np.abs(reference).max()


def never_run(block):
    raise AssertionError("a block of A was computed before the arguments were checked")


def slowly(block):
    time.sleep(SECONDS_PER_SLOW_BLOCK)
    return block


def test_agrees_with_the_in_memory_solves(client, problem):
    a, b = problem
    result = tdask.nnls(da.from_array(a, chunks=(ROWS, 5)), da.from_array(b, chunks=(ROWS, 1)))
    solved = result.compute()
    gram = tovrin.nnls(a, b, method="gram")
    exact = tovrin.nnls(a, b)
    assert relative(solved.x, gram.x) <= 1e-12 and relative(solved.x, exact.x) <= 1e-10
    assert relative(solved.rnorm, exact.rnorm) <= 1e-12
    assert (solved.status == exact.status).all() and solved.method == "gram"
    assert (solved.passive == exact.passive).all()
    # The lazy fields hold the same numbers.
    assert (result.x.compute() == solved.x).all() and result.maxiter == 3 * N
    # One problem (m,), from a start at the solution.
    one = tdask.nnls(da.from_array(a, chunks=ROWS), b[:, 0], x0=exact.x[:, 0]).compute()
    first = tovrin.nnls(a, b[:, 0])
    assert type(one.rnorm) is float and one.status is tovrin.Status.SOLVED
    assert one.x.shape == (N,) and relative(one.x, first.x) <= 1e-10


CHUNKINGS = [((M, N), (M, K)), ((ROWS, 5), (1000, 2)), (((1, 1998, 1001), N), "numpy")]


@pytest.mark.parametrize("a_chunks, b_chunks", CHUNKINGS)
def test_every_row_chunking_gives_the_same_result(threads, problem, a_chunks, b_chunks):
    a, b = problem
    reference = tdask.nnls(da.from_array(a, chunks=ROWS), b).compute()
    rhs = b if b_chunks == "numpy" else da.from_array(b, chunks=b_chunks)
    result = tdask.nnls(da.from_array(a, chunks=a_chunks), rhs).compute()
    assert relative(result.x, reference.x) <= 1e-13
    assert (result.status == reference.status).all()


def test_bad_arguments_raise_before_any_pass(threads, problem):
    a, b = problem
    lazy_a = da.from_array(a, chunks=ROWS).map_blocks(never_run, meta=np.empty((0, 0)))
    unknown = da.from_array(a, chunks=ROWS)[da.from_array(np.ones(M, dtype=bool), chunks=ROWS)]
    bad_calls = [
        (ValueError, _texts.B_ROWS.format(rows=M - 1, m=M), lazy_a, b[1:], {}),
        (TypeError, _texts.NOT_REAL.format(name="A", dtype="complex128"), lazy_a * 1j, b, {}),
        (TypeError, _texts.NOT_REAL.format(name="B", dtype="bool"), lazy_a, b > 0, {}),
        (ValueError, _texts.MATRIX_RANK.format(shape=(M,)), lazy_a[:, 0], b, {}),
        (ValueError, _texts.TALL_B_RANK.format(shape=(M, K, 1)), lazy_a, b[..., None], {}),
        (ValueError, _texts.A_ROWS_UNKNOWN, unknown, b, {}),
        (ValueError, _texts.EXACT_NEEDS_A, lazy_a, b, {"method": "exact"}),
        (ValueError, _texts.METHOD.format(value="fast"), lazy_a, b, {"method": "fast"}),
        (ValueError, _texts.X0_SHAPE.format(want=(N, K), against="A and b", shape=(N, 2)), lazy_a, b,
         {"x0": np.ones((N, 2))}),
        (ValueError, _texts.NOT_FINITE.format(name="x0"), lazy_a, b,
         {"x0": np.full(N, np.nan)}),
        (ValueError, None, lazy_a, b, {"maxiter": 0}),
        (TypeError, None, lazy_a, b, {"threads": 1.5}),
        (ValueError, _texts.X0_NEEDS_DASK_A, a, da.from_array(b), {"x0": np.ones(N)}),
    ]
    for error, text, a_arg, b_arg, options in bad_calls:
        with pytest.raises(error) as caught:
            tdask.nnls(a_arg, b_arg, **options)
        assert text is None or str(caught.value) == text


@pytest.mark.parametrize("name, row", [("A", 1500), ("B", M - 1)])
def test_nan_names_the_argument_and_its_row_block(threads, problem, name, row):
    a, b = (array.copy() for array in problem)
    (a if name == "A" else b)[row, 1] = np.nan
    with pytest.raises(ValueError) as caught:
        tdask.nnls(da.from_array(a, chunks=ROWS), b)
    start = row // ROWS * ROWS
    assert str(caught.value) == _texts.NOT_FINITE_ROWS.format(
        name=name, start=start, stop=min(start + ROWS, M))
    # Unchecked, the problems it touches are NOT_FINITE, the others solved.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tovrin.NonFiniteResultWarning)
        result = tdask.nnls(da.from_array(a, chunks=ROWS), b, check_finite=False).compute()
        expected = tovrin.nnls(a, b, method="gram", check_finite=False)
    assert (result.status == expected.status).all()
    assert result.status[0] == (tovrin.Status.NOT_FINITE if name == "A" else tovrin.Status.SOLVED)


@pytest.mark.parametrize("method", ["gram", "auto"])
@pytest.mark.parametrize("shape", [(M, 0, K), (M, N, 0), (0, N, K), (M, 0, None)])
def test_empty_dimensions_give_what_tovrin_nnls_gives(threads, problem, method, shape):
    m, n, k = shape
    a = problem[0][:m, :n]
    b = problem[1][:m, 0] if k is None else problem[1][:m, :k]
    result = tdask.nnls(da.from_array(a, chunks=ROWS), da.from_array(b, chunks=ROWS),
                        method=method).compute()
    expected = tovrin.nnls(a, b, method=method)
    for name in tdask.FIELDS:
        got, want = getattr(result, name), getattr(expected, name)
        assert np.shape(got) == np.shape(want) and np.allclose(got, want, rtol=1e-15), name
    assert result.method == expected.method


def test_columns_far_outside_the_safe_range_are_scaled(threads):
    rng = np.random.default_rng(5)
    a = rng.standard_normal((2000, 5)) * np.array([1e200, 1e-200, 1.0, 3e-170, 1e-3])
    b = a @ np.array([1e-200, 1e200, 1.0, 0.0, 2e3]) + 0.1 * rng.standard_normal(2000)
    result = tdask.nnls(da.from_array(a, chunks=(ROWS, 2)), b).compute()
    exact = tovrin.nnls(a, b)
    assert result.status is tovrin.Status.SOLVED
    np.testing.assert_allclose(result.x, exact.x, rtol=1e-10)
    assert abs(result.rnorm - exact.rnorm) <= 1e-12 * exact.rnorm


def blur(m, n):
    """Rows of a Gaussian blur (cond(A) about 1e16) and b = A x + noise for
    two dense x: the solution set is too ill-conditioned for the Gram form."""
    rng = np.random.default_rng(8)
    t = np.linspace(0.0, 1.0, m)[:, None]
    a = np.exp(-0.5 * ((t - np.linspace(0.0, 1.0, n)[None, :]) / 0.05) ** 2)
    return a, a @ (1.0 + rng.random((n, 2))) + 1e-3 * rng.standard_normal((m, 2))


def test_an_ill_conditioned_a_is_flagged_and_auto_solves_it_exactly(threads, monkeypatch):
    a, b = blur(600, 60)
    tall = da.from_array(a, chunks=200)
    with pytest.warns(tovrin.GramAccuracyWarning) as caught:
        gram = tdask.nnls(tall, b).compute()
    assert (gram.status == tovrin.Status.GRAM_INACCURATE).all()
    # (Older Dask warns of the threaded scheduler beside a live client too.)
    (ours,) = [w for w in caught if w.category is tovrin.GramAccuracyWarning]
    assert str(ours.message) == _texts.TALL_INACCURATE_MANY.format(count=2, total=2)
    assert ours.filename == __file__
    exact = tovrin.nnls(a, b)
    assert relative(gram.x, exact.x) > 1e-8
    auto = tdask.nnls(tall, b, method="auto").compute()
    assert auto.method == "gram+exact" and (auto.x == exact.x).all()
    assert (auto.status == exact.status).all()
    monkeypatch.setattr(tdask, "_available_memory", lambda: 10 ** 3)
    with pytest.warns(tovrin.GramAccuracyWarning, match="does not fit in memory"):
        kept = tdask.nnls(tall, b, method="auto").compute()
    assert kept.method == "gram" and (kept.status == tovrin.Status.GRAM_INACCURATE).all()


def test_the_certificate_refines_a_near_solution_and_flags_a_wrong_set(problem):
    a, b = problem
    exact = tovrin.nnls(a, b)
    status = np.full(K, int(tovrin.Status.SOLVED))

    def verdict(x, passive):
        r = b - a @ x
        return _solver.gram_certify(a.T @ a, a.T @ b, (b * b).sum(axis=0), x, passive, status,
                                    M, (r * r).sum(axis=0), a.T @ r)

    x, checked, rnorm, dual = verdict(exact.x, exact.passive)
    assert (checked == tovrin.Status.SOLVED).all()
    np.testing.assert_allclose(rnorm, exact.rnorm, rtol=1e-13)
    # Off by 1e-6 on its free set: one step with the residual mends it.
    off = exact.x * (1.0 + 1e-6 * np.arange(N)[:, None])
    x, checked, _, _ = verdict(off, exact.passive)
    assert (checked == tovrin.Status.SOLVED).all() and relative(x, exact.x) <= 1e-12
    # A variable of the solution held at zero: its dual says it should enter.
    wrong = exact.x.copy()
    held = np.argmax(exact.x, axis=0)
    wrong[held, np.arange(K)] = 0.0
    assert (verdict(wrong, wrong > 0)[1] == tovrin.Status.GRAM_INACCURATE).all()


def test_a_killed_worker_during_the_first_pass_changes_nothing(client, problem):
    a, b = problem
    expected = tdask.nnls(da.from_array(a, chunks=(SLOW_ROWS, -1)), b).compute()
    slow_a = da.from_array(a, chunks=(SLOW_ROWS, -1)).map_blocks(slowly, meta=np.empty((0, 0)))
    with distributed.get_task_stream(client) as stream, \
            concurrent.futures.ThreadPoolExecutor(1) as pool:
        call = pool.submit(tdask.nnls, slow_a, b)
        holder, deadline = None, time.monotonic() + KILL_DEADLINE
        while holder is None and time.monotonic() < deadline:
            time.sleep(0.01)
            holder = client.run_on_scheduler(worker_holding_block_sums)
        assert holder is not None, "no block of the first pass was done in time"
        os.kill(client.run(os.getpid, workers=[holder])[holder], signal.SIGKILL)
        result = call.result().compute()
    assert relative(result.x, expected.x) <= 1e-13
    assert (result.status == expected.status).all()
    firsts = [t["key"] for t in stream.data if is_block_sums(t["key"])]
    assert len(firsts) > len(set(firsts))


def is_block_sums(key):
    """A block's task of the first pass (Dask may fuse it with the tasks that
    make the block, and prefix their names)."""
    return isinstance(key, tuple) and "tovrin-gram-sums" in key[0]


def worker_holding_block_sums(dask_scheduler):
    """A worker that holds a block's sums that a waiting task still needs."""
    for key, task in dask_scheduler.tasks.items():
        if (is_block_sums(key) and task.state == "memory" and
                any(dependent.state != "memory" for dependent in task.dependents)):
            return next(iter(task.who_has)).address
    return None


def test_the_example_solves_a_small_tall_problem(tmp_path):
    pytest.importorskip("matplotlib", reason="the example draws its figure with matplotlib")
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples",
                           "huge_regression.py")
    png = tmp_path / "fit.png"
    out = subprocess.run([sys.executable, example, "--rows", "20000", "--columns", "20",
                          "--block-rows", "4000", "--png", str(png)],
                         capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "status SOLVED" in out.stdout and png.stat().st_size > 0
