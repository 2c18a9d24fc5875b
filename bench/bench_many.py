"""Benchmark of the Gram method on many right-hand sides sharing one A.

    python3 bench/bench_many.py [--repeats 5] [--quick] [--update]

Needs the package (pip install .), threadpoolctl and daqp
(bench/install_peers.sh); without daqp its column is left empty.  Three
cases, each k problems b_j = A x_j + noise with x_j >= 0 about half zero,
from fixed seeds:

  * gaussian 200 x 20, k = 10^4;
  * non-negative 200 x 10, k = 10^4 (A = |Gaussian|, like the spectra of
    a linear unmixing problem);
  * gaussian 400 x 100, k = 2000.

Contenders, timed side by side in turns, `--repeats` times, medians
compared:

  * exact: tovrin.nnls(A, B) on every core;
  * gram: tovrin.nnls(A, B, method="gram") on every core, and with
    threads=1 (everything included: scaling, the Gram product, the checks);
  * one at a time: the Gram method's active-set solver per problem (the
    path taken before block pivoting), on every core;
  * daqp loop: G = A'A and A'B formed once, then daqp on each problem of
    the Gram form in a Python loop (one thread).

The one-thread contenders (gram with threads=1, the daqp loop, both with
NumPy's BLAS on one thread) are also compared by CPU time, which a busy
machine disturbs less than wall time.  Also reported: the largest relative difference of x from the exact method,
the statuses, and whether x is the same bits for threads=1 and every core.
Results go to build/bench-many/results_many.md unless --update writes
bench/results_many.md (tracked).  Never part of the tests.
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import time
import warnings

import numpy as np
from threadpoolctl import threadpool_limits

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
UNTRACKED = ROOT / "build" / "bench-many"
CASES = (("gaussian", 200, 20, 10_000), ("non-negative", 200, 10, 10_000),
         ("gaussian", 400, 100, 2_000))
# Targets: exact / gram on every core, daqp loop / gram with threads=1.
TARGET_EXACT = {20: 10.0, 10: 5.0, 100: 10.0}
TARGET_DAQP = 5.0
# daqp's settings: no general constraints, x >= 0 through its bounds (an
# upper bound of 1e30 counts as none).
DAQP_INFINITY = 1e30


def make_case(family, m, n, k, seed):
    """A (m, n) and B (m, k) = A X + 0.01 noise, X >= 0 about half zero."""
    rng = np.random.default_rng(seed)
    a = rng.standard_normal((m, n))
    if family == "non-negative":
        a = np.abs(a)
    x = np.abs(rng.standard_normal((n, k)))
    x[rng.random((n, k)) < 0.5] = 0.0
    b = a @ x + 0.01 * rng.standard_normal((m, k))
    return np.asfortranarray(a), np.ascontiguousarray(b)


def daqp_loop():
    """A solver of all k problems by daqp in a Python loop, or None."""
    try:
        import daqp
    except ImportError:
        return None

    def solve(a, b):
        with threadpool_limits(1, user_api="blas"):  # one thread throughout
            g = a.T @ a
            c = a.T @ b
        n, k = c.shape
        x = np.empty((n, k))
        empty = np.zeros((0, n))
        upper, lower = np.full(n, DAQP_INFINITY), np.zeros(n)
        sense = np.zeros(n, dtype=np.int32)
        for j in range(k):
            x[:, j] = daqp.solve(g, -c[:, j], empty, upper, lower, sense)[0]
        return x
    return solve


def contenders(tovrin, one_at_a_time):
    rows = {
        "exact": lambda a, b: tovrin.nnls(a, b).x,
        "gram": lambda a, b: tovrin.nnls(a, b, method="gram").x,
        "gram, threads=1": lambda a, b: tovrin.nnls(a, b, method="gram", threads=1).x,
        "one at a time": lambda a, b: one_at_a_time(a, b, 3 * a.shape[1], 2)[0],
    }
    daqp = daqp_loop()
    if daqp is not None:
        rows["daqp loop"] = daqp
    return rows


def measure(case, seed, repeats, tovrin, one_at_a_time):
    family, m, n, k = case
    a, b = make_case(family, m, n, k, seed)
    solvers = contenders(tovrin, one_at_a_time)
    times = {name: [] for name in solvers}
    cpu = {name: [] for name in solvers}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(repeats):
            for name, solve in solvers.items():
                start, start_cpu = time.perf_counter(), time.process_time()
                solve(a, b)
                times[name].append(time.perf_counter() - start)
                cpu[name].append(time.process_time() - start_cpu)
        exact = tovrin.nnls(a, b)
        gram = tovrin.nnls(a, b, method="gram")
        single = tovrin.nnls(a, b, method="gram", threads=1)
    scale = np.maximum(np.max(np.abs(exact.x), axis=0), 1e-300)
    row = {
        "case": f"{family} {m} x {n}, k = {k}",
        "n": n,
        "s": {name: statistics.median(t) for name, t in times.items()},
        "cpu_s": {name: statistics.median(t) for name, t in cpu.items()},
        "agreement": float(np.max(np.max(np.abs(gram.x - exact.x), axis=0) / scale)),
        "statuses": {int(code): int(count) for code, count in
                     zip(*np.unique(gram.status, return_counts=True))},
        "same_bits": bool(np.array_equal(gram.x, single.x) and
                          np.array_equal(gram.status, single.status)),
        "rounds": float(np.mean(gram.iterations)),
    }
    if "daqp loop" in solvers:
        x = solvers["daqp loop"](a, b)
        row["daqp_agreement"] = float(np.max(np.max(np.abs(x - exact.x), axis=0) / scale))
    return row


def verdict(ratio, target):
    return f"{ratio:.2f} (target {target:g}: {'met' if ratio >= target else 'missed'})"


def report(rows, repeats):
    load = os.getloadavg()
    cpu = os.cpu_count()
    commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    lines = [
        "# Many right-hand sides: the Gram method's block pivoting",
        "",
        f"`python3 bench/bench_many.py --repeats {repeats}` at commit {commit}, "
        f"{cpu} cores, load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at the end "
        "(a shared machine: figures are noisy).  Medians of wall time in ms; "
        "ratios from this one run.",
        "",
        "| case | exact | gram | gram, threads=1 | one at a time | daqp loop |"
        " exact / gram | daqp / gram (1 thread) | the same, CPU time |",
        "| --- | --- | --- | --- | --- | --- | --- | --- | --- |",
    ]
    for row in rows:
        s = row["s"]
        ms = {name: f"{1e3 * t:.1f}" for name, t in s.items()}
        exact_ratio = verdict(s["exact"] / s["gram"], TARGET_EXACT[row["n"]])
        cpu = row["cpu_s"]
        daqp_ratio = (verdict(s["daqp loop"] / s["gram, threads=1"], TARGET_DAQP)
                      if "daqp loop" in s else "-")
        daqp_cpu = (verdict(cpu["daqp loop"] / cpu["gram, threads=1"], TARGET_DAQP)
                    if "daqp loop" in s else "-")
        lines.append(f"| {row['case']} | {ms['exact']} | {ms['gram']} | "
                     f"{ms['gram, threads=1']} | {ms['one at a time']} | "
                     f"{ms.get('daqp loop', '-')} | {exact_ratio} | {daqp_ratio} | {daqp_cpu} |")
    lines += ["", "| case | rounds (mean) | max rel. diff. of x from exact | statuses | "
              "same bits for threads=1 and all | daqp's max rel. diff. |",
              "| --- | --- | --- | --- | --- | --- |"]
    for row in rows:
        daqp = f"{row['daqp_agreement']:.1e}" if "daqp_agreement" in row else "-"
        lines.append(f"| {row['case']} | {row['rounds']:.2f} | {row['agreement']:.1e} | "
                     f"{row['statuses']} | {row['same_bits']} | {daqp} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="a tenth of the problems")
    parser.add_argument("--update", action="store_true",
                        help="write bench/results_many.md (tracked)")
    args = parser.parse_args()
    import tovrin
    from tovrin._gram_method import solve_matrix_each
    rows = []
    for seed, case in enumerate(CASES):
        if args.quick:
            case = case[:3] + (case[3] // 10,)
        rows.append(measure(case, seed, args.repeats, tovrin, solve_matrix_each))
        print(rows[-1], flush=True)
    text = report(rows, args.repeats)
    out = HERE if args.update else UNTRACKED
    out.mkdir(parents=True, exist_ok=True)
    (out / "results_many.md").write_text(text)
    print(text)
    print(f"written to {out / 'results_many.md'}")


if __name__ == "__main__":
    main()
