#!/usr/bin/env python3
"""Track a regular grid of points between two images with Talmek and score it against the truth.

Two image pairs ship inside scikit-image, so nothing is downloaded at run time:

* motorcycle - the rectified stereo pair ``skimage.data.stereo_motorcycle()``. Its ground-truth
  disparity d belongs to the left image: the feature at column c of the left image lies at
  column c - d of the right one, so the true displacement is (rows 0, columns -d). Pixels whose
  disparity is unknown (occluded, stored as inf) have no truth and stay out of the error figures.
* photo - the camera photograph, resampled under a known small rotation about the image centre
  plus a translation, so the true displacement is known at every pixel.

For each pair the script prints one line of a table, writes every LineSeg to a CSV file and draws
the accepted vectors over the first image in a PNG figure.
"""

from __future__ import annotations

import argparse
import csv
import io
import os
import sys
import time
from dataclasses import dataclass, field

import numpy as np

import Talmek
from talmek_track import (
    ENGINE_STATUS,
    REF_CHIP_MAX,
    REF_CHIP_MIN,
    SEARCH_CHIP_MAX,
    SEARCH_CHIP_MIN,
    Status,
    status_name,
)

# The statuses a match can end with, in the order of their codes.
STATUS_ORDER = sorted(ENGINE_STATUS.values())
ACCEPTED = int(Status.accepted)


@dataclass
class Pair:
    """Two uint8 grey images and the true displacement (rows, cols) of any point of the first."""

    name: str
    title: str
    image1: np.ndarray
    image2: np.ndarray
    truth: callable  # (rows, cols) -> (true_drow, true_dcol); NaN where unknown
    # Search margins, expected shift and displacement limit that suit this pair.
    hmargin: int
    vmargin: int
    row_offset: int
    col_offset: int


@dataclass
class PairResult:
    pair: Pair
    params: object
    points: list = field(default_factory=list)  # (row1, col1, row2, col2)
    segs: list = field(default_factory=list)
    seconds: float = 0.0


def to_grey_uint8(image: np.ndarray) -> np.ndarray:
    from skimage.color import rgb2gray

    if image.ndim == 3:
        image = rgb2gray(image[..., :3])  # floats in 0..1
        return np.clip(np.rint(image * 255.0), 0, 255).astype(np.uint8)
    return np.ascontiguousarray(image, dtype=np.uint8)


def motorcycle_pair() -> Pair:
    from skimage import data

    left, right, disparity = data.stereo_motorcycle()
    disparity = np.ma.filled(np.asarray(disparity, dtype=np.float64), np.nan)
    disparity[~np.isfinite(disparity)] = np.nan

    def truth(rows, cols):
        d = disparity[rows, cols]
        return np.where(np.isnan(d), np.nan, 0.0), -d

    return Pair(
        "motorcycle",
        "stereo_motorcycle (left -> right), truth = -disparity",
        to_grey_uint8(left),
        to_grey_uint8(right),
        truth,
        hmargin=30,
        vmargin=8,
        row_offset=0,
        # Disparities run from about 7 to 60 pixels; centring the search there keeps every one of
        # them inside a 30-pixel margin.
        col_offset=-34,
    )


def photo_pair(rotation_deg: float, shift_rows: float, shift_cols: float) -> Pair:
    from scipy import ndimage
    from skimage import data

    image1 = to_grey_uint8(data.camera())
    rows, cols = image1.shape
    centre = np.array([(rows - 1) / 2.0, (cols - 1) / 2.0])
    theta = np.deg2rad(rotation_deg)
    # Rotation in (row, col) coordinates; a point q of image1 moves to R (q - centre) + centre + t.
    rot = np.array([[np.cos(theta), -np.sin(theta)], [np.sin(theta), np.cos(theta)]])
    shift = np.array([shift_rows, shift_cols])

    # image2(p) = image1(R^-1 (p - centre - t) + centre), sampled with cubic splines.
    grid = np.indices(image1.shape, dtype=np.float64).reshape(2, -1)
    source = rot.T @ (grid - (centre + shift)[:, None]) + centre[:, None]
    warped = ndimage.map_coordinates(image1.astype(np.float64), source, order=3, mode="nearest")
    image2 = np.clip(np.rint(warped), 0, 255).astype(np.uint8).reshape(image1.shape)

    def truth(r, c):
        q = np.stack([np.asarray(r, float), np.asarray(c, float)]) - centre[:, None]
        moved = (rot - np.eye(2)) @ q + shift[:, None]
        return moved[0], moved[1]

    return Pair(
        "photo",
        f"camera, rotated {rotation_deg:g} deg and shifted ({shift_rows:g}, {shift_cols:g}) px",
        image1,
        image2,
        truth,
        hmargin=12,
        vmargin=12,
        row_offset=0,
        col_offset=0,
    )


