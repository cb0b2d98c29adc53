#!/usr/bin/env python3
"""Whole scenes through talmek-track: peak memory and time, measured with /usr/bin/time -v.

Generates each image pair as GeoTIFFs in a temporary folder (deleted afterwards), written in row
blocks so that generating costs little memory: a smoothed pseudo-random texture defined on map
position, the second image showing it 3 rows lower and 2 columns further left. Default pairs:

* 10980 x 10980 uint16 (a Sentinel-2 tile; values 1000..8905, a few saturated pixels), tiled
  512 x 512 with DEFLATE like a cloud-optimised GeoTIFF;
* 30000 x 30000 uint8 (a large drone orthomosaic), tiled, DEFLATE.

Each pair runs through ``talmek-track --chip 32 --margin 8 --step 16`` (``--step``) (default pre-filter and
figure included) and, for comparison, through the in-memory path: both images read whole with
rasterio, converted with the same ranges, pre-filtered whole and matched by ``match_grid``
(``--in-memory``). Prints elapsed and CPU time, peak resident memory and whether the records
agree.

``--smoke`` runs a 384 x 384 uint16 pair (also in memory) and a 256 x 256 uint8 one: the
script's whole path in seconds.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

# The synthetic scenes the tests use too (tests/synthetic.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
import synthetic  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def write_pair(folder: str, side: int, dtype: str) -> tuple[str, str]:
    import rasterio
    from rasterio.transform import from_origin

    paths = []
    for name, (dr, dc) in (("a.tif", (0, 0)), ("b.tif", (-3, 2))):
        path = os.path.join(folder, name)
        profile = dict(driver="GTiff", width=side, height=side, count=1, dtype=dtype, crs="EPSG:32633",
                       transform=from_origin(500000, 6000000, 10, 10), tiled=True, blockxsize=512,
                       blockysize=512, compress="deflate")
        with rasterio.open(path, "w", **profile) as ds:
            for r0 in range(0, side, 512):
                rows = np.arange(r0, min(r0 + 512, side)) + (dr + 10_000)
                cols = np.arange(side) + (dc + 10_000)
                t = synthetic.window_texture(rows, cols)
                # Contrast stretched as a real scene would be: most values near the middle.
                t = np.clip((t - 0.5) * 2.6 + 0.5, 0, 1)
                if dtype == "uint16":
                    block = np.rint(1000 + t * 7905).astype(np.uint16)
                    block[::997, ::991] = 65535  # saturated pixels
                else:
                    block = np.rint(t * 255).astype(np.uint8)
                ds.write(block, 1, window=rasterio.windows.Window(0, r0, side, len(rows)))
        paths.append(path)
    return paths[0], paths[1]


def measured(cmd: list[str]) -> tuple[float, float, float, str]:
    """Elapsed and CPU seconds, peak RSS in GB and standard output of a command under
    /usr/bin/time -v."""
    done = subprocess.run(["/usr/bin/time", "-v", *cmd], capture_output=True, text=True)
    err = done.stderr
    if done.returncode != 0:
        raise SystemExit(f"failed ({done.returncode}): {' '.join(cmd)}\n{err[-2000:]}")
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", err).group(1)) / 1024**2
    wall = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): ([\d:.]+)", err).group(1)
    seconds = sum(float(part) * 60**k for k, part in enumerate(reversed(wall.split(":"))))
    cpu = sum(float(re.search(rf"{kind} time \(seconds\): ([\d.]+)", err).group(1)) for kind in ("User", "System"))
    return seconds, cpu, rss, done.stdout


IN_MEMORY = """
import sys, warnings, numpy as np, rasterio, talmek_track as tt
from talmek_track.sources.convert import scale_range
from talmek_track.sources.readers import open_source
a, b, records, step = sys.argv[1:5]
warnings.simplefilter("ignore")
ref = np.load(records)
sources = [open_source(p).with_range("auto") for p in (a, b)]
options = tt.TrackOptions(chip=32, margin=8, step=int(step))
prefilter = options.prefilter
images = []
for p, s in zip((a, b), sources):
    with rasterio.open(p) as ds:
        raw = ds.read(1)
    # A wide pixel type is pre-filtered on its scaled values, before their rounding to 8 bits.
    scaled = raw if s.value_range is None else scale_range(raw, *s.value_range)
    del raw
    images.append(prefilter(scaled))
    del scaled
