#!/usr/bin/env python3
"""A velocity time series from a stack of pairs against its known truth.

The stack (tests/seasonal_stack.py): COUNT uint8 images of SIZE x SIZE 10 m pixels, 18 days
apart, a band of ice flowing east at about 220 m/yr with a seasonal cycle of +-60 %; every pair up
to 90 days apart is matched into cube.zarr (chip 32, margin 12, step 8) and inverted into 36-day
steps (timeseries.nc).

Printed:
- matching: pairs, wall time, the cube's size;
- inversion: wall time;
- the centreline's RMS error (m/yr) against the truth's mean over each step (steps that lie
  wholly within the acquisitions), for the inversion and for the naive series that gives each
  step the mean of the pairs whose mid date falls in it;
- the share of the glacier's (point, step) values that the inversion gives.

    bench_timeseries.py [--size 400] [--count 20] [--step 36] [--keep FOLDER] [--smoke]

``--smoke`` runs a stack of 4 images of 160 x 160 pixels without the pairs' figures: the script's
whole path in seconds, its exit status not held to the goal (a stack so small does not reach it).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from datetime import UTC
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import machine  # noqa: E402

from seasonal_stack import ORIGIN, PIXEL, seasonal_stack, write_stack  # noqa: E402
from talmek_track import match_stack  # noqa: E402
from talmek_track.output.cube import open_cube  # noqa: E402
from talmek_track.run.series import invert_series  # noqa: E402

GOAL_RMS = 10.0  # m/yr
GOAL_SHARE = 0.90


def _datetime(value: np.datetime64):  # type: ignore[no-untyped-def]
    return value.astype("datetime64[ms]").astype(object).replace(tzinfo=UTC)


def run(size: int, count: int, step: float, folder: Path, plot: bool = True) -> bool:
    stack = seasonal_stack(size=size, count=count)
    paths = [str(p) for p in write_stack(stack, folder / "images")]
    t0 = time.perf_counter()
    result = match_stack(paths, "all", folder / "out", max_days=90, chip=32, margin=12, step=8,
                         progress=False, keep=False, cube=True, plot=plot)
    t_match = time.perf_counter() - t0
    assert result.cube is not None
    cube_bytes = sum(f.stat().st_size for f in result.cube.rglob("*") if f.is_file())
    print(f"matching: {len(result.pairs)} pairs of {count} images {size} x {size} in "
          f"{t_match:.1f} s; cube {cube_bytes / 1e6:.1f} MB")

    cube = open_cube(result.cube)
    t0 = time.perf_counter()
    series = invert_series(cube, step).compute()
    t_invert = time.perf_counter() - t0
    print(f"inversion: {series.sizes['time']} steps of {step:g} days, "
          f"{series.sizes['y'] * series.sizes['x']} points in {t_invert:.2f} s")

    rows = (ORIGIN[1] - series["y"].values) / PIXEL - 0.5
    cols = (series["x"].values - ORIGIN[0]) / PIXEL - 0.5
    # the centreline: the grid row nearest the band's middle, away from the image's sides where
    # the search windows leave the image
    centre = int(np.argmin(np.abs(rows - stack.centre_row)))
    inside = (cols > 24) & (cols < size - 24)
    first, last = cube["acquisition_date_img1"].values.min(), cube["acquisition_date_img2"].values.max()
    bounds = series["time_bounds"].values
    whole = (bounds[:, 0] >= first) & (bounds[:, 1] <= last)
    truth = np.array([stack.step_truth(_datetime(a), _datetime(b)) for a, b in bounds])

    inverted = series["vx"].values[:, centre, inside]
    err = inverted[whole] - truth[whole, None]
    rms = float(np.sqrt(np.nanmean(err**2)))

    # the naive series: each pair's velocity at its mid date, averaged within each step
    mids = cube["mid_date"].values
    pairs_vx = cube["vx"].isel(y=centre).values[:, inside]
    naive = np.full_like(inverted, np.nan)
    for k, (a, b) in enumerate(bounds):
        sel = (mids >= a) & (mids < b)
        if sel.any():
            naive[k] = np.nanmean(pairs_vx[sel], axis=0)
    naive_err = naive[whole] - truth[whole, None]
    naive_rms = float(np.sqrt(np.nanmean(naive_err**2)))

    ice_rows = stack.profile[np.clip(np.rint(rows).astype(int), 0, size - 1)] > 0
    values = series["vx"].values[whole][:, ice_rows][:, :, inside]
    share = float(np.isfinite(values).mean())

    print(f"centreline truth per step (m/yr): {np.array2string(truth[whole], precision=0)}")
    print(f"centreline inverted (median):     "
          f"{np.array2string(np.nanmedian(inverted[whole], axis=1), precision=0)}")
    print(f"centreline RMS error: inversion {rms:.1f} m/yr, pairs at their mid dates "
          f"{naive_rms:.1f} m/yr (goal: inversion <= {GOAL_RMS:g} and better than the pairs)")
    print(f"glacier points with a value: {share:.1%} (goal >= {GOAL_SHARE:.0%})")
    ok = rms <= GOAL_RMS and rms < naive_rms and share >= GOAL_SHARE
    print("goal met" if ok else "goal NOT met")
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=400)
    parser.add_argument("--count", type=int, default=20)
    parser.add_argument("--step", type=float, default=36.0)
    parser.add_argument("--keep", type=Path, default=None, help="folder to keep the stack in")
    parser.add_argument("--smoke", action="store_true", help="a tiny stack: the script's path in seconds")
    args = parser.parse_args()
    if args.smoke:
        args.size, args.count = 160, 4
    print(machine.describe())
    if args.keep is not None:
        args.keep.mkdir(parents=True, exist_ok=True)
        met = run(args.size, args.count, args.step, args.keep, plot=not args.smoke)
    else:
        with tempfile.TemporaryDirectory() as tmp:
            met = run(args.size, args.count, args.step, Path(tmp), plot=not args.smoke)
    return 0 if met or args.smoke else 1


if __name__ == "__main__":
    sys.exit(main())
