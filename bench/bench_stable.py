#!/usr/bin/env python3
"""The stable-ground offset without a mask (``--stable slow``) against the mask's, on
tests/glacier_scene.py's pairs (offset (0.35, -0.25) px, a glacier up to 6 px, clouds, haze,
nodata) for several seeds, the plain command otherwise.

For each seed and method (mask, slow) it prints the offset found, its bias against the offset
that the stable ground's own vectors measure (the median of their dx, dy: what a perfect choice of
the stable population gives) and against the true offset, in m/yr, how many vectors it took, and
the share of the accepted vectors on stable ground and on the ice whose true velocity lies within
vx_error (vy_error) of the published one: the coverage of the one-sigma errors, 68 % when they
are right. Run it on two trees (PYTHONPATH) to compare them.

``--smoke`` runs one small seed.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
import warnings

import numpy as np

import talmek_track as tt

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from glacier_scene import OFFSET, glacier_scene, write_scene  # noqa: E402


def measure(scene, paths, stable: str) -> dict[str, float]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = tt.track_files(paths["image1"], paths["image2"], stable=stable)
    field = result.vector_field
    rows, cols = result.records["row1"].astype(int), result.records["col1"].astype(int)
    good = field.status == tt.Status.accepted
    on_stable = good & scene.stable[rows, cols]
    on_ice = good & scene.ice[rows, cols]
    per_year = scene.px_per_year
    own = (float(np.median(field.values["dx"][on_stable])), float(np.median(field.values["dy"][on_stable])))
    shift = field.stable_shift
    sx, sy = (shift.dx, shift.dy) if shift is not None else (0.0, 0.0)
    mx, my = scene.truth(rows, cols, offset=False)
    out = {"count": shift.count if shift is not None else 0,
           "bias_x": (sx - own[0]) * per_year, "bias_y": (sy - own[1]) * per_year,
           "true_x": (sx - OFFSET[0]) * per_year, "true_y": (sy - OFFSET[1]) * per_year}
    for name, where in (("stable", on_stable), ("ice", on_ice)):
        covered = []
        for var, true in (("vx", mx * per_year), ("vy", -my * per_year)):
            covered.append(np.abs(field.values[var] - true)[where] <= field.values[f"{var}_error"][where])
        out[f"cover_{name}"] = 100.0 * float(np.concatenate(covered).mean())
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--size", type=int, default=800)
    ap.add_argument("--seeds", type=int, nargs="+", default=[23, 5, 11, 17])
    ap.add_argument("--smoke", action="store_true")
    args = ap.parse_args()
    if args.smoke:
        args.size, args.seeds = 400, [23]
    print(f"talmek_track from {os.path.dirname(tt.__file__)}; {args.size} x {args.size} px")
    print(f"{'seed':>5} {'method':>6} {'count':>6} {'bias vx':>8} {'bias vy':>8} {'vs truth':>17} "
          f"{'cover stable':>12} {'cover ice':>9}   (m/yr, %)")
    totals: dict[str, list[dict[str, float]]] = {"mask": [], "slow": []}
    start = time.perf_counter()
    with tempfile.TemporaryDirectory() as folder:
        for seed in args.seeds:
            scene = glacier_scene(args.size, seed)
            paths = write_scene(scene, os.path.join(folder, str(seed)))
            for method in ("mask", "slow"):
                m = measure(scene, paths, str(paths["stable"]) if method == "mask" else "slow")
                totals[method].append(m)
                print(f"{seed:>5} {method:>6} {m['count']:>6} {m['bias_x']:>8.2f} {m['bias_y']:>8.2f} "
                      f"{m['true_x']:>8.2f} {m['true_y']:>8.2f} {m['cover_stable']:>12.1f} {m['cover_ice']:>9.1f}")
    for method, rows in totals.items():
        worst = max(max(abs(r["bias_x"]), abs(r["bias_y"])) for r in rows)
        cover = [r["cover_stable"] for r in rows]
        print(f"{method}: largest bias {worst:.2f} m/yr; stable coverage {min(cover):.1f}..{max(cover):.1f} %")
    print(f"{time.perf_counter() - start:.1f} s")


if __name__ == "__main__":
    main()
