"""A non-negative regression larger than the memory of any worker, on Dask.

Fitting non-negative coefficients to many more rows than one machine holds
(mixing proportions over a population, the loads of appliances behind the
meter readings of many households, a positive regression over a data lake)
is one problem min ||A x - b||, x >= 0, with A tall: m rows, n columns.
``tovrin.dask.nnls`` solves it from A as a dask array chunked by rows: one
pass over the row blocks sums the Gram form A^T A, A^T b, b^T b, the n x n
problem is solved in this process, and a second pass computes the true
residual and the duals A^T (b - A x) that certify the result.

Here A (by default 5 million rows x 200 columns of uniform entries, 8 GB) is
generated block by block from fixed seeds on two worker processes, each
allowed less memory than an eighth of A: no worker ever holds more than a
block or two.  The observations are b = A x_true + Gaussian noise, with
about half of x_true zero, so the fit's error is known.

    pip install .[dask] matplotlib && python3 examples/huge_regression.py

prints the time, the number of tasks, the workers' peak memory against the
budget of two blocks plus 4 n^2 doubles, and the fit's error; writes
examples/out/huge_regression.png (x against x_true, and a histogram of the
residual b - A x, which takes one more pass over A), printing its path.
"""
import argparse
import pathlib
import time

import numpy as np

import dask.array as da
from dask.distributed import Client, LocalCluster, get_task_stream

import tovrin.dask

NOISE = 0.5  # standard deviation of the noise on each observation
SHARE_ZERO = 0.5  # share of the true coefficients that are zero
BYTES_PER_DOUBLE = 8
MB = 1e6
HISTOGRAM_BINS = 120
HISTOGRAM_SIGMAS = 5.0  # the histogram's range, in noise standard deviations

# Where the figure goes unless --png names another file: a folder beside
# this script, made when missing.
OUTPUT = pathlib.Path(__file__).resolve().parent / "out" / "huge_regression.png"


def true_coefficients(n, seed):
    """x_true >= 0, about SHARE_ZERO of it exactly zero."""
    rng = np.random.default_rng([seed, n])
    return rng.uniform(0.5, 2.0, n) * (rng.random(n) >= SHARE_ZERO)


def design_rows(seed, index, shape):
    """The rows of A of row block `index`, entries uniform in [0, 1): the
    same numbers every time they are made."""
    return np.random.default_rng([seed, index]).random(shape)


def design_block(seed, block_info=None):
    """A block of A (map_blocks gives its place and shape)."""
    block = block_info[None]
    return design_rows(seed, block["chunk-location"][0], block["chunk-shape"])


def observation_block(x_true, seed, block_info=None):
    """The block of b: A x_true plus noise, from the block's rows of A made
    afresh here.  b then depends on no task of A, so that Dask fuses the
    making of each block of A into the task that reads it: a worker holds a
    block only while a task uses it."""
    block = block_info[None]
    index = block["chunk-location"][0]
    rows = block["chunk-shape"][0]
    a = design_rows(seed, index, (rows, x_true.size))
    noise = np.random.default_rng([seed, index, 1]).normal(0.0, NOISE, rows)
    return a @ x_true + noise