def make_params(args, pair: Pair):
    p = Talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = args.chip
    p.hoffset_ = args.hmargin if args.hmargin is not None else pair.hmargin
    p.voffset_ = args.vmargin if args.vmargin is not None else pair.vmargin
    p.peakmethod_ = args.peak_method
    p.mincorr_ = args.mincorr
    # The engine's own limit is min(margins) - 2, which would reject most of the stereo pair's
    # horizontal disparities; a limit from the larger margin only drops peaks at the window edge.
    p.maxdiff_ = args.maxdiff if args.maxdiff is not None else float(max(p.hoffset_, p.voffset_) - 2)
    p.row_offset_ = args.row_offset if args.row_offset is not None else pair.row_offset
    p.col_offset_ = args.col_offset if args.col_offset is not None else pair.col_offset
    p.row_interval_ = p.col_interval_ = args.step
    # Default grid start: the first point whose reference and search chips both fit the images.
    half = args.chip // 2
    p.start_row_ = args.start if args.start is not None else half + p.voffset_ + max(0, -p.row_offset_)
    p.start_col_ = args.start if args.start is not None else half + p.hoffset_ + max(0, -p.col_offset_)
    return p


def grid_points(shape, p):
    """Grid over image1 from the start settings at the given intervals, leaving the same margin at
    the far edges; each point is expected at (row + row_offset_, col + col_offset_) in image2."""
    rows = range(p.start_row_, shape[0] - p.start_row_, p.row_interval_)
    cols = range(p.start_col_, shape[1] - p.start_col_, p.col_interval_)
    return [(r, c, r + p.row_offset_, c + p.col_offset_) for r in rows for c in cols]


def track(pair: Pair, p, progress: bool) -> PairResult:
    from tqdm import tqdm

    result = PairResult(pair, p, grid_points(pair.image1.shape, p))
    image1, image2 = pair.image1, pair.image2
    for r1, c1, r2, c2 in tqdm(result.points, desc=pair.name, unit="pt", disable=not progress, leave=False):
        t0 = time.perf_counter()
        seg = Talmek.SelectedMatch(image1, image2, [r1, r2], [c1, c2], p)
        result.seconds += time.perf_counter() - t0
        result.segs.append(seg)
    return result


def pixel_displacements(result: PairResult):
    """Displacements in pixels of image1 -> image2 recovered from the map coordinates."""
    p = result.params
    rows1 = result.pair.image1.shape[0]
    rows2 = result.pair.image2.shape[0]
    x1 = np.array([s.x1 for s in result.segs])
    y1 = np.array([s.y1 for s in result.segs])
    x2 = np.array([s.x2 for s in result.segs])
    y2 = np.array([s.y2 for s in result.segs])
    col1 = (x1 - p.ref_xll_) / p.ref_cellsize_
    row1 = (rows1 - 1) - (y1 - p.ref_yll_) / p.ref_cellsize_
    col2 = (x2 - p.srch_xll_) / p.srch_cellsize_
    row2 = (rows2 - 1) - (y2 - p.srch_yll_) / p.srch_cellsize_
    return row2 - row1, col2 - col1


def score(result: PairResult) -> dict:
    pts = np.array(result.points, dtype=np.int64).reshape(-1, 4)
    status = np.array([s.active for s in result.segs])
    drow, dcol = pixel_displacements(result)
    trow, tcol = result.pair.truth(pts[:, 0], pts[:, 1])
    err_row, err_col = drow - trow, dcol - tcol
    error = np.hypot(err_row, err_col)
    rms1 = np.array([s.rms_1 for s in result.segs], dtype=np.float64)
    rms2 = np.array([s.rms_2 for s in result.segs], dtype=np.float64)
    accepted = status == ACCEPTED
    known = accepted & np.isfinite(error)
    within = (np.abs(err_col) <= 2 * rms1) & (np.abs(err_row) <= 2 * rms2)
    return {
        "status": status,
        "drow": drow,
        "dcol": dcol,
        "trow": trow,
        "tcol": tcol,
        "error": error,
        "counts": {k: int(np.sum(status == k)) for k in STATUS_ORDER},
        "n": len(status),
        "n_scored": int(known.sum()),
        "median": float(np.median(error[known])) if known.any() else float("nan"),
        "p95": float(np.percentile(error[known], 95)) if known.any() else float("nan"),
        "within": float(np.mean(within[known])) if known.any() else float("nan"),
        "rate": len(status) / result.seconds if result.seconds > 0 else float("nan"),
    }


