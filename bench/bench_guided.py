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

With ``--profile``, the default settings on the slow glacier and the guided search on the fast
one run interleaved for ``--rounds`` rounds instead, each timed stage by stage (the stages the package reports,
``talmek_track.stages``; a stage's seconds are summed over its calls and threads and include
the stages inside it) and per pass, with the process's CPU time beside the wall time: the
machine is shared, and CPU time varies less with its load.

``--smoke`` runs both (the comparison and the profile, one round) on a 384 x 384 scene with a
glacier 160 px wide moving up to 12 px: the script's whole path in seconds.

    bench_guided.py [--size 4000] [--speed 150] [--width 1200] [--profile [--rounds 2]] [--smoke]
"""

from __future__ import annotations

import argparse
import resource
import sys
import threading
import time
import warnings
from collections import defaultdict
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import machine  # noqa: E402

import glacier_scene as gs  # noqa: E402
import talmek_track as tt  # noqa: E402
from talmek_track import stages as run_stages  # noqa: E402

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


#: Printed names of the package's stages where they differ from the package's own.
LABELS = {"match points": "matching", "load block": "load block (read, filter, deform, mask)",
          "refinement": "refinement, checks", "restore": "restore records", "matching": "all blocks"}


class Profile:
    """Seconds per (pass, stage), summed over calls and threads, each stage including the stages
    inside it; the pass is the one running when the stage started ("last pass" outside them)."""

    def __init__(self) -> None:
        self.seconds: dict[tuple[str, str], float] = defaultdict(float)
        self.lock = threading.Lock()
        self.spans: list[tuple[str, float, float]] = []

    def __call__(self, name: str, wall: float, cpu: float) -> None:
        end = time.perf_counter()
        with self.lock:
            self.spans.append((name, end - wall, end))

    def clear(self) -> None:
        self.seconds.clear()
        self.spans.clear()

    def settle(self) -> dict[tuple[str, str], float]:
        """The run's stages by pass, from the spans observed."""
        passes = [(name.removeprefix("guided "), t0, t1) for name, t0, t1 in self.spans
                  if name.startswith("guided pass ")]
        for name, t0, t1 in self.spans:
            if name.startswith("guided pass "):
                key = (name.removeprefix("guided "), "whole pass")
            else:
                phase = next((p for p, a, b in passes if a <= t0 <= b), "last pass")
                key = (phase, LABELS.get(name, name))
            self.seconds[key] += t1 - t0
        return dict(self.seconds)


PROFILE = Profile()


def profile(args: argparse.Namespace) -> None:
    print(machine.describe())
    slow = gs.glacier_scene(args.size)
    fast = gs.wide_glacier_scene(args.size, args.width, args.speed)
    speed = args.speed * 1.1 * 365.25 / fast.dt_days
    runs: dict[str, tuple[gs.GlacierScene, dict[str, object]]] = {
        "default, slow glacier": (slow, {}),
        "guided, fast glacier": (fast, {"max_speed": speed}),
    }
    wall: dict[str, list[float]] = defaultdict(list)
    cpu: dict[str, list[float]] = defaultdict(list)
    stages: dict[str, list[dict[tuple[str, str], float]]] = defaultdict(list)
    for k in range(args.rounds):
        for name, (scene, options) in (runs.items() if k % 2 == 0 else reversed(runs.items())):
            PROFILE.clear()
            before = resource.getrusage(resource.RUSAGE_SELF)
            with run_stages.observe(PROFILE):
                figures, seconds = run(scene, **options)
            after = resource.getrusage(resource.RUSAGE_SELF)
            wall[name].append(seconds)
            cpu[name].append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
            stages[name].append(PROFILE.settle())
            print(f"round {k + 1}: {name:22} {seconds:6.1f} s wall {cpu[name][-1]:6.1f} s CPU  "
                  + ", ".join(f"{key} {value:.1f}" for key, value in figures.items()), flush=True)
    names = list(runs)
    keys = sorted({key for r in stages.values() for s in r for key in s})
    print(f"\nmedian of {args.rounds} interleaved rounds, seconds per stage (summed over calls and "
          "threads, each including the stages inside it)")
    print(f"{'pass':14} {'stage':42} " + " ".join(f"{n:>22}" for n in names))
    for key in keys:
        cells = [float(np.median([s.get(key, 0.0) for s in stages[n]])) for n in names]
        print(f"{key[0]:14} {key[1]:42} " + " ".join(f"{c:22.2f}" for c in cells))
    w = [float(np.median(wall[n])) for n in names]
    c = [float(np.median(cpu[n])) for n in names]
    print(f"{'':14} {'whole run (wall)':42} " + " ".join(f"{v:22.2f}" for v in w))
    print(f"{'':14} {'process CPU time':42} " + " ".join(f"{v:22.2f}" for v in c))
    print(f"guided / default: {w[1] / w[0]:.2f} x wall, {c[1] / c[0]:.2f} x CPU")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=int, default=4000)
    ap.add_argument("--speed", type=float, default=150.0)
    ap.add_argument("--width", type=float, default=1200.0)
    ap.add_argument("--only", default=None, help="run only the configurations whose name holds this")
    ap.add_argument("--profile", action="store_true",
                    help="time the default and the guided run stage by stage, interleaved")
    ap.add_argument("--rounds", type=int, default=2, help="interleaved rounds of --profile")
    ap.add_argument("--smoke", action="store_true",
                    help="both the comparison and the profile on a tiny scene, in seconds")
    args = ap.parse_args()
    if args.smoke:
        args.size, args.width, args.speed, args.rounds = 384, 160.0, 12.0, 1
        compare(args)
        profile(args)
        return
    if args.profile:
        profile(args)
        return
    compare(args)


def compare(args: argparse.Namespace) -> None:
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
