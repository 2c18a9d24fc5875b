"""Benchmark of the public package tovrin against the low-level module __tovrin.

Two cases, each timed side by side in one process, the contenders taking
turns so that the load of a shared machine falls on all of them alike:

- tiny: a whole call on a 5x3 problem, tovrin.nnls(A, b) against
  __tovrin.nnls with its work arrays made beforehand;
- batch: k problems of 200x20 sharing A, tovrin.nnls(A, B) with threads=1
  and threads=2, against a Python loop calling __tovrin.nnls on each column
  (A already in column-major order, work arrays made once).

Every batch run is checked to give the loop's results bit for bit.  Times are
medians over the repetitions; the ratios are of those medians.  Results go
to bench/out/ (not tracked) unless --update writes bench/package_results.md
and .json.

    python3 bench/bench_package.py [--k 100000] [--repeat 5] [--update]
"""
import argparse
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# Never import the source folder tovrin/ beside bench/ instead of the
# installed package.
sys.path[:] = [p for p in sys.path if Path(p or os.curdir).resolve() != HERE.parent]

import __tovrin  # noqa: E402
import tovrin  # noqa: E402

SEED = 20260
TINY_SHAPE = (5, 3)
BATCH_SHAPE = (200, 20)


def problem(rng, m, n, k=None):
    """Gaussian A, b = A x_true + noise with x_true >= 0 about half zero."""
    a = rng.standard_normal((m, n))
    shape = (n,) if k is None else (n, k)
    x_true = np.abs(rng.standard_normal(shape)) * (rng.random(shape) < 0.5)
    return a, a @ x_true + 0.1 * rng.standard_normal((m,) if k is None else (m, k))


def low_level_call(a, b):
    """A whole __tovrin.nnls call on (a, b), its work arrays made once."""
    m, n = a.shape
    w, zz, index = np.zeros(n), np.zeros(m), np.zeros(n, dtype=np.int32)
    return lambda: __tovrin.nnls(a, m, n, b, w, zz, index, -1)


def per_call_seconds(call, calls):
    start = time.perf_counter()
    for _ in range(calls):
        call()
    return (time.perf_counter() - start) / calls


def bench_tiny(repeat, rng):
    a, b = problem(rng, *TINY_SHAPE)
    contenders = {"tovrin.nnls": lambda: tovrin.nnls(a, b), "__tovrin.nnls": low_level_call(a, b)}
    calls = 20000
    times = {name: [] for name in contenders}
    for r in range(repeat):
        for name, call in contenders.items():
            times[name].append(per_call_seconds(call, calls))
        print(f"  tiny {r + 1}/{repeat}: " + ", ".join(
            f"{name} {t[-1] * 1e6:.2f} us" for name, t in times.items()), flush=True)
    med = {name: statistics.median(t) for name, t in times.items()}
    return {"shape": list(TINY_SHAPE), "calls_per_repeat": calls, "median_s": med,
            "ratio_package_over_low_level": med["tovrin.nnls"] / med["__tovrin.nnls"]}


def python_loop(a, b):
    """Solutions of every column of b by __tovrin.nnls, one call each."""
    m, n = a.shape
    af = np.asfortranarray(a)
    w, zz, index = np.zeros(n), np.zeros(m), np.zeros(n, dtype=np.int32)
    x = np.empty((n, b.shape[1]))
    rnorm = np.empty(b.shape[1])
    for j in range(b.shape[1]):
        x[:, j], rnorm[j], _ = __tovrin.nnls(af, m, n, b[:, j], w, zz, index, -1)
    return x, rnorm


