"""tovrin.dask on a real LocalCluster (the fixture client of conftest.py)."""
import os
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

distributed = pytest.importorskip(
    "distributed", reason="tovrin.dask needs dask[array,distributed]: "
                          "pip install .[dask]")
import cloudpickle  # noqa: E402  (installed with distributed)
import dask  # noqa: E402
import dask.array as da  # noqa: E402
from dask.core import get_dependencies  # noqa: E402

import tovrin  # noqa: E402
import tovrin.dask as tdask  # noqa: E402
from tovrin._texts import LIMIT_MANY  # noqa: E402

# The workers cannot import this file: send its functions by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

M, N, K = 12, 5, 61
SECONDS_PER_SLOW_BLOCK = 0.1
KILL_DEADLINE = 60.0  # seconds to wait for a first solved block


@pytest.fixture(scope="module")
def problem():
    rng = np.random.default_rng(12)
    A = rng.standard_normal((M, N))
    B = A @ np.abs(rng.standard_normal((N, K))) + rng.standard_normal((M, K))
    return A, B


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def assert_fields_identical(result, expected):
    for name in tdask.FIELDS:
        assert same_bits(getattr(result, name), getattr(expected, name)), name


def never_run(block):
    raise AssertionError("a block of B was computed while building the graph")


def slowly(block):
    time.sleep(SECONDS_PER_SLOW_BLOCK)
    return block


@pytest.mark.parametrize("chunks", [(M, 8), (5, 16), (M, K), (M, (20, 0, 1, 40))])
# maxiter=4 stops about half of the problems on the limit.
@pytest.mark.parametrize("maxiter", [None, 4])
def test_every_field_matches_the_in_memory_batch_bit_for_bit(client, problem, chunks, maxiter):
    A, B = problem
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", tovrin.IterationLimitWarning)
        expected = tovrin.nnls(A, B, maxiter=maxiter)
        result = tdask.nnls(A, da.from_array(B, chunks=chunks), maxiter=maxiter).compute()
    assert_fields_identical(result, expected)
    assert result.method == expected.method


def test_auto_decides_once_for_all_the_problems(client):
    # 200 x 5 with 10^4 problems takes the Gram method; a block of 2500 of
    # them alone would not.
    rng = np.random.default_rng(5)
    A = rng.standard_normal((200, 5))
    B = A @ np.abs(rng.standard_normal((5, 10_000))) + rng.standard_normal((200, 10_000))
    expected = tovrin.nnls(A, B, method="auto")
    lazy = tdask.nnls(A, da.from_array(B, chunks=(200, 2500)), method="auto")
    assert lazy.method == expected.method == "gram" and lazy.maxiter == 30
    assert_fields_identical(lazy.compute(), expected)


def test_fields_share_one_solve_per_block_and_one_copy_of_a(client, problem):
    A, B = problem
    result = tdask.nnls(A, da.from_array(B, chunks=(M, 10)), threads=1)
    graph = dict(result.x.__dask_graph__())
    # A graph node is a task object in newer Dask and the bare value in older.
    values = {key: getattr(node, "value", node) for key, node in graph.items()}
    copies = [key for key, value in values.items()
              if isinstance(value, np.ndarray) and same_bits(value, A)]
    solves = [key for key in graph if is_solve(key, result)]
    assert len(copies) == 1 and len(solves) == result.x.numblocks[1]
    assert all(copies[0] in get_dependencies(graph, key) for key in solves)
    with distributed.get_task_stream(client) as stream:
        values = dask.compute(*result.fields())
    solved = [t["key"] for t in stream.data if is_solve(t["key"], result)]
    assert len(solved) == len(set(solved)) == result.x.numblocks[1]
    assert_fields_identical(tovrin.NNLSResult(**dict(zip(tdask.FIELDS, values)), method="exact"),
                            tovrin.nnls(A, B))


