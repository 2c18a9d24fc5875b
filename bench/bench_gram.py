"""Benchmark of the Gram-form method against the exact method and QP peers.

    python3 bench/bench_gram.py [--sizes 100,200,500,1000,2000] [--repeats 5]
                                [--batch 10000] [--large | --large-only]
                                [--quick] [--update]

Needs the package (pip install .), matplotlib for the figures and the peers
of bench/install_peers.sh (proxsuite, piqp, daqp, quadprog); a missing peer
is reported and skipped.  A is passed in C order, NumPy's default and what
users pass, unless a column says otherwise.  Every comparison is timed side
by side in one run, the contenders taking turns, `--repeats` rounds, and the
medians are compared (bench/timing.py).  The load average is printed at the
start and the end and written into the results.

The sweep of sizes (Gaussian tall, m = 2n, and square; b = A x_true + noise
with x_true >= 0 about half zero, the problems of bench/run_bench.py):
  * exact: tovrin.nnls(A, b);
  * gram: tovrin.nnls(A, b, method="gram"), everything included;
  * product: A^T A and A^T b alone (NumPy's BLAS);
  * the peers on min 1/2 x^T G x - (A^T b)^T x, x >= 0, their times
    including the same product;
and the agreement of x with the exact method's.  The batch case: k
right-hand sides with A of 200 x 20, exact against gram.

Large problems (--large, --large-only): Gaussian tall 2000 x 1000 and
4000 x 2000, square 2000 x 2000, non-negative A (|N(0,1)| + 0.1, 80 % of
x_true zero) and a Gaussian-blur deconvolution (cond(A) about 1e19):
  * gram with A in C order (the headline) and in Fortran order, "auto",
    "exact", A^T A alone, and the peers at tolerances of 1e-9, a peer
    counting only where its objective ||A max(x, 0) - b||^2 is within 1e-8
    (relative) of that of tovrin's "auto" result (those that do not count
    are listed with the reason);
  * work in between: the gram call on its own, repeated, against the same
    call after a fresh 200 MB array filled and dropped and then a
    2000 x 2000 matrix product (target: at most 1.2 times);
  * memory: in a fresh process per problem, the peak resident memory of one
    gram call beyond the memory resident before it (A and b loaded), in
    units of n^2 doubles (target: at most 4);
and, once each:
  * under load: two child processes spin on both cores while Gaussian
    3000 x 1500 is solved by gram (default threads), gram with threads=1
    and exact (targets: default threads at most 1.5 times threads=1, and
    faster than exact);
  * warm start: Gaussian 4000 x 2000, b perturbed by 1 %, nnls_gram from
    x0 = the previous solution against nnls_gram from nothing, the Gram
    product excluded from both (target: at most 0.5).

--quick divides the large problems' sizes by 4 and runs a short sweep, to
check the script.  Results go to build/bench-gram/ (results_gram.md, .json,
.png, results_gram_large.png) unless --update writes bench/results_gram.*
(tracked; for runs on a quiet machine).  Never part of the tests.
"""
import argparse
import json
import pathlib
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
UNTRACKED = ROOT / "build" / "bench-gram"
FAMILIES = ("tall", "square")
PEERS = ("proxsuite", "piqp", "daqp", "quadprog")
# The peers' own stopping tolerances, tightened towards what the exact
# method delivers (their defaults stop near 1e-5 or 1e-6).
PEER_TOLERANCE = 1e-9
# An upper bound of this size counts as none (proxsuite, daqp).
UNBOUNDED = 1e30
# daqp's exit flags from this up mean an optimum was found.
DAQP_OPTIMAL = 1
# A peer counts where its objective exceeds tovrin's by at most this, relative.
OBJECTIVE_MATCH = 1e-8

LARGE = (("gaussian tall", 2000, 1000), ("gaussian tall", 4000, 2000),
         ("gaussian square", 2000, 2000), ("non-negative", 2000, 1000),
         ("deconvolution", 2000, 1000))
UNDER_LOAD = (3000, 1500)
BUSY_CHILDREN = 2
WARM_START = (4000, 2000)
WARM_PERTURBATION = 0.01
QUICK_DIVISOR = 4
QUICK_SIZES = "100,200"
QUICK_BATCH = 1000

