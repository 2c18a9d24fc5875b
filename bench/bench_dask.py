"""Throughput of tovrin.dask.nnls on the example's cube, against the batch call.

Times, in one run and on the same data (the cube of examples/unmix_cube.py):
  - tovrin.nnls(E, cube) in this process, threads=1 and threads=all cores;
  - tovrin.dask.nnls(E, cube).compute() on a LocalCluster of 1 and of 2 worker
    processes (one thread each, threads=1 per block), the cube held in the
    workers' memory beforehand, every field brought back to this process;
  - the same with 2 workers over a range of block sizes;
  - the scheduler's cost per block, from a cube cut into one-pixel blocks.
Each time is the best of --repeats runs.  It prints ratios, which are what
can be compared on a shared machine, and the block size it recommends.

    pip install .[dask] && nice -n 10 python3 bench/bench_dask.py
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

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import unmix_cube  # noqa: E402

# The workers cannot import the example: its functions travel by value.
cloudpickle.register_pickle_by_value(unmix_cube)

# Blocks of one pixel, this many, measure the scheduler's cost per block.
OVERHEAD_BLOCKS = 2000
# A block size is recommended when the scheduler's cost is at most this share
# of the block's solve time.
OVERHEAD_SHARE = 0.02


def best_time(run, repeats):
    """Least wall-clock time of ``repeats`` calls of run()."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def cluster(workers):
    return LocalCluster(n_workers=workers, threads_per_worker=1, host="127.0.0.1",
                        dashboard_address=None)


def persisted_cube(args, block_rows):
    """The cube, made on the workers in blocks of block_rows image rows."""
    spectra, _, cube = unmix_cube.synthetic_cube(args.size, args.bands, block_rows, args.seed)
    cube = cube.persist()
    dask.compute(cube.sum())
    return spectra, cube


def time_dask(args, spectra, cube):
    result = tovrin.dask.nnls(spectra, cube, threads=1)
    return best_time(result.compute, args.repeats), result


def bench_batch(args):
    """Times of the batch call on the whole cube in this process: threads=1
    and every core with the columns contiguous (Fortran order), and threads=1
    on the cube as the blocks leave it (C order, each column strided)."""
    spectra, _, cube = unmix_cube.synthetic_cube(args.size, args.bands, args.block_rows, args.seed)
    strided = cube.compute(scheduler="threads")
    contiguous = np.asfortranarray(strided)
    runs = {"F": (contiguous, (1, None)), "C": (strided, (1,))}
    times = {(order, threads): best_time(lambda: tovrin.nnls(spectra, b, threads=threads),
                                         args.repeats)
             for order, (b, counts) in runs.items() for threads in counts}
    return times, tovrin.nnls(spectra, contiguous, threads=None)


def bench_workers(args, workers, expected):
    """Time of the default block size on a cluster of ``workers``; on 2 workers
    also the block-size sweep and the cost per block."""
    with cluster(workers) as local, Client(local):
        spectra, cube = persisted_cube(args, args.block_rows)
        seconds, result = time_dask(args, spectra, cube)
        computed = result.compute()
        identical = all(np.asarray(getattr(computed, f)).tobytes()
                        == np.asarray(getattr(expected, f)).tobytes()
                        for f in tovrin.dask.FIELDS)
        sweep, overhead = {}, None
        if workers == 1:
            overhead = bench_overhead(args, spectra)
        if workers == 2:
            for block_rows in args.sweep:
                spectra, cube = persisted_cube(args, block_rows)
                sweep[block_rows * args.size] = time_dask(args, spectra, cube)[0]
                del cube
    return seconds, identical, sweep, overhead


def bench_overhead(args, spectra):
    """Seconds per block beyond the solve: OVERHEAD_BLOCKS one-pixel blocks
    against the same pixels in one block, on one worker."""
    rng = np.random.default_rng(args.seed)
    pixels = spectra @ rng.uniform(0.0, 1.0, (spectra.shape[1], OVERHEAD_BLOCKS))
    one_block = da.from_array(pixels, chunks=pixels.shape).persist()
    many_blocks = da.from_array(pixels, chunks=(pixels.shape[0], 1)).persist()
    whole, _ = time_dask(args, spectra, one_block)
    split, _ = time_dask(args, spectra, many_blocks)
    return (split - whole) / (OVERHEAD_BLOCKS - 1)


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
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
    pixels = args.size * args.size
    print(f"cube {args.size}x{args.size} x {args.bands} bands, "
          f"{len(unmix_cube.ENDMEMBERS)} endmembers; {cores()} cores; "
          f"best of {args.repeats}", flush=True)
    batch, expected = bench_batch(args)
    print(f"batch tovrin.nnls, columns contiguous, threads=1: {batch['F', 1]:.3f} s; "
          f"threads={cores()}: {batch['F', None]:.3f} s; C order, threads=1: "
          f"{batch['C', 1]:.3f} s", flush=True)
    runs = {}
    for workers in (1, 2):
        runs[workers] = bench_workers(args, workers, expected)
        seconds, identical = runs[workers][:2]
        print(f"dask, {workers} worker(s), blocks of {args.block_rows * args.size} "
              f"pixels: {seconds:.3f} s, bit-identical to the batch: {identical}", flush=True)
    one, two = runs[1][0], runs[2][0]
    overhead, sweep = runs[1][3], runs[2][2]
    per_pixel = batch["F", 1] / pixels
    print("\nratios (time / time; batch on contiguous columns unless C order):")
    print(f"  dask 1 worker  / batch threads=1        {one / batch['F', 1]:.2f}")
    print(f"  dask 2 workers / batch threads={cores()}        {two / batch['F', None]:.2f}")
    print(f"  dask 2 workers / dask 1 worker          {two / one:.2f}")
    print(f"  batch threads={cores()} / threads=1           {batch['F', None] / batch['F', 1]:.2f}")
    print(f"  batch C order / contiguous, threads=1   {batch['C', 1] / batch['F', 1]:.2f}")
    print(f"\nthroughput: batch {pixels / batch['F', None]:,.0f} pixels/s, "
          f"dask 2 workers {pixels / two:,.0f} pixels/s")
    print(f"scheduler cost per block (1 worker, {OVERHEAD_BLOCKS} one-pixel blocks): "
          f"{overhead * 1e3:.2f} ms = the solve of {overhead / per_pixel:,.0f} pixels")
    print("\n2 workers, pixels per block -> time, throughput:")
    for block, seconds in sorted(sweep.items()):
        print(f"  {block:>7} ({pixels // block:>4} blocks): {seconds:.3f} s, "
              f"{pixels / seconds:,.0f} pixels/s")
    smallest = overhead / (OVERHEAD_SHARE * per_pixel)
    print(f"\nrecommended: blocks of at least {smallest:,.0f} pixels (scheduler cost "
          f"<= {OVERHEAD_SHARE:.0%} of the solve) and at least a few blocks per worker")


if __name__ == "__main__":
    main()
