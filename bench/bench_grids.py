#!/usr/bin/env python3
"""What matching across grids costs: the glacier pair with image 2 in the neighbouring UTM zone
at 15 m, against the same pair on one grid.

The pair (tests/glacier_scene.py): SIZE x SIZE uint16, 10 m pixels in UTM zone 33, 30 days apart.
Image 2 is written again in zone 34 at 15 m (GDAL's average over the 10 m pixels, as a coarser
sensor would see the ground), and the pair is matched as the command does it (chip 32, margin 10,
step 16, wallis:15, refinement), image 2 read back onto image 1's grid by each resampling method.
Printed per method, against the run on one grid: the median and 95th percentile of the speed
difference |v - v_same| (m/yr) over points accepted in both, the share of the same-grid accepted
points accepted again, the median error against the truth on the ice, and the wall time.

    bench_grids.py [--size 4000] [--methods cubic,bilinear,lanczos] [--smoke]

``--smoke`` runs every method on a 256 x 256 pair: the script's whole path in seconds.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import machine  # noqa: E402

import talmek_track  # noqa: E402
from glacier_scene import DATES, glacier_scene, write_scene  # noqa: E402

SETTINGS = dict(chip=32, margin=10, step=16, prefilter="wallis:15", formats=[], plot=False)


def to_other_zone(path: Path, target: Path, crs: str = "EPSG:32634", pixel: float = 15.0) -> None:
    """The image in another coordinate system and pixel size, as another sensor would give it."""
    import rasterio
    from rasterio.enums import Resampling
    from rasterio.warp import calculate_default_transform, reproject

    with rasterio.open(path) as src:
        transform, width, height = calculate_default_transform(src.crs, crs, src.width, src.height,
                                                               *src.bounds, resolution=pixel)
        profile = src.profile | dict(crs=crs, transform=transform, width=width, height=height)
        with rasterio.open(target, "w", **profile) as dst:
            reproject(rasterio.band(src, 1), rasterio.band(dst, 1), resampling=Resampling.average,
                      src_nodata=0, dst_nodata=0)
            dst.update_tags(**src.tags())


def speeds(result: talmek_track.TrackResult) -> tuple[np.ndarray, np.ndarray]:
    field = result.vector_field
    assert field is not None
    v = np.asarray(field.values["v"], float)
    accepted = np.asarray(field.status) == int(talmek_track.Status.accepted)
    return v, accepted & np.isfinite(v)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=4000)
    ap.add_argument("--methods", default="cubic,bilinear,lanczos")
    ap.add_argument("--smoke", action="store_true", help="a 256 x 256 pair: the script's path in seconds")
    args = ap.parse_args()
    if args.smoke:
        args.size = 256
    print(machine.describe())
    scene = glacier_scene(args.size)
    with tempfile.TemporaryDirectory() as tmp:
        paths = write_scene(scene, tmp)
        other = Path(tmp) / "image2_zone34_15m.tif"
        to_other_zone(paths["image2"], other)
        dates = DATES
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            t0 = time.perf_counter()
            same = talmek_track.track_files(paths["image1"], paths["image2"], dates=dates, **SETTINGS)
            t_same = time.perf_counter() - t0
        v_same, ok_same = speeds(same)
        truth_v = _truth_speed(scene, same)
        ice = _on_ice(scene, same)
        print(f"size {args.size}, {ok_same.sum()} points accepted on one grid, "
              f"{t_same:.1f} s; median |v - v_true| on ice {_median(v_same, truth_v, ok_same & ice):.2f} m/yr")
        print(f"{'resampling':<12} {'median dv':>10} {'p95 dv':>8} {'same acc.':>10} "
              f"{'ice err':>8} {'time s':>7}")
        for method in args.methods.split(","):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                t0 = time.perf_counter()
                result = talmek_track.track_files(paths["image1"], other, dates=dates, resampling=method,
                                                  **SETTINGS)
                elapsed = time.perf_counter() - t0
            v, ok = speeds(result)
            both = ok & ok_same
            dv = np.abs(v - v_same)[both]
            again = both.sum() / max(1, ok_same.sum())
            print(f"{method:<12} {np.median(dv):10.2f} {np.percentile(dv, 95):8.2f} {100 * again:9.1f}% "
                  f"{_median(v, truth_v, ok & ice):8.2f} {elapsed:7.1f}")


def _grid_pixels(result: talmek_track.TrackResult) -> tuple[np.ndarray, np.ndarray]:
    p, (n_rows, n_cols) = result.params, result.vector_field.shape
    rows = np.arange(n_rows) * p.row_interval_ + p.start_row_
    cols = np.arange(n_cols) * p.col_interval_ + p.start_col_
    rr, cc = np.meshgrid(rows, cols, indexing="ij")
    return rr.ravel(), cc.ravel()


def _truth_speed(scene, result: talmek_track.TrackResult) -> np.ndarray:
    rr, cc = _grid_pixels(result)
    flow = scene.flow[:, rr, cc]
    return np.hypot(flow[0], flow[1]) * 10.0 * 365.25 / 30.0


def _on_ice(scene, result: talmek_track.TrackResult) -> np.ndarray:
    rr, cc = _grid_pixels(result)
    return scene.ice[rr, cc]


def _median(v: np.ndarray, truth: np.ndarray, where: np.ndarray) -> float:
    # The stable-ground offset of the pair is in both runs alike; the truth is the ice's own flow.
    return float(np.median(np.abs(v - truth)[where])) if where.any() else float("nan")


if __name__ == "__main__":
    main()