p = options.params()
p = tt.run.pair.prepare_sources(*sources, p, start_given=False)
grid = tt.match_grid(images[0], images[1], p)
print("same records:", grid.records.tobytes() == ref.tobytes())
"""


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--pairs", default="10980:uint16,30000:uint8",
                    help="SIDE:TYPE pairs to run, comma separated (default: %(default)s)")
    ap.add_argument("--in-memory", default="10980", help="sides also run in memory, comma separated "
                    "(default: %(default)s; 'none' for none)")
    ap.add_argument("--step", type=int, default=16, help="grid step in pixels (default: %(default)s)")
    ap.add_argument("--keep", action="store_true", help="keep the generated folder")
    ap.add_argument("--smoke", action="store_true", help="two tiny pairs: the script's path in seconds")
    args = ap.parse_args()
    if args.smoke:
        args.pairs, args.in_memory = "384:uint16,256:uint8", "384"
    exe = shutil.which("talmek-track", path=os.path.dirname(sys.executable)) or shutil.which("talmek-track")
    if exe is None or shutil.which("/usr/bin/time") is None:
        print("needs the talmek-track command and /usr/bin/time")
        return 1
    lscpu = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    model = re.search(r"Model name:\s+(.*)", lscpu)
    l2 = re.search(r"L2 cache:\s+(.*)", lscpu)
    flags = open("/proc/cpuinfo").read().split("flags", 1)[1].split("\n", 1)[0].split()
    vector = [f for f in ("sse4_2", "avx2", "avx512f") if f in flags]
    print(f"{model.group(1) if model else platform.processor()}, {os.cpu_count()} cores, "
          f"{' '.join(vector)}, L2 {l2.group(1) if l2 else '?'}; Python {platform.python_version()}")
    in_memory = set() if args.in_memory == "none" else {int(v) for v in args.in_memory.split(",")}
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    print(f"{'pair':<20}{'run':<34}{'points':>9}{'time s':>9}{'CPU s':>8}{'peak RSS GB':>13}")
    for spec in args.pairs.split(","):
        side_text, dtype = spec.split(":")
        side = int(side_text)
        folder = tempfile.mkdtemp(prefix="talmek-scene-")
        try:
            t0 = time.perf_counter()
            a, b = write_pair(folder, side, dtype)
            made = time.perf_counter() - t0
            out = os.path.join(folder, "out")
            seconds, cpu, rss, _ = measured([exe, a, b, "--chip", "32", "--margin", "8", "--step",
                                             str(args.step), "-o", out, "--quiet"])
            import csv

            with open(os.path.join(out, "vectors.csv")) as f:
                rows = list(csv.DictReader(f))
            accepted = sum(r["status"] == "accepted" for r in rows)
            label = f"{side}^2 {dtype}"
            print(f"{label:<20}{'talmek-track (blocks, figure)':<34}{len(rows):>9}{seconds:>9.1f}"
                  f"{cpu:>8.1f}{rss:>13.2f}"
                  f"   {accepted} accepted; data made in {made:.0f} s")
            if side in in_memory:
                import talmek_track as tt

                records = os.path.join(folder, "records.npy")
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    result = tt.track_files(a, b, chip=32, margin=8, step=args.step)
                np.save(records, result.records)
                script = os.path.join(folder, "in_memory.py")
                with open(script, "w") as f:
                    f.write(IN_MEMORY)
                seconds, cpu, rss, said = measured([sys.executable, script, a, b, records, str(args.step)])
                print(f"{'':<20}{'whole arrays, match_grid':<34}{len(rows):>9}{seconds:>9.1f}{cpu:>8.1f}{rss:>13.2f}"
                      f"   {said.strip()}")
        finally:
            if not args.keep:
                shutil.rmtree(folder, ignore_errors=True)
            else:
                print(f"kept {folder}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
