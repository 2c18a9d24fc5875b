"""Recover the amounts of known components in a measured mixture spectrum.

Each of five reference compounds has a spectrum made of a few Gaussian bands
on a common wavelength grid.  A measured spectrum is a non-negative mixture of
them plus noise.  Amounts cannot be negative, so the unmixing is a
non-negative least squares problem: minimise ||S*c - y|| subject to c >= 0,
where the columns of S are the reference spectra and y is the measurement.
"""
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


def main():
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


if __name__ == "__main__":
    main()
