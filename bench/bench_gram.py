"""Benchmark of the Gram-form method against the exact method and QP peers.

    python3 bench/bench_gram.py [--sizes 100,200,500,1000,2000] [--repeats 3]
                                [--batch 10000] [--update]

Needs the package (pip install .), matplotlib and the peers of
bench/install_peers.sh (proxsuite, piqp, daqp, quadprog); a missing peer is
skipped.  Every problem is measured side by side in one run, each method in
turn, `--repeats` times, and the medians are compared:

  * exact: tovrin.nnls(A, b) (the bit-reproducible active-set method);
  * gram: tovrin.nnls(A, b, method="gram"), everything included (scaling,
    the Gram product A^T A and A^T b, the iterations, the residual);
  * product: the Gram product A^T A, A^T b alone (NumPy's BLAS);
  * the peers on min 1/2 x^T G x - (A^T b)^T x, x >= 0, their times
    including the same Gram product;
and the agreement of x with the exact method, and whether the passive sets
are equal.  Problems: Gaussian, tall (m = 2n) and square, b = A x_true +
noise with x_true >= 0 about half zero, from a fixed seed (those of
bench/run_bench.py).  The batch case: k right-hand sides with A of 200 x 20,
exact against gram, each with threads=None.

Large problems (--large): Gaussian tall 2000 x 1000 and 4000 x 2000, square
2000 x 2000, non-negative A (|N(0,1)| + 0.1, 80 % of x_true zero) and a
Gaussian-blur deconvolution (cond(A) about 1e19, spiky x_true), each with
method "gram", "auto" and "exact", the product A^T A alone, and the peers,
a peer counted only where its objective ||A max(x, 0) - b||^2 is within
1e-8 (relative) of that of tovrin's result; and the warm start: Gaussian
4000 x 2000, b perturbed by 1 %, nnls_gram from x0 = the previous solution
against nnls_gram from nothing (the Gram product excluded from both).

Results go to build/bench-gram/ (results_gram.md, .json, .png, and
results_gram_large.png for the large problems) unless
--update writes bench/results_gram.* (tracked).  Never part of the tests.
"""
import argparse
import json
import pathlib
import statistics
import sys
import time
import warnings

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
UNTRACKED = ROOT / "build" / "bench-gram"
FAMILIES = ("tall", "square")
PEERS = ("proxsuite", "piqp", "daqp", "quadprog")
# The peers' own stopping tolerances, tightened towards what the exact
# method delivers (their defaults stop near 1e-5).
PEER_TOLERANCE = 1e-9

sys.path.insert(0, str(HERE))
from run_bench import make_problem, shape  # noqa: E402  (same problems)


def median_time(call, repeats, min_seconds=0.05):
    """Median over `repeats` of the mean time of a call, each mean over as
    many calls as fill min_seconds (one at least)."""
    times = []
    for _ in range(repeats):
        calls, start = 0, time.perf_counter()
        while True:
            call()
            calls += 1
            spent = time.perf_counter() - start
            if spent >= min_seconds:
                break
        times.append(spent / calls)
    return statistics.median(times)


def medians_in_turns(calls, repeats):
    """The median time of each (key, call), the calls taking turns for
    `repeats` rounds so that a change of load on the shared machine falls on
    all of them alike."""
    times = {key: [] for key, _ in calls}
    for _ in range(repeats):
        for key, call in calls:
            times[key].append(median_time(call, 1))
    return {key: statistics.median(t) for key, t in times.items()}


def gram_product(a, b):
    return a.T @ a, a.T @ b