TARGET_INTERVENING = 1.2         # gram after other work / gram on its own, at most
TARGET_LOADED_THREADS = 1.5      # default threads / threads=1 under load, at most
TARGET_LOADED_EXACT = 1.0        # default threads / exact under load, below
TARGET_MEMORY = 4.0              # peak beyond A and b, n^2 doubles, at most
TARGET_WARM = 0.5                # from x0 / cold, at most

# A process's ru_maxrss carries over exec: a child started from this
# process, whose peak holds the large problems, reports at least that peak.
# The memory probe is therefore started by a small launcher process, whose
# own small peak is all the probe inherits.
LAUNCHER = "import subprocess, sys; sys.exit(subprocess.call(sys.argv[1:]))"
MEMORY_PROBE = """
import json, os, resource, sys, warnings
import numpy as np
import tovrin

def peak_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux

def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

a, b = np.load(sys.argv[1]), np.load(sys.argv[2])
baseline, resident = peak_bytes(), resident_bytes()
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    tovrin.nnls(a, b, method="gram")
print(json.dumps({"baseline": baseline, "resident": resident, "peak": peak_bytes()}))
"""

sys.path.insert(0, str(HERE))
from run_bench import make_problem, shape  # noqa: E402  (same problems)
from timing import (INTERVENING_TEXT, Contender, InterveningWork, busy_cores,  # noqa: E402
                    load_average, time_in_turns, verdict)


def gram_product(a, b):
    return a.T @ a, a.T @ b


def peer_solver(name):
    """A function (a, b) -> x solving the Gram form with the named peer, or
    None where the peer is not installed."""
    try:
        if name == "proxsuite":
            import proxsuite

            def solve(a, b):
                g, c = gram_product(a, b)
                n = a.shape[1]
                return proxsuite.proxqp.dense.solve(
                    H=g, g=-c, l_box=np.zeros(n), u_box=np.full(n, UNBOUNDED),
                    eps_abs=PEER_TOLERANCE).x
        elif name == "piqp":
            import piqp

            def solve(a, b):
                g, c = gram_product(a, b)
                n = a.shape[1]
                s = piqp.DenseSolver()
                s.settings.eps_abs = PEER_TOLERANCE
                s.settings.eps_rel = PEER_TOLERANCE
                s.setup(np.asfortranarray(g), -c, x_l=np.zeros(n), x_u=np.full(n, np.inf))
                s.solve()
                return s.result.x
        elif name == "daqp":
            import daqp

            def solve(a, b):
                g, c = gram_product(a, b)
                n = a.shape[1]
                x, _, flag, _ = daqp.solve(g, -c, np.zeros((0, n)), np.full(n, UNBOUNDED),
                                           np.zeros(n), np.zeros(n, dtype=np.int32),
                                           primal_tol=PEER_TOLERANCE)
                if flag < DAQP_OPTIMAL:
                    raise RuntimeError(f"exit flag {flag}")
                return x
        elif name == "quadprog":
            import quadprog

            def solve(a, b):
                g, c = gram_product(a, b)
                n = a.shape[1]
                return quadprog.solve_qp(g, c, np.eye(n), np.zeros(n))[0]
        else:
            return None
    except ImportError:
        return None
    return solve


def agreement(x, x_ref):
    return float(np.max(np.abs(x - x_ref)) / max(1e-300, float(np.max(np.abs(x_ref)))))


def objective(a, b, x):
    """||A max(x, 0) - b||^2: a peer's slightly negative entries clipped."""
    r = a @ np.maximum(x, 0.0) - b
    return float(r @ r)


def quiet(call):
    """The call with the Gram method's accuracy warnings silenced."""
    def silenced():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return call()
    return silenced


def measure_problem(tovrin, family, n, repeats, peers, peer_limit):
    m, n_ = shape(family, n)
    a, b = make_problem(m, n_, 1000 * ("tall", "square", "wide").index(family) + n)
    a = np.ascontiguousarray(a)
    exact = tovrin.nnls(a, b)
    gram = tovrin.nnls(a, b, method="gram")
    with_peers = [p for p in peers if m * n_ * n_ <= peer_limit]
    counted, fields = judge_peers(a, b, with_peers, objective(a, b, gram.x), exact.x)
    row = {"family": family, "m": m, "n": n_, **fields,
           "gram_status": int(gram.status),
           "x_agreement": agreement(gram.x, exact.x),
           "passive_equal": bool((gram.passive == exact.passive).all())}
    contenders = [Contender("exact_s", lambda: tovrin.nnls(a, b)),
                  Contender("gram_s", lambda: tovrin.nnls(a, b, method="gram")),
                  Contender("product_s", lambda: gram_product(a, b))]
    fastest = time_with_peers(contenders, counted, a, b, repeats, row)
    row["fastest_peer_over_gram"] = fastest / row["gram_s"] if fastest else None
    row["exact_over_gram"] = row["exact_s"] / row["gram_s"]
    return row


