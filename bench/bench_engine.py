#!/usr/bin/env python3
"""Engine timings: the two-dimensional transform and one whole correlation surface.

Prints the median over repeats of the time per call of
* fft2d (the plain transform) on 64, 128 and 256 square grids, forward and inverse, with the
  engine's fast transform and numpy.fft.fft2 (complex64 in) on the same grid beside it;
* one surface, correlate_fft + normalise_correlation, for a 128x128 reference in a 168x168 search
  chip and a 32x32 reference in a 48x48 search chip, and each of the two steps alone;
* with --planner N, only how often the planner chose each schedule in N fresh processes, per
  size and direction, with the widest kernel and with the AVX2 kernel forced.

The operations are reached through the private test-support module, whose wrappers copy their
arrays in and out; the figures include those copies. `_talmek_testsupport` is imported from the
installed package or from PYTHONPATH (a build directory).
"""

from __future__ import annotations

import argparse
import collections
import json
import platform
import statistics
import subprocess
import sys
import time

import numpy as np

try:
    import _talmek_testsupport as engine
except ImportError as exc:  # pragma: no cover - depends on the environment
    sys.exit(f"cannot import _talmek_testsupport ({exc}); install the package or put a build directory on PYTHONPATH")


def per_call(fn, repeat: int, budget: float) -> float:
    """Median over `repeat` rounds of the mean time per call, each round lasting about `budget` s."""
    fn()
    t0 = time.perf_counter()
    fn()
    once = max(time.perf_counter() - t0, 1e-7)
    inner = max(1, int(budget / once))
    rounds = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        rounds.append((time.perf_counter() - t0) / inner)
    return statistics.median(rounds)


def us(seconds: float) -> str:
    return f"{seconds * 1e6:10.1f} us"


PLANS = """
import json, _talmek_testsupport as e
out = {}
for kernel in [k for k in ("avx512", "avx2") if e.kernel_supported(k)]:
    e.force_fft(kernel=kernel)
    out[kernel] = {f"{n} {s:+d}": e.transform_plan(n, s)["timed_schedule"] for n in (64, 128, 256) for s in (1, -1)}
print(json.dumps(out))
"""


def planner_choices(runs: int) -> None:
    """Tallies the schedules that the planner chose in `runs` fresh processes."""
    tally: dict[tuple[str, str], collections.Counter[str]] = collections.defaultdict(collections.Counter)
    for _ in range(runs):
        done = subprocess.run([sys.executable, "-c", PLANS], capture_output=True, text=True, check=True)
        for kernel, plans in json.loads(done.stdout).items():
            for key, schedule in plans.items():
                tally[(kernel, key)][schedule] += 1
    names = ["rows", "pairs", "strips_l1", "strips_l2"]
    print(f"planner's choice in {runs} fresh processes")
    print("kernel  size sign" + "".join(f"{name:>11s}" for name in names))
    for (kernel, key), counts in sorted(tally.items(), key=lambda item: (item[0][0], int(item[0][1].split()[0]))):
        n, sign = key.split()
        print(f"{kernel:7s} {n:>4s} {sign:>4s}" + "".join(f"{counts[name]:11d}" for name in names))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7, help="rounds per figure (median taken)")
    ap.add_argument("--budget", type=float, default=0.05, help="seconds per round")
    ap.add_argument("--planner", type=int, default=0, metavar="N",
                    help="only tally the planner's choices in N fresh processes")
    ap.add_argument("--smoke", action="store_true",
                    help="one short round per figure and the planner's tally in one process, in seconds")
    args = ap.parse_args()
    if args.smoke:
        args.repeat, args.budget = 1, 0.001
        planner_choices(1)
    elif args.planner:
        return planner_choices(args.planner)

    print("Talmek engine benchmark: median of", args.repeat, "rounds, time per call")
    print(f"module {engine.__file__}")
    print(f"Python {platform.python_version()}, NumPy {np.__version__}, {platform.machine()}")
    print("note: the test-support wrappers copy every array in and out; times include the copies")

    rng = np.random.default_rng(0)
    fast = getattr(engine, "fft2d_fast", None)
    print("\ntransform            fft2d        fft2d_fast    numpy.fft.fft2")
    for n in (64, 128, 256):
        grid = (rng.uniform(0, 255, (n, n)) + 1j * rng.uniform(0, 255, (n, n))).astype(np.complex64)
        for sign in (1, -1):
            plain = per_call(lambda: engine.fft2d(grid, sign), args.repeat, args.budget)
            quick = per_call(lambda: fast(grid, sign), args.repeat, args.budget) if fast else float("nan")
            ref = per_call(lambda: np.fft.fft2(grid), args.repeat, args.budget)
            print(f"{n:3d}x{n:<3d} sign {sign:+d}  {us(plain)}  {us(quick)}  {us(ref)}")

    if fast:
        # Each build of the butterfly kernels on the same grids: time per butterfly, a 2-D
        # transform of n x n running n * n * log2(n) of them (before any pruning).
        kernels = [k for k in ("baseline", "avx2", "avx512") if engine.kernel_supported(k)]
        print("\nfast transform, ns per butterfly (forward; copies included)")
        print("grid     " + "".join(f"{k:>12s}" for k in kernels))
        for n in (64, 128, 256):
            grid = (rng.uniform(0, 255, (n, n)) + 1j * rng.uniform(0, 255, (n, n))).astype(np.complex64)
            butterflies = n * n * int(np.log2(n))
            row = [per_call(lambda k=k: fast(grid, 1, kernel=k), args.repeat, args.budget) * 1e9 / butterflies
                   for k in kernels]
            print(f"{n:3d}x{n:<3d}  " + "".join(f"{t:12.3f}" for t in row))

    print("\nsurface (ref in search)       correlate_fft   normalise      both")
    for ref_size, search_size in ((128, 168), (32, 48)):
        search = rng.integers(0, 256, (search_size, search_size)).astype(np.float32)
        top = (search_size - ref_size) // 2
        ref = search[top:top + ref_size, top:top + ref_size].copy()
        raw = engine.correlate_fft(search, ref)
        t_fft = per_call(lambda: engine.correlate_fft(search, ref), args.repeat, args.budget)
        t_norm = per_call(lambda: engine.normalise_correlation(ref, search, raw), args.repeat, args.budget)
        t_both = per_call(lambda: engine.normalise_correlation(ref, search, engine.correlate_fft(search, ref)),
                          args.repeat, args.budget)
        label = f"{ref_size}x{ref_size} in {search_size}x{search_size}"
        print(f"{label:26s} {us(t_fft)}  {us(t_norm)}  {us(t_both)}")


if __name__ == "__main__":
    main()
