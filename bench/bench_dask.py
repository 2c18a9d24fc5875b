"""Throughput of tovrin.dask.nnls: many right-hand sides (the cube), and one
tall A chunked by rows.

--part cube: times, in one run and on the same data (the cube of
examples/unmix_cube.py):
  - tovrin.nnls(E, cube) in this process: threads=1 and every core, with the
    columns contiguous (Fortran order), and threads=1 on the C-order cube;
  - tovrin.dask.nnls(E, cube, threads=1).compute() on a LocalCluster of 1 and
    of 2 worker processes (one thread each), the cube held in the workers'
    memory beforehand, every field brought back to this process.
These contenders take turns, --repeats rounds, so that the load of a shared
machine falls on all of them alike; each time is the best of its rounds.
Then, on 2 workers, a range of block sizes, and on 1 worker the scheduler's
cost per block (a cube cut into one-pixel blocks against one block).  It
prints ratios, which are what can be compared on a shared machine, and the
block size it recommends.

--part tall: on a LocalCluster of 2 one-thread workers, A of --rows x
--columns in row blocks of --block-rows (the problem of
examples/huge_regression.py), the whole call tovrin.dask.nnls(A, b) against
(A.T @ A).compute() on the same chunks, taking turns, medians of --repeats:
  - A and b persisted in the workers' memory (target: at most 1.5 times);
  - A and b made afresh from their seeds by each call (target: at most 2.3
    times: the certificate's pass reads A a second time);
then the workers' peak memory during a call on the unpersisted A against the
budget of 2 blocks + 4 n^2 doubles, and x against the in-memory solves
tovrin.nnls(A, b, method="gram") and the exact method (A gathered here).

Both reports also go to bench/out/bench_dask.txt (not tracked).

    pip install .[dask] && nice -n 10 python3 bench/bench_dask.py [--part tall]
"""
import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

import cloudpickle
import dask
import dask.array as da
from dask.distributed import Client, LocalCluster

import tovrin
import tovrin.dask

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))
import huge_regression  # noqa: E402
import unmix_cube  # noqa: E402

# The workers cannot import the examples: their functions travel by value.
cloudpickle.register_pickle_by_value(unmix_cube)
cloudpickle.register_pickle_by_value(huge_regression)

REPORT = HERE / "out" / "bench_dask.txt"
# Blocks of one pixel, this many, measure the scheduler's cost per block.
OVERHEAD_BLOCKS = 2000
# A block size is recommended when the scheduler's cost is at most this share
# of the block's solve time.
OVERHEAD_SHARE = 0.02
# The tall problem's targets: the whole call against (A.T @ A).compute().
PERSISTED_TARGET = 1.5
SOURCE_TARGET = 2.3
BYTES_PER_DOUBLE = 8
MB = 1e6


def cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def elapsed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def medians_in_turns(contenders, repeats):
    """Median time of each contender over ``repeats`` rounds, one run of
    each contender per round."""
    times = {name: [] for name in contenders}
    for _ in range(repeats):
        for name, run in contenders.items():
            times[name].append(elapsed(run))
    return {name: float(np.median(values)) for name, values in times.items()}


def best_in_turns(contenders, repeats):
    """Least time of each contender over ``repeats`` rounds, one run of each
    contender per round."""
    best = {name: float("inf") for name in contenders}
    for _ in range(repeats):
        for name, run in contenders.items():
            best[name] = min(best[name], elapsed(run))
    return best


def cluster(workers):
    return LocalCluster(n_workers=workers, threads_per_worker=1, host="127.0.0.1",
                        dashboard_address=None)


def persisted_cube(client, args, block_rows):
    """E and the cube, made on the client's workers in blocks of block_rows
    image rows and kept there."""
    spectra, _, cube = unmix_cube.synthetic_cube(args.size, args.bands, block_rows, args.seed)
    cube = client.persist(cube)
    client.compute(cube.sum(), sync=True)
    return spectra, cube


def dask_run(client, spectra, cube):
    """A call that solves the cube on the client's workers, every field
    brought back."""
    result = tovrin.dask.nnls(spectra, cube, threads=1)
    return lambda: result.compute(scheduler=client)


def same_result(computed, expected):
    return all(np.asarray(getattr(computed, f)).tobytes()
               == np.asarray(getattr(expected, f)).tobytes() for f in tovrin.dask.FIELDS)