def tall_problem(m, n, block_rows, seed):
    """Lazy A (m, n) in row blocks of block_rows, b (m,) and x_true."""
    x_true = true_coefficients(n, seed)
    rows = (block_rows,) * (m // block_rows) + ((m % block_rows,) if m % block_rows else ())
    a = da.map_blocks(design_block, seed, chunks=(rows, (n,)), dtype=np.float64,
                      meta=np.empty((0, 0)))
    b = da.map_blocks(observation_block, x_true, seed, chunks=(rows,), dtype=np.float64,
                      meta=np.empty((0,)))
    return a, b, x_true


def reset_peak_memory():
    """Starts this process's peak resident memory afresh (Linux: writing 5
    to /proc/self/clear_refs resets VmHWM)."""
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")


def resident_memory():
    """(current, peak) resident bytes of this process, from /proc/self/status."""
    with open("/proc/self/status") as status:
        fields = dict(line.split(":", 1) for line in status)
    return (int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024)


def residual_histogram(a, b, x, scale):
    """Counts and edges of b - A x over every row (one more pass over A)."""
    limit = HISTOGRAM_SIGMAS * scale
    counts, edges = da.histogram(b - a @ x, bins=HISTOGRAM_BINS, range=(-limit, limit))
    return counts.compute(), edges


def save_figure(path, x, x_true, counts, edges, seconds, m, n):
    """PNG: x against x_true (the diagonal is a perfect fit), and the
    residual's histogram against the noise's density."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(12, 5), constrained_layout=True)
    top = 1.05 * max(x.max(), x_true.max())
    left.plot([0, top], [0, top], color="0.7", lw=1)
    left.scatter(x_true, x, s=14, color="C0")
    left.set_xlabel("true coefficient")
    left.set_ylabel("fitted coefficient x")
    left.set_title(f"x against the truth ({np.count_nonzero(x_true == 0)} true zeros)")
    width = edges[1] - edges[0]
    right.bar(edges[:-1], counts / (counts.sum() * width), width=width, align="edge",
              color="C1", label="residual b - A x")
    grid = np.linspace(edges[0], edges[-1], 400)
    right.plot(grid, np.exp(-0.5 * (grid / NOISE) ** 2) / (NOISE * np.sqrt(2 * np.pi)),
               color="k", lw=1, label=f"noise density, sd {NOISE}")
    right.set_xlabel("residual")
    right.set_ylabel("density")
    right.set_title("the residual over all rows")
    right.legend()
    fig.suptitle(f"tovrin.dask.nnls on a {m:,} x {n} A ({m * n * BYTES_PER_DOUBLE / 1e9:.1f} GB) "
                 f"in {seconds:.1f} s", fontsize=14)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=80)
    plt.close(fig)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=5_000_000, help="rows m of A")
    parser.add_argument("--columns", type=int, default=200, help="columns n of A")
    parser.add_argument("--block-rows", type=int, default=100_000, help="rows per block")
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    parser.add_argument("--memory-limit", default="1GB", help="memory limit per worker")
    parser.add_argument("--seed", type=int, default=23)
    parser.add_argument("--png", type=pathlib.Path, default=OUTPUT,
                        help=f"output picture (default {OUTPUT})")
    return parser.parse_args()


def main():
    args = parse_arguments()
    m, n = args.rows, args.columns
    a, b, x_true = tall_problem(m, n, args.block_rows, args.seed)
    block_bytes = max(a.chunks[0]) * n * BYTES_PER_DOUBLE
    budget = 2 * block_bytes + 4 * n * n * BYTES_PER_DOUBLE
    # Loopback only, one thread per worker process.
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, host="127.0.0.1",
                      memory_limit=args.memory_limit, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        limit = min(w.memory_manager.memory_limit for w in cluster.workers.values())
        client.run(reset_peak_memory)
        baseline = client.run(resident_memory)
        with get_task_stream(client) as stream:
            start = time.perf_counter()
            result = tovrin.dask.nnls(a, b).compute()
            seconds = time.perf_counter() - start
        peaks = client.run(resident_memory)
        counts, edges = residual_histogram(a, b, result.x, result.rnorm / np.sqrt(m))

    print(f"A: {m:,} x {n} ({m * n * BYTES_PER_DOUBLE / 1e9:.1f} GB) in {a.numblocks[0]} "
          f"row blocks of {block_bytes / MB:.0f} MB, made on {args.workers} workers "
          f"of {limit / MB:.0f} MB each")
    print(f"solved in {seconds:.1f} s, {len(stream.data)} tasks: status {result.status.name}, "
          f"method {result.method}, {result.iterations} iterations")
    for worker in sorted(peaks):
        above = peaks[worker][1] - baseline[worker][0]
        print(f"  worker {worker}: peak {peaks[worker][1] / MB:.0f} MB, {above / MB:.0f} MB "
              f"above its {baseline[worker][0] / MB:.0f} MB at the start (budget: 2 blocks + "
              f"4 n^2 doubles = {budget / MB:.0f} MB)")
    error = np.abs(result.x - x_true).max()
    zeros = np.count_nonzero((result.x == 0) & (x_true == 0))
    print(f"largest error of x: {error:.2e}; true zeros found exactly: {zeros} of "
          f"{np.count_nonzero(x_true == 0)}; rnorm / sqrt(m) = {result.rnorm / np.sqrt(m):.4f} "
          f"(noise {NOISE})")
    save_figure(args.png, result.x, x_true, counts, edges, seconds, m, n)
    print(f"x against x_true and the residual's histogram: {args.png.resolve()}")


if __name__ == "__main__":
    main()
