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
one run interleaved for ``--rounds`` rounds instead, each timed stage by stage (the package's
functions wrapped for the run; a stage's seconds are summed over its calls and threads and
include the stages called inside it) and per pass, with the process's CPU time beside the wall
time: the machine is shared, and CPU time varies less with its load.

    bench_guided.py [--size 4000] [--speed 150] [--width 1200] [--profile [--rounds 2]]
"""

from __future__ import annotations

import argparse
import functools
import resource
import sys
import threading
import time
import warnings
from collections import defaultdict
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import machine  # noqa: E402

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


class Profile:
    """Seconds per (pass, stage), summed over calls and threads, each stage including the stages
    called inside it; the pass is the one running when the stage started."""

    def __init__(self) -> None:
        self.seconds: dict[tuple[str, str], float] = defaultdict(float)
        self.calls: dict[tuple[str, str], int] = defaultdict(int)
        self.lock = threading.Lock()
        self.phase = "last pass"

    def wrap(self, stage: str | Callable[..., str], fn: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(fn)
        def timed(*args: Any, **kwargs: Any) -> Any:
            key = (self.phase, stage if isinstance(stage, str) else stage(*args, **kwargs))
            t0 = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                with self.lock:
                    self.seconds[key] += time.perf_counter() - t0
                    self.calls[key] += 1
        return timed

    def passes(self, fn: Callable[..., Any], at: int) -> Callable[..., Any]:
        """``fn`` (a pass, its Pass the ``at``-th argument) naming the phase while it runs."""
        @functools.wraps(fn)
        def named(*args: Any, **kwargs: Any) -> Any:
            before, self.phase = self.phase, f"pass {args[at]}"
            try:
                return fn(*args, **kwargs)
            finally:
                self.phase = before
        return named


PROFILE = Profile()


class _Batch:
    def __init__(self, module: Any) -> None:
        self._module = module
        self.match_points = PROFILE.wrap("matching", module.match_points)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._module, name)


def instrument() -> None:
    """Wraps the package's stages (for this process's runs)."""
    from scipy import ndimage

    from talmek_track.guided import passes as guided
    from talmek_track.matching import blocks, prefilter
    from talmek_track.run import pair as pipeline
    from talmek_track.sources import readers

    src = readers.ImageSource
    src.read_scaled = PROFILE.wrap("read", src.read_scaled)  # type: ignore[method-assign]
    src.read = PROFILE.wrap("read", src.read)  # type: ignore[method-assign]
    prefilter.Prefilter.__call__ = PROFILE.wrap("pre-filter", prefilter.Prefilter.__call__)  # type: ignore[method-assign]
    pipeline.read_reduced = PROFILE.wrap("reduced read", pipeline.read_reduced)
    pipeline.match_points = PROFILE.wrap("matching", pipeline.match_points)
    pipeline._reduced_pass = PROFILE.passes(PROFILE.wrap("whole pass", pipeline._reduced_pass), 4)
    pipeline._full_measure = PROFILE.passes(PROFILE.wrap("whole pass", pipeline._full_measure), 4)
    pipeline.clean_field = PROFILE.wrap("clean, fill", pipeline.clean_field)
    pipeline.smooth_field = PROFILE.wrap("smooth", pipeline.smooth_field)
    pipeline.bend_test = PROFILE.wrap("bend test", pipeline.bend_test)
    pipeline.vector_field = PROFILE.wrap("vector field", pipeline.vector_field)
    pipeline.plan_blocks = PROFILE.wrap("plan blocks", pipeline.plan_blocks)
    blocks.load_block = PROFILE.wrap("load block (read, filter, deform, mask)", blocks.load_block)
    blocks.chips_touch = PROFILE.wrap("masking", blocks.chips_touch)
    blocks._batch = _Batch(blocks._batch)  # type: ignore[assignment]
    blocks.refine_block = PROFILE.wrap("refinement, checks", blocks.refine_block)
    d = guided.Deformation
    d.apply = PROFILE.wrap("deformation", d.apply)  # type: ignore[method-assign]
    d.restore = PROFILE.wrap("restore records", d.restore)  # type: ignore[method-assign]
    guided.Field.at = PROFILE.wrap("field at pixels", guided.Field.at)  # type: ignore[method-assign]
    ndimage.spline_filter = PROFILE.wrap("spline prefilter", ndimage.spline_filter)
    ndimage.maximum_filter = PROFILE.wrap("maximum filter", ndimage.maximum_filter)
    ndimage.map_coordinates = PROFILE.wrap(
        lambda *a, **k: f"map_coordinates order {k.get('order', 3)}", ndimage.map_coordinates)
    # The backends imported load_block by name.
    from talmek_track.matching import backends
    backends.load_block = blocks.load_block


def profile(args: argparse.Namespace) -> None:
    print(machine.describe())
    instrument()
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
            PROFILE.seconds.clear()
            before = resource.getrusage(resource.RUSAGE_SELF)
            figures, seconds = run(scene, **options)
            after = resource.getrusage(resource.RUSAGE_SELF)
            wall[name].append(seconds)
            cpu[name].append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
            stages[name].append(dict(PROFILE.seconds))
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
    args = ap.parse_args()
    if args.profile:
        profile(args)
        return
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
