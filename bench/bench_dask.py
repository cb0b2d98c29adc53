#!/usr/bin/env python3
"""Matching on Dask against the threads backend, on one machine: where a block's time goes on a
worker, and the wall time of one uint16 GeoTIFF pair on the threads backend and on LocalClusters
of 1 x 1 and 2 x 1 (worker processes x threads), runs interleaved and repeated.

--parts profile: the client's own steps (opening the pair, the value-range sample, the plan),
then one block's stages (opening a file, reading and converting its window with halos, the
pre-filter, the saturation check, the chip masks, matching, refinement, pickling the records)
timed in this process and on a fresh Dask worker before and after ``settle_allocator``: wall, CPU
(user + system) and minor page faults of the process, and the bytes a task ships each way.

--parts ceiling: the same work in 1 process alone and in 2 independent processes at once, in
turn (a block on one thread, and a scalar loop of the interpreter): what any two workers of this
machine can reach against one.

--parts pair: each cluster is started once (its start-up, imports on the workers included, is
printed apart), then every repetition runs the threads backend and each cluster in turn. Per
run: wall time, the CPU time of the processes that matched (per task on the clusters), the gap
between one task and the next on a worker thread (scheduling, the job's and the records'
transfer), the threads' idle time after their last task, the client's own time before the first
task and after the last, the CPU time of this process (the client, and the embedded
scheduler's thread) and whether the records equal the threads backend's on the same blocks,
bit for bit (a cluster of more than one thread gets blocks cut for its threads). The medians end
with the ratios: the cluster against the threads backend, and 2 workers against 1. With
``allocator`` among the parts, a third cluster "2 x 1 (Dask's allocator)" keeps the allocator as
Dask's nannies set it, for comparison.

--parts shapes (2 x 1 against 1 x 2), stack (7 images, 6 consecutive pairs) and sweep (block
sizes on 2 x 1) start a cluster per shape and run it once. The
images are written once into a cache folder. Figures are noisy on a shared machine: the load
average is printed beside them.

--smoke runs the default parts once on a 512 x 512 pair cached in a temporary folder: the
script's whole path (but shapes, stack and sweep) in seconds.
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
from machine import processor  # noqa: E402

import synthetic  # noqa: E402

CHIP = dict(chip=32, margin=8, step=16)
SHIFT = (3, -2)  # (rows, columns) that features move from image 1 to image 2


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
    preload = ("rasterio", "scipy.ndimage", "talmek_track.matching.blocks", "talmek_track.matching.refine",
               "talmek_track.matching.prefilter")
    client.run(lambda: [__import__(m) for m in preload] and None)


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
                          dashboard_address="127.0.0.1:0", silence_logs=40) as cluster, \
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


# --- where a block's time goes ---------------------------------------------------------------

def process_usage() -> tuple[float, float, float, int]:
    """(wall, user, system, minor page faults) of this process so far."""
    r = resource.getrusage(resource.RUSAGE_SELF)
    return time.perf_counter(), r.ru_utime, r.ru_stime, r.ru_minflt


STAGES = ["open (header)", "read + convert", "pre-filter", "saturation check", "chip masks",
          "load_block (the above)", "match", "refine", "pickle records"]


def block_stages(job) -> dict:
    """Each stage of one block, as ``load_block`` and ``match_loaded`` run it, timed apart:
    stage -> (wall, user, system, minor faults). Runs on one thread of this process."""
    import dataclasses
    import pickle

    from talmek_track.matching import blocks
    from talmek_track.matching.masking import chips_touch
    from talmek_track.matching.refine import refine_block
    from talmek_track.sources.readers import Window

    out: dict = {}

    def timed(name, fn, *args):
        a = process_usage()
        value = fn(*args)
        b = process_usage()
        old = out.get(name, (0.0, 0.0, 0.0, 0))
        out[name] = tuple(o + (y - x) for o, x, y in zip(old, a, b))
        return value

    ref, search = blocks.chip_sizes(job.params)
    halo = job.prefilter.halo if job.prefilter is not None else 0
    for source, window, validity, points, size in (
            (job.source1, job.window1, job.validity1, job.points1, ref),
            (job.source2, job.window2, job.validity2, job.points2, search)):
        timed("open (header)", source.read_raw, Window(0, 1, 0, 1))
        scaled, invalid = timed("read + convert", source.read_scaled, window.widened(halo, source.shape))
        if job.prefilter is not None:
            timed("pre-filter", job.prefilter, scaled)
        inner = np.zeros((window.row1 - window.row0, window.col1 - window.col0), bool)
        invalid = timed("saturation check", blocks._with_validity, source, window, inner, validity)
        timed("chip masks", chips_touch, invalid, points, size[0], size[1], (window.row0, window.col0))
    loaded = timed("load_block (the above)", blocks.load_block, job)
    plain = blocks.LoadedBlock(dataclasses.replace(job, refine=None), loaded.pixels1, loaded.pixels2, loaded.skip)
    matched = timed("match", blocks.match_loaded, plain, None, 1)
    if job.refine is not None:
        records = timed("refine", refine_block, matched.records, loaded.pixels1, loaded.pixels2,
                        job.window1, job.window2, job.source2.shape, job.params, job.refine, 1)
        matched = blocks.BlockRecords(records, matched.failed, matched.first_error)
    timed("pickle records", pickle.dumps, matched)
    return out


def print_stages(columns: dict) -> None:
    heads = list(columns)
    print(f"    {'stage':<24}" + "".join(f"{h:>34}" for h in heads))
    print(f"    {'':<24}" + "".join(f"{'wall s  CPU s (sys)  faults':>34}" for _ in heads))
    for name in STAGES:
        if not any(name in c for c in columns.values()):
            continue
        cells = []
        for c in columns.values():
            w, u, y, f = c.get(name, (0.0, 0.0, 0.0, 0))
            cells.append(f"{w:8.3f} {u + y:7.3f} ({y:5.3f}) {f:8d}")
        print(f"    {name:<24}" + "".join(f"{cell:>34}" for cell in cells))


def plan(inputs, client=None, quiet: bool = False):
    """The pair's plan as track_files makes it (for ``client``'s cluster when given, else for
    the threads backend), its client-side steps timed."""
    from talmek_track.options.core import TrackOptions
    from talmek_track.run.pair import open_pair, plan_pair, prepare_sources

    options = TrackOptions(**CHIP) if client is None else TrackOptions(backend="dask", client=client, **CHIP)
    t0 = time.perf_counter()
    s1, s2 = open_pair(*inputs, options)
    params = options.params()
    params = prepare_sources(s1, s2, params, start_given=options.start_given)
    t1 = time.perf_counter()
    s1, s2 = (s.with_range(options.value_range, options.percentiles) for s in (s1, s2))
    t2 = time.perf_counter()
    made = plan_pair(s1, s2, params, options)
    jobs = made.jobs
    t3 = time.perf_counter()
    if not quiet:
        print(f"  on the client: opening the pair {t1 - t0:.3f} s, value-range sample of both images "
              f"{t2 - t1:.3f} s (once per image, never on a worker), plan {t3 - t2:.3f} s: "
              f"{len(jobs)} blocks of {jobs[0].size} points")
    return made


def layout(made) -> tuple:
    """The blocks of a plan: their first points, sizes and windows."""
    return tuple((job.first, job.size, tuple(job.window1), tuple(job.window2)) for job in made.jobs)


def threads_on_layout(inputs, client, known: dict) -> tuple[int, list]:
    """The records of the threads backend on the blocks planned for ``client``'s cluster (from
    ``known``, records by layout, when it holds them): the records a Dask run must equal bit for
    bit (each block refines on the windows it read, so runs are compared on the same blocks);
    and the number of blocks."""
    from talmek_track.matching.backends import run_blocks
    from talmek_track.run.pair import finish_plan

    made = plan(inputs, client, quiet=True)
    key = layout(made)
    if key not in known:
        known[key] = [finish_plan(made, run_blocks(made.jobs)).records]
    return len(made.jobs), known[key]


def profile(inputs) -> None:
    import pickle

    from distributed import Client, LocalCluster

    from talmek_track.matching.backends import dask as dask_backend

    jobs = plan(inputs).jobs
    job = jobs[len(jobs) // 2]
    print(f"  a task ships {len(pickle.dumps(job)) / 1e3:.0f} kB of job (sources, settings, points) "
          "and gets its records back; no image travels")
    columns = {"this process": block_stages(job)}
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address="127.0.0.1:0",
                      silence_logs=40) as cluster, Client(cluster, set_as_default=False) as client:
        warm_up(client)
        env = next(iter(client.run(lambda: os.environ.get("MALLOC_TRIM_THRESHOLD_")).values()))
        columns["worker, Dask's allocator"] = client.submit(block_stages, job, pure=False).result()
        client.run(dask_backend.settle_allocator)
        columns["worker, settled"] = client.submit(block_stages, job, pure=False).result()
    print(f"  one block, {job.size} points, one thread (worker started with MALLOC_TRIM_THRESHOLD_={env}):")
    print_stages(columns)


# --- what two processes can do on this machine ------------------------------------------------

def spin(n: int) -> int:
    """A scalar loop of the interpreter: integer arithmetic in registers and L1, no memory."""
    x = 1
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
    return x


def _ceiling_process(kind: str, job, start, out, loops: int = 12_000_000) -> None:
    """One process of the ceiling: its work once to warm up (imports, the file's pages), then
    once more from the moment every process is ready; puts (wall, CPU) of the latter."""
    from talmek_track.matching import blocks

    def work() -> object:
        return spin(loops) if kind == "scalar loop" else blocks.match_block(job, 1)

    work()
    start.wait()
    t0, c0 = time.perf_counter(), time.process_time()
    work()
    out.put((time.perf_counter() - t0, time.process_time() - c0))


def ceiling(inputs, repeat: int, loops: int = 12_000_000) -> None:
    """The same work in 1 process alone and in 2 independent processes at once, in turn: the
    throughput of two against one (2 x the time alone / the pair's time) is what any two
    workers of one machine can reach for it. A block of the pair (one thread, as on a worker)
    and a scalar loop of the interpreter."""
    import multiprocessing

    jobs = plan(inputs, quiet=True).jobs
    job = jobs[len(jobs) // 2]
    spawn = multiprocessing.get_context("spawn")
    print(f"  the same work in 1 process alone and in 2 at once ({repeat} rounds, interleaved):")
    for kind in ("block", "scalar loop"):
        alone, pair, cpu1, cpu2 = [], [], [], []
        for _ in range(repeat):
            for n, into, cpu in ((1, alone, cpu1), (2, pair, cpu2)):
                start, out = spawn.Barrier(n), spawn.Queue()
                procs = [spawn.Process(target=_ceiling_process, args=(kind, job, start, out, loops))
                         for _ in range(n)]
                for p in procs:
                    p.start()
                got = [out.get() for _ in procs]
                for p in procs:
                    p.join()
                into.append(max(w for w, _ in got))
                cpu.extend(c for _, c in got)
        a, b = median(alone), median(pair)
        print(f"    {kind:<12} alone {a:6.2f} s (CPU {median(cpu1):5.2f} s), two at once {b:6.2f} s "
              f"(CPU {median(cpu2):5.2f} s each): throughput {2 * a / b:.2f} x one; by CPU time "
              f"(each on a core of its own) {2 * median(cpu1) / median(cpu2):.2f} x  "
              f"(load average {os.getloadavg()[0]:.1f})")


# --- threads against clusters, interleaved --------------------------------------------------

def cpu_seconds(client=None) -> float:
    """User + system time of this process, or of the client's worker processes together."""
    def own() -> float:
        r = resource.getrusage(resource.RUSAGE_SELF)
        return r.ru_utime + r.ru_stime
    return own() if client is None else sum(client.run(own).values())


def median(values: list[float]) -> float:
    return float(np.median(values))


def task_times(stream, t0: float, t1: float) -> dict:
    """From a run's task stream (tasks' compute spans, per worker thread) and its start and end
    (time.time()): the tasks, their mean compute time, the gaps between one task's end and the
    next one's start on a thread (scheduling and the transfer of jobs and records), the threads'
    idle time at the end (the last blocks), and the client's own time before the first task
    (opening, the value-range sample, the plan) and after the last (assembling, filtering)."""
    spans: dict = {}
    for t in stream.data:
        if "talmek-block" not in str(t.get("key", "")):
            continue
        for s in t["startstops"]:
            if s["action"] == "compute":
                spans.setdefault((t.get("worker"), t.get("thread")), []).append((s["start"], s["stop"]))
    every = sorted(span for own in spans.values() for span in own)
    first, last = every[0][0], max(b for _, b in every)
    gaps = [b[0] - a[1] for own in spans.values() for a, b in zip(sorted(own), sorted(own)[1:])]
    return {"tasks": len(every), "compute": sum(b - a for a, b in every) / len(every),
            "gap": float(np.mean(gaps)) if gaps else 0.0,
            "tail": sum(last - max(b for _, b in own) for own in spans.values()),
            "before": first - t0, "after": t1 - last}


def interleaved(inputs, repeat: int, dask_allocator: bool = False) -> None:
    import contextlib

    from distributed import Client, LocalCluster, get_task_stream

    from talmek_track.matching.backends import dask as dask_backend

    shapes = [("1 x 1", 1, True), ("2 x 1", 2, True)]
    if dask_allocator:
        shapes.append(("2 x 1 (Dask's allocator)", 2, False))
    times: dict[str, list[float]] = {"threads backend": []}
    expected: dict[str, list] = {}
    with contextlib.ExitStack() as stack:
        clients = {}
        for label, workers, settle in shapes:
            t0 = time.perf_counter()
            cluster = stack.enter_context(LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                       dashboard_address="127.0.0.1:0", silence_logs=40))
            client = stack.enter_context(Client(cluster, set_as_default=False))
            warm_up(client)
            if not settle:  # as if settled already: the workers keep Dask's setting
                client.run(lambda: setattr(dask_backend, "_allocator_settled", True))
            clients[label] = client
            times[label] = []
            print(f"  LocalCluster {label}: start-up {time.perf_counter() - t0:.1f} s (apart from the runs)")
        # The threads backend's records (a warm cache too), and its records on the blocks planned
        # for each cluster.
        wall, expected["threads backend"] = run_threads("pair", inputs)
        known = {layout(plan(inputs, quiet=True)): expected["threads backend"]}
        print(f"  threads backend: {len(next(iter(known)))} blocks")
        for label, client in clients.items():
            blocks, expected[label] = threads_on_layout(inputs, client, known)
            print(f"  LocalCluster {label}: {blocks} blocks")
        for r in range(repeat):
            print(f"  round {r + 1} (load average {os.getloadavg()[0]:.1f}):")
            c0 = cpu_seconds()
            wall, got = run_threads("pair", inputs)
            times["threads backend"].append(wall)
            print(f"    {'threads backend':<30} {wall:7.2f} s  CPU {cpu_seconds() - c0:6.1f} s  "
                  f"{'same records' if same_records(got, expected['threads backend']) else 'RECORDS DIFFER'}")
            for label, client in clients.items():
                c0, own0 = cpu_seconds(client), cpu_seconds()
                with get_task_stream(client=client) as stream:
                    t0 = time.time()
                    wall, got = run_dask("pair", inputs, client, None)
                    t1 = time.time()
                cpu, own = cpu_seconds(client) - c0, cpu_seconds() - own0
                k = task_times(stream, t0, t1)
                times[label].append(wall)
                print(f"    LocalCluster {label:<17} {wall:7.2f} s  CPU {cpu:6.1f} s  {k['tasks']} tasks: "
                      f"wall {k['compute']:.2f} s, CPU {cpu / k['tasks']:.2f} s each; gap between tasks "
                      f"{1000 * k['gap']:.0f} ms, threads idle at the end {k['tail']:.1f} s, client "
                      f"before/after {k['before']:.1f}/{k['after']:.1f} s, CPU of the client and scheduler "
                      f"{own:.1f} s  peak RSS/worker "
                      f"{'/'.join(f'{p:.0f}' for p in worker_peak_mb(client))} MB  "
                      f"{'same records' if same_records(got, expected[label]) else 'RECORDS DIFFER'}")
    m = {label: median(v) for label, v in times.items()}
    print("  medians: " + ", ".join(f"{label} {v:.2f} s" for label, v in m.items()))
    print(f"  2 x 1 against the threads backend: {m['2 x 1'] / m['threads backend']:.2f} x its time; "
          f"2 workers against 1: {m['1 x 1'] / m['2 x 1']:.2f} x the speed")
    if dask_allocator:
        print(f"  Dask's allocator: {m['2 x 1 (Dask' + chr(39) + 's allocator)'] / m['threads backend']:.2f} x "
              "the threads backend's time")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=int, default=4000, help="side of the pair (default 4000)")
    ap.add_argument("--repeat", type=int, default=3, help="rounds of the interleaved runs (default 3)")
    ap.add_argument("--stack-size", type=int, default=2000, help="side of the stack's images")
    ap.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "talmek-bench-dask"))
    ap.add_argument("--parts", default="profile,ceiling,pair",
                    help="what to run, of profile, ceiling, pair, allocator (pair with a third cluster "
                         "that keeps Dask's allocator setting), shapes, stack and sweep "
                         "(default: profile,ceiling,pair)")
    ap.add_argument("--smoke", action="store_true", help="a tiny pair, once: the script's path in seconds")
    args = ap.parse_args()
    if args.smoke:
        args.size, args.repeat = 512, 1
        if "--cache" not in sys.argv:
            with tempfile.TemporaryDirectory(prefix="talmek-bench-dask-") as tmp:
                args.cache = tmp
                return run(args)
    return run(args)