def measure_batch(tovrin, k, repeats):
    rng = np.random.default_rng(20)
    a = rng.standard_normal((200, 20))
    x_true = np.abs(rng.standard_normal((20, k))) * (rng.random((20, k)) < 0.5)
    b = a @ x_true + 0.01 * rng.standard_normal((200, k))
    exact = tovrin.nnls(a, b)
    gram = tovrin.nnls(a, b, method="gram")
    times = time_in_turns(
        [Contender("exact_s", lambda: tovrin.nnls(a, b)),
         Contender("gram_s", lambda: tovrin.nnls(a, b, method="gram")),
         Contender("gram_1_thread_s", lambda: tovrin.nnls(a, b, method="gram", threads=1))],
        repeats)
    row = {name: t.wall for name, t in times.items()}
    row.update(k=k, m=200, n=20, exact_over_gram=row["exact_s"] / row["gram_s"],
               x_agreement=agreement(gram.x, exact.x),
               passive_equal=bool((gram.passive == exact.passive).all()),
               flagged=int(np.count_nonzero(gram.status != 1)))
    return row


def make_large(family, m, n, seed):
    """A and b of the large problems (A in the order NumPy makes it)."""
    rng = np.random.default_rng(seed)
    if family.startswith("gaussian"):
        return make_problem(m, n, seed)
    if family == "non-negative":
        a = np.abs(rng.standard_normal((m, n))) + 0.1
        x_true = np.abs(rng.standard_normal(n))
        x_true[rng.random(n) < 0.8] = 0.0
        return a, a @ x_true + 0.01 * rng.standard_normal(m)
    # A Gaussian blur of width 0.02 from n sources to m samples on [0, 1],
    # 30 spikes.
    t = np.linspace(0.0, 1.0, m)[:, None]
    s = np.linspace(0.0, 1.0, n)[None, :]
    a = np.exp(-0.5 * ((t - s) / 0.02) ** 2)
    x_true = np.zeros(n)
    x_true[rng.choice(n, 30, replace=False)] = 1.0 + 5.0 * rng.random(30)
    return a, a @ x_true + 1e-3 * rng.standard_normal(m)


def judge_peers(a, b, peers, ours, x_exact):
    """({name: solve} of the peers that count, the row's fields about the
    peers): each installed peer solves once; it counts where its objective
    is within OBJECTIVE_MATCH of `ours`."""
    counted = {}
    fields = {"peer_objective": {}, "peer_agreement": {}, "peer_excluded": {},
              "peer_once_s": {}, "peer_s": {}}
    for name in peers:
        solve = peer_solver(name)
        if solve is None:
            fields["peer_excluded"][name] = "not installed"
            continue
        start = time.perf_counter()
        try:
            x = np.asarray(quiet(lambda: solve(a, b))())
        except Exception as exc:  # a peer that fails on a problem is reported
            fields["peer_excluded"][name] = f"failed: {exc}"
            continue
        once = fields["peer_once_s"][name] = time.perf_counter() - start
        relative = fields["peer_objective"][name] = (objective(a, b, x) - ours) / max(1e-300, ours)
        fields["peer_agreement"][name] = agreement(x, x_exact)
        if relative <= OBJECTIVE_MATCH:
            counted[name] = solve
        else:
            fields["peer_excluded"][name] = (f"objective {relative:.2g} above tovrin's "
                                             f"(one call {once:.3g} s)")
    return counted, fields


def time_with_peers(contenders, counted, a, b, repeats, row):
    """Times the contenders and the counted peers in turns into row (the
    peers' under row["peer_s"]) and the fastest peer's name and time."""
    contenders = contenders + [Contender(name, quiet(lambda s=solve: s(a, b)))
                               for name, solve in counted.items()]
    times = time_in_turns(contenders, repeats)
    for c in contenders:
        (row["peer_s"] if c.name in counted else row)[c.name] = times[c.name].wall
    row["fastest_peer"] = min(counted, key=row["peer_s"].get) if counted else None
    return row["peer_s"][row["fastest_peer"]] if counted else None


