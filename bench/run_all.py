#!/usr/bin/env python3
"""Run benchmark scripts of this folder one after another, each in its own process.

    run_all.py            the headline figures (``make bench``, about 10 minutes on 2 cores):
                          the engine's transforms and stages, each match against OpenCV and
                          scikit-image, whole grids against OpenCV and OpenPIV, and the command's
                          stage profile on a 4000 x 4000 scene pair
    run_all.py --scene    the scene-scale, accuracy and Dask studies (``make bench-scene``, an
                          hour or more on 2 cores): every other bench_*.py but the cache model
                          (bench_cache_model.py: valgrind and a compiler, run on its own)
    run_all.py --all      both
    run_all.py NAME ...   the named scripts

Each script runs in its own process so that one script's imports, caches and memory do not colour
the next one's timings. A script that fails does not stop the others; the exit status says whether
all of them ran through.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
#: The headline scripts, in this order: the engine's own figures, the peers, the whole command.
HEADLINE = ["bench_engine.py", "bench_profile.py", "compare.py", "bench_command.py"]
#: Run on their own only: the cache model needs valgrind and a compiler and takes 10-20 minutes.
APART = ["bench_cache_model.py"]


def scene_scripts() -> list[str]:
    """Every bench_*.py that is not a headline one (a new script lands here until listed above)."""
    return sorted(f for f in os.listdir(HERE)
                  if f.startswith("bench_") and f.endswith(".py") and f not in HEADLINE + APART)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    group = ap.add_mutually_exclusive_group()
    group.add_argument("--scene", action="store_true", help="the scene-scale, accuracy and Dask studies")
    group.add_argument("--all", action="store_true", help="the headline scripts and the studies")
    ap.add_argument("scripts", nargs="*", help="scripts of bench/ to run instead")
    args = ap.parse_args(argv)
    if args.scripts:
        names = args.scripts
    elif args.scene:
        names = scene_scripts()
    else:
        names = HEADLINE + (scene_scripts() if args.all else [])
    failed = []
    start = time.perf_counter()
    for name in names:
        print(f"\n===== {name} =====", flush=True)
        t0 = time.perf_counter()
        rc = subprocess.call([sys.executable, os.path.join(HERE, name)])
        print(f"===== {name}: {'ok' if rc == 0 else f'exit status {rc}'} after {time.perf_counter() - t0:.0f} s =====",
              flush=True)
        if rc != 0:
            failed.append(name)
    print(f"\n{len(names)} scripts in {(time.perf_counter() - start) / 60:.1f} minutes", flush=True)
    if failed:
        print("failed: " + ", ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
