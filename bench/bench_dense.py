"""Benchmark of the dense kernels of the Gram method against NumPy.

    python3 bench/bench_dense.py [--repeats 7] [--threads 1,2] [--only NAME,...]
                                 [--small] [--min-ms 100] [--settle-ms 200] [--update]

Builds the C interface bench/dense_bench.cpp (CMake, -DTOVRIN_BUILD_BENCH=ON,
in build/bench) unless it is there, loads it with ctypes and times each
kernel beside NumPy in this one process, the contenders in turns,
`--repeats` times, comparing medians.  NumPy's BLAS is limited to the same
thread count with threadpoolctl; each of our calls makes its team of
threads and its workspace, as a solver call does.  A call whose time is
short is repeated within one timing so that each timing lasts at least
--min-ms: NumPy's calls in a Python loop, ours inside the C interface (so
that ctypes' conversion of arguments, a few microseconds, is not counted);
an operand that a kernel overwrites is restored from a copy before each of
our calls, inside the timing, as NumPy copies its input.  Each timing starts
after --settle-ms of sleep, so that OpenBLAS's threads, which spin for about
0.1 s after each of NumPy's calls, do not take a core from the next
contender, and only once the machine was 90 % idle over that sleep (other
processes would take a core from either contender; a timing that waited
20 s in vain is counted as ungated in the results), then after 0.1 s of
untimed calls of the same contender (on this virtual machine an idle
processor takes some 60 ms of work to reach its speed: both contenders are
timed in that steady state).  The least times are
recorded beside the medians.

Cases (flop counts used for GFLOP/s in brackets):
  * cholesky n = 1000, 2000, 4000 [n^3/3] against numpy.linalg.cholesky;
  * the Gram product A'A of 2000x1000, 4000x2000, 2000x2000 in C and
    Fortran order [m n^2, the symmetric work] against A.T @ A;
  * gemm 2000^3 [2 m n k] against A @ B;
  * the cross product X'B of X 2000x1000, B 2000x1000 and of X 200x20,
    B 200x10^4, C order [2 m n k], against X.T @ B;
  * L^-1 B and L^-T B, n = 2000, k = 1000 [n^2 k], and the staircase L^-1 E_H
    for 1000 sorted h [sum (n - h)^2]: NumPy has no triangular solve, so the
    ratio is to our gemm's GFLOP/s;
  * small sizes (--small): n = 5 .. 200 for cholesky, the Gram product of
    2n x n, gemm n^3, and the vector kernels at n = 1000, 4000.
Results go to build/bench-dense/ (results_dense.md and .json) unless --update
writes bench/results_dense.* (tracked).  Never part of the tests.
"""
import argparse
import ctypes
import json
import math
import os
import pathlib
import platform
import statistics
import subprocess
import time

import numpy as np
from threadpoolctl import threadpool_limits

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
BUILD = ROOT / "build" / "bench"
LIBRARY = BUILD / "bench" / "libtovrin_dense_bench.so"
UNTRACKED = ROOT / "build" / "bench-dense"
PATHS = ("portable", "avx2", "avx512")

I64 = ctypes.c_int64
INT = ctypes.c_int
DBL = ctypes.c_double
PTR = ctypes.c_void_p


def build_library():
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release",
                    "-DTOVRIN_BUILD_BENCH=ON", "-DTOVRIN_BUILD_TESTS=OFF"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "-j", "2", "--target", "tovrin_dense_bench"],
                   check=True, stdout=subprocess.DEVNULL)


def load_library():
    if not LIBRARY.exists():
        build_library()
    lib = ctypes.CDLL(str(LIBRARY))
    signatures = {
        "tovrin_bench_active_path": [],
        "tovrin_bench_gemm": [INT, INT, INT, I64, I64, I64, DBL, PTR, I64, PTR, I64, DBL, PTR, I64],
        "tovrin_bench_gram": [INT, INT, I64, I64, PTR, I64, PTR, I64],
        "tovrin_bench_cross": [INT, INT, I64, I64, PTR, I64, INT, I64, PTR, I64, PTR, I64],
        "tovrin_bench_cholesky": [INT, I64, PTR, PTR, I64, DBL],
        "tovrin_bench_solve": [INT, INT, I64, I64, PTR, I64, PTR, PTR, I64],
        "tovrin_bench_staircase": [INT, I64, I64, PTR, I64, PTR, PTR, I64, PTR],
        "tovrin_bench_gemv": [INT, INT, I64, I64, DBL, PTR, I64, PTR, DBL, PTR],
        "tovrin_bench_solve_vector": [INT, INT, I64, PTR, I64, PTR, PTR],
    }
    for name, args in signatures.items():
        fn = getattr(lib, name)
        fn.argtypes = args
        fn.restype = INT if name == "tovrin_bench_active_path" else I64
    lib.tovrin_bench_set_repeats.argtypes = [INT]
    lib.tovrin_bench_set_repeats.restype = None
    return lib