def measure_large(tovrin, family, m, n, repeats, peers, work):
    a, b = make_large(family, m, n, m + n)
    a_c, a_f = np.ascontiguousarray(a), np.asfortranarray(a)
    runs = {method: quiet(lambda: tovrin.nnls(a_c, b, method=method))()
            for method in ("exact", "gram", "auto")}
    reference = objective(a_c, b, runs["exact"].x)
    ours = objective(a_c, b, runs["auto"].x)
    counted, fields = judge_peers(a_c, b, peers, ours, runs["exact"].x)
    row = {"family": family, "m": m, "n": n, **fields, "peer_counted": list(counted),
           "gram_status": int(runs["gram"].status), "auto_method": runs["auto"].method,
           "gram_iterations": int(runs["gram"].iterations),
           "x_agreement": agreement(runs["gram"].x, runs["exact"].x),
           "objective_agreement": abs(objective(a_c, b, runs["gram"].x) - reference)
           / max(1e-300, reference)}
    gram_c = quiet(lambda: tovrin.nnls(a_c, b, method="gram"))
    contenders = [Contender("gram_after_work_s", gram_c, before=work),
                  Contender("gram_s", gram_c),
                  Contender("gram_f_s", quiet(lambda: tovrin.nnls(a_f, b, method="gram"))),
                  Contender("auto_s", quiet(lambda: tovrin.nnls(a_c, b, method="auto"))),
                  Contender("exact_s", lambda: tovrin.nnls(a_c, b)),
                  Contender("ata_s", lambda: a_c.T @ a_c)]
    fastest = time_with_peers(contenders, counted, a_c, b, repeats, row)
    row["peer_over_gram"] = fastest / row["gram_s"] if fastest else None
    row["peer_over_auto"] = fastest / row["auto_s"] if fastest else None
    row["gram_over_ata"] = row["gram_s"] / row["ata_s"]
    row["fortran_over_c"] = row["gram_f_s"] / row["gram_s"]
    row["after_work_over_alone"] = row["gram_after_work_s"] / row["gram_s"]
    return row


def measure_memory(family, m, n, order):
    """Peak resident memory of one gram call in a fresh process beyond the
    memory resident before it (A in `order` and b loaded), in n^2 doubles.
    Exact where the call set the process's peak; where an earlier peak
    stood higher, an upper bound (that peak's excess over the resident
    memory), marked "at_most"."""
    a, b = make_large(family, m, n, m + n)
    a = np.asfortranarray(a) if order == "F" else np.ascontiguousarray(a)
    with tempfile.TemporaryDirectory() as folder:
        paths = [str(pathlib.Path(folder) / name) for name in ("a.npy", "b.npy")]
        np.save(paths[0], a)
        np.save(paths[1], b)
        del a, b
        done = subprocess.run([sys.executable, "-c", LAUNCHER, sys.executable, "-c",
                               MEMORY_PROBE, *paths], cwd=folder, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"memory probe of {family} {m}x{n} failed:\n{done.stderr}")
    probe = json.loads(done.stdout)
    return {"extra_n2": (probe["peak"] - probe["resident"]) / (8.0 * n * n),
            "at_most": probe["peak"] <= probe["baseline"]}


def measure_under_load(tovrin, m, n, repeats):
    """Gram with default threads and with one, and exact, while
    BUSY_CHILDREN processes hold the cores."""
    a, b = make_problem(m, n, m + n)
    a = np.ascontiguousarray(a)
    contenders = [Contender("gram_s", quiet(lambda: tovrin.nnls(a, b, method="gram"))),
                  Contender("gram_1_thread_s",
                            quiet(lambda: tovrin.nnls(a, b, method="gram", threads=1))),
                  Contender("exact_s", lambda: tovrin.nnls(a, b))]
    with busy_cores(BUSY_CHILDREN):
        times = time_in_turns(contenders, repeats)
    row = {name: t.wall for name, t in times.items()}
    row.update(m=m, n=n, busy=BUSY_CHILDREN,
               gram_over_one_thread=row["gram_s"] / row["gram_1_thread_s"],
               gram_over_exact=row["gram_s"] / row["exact_s"])
    return row