def peer_solver(name):
    """A function (a, b) -> x solving the Gram form with the named peer, or None."""
    n_of = lambda a: a.shape[1]  # noqa: E731
    try:
        if name == "proxsuite":
            import proxsuite

            def solve(a, b):
                g, c = gram_product(a, b)
                n = n_of(a)
                return proxsuite.proxqp.dense.solve(
                    H=g, g=-c, l_box=np.zeros(n), u_box=np.full(n, 1e30),
                    eps_abs=PEER_TOLERANCE).x
        elif name == "piqp":
            import piqp

            def solve(a, b):
                g, c = gram_product(a, b)
                n = n_of(a)
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
                n = n_of(a)
                return daqp.solve(g, -c, np.zeros((0, n)), np.full(n, 1e30), np.zeros(n),
                                  np.zeros(n, dtype=np.int32))[0]
        elif name == "quadprog":
            import quadprog

            def solve(a, b):
                g, c = gram_product(a, b)
                n = n_of(a)
                return quadprog.solve_qp(g, c, np.eye(n), np.zeros(n))[0]
        else:
            return None
    except ImportError:
        return None
    return solve


def agreement(x, x_ref):
    return float(np.max(np.abs(x - x_ref)) / max(1e-300, float(np.max(np.abs(x_ref)))))


def measure_problem(tovrin, family, n, repeats, peers, peer_limit):
    m, n_ = shape(family, n)
    a, b = make_problem(m, n_, 1000 * ("tall", "square", "wide").index(family) + n)
    exact = tovrin.nnls(a, b)
    gram = tovrin.nnls(a, b, method="gram")
    row = {"family": family, "m": m, "n": n_,
           "gram_status": int(gram.status),
           "x_agreement": agreement(gram.x, exact.x),
           "passive_equal": bool((gram.passive == exact.passive).all()),
           "peer_s": {}, "peer_agreement": {}}
    solvers = {name: peer_solver(name) for name in peers}
    xs = {}
    for name, solve in solvers.items():
        if solve is None or m * n_ * n_ > peer_limit:
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                xs[name] = np.asarray(solve(a, b))
            except Exception as exc:  # a peer that fails on a problem is reported
                row["peer_agreement"][name] = f"failed: {exc}"
    calls = [("exact_s", lambda: tovrin.nnls(a, b)),
             ("gram_s", lambda: tovrin.nnls(a, b, method="gram")),
             ("product_s", lambda: gram_product(a, b))]
    calls += [(name, (lambda s=solvers[name]: s(a, b))) for name in xs]
    medians = medians_in_turns(calls, repeats)
    for key, _ in calls:
        value = medians[key]
        if key in xs:
            row["peer_s"][key] = value
            row["peer_agreement"][key] = agreement(xs[key], exact.x)
        else:
            row[key] = value
    fastest = min(row["peer_s"].values()) if row["peer_s"] else None
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
    times = {"exact_s": [], "gram_s": [], "gram_1_thread_s": []}
    for _ in range(repeats):
        times["exact_s"].append(median_time(lambda: tovrin.nnls(a, b), 1))
        times["gram_s"].append(median_time(lambda: tovrin.nnls(a, b, method="gram"), 1))
        times["gram_1_thread_s"].append(
            median_time(lambda: tovrin.nnls(a, b, method="gram", threads=1), 1))
    row = {key: statistics.median(v) for key, v in times.items()}
    row.update(k=k, m=200, n=20, exact_over_gram=row["exact_s"] / row["gram_s"],
               x_agreement=agreement(gram.x, exact.x),
               passive_equal=bool((gram.passive == exact.passive).all()),
               flagged=int(np.count_nonzero(gram.status != 1)))
    return row


def make_large(family, m, n, seed):
    """A (column-major) and b of the large problems."""
    rng = np.random.default_rng(seed)
    if family.startswith("gaussian"):
        return make_problem(m, n, seed)
    if family == "non-negative":
        a = np.asfortranarray(np.abs(rng.standard_normal((m, n))) + 0.1)
        x_true = np.abs(rng.standard_normal(n))
        x_true[rng.random(n) < 0.8] = 0.0
        return a, a @ x_true + 0.01 * rng.standard_normal(m)
    # A Gaussian blur of width 0.02 from n sources to m samples on [0, 1],
    # 30 spikes.
    t = np.linspace(0.0, 1.0, m)[:, None]
    s = np.linspace(0.0, 1.0, n)[None, :]
    a = np.asfortranarray(np.exp(-0.5 * ((t - s) / 0.02) ** 2))
    x_true = np.zeros(n)
    x_true[rng.choice(n, 30, replace=False)] = 1.0 + 5.0 * rng.random(30)
    return a, a @ x_true + 1e-3 * rng.standard_normal(m)