def p(a):
    return a.ctypes.data


def checked(result):
    if result < 0:
        raise RuntimeError("a dense kernel refused its arguments")
    return result


def seconds(contender, count):
    start = time.perf_counter()
    contender(count)
    return (time.perf_counter() - start) / count


# A timing starts once the machine was at least this idle over a settling
# sleep, waiting at most QUIET_WAIT seconds for it, then after WARM_SECONDS
# of untimed calls of the same contender: on this virtual machine a
# processor that was idle takes some 60 ms of work to reach its speed.
WARM_SECONDS = 0.1
QUIET_IDLE = 0.9
QUIET_WAIT = 20.0
ungated = 0  # timings that started on a busy machine


def cpu_ticks():
    """(idle, total) jiffies of all processors, or None off Linux."""
    try:
        with open("/proc/stat") as stat:
            fields = [int(x) for x in stat.readline().split()[1:]]
    except OSError:
        return None
    return fields[3] + fields[4], sum(fields)


def settle(seconds_):
    """Sleeps `seconds_`, again until the machine was idle over the sleep."""
    global ungated
    start = time.perf_counter()
    while True:
        before = cpu_ticks()
        time.sleep(seconds_)
        after = cpu_ticks()
        if before is None or after is None:
            return
        total = after[1] - before[1]
        if total <= 0 or (after[0] - before[0]) / total >= QUIET_IDLE:
            return
        if time.perf_counter() - start > QUIET_WAIT:
            ungated += 1
            return


def compare(contenders, repeats, min_seconds, settle_seconds):
    """Median and least seconds per call of each contender, timed in turns.

    A contender is called as contender(count) and makes `count` calls; count
    is chosen once so that a timing lasts at least min_seconds.  Each timing
    starts after settle(settle_seconds) and WARM_SECONDS of untimed calls:
    OpenBLAS's threads spin for about 0.1 s after each of NumPy's calls and
    would take a core from the next contender, other processes on the
    machine would take one from either, and a processor that was idle runs
    slow for a while."""
    counts = {}
    for name, contender in contenders.items():
        once = seconds(contender, 1)  # also warms pages, caches, threads
        counts[name] = max(1, math.ceil(min_seconds / max(once, 1e-9)))
    times = {name: [] for name in contenders}
    for _ in range(repeats):
        for name, contender in contenders.items():
            settle(settle_seconds)
            seconds(contender, math.ceil(counts[name] * WARM_SECONDS / min_seconds))  # untimed
            times[name].append(seconds(contender, counts[name]))
    return {name: (statistics.median(t), min(t)) for name, t in times.items()}


def ours(lib, call):
    """A contender running call() with the library repeating each kernel."""
    def contender(count):
        lib.tovrin_bench_set_repeats(count)
        checked(call())
        lib.tovrin_bench_set_repeats(1)
    return contender


def numpy_call(f):
    def contender(count):
        for _ in range(count):
            f()
    return contender


def spd(n, rng):
    b = rng.standard_normal((n, n))
    return b @ b.T / n + np.eye(n)