def measure_warm_start(tovrin, m, n, repeats):
    """nnls_gram after a 1 % perturbation of b, from x0 = the previous
    solution and from nothing, the Gram product formed beforehand."""
    a, b = make_problem(m, n, m + n)
    a = np.ascontiguousarray(a)
    rng = np.random.default_rng(17)
    g = a.T @ a
    previous = tovrin.nnls_gram(g, a.T @ b)
    c = a.T @ (b * (1.0 + WARM_PERTURBATION * rng.standard_normal(m)))
    cold = tovrin.nnls_gram(g, c)
    warm = tovrin.nnls_gram(g, c, x0=previous.x)
    times = time_in_turns([Contender("cold_s", lambda: tovrin.nnls_gram(g, c)),
                           Contender("warm_s", lambda: tovrin.nnls_gram(g, c, x0=previous.x))],
                          repeats)
    row = {name: t.wall for name, t in times.items()}
    row.update(m=m, n=n, cold_iterations=int(cold.iterations),
               warm_iterations=int(warm.iterations),
               x_agreement=agreement(warm.x, cold.x), warm_over_cold=row["warm_s"] / row["cold_s"])
    return row


def fmt(v, digits=3):
    if v is None:
        return "–"
    if isinstance(v, bool):
        return "yes" if v else "NO"
    if isinstance(v, float):
        return f"{v:.{digits}g}"
    return str(v)


def peer_cells(r):
    """A table's peer columns: the median time of a peer that counts, the
    time of the one call marked (x) of one that does not."""
    return " | ".join(fmt(r["peer_s"][p]) if p in r["peer_s"]
                      else f"{fmt(r['peer_once_s'][p])} (x)" if p in r["peer_once_s"]
                      else "–" for p in PEERS)


def excluded_lines(rows):
    return [f"- {r['family']} {r['m']}x{r['n']}: "
            + ("; ".join(f"{p}: {why}" for p, why in r["peer_excluded"].items()) or "none")
            for r in rows]


def large_time_lines(large):
    lines = ["", "## Large problems", "",
             "A in C order unless marked F.  Every Gram and peer time includes the Gram product.  "
             "A peer is timed only where its objective is within "
             f"{OBJECTIVE_MATCH:g} (relative) of tovrin's (\"auto\"); (x) marks one that is not, "
             "with the time of its one call.", "",
             "| problem | m | n | gram (s) | gram, A in F (s) | F / C | auto (s) | exact (s) | "
             "A^T A (s) | gram / A^T A | "
             + " | ".join(f"{p} (s)" for p in PEERS)
             + " | fastest peer / gram | fastest peer / auto |",
             "|" + "---|" * (12 + len(PEERS))]
    for r in large:
        peers = peer_cells(r)
        fastest = f" ({r['fastest_peer']})" if r["fastest_peer"] else ""
        lines.append(
            f"| {r['family']} | {r['m']} | {r['n']} | {fmt(r['gram_s'])} | "
            f"{fmt(r['gram_f_s'])} | {fmt(r['fortran_over_c'])} | {fmt(r['auto_s'])} | "
            f"{fmt(r['exact_s'])} | {fmt(r['ata_s'])} | {fmt(r['gram_over_ata'])} | {peers} | "
            f"{fmt(r['peer_over_gram'])}{fastest} | {fmt(r['peer_over_auto'])} |")
    lines += ["", "| problem | m | n | gram status | auto method | gram rounds | x agreement "
              "with exact | objective agreement with exact |", "|" + "---|" * 8]
    for r in large:
        lines.append(f"| {r['family']} | {r['m']} | {r['n']} | {r['gram_status']} | "
                     f"{r['auto_method']} | {r['gram_iterations']} | "
                     f"{fmt(r['x_agreement'], 2)} | {fmt(r['objective_agreement'], 2)} |")
    lines += ["", "Peers that did not count:", ""] + excluded_lines(large)
    lines += ["", "## Work in between", "",
              "The gram call (A in C order) on its own, repeated, against the same call after "
              f"{INTERVENING_TEXT}, in turns.",
              "", "| problem | m | n | on its own (s) | after other work (s) | after / alone |",
              "|" + "---|" * 6]
    for r in large:
        lines.append(f"| {r['family']} | {r['m']} | {r['n']} | {fmt(r['gram_s'])} | "
                     f"{fmt(r['gram_after_work_s'])} | "
                     f"{verdict(r['after_work_over_alone'], TARGET_INTERVENING, True)} |")
    return lines