def write_csv(path: str, result: PairResult, sc: dict) -> None:
    with open(path, "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(
            ["row1", "col1", "row2", "col2", "x1", "y1", "x2", "y2", "length", "strength",
             "displacement", "rms_1", "rms_2", "active", "status", "drow", "dcol",
             "true_drow", "true_dcol", "error"]
        )
        for i, ((r1, c1, r2, c2), s) in enumerate(zip(result.points, result.segs)):
            w.writerow(
                [r1, c1, r2, c2, repr(s.x1), repr(s.y1), repr(s.x2), repr(s.y2), repr(s.get_length()),
                 repr(s.strength), repr(s.displacement), repr(s.rms_1), repr(s.rms_2), s.active,
                 status_name(s.active), f"{sc['drow'][i]:.4f}", f"{sc['dcol'][i]:.4f}",
                 f"{sc['trow'][i]:.4f}", f"{sc['tcol'][i]:.4f}", f"{sc['error'][i]:.4f}"]
            )


def draw(path: str, results: list, scores: list) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    markers = {Status.border: ("s", "tab:orange"), Status.ambiguous: ("D", "tab:purple"),
               Status.weak: ("o", "tab:red"), Status.too_far: ("^", "tab:pink"),
               Status.bad_chip_size: ("x", "black"), Status.chip_outside: ("x", "tab:gray")}
    n = len(results)
    widths = [r.pair.image1.shape[1] / r.pair.image1.shape[0] for r in results]
    fig, axes = plt.subplots(1, n, figsize=(4.6 * sum(widths) + 1.2 * n, 5.4),
                             gridspec_kw={"width_ratios": widths}, squeeze=False)
    for ax, result, sc in zip(axes[0], results, scores):
        p = result.params
        pts = np.array(result.points).reshape(-1, 4)
        ax.imshow(result.pair.image1, cmap="gray", vmin=0, vmax=255, interpolation="antialiased")
        ok = sc["status"] == ACCEPTED
        length = np.hypot(sc["drow"][ok], sc["dcol"][ok])
        # Vectors are stretched so the typical one spans about one grid step.
        typical = float(np.percentile(length, 90)) if ok.any() else 1.0
        k = float(f"{0.9 * p.row_interval_ / typical:.2g}") if typical > 0 else 1.0
        strength = np.array([s.strength for s in result.segs])[ok]
        if ok.any():
            q = ax.quiver(pts[ok, 1], pts[ok, 0], sc["dcol"][ok] * k, sc["drow"][ok] * k, strength,
                          cmap="viridis", angles="xy", scale_units="xy", scale=1.0, width=0.0035,
                          headwidth=3.5, headlength=4, clim=(np.percentile(strength, 5),
                                                             np.percentile(strength, 95)))
            fig.colorbar(q, ax=ax, fraction=0.035, pad=0.01, label="strength")
        for code, (marker, colour) in markers.items():
            sel = sc["status"] == code
            if sel.any():
                style = {"color": colour} if marker == "x" else {"facecolors": "none", "edgecolors": colour}
                ax.scatter(pts[sel, 1], pts[sel, 0], marker=marker, s=14, linewidths=1.0, **style,
                           label=f"{int(code)} {status_name(code)} ({sel.sum()})")
        ax.set_title(f"{result.pair.title}\nchip {p.chipwidth_}, margins {p.hoffset_}/{p.voffset_}, "
                     f"arrows x{k:g}; median error {sc['median']:.2f} px", fontsize=9)
        ax.set_axis_off()
        if any((sc["status"] == c).any() for c in markers):
            ax.legend(loc="lower left", fontsize=7, framealpha=0.8, title="rejected", title_fontsize=7)
    fig.tight_layout()
    # A 256-colour palette keeps the figure small enough to live in the repository.
    buffer = io.BytesIO()
    fig.savefig(buffer, dpi=90, format="png")
    plt.close(fig)
    from PIL import Image

    buffer.seek(0)
    with Image.open(buffer) as image:
        image.convert("RGB").quantize(colors=256, method=Image.Quantize.FASTOCTREE).save(path, optimize=True)


