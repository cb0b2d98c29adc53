#!/usr/bin/env python3
"""Where the command's time goes: talmek-track on a realistic scene pair, stage by stage.

Builds the synthetic glacier pair of the tests (tests/glacier_scene.py: SIZE x SIZE uint16,
12-bit values, nodata patches, clouds, dated tags) as tiled DEFLATE GeoTIFFs in a temporary
folder, then runs in this one process, interleaved, round after round:

* the default command: ``talmek-track image1.tif image2.tif -o OUT`` (Wallis pre-filter,
  refinement and back-match, median filter, CSV, GeoJSON, COG, GeoPackage, figure, run.json);
* matching alone: the same with ``--format csv --prefilter none --filter none`` (refinement
  stays on in both).

Each stage is timed by the package itself (``talmek_track.stages``, observed for the run):
summed over its calls and threads, so stages that overlap (the next block is read and
pre-filtered on a helper thread while the current one is matched; writers that run side by
side) can add up to more than the wall time. Printed: the medians per stage, the wall time of
each command, and the ratio default / matching alone.

    bench_command.py [--size 4000] [--rounds 2] [--pair A.tif B.tif] [--smoke]

``--smoke`` runs the whole script on a 256 x 256 pair for one round, in seconds.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
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

from talmek_track import stages  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402

MATCHING_ALONE = ["--format", "csv", "--prefilter", "none", "--filter", "none"]


#: The package's stages that are printed, each under its name here, in the order of a run. The
#: stages holding others (a block, all blocks, the plan) are left out: their parts are printed.
PRINTED = {"open": "open", "value range": "value range", "read": "read", "pre-filter": "pre-filter",
           "masking": "masking", "match points": "matching", "refinement": "refinement",
           "vector field": "vector field, filters", "writer csv": "writer csv",
           "writer geojson": "writer geojson", "writer tif": "writer tif", "writer gpkg": "writer gpkg",
           "writer plot": "writer plot", "preview": "preview (plot)", "writer run": "writer run",
           "writers": "writers together (wall)", "publish": "commit"}
#: Stages in the order of a run, as printed.
ORDER = list(PRINTED.values())


class Stages:
    """Seconds per printed stage, summed over calls and threads."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = defaultdict(float)
        self.lock = threading.Lock()

    def __call__(self, name: str, wall: float, cpu: float) -> None:
        label = PRINTED.get(name) or (name if name.startswith("writer ") else None)
        if label is not None:
            with self.lock:
                self.seconds[label] += wall


STAGES = Stages()


def run_command(args: list[str]) -> tuple[float, dict[str, float]]:
    STAGES.seconds.clear()
    cpu0 = os.times()
    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with stages.observe(STAGES):
            status = cli.main(args + ["--quiet"])
    wall = time.perf_counter() - t0
    cpu1 = os.times()
    STAGES.seconds["process CPU time"] = cpu1.user + cpu1.system - cpu0.user - cpu0.system
    if status != 0:
        raise SystemExit(f"talmek-track {' '.join(args)} failed with exit status {status}")
    return wall, dict(STAGES.seconds)


def scene_pair(size: int, folder: Path) -> tuple[Path, Path]:
    from glacier_scene import glacier_scene, write_scene

    t0 = time.perf_counter()
    scene = glacier_scene(size)
    paths = write_scene(scene, folder)
    print(f"glacier pair {size} x {size} uint16 made and written in {time.perf_counter() - t0:.0f} s")
    return paths["image1"], paths["image2"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=4000, help="side of the glacier pair (default 4000)")
    parser.add_argument("--rounds", type=int, default=2, help="interleaved rounds (default 2)")
    parser.add_argument("--pair", nargs=2, metavar="TIF", help="two existing images instead")
    parser.add_argument("--threads", type=int, default=None, help="threads to match on (default: every core)")
    parser.add_argument("--smoke", action="store_true",
                        help="a 256 x 256 pair, one round: the script's path in seconds")
    args = parser.parse_args()
    if args.smoke:
        args.size, args.rounds = 256, 1
    print(machine.describe())
    extra = [] if args.threads is None else ["--threads", str(args.threads)]
    with tempfile.TemporaryDirectory(prefix="talmek-bench-") as tmp:
        folder = Path(tmp)
        a, b = (Path(p) for p in args.pair) if args.pair else scene_pair(args.size, folder)
        runs = {"default": [str(a), str(b), "-o", str(folder / "default")] + extra,
                "matching alone": [str(a), str(b), "-o", str(folder / "alone")] + MATCHING_ALONE + extra}
        walls: dict[str, list[float]] = defaultdict(list)
        stages: dict[str, list[dict[str, float]]] = defaultdict(list)
        for k in range(args.rounds):
            for name, argv in (runs.items() if k % 2 == 0 else reversed(runs.items())):
                wall, seconds = run_command(argv)
                walls[name].append(wall)
                stages[name].append(seconds)
                print(f"round {k + 1}: {name:15s} {wall:6.1f} s", flush=True)
        points = sum(1 for _ in open(folder / "default" / "vectors.csv")) - 1
        print(f"\n{points} grid points; median of {args.rounds} interleaved rounds, seconds per stage "
              "(summed over calls and threads; read and pre-filter run beside the matching)")
        print(f"{'stage':24s} {'default':>9s} {'matching alone':>15s}")
        names = ORDER + sorted({s for runs_ in stages.values() for r in runs_ for s in r} - set(ORDER))
        for stage in names:
            cells = [np.median([r.get(stage, 0.0) for r in stages[name]]) for name in runs]
            if any(cells):
                print(f"{stage:24s} {cells[0]:9.2f} {cells[1]:15.2f}")
        default, alone = np.median(walls["default"]), np.median(walls["matching alone"])
        print(f"{'whole command (wall)':24s} {default:9.2f} {alone:15.2f}")
        print(f"ratio default / matching alone: {default / alone:.2f} (goal <= 1.4)")
        print(f"cores: {os.cpu_count()}; load average before the last round: "
              f"{', '.join(f'{v:.1f}' for v in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