def memory_lines(memory):
    lines = ["", "## Memory", "",
             "Peak resident memory (ru_maxrss) of one gram call, in a fresh process per problem, "
             "beyond the memory resident before the call (A and b loaded), in units of n^2 "
             "doubles; <= marks an upper bound, where the process's peak before the call stood "
             "higher than the call's.", "",
             "| problem | m | n | A in C order | A in F order |", "|" + "---|" * 5]
    for r in memory:
        cells = [("<= " if r[order]["at_most"] else "")
                 + verdict(r[order]["extra_n2"], TARGET_MEMORY, True) for order in "CF"]
        lines.append(f"| {r['family']} | {r['m']} | {r['n']} | {cells[0]} | {cells[1]} |")
    return lines


def loaded_lines(loaded):
    r = loaded
    return ["", f"## Under load: Gaussian {r['m']} x {r['n']}, {r['busy']} busy processes", "",
            "| gram (s) | gram, threads=1 (s) | exact (s) | gram / gram threads=1 | "
            "gram / exact |", "|---|---|---|---|---|",
            f"| {fmt(r['gram_s'])} | {fmt(r['gram_1_thread_s'])} | {fmt(r['exact_s'])} | "
            f"{verdict(r['gram_over_one_thread'], TARGET_LOADED_THREADS, True)} | "
            f"{r['gram_over_exact']:.2f} (target < {TARGET_LOADED_EXACT:g}: "
            f"{'met' if r['gram_over_exact'] < TARGET_LOADED_EXACT else 'missed'}) |"]


def warm_lines(warm):
    return ["", f"## Warm start: Gaussian {warm['m']} x {warm['n']}, b perturbed by 1 %", "",
            "nnls_gram on a formed Gram product.", "",
            "| cold (s) | from x0 (s) | from x0 / cold | cold rounds | rounds from x0 | "
            "x agreement |", "|---|---|---|---|---|---|",
            f"| {fmt(warm['cold_s'])} | {fmt(warm['warm_s'])} | "
            f"{verdict(warm['warm_over_cold'], TARGET_WARM, True)} | {warm['cold_iterations']} | "
            f"{warm['warm_iterations']} | {fmt(warm['x_agreement'], 2)} |"]


def sweep_lines(rows, batch):
    lines = ["", "## Sweep of sizes", "",
             "A peer is timed only where its objective is within "
             f"{OBJECTIVE_MATCH:g} (relative) of tovrin's (gram); (x) marks one that is not, "
             "with the time of its one call.", "",
             "| family | m | n | exact (s) | gram (s) | product (s) | exact/gram | "
             + " | ".join(f"{p} (s)" for p in PEERS)
             + " | fastest peer/gram | x agreement | passive sets equal | status |",
             "|" + "---|" * (11 + len(PEERS))]
    for r in rows:
        fastest = f" ({r['fastest_peer']})" if r["fastest_peer"] else ""
        lines.append(
            f"| {r['family']} | {r['m']} | {r['n']} | {fmt(r['exact_s'])} | {fmt(r['gram_s'])} | "
            f"{fmt(r['product_s'])} | {fmt(r['exact_over_gram'])} | {peer_cells(r)} | "
            f"{fmt(r['fastest_peer_over_gram'])}{fastest} | {fmt(r['x_agreement'], 2)} | "
            f"{fmt(r['passive_equal'])} | {r['gram_status']} |")
    if rows:
        lines += ["", "x agreement: max|x_gram - x_exact| / max|x_exact|.  Peers' agreement "
                  "in x with the exact method:", ""]
        lines += [f"- {r['family']} {r['m']}x{r['n']}: "
                  + ", ".join(f"{p} {fmt(v, 2)}" for p, v in r["peer_agreement"].items())
                  for r in rows]
        lines += ["", "Peers that did not count:", ""] + excluded_lines(rows)
    if batch:
        lines += ["", f"## {batch['k']} right-hand sides, A of 200 x 20", "",
                  "| exact (s) | gram (s) | gram, 1 thread (s) | exact/gram | x agreement | "
                  "passive sets equal | flagged |", "|---|---|---|---|---|---|---|",
                  f"| {fmt(batch['exact_s'])} | {fmt(batch['gram_s'])} | "
                  f"{fmt(batch['gram_1_thread_s'])} | {fmt(batch['exact_over_gram'])} | "
                  f"{fmt(batch['x_agreement'], 2)} | {fmt(batch['passive_equal'])} | "
                  f"{batch['flagged']} |"]
    return lines


