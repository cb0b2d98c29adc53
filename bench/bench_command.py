#!/usr/bin/env python3
"""Where the command's time goes: talmek-track on a realistic scene pair, stage by stage.

Builds the synthetic glacier pair of the tests (tests/glacier_scene.py: SIZE x SIZE uint16,
12-bit values, nodata patches, clouds, dated tags) as tiled DEFLATE GeoTIFFs in a temporary
folder, then runs in this one process, interleaved, round after round:

* the default command: ``talmek-track image1.tif image2.tif -o OUT`` (Wallis pre-filter,
  refinement and back-match, median filter, CSV, GeoJSON, COG, GeoPackage, figure, run.json);
* matching alone: the same with ``--format csv --prefilter none --filter none`` (refinement
  stays on in both).

Each stage is timed where the package does it (the functions below are wrapped for the run):
summed over its calls and threads, so stages that overlap (the next block is read and
pre-filtered on a helper thread while the current one is matched; writers that run side by
side) can add up to more than the wall time. Printed: the medians per stage, the wall time of
each command, and the ratio default / matching alone.

    bench_command.py [--size 4000] [--rounds 2] [--pair A.tif B.tif]
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import os
import sys
import tempfile
import threading
import time
import warnings
from collections import defaultdict
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import machine  # noqa: E402

from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.matching import blocks  # noqa: E402
from talmek_track.options.values import Prefilter  # noqa: E402
from talmek_track.output import publish, writers  # noqa: E402
from talmek_track.run import pair as pipeline  # noqa: E402
from talmek_track.run import track  # noqa: E402
from talmek_track.sources import readers  # noqa: E402

MATCHING_ALONE = ["--format", "csv", "--prefilter", "none", "--filter", "none"]


class Stages:
    """Seconds per stage, summed over calls and threads; a call inside another timed call of
    the same thread counts for the outer stage only."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = defaultdict(float)
        self.lock = threading.Lock()
        self.local = threading.local()

    @contextlib.contextmanager
    def timing(self, stage: str) -> Iterator[None]:
        if getattr(self.local, "inside", False):
            yield
            return
        self.local.inside = True
        t0 = time.perf_counter()
        try:
            yield
        finally:
            elapsed = time.perf_counter() - t0
            self.local.inside = False
            with self.lock:
                self.seconds[stage] += elapsed

    def wrap(self, stage: str, fn: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(fn)
        def timed(*args: Any, **kwargs: Any) -> Any:
            with self.timing(stage):
                return fn(*args, **kwargs)
        return timed


STAGES = Stages()
#: Stages in the order of a run, as printed.
ORDER = ["open", "value range", "read", "pre-filter", "masking", "matching", "refinement",
         "vector field, filters", "writer csv", "writer geojson", "writer tif", "writer gpkg",
         "writer plot", "preview (plot)", "writer run", "writers together (wall)", "commit"]


class _TimedBatch:
    """The native batch module as the blocks call it, its matching timed."""

    def __init__(self, module: Any) -> None:
        self._module = module
        self.match_points = STAGES.wrap("matching", module.match_points)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._module, name)


def instrument() -> None:
    """Wraps the functions of each stage (for this process's runs)."""
    track.open_pair = STAGES.wrap("open", track.open_pair)  # type: ignore[assignment]
    src = readers.ImageSource
    src.with_range = STAGES.wrap("value range", src.with_range)  # type: ignore[method-assign]
    src.read = STAGES.wrap("read", src.read)  # type: ignore[method-assign]
    src.read_scaled = STAGES.wrap("read", src.read_scaled)  # type: ignore[method-assign]
    src.preview = STAGES.wrap("preview (plot)", src.preview)  # type: ignore[method-assign]
    Prefilter.__call__ = STAGES.wrap("pre-filter", Prefilter.__call__)  # type: ignore[method-assign]
    if hasattr(blocks, "filter_rows"):
        blocks.filter_rows = STAGES.wrap("pre-filter", blocks.filter_rows)
    blocks.chips_touch = STAGES.wrap("masking", blocks.chips_touch)
    blocks._batch = _TimedBatch(blocks._batch)  # type: ignore[assignment]
    blocks.refine_block = STAGES.wrap("refinement", blocks.refine_block)
    pipeline.vector_field = STAGES.wrap("vector field, filters", pipeline.vector_field)
    pipeline.finish_field = STAGES.wrap("vector field, filters", pipeline.finish_field)
    for name, writer in list(writers.WRITERS.items()):
        writers.WRITERS[name] = STAGES.wrap(f"writer {name}", writer)
    publish.Staging.publish = STAGES.wrap("commit", publish.Staging.publish)  # type: ignore[method-assign]
    # The writers together, from the first one's start to the last one's end.
    writers.write_outputs = STAGES.wrap("writers together (wall)", writers.write_outputs)


def run_command(args: list[str]) -> tuple[float, dict[str, float]]:
    STAGES.seconds.clear()
    cpu0 = os.times()
    t0 = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
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
    args = parser.parse_args()
    print(machine.describe())
    instrument()
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