def objective(a, b, x):
    r = a @ np.maximum(x, 0.0) - b
    return float(r @ r)


def measure_large(tovrin, family, m, n, repeats, peers):
    a, b = make_large(family, m, n, m + n)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        runs = {"exact": tovrin.nnls(a, b), "gram": tovrin.nnls(a, b, method="gram"),
                "auto": tovrin.nnls(a, b, method="auto")}
    ours = objective(a, b, runs["auto"].x)
    row = {"family": family, "m": m, "n": n, "peer_s": {}, "peer_objective": {},
           "gram_status": int(runs["gram"].status), "auto_method": runs["auto"].method,
           "gram_iterations": int(runs["gram"].iterations),
           "x_agreement": agreement(runs["gram"].x, runs["exact"].x),
           "objective_agreement": abs(objective(a, b, runs["gram"].x) - objective(
               a, b, runs["exact"].x)) / max(1e-300, objective(a, b, runs["exact"].x))}
    solvers = {name: peer_solver(name) for name in peers}
    counted = {}
    for name, solve in solvers.items():
        if solve is None:
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                value = objective(a, b, np.asarray(solve(a, b)))
            except Exception as exc:  # a peer that fails on a problem is reported
                row["peer_objective"][name] = f"failed: {exc}"
                continue
        row["peer_objective"][name] = (value - ours) / max(1e-300, ours)
        counted[name] = solve
    row["peer_counted"] = [name for name in counted
                           if row["peer_objective"][name] <= OBJECTIVE_MATCH]

    def quiet(method):
        def call():
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                tovrin.nnls(a, b, method=method)
        return call

    calls = [("gram_s", quiet("gram")), ("auto_s", quiet("auto")), ("exact_s", quiet("exact")),
             ("ata_s", lambda: a.T @ a)]
    calls += [(name, (lambda s=solve: s(a, b))) for name, solve in counted.items()]
    medians = medians_in_turns(calls, repeats)
    for key, _ in calls:
        value = medians[key]
        if key in counted:
            row["peer_s"][key] = value
        else:
            row[key] = value
    # Ratios against the fastest peer whose objective matches; where none
    # does, against the fastest of all (marked in the table).
    pool = row["peer_counted"] or list(row["peer_s"])
    row["fastest_peer"] = min(pool, key=row["peer_s"].get) if pool else None
    fastest = row["peer_s"][row["fastest_peer"]] if pool else None
    row["peer_over_gram"] = fastest / row["gram_s"] if fastest else None
    row["peer_over_auto"] = fastest / row["auto_s"] if fastest else None
    row["gram_over_ata"] = row["gram_s"] / row["ata_s"]
    return row


def measure_warm_start(tovrin, m, n, repeats):
    """nnls_gram after a 1 % perturbation of b, from x0 = the previous
    solution and from nothing, the Gram product formed beforehand."""
    a, b = make_problem(m, n, m + n)
    rng = np.random.default_rng(17)
    g = a.T @ a
    previous = tovrin.nnls_gram(g, a.T @ b)
    c = a.T @ (b * (1.0 + 0.01 * rng.standard_normal(m)))
    cold = tovrin.nnls_gram(g, c)
    warm = tovrin.nnls_gram(g, c, x0=previous.x)
    times = {"cold_s": [], "warm_s": []}
    for _ in range(repeats):
        times["cold_s"].append(median_time(lambda: tovrin.nnls_gram(g, c), 1))
        times["warm_s"].append(median_time(lambda: tovrin.nnls_gram(g, c, x0=previous.x), 1))
    row = {key: statistics.median(v) for key, v in times.items()}
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


