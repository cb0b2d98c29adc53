#!/usr/bin/env python3
"""Thread scaling of talmek_track.match_points: 2,000 points, 64-pixel chips in 96-pixel windows.

Prints the best-of-N wall time with 1 thread and with 2 threads (or --threads), the CPU time
spent and the speed-up, and checks that both runs produced the same records. The speed-up is
only meaningful on an otherwise idle machine: the CPU time shows whether the threads had cores.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

import Talmek
import talmek_track

# The synthetic scenes the tests use too (tests/synthetic.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
import synthetic  # noqa: E402


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--points", type=int, default=2000)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--smoke", action="store_true", help="200 points, one round: the script's path in seconds")
    args = ap.parse_args()
    if args.smoke:
        args.points, args.repeat = 200, 1

    big = synthetic.textured(1100, 1100, seed=7)
    image1 = big[20:1060, 20:1060]
    image2 = big[17:1057, 22:1062]  # features move 3 rows down and 2 columns left
    params = Talmek.MatchingParams()
    params.chipwidth_ = params.chipheight_ = 64
    params.hoffset_ = params.voffset_ = 16
    rng = np.random.default_rng(3)
    points = rng.integers(64, 1040 - 64, (args.points, 2))

    def once(threads: int) -> tuple[float, float, np.ndarray]:
        w0, c0 = time.perf_counter(), time.process_time()
        records = talmek_track.match_points(image1, image2, points, points, params, threads=threads)
        return time.perf_counter() - w0, time.process_time() - c0, records

    once(1)  # warm-up
    # Interleaved, best of each: other work on the machine slows both sides alike.
    runs = {1: [], args.threads: []}
    for _ in range(args.repeat):
        for threads in runs:
            runs[threads].append(once(threads))
    (t1, c1, r1), (tn, cn, rn) = (min(runs[k], key=lambda r: r[0]) for k in (1, args.threads))
    same = r1.tobytes() == rn.tobytes()
    accepted = int(np.count_nonzero(r1["active"] == talmek_track.Status.accepted))
    print(f"match_points, {args.points} points, 64x64 chips in 96x96 windows "
          f"({accepted} accepted), best of {args.repeat}")
    print(f"  1 thread : {t1 * 1e3:8.1f} ms  ({args.points / t1:8.0f} points/s, CPU {c1 * 1e3:.0f} ms)")
    print(f"  {args.threads} threads: {tn * 1e3:8.1f} ms  ({args.points / tn:8.0f} points/s, CPU {cn * 1e3:.0f} ms)")
    print(f"  speed-up : {t1 / tn:.2f}x   identical records: {same}")

if __name__ == "__main__":
    main()
