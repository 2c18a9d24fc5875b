"""Benchmark of the Gram method on many right-hand sides sharing one A.

    python3 bench/bench_many.py [--repeats 5] [--quick] [--update]

Needs the package (pip install .), threadpoolctl and daqp
(bench/install_peers.sh); without daqp its column is left empty.  Three
cases, each k problems b_j = A x_j + noise with x_j >= 0 about half zero,
from fixed seeds, A and B in C order (NumPy's default, what users pass):

  * gaussian 200 x 20, k = 10^4;
  * non-negative 200 x 10, k = 10^4 (A = |Gaussian|, like the spectra of
    a linear unmixing problem);
  * gaussian 400 x 100, k = 2000.

Contenders, timed side by side in turns (bench/timing.py), `--repeats`
rounds, medians compared:

  * exact: tovrin.nnls(A, B) on every core;
  * gram: tovrin.nnls(A, B, method="gram") on every core (the headline),
    the same with B in Fortran order, and with threads=1 (everything
    included: the Gram product, the rounds, the checks);
  * gram after other work: the headline call after a fresh 200 MB array
    filled and dropped and then a 2000 x 2000 matrix product, against the
    headline call repeated on its own;
  * daqp loop: G = A'A and A'B formed once (NumPy's BLAS limited to one
    thread), then daqp on each problem of the Gram form in a Python loop,
    at a primal tolerance of 1e-9.

daqp's answers are checked: one counts where its exit flag reports an
optimum and its objective ||A max(x, 0) - b||^2 is within 1e-8 (relative)
of that of the gram result.  Where some do not count, the loop's time is a
lower bound of what correct answers would cost, and its ratio is marked so.
The one-thread contenders (gram with threads=1, the daqp loop) are also
compared by CPU time, which a busy machine disturbs less than wall time.
Also reported: the largest difference of x from the exact method's
relative to max(1, max|x_exact|) per problem, the statuses, and whether x
is the same bits for threads=1 and every core.  The load average is printed
at the start and the end and written into the results.  Results go to
build/bench-many/results_many.md unless --update writes bench/results_many.md
(tracked; for runs on a quiet machine).  Never part of the tests.
"""
import argparse
import pathlib
import subprocess
import sys
import warnings

import numpy as np
from threadpoolctl import threadpool_limits

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
UNTRACKED = ROOT / "build" / "bench-many"
CASES = (("gaussian", 200, 20, 10_000), ("non-negative", 200, 10, 10_000),
         ("gaussian", 400, 100, 2_000))
QUICK_DIVISOR = 10
# Targets: exact / gram on every core, by n; daqp loop / gram with threads=1;
# gram after other work / gram on its own.
TARGET_EXACT = {20: 9.0, 10: 5.0, 100: 20.0}
TARGET_DAQP = 3.3
TARGET_INTERVENING = 1.2
# daqp's settings: no general constraints, x >= 0 through its bounds (an
# upper bound of 1e30 counts as none), the primal tolerance tightened from
# its 1e-6 (at no measurable cost); exit flags from DAQP_OPTIMAL up mean an
# optimum was found.
DAQP_INFINITY = 1e30
DAQP_PRIMAL_TOLERANCE = 1e-9
DAQP_OPTIMAL = 1
# A daqp answer counts where its objective exceeds ours by at most this, relative.
OBJECTIVE_MATCH = 1e-8

sys.path.insert(0, str(HERE))
from timing import (INTERVENING_TEXT, Contender, InterveningWork, load_average,  # noqa: E402
                    time_in_turns, verdict)


def make_case(family, m, n, k, seed):
    """A (m, n) and B (m, k) = A X + 0.01 noise, X >= 0 about half zero,
    both in C order."""
    rng = np.random.default_rng(seed)
    a = rng.standard_normal((m, n))
    if family == "non-negative":
        a = np.abs(a)
    x = np.abs(rng.standard_normal((n, k)))
    x[rng.random((n, k)) < 0.5] = 0.0
    b = a @ x + 0.01 * rng.standard_normal((m, k))
    return np.ascontiguousarray(a), np.ascontiguousarray(b)