def test_nothing_is_solved_before_compute_and_bad_inputs_raise_first(problem):
    A, B = problem
    lazy_b = da.from_array(B, chunks=(M, 10)).map_blocks(never_run, meta=np.empty((0, 0)))
    tdask.nnls(A, lazy_b)
    bad_calls = [
        (TypeError, tdask.B_NOT_DASK.format(kind="ndarray"), A, B, {}),
        (ValueError, tdask.B_NOT_2D.format(ndim=3), A, lazy_b[..., None], {}),
        (ValueError, tdask.B_ROWS.format(rows=M - 1, m=M), A, lazy_b[1:], {}),
        (TypeError, tdask.NOT_REAL.format(name="B", dtype="complex128"), A, lazy_b * 1j, {}),
        (ValueError, "A must be 2-dimensional, got shape (12,)", A[:, 0], lazy_b, {}),
        (ValueError, None, np.where(A > 1, np.nan, A), lazy_b, {}),
        (ValueError, None, A, lazy_b, {"maxiter": 0}),
    ]
    for error, text, a, b, options in bad_calls:
        with pytest.raises(error) as caught:
            tdask.nnls(a, b, **options)
        assert text is None or str(caught.value) == text


def test_iteration_limit_gives_one_aggregated_warning(client, problem):
    A, B = problem
    result = tdask.nnls(A, da.from_array(B, chunks=(M, 10)), maxiter=4)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        status = result.status.compute()
        assert not caught
        result.compute()
    count = int(np.count_nonzero(status == tovrin.Status.ITERATION_LIMIT))
    assert 0 < count < K
    assert [str(w.message) for w in caught] == [
        LIMIT_MANY.format(count=count, total=K, maxiter=4)]
    assert caught[0].category is tovrin.IterationLimitWarning
    assert caught[0].filename == __file__


def test_a_killed_worker_costs_a_rerun_not_the_result(client, problem):
    A, B = problem
    slow_b = da.from_array(B, chunks=(M, 4)).map_blocks(slowly, meta=np.empty((0, 0)))
    result = tdask.nnls(A, slow_b, threads=1)
    with distributed.get_task_stream(client) as stream:
        futures = client.compute(list(result.fields()))
        holder, deadline = None, time.monotonic() + KILL_DEADLINE
        while holder is None and time.monotonic() < deadline:
            time.sleep(0.01)
            holder = client.run_on_scheduler(worker_holding_a_solved_block,
                                             name=result.records.name)
        assert holder is not None, "no block was solved in time"
        os.kill(client.run(os.getpid, workers=[holder])[holder], signal.SIGKILL)
        values = dict(zip(tdask.FIELDS, client.gather(futures)))
    assert_fields_identical(tovrin.NNLSResult(**values, method="exact"),
                            tovrin.nnls(A, B))
    solved = [t["key"] for t in stream.data if is_solve(t["key"], result)]
    assert len(solved) > len(set(solved)) == result.x.numblocks[1]


def is_solve(key, result):
    """A block solve of this result's graph (the cluster may still hold or
    report tasks of earlier tests' graphs)."""
    return isinstance(key, tuple) and key[0] == result.records.name


def worker_holding_a_solved_block(dask_scheduler, name):
    for key, task in dask_scheduler.tasks.items():
        if isinstance(key, tuple) and key[0] == name and task.state == "memory":
            return next(iter(task.who_has)).address
    return None


def test_importing_tovrin_imports_no_dask(tmp_path):
    code = "import sys, tovrin; print(any(m.split('.')[0] in ('dask', 'distributed') for m in sys.modules))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert out.stdout.strip() == "False", out.stderr


def test_the_example_unmixes_a_small_cube(tmp_path):
    pytest.importorskip("matplotlib", reason="the example draws its maps with matplotlib")
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "unmix_cube.py")
    png = tmp_path / "maps.png"
    out = subprocess.run([sys.executable, example, "--size", "32", "--png", str(png)],
                         capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert "1024 of 1024 solved" in out.stdout and png.stat().st_size > 0
