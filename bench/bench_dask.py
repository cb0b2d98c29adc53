#!/usr/bin/env python3
"""Matching on Dask: one large uint16 GeoTIFF pair and a stack of 6 smaller pairs, on the threads
backend and on LocalClusters of 1 x 1, 2 x 1 and 1 x 2 (worker processes x threads).

Prints per run the wall time (the cluster already started; its start-up is printed apart), the
speed-up over one worker with one thread, the peak resident memory of each worker process, and
the scheduler's overhead per task: from the first task's start to the last task's end, the time the
cluster's threads spent not computing a task, per task, also as a share of the mean task time. A block-size sweep on
2 x 1 shows where that overhead falls below 10 %. Every run's records are checked against the
threads backend, bit for bit. The images are written once into a cache folder.

The large pair is 5000 x 5000 by default so that `make bench` stays within minutes on two cores;
--size 10980 gives a Sentinel-2 tile (about 5 times the work).
"""

from __future__ import annotations

import argparse
import os
import resource
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

import talmek_track

# The synthetic scenes the tests use too (tests/synthetic.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
import synthetic  # noqa: E402

CHIP = dict(chip=32, margin=8, step=16)
SHIFT = (3, -2)  # (rows, columns) that features move from image 1 to image 2


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            info = f.read()
    except OSError:
        return "unknown processor"
    model = next((line.split(":", 1)[1].strip() for line in info.splitlines()
                  if line.startswith("model name")), "unknown processor")
    flags = next((line.split(":", 1)[1].split() for line in info.splitlines()
                  if line.startswith("flags")), [])
    vec = [f for f in ("sse2", "avx2", "avx512f") if f in flags]
    l2 = ""
    try:
        l2 = Path("/sys/devices/system/cpu/cpu0/cache/index2/size").read_text().strip()
    except OSError:
        pass
    return f"{model}, {'/'.join(vec)}, L2 {l2 or '?'} per core, {os.cpu_count()} cores"


def ground(side: int, seed: int) -> np.ndarray:
    """side x side uint16 ground of values 1000..3800, made 512 rows at a time; each seed gives
    another stretch of it."""
    out = np.empty((side, side), np.uint16)
    cols = np.arange(side) + seed * 100_000
    for r0 in range(0, side, 512):
        rows = np.arange(r0, min(r0 + 512, side)) + seed * 100_000
        out[r0:r0 + len(rows)] = np.rint(1000 + 2800 * synthetic.window_texture(rows, cols))
    return out


def write_pair(folder: Path, name: str, size: int, seed: int, shift=SHIFT) -> tuple[str, str]:
    """Two uint16 GeoTIFFs (10 m pixels, UTM), the second the first moved by ``shift``."""
    import rasterio
    from affine import Affine

    paths = (folder / f"{name}_1.tif", folder / f"{name}_2.tif")
    if all(p.exists() for p in paths):
        return str(paths[0]), str(paths[1])
    pad = 8
    base = ground(size + 2 * pad, seed)
    dr, dc = shift
    images = (base[pad:pad + size, pad:pad + size], base[pad - dr:pad - dr + size, pad - dc:pad - dc + size])
    for path, image in zip(paths, images):
        with rasterio.open(path, "w", driver="GTiff", width=size, height=size, count=1,
                           dtype="uint16", crs="EPSG:32633", tiled=True, blockxsize=512,
                           blockysize=512, transform=Affine(10.0, 0, 500000.0, 0, -10.0, 7000000.0)) as ds:
            ds.write(image, 1)
    return str(paths[0]), str(paths[1])


def write_stack(folder: Path, count: int, size: int) -> list[str]:
    """``count`` uint16 GeoTIFFs, each the previous one moved by (1, 1) pixels."""
    import rasterio
    from affine import Affine

    paths = [folder / f"stack_{k}.tif" for k in range(count)]
    if all(p.exists() for p in paths):
        return [str(p) for p in paths]
    pad = count + 4
    base = ground(size + 2 * pad, 11)
    for k, path in enumerate(paths):
        image = base[pad - k:pad - k + size, pad - k:pad - k + size]
        with rasterio.open(path, "w", driver="GTiff", width=size, height=size, count=1,
                           dtype="uint16", crs="EPSG:32633",
                           transform=Affine(10.0, 0, 500000.0, 0, -10.0, 7000000.0)) as ds:
            ds.write(image, 1)
            ds.update_tags(ACQUISITION_DATE=f"2024-07-{k * 5 + 1:02d}")
    return [str(p) for p in paths]


def worker_peak_mb(client) -> list[float]:
    peaks = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0)
    return [peaks[k] for k in sorted(peaks)]


def same_records(a: list, b: list) -> bool:
    for ra, rb in zip(a, b, strict=True):
        if ra.shape != rb.shape or any(ra[n].tobytes() != rb[n].tobytes() for n in rb.dtype.names):
            return False
    return True