def daqp_loop():
    """A solver (a, b) -> (x, exit flags) of all k problems by daqp in a
    Python loop, or None without daqp."""
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
        flags = np.empty(k, dtype=np.int64)
        empty = np.zeros((0, n))
        upper, lower = np.full(n, DAQP_INFINITY), np.zeros(n)
        sense = np.zeros(n, dtype=np.int32)
        for j in range(k):
            x[:, j], _, flags[j], _ = daqp.solve(g, -c[:, j], empty, upper, lower, sense,
                                                 primal_tol=DAQP_PRIMAL_TOLERANCE)
        return x, flags
    return solve


def objectives(a, b, x):
    """||A max(x_j, 0) - b_j||^2 of every column j."""
    r = a @ np.maximum(x, 0.0) - b
    return np.einsum("ij,ij->j", r, r)


def largest_difference(x, x_exact):
    """max over problems of max|x - x_exact| / max(1, max|x_exact|): relative
    where x is large, absolute where it is small (a problem whose solution
    is 0 has no scale of its own)."""
    scale = np.maximum(np.max(np.abs(x_exact), axis=0), 1.0)
    return float(np.max(np.max(np.abs(x - x_exact), axis=0) / scale))


def judge_daqp(a, b, x, flags, ours):
    """How many of daqp's answers x (exit flags `flags`) count against our
    objectives `ours`, and why the others do not."""
    worse = objectives(a, b, x) - ours > OBJECTIVE_MATCH * ours
    not_optimal = flags < DAQP_OPTIMAL
    return {"counted": int(np.count_nonzero(~(worse | not_optimal))),
            "not_optimal": int(np.count_nonzero(not_optimal)),
            "worse": int(np.count_nonzero(worse & ~not_optimal))}


