"""talmek-track: match a grid of points between two images and write the displacement vectors."""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np

import Talmek
import talmek_track
from talmek_track import NODATA, RECORD_DTYPE, STATUS_NAMES
from talmek_track._io import (
    InputError, chips_touch, pair_georeference, read_raster, require, write_csv, write_geojson,
    write_grid_rasters, write_plot,
)

PROG = "talmek-track"
EXIT_INPUT, EXIT_USAGE = 1, 2
PEAK_METHODS = {"linear": 1, "log": 2, "reciprocal": 3, "integer": 4}


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line, without the usage block
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _pair(text: str) -> tuple[int, int]:
    """'N' for both directions or 'X,Y' (columns, rows)."""
    try:
        values = [int(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) == 1:
        values *= 2
    if len(values) != 2 or any(abs(v) >= 2**30 for v in values):
        raise argparse.ArgumentTypeError(f"expected N or X,Y with whole numbers, got {text!r}")
    return values[0], values[1]


def _start(text: str) -> tuple[int, int] | None:
    return None if text == "auto" else _pair(text)


def _limit(text: str) -> float:
    if text == "auto":
        return -2.0
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number or 'auto', got {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    ap = _Parser(
        prog=PROG,
        description="Match a regular grid of points of IMAGE1 in IMAGE2 by normalised "
        "cross-correlation and write the displacement vectors to OUTDIR: vectors.csv (every "
        "point), vectors.geojson (accepted vectors), vectors.png (a picture) and, for GeoTIFF "
        "input, dx.tif, dy.tif, strength.tif and status.tif on the grid. Images: PNG, JPEG, TIFF "
        "or GeoTIFF; colour is converted to grey. Pairs of values are written X,Y (columns, rows); "
        "a single value stands for both. Give negative pairs as --offset=-3,2.",
        epilog="dx and dy are displacements in pixels of IMAGE2, columns to the right and rows "
        "downwards, measured between map positions for GeoTIFF input. Exit status: 0 done, "
        "1 unreadable or unusable input, 2 wrong usage.",
    )
    ap.add_argument("image1", metavar="IMAGE1", help="first (reference) image")
    ap.add_argument("image2", metavar="IMAGE2", help="second (search) image")
    ap.add_argument("-o", "--output", metavar="OUTDIR", required=True,
                    help="folder for the results, created if missing (its parent must exist); "
                    "files of the same names in it are replaced")
    ap.add_argument("--chip", type=_pair, default=(32, 32), metavar="N|W,H",
                    help="reference chip size in pixels, 1..128 (default: 32)")
    ap.add_argument("--margin", type=_pair, default=(8, 8), metavar="N|X,Y",
                    help="search margin on each side of the chip, in pixels; the search window "
                    "(chip + 2 x margin) must be 48..256 (default: 8)")
    ap.add_argument("--step", type=_pair, default=(16, 16), metavar="N|X,Y",
                    help="grid spacing in pixels of IMAGE1 (default: 16)")
    ap.add_argument("--start", type=_start, default=None, metavar="auto|X,Y",
                    help="column and row of the first grid point in IMAGE1; auto picks the first "
                    "pixel whose chips fit in both images (default: auto)")
    ap.add_argument("--offset", type=_pair, default=(0, 0), metavar="X,Y",
                    help="expected displacement in pixels (columns right, rows down) where each "
                    "search window is centred; for GeoTIFF input the shift between the two pixel "
                    "grids is added (default: 0)")
    ap.add_argument("--peak", choices=PEAK_METHODS, default="log",
                    help="sub-pixel peak fit: linear (values), log (logarithms), reciprocal, or "
                    "integer (no fit) (default: log)")
    ap.add_argument("--min-strength", type=float, default=2.0, metavar="S",
                    help="lowest correlation strength accepted (default: 2.0)")
    ap.add_argument("--max-displacement", type=_limit, default=-2.0, metavar="PIXELS|auto",
                    help="longest displacement accepted, measured from the expected position; "
                    "auto is the smaller margin minus 2 (default: auto)")
    ap.add_argument("--nodata", type=float, default=None, metavar="VALUE",
                    help="pixel value that marks missing data in both images; points whose chips "
                    "touch one are not matched (status nodata) (default: the value the TIFF "
                    "declares, else none)")
    ap.add_argument("--threads", type=int, default=None, metavar="N",
                    help="threads to match on (default: every core)")
    ap.add_argument("--quiet", action="store_true", help="no progress bar")
    return ap


def _first_fitting(size: int) -> int:
    # The smallest centre whose chip starts at index 0 or later (the engine truncates toward 0).
    return int(np.floor(size / 2.0 - 2.0)) + 1


def make_params(args) -> Talmek.MatchingParams:
    (cw, ch), (mx, my), (sx, sy) = args.chip, args.margin, args.step
    if not (1 <= cw <= 128 and 1 <= ch <= 128):
        raise UsageError(f"--chip must be 1..128 pixels, got {cw},{ch}")
    if mx < 0 or my < 0:
        raise UsageError(f"--margin must not be negative, got {mx},{my}")
    if not (48 <= cw + 2 * mx <= 256 and 48 <= ch + 2 * my <= 256):
        raise UsageError(f"the search window {cw + 2 * mx}x{ch + 2 * my} must be 48..256 pixels "
                         "on each side; widen --margin or --chip")
    if sx < 1 or sy < 1:
        raise UsageError(f"--step must be at least 1, got {sx},{sy}")
    if args.threads is not None and args.threads < 1:
        raise UsageError(f"--threads must be at least 1, got {args.threads}")
    p = Talmek.MatchingParams()
    p.chipwidth_, p.chipheight_ = cw, ch
    p.hoffset_, p.voffset_ = mx, my
    p.col_interval_, p.row_interval_ = sx, sy
    p.col_offset_, p.row_offset_ = args.offset
    p.peakmethod_ = PEAK_METHODS[args.peak]
    p.mincorr_ = args.min_strength
    p.maxdiff_ = args.max_displacement
    if args.start is not None:
        p.start_col_, p.start_row_ = args.start
    return p


def _auto_start(p: Talmek.MatchingParams) -> None:
    p.start_col_ = max(0, _first_fitting(p.chipwidth_), _first_fitting(p.chipwidth_ + 2 * p.hoffset_) - p.col_offset_)
    p.start_row_ = max(0, _first_fitting(p.chipheight_), _first_fitting(p.chipheight_ + 2 * p.voffset_) - p.row_offset_)


def _output_target(text: str) -> Path:
    out = Path(text)
    if out.exists() and not out.is_dir():
        raise UsageError(f"{text} exists and is not a folder")
    if not out.absolute().parent.is_dir():
        raise UsageError(f"the folder that would hold {text} does not exist")
    return out


def _publish(staging: Path, out: Path) -> None:
    if not out.exists():
        os.chmod(staging, 0o777 & ~_umask())
        staging.rename(out)
        return
    for f in staging.iterdir():
        os.replace(f, out / f.name)
    staging.rmdir()


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def run(args) -> str:
    params = make_params(args)
    out = _output_target(args.output)
    tqdm = require("tqdm", "cli").tqdm
    require("matplotlib", "cli")
    raster1 = read_raster(args.image1, args.nodata)
    raster2 = read_raster(args.image2, args.nodata)
    geo1, geo2, shift = pair_georeference(raster1, raster2)
    georeferenced = raster1.transform is not None
    if georeferenced:
        require("rasterio", "geo")
    params.ref_cellsize_, params.ref_xll_, params.ref_yll_ = geo1.cellsize, geo1.xll, geo1.yll
    params.srch_cellsize_, params.srch_xll_, params.srch_yll_ = geo2.cellsize, geo2.xll, geo2.yll
    params.row_offset_ += shift[0]
    params.col_offset_ += shift[1]
    if args.start is None:
        _auto_start(params)

    points1, points2, grid_shape = talmek_track.grid_points(raster1.pixels.shape, params)
    if len(points1) == 0:
        warnings.warn("the grid holds no point inside IMAGE1; check --start and --step")
    skip = chips_touch(raster1.invalid, points1, params.chipwidth_, params.chipheight_)
    skip |= chips_touch(raster2.invalid, points2, params.chipwidth_ + 2 * params.hoffset_,
                        params.chipheight_ + 2 * params.voffset_)
    todo = ~skip
    with tqdm(total=int(todo.sum()), disable=args.quiet, file=sys.stderr, unit="pt",
              desc="matching", leave=False) as bar:
        matched = talmek_track.match_points(raster1.pixels, raster2.pixels, points1[todo], points2[todo],
                                            params, threads=args.threads,
                                            progress=lambda done: bar.update(done - bar.n))
    records = np.zeros(len(points1), RECORD_DTYPE)
    records[todo] = matched
    records["row1"], records["col1"] = points1[:, 0], points1[:, 1]
    records["row2"], records["col2"] = points2[:, 0], points2[:, 1]
    records["active"][skip] = NODATA
    grid = talmek_track.grid_arrays(records, grid_shape, params)
    dx, dy = grid.dx.ravel(), grid.dy.ravel()

    staging = Path(tempfile.mkdtemp(prefix=f".{out.name}.", dir=out.absolute().parent))
    try:
        write_csv(staging / "vectors.csv", records, dx, dy)
        write_geojson(staging / "vectors.geojson", records, dx, dy, raster1.crs)
        if raster1.transform is not None:
            a, _, c, _, e, f = raster1.transform
            sx, sy = params.col_interval_, params.row_interval_
            # Grid cell (i, j) is centred on pixel (start_row + i*sy, start_col + j*sx).
            transform = (a * sx, 0.0, c + a * (params.start_col_ + 0.5 - 0.5 * sx),
                         0.0, e * sy, f + e * (params.start_row_ + 0.5 - 0.5 * sy))
            write_grid_rasters(staging, {"dx": grid.dx, "dy": grid.dy, "strength": grid.strength,
                                         "status": grid.status}, transform, raster1.crs)
        write_plot(staging / "vectors.png", raster1.pixels, records, dx, dy,
                   float(min(params.col_interval_, params.row_interval_)))
        _publish(staging, out)
    finally:
        shutil.rmtree(staging, ignore_errors=True)

    counts: dict[int, int] = {}
    for code in records["active"].tolist():
        counts[code] = counts.get(code, 0) + 1
    summary = ", ".join(f"{n} {STATUS_NAMES.get(code, code)}" for code, n in sorted(counts.items(), key=lambda kv: kv[0] != 1))
    return f"{len(records)} points ({summary or 'none'}) written to {out}"


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)

    def show(message, category, filename, lineno, file=None, line=None):
        print(f"{PROG}: warning: {message}", file=sys.stderr)

    with warnings.catch_warnings():
        warnings.simplefilter("default")
        for quiet in (ResourceWarning, DeprecationWarning, PendingDeprecationWarning):
            warnings.simplefilter("ignore", quiet)
        warnings.showwarning = show
        try:
            summary = run(args)
        except UsageError as e:
            print(f"{PROG}: error: {e}", file=sys.stderr)
            return EXIT_USAGE
        except InputError as e:
            print(f"{PROG}: error: {e}", file=sys.stderr)
            return EXIT_INPUT
        except OSError as e:
            print(f"{PROG}: error: {e.strerror or e}: {e.filename or args.output}", file=sys.stderr)
            return EXIT_INPUT
    if not args.quiet:
        print(f"{PROG}: {summary}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