def block_sweep(client, args):
    """Seconds of the whole cube for each block size in args.sweep (rows)."""
    seconds = {}
    for block_rows in args.sweep:
        spectra, cube = persisted_cube(client, args, block_rows)
        run = dask_run(client, spectra, cube)
        seconds[block_rows * args.size] = min(elapsed(run) for _ in range(args.repeats))
        del cube
    return seconds


def overhead_per_block(client, args, spectra):
    """Seconds per block beyond the solve: OVERHEAD_BLOCKS one-pixel blocks
    against the same pixels in one block."""
    rng = np.random.default_rng(args.seed)
    pixels = spectra @ rng.uniform(0.0, 1.0, (spectra.shape[1], OVERHEAD_BLOCKS))
    runs = {}
    for name, width in (("whole", OVERHEAD_BLOCKS), ("split", 1)):
        blocks = client.persist(da.from_array(pixels, chunks=(pixels.shape[0], width)))
        runs[name] = dask_run(client, spectra, blocks)
    best = best_in_turns(runs, args.repeats)
    return (best["split"] - best["whole"]) / (OVERHEAD_BLOCKS - 1)


def tall_report(args, report):
    """The tall problem: the whole call against the Gram product, persisted
    and from the source, the workers' peak memory and the agreement with
    the in-memory solves."""
    m, n = args.rows, args.columns
    block = args.tall_block_rows * n * BYTES_PER_DOUBLE
    report(f"tall A {m:,} x {n} in row blocks of {args.tall_block_rows:,} ({block / MB:.0f} MB), "
           f"b (m,); 2 workers of one thread; medians of {args.repeats} rounds in turns")
    with cluster(2) as local, Client(local) as client:
        a, b, _ = huge_regression.tall_problem(m, n, args.tall_block_rows, args.seed)
        held_a, held_b = client.persist([a, b])
        dask.compute(held_a.sum(), held_b.sum())
        # Another seed: other keys than the persisted blocks, made afresh.
        fresh_a, fresh_b, _ = huge_regression.tall_problem(m, n, args.tall_block_rows,
                                                           args.seed + 1)
        t = medians_in_turns({
            "A.T @ A, persisted": lambda: (held_a.T @ held_a).compute(),
            "tovrin.dask.nnls, persisted": lambda: tovrin.dask.nnls(held_a, held_b),
            "A.T @ A, from source": lambda: (fresh_a.T @ fresh_a).compute(),
            "tovrin.dask.nnls, from source": lambda: tovrin.dask.nnls(fresh_a, fresh_b),
        }, args.repeats)
        for name, seconds in t.items():
            report(f"  {name:<32} {seconds:7.3f} s")
        for kind, target in (("persisted", PERSISTED_TARGET), ("from source", SOURCE_TARGET)):
            ratio = t[f"tovrin.dask.nnls, {kind}"] / t[f"A.T @ A, {kind}"]
            report(f"  ratio, {kind}: {ratio:.2f} (target <= {target}: "
                   f"{'met' if ratio <= target else 'missed'})")
        client.run(huge_regression.reset_peak_memory)
        start = client.run(huge_regression.resident_memory)
        tovrin.dask.nnls(fresh_a, fresh_b)
        peaks = client.run(huge_regression.resident_memory)
        budget = 2 * block + 4 * n * n * BYTES_PER_DOUBLE
        for worker in sorted(peaks):
            above = peaks[worker][1] - start[worker][0]
            report(f"  worker peak during a call from source: {above / MB:.0f} MB above its "
                   f"{start[worker][0] / MB:.0f} MB (budget {budget / MB:.0f} MB: "
                   f"{'met' if above <= budget else 'missed'})")
        if args.check:
            solved = tovrin.dask.nnls(held_a, held_b).compute()
            whole_a, whole_b = dask.compute(held_a, held_b)
            for method in ("gram", "exact"):
                expected = tovrin.nnls(whole_a, whole_b, method=method)
                difference = np.abs(solved.x - expected.x).max() / np.abs(expected.x).max()
                report(f"  x against tovrin.nnls(method={method!r}) in memory: {difference:.1e} "
                       f"relative, statuses {solved.status.name} / {expected.status.name}")


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--part", choices=("cube", "tall", "all"), default="all")
    parser.add_argument("--rows", type=int, default=1_000_000, help="tall A: rows")
    parser.add_argument("--columns", type=int, default=200, help="tall A: columns")
    parser.add_argument("--tall-block-rows", type=int, default=100_000, help="tall A: block rows")
    parser.add_argument("--check", action="store_true",
                        help="tall A: compare x with the in-memory solves (A gathered here)")
    parser.add_argument("--size", type=int, default=512)
    parser.add_argument("--bands", type=int, default=200)
    parser.add_argument("--block-rows", type=int, default=16)
    parser.add_argument("--sweep", type=lambda s: [int(v) for v in s.split(",")],
                        default=[1, 4, 16, 64], help="block sizes in image rows")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seed", type=int, default=12)
    return parser.parse_args()