def large_lines(large, warm):
    lines = ["", "## Large problems", "",
             "Every time includes the Gram product.  The ratios are against the fastest peer "
             f"whose objective is within {OBJECTIVE_MATCH:g} (relative) of tovrin's; where no "
             "peer's is, against the fastest of all, marked *.", "",
             "| problem | m | n | gram (s) | auto (s) | exact (s) | A^T A (s) | "
             + " | ".join(f"{p} (s)" for p in PEERS)
             + " | fastest peer/gram | fastest peer/auto | gram/A^T A | gram status | "
             "auto method | gram rounds | x agreement | objective agreement |",
             "|" + "---|" * (15 + len(PEERS))]
    for r in large:
        mark = "" if r["peer_counted"] else "*"
        peers = " | ".join(fmt(r["peer_s"].get(p)) + ("" if p in r["peer_counted"] else " (x)")
                           if p in r["peer_s"] else "–" for p in PEERS)
        lines.append(
            f"| {r['family']} | {r['m']} | {r['n']} | {fmt(r['gram_s'])} | {fmt(r['auto_s'])} | "
            f"{fmt(r['exact_s'])} | {fmt(r['ata_s'])} | {peers} | {fmt(r['peer_over_gram'])}{mark} | "
            f"{fmt(r['peer_over_auto'])}{mark} | {fmt(r['gram_over_ata'])} | {r['gram_status']} | "
            f"{r['auto_method']} | {r['gram_iterations']} | {fmt(r['x_agreement'], 2)} | "
            f"{fmt(r['objective_agreement'], 2)} |")
    lines += ["", "(x): the peer's objective is not within the match.  Peer objectives relative "
              "to tovrin's (positive: worse):", ""]
    for r in large:
        lines.append(f"- {r['family']} {r['m']}x{r['n']}: " + ", ".join(
            f"{p} {fmt(v, 2)}" for p, v in r["peer_objective"].items()))
    if warm:
        lines += ["", f"## Warm start: Gaussian {warm['m']} x {warm['n']}, b perturbed by 1 %", "",
                  "nnls_gram on a formed Gram product.", "",
                  "| cold (s) | from x0 (s) | from x0 / cold | cold iterations | "
                  "iterations from x0 | x agreement |", "|---|---|---|---|---|---|",
                  f"| {fmt(warm['cold_s'])} | {fmt(warm['warm_s'])} | "
                  f"{fmt(warm['warm_over_cold'])} | {warm['cold_iterations']} | "
                  f"{warm['warm_iterations']} | {fmt(warm['x_agreement'], 2)} |"]
    return lines


def write_markdown(rows, batch, path, large=(), warm=None):
    lines = ["# Gram-form method: benchmark", "",
             "Produced by `python3 bench/bench_gram.py`; medians of repeated runs, all methods "
             "in turn in one run; every Gram and peer time includes the Gram product.", "",
             "| family | m | n | exact (s) | gram (s) | product (s) | exact/gram | "
             + " | ".join(f"{p} (s)" for p in PEERS)
             + " | fastest peer/gram | x agreement | passive sets equal | status |",
             "|" + "---|" * (11 + len(PEERS))]
    for r in rows:
        peers = " | ".join(fmt(r["peer_s"].get(p)) for p in PEERS)
        lines.append(
            f"| {r['family']} | {r['m']} | {r['n']} | {fmt(r['exact_s'])} | {fmt(r['gram_s'])} | "
            f"{fmt(r['product_s'])} | {fmt(r['exact_over_gram'])} | {peers} | "
            f"{fmt(r['fastest_peer_over_gram'])} | {fmt(r['x_agreement'], 2)} | "
            f"{fmt(r['passive_equal'])} | {r['gram_status']} |")
    lines += ["", "x agreement: max|x_gram - x_exact| / max|x_exact|.  Peer agreement:", ""]
    for r in rows:
        lines.append(f"- {r['family']} {r['m']}x{r['n']}: "
                     + ", ".join(f"{p} {fmt(v, 2)}" for p, v in r["peer_agreement"].items()))
    if batch:
        lines += ["", f"## {batch['k']} right-hand sides, A of 200 x 20", "",
                  "| exact (s) | gram (s) | gram, 1 thread (s) | exact/gram | x agreement | "
                  "passive sets equal | flagged |", "|---|---|---|---|---|---|---|",
                  f"| {fmt(batch['exact_s'])} | {fmt(batch['gram_s'])} | "
                  f"{fmt(batch['gram_1_thread_s'])} | {fmt(batch['exact_over_gram'])} | "
                  f"{fmt(batch['x_agreement'], 2)} | {fmt(batch['passive_equal'])} | "
                  f"{batch['flagged']} |"]
    if large or warm:
        lines += large_lines(large, warm)
    path.write_text("\n".join(lines) + "\n")


