#!/usr/bin/env python3
"""Fast ice: a reference velocity map as the prediction of the deformed passes, against the blind search.

The pair is tests/glacier_scene.py's (curved glacier with shear margins, terrain texture, haze,
clouds, nodata, noise, a co-registration offset; 10 m pixels in UTM 33N, 30 days apart) with the
glacier moving up to SPEED px instead of 6, written as GeoTIFFs and matched from the files (chip
32, step 16, the default pre-filter, outlier filter and refinement). The reference is made like an
ITS_LIVE mosaic: the true velocity on a polar stereographic grid (EPSG:3413, RES m pixels, its
vectors turned into that system's axes), plus Gaussian noise of NOISE m/yr on each component and
pixel, with vx_error and vy_error bands of NOISE; it is resampled onto the run's grid by the run.
Printed per configuration, as bench_guided.py does:

- ice found: the share of clear ice points (no nodata or cloud in either chip) with an accepted
  vector;
- median |v - v_true| on the ice, m/yr;
- blunders: accepted vectors more than 1 px from the truth, per 100,000 accepted;
- wall time (the least of REPEAT runs, configurations interleaved), and its ratio to the default
  settings on the same scene with the glacier at its usual 6 px (a slow glacier).

    bench_reference.py [--size 2000] [--speed 40] [--noise 200] [--res 120] [--repeat 2] [--guided] [--smoke]

``--smoke`` runs every configuration, the guided one too, once on a 384 x 384 scene with the
glacier moving up to 12 px: the script's whole path in seconds.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import glacier_scene as gs  # noqa: E402
import talmek_track as tt  # noqa: E402

REFERENCE_CRS = "EPSG:3413"


def scene(size: int, speed: float) -> gs.GlacierScene:
    usual = gs.MAX_SPEED
    gs.MAX_SPEED = speed
    try:
        return gs.glacier_scene(size)
    finally:
        gs.MAX_SPEED = usual


def write_reference(s: gs.GlacierScene, path: Path, res: float, noise: float, seed: int = 3) -> None:
    """The true velocity of the scene on a EPSG:3413 grid of ``res`` m, each vector turned into
    that system, plus noise; bands vx, vy, vx_error, vy_error; nodata beyond the scene."""
    import rasterio
    from affine import Affine
    from rasterio.warp import transform as warp_points

    rows, cols = s.shape
    corners_x = [gs.ORIGIN[0], gs.ORIGIN[0] + cols * s.pixel] * 2
    corners_y = [gs.ORIGIN[1]] * 2 + [gs.ORIGIN[1] - rows * s.pixel] * 2
    xs, ys = warp_points(gs.CRS, REFERENCE_CRS, corners_x, corners_y)
    left, top = min(xs) - 2 * res, max(ys) + 2 * res
    shape = (int((top - min(ys)) / res) + 4, int((max(xs) - left) / res) + 4)
    transform = Affine(res, 0, left, 0, -res, top)
    rr, cc = np.mgrid[0:shape[0], 0:shape[1]]
    xr, yr = transform @ (cc.ravel() + 0.5, rr.ravel() + 0.5)
    x, y = (np.asarray(v) for v in warp_points(REFERENCE_CRS, gs.CRS, xr, yr))
    col = (x - gs.ORIGIN[0]) / s.pixel - 0.5
    row = (gs.ORIGIN[1] - y) / s.pixel - 0.5
    inside = (col >= 0) & (col <= cols - 1) & (row >= 0) & (row <= rows - 1)
    dx, dy = s.truth(np.clip(row, 0, rows - 1), np.clip(col, 0, cols - 1), offset=False)
    years = s.dt_days / 365.25
    bx, by = (np.asarray(v) for v in warp_points(gs.CRS, REFERENCE_CRS, x + dx * s.pixel, y - dy * s.pixel))
    rng = np.random.default_rng(seed)
    vx = (bx - xr) / years + rng.normal(0.0, noise, xr.shape)
    vy = (by - yr) / years + rng.normal(0.0, noise, xr.shape)
    nodata = -32767.0
    bands = [np.where(inside, v, nodata).reshape(shape) for v in (vx, vy)]
    bands += [np.where(inside, noise, nodata).reshape(shape)] * 2
    with rasterio.open(path, "w", driver="GTiff", width=shape[1], height=shape[0], count=4,
                       dtype="float32", crs=REFERENCE_CRS, transform=transform, nodata=nodata) as ds:
        for k, (band, name) in enumerate(zip(bands, ("vx", "vy", "vx_error", "vy_error")), start=1):
            ds.write(band.astype(np.float32), k)
            ds.set_band_description(k, name)


def run(s: gs.GlacierScene, paths: dict[str, Path], **options: object) -> tuple[dict[str, float], float]:
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = tt.track_files(paths["image1"], paths["image2"], chip=32, step=16, **options)  # type: ignore[arg-type]
    seconds = time.perf_counter() - start
    rows, cols = result.records["row1"].astype(int), result.records["col1"].astype(int)
    true_dx, true_dy = s.truth(rows, cols)
    dx, dy = result.vector_field.values["dx"], result.vector_field.values["dy"]
    accepted = result.vector_field.status == tt.Status.accepted
    ice = s.ice[rows, cols] & s.clear(rows, cols, 16, 16)
    found = accepted & np.isfinite(dx)
    error = np.hypot(dx - true_dx, dy - true_dy)
    per_year = s.px_per_year
    return {
        "ice found %": 100.0 * (found & ice).sum() / max(1, ice.sum()),
        "median error m/yr": float(np.median(error[found & ice]) * per_year) if (found & ice).any() else np.nan,
        "blunders /100k": 1e5 * (found & (error > 1.0)).sum() / max(1, found.sum()),
    }, seconds


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=int, default=2000)
    ap.add_argument("--speed", type=float, default=40.0, help="the glacier's largest motion, px in 30 days")
    ap.add_argument("--noise", type=float, default=200.0, help="the reference's noise, m/yr per component")
    ap.add_argument("--res", type=float, default=120.0, help="the reference's pixel size, m")
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--guided", action="store_true", help="also run the coarse-to-fine --max-speed search")
    ap.add_argument("--smoke", action="store_true", help="a tiny scene, once: the script's path in seconds")
    args = ap.parse_args()
    if args.smoke:
        args.size, args.speed, args.repeat, args.guided = 384, 12.0, 1, True
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        slow = scene(args.size, gs.MAX_SPEED)
        slow_paths = gs.write_scene(slow, folder / "slow")
        fast = scene(args.size, args.speed)
        paths = gs.write_scene(fast, folder / "fast")
        reference = folder / "reference.tif"
        write_reference(fast, reference, args.res, args.noise)
        speed = args.speed * 1.1 * fast.px_per_year
        configurations: dict[str, dict[str, object]] = {
            "blind, margin 8 (default)": {},
            "reference, --reference-error 0": {"reference": str(reference), "reference_error": 0.0},
            f"reference, its error bands ({args.noise:g})": {"reference": str(reference)},
        }
        if args.guided:
            configurations[f"guided, --max-speed {speed:.0f}"] = {"max_speed": speed}
        times: dict[str, float] = {name: np.inf for name in [*configurations, "slow"]}
        figures: dict[str, dict[str, float]] = {}
        for _ in range(args.repeat):  # interleaved, the least time of each
            figures["slow"], seconds = run(slow, slow_paths)
            times["slow"] = min(times["slow"], seconds)
            for name, options in configurations.items():
                figures[name], seconds = run(fast, paths, **options)
                times[name] = min(times[name], seconds)
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               "unknown processor") if os.path.exists("/proc/cpuinfo") else "unknown processor"
    print(f"{cpu}, {os.cpu_count()} cores")
    print(f"{args.size} x {args.size} px, glacier up to {args.speed:g} px in 30 days; reference on "
          f"{REFERENCE_CRS} at {args.res:g} m with {args.noise:g} m/yr noise; default settings on the "
          f"slow glacier: {times['slow']:.1f} s")
    print(f"{'configuration':38} {'ice found %':>12} {'median m/yr':>12} {'blunders/100k':>14} "
          f"{'time s':>8} {'x slow':>7}")
    labels = {"slow": f"the slow glacier ({gs.MAX_SPEED:g} px), blind default", **{n: n for n in configurations}}
    for name, label in labels.items():
        f = figures[name]
        print(f"{label:38} {f['ice found %']:12.1f} {f['median error m/yr']:12.1f} "
              f"{f['blunders /100k']:14.0f} {times[name]:8.1f} {times[name] / times['slow']:7.2f}")


if __name__ == "__main__":
    main()