def print_table(results: list, scores: list, out=sys.stdout) -> None:
    head = (f"{'pair':<11}{'points':>7}" + "".join(f"{k:>6}" for k in STATUS_ORDER)
            + f"{'scored':>8}{'med err':>9}{'p95 err':>9}{'in 2rms':>9}{'match/s':>9}")
    print(head, file=out)
    print("-" * len(head), file=out)
    for result, sc in zip(results, scores):
        print(f"{result.pair.name:<11}{sc['n']:>7}" + "".join(f"{sc['counts'][k]:>6}" for k in STATUS_ORDER)
              + f"{sc['n_scored']:>8}{sc['median']:>9.3f}{sc['p95']:>9.3f}{100 * sc['within']:>8.1f}%"
              + f"{sc['rate']:>9.0f}", file=out)
    print("status columns: " + ", ".join(f"{k} {status_name(k)}" for k in STATUS_ORDER) + ".\n"
          "scored = accepted points with a known truth; errors are Euclidean, "
          "pixels; in 2rms = share of scored points\nwhose column and row errors lie within twice "
          "rms_1 and rms_2.", file=out)


PREFILTERS = ["none", "gauss:0.7", "gauss:1", "highpass:3", "wallis:15"]


def velocity_table(pairs: list, args, out=sys.stdout) -> None:
    """Before and after: each pre-filter with the outlier filter off and on, on the same grid,
    matched with talmek_track (the same records as SelectedMatch on the filtered images)."""
    import talmek_track
    from talmek_track.options.values import parse_prefilter
    from talmek_track.products.velocity import OUTLIER, vector_field

    head = (f"{'pair':<11}{'prefilter':<11}{'filter':<8}{'accepted':>9}{'outliers':>9}{'scored':>7}"
            f"{'med err':>9}{'p95 err':>9}{'in 1 sigma':>11}")
    print(head, file=out)
    print("-" * len(head), file=out)
    for pair in pairs:
        p = make_params(args, pair)
        pts = np.array(grid_points(pair.image1.shape, p), dtype=np.int64).reshape(-1, 4)
        shape = (len(range(p.start_row_, pair.image1.shape[0] - p.start_row_, p.row_interval_)),
                 len(range(p.start_col_, pair.image1.shape[1] - p.start_col_, p.col_interval_)))
        trow, tcol = pair.truth(pts[:, 0], pts[:, 1])
        for spec in PREFILTERS:
            f = parse_prefilter(spec)
            records = talmek_track.match_points(f(pair.image1), f(pair.image2), pts[:, :2], pts[:, 2:], p)
            for name in ("none", "median"):
                field = vector_field(records, shape, p, image_rows=pair.image1.shape[0], filter=name)
                ok = field.status == 1
                ex, ey = field.values["dx"] - tcol, field.values["dy"] - trow
                known = ok & np.isfinite(ex) & np.isfinite(ey)
                err = np.hypot(ex[known], ey[known])
                inside = np.concatenate([np.abs(ex[known]) <= field.values["sigma_x"][known],
                                         np.abs(ey[known]) <= field.values["sigma_y"][known]])
                print(f"{pair.name:<11}{spec:<11}{name:<8}{100 * ok.mean():>8.1f}%"
                      f"{int((field.status == OUTLIER).sum()):>9}{int(known.sum()):>7}"
                      f"{np.median(err):>9.3f}{np.percentile(err, 95):>9.3f}{100 * inside.mean():>10.1f}%",
                      file=out)
    print("accepted = share of grid points accepted (after the outlier filter); outliers = accepted "
          "matches the\nnormalised median test rejected; errors in pixels over scored points; in 1 "
          "sigma = share of column\nand row errors within sigma_x, sigma_y.", file=out)