def write_large_plot(large, path):
    """Bars: each large problem's time by method, peers included."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    keys = [("gram_s", "tovrin gram"), ("auto_s", "tovrin auto"), ("exact_s", "tovrin exact"),
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
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="100,200,500,1000,2000")
    parser.add_argument("--families", default=",".join(FAMILIES))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--batch", type=int, default=10000,
                        help="right-hand sides of the batch case (0: skip)")
    parser.add_argument("--peers", default=",".join(PEERS))
    parser.add_argument("--peer-limit", type=float, default=2e10,
                        help="skip the peers where m n^2 exceeds this")
    parser.add_argument("--large", action="store_true",
                        help="also the large problems and the warm start")
    parser.add_argument("--large-only", action="store_true",
                        help="only the large problems and the warm start")
    parser.add_argument("--update", action="store_true",
                        help="write bench/results_gram.* instead of build/bench-gram/")
    args = parser.parse_args()
    import tovrin

    out = HERE if args.update else UNTRACKED
    out.mkdir(parents=True, exist_ok=True)
    peers = [p for p in args.peers.split(",") if p]
    rows = []
    sizes = [] if args.large_only else [int(s) for s in args.sizes.split(",")]
    for n in sizes:
        for family in args.families.split(","):
            print(f"{family} n={n} ...", file=sys.stderr, flush=True)
            row = measure_problem(tovrin, family, n, args.repeats, peers, args.peer_limit)
            rows.append(row)
            print("  exact {exact_s:.3g} s, gram {gram_s:.3g} s (product {product_s:.3g} s), "
                  "exact/gram {exact_over_gram:.2f}, fastest peer/gram {p}".format(
                      p=fmt(row["fastest_peer_over_gram"]), **row), file=sys.stderr, flush=True)
    batch = warm = None
    large = []
    if args.large or args.large_only:
        for family, m, n in LARGE:
            print(f"{family} {m}x{n} ...", file=sys.stderr, flush=True)
            row = measure_large(tovrin, family, m, n, args.repeats, peers)
            large.append(row)
            print("  gram {gram_s:.3g} s, auto {auto_s:.3g} s, A^T A {ata_s:.3g} s, "
                  "fastest peer/gram {p}, /auto {q}".format(
                      p=fmt(row["peer_over_gram"]), q=fmt(row["peer_over_auto"]), **row),
                  file=sys.stderr, flush=True)
        print("warm start ...", file=sys.stderr, flush=True)
        warm = measure_warm_start(tovrin, 4000, 2000, args.repeats)
        print("  cold {cold_s:.3g} s, from x0 {warm_s:.3g} s".format(**warm), file=sys.stderr)
    if args.batch and not args.large_only:
        print(f"batch k={args.batch} ...", file=sys.stderr, flush=True)
        batch = measure_batch(tovrin, args.batch, args.repeats)
        print(f"  exact {batch['exact_s']:.3g} s, gram {batch['gram_s']:.3g} s, "
              f"exact/gram {batch['exact_over_gram']:.2f}", file=sys.stderr, flush=True)
    (out / "results_gram.json").write_text(
        json.dumps({"rows": rows, "batch": batch, "large": large,
                    "warm_start": warm}, indent=1))
    write_markdown(rows, batch, out / "results_gram.md", large, warm)
    if rows:
        write_plot(rows, out / "results_gram.png")
    if large:
        write_large_plot(large, out / "results_gram_large.png")
    print(f"wrote {out / 'results_gram.md'}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
