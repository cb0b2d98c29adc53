#!/usr/bin/env python3
"""Velocities of a synthetic glacier pair against its known truth, each method on and off.

The pair (tests/glacier_scene.py): SIZE x SIZE uint16 (12-bit values), 10 m UTM pixels, 30 days
apart, terrain-like texture, a curved glacier moving up to 6 px with shear margins, clouds (with
saturated cores) and haze in image 2, nodata patches, a brightness and contrast change and a
co-registration offset of (0.35, -0.25) px. Written as GeoTIFFs with a stable-ground mask on a
20 m grid and a cloud mask of image 2, and matched block by block as the command does (chip 32,
margin 10, step 16, wallis:15, median filter).

Printed per configuration, methods switched on one at a time from none to all:
- stable ground: the median of vx and vy there (m/yr), the offset left in every vector (the true
  offset minus the shift removed, m/yr) and the share of clear stable points with an accepted
  vector;
- ice: the median and 95th percentile of |v - v_true| (m/yr), the share of clear ice points with
  an accepted vector ("clear": no nodata or cloud in either chip, where a vector can be had);
- the share of ice error components within one vx_error / vy_error;
- blunders: accepted (not outlier) vectors more than 1 px from the truth, per 100,000 accepted;
- wall time of the matching.
Then the bias of dx and dy against a uniform fractional shift without and with refinement (peak
locking), and the coverage of the errors per pre-filter.

    bench_glacier.py [--size 4000] [--only NAME,...] [--smoke]

``--smoke`` runs it all on a 256 x 256 pair, the bias scan at two shifts and two pre-filters:
the script's whole path in seconds.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import machine  # noqa: E402

import talmek_track  # noqa: E402
from glacier_scene import DATES, glacier_scene, write_scene  # noqa: E402


@dataclass
class Config:
    name: str
    stable: str = "none"  # none, mask, slow
    refine: str = "none"
    backmatch: bool = False
    similarity: bool = False
    saturation: bool = False
    mask2: bool = False
    prefilter: str = "wallis:15"
    extra: dict = field(default_factory=dict)


ALL = dict(stable="mask", refine="cubic", backmatch=True, similarity=True, saturation=True)
CONFIGS = [
    Config("nothing"),
    Config("stable mask", stable="mask"),
    Config("stable slow", stable="slow"),
    Config("+ refine cubic", stable="mask", refine="cubic"),
    Config("+ back-match", stable="mask", refine="cubic", backmatch=True),
    Config("+ similarity", stable="mask", refine="cubic", backmatch=True, similarity=True),
    Config("+ saturated", **ALL),
    Config("+ cloud mask2", **ALL, mask2=True),
    Config("back-match alone", stable="mask", backmatch=True),
    Config("similarity alone", stable="mask", refine="cubic", similarity=True),
    Config("saturated alone", stable="mask", saturation=True),
    Config("cloud mask2 alone", stable="mask", mask2=True),
]
PREFILTERS = ["none", "gauss:1", "highpass:3", "wallis:15"]


def run(paths: dict[str, Path], config: Config) -> tuple[object, float]:
    options = dict(chip=32, margin=10, step=16, prefilter=config.prefilter, filter="median",
                   stable=str(paths["stable"]) if config.stable == "mask" else config.stable,
                   refine=config.refine, backmatch=config.backmatch, similarity=config.similarity,
                   saturation=config.saturation,
                   mask2=str(paths["clouds2"]) if config.mask2 else None)
    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = talmek_track.track_files(paths["image1"], paths["image2"], **options)
    return result, time.perf_counter() - t0


class Truth:
    def __init__(self, scene, result) -> None:
        rec = result.records
        self.rows, self.cols = rec["row1"].astype(int), rec["col1"].astype(int)
        self.dx, self.dy = scene.truth(self.rows, self.cols)  # what a match should find
        mx, my = scene.truth(self.rows, self.cols, offset=False)  # the ice's motion
        k = scene.px_per_year
        self.vx, self.vy = mx * k, -my * k
        self.v = np.hypot(self.vx, self.vy)
        self.ice = scene.ice[self.rows, self.cols]
        self.stable = scene.stable[self.rows, self.cols]
        self.clear = scene.clear(self.rows, self.cols, 16 + 1, 16 + 10 + 1)  # chip 32, margin 10
        self.k = k
        self.offset = scene.offset


def figures(truth: Truth, result) -> dict[str, float]:
    f = result.vector_field
    good = f.status == 1
    vals = f.values
    out: dict[str, float] = {}
    st = good & truth.stable
    out["stable_vx"] = float(np.median(vals["vx"][st])) if st.any() else np.nan
    out["stable_vy"] = float(np.median(vals["vy"][st])) if st.any() else np.nan
    # The offset left in every vector: the shift removed against the true offset.
    ox, oy = f.attrs.get("stable_shift_dx", 0.0), f.attrs.get("stable_shift_dy", 0.0)
    out["left_vx"] = (truth.offset[0] - ox) * truth.k
    out["left_vy"] = -(truth.offset[1] - oy) * truth.k
    ice = good & truth.ice
    err = np.abs(vals["v"][ice] - truth.v[ice])
    out["ice_med"] = float(np.median(err)) if err.size else np.nan
    out["ice_p95"] = float(np.percentile(err, 95)) if err.size else np.nan
    ex = np.abs(vals["vx"][ice] - truth.vx[ice])
    ey = np.abs(vals["vy"][ice] - truth.vy[ice])
    out["cover_x"] = float(np.mean(ex <= vals["vx_error"][ice])) if ex.size else np.nan
    out["cover_y"] = float(np.mean(ey <= vals["vy_error"][ice])) if ey.size else np.nan
    miss = np.hypot(vals["dx"] - truth.dx, vals["dy"] - truth.dy)
    n_good = int(good.sum())
    out["blunders"] = 1e5 * int((good & (miss > 1.0)).sum()) / max(n_good, 1)
    out["n_blunders"] = int((good & (miss > 1.0)).sum())
    out["accepted"] = n_good
    clear_ice, clear_stable = truth.clear & truth.ice, truth.clear & truth.stable
    out["ice_cov"] = float(np.mean(good[clear_ice])) if clear_ice.any() else np.nan
    out["stable_cov"] = float(np.mean(good[clear_stable])) if clear_stable.any() else np.nan
    return out


#: The shifts of the peak-locking scan: every tenth of a pixel.
SHIFTS = np.arange(0.0, 1.0001, 0.1)


def bias_scan(scene, folder: Path, refines: list[str], shifts=SHIFTS) -> None:
    """Peak locking: image 1 against itself moved by a uniform shift (Fourier shift) of every
    tenth of a pixel in both directions; the median error of dx and dy per shift."""
    import rasterio
    from rasterio.transform import Affine

    side = min(scene.shape[0], 800)
    first = scene.image1[:side, :side].astype(np.float64)
    valid = ~scene.nodata1[:side, :side]
    first[~valid] = np.median(first[valid])
    spectrum = np.fft.fft2(first)
    fr = np.fft.fftfreq(side)[:, None]
    fc = np.fft.fftfreq(side)[None, :]
    profile = dict(driver="GTiff", height=side, width=side, count=1, dtype="uint16", crs="EPSG:32633",
                   transform=Affine(*scene.transform))

    def write(path: Path, data: np.ndarray) -> None:
        with rasterio.open(path, "w", **profile) as ds:
            ds.write(np.clip(np.rint(data), 1, 4095).astype(np.uint16), 1)

    write(folder / "scan1.tif", first)
    print("\nPeak locking: median error (px) of dx, dy under a uniform shift of (f, -f) px "
          "(image 1 against itself, Fourier-shifted; chip 32, wallis:15)")
    print(f"  {'f':>4} " + " ".join(f"{'refine ' + r:>22}" for r in refines))
    worst = {r: 0.0 for r in refines}
    for f in shifts:
        shifted = np.fft.ifft2(spectrum * np.exp(-2j * np.pi * (fc * f + fr * -f))).real
        write(folder / "scan2.tif", shifted)
        cells = []
        for refine in refines:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                result = talmek_track.track_files(folder / "scan1.tif", folder / "scan2.tif", chip=32,
                                                  margin=10, step=16, refine=refine, backmatch=False,
                                                  similarity=False, saturation=False)
            v = result.vector_field
            good = v.status == 1
            ex = float(np.median(v.values["dx"][good] - f))
            ey = float(np.median(v.values["dy"][good] + f))
            worst[refine] = max(worst[refine], abs(ex), abs(ey))
            cells.append(f"dx {ex:+.4f} dy {ey:+.4f}")
        print(f"  {f:4.1f} " + " ".join(f"{c:>22}" for c in cells))
    print("  largest |median error|: " + ", ".join(f"refine {r} {w:.4f} px" for r, w in worst.items()))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=4000)
    parser.add_argument("--only", default=None, help="comma-separated configuration names")
    parser.add_argument("--no-prefilters", action="store_true")
    parser.add_argument("--smoke", action="store_true",
                        help="a tiny pair and short scans: the script's path in seconds")
    args = parser.parse_args()
    shifts, prefilters = SHIFTS, PREFILTERS
    if args.smoke:
        args.size, shifts, prefilters = 256, np.array([0.0, 0.5]), PREFILTERS[::3]
    print(machine.describe())
    t0 = time.perf_counter()
    scene = glacier_scene(args.size)
    print(f"scene {args.size} x {args.size}, made in {time.perf_counter() - t0:.0f} s; "
          f"{DATES[0]:%Y-%m-%d} to {DATES[1]:%Y-%m-%d}; 1 px = {scene.px_per_year:.1f} m/yr; "
          f"offset {scene.offset} px; true speed up to {np.hypot(*scene.flow).max() * scene.px_per_year:.0f} m/yr")
    configs = CONFIGS
    if args.only:
        wanted = set(args.only.split(","))
        configs = [c for c in CONFIGS if c.name in wanted]
    with tempfile.TemporaryDirectory() as tmp:
        paths = write_scene(scene, tmp)
        header = (f"{'configuration':<20} {'stable vx':>9} {'vy':>6} {'left vx':>7} {'vy':>6} "
                  f"{'ice med':>8} {'p95':>6} {'cover x':>7} {'y':>5} {'blund/1e5':>9} {'(n)':>4} "
                  f"{'ice cov':>7} {'stable':>6} {'time s':>7}")
        print("\nm/yr; coverage of errors on ice; blunders: accepted > 1 px wrong per 100,000 accepted")
        print(header)
        truth = None
        for config in configs:
            result, seconds = run(paths, config)
            truth = truth or Truth(scene, result)
            fig = figures(truth, result)
            print(f"{config.name:<20} {fig['stable_vx']:9.2f} {fig['stable_vy']:6.2f} "
                  f"{fig['left_vx']:7.2f} {fig['left_vy']:6.2f} {fig['ice_med']:8.2f} {fig['ice_p95']:6.2f} "
                  f"{fig['cover_x']:7.1%} {fig['cover_y']:5.0%} "
                  f"{fig['blunders']:9.1f} {fig['n_blunders']:4d} {fig['ice_cov']:7.1%} "
                  f"{fig['stable_cov']:6.1%} {seconds:7.1f}", flush=True)
        bias_scan(scene, Path(tmp), ["none", "cubic:1", "cubic"], shifts)
        if not args.no_prefilters:
            print("\nCoverage of the errors by vx_error, vy_error on the ice, per pre-filter (defaults otherwise)")
            for prefilter in prefilters:
                config = Config(f"prefilter {prefilter}", **ALL, prefilter=prefilter)
                result, seconds = run(paths, config)
                fig = figures(truth or Truth(scene, result), result)
                print(f"  {prefilter:<11} x {fig['cover_x']:.1%}  y {fig['cover_y']:.1%}  "
                      f"(ice median error {fig['ice_med']:.2f} m/yr, ice covered {fig['ice_cov']:.1%}, "
                      f"{seconds:.0f} s)", flush=True)


if __name__ == "__main__":
    main()