class Cases:
    def __init__(self, lib, threads, repeats, min_seconds, settle_seconds):
        self.lib, self.t, self.repeats = lib, threads, repeats
        self.min_seconds, self.settle_seconds = min_seconds, settle_seconds
        self.rng = np.random.default_rng(20240611)
        self.rows = []

    def record(self, case, flops, ours, numpy=None, reference_gflops=None):
        """ours, numpy: (median, least) seconds."""
        row = {"case": case, "threads": self.t, "ours_ms": ours[0] * 1e3,
               "ours_gflops": flops / ours[0] / 1e9, "ours_best_ms": ours[1] * 1e3}
        if numpy is not None:
            row.update(numpy_ms=numpy[0] * 1e3, numpy_gflops=flops / numpy[0] / 1e9,
                       numpy_best_ms=numpy[1] * 1e3, speed_ratio=numpy[0] / ours[0],
                       best_speed_ratio=numpy[1] / ours[1])
        if reference_gflops is not None:
            row["of_our_gemm"] = row["ours_gflops"] / reference_gflops
        self.rows.append(row)
        print(format_row(row), flush=True)
        return row

    def run(self, ours_call, numpy_fn=None):
        contenders = {"ours": ours(self.lib, ours_call)}
        if numpy_fn is not None:
            contenders["numpy"] = numpy_call(numpy_fn)
        return compare(contenders, self.repeats, self.min_seconds, self.settle_seconds)

    def cholesky(self, n):
        a = np.asfortranarray(spd(n, self.rng))
        buf = np.empty((n, n), order="F")
        lib, t = self.lib, self.t

        def call():
            return lib.tovrin_bench_cholesky(t, n, p(a), p(buf), n, 0.0)

        checked(call())
        assert np.allclose(np.tril(buf), np.linalg.cholesky(a), atol=1e-10)
        m = self.run(call, lambda: np.linalg.cholesky(a))
        self.record(f"cholesky n={n}", n**3 / 3, m["ours"], m["numpy"])

    def gram(self, m_rows, n, order):
        a = np.asarray(self.rng.standard_normal((m_rows, n)), order=order)
        g = np.empty((n, n), order="F")
        rows = 1 if order == "C" else 0
        ld = n if order == "C" else m_rows
        lib, t = self.lib, self.t

        def call():
            return lib.tovrin_bench_gram(t, rows, m_rows, n, p(a), ld, p(g), n)

        checked(call())
        assert np.allclose(g, a.T @ a, atol=1e-9 * m_rows)
        m = self.run(call, lambda: a.T @ a)
        self.record(f"gram {m_rows}x{n} {order}", m_rows * n * n, m["ours"], m["numpy"])

    def gemm(self, n):
        a = self.rng.standard_normal((n, n))
        b = self.rng.standard_normal((n, n))
        c = np.empty((n, n))
        lib, t = self.lib, self.t

        # C-ordered A, B, C are the column-major A', B', C': C' = B'A'.
        def call():
            return lib.tovrin_bench_gemm(t, 0, 0, n, n, n, 1.0, p(b), n, p(a), n, 0.0, p(c), n)

        checked(call())
        assert np.allclose(c, a @ b, atol=1e-9 * n)
        m = self.run(call, lambda: a @ b)
        return self.record(f"gemm {n}^3", 2.0 * n**3, m["ours"], m["numpy"])

    def cross(self, m_rows, n, k):
        x = self.rng.standard_normal((m_rows, n))
        b = self.rng.standard_normal((m_rows, k))
        c = np.empty((n, k), order="F")
        lib, t = self.lib, self.t

        def call():
            return lib.tovrin_bench_cross(t, 1, m_rows, n, p(x), n, 1, k, p(b), k, p(c), n)

        checked(call())
        assert np.allclose(c, x.T @ b, atol=1e-9 * m_rows)
        m = self.run(call, lambda: x.T @ b)
        self.record(f"cross X'B {m_rows}x{n}, k={k}", 2.0 * m_rows * n * k, m["ours"], m["numpy"])

    def solves(self, n, k, gemm_gflops):
        l = np.tril(self.rng.standard_normal((n, n))) / math.sqrt(n)
        l[np.diag_indices(n)] = 1.5 + 0.5 * self.rng.random(n)
        l = np.asfortranarray(l)
        b = np.asfortranarray(self.rng.standard_normal((n, k)))
        x = np.empty_like(b)
        lib, t = self.lib, self.t
        for transpose in (0, 1):
            def call(transpose=transpose):
                return lib.tovrin_bench_solve(t, transpose, n, k, p(l), n, p(b), p(x), n)

            checked(call())
            lt = l.T if transpose else l
            assert np.allclose(lt @ x, b, atol=1e-8)
            m = self.run(call)
            name = "L^-T B" if transpose else "L^-1 B"
            self.record(f"{name} n={n}, k={k}", float(n) * n * k, m["ours"],
                        reference_gflops=gemm_gflops)
        h = np.sort(self.rng.choice(n, size=k, replace=False)).astype(np.int64)
        e = np.zeros((n, k), order="F")
        e[h, np.arange(k)] = 1.0

        def staircase():
            return lib.tovrin_bench_staircase(t, n, k, p(l), n, p(e), p(x), n, p(h))

        checked(staircase())
        assert np.allclose(l @ x, e, atol=1e-8)
        m = self.run(staircase)
        flops = float(np.sum((n - h).astype(float) ** 2))
        self.record(f"L^-1 E_H staircase n={n}, k={k}", flops, m["ours"],
                    reference_gflops=gemm_gflops)

    def vectors(self, n):
        a = np.asfortranarray(self.rng.standard_normal((n, n)))
        l = np.asfortranarray(np.tril(a) + n * np.eye(n))
        x = self.rng.standard_normal(n)
        y = np.empty(n)
        lib, t = self.lib, self.t
        for transpose in (0, 1):
            def call(transpose=transpose):
                return lib.tovrin_bench_gemv(t, transpose, n, n, 1.0, p(a), n, p(x), 0.0, p(y))

            at = a.T if transpose else a
            m = self.run(call, lambda at=at: at @ x)
            self.record(f"gemv{' transposed' if transpose else ''} n={n}", 2.0 * n * n, m["ours"],
                        m["numpy"])
            z = np.empty(n)

            def solve(transpose=transpose):
                return lib.tovrin_bench_solve_vector(t, transpose, n, p(l), n, p(x), p(z))

            m = self.run(solve)
            self.record(f"L{'^-T' if transpose else '^-1'} x n={n}", float(n) * n, m["ours"])


