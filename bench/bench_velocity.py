#!/usr/bin/env python3
"""Pre-filters and the outlier filter on sharp-peak pairs, and the fit of the uncertainty scale.

1. Sharp peaks: white noise and one-pixel particles (Gaussian spots of sigma 0.5 px), each moved by
   a known sub-pixel shift (the noise through a Fourier shift, the particles drawn again at their
   moved positions). For every pre-filter, with the outlier filter off and on: the share of grid
   points accepted and the median and 95th-percentile error of the accepted vectors, in pixels.
2. Uncertainty scale: textures bundled with scikit-image, each rotated by up to 1 degree about its
   centre and moved by a sub-pixel shift of up to 3 px (cubic splines). For each peak method the
   scale k of sigma = k x rms (rms_1 for columns, rms_2 for rows) is the 68th percentile of
   |error| / rms over both components of every accepted vector; the coverage that the scale in use
   reaches on each texture is printed beside it.

Chip 32, margin 12, grid step 16, peak method 2 (log fit). Prints tables only.

``--smoke`` runs both with one pair per case and two pre-filters (the second part only where
scikit-image is installed): the script's whole path in seconds.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import platform
import sys
import time

import numpy as np
from scipy import ndimage

import Talmek
import talmek_track
from talmek_track.options.values import parse_prefilter
from talmek_track.products.velocity import SIGMA_SCALE, vector_field

# The synthetic scenes the tests use too (tests/synthetic.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
import synthetic  # noqa: E402

PREFILTERS = ["none", "gauss:0.7", "gauss:1", "gauss:1.5", "highpass:3", "wallis:15"]
SIZE = 320


def params(peak: int = 2) -> Talmek.MatchingParams:
    p = Talmek.MatchingParams()
    p.peakmethod_ = peak
    p.chipwidth_ = p.chipheight_ = 32
    p.hoffset_ = p.voffset_ = 12
    p.row_interval_ = p.col_interval_ = 16
    p.start_row_ = p.start_col_ = 40
    return p


def to_uint8(a: np.ndarray) -> np.ndarray:
    return np.clip(np.rint(a), 0, 255).astype(np.uint8)


def noise_pair(rng, shift):
    a = rng.random((SIZE, SIZE)) * 255.0
    b = synthetic.shift(a, *shift)
    return to_uint8(a), to_uint8(b)


def particles_pair(rng, shift, density=0.05, sigma=0.5):
    n = int(density * SIZE * SIZE)
    pos = rng.random((n, 2)) * SIZE
    rr, cc = np.mgrid[0:SIZE, 0:SIZE]

    def draw(points):
        image = np.zeros((SIZE, SIZE))
        for r, c in points:
            r0, c0 = int(r), int(c)
            sl = (slice(max(r0 - 3, 0), r0 + 4), slice(max(c0 - 3, 0), c0 + 4))
            image[sl] += np.exp(-((rr[sl] - r) ** 2 + (cc[sl] - c) ** 2) / (2 * sigma**2))
        return image * 200.0

    return to_uint8(draw(pos)), to_uint8(draw(pos + np.asarray(shift)))


def texture_pair(image, shift, degrees):
    """image resampled under a rotation about its centre plus a shift, and the true (rows, cols)
    displacement at every pixel."""
    a = image.astype(np.float64)
    centre = (np.array(a.shape, float) - 1) / 2
    t = np.deg2rad(degrees)
    rot = np.array([[np.cos(t), -np.sin(t)], [np.sin(t), np.cos(t)]])
    grid = np.indices(a.shape, dtype=np.float64).reshape(2, -1)
    source = rot.T @ (grid - (centre + np.asarray(shift))[:, None]) + centre[:, None]
    b = ndimage.map_coordinates(a, source, order=3, mode="nearest").reshape(a.shape)
    truth = ((rot - np.eye(2)) @ (grid - centre[:, None]) + np.asarray(shift)[:, None]).reshape(2, *a.shape)
    return to_uint8(a), to_uint8(b), truth


def match(a, b, prefilter, truth, peak=2, filter="none"):
    """Accepted mask (of points inside the images, after the outlier filter) and the accepted
    vectors' errors and rms. truth is a (rows, cols) shift or a (2, rows, cols) displacement per
    pixel."""
    f = parse_prefilter(prefilter)
    p = params(peak)
    g = talmek_track.match_grid(f(a), f(b), p)
    rec = g.records.reshape(g.status.shape)
    status = vector_field(g.records, g.status.shape, p, image_rows=a.shape[0], filter=filter).grid("status")
    inside = g.status != talmek_track.Status.chip_outside
    ok = status == talmek_track.Status.accepted
    truth = np.asarray(truth, float)
    if truth.ndim == 1:
        ty, tx = np.full(ok.shape, truth[0]), np.full(ok.shape, truth[1])
    else:
        ty, tx = truth[0][rec["row1"], rec["col1"]], truth[1][rec["row1"], rec["col1"]]
    ex, ey = g.dx - tx, g.dy - ty
    return ok[inside], ex[ok], ey[ok], rec["rms_1"][ok].astype(float), rec["rms_2"][ok].astype(float)


def sharp_peaks(rng, pairs_per_case: int = 4, prefilters: list[str] = PREFILTERS) -> None:
    print("Sharp peaks: share of points inside the images accepted (after the outlier filter); error"
          "\n(px) of accepted vectors; share of column and row errors within sigma_x, sigma_y. "
          f"{pairs_per_case} pairs each.")
    head = (f"{'pair':<11}{'prefilter':<12}{'filter':<8}{'accepted':>9}{'med err':>9}{'p95 err':>9}"
            f"{'in 1 sigma':>11}")
    print(head)
    print("-" * len(head))
    shifts = [(rng.uniform(-3, 3), rng.uniform(-3, 3)) for _ in range(pairs_per_case)]
    for name, make in (("noise", noise_pair), ("particles", particles_pair)):
        pairs = [(make(rng, s), s) for s in shifts]
        for prefilter, filter in ((p, f) for p in prefilters for f in ("none", "median")):
            n = acc = 0
            errors, covered = [], []
            for (a, b), s in pairs:
                ok, ex, ey, r1, r2 = match(a, b, prefilter, s, filter=filter)
                n += ok.size
                acc += int(ok.sum())
                errors.append(np.hypot(ex, ey))
                k = SIGMA_SCALE[2]
                covered.append(np.concatenate([np.abs(ex) <= k * r1, np.abs(ey) <= k * r2]))
            e, c = np.concatenate(errors), np.concatenate(covered)
            med, p95 = (np.median(e), np.percentile(e, 95)) if e.size else (np.nan, np.nan)
            print(f"{name:<11}{prefilter:<12}{filter:<8}{100 * acc / n:>8.1f}%{med:>9.3f}{p95:>9.3f}"
                  f"{100 * c.mean() if c.size else np.nan:>10.1f}%")
    print()


def calibrate(rng, pairs_per_texture: int = 4) -> None:
    from skimage import data

    # The camera photograph is left out: the demo scores the fit on it.
    textures = {"brick": data.brick(), "grass": data.grass(), "gravel": data.gravel(),
                "moon": data.moon(), "text": data.text(), "coins": data.coins()}
    pairs = []
    for name, image in textures.items():
        for _ in range(pairs_per_texture):
            s = (rng.uniform(-3, 3), rng.uniform(-3, 3))
            pairs.append((name, *texture_pair(np.asarray(image, np.float64), s, rng.uniform(-1, 1))))
    print("Uncertainty scale k of sigma = k x rms per peak method: 68th percentile of |error| / rms "
          f"over both\ncomponents of the accepted vectors of 6 textures x {pairs_per_texture} pairs; coverage of "
          "SIGMA_SCALE per texture")
    head = f"{'peak':<6}{'components':>11}{'fitted k':>9}{'in use':>8}" + "".join(
        f"{name:>8}" for name in textures)
    print(head)
    print("-" * len(head))
    for peak in (1, 2, 3, 4):
        per_texture: dict[str, list] = {name: [] for name in textures}
        for name, a, b, truth in pairs:
            ok, ex, ey, r1, r2 = match(a, b, "none", truth, peak)
            with np.errstate(divide="ignore", invalid="ignore"):
                per_texture[name].append(np.concatenate([np.abs(ex) / r1, np.abs(ey) / r2]))
        ratios = {name: np.concatenate(r) for name, r in per_texture.items()}
        pooled = np.concatenate(list(ratios.values()))
        pooled = pooled[np.isfinite(pooled)]
        k = float(np.percentile(pooled, 68.27))
        used = SIGMA_SCALE[peak]
        print(f"{peak:<6}{pooled.size:>11}{k:>9.2f}{used:>8.2f}" + "".join(
            f"{100 * np.mean(r <= used):>7.1f}%" for r in ratios.values()))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--smoke", action="store_true", help="one pair per case: the script's path in seconds")
    args = ap.parse_args()
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, processor "
          f"{platform.processor() or platform.machine()}")
    rng = np.random.default_rng(2026)
    t0 = time.perf_counter()
    if not args.smoke:
        sharp_peaks(rng)
        calibrate(rng)
    else:
        sharp_peaks(rng, 1, PREFILTERS[::5])
        if importlib.util.find_spec("skimage") is None:
            print("uncertainty scale: skipped, scikit-image is not installed")
        else:
            calibrate(rng, 1)
    print(f"\n{time.perf_counter() - t0:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
