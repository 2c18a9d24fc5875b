"""Recover the amounts of known components in a measured mixture spectrum.

Each of five reference compounds has a spectrum made of a few Gaussian bands
on a common wavelength grid.  A measured spectrum is a non-negative mixture of
them plus noise.  Amounts cannot be negative, so the unmixing is a
non-negative least squares problem: minimise ||S*c - y|| subject to c >= 0,
where the columns of S are the reference spectra and y is the measurement.

    python3 examples/unmix_pigments.py [--png FILE]

prints the amounts found against the true ones; with --png it also draws
the measurement, the fit and its parts, and the amounts beside those of
plain least squares (needs matplotlib).
"""
import argparse
import pathlib

import numpy as np

import tovrin

WAVELENGTHS = np.linspace(400.0, 700.0, 301)  # nm

# (centre nm, width nm, height) of the bands of each reference compound.
COMPOUNDS = {
    "chlorophyll a": [(430, 12, 1.0), (662, 10, 0.8)],
    "chlorophyll b": [(453, 14, 1.0), (642, 11, 0.6)],
    "beta-carotene": [(450, 18, 0.9), (478, 16, 1.0)],
    "lycopene": [(472, 15, 0.8), (503, 14, 1.0)],
    "phycocyanin": [(615, 25, 1.0)],
}
TRUE_AMOUNTS = np.array([0.8, 0.0, 1.5, 0.0, 0.4])


def band_spectrum(bands):
    """Sum of Gaussian bands sampled on WAVELENGTHS."""
    return sum(h * np.exp(-0.5 * ((WAVELENGTHS - c) / s) ** 2) for c, s, h in bands)


def unmix(references, measured):
    """Non-negative amounts c minimising ||references @ c - measured||."""
    res = tovrin.nnls(references, measured)
    if not res.converged:
        raise RuntimeError(f"solver stopped with status {res.status!r}")
    return res.x, res.rnorm


def draw(path, references, measured, amounts, unconstrained):
    """PNG: left the measurement, the fit and each compound's part of it;
    right the error of the amounts, tovrin's and plain least squares'."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 3.6), constrained_layout=True,
                                      gridspec_kw={"width_ratios": [3, 2]})
    left.plot(WAVELENGTHS, measured, color="0.6", lw=3, label="measured")
    for name, column, amount in zip(COMPOUNDS, references.T, amounts):
        if amount > 0:
            left.plot(WAVELENGTHS, amount * column, lw=1, label=f"{name} part")
    left.plot(WAVELENGTHS, references @ amounts, "k--", lw=1, label="fit")
    left.set_xlabel("wavelength (nm)")
    left.set_ylabel("absorbance")
    left.legend(fontsize=8)
    where = np.arange(len(COMPOUNDS))
    for shift, label, values in ((-0.2, "tovrin.nnls", amounts),
                                 (0.2, "least squares (amounts < 0 allowed)", unconstrained)):
        right.bar(where + shift, values - TRUE_AMOUNTS, width=0.4, label=label)
    right.axhline(0.0, color="k", lw=0.5)
    right.set_xticks(where, list(COMPOUNDS), rotation=30, ha="right", fontsize=8)
    right.set_ylabel("amount found - true amount")
    right.legend(fontsize=8)
    fig.suptitle("A spectrum unmixed into five known compounds")
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=80)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--png", type=pathlib.Path, help="also draw the unmixing into FILE")
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    references = np.column_stack([band_spectrum(b) for b in COMPOUNDS.values()])
    measured = references @ TRUE_AMOUNTS + rng.normal(0.0, 0.01, WAVELENGTHS.size)

    amounts, rnorm = unmix(references, measured)

    print(f"{'compound':<15}{'true':>8}{'found':>10}")
    for name, true, found in zip(COMPOUNDS, TRUE_AMOUNTS, amounts):
        print(f"{name:<15}{true:>8.3f}{found:>10.4f}")
    print(f"residual norm {rnorm:.4f} (noise level {0.01 * np.sqrt(WAVELENGTHS.size):.4f})")
    # Many measurements at once: one problem per column, on every core.
    batch = references @ np.outer(TRUE_AMOUNTS, [0.5, 1.0, 2.0])
    print("amounts of three mixtures at 0.5x, 1x, 2x:")
    print(np.array2string(tovrin.nnls(references, batch).x.T, precision=3, suppress_small=True))
    # Plain least squares, for comparison: nothing keeps its amounts >= 0.
    unconstrained = np.linalg.lstsq(references, measured, rcond=None)[0]
    print("unconstrained least squares:", np.array2string(unconstrained, precision=4))
    if args.png is not None:
        draw(args.png, references, measured, amounts, unconstrained)
        print(f"the unmixing drawn: {args.png.resolve()}")


if __name__ == "__main__":
    main()