def format_row(row):
    text = (f"{row['case']:<36} t={row['threads']}  ours {row['ours_ms']:9.3f} ms "
            f"{row['ours_gflops']:7.1f} GF/s")
    if "numpy_ms" in row:
        text += (f"   numpy {row['numpy_ms']:9.3f} ms {row['numpy_gflops']:7.1f} GF/s"
                 f"   speed x{row['speed_ratio']:.2f} (best x{row['best_speed_ratio']:.2f})")
    if "of_our_gemm" in row:
        text += f"   {100 * row['of_our_gemm']:.0f} % of our gemm"
    return text


def write(rows, meta, folder):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "results_dense.json").write_text(json.dumps({"meta": meta, "rows": rows}, indent=1))
    lines = ["# Dense kernels against NumPy", "",
             f"{meta['machine']}; NumPy {meta['numpy']}; path {meta['path']}; "
             f"medians of {meta['repeats']} turns, each timing started on an idle machine "
             f"({meta['ungated']} could not be); load average at the end {meta['load']}.  "
             "speed = NumPy's time / ours (of the medians; best: of the least times).", "",
             "| case | threads | ours ms | ours GFLOP/s | NumPy ms | NumPy GFLOP/s | speed |"
             " best | of our gemm |", "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(
            f"| {r['case']} | {r['threads']} | {r['ours_ms']:.3f} | {r['ours_gflops']:.1f} | "
            + (f"{r['numpy_ms']:.3f} | {r['numpy_gflops']:.1f} | x{r['speed_ratio']:.2f} | "
               f"x{r['best_speed_ratio']:.2f} | " if "numpy_ms" in r else "| | | | ")
            + (f"{100 * r['of_our_gemm']:.0f} % |" if "of_our_gemm" in r else " |"))
    (folder / "results_dense.md").write_text("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--min-ms", type=float, default=100.0)
    parser.add_argument("--settle-ms", type=float, default=200.0,
                        help="sleep before each timing (OpenBLAS's threads stop spinning)")
    parser.add_argument("--only", default="", help="comma-separated: cholesky,gram,gemm,cross,"
                        "solve,small,vector")
    parser.add_argument("--small", action="store_true", help="also the small sizes")
    parser.add_argument("--update", action="store_true", help="write bench/results_dense.*")
    args = parser.parse_args()
    lib = load_library()
    only = set(filter(None, args.only.split(",")))
    want = (lambda name: name in only) if only else (
        lambda name: name not in ("small", "vector") or args.small)
    rows = []
    for threads in [int(t) for t in args.threads.split(",")]:
        with threadpool_limits(limits=threads, user_api="blas"):
            cases = Cases(lib, threads, args.repeats, args.min_ms / 1e3, args.settle_ms / 1e3)
            gemm_gflops = None
            if want("gemm") or want("solve"):
                gemm_gflops = cases.gemm(2000)["ours_gflops"]
            if want("cholesky"):
                for n in (1000, 2000, 4000):
                    cases.cholesky(n)
            if want("gram"):
                for shape in ((2000, 1000), (4000, 2000), (2000, 2000)):
                    for order in ("C", "F"):
                        cases.gram(*shape, order)
            if want("cross"):
                cases.cross(2000, 1000, 1000)
                cases.cross(200, 20, 10000)
            if want("solve"):
                cases.solves(2000, 1000, gemm_gflops)
            if want("small"):
                for n in (5, 10, 20, 50, 100, 200):
                    cases.cholesky(n)
                    cases.gram(2 * n, n, "C")
                    cases.gemm(n)
            if want("vector"):
                for n in (1000, 4000):
                    cases.vectors(n)
            rows += cases.rows
    meta = {"machine": f"{platform.processor() or platform.machine()}, "
                       f"{len(os.sched_getaffinity(0))} cores",
            "load": " ".join(f"{x:.1f}" for x in os.getloadavg()),
            "ungated": ungated,
            "numpy": np.__version__, "path": PATHS[lib.tovrin_bench_active_path()],
            "repeats": args.repeats}
    write(rows, meta, HERE if args.update else UNTRACKED)


if __name__ == "__main__":
    main()
