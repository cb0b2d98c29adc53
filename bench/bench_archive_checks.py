#!/usr/bin/env python3
"""How fast a stack of an archive refuses what cannot succeed, before any match.

The archive (tests/seasonal_stack.py): COUNT dated uint16 GeoTIFF scenes of SIZE x SIZE 10 m
pixels, 6 days apart, of a glacier with a seasonal cycle; three of them broken: one moved
100 km away (it overlaps no other), one without its date tag, one truncated after its header.

Printed, each the wall time of ``talmek-track stack --pairs all --max-days 90`` from its start
to its exit status (goal: under 10 s each, before any match):
- a step of ``--invert`` shorter than every pair (the archive without the undated scene);
- an image without a date (the whole archive): the message names it;
- a pair that does not overlap, with ``--fail-fast``;
- ``--dry-run`` of the archive without the undated scene: pairs planned and failed.

    bench_archive_checks.py [--size 1000] [--count 60] [--smoke]

``--smoke`` runs 8 scenes of 200 x 200 pixels: the script's whole path in seconds.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import machine  # noqa: E402

from seasonal_stack import CRS, seasonal_stack  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402

GOAL_SECONDS = 10.0
FLAGS = ["--pairs", "all", "--max-days", "90", "--chip", "32", "--margin", "8", "--step", "32", "--quiet"]


def build(folder: Path, size: int, count: int) -> tuple[list[str], int, int, int]:
    """The archive's scenes and the indices of the far, the undated and the truncated one."""
    import rasterio
    from rasterio.transform import Affine

    stack = seasonal_stack(size=size, count=count, days=6.0)
    stack.images = [image.astype(np.uint16) * 16 + 7 for image in stack.images]
    paths = [str(p) for p in write_stack_wide(stack, folder)]
    far, undated, cut = count // 6, count // 3, count // 2
    with rasterio.open(paths[far], "r+") as ds:
        t = ds.transform
        ds.transform = Affine(t.a, 0, t.c + 100_000, 0, t.e, t.f)
    with rasterio.open(paths[undated]) as src:
        profile, pixels = src.profile, src.read()
    os.remove(paths[undated])
    with rasterio.open(paths[undated], "w", **profile) as dst:
        dst.write(pixels)
    with rasterio.open(paths[cut]) as src:
        profile, pixels, tags = src.profile, src.read(), src.tags()
    profile.update(tiled=True, blockxsize=256, blockysize=256, compress="deflate")
    with rasterio.open(paths[cut], "w", **profile) as dst:
        dst.update_tags(**tags)
        dst.write(pixels)
    with open(paths[cut], "r+b") as f:
        f.truncate(f.seek(0, 2) * 2 // 3)
    return paths, far, undated, cut


def write_stack_wide(stack, folder: Path) -> list[Path]:  # type: ignore[no-untyped-def]
    """write_stack for 16-bit scenes."""
    import rasterio
    from rasterio.transform import Affine


    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for k, (image, date) in enumerate(zip(stack.images, stack.dates)):
        path = folder / f"scene_{k:02d}.tif"
        with rasterio.open(path, "w", driver="GTiff", height=image.shape[0], width=image.shape[1], count=1,
                           dtype=image.dtype.name, crs=CRS, transform=Affine(*stack.transform)) as ds:
            ds.update_tags(ACQUISITION_DATE=date.strftime("%Y-%m-%dT%H:%M:%SZ"))
            ds.write(image, 1)
        paths.append(path)
    return paths


def timed(argv: list[str]) -> tuple[float, int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    began = time.perf_counter()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(argv)
    return time.perf_counter() - began, status, out.getvalue(), err.getvalue()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=1000)
    parser.add_argument("--count", type=int, default=60)
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args()
    if args.smoke:
        args.size, args.count = 200, 8
    print(machine.describe())
    met = True
    with tempfile.TemporaryDirectory() as tmp:
        began = time.perf_counter()
        paths, far, undated, cut = build(Path(tmp) / "scenes", args.size, args.count)
        print(f"archive: {args.count} scenes of {args.size} x {args.size} uint16, built in "
              f"{time.perf_counter() - began:.1f} s")
        dated = [p for k, p in enumerate(paths) if k != undated]
        out = str(Path(tmp) / "out")
        runs = [
            ("--invert step shorter than every pair", dated, ["--invert", "1"], 2, "shorter than every pair"),
            ("image without a date", paths, [], 2, f"{paths[undated]} has none"),
            ("pair that does not overlap (--fail-fast)", dated, ["--fail-fast"], 1, "do not overlap"),
            ("--dry-run", dated, ["--dry-run"], 4, "dry run:"),
        ]
        for name, images, more, expected, needle in runs:
            seconds, status, stdout, stderr = timed(["stack", *images, "-o", out, *FLAGS, *more])
            ok = status == expected and needle in stderr and seconds < GOAL_SECONDS
            met &= ok
            print(f"{name}: {seconds:.2f} s, exit {status} (goal: {expected}, under {GOAL_SECONDS:g} s)"
                  f"{'' if ok else '  NOT MET: ' + stderr.strip()[-300:]}")
            if more == ["--dry-run"]:
                plans = [line.rsplit("\t", 1)[-1].split(":")[0] for line in stdout.splitlines()[1:]]
                print(f"  plan: {plans.count('match')} pairs to match, {plans.count('failed')} failed before "
                      "any match")
        assert not os.path.exists(out) or not os.listdir(out)
    return 0 if met or args.smoke else 1


if __name__ == "__main__":
    sys.exit(main())