def main():
    args = parse_arguments()
    lines = []

    def report(line=""):
        print(line, flush=True)
        lines.append(line)

    if args.part in ("tall", "all"):
        tall_report(args, report)
    if args.part in ("cube", "all"):
        cube_report(args, report)
    REPORT.parent.mkdir(exist_ok=True)
    REPORT.write_text("\n".join(lines) + "\n")


def cube_report(args, report):
    """Many right-hand sides: the cube against the batch call, block sizes
    and the scheduler's cost per block."""
    pixels = args.size * args.size
    block = args.block_rows * args.size
    report(f"cube {args.size}x{args.size} x {args.bands} bands, "
           f"{len(unmix_cube.ENDMEMBERS)} endmembers, blocks of {block} pixels; "
           f"{cores()} cores; best of {args.repeats} rounds taken in turns")
    spectra, _, cube = unmix_cube.synthetic_cube(args.size, args.bands, args.block_rows,
                                                 args.seed)
    strided = cube.compute(scheduler="threads")
    contiguous = np.asfortranarray(strided)
    expected = tovrin.nnls(spectra, contiguous)
    with cluster(1) as local_1, Client(local_1, set_as_default=False) as one, \
            cluster(2) as local_2, Client(local_2, set_as_default=False) as two:
        contenders = {
            "batch, threads=1": lambda: tovrin.nnls(spectra, contiguous, threads=1),
            f"batch, threads={cores()}": lambda: tovrin.nnls(spectra, contiguous),
            "batch, C order, threads=1": lambda: tovrin.nnls(spectra, strided, threads=1),
            "dask, 1 worker": dask_run(one, *persisted_cube(one, args, args.block_rows)),
            "dask, 2 workers": dask_run(two, *persisted_cube(two, args, args.block_rows)),
        }
        for name in ("dask, 1 worker", "dask, 2 workers"):
            report(f"{name}: bit-identical to the batch: "
                   f"{same_result(contenders[name](), expected)}")
        t = best_in_turns(contenders, args.repeats)
        for name, seconds in t.items():
            report(f"  {name:<26} {seconds:7.3f} s  {pixels / seconds:>10,.0f} pixels/s")
        overhead = overhead_per_block(one, args, spectra)
        sweep = block_sweep(two, args)

    batch_1, batch_all = t["batch, threads=1"], t[f"batch, threads={cores()}"]
    dask_1, dask_2 = t["dask, 1 worker"], t["dask, 2 workers"]
    report("\nratios (time / time; batch on contiguous columns unless C order):")
    report(f"  dask 1 worker  / batch threads=1        {dask_1 / batch_1:.2f}")
    report(f"  dask 2 workers / batch threads={cores()}        {dask_2 / batch_all:.2f}")
    report(f"  dask 2 workers / dask 1 worker          {dask_2 / dask_1:.2f}")
    report(f"  batch threads={cores()} / threads=1           {batch_all / batch_1:.2f}")
    report(f"  batch C order / contiguous, threads=1   "
           f"{t['batch, C order, threads=1'] / batch_1:.2f}")
    per_pixel = batch_1 / pixels
    report(f"\nscheduler cost per block (1 worker, {OVERHEAD_BLOCKS} one-pixel blocks "
           f"against one block): {overhead * 1e3:.2f} ms = the solve of "
           f"{overhead / per_pixel:,.0f} pixels")
    report("2 workers, pixels per block: time, throughput")
    for size, seconds in sorted(sweep.items()):
        report(f"  {size:>7} ({pixels // size:>4} blocks): {seconds:.3f} s, "
               f"{pixels / seconds:,.0f} pixels/s")
    smallest = overhead / (OVERHEAD_SHARE * per_pixel)
    report(f"recommended: blocks of at least {smallest:,.0f} pixels (scheduler cost "
           f"<= {OVERHEAD_SHARE:.0%} of the solve), and several blocks per worker")


if __name__ == "__main__":
    main()
