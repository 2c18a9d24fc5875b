"""Unmix a hyperspectral image cube on a Dask cluster.

Each pixel of a hyperspectral image records a spectrum: the reflectance in
each of a few hundred narrow bands.  Where a pixel covers several materials
(vegetation, soil, water, ...), its spectrum is, to a good approximation, a
non-negative mixture of the materials' spectra, the endmembers.  Unmixing
recovers the mixture amounts, the abundances, pixel by pixel:
minimise ||E a - y|| subject to a >= 0, where the columns of E are the
endmember spectra and y is the pixel's spectrum.  Every pixel shares E, so
the whole cube is one call of ``tovrin.dask.nnls`` with one problem per
pixel, spread over the workers of a ``dask.distributed`` cluster.

The cube is synthetic, so the error of the recovered abundances is known: the
true abundance maps are smooth blobs, zero over much of the image (which
plain least squares would turn into small negative amounts), and the pixels'
spectra carry Gaussian noise.  The cube is made on the workers, block by
block, and never passes through this process.

    pip install .[dask] matplotlib && python3 examples/unmix_cube.py

prints the throughput and the abundance error and writes
examples/out/unmix_cube.png (true and recovered abundance maps, and the
error of each, one column per material), printing its path.
"""
import argparse
import pathlib
import time

import numpy as np

import dask
import dask.array as da
from dask.distributed import Client, LocalCluster

import tovrin.dask

# Endmember spectra: reflectance between 0 and 1 as smooth functions of the
# wavelength in nm, built from logistic edges and Gaussian absorption bands.
# Each entry: (baseline, [(edge centre, edge width, step)], [(band centre,
# band width, depth)]).
ENDMEMBERS = {
    "vegetation": (0.04, [(710, 18, 0.45)], [(550, 30, -0.05), (1450, 60, 0.25),
                                             (1940, 70, 0.3), (680, 25, 0.03)]),
    "soil": (0.12, [(900, 400, 0.25)], [(2200, 60, 0.08), (1400, 50, 0.05)]),
    "water": (0.09, [(600, 60, -0.08)], [(970, 40, 0.005)]),
    "limestone": (0.35, [(500, 80, 0.1)], [(2330, 40, 0.15), (1900, 60, 0.05)]),
    "snow": (0.95, [(1100, 120, -0.6)], [(1030, 40, 0.1), (1500, 80, 0.25),
                                         (2000, 90, 0.2)]),
}
# Each abundance map is a sum of BLOBS Gaussian blobs, lowered by THRESHOLD
# and clipped at zero, so that every material is absent from part of the
# image; the blob width is a fraction of the image side.
BLOBS = 4
BLOB_WIDTH = 0.12
THRESHOLD = 0.35
NOISE = 0.005  # standard deviation of the noise on each band's reflectance


def endmember_spectra(wavelengths):
    """Matrix E (bands, endmembers): the reflectance of each material."""
    columns = []
    for baseline, edges, bands in ENDMEMBERS.values():
        r = np.full_like(wavelengths, baseline)
        for centre, width, step in edges:
            r += step / (1.0 + np.exp(-(wavelengths - centre) / width))
        for centre, width, depth in bands:
            r -= depth * np.exp(-0.5 * ((wavelengths - centre) / width) ** 2)
        columns.append(np.clip(r, 0.01, 1.0))
    return np.column_stack(columns)


def blob_centres(seed):
    """Centres (materials, BLOBS, 2) of the blobs, in units of the image side."""
    return np.random.default_rng(seed).uniform(0.0, 1.0, (len(ENDMEMBERS), BLOBS, 2))


def abundance_block(rows, width, centres):
    """True abundances (materials, pixels) of the image rows ``rows``.

    Pixels are numbered row by row: pixel (y, x) is column y * width + x.
    """
    y, x = np.meshgrid(rows / width, np.arange(width) / width, indexing="ij")
    pixels = np.stack([y.ravel(), x.ravel()], axis=1)
    maps = []
    for material in centres:
        d2 = ((pixels[:, None, :] - material[None, :, :]) ** 2).sum(axis=2)
        field = np.exp(-0.5 * d2 / BLOB_WIDTH ** 2).sum(axis=1)
        maps.append(np.clip(field - THRESHOLD, 0.0, None))
    return np.array(maps)


def observe_block(abundances, spectra, seed, block_id=None):
    """Spectra (bands, pixels) of a block: E times the abundances, plus noise."""
    rng = np.random.default_rng([seed, block_id[1]])
    clean = spectra @ abundances
    return clean + rng.normal(0.0, NOISE, clean.shape)