def parse_args(argv=None):
    ap = argparse.ArgumentParser(
        description="Track a grid of points between two images with Talmek.SelectedMatch and "
        "compare the displacements with the known truth. Prints a table, writes every LineSeg to "
        "<out>/<pair>.csv and draws <out>/track_pair.png.",
    )
    ap.add_argument("--pair", choices=["motorcycle", "photo", "both"], default="both",
                    help="image pair: the motorcycle stereo pair with its true disparity, the camera "
                    "photograph under a known rotation and shift, or both (default: %(default)s)")
    ap.add_argument("--chip", type=int, default=32,
                    help=f"reference chip size in pixels, square, {REF_CHIP_MIN}..{REF_CHIP_MAX} "
                    "(default: %(default)s)")
    ap.add_argument("--hmargin", type=int, default=None,
                    help="search margin in columns on each side of the chip (default: 30 for "
                    "motorcycle, 12 for photo)")
    ap.add_argument("--vmargin", type=int, default=None,
                    help="search margin in rows on each side of the chip (default: 8 for "
                    "motorcycle, 12 for photo); chip + 2 x margin must lie in "
                    f"{SEARCH_CHIP_MIN}..{SEARCH_CHIP_MAX}")
    ap.add_argument("--peak-method", type=int, default=2,
                    help="sub-pixel peak fit: 1 quadric on the values, 2 Gaussian (log) fit, 4 "
                    "whole-pixel peak, any other value reciprocal fit (default: %(default)s)")
    ap.add_argument("--step", type=int, default=16,
                    help="grid step in pixels, rows and columns (default: %(default)s)")
    ap.add_argument("--start", type=int, default=None,
                    help="first grid row and column in image 1, also kept free at the far edges "
                    "(default: the nearest point whose chips fit inside both images)")
    ap.add_argument("--row-offset", type=int, default=None,
                    help="expected row shift from image 1 to image 2 (default: 0)")
    ap.add_argument("--col-offset", type=int, default=None,
                    help="expected column shift (default: -34 for motorcycle, the middle of its "
                    "disparity range; 0 for photo)")
    ap.add_argument("--mincorr", type=float, default=2.0,
                    help="lowest accepted peak strength (default: %(default)s)")
    ap.add_argument("--maxdiff", type=float, default=None,
                    help="longest accepted displacement from the expected position, in pixels "
                    "(default: the larger margin minus 2)")
    ap.add_argument("--rotation", type=float, default=1.0,
                    help="photo pair: rotation about the image centre, degrees (default: %(default)s)")
    ap.add_argument("--shift", type=float, nargs=2, default=(1.7, -2.4), metavar=("ROWS", "COLS"),
                    help="photo pair: translation in pixels (default: 1.7 -2.4)")
    ap.add_argument("--out", default=os.path.join("out", "demo"),
                    help="output folder (default: %(default)s)")
    ap.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    ap.add_argument("--save-images", action="store_true",
                    help="also write each pair as <pair>_1.png and <pair>_2.png into the output folder")
    args = ap.parse_args(argv)
    if args.step < 1:
        ap.error("--step must be at least 1")
    return args


#: A made-up georeference for the GeoTIFF copies: 10 m pixels in UTM zone 33N (Svalbard), and two
#: acquisition dates 42 days apart, so that talmek-track reports velocities in m/yr.
GEO_CRS, GEO_WEST, GEO_NORTH, GEO_PIXEL = "EPSG:32633", 450000.0, 8700000.0, 10.0
GEO_DATES = ("2024:07:01 10:30:00", "2024:08:12 10:30:00")


def save_images(folder: str, pair: Pair) -> None:
    """The pair as two PNG files and, with rasterio, as two georeferenced GeoTIFFs that carry
    their acquisition dates, for the talmek-track command (see the README)."""
    from PIL import Image  # comes with Matplotlib

    for k, image in ((1, pair.image1), (2, pair.image2)):
        Image.fromarray(image, mode="L").save(os.path.join(folder, f"{pair.name}_{k}.png"))
    try:
        import rasterio
        from rasterio.transform import from_origin
    except ImportError:
        return
    for k, image in ((1, pair.image1), (2, pair.image2)):
        with rasterio.open(os.path.join(folder, f"{pair.name}_{k}.tif"), "w", driver="GTiff",
                           width=image.shape[1], height=image.shape[0], count=1, dtype="uint8",
                           crs=GEO_CRS, transform=from_origin(GEO_WEST, GEO_NORTH, GEO_PIXEL, GEO_PIXEL)) as ds:
            ds.write(image, 1)
            ds.update_tags(TIFFTAG_DATETIME=GEO_DATES[k - 1])


def main(argv=None) -> int:
    args = parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    pairs = []
    if args.pair in ("motorcycle", "both"):
        pairs.append(motorcycle_pair())
    if args.pair in ("photo", "both"):
        pairs.append(photo_pair(args.rotation, *args.shift))

    results, scores = [], []
    for pair in pairs:
        params = make_params(args, pair)
        result = track(pair, params, progress=not args.no_progress)
        sc = score(result)
        write_csv(os.path.join(args.out, f"{pair.name}.csv"), result, sc)
        if args.save_images:
            save_images(args.out, pair)
        results.append(result)
        scores.append(sc)

    print(f"Talmek {Talmek.__version__}: chip {args.chip}, peak method {args.peak_method}, "
          f"grid step {args.step}")
    print_table(results, scores)
    print("\nPre-filters and the outlier filter, before and after:")
    velocity_table(pairs, args)
    figure = os.path.join(args.out, "track_pair.png")
    draw(figure, results, scores)
    print(f"wrote {figure} and " + ", ".join(os.path.join(args.out, f"{r.pair.name}.csv") for r in results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
