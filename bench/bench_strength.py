#!/usr/bin/env python3
"""The scale of LineSeg.strength: what it reads on true matches and on chips that do not match.

Strength is not a correlation coefficient in -1..1. It measures how far the best cell of the
correlation surface stands out from the rest of the surface (the cells outside the 9 x 9 window
around it), in standard deviations of that background: the peak's lead over the background mean,
plus its lead over the next distinct peak (or, without one, the first lead again less 0.2).

Cases, each on the same random textured points:
* match     - photographs and textures bundled with scikit-image, shifted by random sub-pixel
              amounts (the pairs of compare.py);
* noisy     - the same with Gaussian noise of 12 grey levels added to the second image;
* unrelated - the first image matched against a different photograph: no true match exists;
* synthetic - smoothed random noise shifted by whole pixels (needs NumPy only).

mincorr_ is set to -inf so that no point is rejected for its strength; the first table gives the
share of points whose peak passed the border and ambiguity tests (statuses 1, 4, 5 under the
default settings), percentiles of their strength, and the share that the default mincorr_ of 2.0
rejects; the second, for the cases with a known truth, the share of accepted matches that are
wrong by more than a pixel in each band of strength.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys

import numpy as np

import Talmek
from talmek_track import Status

# The synthetic scenes the tests use too (tests/synthetic.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
import synthetic  # noqa: E402

SIZES = [(32, 8), (64, 16)]  # reference chip, search margin on each side
PERCENTILES = (5, 25, 50, 75, 95)


def cases(rng, count):
    """name -> list of (image1, image2, row1, col1, row2, col2, true (drow, dcol) or None)."""
    out: dict[str, list] = {}
    try:
        from compare import make_pairs, sample_points
        pairs = make_pairs(rng, 2)
    except ImportError as exc:  # no scikit-image or SciPy: the synthetic case only
        print(f"note: photograph cases skipped ({exc})")
        pairs = []
    if pairs:
        points = sample_points(rng, pairs, count, 2 * 16 + 64)
        out["match"] = [(pairs[k][1], pairs[k][2], r, c, r, c, pairs[k][3]) for k, r, c in points]
        noisy = {}
        for k, _, _ in points:
            if k not in noisy:
                b = pairs[k][2].astype(np.float64) + rng.normal(0, 12, pairs[k][2].shape)
                noisy[k] = np.clip(np.rint(b), 0, 255).astype(np.uint8)
        out["noisy"] = [(pairs[k][1], noisy[k], r, c, r, c, pairs[k][3]) for k, r, c in points]
        unrelated = []
        for k, r, c in points:
            # Another photograph, searched at the same place (moved inside it where it is smaller).
            other = next(p[2] for p in pairs[k:] + pairs[:k] if p[0] != pairs[k][0])
            r2, c2 = min(r, other.shape[0] - 51), min(c, other.shape[1] - 51)
            unrelated.append((pairs[k][1], other, r, c, r2, c2, None))
        out["unrelated"] = unrelated
    a = synthetic.textured(512, 512, seed=rng)
    b = np.roll(a, (2, -3), axis=(0, 1))
    rc = rng.integers(70, 512 - 70, size=(count, 2))
    out["synthetic"] = [(a, b, int(r), int(c), int(r), int(c), (2.0, -3.0)) for r, c in rc]
    return out


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=300, help="points per case (default 300)")
    parser.add_argument("--seed", type=int, default=11, help="random seed (default 11)")
    parser.add_argument("--smoke", action="store_true", help="10 points per case: the script's path in seconds")
    args = parser.parse_args(argv)
    if args.smoke:
        args.points = 10
    rng = np.random.default_rng(args.seed)
    print(f"Talmek {Talmek.__version__}, Python {platform.python_version()}, NumPy {np.__version__}\n")
    all_cases = cases(rng, args.points)
    head = "case         chip  passed   " + "  ".join(f"p{p:<4d}" for p in PERCENTILES) + "  < 2.0"
    print(head)
    print("-" * len(head))
    bands = (0.0, 4.0, 8.0, 16.0, np.inf)
    wrong: dict[str, list[list[bool]]] = {}
    for chip, margin in SIZES:
        params = Talmek.MatchingParams()
        params.chipwidth_ = params.chipheight_ = chip
        params.hoffset_ = params.voffset_ = margin
        params.mincorr_ = float("-inf")
        for name, items in all_cases.items():
            strengths = []
            by_band = [[] for _ in bands[1:]]
            for image1, image2, r1, c1, r2, c2, truth in items:
                seg = Talmek.SelectedMatch(image1, image2, [r1, r2], [c1, c2], params)
                if seg.active not in (Status.accepted, Status.too_far):
                    continue
                strengths.append(seg.strength)
                if seg.active == Status.accepted and truth is not None:
                    error = np.hypot(seg.y1 - seg.y2 - truth[0], seg.x2 - seg.x1 - truth[1])
                    band = int(np.searchsorted(bands, seg.strength, side="right")) - 1
                    by_band[min(max(band, 0), len(by_band) - 1)].append(error > 1.0)
            wrong[f"{name:<12s} {chip:>2d}/{chip + 2 * margin:<3d}"] = by_band
            s = np.array(strengths)
            share = len(s) / len(items)
            pct = np.percentile(s, PERCENTILES) if len(s) else [np.nan] * len(PERCENTILES)
            low = (s < 2.0).mean() if len(s) else np.nan
            print(f"{name:<12s} {chip:>2d}/{chip + 2 * margin:<3d} {share:6.0%}   "
                  + "  ".join(f"{v:5.1f}" for v in pct) + f"  {low:5.0%}")
        print()
    print("Accepted matches more than 1 pixel from the truth, by strength (count in brackets):")
    head = "case         chip  " + "".join(f"{f'{lo:g}..{hi:g}':>14s}" for lo, hi in zip(bands, bands[1:]))
    print(head)
    print("-" * len(head))
    for key, by_band in wrong.items():
        if any(by_band):
            print(key + "".join(f"{np.mean(b):8.0%} ({len(b):>3d})" if b else f"{'-':>14s}" for b in by_band))
    return 0


if __name__ == "__main__":
    sys.exit(main())