def run_threads(kind: str, inputs) -> tuple[float, list]:
    t0 = time.perf_counter()
    if kind == "pair":
        out = [talmek_track.track_files(*inputs, **CHIP).records]
    else:
        out = [r.records for r in talmek_track.match_stack(inputs, backend="threads", progress=False, **CHIP)]
    return time.perf_counter() - t0, out


def run_dask(kind: str, inputs, client, block_pixels: int | None) -> tuple[float, list]:
    extra = {} if block_pixels is None else {"block_pixels": block_pixels}
    t0 = time.perf_counter()
    if kind == "pair":
        out = [talmek_track.track_files(*inputs, backend="dask", client=client, **extra, **CHIP).records]
    else:
        out = [r.records for r in talmek_track.match_stack(inputs, backend="dask", client=client,
                                                           progress=False, **extra, **CHIP)]
    return time.perf_counter() - t0, out


def warm_up(client) -> None:
    """Imports what a task needs on every worker, so that the first tasks do not pay for it."""
    client.run(lambda: [__import__(m) for m in ("rasterio", "talmek_track.blocks")] and None)


def baseline(kind: str, inputs) -> list:
    wall, expected = run_threads(kind, inputs)
    print(f"  {'threads backend':<22} {wall:8.2f} s")
    return expected


def measure(kind: str, inputs, shapes, expected: list, block_pixels=None) -> None:
    from distributed import Client, LocalCluster, get_task_stream

    base = None
    for workers, threads in shapes:
        t0 = time.perf_counter()
        with LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True,
                          dashboard_address=None, silence_logs=40) as cluster, \
                Client(cluster, set_as_default=False) as client:
            warm_up(client)
            start = time.perf_counter() - t0
            with get_task_stream(client=client) as stream:
                wall, got = run_dask(kind, inputs, client, block_pixels)
            spans = [(s["start"], s["stop"]) for t in stream.data if "talmek-block" in str(t.get("key", ""))
                     for s in t["startstops"] if s["action"] == "compute"]
            compute = sum(b - a for a, b in spans)
            busy = max(b for _, b in spans) - min(a for a, _ in spans)
            peaks = worker_peak_mb(client)
        base = base or wall
        n = len(spans)
        # The time the cluster's threads were not computing between the first task's start and
        # the last one's end: scheduling, transfers and idle threads, per task.
        over = (busy * workers * threads - compute) / n
        share = over / (compute / n) if compute else float("nan")
        print(f"  LocalCluster {workers} x {threads:<7} {wall:8.2f} s  speed-up {base / wall:4.2f}  "
              f"start {start:4.1f} s  peak RSS/worker {'/'.join(f'{p:.0f}' for p in peaks)} MB  "
              f"{n} tasks, overhead/task {1000 * over:6.1f} ms ({100 * share:4.1f} % of "
              f"{1000 * compute / n:.0f} ms)  {'same records' if same_records(got, expected) else 'RECORDS DIFFER'}")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=int, default=5000, help="side of the large pair (default 5000)")
    ap.add_argument("--stack-size", type=int, default=2000, help="side of the stack's images")
    ap.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "talmek-bench-dask"))
    ap.add_argument("--parts", default="pair,stack,sweep",
                    help="what to run, of pair, stack and sweep (default: all three)")
    args = ap.parse_args()
    parts = set(args.parts.split(","))
    folder = Path(args.cache)
    folder.mkdir(parents=True, exist_ok=True)
    warnings.simplefilter("ignore")  # the value ranges each run settles, named once per image
    print(cpu_name())
    print("load average before: {:.1f} {:.1f} {:.1f} (other work on the machine slows the runs)".format(
        *os.getloadavg()))
    pair = write_pair(folder, f"pair{args.size}", args.size, 5)
    stack = write_stack(folder, 7, args.stack_size)
    shapes = [(1, 1), (2, 1), (1, 2)]
    if parts & {"pair", "sweep"}:
        print(f"one {args.size} x {args.size} uint16 pair, chip 32, margin 8, step 16, default block size:")
        expected = baseline("pair", pair)
    if "pair" in parts:
        measure("pair", pair, shapes, expected)
    if "stack" in parts:
        print(f"a stack of 7 {args.stack_size} x {args.stack_size} images, 6 consecutive pairs:")
        measure("stack", stack, shapes, baseline("stack", stack))
    if "sweep" in parts:
        print("block size sweep on the large pair, LocalCluster 2 x 1 (pixels of both windows per block):")
        for pixels in (8_000_000, 32_000_000, 128_000_000):
            print(f" {pixels / 1e6:g} M pixels:")
            measure("pair", pair, [(2, 1)], expected, block_pixels=pixels)
    print("load average after: {:.1f} {:.1f} {:.1f}".format(*os.getloadavg()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
