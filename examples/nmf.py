"""Non-negative matrix factorisation by alternating non-negative least squares.

X (m x N, non-negative) is approximated by W H with W (m x r) and H (r x N)
both non-negative.  Each outer iteration solves two families of problems
exactly (ANLS):

    H  = argmin ||W H - X||     over H >= 0:   N problems sharing W;
    W' = argmin ||H' W' - X'||  over W >= 0:   m problems sharing H'.

Each family is one call of ``tovrin.nnls(..., method="gram")``, the Gram
method solving its many right-hand sides together by block pivoting.  From
one outer iteration to the next the factors change little, and so do the
sets of their non-zero entries: passing the previous factor as ``x0`` starts
every problem from the free set it had.  Both runs below start from the same
random factors and take the same iterates (the solution of each problem does
not depend on its start), so their errors agree; only the time differs.

What to expect: after ten outer iterations, the 4000 problems of the H step
take 1 round (1797 of them), 2 (2036) or 3 (167) with warm starts, against
2 (1454), 3 (2393) or 4 (153) from a cold start.  A cold start begins at
the unconstrained minimiser, whose one factor all problems share, so the
rounds that need a factor of their own are about as many either way; the
Gram products and the residual norms, the same in both runs, take most of
an outer iteration, and warm starts save about a tenth of it here.

The data are made here: a product of random sparse non-negative factors of
rank r plus a little noise.

    python3 examples/nmf.py [--m 400] [--samples 4000] [--rank 20]
                            [--iterations 30] [--out build/nmf]

prints the relative error ||X - W H|| / ||X|| and the time of each outer
iteration with and without warm starts, and draws the convergence curves
(error against time) into the folder --out (nmf.png with matplotlib, else
nmf.csv), printing its path.
"""
import argparse
import pathlib
import time

import numpy as np

import tovrin


def nnls_many(a, b, start):
    """x >= 0 minimising ||a x - b|| column by column by the Gram method,
    each column starting from the free set {i : start[i, j] > 0} when start
    is given."""
    return tovrin.nnls(a, b, method="gram", x0=start).x


def make_data(m, samples, rank, seed):
    """X = W H + noise >= 0, W and H about half zero."""
    rng = np.random.default_rng(seed)
    w = np.abs(rng.standard_normal((m, rank))) * (rng.random((m, rank)) < 0.5)
    h = np.abs(rng.standard_normal((rank, samples))) * (rng.random((rank, samples)) < 0.5)
    x = w @ h + 0.01 * np.abs(rng.standard_normal((m, samples)))
    return np.ascontiguousarray(x)


def outer_iteration(x, xt, w, h, warm):
    """One outer iteration from (w, h): H, then W; the new factors."""
    h = nnls_many(w, x, h if warm else None)
    wt = nnls_many(np.ascontiguousarray(h.T), xt, np.ascontiguousarray(w.T) if warm else None)
    return np.ascontiguousarray(wt.T), h


def anls(x, w0, h0, iterations):
    """Alternating NNLS from (w0, h0), cold and warm started in turns (so
    that both see the same load on a shared machine); for each, the relative
    error after each outer iteration and the time each took."""
    norm = np.linalg.norm(x)
    xt = np.ascontiguousarray(x.T)
    factors = {False: (w0, h0), True: (w0, h0)}
    errors = {False: [], True: []}
    times = {False: [], True: []}
    for _ in range(iterations):
        for warm in (False, True):
            start = time.perf_counter()
            w, h = outer_iteration(x, xt, *factors[warm], warm)
            times[warm].append(time.perf_counter() - start)
            errors[warm].append(np.linalg.norm(x - w @ h) / norm)
            factors[warm] = (w, h)
    return {name: (np.array(errors[warm]), np.array(times[warm]))
            for name, warm in (("cold start", False), ("warm start", True))}


def draw(out, curves):
    """Error against cumulative time for each run: nmf.png where matplotlib
    is installed, else the same numbers in nmf.csv.  Returns the path."""
    out.mkdir(parents=True, exist_ok=True)
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        path = out / "nmf.csv"
        with open(path, "w") as f:
            f.write("run,iteration,seconds,relative_error\n")
            for name, (errors, times) in curves.items():
                for i, (e, t) in enumerate(zip(errors, np.cumsum(times))):
                    f.write(f"{name},{i + 1},{t:.6f},{e:.9e}\n")
        return path
    fig, ax = plt.subplots(figsize=(6, 4), constrained_layout=True)
    for name, (errors, times) in curves.items():
        ax.semilogy(np.cumsum(times), errors, marker=".", label=name)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("||X - W H|| / ||X||")
    ax.set_title("NMF by alternating NNLS (tovrin, method='gram')")
    ax.legend()
    path = out / "nmf.png"
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


def parse():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--m", type=int, default=400, help="rows of X (features)")
    parser.add_argument("--samples", type=int, default=4000, help="columns of X")
    parser.add_argument("--rank", type=int, default=20)
    parser.add_argument("--iterations", type=int, default=30)
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path("build") / "nmf")
    return parser.parse_args()


def main():
    args = parse()
    x = make_data(args.m, args.samples, args.rank, seed=1)
    rng = np.random.default_rng(2)
    w0 = np.abs(rng.standard_normal((args.m, args.rank)))
    h0 = np.abs(rng.standard_normal((args.rank, args.samples)))
    curves = anls(x, w0, h0, args.iterations)
    cold, warm = curves["cold start"], curves["warm start"]
    print(f"X {args.m} x {args.samples}, rank {args.rank}, {args.iterations} outer iterations")
    print(" iter   cold: error     ms   warm: error     ms")
    for i in range(args.iterations):
        print(f"{i + 1:5d}  {cold[0][i]:12.6e} {1e3 * cold[1][i]:6.1f}  "
              f"{warm[0][i]:12.6e} {1e3 * warm[1][i]:6.1f}")
    # The first outer iteration of either run starts from the same factors.
    later = slice(1, None) if args.iterations > 1 else slice(None)
    ratio = np.median(warm[1][later]) / np.median(cold[1][later])
    print(f"median time per outer iteration after the first: cold "
          f"{1e3 * np.median(cold[1][later]):.1f} ms, warm {1e3 * np.median(warm[1][later]):.1f} ms "
          f"(warm / cold = {ratio:.2f})")
    print(f"largest difference of the errors: {np.max(np.abs(cold[0] - warm[0])):.1e}")
    print(f"convergence curves: {draw(args.out, curves)}")


if __name__ == "__main__":
    main()