def run(args: argparse.Namespace) -> int:
    parts = set(args.parts.split(","))
    folder = Path(args.cache)
    folder.mkdir(parents=True, exist_ok=True)
    warnings.simplefilter("ignore")  # the value ranges each run settles, named once per image
    print(f"processor: {processor()}")
    print("load average before: {:.1f} {:.1f} {:.1f} (other work on the machine slows the runs)".format(
        *os.getloadavg()))
    pair = write_pair(folder, f"pair{args.size}", args.size, 5)
    print(f"one {args.size} x {args.size} uint16 pair, chip 32, margin 8, step 16, every other option "
          "at its default (Wallis pre-filter, cubic refinement):")
    if "profile" in parts:
        profile(pair)
    if "ceiling" in parts:
        ceiling(pair, args.repeat, 200_000 if args.smoke else 12_000_000)
    if "pair" in parts:
        interleaved(pair, args.repeat, "allocator" in parts)
    if "shapes" in parts:
        print("one worker with two threads against two with one, on the pair:")
        measure("pair", pair, [(2, 1), (1, 2)], baseline("pair", pair))
    if "stack" in parts:
        stack = write_stack(folder, 7, args.stack_size)
        print(f"a stack of 7 {args.stack_size} x {args.stack_size} images, 6 consecutive pairs:")
        measure("stack", stack, [(1, 1), (2, 1), (1, 2)], baseline("stack", stack))
    if "sweep" in parts:
        expected = baseline("pair", pair)
        print("block size sweep on the pair, LocalCluster 2 x 1 (pixels of both windows per block):")
        for pixels in (8_000_000, 32_000_000, 128_000_000):
            print(f" {pixels / 1e6:g} M pixels:")
            measure("pair", pair, [(2, 1)], expected, block_pixels=pixels)
    print("load average after: {:.1f} {:.1f} {:.1f}".format(*os.getloadavg()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