def synthetic_cube(size, bands, block_rows, seed):
    """Lazy (E, true abundances (materials, size*size), spectra (bands, size*size)).

    One block per ``block_rows`` image rows, made on whichever worker needs it.
    """
    spectra = endmember_spectra(np.linspace(400.0, 2500.0, bands))
    rows = da.arange(size, chunks=block_rows, dtype=np.float64)
    pixel_chunks = tuple(c * size for c in rows.chunks[0])
    truth = rows.map_blocks(abundance_block, size, blob_centres(seed),
                            new_axis=0, chunks=((len(ENDMEMBERS),), pixel_chunks),
                            dtype=np.float64, meta=np.empty((0, 0)))
    cube = truth.map_blocks(observe_block, spectra, seed,
                            chunks=((bands,), pixel_chunks),
                            dtype=np.float64, meta=np.empty((0, 0)))
    return spectra, truth, cube


def abundance_errors(recovered, truth):
    """Root-mean-square and largest error, and the share of absent materials
    (true abundance 0) that the solver set exactly to 0."""
    error = recovered - truth
    absent = truth == 0.0
    return (np.sqrt(np.mean(error ** 2)), np.max(np.abs(error)),
            np.count_nonzero(recovered[absent] == 0.0) / max(1, np.count_nonzero(absent)))


# Where the figure goes unless --png names another file: a folder beside
# this script, made when missing.
OUTPUT = pathlib.Path(__file__).resolve().parent / "out" / "unmix_cube.png"


def save_maps(path, truth, recovered, size, seconds):
    """PNG: one column per material; rows the true abundance map, the
    recovered one (the same colour scale) and the error, recovered - true
    (one symmetric scale for all materials)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(ENDMEMBERS)
    error = recovered - truth
    limit = np.abs(error).max()
    fig, axes = plt.subplots(3, len(names), figsize=(3.2 * len(names), 9.6),
                             constrained_layout=True)
    for k, name in enumerate(names):
        top = max(truth[k].max(), recovered[k].max())
        for row, (label, maps) in enumerate((("true", truth), ("recovered", recovered))):
            image = _show(axes[row, k], maps[k], size, f"{name}, {label}",
                          vmin=0.0, vmax=top, cmap="viridis")
        bar = fig.colorbar(image, ax=axes[:2, k], shrink=0.7)
        bar.set_label("abundance")
        errors = _show(axes[2, k], error[k], size, f"{name}, error",
                       vmin=-limit, vmax=limit, cmap="RdBu_r")
    bar = fig.colorbar(errors, ax=axes[2, :], shrink=0.9)
    bar.set_label("recovered - true")
    fig.suptitle(f"Abundances unmixed by tovrin.dask.nnls: {size}x{size} pixels, "
                 f"{len(names)} materials, {seconds:.1f} s", fontsize=15)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=80)
    plt.close(fig)


def _show(ax, values, size, title, **style):
    """One map as an image without axis ticks; returns the image."""
    image = ax.imshow(values.reshape(size, size), **style)
    ax.set_title(title, fontsize=12)
    ax.set_xticks([])
    ax.set_yticks([])
    return image


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=512, help="image side in pixels")
    parser.add_argument("--bands", type=int, default=200, help="spectral bands")
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    parser.add_argument("--block-rows", type=int, default=16,
                        help="image rows per block (block = rows x size pixels)")
    parser.add_argument("--seed", type=int, default=12)
    parser.add_argument("--png", type=pathlib.Path, default=OUTPUT,
                        help=f"output picture (default {OUTPUT})")
    return parser.parse_args()


def main():
    args = parse_arguments()
    start = time.perf_counter()
    # Loopback only, one thread per worker process; each block's solve then
    # runs on one thread (threads=1 below), so the workers fill the cores.
    with LocalCluster(n_workers=args.workers, threads_per_worker=1,
                      host="127.0.0.1", dashboard_address=None) as cluster, \
            Client(cluster):
        spectra, truth, cube = synthetic_cube(args.size, args.bands,
                                              args.block_rows, args.seed)
        truth, cube = dask.persist(truth, cube)
        dask.compute(cube.sum())
        ready = time.perf_counter()

        result = tovrin.dask.nnls(spectra, cube, threads=1)
        recovered, converged = dask.compute(result.x, result.converged)
        solved = time.perf_counter()
        truth = truth.compute()

    pixels = args.size * args.size
    rms, worst, zeros = abundance_errors(recovered, truth)
    print(f"cube {args.size}x{args.size} pixels x {args.bands} bands, "
          f"{len(ENDMEMBERS)} endmembers, {cube.numblocks[1]} blocks of "
          f"{args.block_rows * args.size} pixels, {args.workers} workers")
    print(f"cluster start and cube built on the workers: {ready - start:.1f} s")
    print(f"unmixed in {solved - ready:.2f} s: {pixels / (solved - ready):,.0f} pixels/s, "
          f"{np.count_nonzero(converged)} of {pixels} solved")
    print(f"abundance error: rms {rms:.2e}, largest {worst:.2e} "
          f"(noise {NOISE} per band); absent materials found exactly 0: {zeros:.1%}")
    save_maps(args.png, truth, recovered, args.size, solved - ready)
    print(f"true and recovered abundance maps and their errors: {args.png.resolve()}")


if __name__ == "__main__":
    main()
