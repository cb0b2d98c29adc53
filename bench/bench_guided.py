#!/usr/bin/env python3
"""Fast ice: the guided search (--max-speed) against the blind one, on a synthetic glacier.

The pair is tests/glacier_scene.py's wide glacier (a curved glacier WIDTH px wide whatever the
scene's size, moving up to SPEED px in 30 days on 10 m pixels, parabolic across so that its
margins shear by 2 SPEED / WIDTH px per px; terrain texture, haze, nodata, noise, a
co-registration offset, no clouds). Matched as arrays with the command's defaults (chip 32,
step 16, wallis:15, median filter, refinement and the checks on), printed per configuration:

- ice found: the share of ice points where a vector can be expected (the 32-px chip valid in
  image 1, the least search chip of 48 px around the feature's true position valid in image 2)
  that have an accepted vector;
- median |v - v_true| on the ice, m/yr;
- blunders: accepted vectors more than 1 px from the truth, per 100,000 accepted;
- wall time, and its ratio to the default settings on a slow glacier of the same size
  (tests/glacier_scene.py's usual scene, moving up to 6 px), timed in the same process.

    bench_guided.py [--size 4000] [--speed 150] [--width 1200]
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import glacier_scene as gs  # noqa: E402
import talmek_track as tt  # noqa: E402

DATES = "2024-07-01,2024-07-31"


def run(s: gs.GlacierScene, **options: object) -> tuple[dict[str, float], float]:
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = tt.track_xarray(s.image1, s.image2, nodata=0, dates=DATES, **options)  # type: ignore[arg-type]
    seconds = time.perf_counter() - start
    rows = np.rint(s.shape[0] - 1 - ds["y"].values).astype(int)[:, None]
    cols = np.rint(ds["x"].values).astype(int)[None, :]
    rows, cols = np.broadcast_arrays(rows, cols)
    true_dx, true_dy = s.truth(rows, cols)
    dx, dy = ds["dx"].values, ds["dy"].values
    # Ice whose chip is valid in image 1 and whose feature's least search chip is valid in image 2.
    r2 = np.clip(np.rint(rows + true_dy), 0, s.shape[0] - 1).astype(int)
    c2 = np.clip(np.rint(cols + true_dx), 0, s.shape[1] - 1).astype(int)
    ice = s.ice[rows, cols] & s.clear(rows, cols, 16, 0) & s.clear(r2, c2, 0, 24)
    found = np.isfinite(dx) & np.isfinite(dy) & (ds["status"].values == int(tt.Status.accepted))
    error = np.hypot(dx - true_dx, dy - true_dy)
    per_year = s.px_per_year
    return {
        "ice found %": 100.0 * (found & ice).sum() / max(1, ice.sum()),
        "median error m/yr": float(np.median(error[found & ice]) * per_year) if (found & ice).any() else np.nan,
        "blunders /100k": 1e5 * (found & (error > 1.0)).sum() / max(1, found.sum()),
    }, seconds


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=int, default=4000)
    ap.add_argument("--speed", type=float, default=150.0)
    ap.add_argument("--width", type=float, default=1200.0)
    ap.add_argument("--only", default=None, help="run only the configurations whose name holds this")
    args = ap.parse_args()
    base: dict[str, object] = {}
    slow = gs.glacier_scene(args.size)
    fast = gs.wide_glacier_scene(args.size, args.width, args.speed)
    speed = args.speed * 1.1 * 365.25 / fast.dt_days  # the arrays' map units are pixels
    configurations = {
        "blind, margin 8 (default)": dict(base),
        "blind, widest margin 112": {**base, "margin": 112},
        f"guided, --max-speed {speed:.0f}": {**base, "max_speed": speed},
    }
    if args.only:
        configurations = {k: v for k, v in configurations.items() if args.only in k}
    _, slow_seconds = run(slow, **base)
    print(f"{args.size} x {args.size} px, glacier {args.width:g} px wide up to {args.speed:g} px in 30 "
          f"days; default settings on the slow glacier: {slow_seconds:.1f} s")
    print(f"{'configuration':34} {'ice found %':>12} {'median m/yr':>12} {'blunders/100k':>14} "
          f"{'time s':>8} {'x slow':>7}")
    for name, options in configurations.items():
        figures, seconds = run(fast, **options)
        print(f"{name:34} {figures['ice found %']:12.1f} {figures['median error m/yr']:12.1f} "
              f"{figures['blunders /100k']:14.0f} {seconds:8.1f} {seconds / slow_seconds:7.2f}")


if __name__ == "__main__":
    main()
