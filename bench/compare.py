#!/usr/bin/env python3
"""Talmek side by side with general-purpose matchers, on the same chips and the same grid.

Part 1 - chips. Photographs and textures bundled with scikit-image are shifted by known
sub-pixel amounts (each image of a pair moved by half the shift in opposite directions with cubic
splines, so both carry the same interpolation blur). Points on textured ground are drawn at random
and every method works on the very same reference and search chips, one call after the other, in
a rotating order:

* Talmek.SelectedMatch, the whole call on the full images, as a user calls it;
* cv2.matchTemplate (TM_CCOEFF_NORMED) + cv2.minMaxLoc: whole-pixel peak;
* the same plus a three-point Gaussian refinement along each axis;
* skimage.feature.match_template: whole-pixel peak;
* skimage.registration.phase_cross_correlation(upsample_factor=100) on two equal chips of the
  reference size at the same place.

Part 2 - grid. OpenPIV's extended_search_area_piv over the stereo motorcycle pair against
Talmek on the same grid points, with the same 32-pixel window and 96-pixel search area, scored
against the true disparity.

Part 3 - whole grids on every core. talmek_track.match_points on every core against OpenCV's
best whole-grid approaches on the same 64/96 points of a 1000x1000 pair (matchTemplate + minMaxLoc
+ three-point Gaussian, in a plain loop with OpenCV's own threads and on a thread pool of every
core), in wall-clock time for the whole job, interleaved rounds.

Figures are printed only. Errors are Euclidean distances to the true displacement, in pixels;
times are medians of single calls (part 1) or whole passes divided by the vector count (part 2).
In parts 1 and 2 Talmek runs on one thread, so every peer is held to one thread too (OpenCV, and the BLAS under
NumPy). Times are the process's CPU time by default: on a shared machine other processes then
stretch the figures far less than they stretch wall-clock time. --clock wall measures elapsed time.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import time

# Before NumPy loads its BLAS: one thread for every peer, as for Talmek.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import machine  # noqa: E402
import numpy as np  # noqa: E402

import Talmek  # noqa: E402
from talmek_track import Status, chip_origin  # noqa: E402

# The synthetic scenes the tests use too (tests/synthetic.py).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
import synthetic  # noqa: E402

SIZES = [(32, 48), (64, 96), (128, 168)]  # reference / search chip sizes
IMAGES = ["camera", "astronaut", "coffee", "moon", "brick", "gravel"]
clock_ns = time.process_time_ns


def grey_uint8(image):
    from skimage.color import rgb2gray

    if image.ndim == 3:
        image = rgb2gray(image[..., :3]) * 255.0
    return np.clip(np.rint(image), 0, 255).astype(np.uint8)


def first_index(centre: int, size: int) -> int:
    # Every method here cuts the very pixels that Talmek's chip covers.
    return int(chip_origin(centre, size))


def cut(image, row, col, size):
    r0, c0 = first_index(row, size), first_index(col, size)
    return image[r0:r0 + size, c0:c0 + size]


def make_pairs(rng, shifts_per_image: int):
    """(image1, image2, (drow, dcol)) with image2 = image1 displaced by (drow, dcol)."""
    from scipy import ndimage
    from skimage import data

    pairs = []
    for name in IMAGES:
        src = grey_uint8(getattr(data, name)()).astype(np.float64)
        for _ in range(shifts_per_image):
            d = rng.uniform(-3.0, 3.0, size=2)
            a = ndimage.shift(src, -d / 2, order=3, mode="nearest")
            b = ndimage.shift(src, d / 2, order=3, mode="nearest")
            pairs.append((name, grey_uint8(a), grey_uint8(b), d))
    return pairs


def sample_points(rng, pairs, count: int, search: int):
    """Random points whose search chips fit and whose reference chips carry texture."""
    points = []
    half = search // 2 + 2
    while len(points) < count:
        k = int(rng.integers(len(pairs)))
        image1 = pairs[k][1]
        r = int(rng.integers(half, image1.shape[0] - half))
        c = int(rng.integers(half, image1.shape[1] - half))
        if cut(image1, r, c, 32).std() >= 8.0:  # flat sky or walls have no answer for anyone
            points.append((k, r, c))
    return points


# --- the matchers: each returns (drow, dcol) in pixels, or None when it gives no answer ---------

def talmek_match(params, image1, image2, r, c, ref, srch):
    seg = Talmek.SelectedMatch(image1, image2, [r, r], [c, c], params)
    if seg.active != Status.accepted:
        return None, seg.active
    return (-(seg.y2 - seg.y1), seg.x2 - seg.x1), seg.active


def cv2_integer(image1, image2, r, c, ref, srch):
    import cv2

    res = cv2.matchTemplate(cut(image2, r, c, srch), cut(image1, r, c, ref), cv2.TM_CCOEFF_NORMED)
    _, _, _, (x, y) = cv2.minMaxLoc(res)
    m = (srch - ref) // 2
    return (y - m, x - m), res, (y, x)


def gaussian3(lo, mid, hi):
    """Sub-pixel offset of the peak of a Gaussian through three samples, in -0.5..0.5 cells."""
    if lo > 0 and mid > 0 and hi > 0:
        a, b, c = np.log(lo), np.log(mid), np.log(hi)
        den = 2.0 * a - 4.0 * b + 2.0 * c
    else:  # non-positive samples have no logarithm: fall back to a parabola
        a, b, c = lo, mid, hi
        den = 2.0 * a - 4.0 * b + 2.0 * c
    return 0.0 if den == 0 else float((a - c) / den)


def cv2_gaussian(image1, image2, r, c, ref, srch):
    (dy, dx), res, (y, x) = cv2_integer(image1, image2, r, c, ref, srch)
    oy = gaussian3(res[y - 1, x], res[y, x], res[y + 1, x]) if 0 < y < res.shape[0] - 1 else 0.0
    ox = gaussian3(res[y, x - 1], res[y, x], res[y, x + 1]) if 0 < x < res.shape[1] - 1 else 0.0
    return dy + oy, dx + ox


def skimage_template(image1, image2, r, c, ref, srch):
    from skimage.feature import match_template

    res = match_template(cut(image2, r, c, srch), cut(image1, r, c, ref))
    y, x = np.unravel_index(np.argmax(res), res.shape)
    m = (srch - ref) // 2
    return y - m, x - m


def skimage_phase(image1, image2, r, c, ref, srch):
    from skimage.registration import phase_cross_correlation

    # The shift returned is the one that moves the second chip back onto the first.
    shift, _, _ = phase_cross_correlation(cut(image1, r, c, ref), cut(image2, r, c, ref), upsample_factor=100)
    return -shift[0], -shift[1]


def available(module: str) -> bool:
    try:
        __import__(module)
        return True
    except Exception as exc:  # a broken install is as good as none for a benchmark
        print(f"  {module} cannot be imported ({type(exc).__name__}: {exc}); its rows are skipped")
        return False


def chip_benchmark(rng, count: int, shifts_per_image: int):
    have_cv2 = available("cv2")
    have_skimage_feature = available("skimage.feature")
    if have_cv2:
        import cv2

        cv2.setNumThreads(1)  # Talmek runs on one thread; so does every peer here
    pairs = make_pairs(rng, shifts_per_image)

    rows = []
    for ref, srch in SIZES:
        margin = (srch - ref) // 2
        params = Talmek.MatchingParams()
        params.chipwidth_ = params.chipheight_ = ref
        params.hoffset_ = params.voffset_ = margin
        methods = [("Talmek SelectedMatch", lambda *a, p=params: talmek_match(p, *a))]
        if have_cv2:
            methods += [("cv2 TM_CCOEFF_NORMED, integer", lambda *a: cv2_integer(*a)[0]),
                        ("cv2 TM_CCOEFF_NORMED + Gaussian 3-pt", cv2_gaussian)]
        if have_skimage_feature:
            methods += [("skimage match_template, integer", skimage_template),
                        ("skimage phase_cross_corr x100", skimage_phase)]
        points = sample_points(rng, pairs, count, srch)
        times = {name: [] for name, _ in methods}
        errors = {name: [] for name, _ in methods}
        statuses = []
        for i, (k, r, c) in enumerate(points):
            _, image1, image2, d = pairs[k]
            order = methods[i % len(methods):] + methods[:i % len(methods)]
            for name, fn in order:
                t0 = clock_ns()
                out = fn(image1, image2, r, c, ref, srch)
                times[name].append(clock_ns() - t0)
                if name.startswith("Talmek"):
                    out, status = out
                    statuses.append(status)
                errors[name].append(np.nan if out is None else float(np.hypot(out[0] - d[0], out[1] - d[1])))
        # For context, not the goal: Talmek and OpenCV each alone over the same points, one call
        # after another, as a loop over points sees them. Interleaved, each call follows other
        # libraries' work, which has pushed its working set out of the caches (Talmek's: two
        # transform grids of 2 x N^2 floats).
        alone = {}
        for name, fn in methods:
            if not (name.startswith("Talmek") or name.startswith("cv2")):
                continue
            spent = []
            for k, r, c in points:
                _, image1, image2, _ = pairs[k]
                t0 = clock_ns()
                fn(image1, image2, r, c, ref, srch)
                spent.append(clock_ns() - t0)
            alone[name] = np.median(spent) / 1e3
        accepted = np.array(statuses) == Status.accepted
        t_talmek = np.median(times[methods[0][0]])
        for name, _ in methods:
            e = np.array(errors[name])
            rows.append({
                "method": name, "size": f"{ref}/{srch}", "n": int(accepted.sum()), "of": len(points),
                "us": np.median(times[name]) / 1e3, "ratio": np.median(times[name]) / t_talmek,
                "alone_us": alone.get(name, np.nan),
                "med": np.median(e[accepted]), "p95": np.percentile(e[accepted], 95),
                "med_all": np.nanmedian(e), "p95_all": np.nanpercentile(e, 95),
                "rejected": {int(s): int(np.sum(np.array(statuses) == s))
                             for s in set(statuses) if s != Status.accepted},
            })
    return rows


def print_chip_table(rows):
    print("\nChips with known sub-pixel shifts (|shift| <= 3 px per axis), errors in pixels")
    head = (f"{'method':<38}{'ref/srch':>9}{'median us':>11}{'x Talmek':>9}{'med err':>9}{'p95 err':>9}"
            f"{'all: med':>10}{'p95':>7}")
    print(head)
    print("-" * len(head))
    size = None
    for row in rows:
        if size is not None and row["size"] != size:
            print()
        size = row["size"]
        print(f"{row['method']:<38}{row['size']:>9}{row['us']:>11.1f}{row['ratio']:>9.2f}"
              f"{row['med']:>9.3f}{row['p95']:>9.3f}{row['med_all']:>10.3f}{row['p95_all']:>7.3f}")
    print("med/p95 err: over the points Talmek accepted; all: over every point a method answered.")
    for row in rows:
        if row["method"].startswith("Talmek"):
            rej = ", ".join(f"{n} x status {s}" for s, n in sorted(row["rejected"].items())) or "none"
            print(f"  {row['size']}: Talmek accepted {row['n']} of {row['of']} points; rejected: {rej}")


def piv_benchmark(repeats: int):
    print("\nGrid over the motorcycle stereo pair: OpenPIV extended_search_area_piv against Talmek")
    if not available("openpiv.pyprocess"):
        return
    from openpiv import pyprocess
    from skimage import data

    left, right, disparity = data.stereo_motorcycle()
    left, right = grey_uint8(left), grey_uint8(right)
    disparity = np.ma.filled(np.asarray(disparity, dtype=np.float64), np.nan)
    disparity[~np.isfinite(disparity)] = np.nan

    window, search, overlap, expected = 32, 96, 80, 34
    # Disparities span about 7..60 pixels leftwards. Cropping the left image by the expected 34
    # columns on the left and the right image on the right leaves residual shifts of -26..+27
    # pixels inside a 32-pixel margin; Talmek gets the same through col_offset_.
    frame_a = left[:, expected:].astype(np.int32)
    frame_b = right[:, :-expected].astype(np.int32)
    x, y = pyprocess.get_coordinates(frame_a.shape, search_area_size=search, overlap=overlap)
    # OpenPIV reports the window [X - 16, X + 16) at coordinate X; Talmek's 32-pixel chip around
    # point P spans [P - 15, P + 17), so P = X - 1 gives the very same pixels.
    prow = np.rint(y).astype(int) - 1
    pcol_a = np.rint(x).astype(int) - 1
    rows_left, cols_left = prow, pcol_a + expected  # the same point in the uncropped left image
    truth_col = -disparity[rows_left, cols_left]
    known = np.isfinite(truth_col)

    params = Talmek.MatchingParams()
    params.chipwidth_ = params.chipheight_ = window
    params.hoffset_ = params.voffset_ = (search - window) // 2
    params.maxdiff_ = params.hoffset_ - 2.0
    params.col_offset_ = -expected

    def run_talmek():
        dcol = np.full(prow.shape, np.nan)
        drow = np.full(prow.shape, np.nan)
        status = np.zeros(prow.shape, dtype=int)
        for idx in np.ndindex(prow.shape):
            r, c = int(rows_left[idx]), int(cols_left[idx])
            seg = Talmek.SelectedMatch(left, right, [r, r + params.row_offset_], [c, c + params.col_offset_], params)
            status[idx] = seg.active
            if seg.active == Status.accepted:
                dcol[idx], drow[idx] = seg.x2 - seg.x1, -(seg.y2 - seg.y1)
        return drow, dcol, status

    def run_piv():
        u, v, _ = pyprocess.extended_search_area_piv(frame_a, frame_b, window_size=window, overlap=overlap,
                                                     dt=1.0, search_area_size=search, sig2noise_method=None)
        return v, u - expected  # back to the uncropped pair's column shift

    t_tal, t_piv = [], []
    for i in range(repeats):
        for name in (("talmek", "piv") if i % 2 == 0 else ("piv", "talmek")):
            t0 = clock_ns()
            if name == "talmek":
                tal = run_talmek()
                t_tal.append((clock_ns() - t0) * 1e-9 / prow.size)
            else:
                piv = run_piv()
                t_piv.append((clock_ns() - t0) * 1e-9 / prow.size)
    drow_t, dcol_t, status = tal
    v, ucol = piv
    accepted = status == Status.accepted
    err_t = np.hypot(dcol_t - truth_col, drow_t)
    err_p = np.hypot(ucol - truth_col, v)

    def fig(e, sel):
        e = e[sel & np.isfinite(e)]
        return (np.median(e), np.percentile(e, 95), e.size) if e.size else (np.nan, np.nan, 0)

    common = accepted & known
    head = (f"{'method':<38}{'us/vector':>10}{'x Talmek':>9}{'med err':>9}{'p95 err':>9}{'n':>6}"
            f"{'all: med':>10}{'p95':>8}{'n':>6}")
    print(f"window {window}, search area {search}, step {search - overlap}: {prow.size} grid points, "
          f"{known.sum()} with a known disparity; Talmek accepted {common.sum()} of them")
    print(head)
    print("-" * len(head))
    for name, t, e in (("Talmek SelectedMatch", t_tal, err_t), ("OpenPIV extended_search_area_piv", t_piv, err_p)):
        m1, p1, n1 = fig(e, common)
        m2, p2, n2 = fig(e, known)
        print(f"{name:<38}{np.median(t) * 1e6:>10.1f}{np.median(t) / np.median(t_tal):>9.2f}"
              f"{m1:>9.3f}{p1:>9.3f}{n1:>6}{m2:>10.3f}{p2:>8.3f}{n2:>6}")
    counts = ", ".join(f"{int(np.sum(status == s))} x {s}" for s in sorted(set(status.ravel().tolist())))
    print(f"med/p95 err: at points Talmek accepted; all: every point with a known disparity that the "
          f"method answered.\nTalmek statuses: {counts}. OpenPIV: default Gaussian sub-pixel fit, "
          "no signal-to-noise filter.")


# --- whole grids on every core --------------------------------------------------------------------

GOALS = {"32/48": 1.0, "64/96": 1.25, "128/168": 1.5}  # CPU time per match over OpenCV's, at most


def print_goals(rows):
    """Talmek's CPU time per match against OpenCV's best single-threaded variant, with the goals."""
    print("\nGoals (CPU time per match, OpenCV on one thread, interleaved): Talmek / OpenCV")
    for size, goal in GOALS.items():
        mine = [r for r in rows if r["size"] == size]
        talmek = next((r["us"] for r in mine if r["method"].startswith("Talmek")), None)
        peers = [r["us"] for r in mine if r["method"].startswith("cv2")]
        if talmek is None or not peers:
            continue
        ratio = talmek / min(peers)
        print(f"  {size:>8}: {talmek:8.1f} us against {min(peers):8.1f} us: ratio {ratio:5.2f}, goal <= {goal:4.2f}: "
              f"{'met' if ratio <= goal else 'NOT met'}")
    print("For context (not the goal): each alone, one call after another on the same chips")
    for size in GOALS:
        mine = [r for r in rows if r["size"] == size]
        alone = next((r["alone_us"] for r in mine if r["method"].startswith("Talmek")), None)
        peers = [r["alone_us"] for r in mine if r["method"].startswith("cv2")]
        if alone is not None and peers:
            print(f"  {size:>8}: {alone:8.1f} us against {min(peers):8.1f} us: ratio {alone / min(peers):5.2f}")


def grid_benchmark(rounds: int, ref: int = 64, srch: int = 96, step: int = 16) -> None:
    """match_points on every core against OpenCV's whole-grid approaches, wall clock, whole job.

    OpenCV: matchTemplate (TM_CCOEFF_NORMED) + minMaxLoc + three-point Gaussian per point, (a) in a
    plain loop with OpenCV's own threads on every core, (b) on a thread pool of every core with
    OpenCV at one thread per call (it releases the GIL), in chunks of points per task.
    """
    print(f"\nWhole grid, {ref}/{srch} chips every {step} pixels of a 1000x1000 pair, every core, wall clock")
    if not available("cv2") or not available("talmek_track"):
        return
    import concurrent.futures

    import cv2

    import talmek_track

    shift = (1.4, -2.3)
    image1, image2 = synthetic.shifted_pair((1000, 1000), *shift, seed=5)
    axis = np.arange(srch // 2, 1000 - srch // 2, step)
    points = np.array([(r, c) for r in axis for c in axis], dtype=np.int32)
    cores = os.cpu_count() or 1
    params = Talmek.MatchingParams()
    params.chipwidth_ = params.chipheight_ = ref
    params.hoffset_ = params.voffset_ = (srch - ref) // 2

    def cv2_points(chunk):
        return [cv2_gaussian(image1, image2, int(r), int(c), ref, srch) for r, c in chunk]

    def talmek_grid():
        rec = talmek_track.match_points(image1, image2, points, points, params)
        ok = rec["active"] == Status.accepted
        return np.column_stack([-(rec["y2"] - rec["y1"]), rec["x2"] - rec["x1"]])[ok]

    def cv2_loop():
        cv2.setNumThreads(cores)
        return np.array(cv2_points(points))

    pool = concurrent.futures.ThreadPoolExecutor(max_workers=cores)
    chunks = np.array_split(points, cores * 8)

    def cv2_pool():
        cv2.setNumThreads(1)
        return np.array([d for part in pool.map(cv2_points, chunks) for d in part])

    methods = {"Talmek match_points, every core": talmek_grid,
               "cv2 + Gaussian 3-pt, loop, cv2 threads": cv2_loop,
               f"cv2 + Gaussian 3-pt, pool of {cores} threads": cv2_pool}
    times = {name: [] for name in methods}
    found = {}
    for name, fn in methods.items():
        found[name] = fn()  # warm-up: imports, plans, thread start
    for i in range(rounds):
        names = list(methods)
        for name in names[i % len(names):] + names[:i % len(names)]:
            t0 = time.perf_counter()
            methods[name]()
            times[name].append(time.perf_counter() - t0)
    pool.shutdown()
    cv2.setNumThreads(1)

    best_cv2 = min((n for n in methods if n.startswith("cv2")), key=lambda n: np.median(times[n]))
    t_talmek = np.median(times["Talmek match_points, every core"])
    head = f"{'method':<44}{'median ms':>10}{'best ms':>9}{'x Talmek':>9}{'answers':>9}{'med err':>9}{'p95 err':>9}"
    print(f"{len(points)} points, shift {shift}, {rounds} interleaved rounds")
    print(head)
    print("-" * len(head))
    for name in methods:
        err = np.hypot(found[name][:, 0] - shift[0], found[name][:, 1] - shift[1])
        t = np.median(times[name])
        print(f"{name:<44}{t * 1e3:>10.1f}{min(times[name]) * 1e3:>9.1f}{t / t_talmek:>9.2f}{len(err):>9}"
              f"{np.median(err):>9.3f}{np.percentile(err, 95):>9.3f}")
    ratio = t_talmek / np.median(times[best_cv2])
    print(f"Goal: Talmek's wall time <= the best OpenCV approach ({best_cv2}): ratio {ratio:.2f}: "
          f"{'met' if ratio <= 1.0 else 'NOT met'}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    ap.add_argument("--points", type=int, default=300, help="chips per reference/search size")
    ap.add_argument("--shifts", type=int, default=4, help="shifted copies of each source image")
    ap.add_argument("--repeats", type=int, default=4, help="interleaved passes over the stereo grid")
    ap.add_argument("--seed", type=int, default=20240611, help="random seed for shifts and points")
    ap.add_argument("--grid-rounds", type=int, default=7, help="interleaved rounds of the whole-grid comparison")
    ap.add_argument("--clock", choices=["cpu", "wall"], default="cpu",
                    help="time source: the process's CPU time, or elapsed wall-clock time")
    args = ap.parse_args(argv)
    global clock_ns
    clock_ns = time.process_time_ns if args.clock == "cpu" else time.perf_counter_ns

    print(f"Talmek {Talmek.__version__}, Python {platform.python_version()}, numpy {np.__version__}, "
          f"{os.cpu_count()} cores, {time.strftime('%Y-%m-%d')}, {args.clock} time")
    versions = []
    for mod, label in (("cv2", "opencv"), ("skimage", "scikit-image"), ("openpiv", "openpiv"), ("scipy", "scipy")):
        try:
            m = __import__(mod)
            versions.append(f"{label} {getattr(m, '__version__', '?')}")
        except Exception:
            versions.append(f"{label} missing")
    print("peers: " + ", ".join(versions))
    print(machine.describe())
    if not available("skimage") or not available("scipy"):
        print("scikit-image and scipy provide the test images; nothing to compare")
        return 0
    rng = np.random.default_rng(args.seed)
    chips = chip_benchmark(rng, args.points, args.shifts)
    print_chip_table(chips)
    print_goals(chips)
    grid_benchmark(args.grid_rounds)
    piv_benchmark(args.repeats)
    return 0


if __name__ == "__main__":
    sys.exit(main())