def write_markdown(path, results, command):
    r = results
    lines = ["# Gram-form method: benchmark", "",
             f"`{command}` at commit {r['commit']}; load average {r['load_start']} at the start, "
             f"{r['load_end']} at the end (1, 5, 15 minutes; a shared machine makes times "
             "noisy, ratios from one run hold better).  Medians of "
             f"{r['repeats']} rounds, the contenders of each table taking turns."]
    if r["rows"] or r["batch"]:
        lines += sweep_lines(r["rows"], r["batch"])
    if r["large"]:
        lines += large_time_lines(r["large"])
    if r["memory"]:
        lines += memory_lines(r["memory"])
    if r["under_load"]:
        lines += loaded_lines(r["under_load"])
    if r["warm_start"]:
        lines += warm_lines(r["warm_start"])
    path.write_text("\n".join(lines) + "\n")


def pyplot():
    """matplotlib's pyplot drawing to files, or None without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no figures", file=sys.stderr)
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def write_large_plot(large, path):
    """Bars: each large problem's time by contender, the peers that count."""
    plt = pyplot()
    if plt is None:
        return
    keys = [("gram_s", "tovrin gram"), ("gram_f_s", "tovrin gram, A in F order"),
            ("auto_s", "tovrin auto"), ("exact_s", "tovrin exact"),
            ("ata_s", "A^T A alone")] + [(p, p) for p in PEERS]
    fig, ax = plt.subplots(figsize=(11, 4.5))
    width = 0.8 / len(keys)
    for i, (key, label) in enumerate(keys):
        values = [r.get(key, r["peer_s"].get(key)) for r in large]
        xs = [j + i * width for j, v in enumerate(values) if v]
        ax.bar(xs, [v for v in values if v], width, label=label)
    ax.set_xticks([j + 0.4 - width / 2 for j in range(len(large))])
    ax.set_xticklabels([f"{r['family']}\n{r['m']}x{r['n']}" for r in large], fontsize=8)
    ax.set_yscale("log")
    ax.set_ylabel("median time (s)")
    ax.legend(fontsize=7, ncol=4)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def write_plot(rows, path):
    plt = pyplot()
    if plt is None:
        return
    fig, axes = plt.subplots(1, len(FAMILIES), figsize=(11, 4.5), sharey=True)
    for ax, family in zip(axes, FAMILIES):
        sel = [r for r in rows if r["family"] == family]
        if not sel:
            continue
        n = [r["n"] for r in sel]
        ax.loglog(n, [r["exact_s"] for r in sel], "o-", label="tovrin exact")
        ax.loglog(n, [r["gram_s"] for r in sel], "s-", label="tovrin gram (all included)")
        ax.loglog(n, [r["product_s"] for r in sel], "k:", label="Gram product alone")
        for peer, style in zip(PEERS, ("^--", "v--", "d-.", "x-.")):
            pts = [(r["n"], r["peer_s"][peer]) for r in sel if peer in r["peer_s"]]
            if pts:
                ax.loglog(*zip(*pts), style, label=f"{peer} (Gram form)")
        ax.set_title(f"{family} (m = {shape(family, 1000)[0] / 1000:g} n)")
        ax.set_xlabel("n")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("median time (s)")
    axes[0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def scaled(m, n, divisor):
    return m // divisor, n // divisor


def run_large(tovrin, args, peers, divisor, results):
    """The large problems, their memory, the run under load and the warm
    start, into results."""
    work = InterveningWork()
    for family, m, n in LARGE:
        m, n = scaled(m, n, divisor)
        print(f"{family} {m}x{n} ...", file=sys.stderr, flush=True)
        row = measure_large(tovrin, family, m, n, args.repeats, peers, work)
        results["large"].append(row)
        print("  gram {gram_s:.3g} s (A in F {gram_f_s:.3g} s, after work {gram_after_work_s:.3g}"
              " s), A^T A {ata_s:.3g} s, fastest peer/gram {p}".format(
                  p=fmt(row["peer_over_gram"]), **row), file=sys.stderr, flush=True)
    del work
    for family, m, n in LARGE:
        m, n = scaled(m, n, divisor)
        row = {"family": family, "m": m, "n": n,
               "C": measure_memory(family, m, n, "C"), "F": measure_memory(family, m, n, "F")}
        results["memory"].append(row)
        print(f"memory {family} {m}x{n}: {row['C']['extra_n2']:.2f} n^2 (A in C), "
              f"{row['F']['extra_n2']:.2f} n^2 (A in F)", file=sys.stderr, flush=True)
    m, n = scaled(*UNDER_LOAD, divisor)
    print(f"under load {m}x{n} ...", file=sys.stderr, flush=True)
    loaded = results["under_load"] = measure_under_load(tovrin, m, n, args.repeats)
    print("  gram {gram_s:.3g} s, threads=1 {gram_1_thread_s:.3g} s, exact {exact_s:.3g} s"
          .format(**loaded), file=sys.stderr, flush=True)
    m, n = scaled(*WARM_START, divisor)
    print("warm start ...", file=sys.stderr, flush=True)
    warm = results["warm_start"] = measure_warm_start(tovrin, m, n, args.repeats)
    print("  cold {cold_s:.3g} s, from x0 {warm_s:.3g} s".format(**warm), file=sys.stderr)


def commit():
    return subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100,200,500,1000,2000")
    parser.add_argument("--families", default=",".join(FAMILIES))
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--batch", type=int, default=10000,
                        help="right-hand sides of the batch case (0: skip)")
    parser.add_argument("--peers", default=",".join(PEERS))
    parser.add_argument("--peer-limit", type=float, default=2e10,
                        help="skip the peers of the sweep where m n^2 exceeds this")
    parser.add_argument("--large", action="store_true",
                        help="also the large problems, under load and the warm start")
    parser.add_argument("--large-only", action="store_true",
                        help="only the large problems, under load and the warm start")
    parser.add_argument("--quick", action="store_true",
                        help=f"sizes {QUICK_SIZES}, batch {QUICK_BATCH}, large problems "
                        f"divided by {QUICK_DIVISOR}: a check of the script")
    parser.add_argument("--update", action="store_true",
                        help="write bench/results_gram.* instead of build/bench-gram/")
    args = parser.parse_args()
    import tovrin

    out = HERE if args.update else UNTRACKED
    out.mkdir(parents=True, exist_ok=True)
    peers = [p for p in args.peers.split(",") if p]
    sizes_text = QUICK_SIZES if args.quick else args.sizes
    batch_k = min(args.batch, QUICK_BATCH) if args.quick else args.batch
    results = {"commit": commit(), "repeats": args.repeats, "load_start": load_average(),
               "rows": [], "batch": None, "large": [], "memory": [], "under_load": None,
               "warm_start": None}
    print(f"load average at the start: {results['load_start']}", file=sys.stderr, flush=True)
    sizes = [] if args.large_only else [int(s) for s in sizes_text.split(",")]
    for n in sizes:
        for family in args.families.split(","):
            print(f"{family} n={n} ...", file=sys.stderr, flush=True)
            row = measure_problem(tovrin, family, n, args.repeats, peers, args.peer_limit)
            results["rows"].append(row)
            print("  exact {exact_s:.3g} s, gram {gram_s:.3g} s (product {product_s:.3g} s), "
                  "exact/gram {exact_over_gram:.2f}, fastest peer/gram {p}".format(
                      p=fmt(row["fastest_peer_over_gram"]), **row), file=sys.stderr, flush=True)
    if batch_k and not args.large_only:
        print(f"batch k={batch_k} ...", file=sys.stderr, flush=True)
        batch = results["batch"] = measure_batch(tovrin, batch_k, args.repeats)
        print(f"  exact {batch['exact_s']:.3g} s, gram {batch['gram_s']:.3g} s, "
              f"exact/gram {batch['exact_over_gram']:.2f}", file=sys.stderr, flush=True)
    if args.large or args.large_only:
        run_large(tovrin, args, peers, QUICK_DIVISOR if args.quick else 1, results)
    results["load_end"] = load_average()
    print(f"load average at the end: {results['load_end']}", file=sys.stderr, flush=True)
    (out / "results_gram.json").write_text(json.dumps(results, indent=1))
    write_markdown(out / "results_gram.md", results,
                   " ".join(["python3", "bench/bench_gram.py", *sys.argv[1:]]))
    if results["rows"]:
        write_plot(results["rows"], out / "results_gram.png")
    if results["large"]:
        write_large_plot(results["large"], out / "results_gram_large.png")
    print(f"wrote {out / 'results_gram.md'}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