def bench_batch(k, repeat, rng):
    a, b = problem(rng, *BATCH_SHAPE, k=k)
    x_loop, rnorm_loop = python_loop(a, b)
    contenders = {
        "threads=1": lambda: tovrin.nnls(a, b, threads=1),
        "threads=2": lambda: tovrin.nnls(a, b, threads=2),
        "__tovrin loop": lambda: python_loop(a, b),
    }
    times = {name: [] for name in contenders}
    identical = True
    for r in range(repeat):
        for name, call in contenders.items():
            start = time.perf_counter()
            out = call()
            times[name].append(time.perf_counter() - start)
            x, rnorm = (out.x, out.rnorm) if isinstance(out, tovrin.NNLSResult) else out
            identical &= x.tobytes() == x_loop.tobytes() and rnorm.tobytes() == rnorm_loop.tobytes()
        print(f"  batch {r + 1}/{repeat}: " + ", ".join(
            f"{name} {t[-1]:.3f} s" for name, t in times.items()), flush=True)
    med = {name: statistics.median(t) for name, t in times.items()}
    return {"shape": list(BATCH_SHAPE), "k": k, "median_s": med,
            "ratio_2_over_1_threads": med["threads=2"] / med["threads=1"],
            "speedup_2_threads_over_loop": med["__tovrin loop"] / med["threads=2"],
            "speedup_1_thread_over_loop": med["__tovrin loop"] / med["threads=1"],
            "bit_identical_to_loop": identical}


def markdown(results):
    tiny, batch = results["tiny"], results["batch"]
    t, b = tiny["median_s"], batch["median_s"]
    return "\n".join([
        "# Package benchmark",
        "",
        f"`python3 bench/bench_package.py --k {batch['k']} --repeat {results['repeat']}`; "
        f"{results['machine']}, load average {results['load']} at the start. "
        "Medians over the repetitions, contenders alternating; ratios of medians.",
        "",
        "| case | time | ratio |",
        "|---|---|---|",
        f"| 5x3 whole call, tovrin.nnls | {t['tovrin.nnls'] * 1e6:.2f} µs | "
        f"{tiny['ratio_package_over_low_level']:.2f}x __tovrin.nnls |",
        f"| 5x3 whole call, __tovrin.nnls | {t['__tovrin.nnls'] * 1e6:.2f} µs | |",
        f"| k={batch['k']} of 200x20, threads=1 | {b['threads=1']:.3f} s | "
        f"{batch['speedup_1_thread_over_loop']:.2f}x faster than the loop |",
        f"| k={batch['k']} of 200x20, threads=2 | {b['threads=2']:.3f} s | "
        f"{batch['ratio_2_over_1_threads']:.2f}x the time of threads=1, "
        f"{batch['speedup_2_threads_over_loop']:.2f}x faster than the loop |",
        f"| k={batch['k']} of 200x20, Python loop over __tovrin.nnls | {b['__tovrin loop']:.3f} s | |",
        "",
        f"Batch results bit-identical to the loop's: {'yes' if batch['bit_identical_to_loop'] else 'NO'}.",
        "",
    ])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--k", type=int, default=100_000, help="problems in the batch case")
    parser.add_argument("--repeat", type=int, default=5, help="repetitions of each case")
    parser.add_argument("--update", action="store_true",
                        help="write the tracked bench/package_results.* instead of bench/out/")
    args = parser.parse_args()

    rng = np.random.default_rng(SEED)
    load = ", ".join(f"{v:.1f}" for v in os.getloadavg()) if hasattr(os, "getloadavg") else "?"
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    results = {"machine": f"{cores} cores, {platform.machine()}, Python {platform.python_version()}, "
                          f"NumPy {np.__version__}",
               "load": load, "repeat": args.repeat}
    print(f"tiny case {TINY_SHAPE}, {args.repeat} repetitions", flush=True)
    results["tiny"] = bench_tiny(args.repeat, rng)
    print(f"batch case k={args.k} of {BATCH_SHAPE}, {args.repeat} repetitions", flush=True)
    results["batch"] = bench_batch(args.k, args.repeat, rng)

    folder = HERE if args.update else HERE / "out"
    folder.mkdir(exist_ok=True)
    (folder / "package_results.json").write_text(json.dumps(results, indent=2) + "\n")
    (folder / "package_results.md").write_text(markdown(results))
    print()
    print(markdown(results))
    print(f"written to {folder / 'package_results.md'} and .json")


if __name__ == "__main__":
    main()
