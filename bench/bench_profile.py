"""Where the time of one match goes: each engine stage timed on its own for a reference chip in a
search chip, beside the whole SelectedMatch call. Stage figures come through the private
test-support module, whose wrappers copy their arrays, so they slightly overstate each stage."""
import argparse
import os
import sys
import time

import numpy as np

import _talmek_testsupport as engine
import Talmek
from talmek_track import REF_CHIP_MAX, REF_CHIP_MIN, SEARCH_CHIP_MAX, SEARCH_CHIP_MIN

# The synthetic scenes the tests use too (tests/synthetic.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
import synthetic  # noqa: E402


def median_time(fn, repeats):
    fn()
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return float(np.median(times))


def profile(ref_size, search_size, repeats):
    margin = (search_size - ref_size) // 2
    image = synthetic.textured(600, 600, seed=ref_size)
    centre = 300
    p = Talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = ref_size
    p.hoffset_ = p.voffset_ = margin
    p.mincorr_ = 0.0
    _, ref = engine.extract_chip(image, centre, centre, ref_size, ref_size, REF_CHIP_MIN, REF_CHIP_MAX)
    _, search = engine.extract_chip(image, centre + 1, centre + 2, search_size, search_size,
                                   SEARCH_CHIP_MIN, SEARCH_CHIP_MAX)
    raw = engine.correlate_fft(search, ref)
    corr = engine.normalise_correlation(ref, search, raw)
    peak_args = (corr["surface"], corr["peak_values"], corr["peak_cols"], corr["peak_rows"], corr["coef_sums"], 0.0)
    peak = engine.evaluate_peak(*peak_args)
    stages = {
        "transforms (correlate_fft)": lambda: engine.correlate_fft(search, ref),
        "normalisation": lambda: engine.normalise_correlation(ref, search, raw),
        "peak evaluation": lambda: engine.evaluate_peak(*peak_args),
        "sub-pixel fit": lambda: engine.fit_peak(peak["neighbourhood"], 2),
        "whole SelectedMatch call": lambda: Talmek.SelectedMatch(image, image, [centre, centre + 1],
                                                                 [centre, centre + 2], p),
    }
    print(f"\n{ref_size}/{search_size} (grid {engine.grid_size(search_size, search_size)}), median of {repeats}")
    times = {name: median_time(fn, repeats) for name, fn in stages.items()}
    whole = times["whole SelectedMatch call"]
    parts = sum(t for name, t in times.items() if name != "whole SelectedMatch call")
    for name, t in times.items():
        print(f"  {name:28s} {t * 1e3:8.3f} ms  {100 * t / whole:5.1f} %")
    print(f"  {'call overhead and chips':28s} {(whole - parts) * 1e3:8.3f} ms  (whole minus stages)")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=200)
    parser.add_argument("--smoke", action="store_true", help="3 repeats: the script's path in seconds")
    args = parser.parse_args()
    if args.smoke:
        args.repeats = 3
    for ref_size, search_size in ((32, 48), (64, 96), (128, 168)):
        profile(ref_size, search_size, args.repeats)


if __name__ == "__main__":
    main()