def measure(case, seed, repeats, tovrin, work):
    family, m, n, k = case
    a, b = make_case(family, m, n, k, seed)
    b_f = np.asfortranarray(b)
    daqp = daqp_loop()

    def gram():
        return tovrin.nnls(a, b, method="gram")

    contenders = [
        Contender("exact", lambda: tovrin.nnls(a, b)),
        Contender("gram after other work", gram, before=work),
        Contender("gram", gram),
        Contender("gram, B in F order", lambda: tovrin.nnls(a, b_f, method="gram")),
        Contender("gram, threads=1", lambda: tovrin.nnls(a, b, method="gram", threads=1)),
    ]
    if daqp is not None:
        contenders.append(Contender("daqp loop", lambda: daqp(a, b)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        times = time_in_turns(contenders, repeats)
        exact = tovrin.nnls(a, b)
        ours = gram()
        single = tovrin.nnls(a, b, method="gram", threads=1)
        fortran = tovrin.nnls(a, b_f, method="gram")
    row = {
        "case": f"{family} {m} x {n}, k = {k}",
        "n": n,
        "k": k,
        "s": {name: t.wall for name, t in times.items()},
        "cpu_s": {name: t.cpu for name, t in times.items()},
        "difference": largest_difference(ours.x, exact.x),
        "statuses": {int(code): int(count) for code, count in
                     zip(*np.unique(ours.status, return_counts=True))},
        "same_bits": bool(np.array_equal(ours.x, single.x) and
                          np.array_equal(ours.status, single.status)),
        "same_bits_fortran": bool(np.array_equal(ours.x, fortran.x)),
        "rounds": float(np.mean(ours.iterations)),
    }
    if daqp is not None:
        x, flags = daqp(a, b)
        row["daqp"] = judge_daqp(a, b, x, flags, objectives(a, b, ours.x))
        row["daqp"]["difference"] = largest_difference(x, exact.x)
    return row


def daqp_ratio(row, seconds):
    """daqp loop / gram with threads=1, against its target; marked as a
    lower bound where some of daqp's answers do not count."""
    ratio = verdict(seconds["daqp loop"] / seconds["gram, threads=1"], TARGET_DAQP, False)
    wrong = row["k"] - row["daqp"]["counted"]
    return ratio if wrong == 0 else f">= {ratio}, lower bound: {wrong} answers do not count"


def report(rows, repeats, load_start, load_end):
    commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    lines = [
        "# Many right-hand sides: the Gram method's block pivoting",
        "",
        f"`python3 bench/bench_many.py --repeats {repeats}` at commit {commit}, "
        f"load average {load_start} at the start, {load_end} at the end (1, 5, 15 minutes; "
        "a shared machine makes times noisy, ratios from one run hold better).  A and B in "
        "C order unless marked.  Medians of wall time in ms, the contenders taking turns.",
        "",
        "| case | exact | gram | gram, B in F order | gram, threads=1 | daqp loop |"
        " exact / gram | daqp / gram (1 thread) | the same, CPU time |",
        "| --- | --- | --- | --- | --- | --- | --- | --- | --- |",
    ]
    for row in rows:
        s, cpu = row["s"], row["cpu_s"]
        ms = {name: f"{1e3 * t:.1f}" for name, t in s.items()}
        exact_ratio = verdict(s["exact"] / s["gram"], TARGET_EXACT[row["n"]], False)
        has_daqp = "daqp" in row
        lines.append(f"| {row['case']} | {ms['exact']} | {ms['gram']} | "
                     f"{ms['gram, B in F order']} | {ms['gram, threads=1']} | "
                     f"{ms.get('daqp loop', '-')} | {exact_ratio} | "
                     f"{daqp_ratio(row, s) if has_daqp else '-'} | "
                     f"{daqp_ratio(row, cpu) if has_daqp else '-'} |")
    lines += ["", "Work in between: the gram call on its own, repeated, against the same call "
              f"after {INTERVENING_TEXT}.",
              "", "| case | on its own (ms) | after other work (ms) | after / alone |",
              "| --- | --- | --- | --- |"]
    for row in rows:
        alone, after = row["s"]["gram"], row["s"]["gram after other work"]
        lines.append(f"| {row['case']} | {1e3 * alone:.1f} | {1e3 * after:.1f} | "
                     f"{verdict(after / alone, TARGET_INTERVENING, True)} |")
    lines += ["", "Accuracy.  Difference of x from the exact method's: max |x - x_exact| / "
              "max(1, max|x_exact|) over the problems.  daqp's answers count where its exit flag "
              f"reports an optimum and its objective is within {OBJECTIVE_MATCH:g} (relative) of "
              "gram's.", "",
              "| case | rounds (mean) | gram's difference | statuses | same bits for threads=1 "
              "and all | same bits for B in F order | daqp's answers that count | "
              "daqp's difference |",
              "| --- | --- | --- | --- | --- | --- | --- | --- |"]
    for row in rows:
        if "daqp" in row:
            d = row["daqp"]
            counted = (f"{d['counted']} of {row['k']} (exit flag not optimal: {d['not_optimal']}, "
                       f"objective above: {d['worse']})")
            difference = f"{d['difference']:.1e}"
        else:
            counted = difference = "-"
        lines.append(f"| {row['case']} | {row['rounds']:.2f} | {row['difference']:.1e} | "
                     f"{row['statuses']} | {row['same_bits']} | {row['same_bits_fortran']} | "
                     f"{counted} | {difference} |")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--quick", action="store_true",
                        help=f"a {QUICK_DIVISOR}th of the problems: a check of the script")
    parser.add_argument("--update", action="store_true",
                        help="write bench/results_many.md (tracked)")
    args = parser.parse_args()
    import tovrin
    load_start = load_average()
    print(f"load average at the start: {load_start}", flush=True)
    work = InterveningWork()
    rows = []
    for seed, case in enumerate(CASES):
        if args.quick:
            case = case[:3] + (case[3] // QUICK_DIVISOR,)
        rows.append(measure(case, seed, args.repeats, tovrin, work))
        print(rows[-1], flush=True)
    load_end = load_average()
    text = report(rows, args.repeats, load_start, load_end)
    out = HERE if args.update else UNTRACKED
    out.mkdir(parents=True, exist_ok=True)
    (out / "results_many.md").write_text(text)
    print(text)
    print(f"written to {out / 'results_many.md'}")


if __name__ == "__main__":
    main()
