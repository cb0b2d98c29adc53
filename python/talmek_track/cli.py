"""talmek-track: match a grid of points between two images and write the displacement vectors."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import warnings
from collections.abc import Sequence
from pathlib import Path
from types import TracebackType
from typing import Any, NoReturn, TextIO

from talmek_track import interrupts, publish
from talmek_track._facts import (
    REF_CHIP_MAX,
    REF_CHIP_MIN,
    SEARCH_CHIP_MAX,
    SEARCH_CHIP_MIN,
    STATUS_NAMES,
    Status,
)
from talmek_track.cube import CUBE_NAME
from talmek_track.cube import recover as recover_cube
from talmek_track.errors import InputError, OptionError, OutputError, TrackError, path_text, require
from talmek_track.interrupts import SIGNALS, Interrupted
from talmek_track.options import PEAK_METHODS, TrackOptions
from talmek_track.outliers import FILTERS
from talmek_track.readers import WARP_RESAMPLING
from talmek_track.results import TrackResult
from talmek_track.stack import StackResult, match_stack
from talmek_track.track import track_files
from talmek_track.writers import DEFAULT_FORMATS, WRITERS

PROG = "talmek-track"
EXIT_INPUT, EXIT_USAGE, EXIT_OUTPUT = 1, 2, 3

#: Every default of the command is the library's.
DEFAULTS = TrackOptions()

#: The command's flag of each option whose flag is not its keyword with dashes.
FLAGS = {"value_range": "--range", "formats": "--format", "plot": "--no-plot", "backend": "--dask",
         "saturation": "--no-saturation"}


def flag(option: str) -> str:
    """The command's flag of an option (a keyword of ``TrackOptions``)."""
    return FLAGS.get(option, "--" + option.replace("_", "-"))


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, without the usage block
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _pair(text: str) -> tuple[int, int]:
    """'N' for both directions or 'X,Y' (columns, rows); their limits are the options'."""
    try:
        values = [int(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) == 1:
        values *= 2
    if len(values) != 2:
        raise argparse.ArgumentTypeError(f"expected N or X,Y with whole numbers, got {text!r}")
    return values[0], values[1]


def _shown(pair: tuple[int, int]) -> str:
    """A pair's default as help shows it: N when both are equal, else X,Y."""
    return str(pair[0]) if pair[0] == pair[1] else f"{pair[0]},{pair[1]}"


def _start(text: str) -> tuple[int, int] | None:
    return None if text == "auto" else _pair(text)


def _formats(text: str) -> list[str]:
    names = [n.strip().lower() for n in text.split(",") if n.strip()]
    if not names:
        raise argparse.ArgumentTypeError(f"expected names from {', '.join(WRITERS)}, got {text!r}")
    return names


def _limit(text: str) -> float | None:
    if text == "auto":
        return None
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number or 'auto', got {text!r}") from None


def _count(text: str) -> int | None:
    if text == "none":
        return None
    try:
        value = int(float(text)) if "e" in text.lower() else int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number or 'none', got {text!r}") from None
    return value


def _seconds(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got {text!r}") from None


def _value_range(text: str) -> tuple[float, float] | str | None:
    if text in ("auto", "none"):
        return None if text == "none" else "auto"
    try:
        lo, hi = (float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected auto, none or LOW,HIGH, got {text!r}") from None
    return lo, hi


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("talmek")
    except metadata.PackageNotFoundError:
        import Talmek

        return str(Talmek.__version__)


def add_matching_options(ap: argparse.ArgumentParser) -> None:
    """The options of the matching itself, the same for one pair and for a stack."""
    d = DEFAULTS
    ap.add_argument("--chip", type=_pair, default=d.chip, metavar="N|W,H",
                    help=f"reference chip size in pixels, {REF_CHIP_MIN}..{REF_CHIP_MAX} "
                    f"(default: {_shown(d.chip)})")
    ap.add_argument("--margin", type=_pair, default=d.margin, metavar="N|X,Y",
                    help="search margin on each side of the chip, in pixels; the search window "
                    f"(chip + 2 x margin) must be {SEARCH_CHIP_MIN}..{SEARCH_CHIP_MAX} "
                    f"(default: {_shown(d.margin)})")
    ap.add_argument("--step", type=_pair, default=d.step, metavar="N|X,Y",
                    help=f"grid spacing in pixels of IMAGE1 (default: {_shown(d.step)})")
    ap.add_argument("--start", type=_start, default=d.start, metavar="auto|X,Y",
                    help="column and row of the first grid point in IMAGE1; auto picks the first "
                    "pixel whose chips fit in both images (default: auto)")
    ap.add_argument("--offset", type=_pair, default=d.offset, metavar="X,Y",
                    help="expected displacement in pixels (columns right, rows down) where each "
                    "search window is centred; for GeoTIFF input the shift between the two pixel "
                    f"grids is added (default: {_shown(d.offset)})")
    ap.add_argument("--peak", choices=PEAK_METHODS, default=d.peak,
                    help="sub-pixel peak fit: linear (values), log (logarithms), reciprocal, or "
                    f"integer (no fit) (default: {d.peak})")
    ap.add_argument("--min-strength", type=float, default=d.min_strength, metavar="S",
                    help=f"lowest correlation strength accepted (default: {d.min_strength})")
    ap.add_argument("--max-displacement", type=_limit, default=d.max_displacement, metavar="PIXELS|auto",
                    help="longest displacement accepted, measured from the expected position; "
                    "auto is the smaller margin minus 2 (default: auto)")
    ap.add_argument("--nodata", type=float, default=d.nodata, metavar="VALUE",
                    help="pixel value that marks missing data in both images; points whose chips "
                    f"touch one are not matched (status {Status.nodata.name}) (default: the value "
                    "the TIFF declares, else none)")
    ap.add_argument("--band", type=int, default=d.band, metavar="N",
                    help="band of multi-band images to match, from 1 (default: grey from colour, "
                    "else band 1)")
    ap.add_argument("--page", type=int, default=d.page, metavar="N",
                    help="page of multi-page TIFF stacks to match, from 1 (required for them)")
    ap.add_argument("--range", type=_value_range, default=d.value_range, metavar="auto|LOW,HIGH|none",
                    dest="value_range",
                    help="how pixels other than 8 bits become 8-bit grey: auto stretches the 0.1 to "
                    "99.9 percentiles of each image's valid values, LOW,HIGH maps that range for "
                    "both images, none refuses such images (default: auto)")
    ap.add_argument("--prefilter", default=str(d.prefilter),
                    metavar="none|gauss:SIGMA|highpass:SIGMA|wallis:SIZE",
                    help="filter both images before matching: Gaussian smoothing (sharp peaks, "
                    "particles, noise), high-pass, or Wallis local contrast (natural images) "
                    f"(default: {d.prefilter})")
    ap.add_argument("--filter", choices=FILTERS, default=d.filter,
                    help="outlier filter: the normalised median test over each accepted vector's "
                    "3x3 neighbours; rejected vectors keep their values with status outlier "
                    f"(default: {d.filter})")
    ap.add_argument("--stable", default=d.stable, metavar="MASK|slow|none",
                    help="stable ground: a raster (any grid, read on IMAGE1's; non-zero on rock, "
                    "roads...) whose accepted vectors' median displacement, the images' "
                    "co-registration offset, is removed from dx_map, dy_map, vx, vy and v, and whose "
                    "spread enters each vector's error; slow takes the slowest quarter of the "
                    "accepted vectors instead (default: none)")
    ap.add_argument("--refine", default=d.refine, metavar="none|cubic|cubic:ROUNDS",
                    help="refine each accepted match on IMAGE2 resampled by cubic splines at its "
                    "estimate, free of the fit's pull towards whole pixels (default: cubic, two "
                    "rounds); none keeps the fit's estimate")
    ap.add_argument("--backmatch", type=_off_or_number, default=d.backmatch, metavar="PIXELS|none",
                    help="match each found position back into IMAGE1 and reject round trips that "
                    f"miss by more than PIXELS (default: {d.backmatch:g})")
    ap.add_argument("--similarity", type=_off_or_number, default=d.similarity, metavar="R|none",
                    help="reject refined matches whose chips correlate below R at the refined "
                    f"position: clouds, shadows, changed ground (default: {d.similarity:g})")
    ap.add_argument("--max-speed", type=float, default=None, metavar="V",
                    help="the fastest motion expected, in map units per year (needs the dates): "
                    "coarse-to-fine passes on reduced images predict each point's position, and "
                    "the last passes match IMAGE2 deformed by the prediction, --guided-margin "
                    "pixels around it")
    ap.add_argument("--guided-margin", type=int, default=4, metavar="PIXELS",
                    help="search margin of the last pass, and the least of points --reference predicts "
                    "(default: 4, at least what the least search window needs)")
    ap.add_argument("--reference", default=None, metavar="VX,VY|PRODUCT",
                    help="a velocity map in map units per year on any grid (needs the dates): two "
                    "rasters of vx and vy, or one product holding both (an earlier vectors.tif or "
                    "vectors.nc, an ITS_LIVE mosaic); each point's search is centred on its "
                    "velocity x dt and, with an error (--reference-error or the map's vx_error, "
                    "vy_error or v_error), sized to 3 x that error; points it misses are searched "
                    "blind. Replaces the passes of --max-speed and --passes")
    ap.add_argument("--reference-error", type=float, default=None, metavar="E",
                    help="the error of each component of --reference, map units per year, for "
                    "every point (default: the map's own error layers, else --guided-margin)")
    ap.add_argument("--passes", default=None, metavar="F:CHIP/MARGIN,...",
                    help="the guided passes, coarse to fine, instead of those --max-speed plans: "
                    "each the reduction F (1, 2, 4, 8 or 16), the chip and the search margin in "
                    "pixels of that pass (such as 8:32/12,2:32/6,1:32/4; F/MARGIN keeps --chip); "
                    "the last pass is at full resolution, on IMAGE2 deformed by the prediction")
    ap.add_argument("--fill", action="store_true",
                    help="fill rejected and outlier vectors from their neighbours (the mean of the "
                    "valid ones, ring by ring from the rim of each gap) in every output but "
                    "vectors.csv's dx, dy; filled cells are flagged by the interp_mask variable")
    ap.add_argument("--strain", action="store_true",
                    help="add the strain rates exx, eyy, exy and the effective strain rate in 1/yr "
                    "(central differences over two grid steps); needs the dates")
    ap.add_argument("--mask1", default=None, metavar="MASK",
                    help="validity mask of IMAGE1: a raster (any grid, read on the image's), "
                    "non-zero where pixels are not to be matched (clouds, shadows); such chips get "
                    "the status nodata")
    ap.add_argument("--mask2", default=None, metavar="MASK",
                    help="validity mask of IMAGE2, as --mask1 (a cloud mask, a scene "
                    "classification's bad classes)")
    ap.add_argument("--no-saturation", action="store_true",
                    help="do not leave out chips touching areas at the top of the data's range "
                    "(clipped clouds; images wider than 8 bits)")
    ap.add_argument("--grid", default=d.grid, metavar="first|second|EPSG:CODE,RES",
                    help="the grid both images are matched on when they differ in coordinate "
                    "system or pixel size: IMAGE1's, IMAGE2's, or one of that EPSG system and pixel "
                    "size over IMAGE1's extent; the other image is resampled onto it as it is read "
                    "(see docs/sources.md) (default: first)")
    ap.add_argument("--resampling", choices=WARP_RESAMPLING, default=d.resampling,
                    help=f"how an image is resampled onto the common grid (default: {d.resampling})")
    ap.add_argument("--asset", default=d.asset, metavar="NAME",
                    help="for STAC items (.json) given as images: the asset to match (default: the "
                    "first with the role data)")
    ap.add_argument("--format", type=_formats, default=None, metavar="NAME[,NAME...]",
                    help=f"outputs to write, from {', '.join(WRITERS)} (default: "
                    f"{','.join(DEFAULT_FORMATS)}; gpkg only with pyogrio or fiona installed)")
    ap.add_argument("--threads", type=int, default=d.threads, metavar="N",
                    help="threads to match on (default: every core); with --dask, threads per "
                    "worker process")
    ap.add_argument("--no-plot", action="store_true", help="do not draw vectors.png")
    ap.add_argument("--quiet", action="store_true", help="no progress bar")
    limits = ap.add_argument_group(
        "limits", "bounds for inputs you did not make (see docs/security.md)")
    limits.add_argument("--max-pixels", type=_count, default=d.max_pixels, metavar="N|none",
                        help="refuse images whose header claims more pixels (rows x columns), "
                        f"before decoding any (default: {d.max_pixels})")
    limits.add_argument("--max-points", type=_count, default=d.max_points, metavar="N|none",
                        help=f"refuse grids of more points (default: {d.max_points})")
    limits.add_argument("--max-download", type=_count, default=d.max_download, metavar="BYTES|none",
                        help="refuse HTTP(S) files larger than this, before fetching them whole "
                        f"(default: {d.max_download}, 4 GiB)")
    limits.add_argument("--allow-any-source", action="store_true",
                        help="let GDAL open anything it can: VRT and other files that name further "
                        "files or URLs, driver strings, every /vsi file system (default: plain "
                        "image files only, locally, over HTTP(S) or S3)")


def add_cluster_options(ap: argparse.ArgumentParser) -> None:
    """--dask, --scheduler and --workers."""
    group = ap.add_argument_group(
        "Dask", "match on a Dask cluster (pip install 'talmek[dask]'): every block of grid rows is "
        "one task that reads its own windows of both images, so every worker must reach the "
        "images by the paths given")
    group.add_argument("--dask", action="store_true",
                       help="match on a Dask LocalCluster that starts for the run and stops at its "
                       "end (worker processes whose threads together equal the cores)")
    group.add_argument("--scheduler", metavar="ADDRESS", default=None,
                       help="match on the running Dask cluster of this scheduler, for example "
                       "tcp://head:8786 (implies --dask)")
    group.add_argument("--workers", type=int, default=None, metavar="N",
                       help="worker processes of the LocalCluster, --threads threads each "
                       "(implies --dask; default: one single-threaded process per core)")
    group.add_argument("--connect-timeout", type=_seconds, default=None, metavar="SECONDS",
                       help="how long to wait for --scheduler to accept the connection "
                       "(default: 10)")
    group.add_argument("--handshake-timeout", type=_seconds, default=None, metavar="SECONDS",
                       help="how long to wait, once connected, for --scheduler to answer the "
                       "handshake (default: 10)")


def _off_or_number(text: str) -> float | None:
    if text.strip().lower() == "none":
        return None
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number or none, got {text!r}") from None


def cluster_options(args: argparse.Namespace) -> dict[str, Any]:
    """The backend and its options from parsed arguments (--scheduler, --workers imply --dask)."""
    timeouts = {name: getattr(args, name) for name in ("connect_timeout", "handshake_timeout")
                if getattr(args, name) is not None}
    if not (args.dask or args.scheduler is not None or args.workers is not None):
        return {"backend": "threads", **timeouts}
    return {"backend": "dask", "scheduler": args.scheduler, "workers": args.workers, **timeouts}


def options_of(args: argparse.Namespace, **more: Any) -> TrackOptions:
    """The run's options from parsed arguments (``more``: those of one command only)."""
    return TrackOptions(chip=args.chip, margin=args.margin, step=args.step, start=args.start,
                        offset=args.offset, peak=args.peak, min_strength=args.min_strength,
                        max_displacement=args.max_displacement, nodata=args.nodata, band=args.band,
                        page=args.page, value_range=args.value_range, threads=args.threads,
                        formats=args.format, plot=not args.no_plot, prefilter=args.prefilter,
                        filter=args.filter, stable=args.stable, refine=args.refine,
                        backmatch=args.backmatch, similarity=args.similarity,
                        saturation=not args.no_saturation, mask1=args.mask1, mask2=args.mask2,
                        max_pixels=args.max_pixels, max_points=args.max_points,
                        max_download=args.max_download,
                        allow_any_source=args.allow_any_source, grid=args.grid,
                        resampling=args.resampling, asset=args.asset,
                        fill=args.fill, strain=args.strain, max_speed=args.max_speed,
                        guided_margin=args.guided_margin, passes=args.passes,
                        reference=args.reference, reference_error=args.reference_error,
                        **cluster_options(args), **more)


def build_parser() -> argparse.ArgumentParser:
    """The command's argument parser."""
    ap = _Parser(
        prog=PROG,
        description="Match a regular grid of points of IMAGE1 in IMAGE2 by normalised "
        "cross-correlation and write the displacement vectors to OUTDIR: vectors.csv (every "
        "point), vectors.geojson (accepted and outlier vectors in WGS 84 longitude/latitude), "
        "vectors.png (a picture) and, for GeoTIFF input, vectors.tif (a Cloud-Optimised GeoTIFF of "
        "the grid, one band per variable) and vectors.gpkg (the vectors in the input's coordinate "
        "system); vectors.nc (CF NetCDF) on request. With acquisition dates (--dates or the "
        "files' tags) the outputs hold velocities vx, vy, v in map units per year. Images: PNG, "
        "JPEG, TIFF or, with rasterio, anything GDAL opens (GeoTIFF, /vsimem/, /vsicurl/, /vsizip/ "
        "paths); colour is converted to grey, other pixel types than 8 bits are stretched to 8 "
        "bits. Scenes of any size are matched block by block, reading only what each block needs. "
        "Pairs of values are written X,Y (columns, rows); a single value stands for both. Give "
        "negative pairs as --offset=-3,2.",
        epilog="dx and dy are displacements in pixels of IMAGE2, columns to the right and rows "
        "downwards, measured between map positions for GeoTIFF input; vx and vy point east and "
        "north. docs/variables.md describes every output variable. Results appear in OUTDIR all "
        "together or not at all; earlier results stay untouched on any failure. Exit status: 0 "
        "done, 1 unreadable or unusable input (or a failing cluster), 2 wrong usage, 3 results "
        "cannot be written, 130, 143 and 129 interrupted (SIGINT, SIGTERM, SIGHUP; nothing of "
        "the run is published then). For many pairs of a stack of images see talmek-track stack "
        "--help; to bring OUTDIR back to a whole set of results after a run was killed, "
        "talmek-track repair --help.",
    )
    ap.add_argument("image1", metavar="IMAGE1", help="first (reference) image")
    ap.add_argument("image2", metavar="IMAGE2", help="second (search) image")
    ap.add_argument("-o", "--output", metavar="OUTDIR", required=True,
                    help="folder for the results, created if missing (its parent must exist); "
                    "files of the same names in it are replaced")
    ap.add_argument("--dates", default=None, metavar="DATE1,DATE2",
                    help="acquisition dates of IMAGE1 and IMAGE2, ISO 8601 (2024-07-01 or "
                    "2024-07-01T10:30:00Z; UTC without a zone) (default: from the files' "
                    "ACQUISITION/DATE or TIFFTAG_DATETIME tags, else no velocities)")
    add_matching_options(ap)
    add_cluster_options(ap)
    ap.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return ap


def _pairs_option(text: str) -> str | list[tuple[int, int]]:
    if text in ("consecutive", "all"):
        return text
    pairs = []
    for item in text.split(","):
        try:
            i, j = (int(v) for v in item.split(":"))
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected consecutive, all or I:J,... (images counted "
                                             f"from 0 in the order given), got {text!r}") from None
        pairs.append((i, j))
    return pairs


def _stack_dates(text: str) -> list[str | None]:
    return [item.strip() or None for item in text.split(",")]


def build_stack_parser() -> argparse.ArgumentParser:
    """The argument parser of ``talmek-track stack``."""
    ap = _Parser(
        prog=f"{PROG} stack",
        description="Match the pairs of a stack of images (a time series of one scene) and write "
        "each pair's results, as talmek-track IMAGE1 IMAGE2 does, into a folder of OUTDIR named "
        "after the two files (IMAGE1__IMAGE2) as soon as all of that pair's blocks are matched; "
        "OUTDIR/pairs.csv lists the pairs with their dates. With --dask every pair's blocks run "
        "side by side over the cluster.",
        epilog="The images are taken in the order of their acquisition dates (--dates or the "
        "files' tags) when all have one, else in the order given. Exit status as for "
        "talmek-track; the pairs finished before a failure or an interrupt keep their folders.",
    )
    ap.add_argument("images", metavar="IMAGE", nargs="*",
                    help="the images of the stack, or STAC items or an ItemCollection (.json); "
                    "none with --stac-search")
    ap.add_argument("-o", "--output", metavar="OUTDIR", required=True,
                    help="folder for the results, created if missing (its parent must exist)")
    ap.add_argument("--pairs", type=_pairs_option, default="consecutive",
                    metavar="consecutive|all|I:J,...",
                    help="consecutive: each image with the next one; all: every image with every "
                    "later one; or the pairs by their images' numbers, from 0 in the order given "
                    "(default: consecutive)")
    ap.add_argument("--max-days", type=float, default=None, metavar="DAYS",
                    help="only pairs at most DAYS apart (needs every image's date)")
    ap.add_argument("--min-days", type=float, default=None, metavar="DAYS",
                    help="only pairs at least DAYS apart (needs every image's date)")
    ap.add_argument("--dates", type=_stack_dates, default=None, metavar="DATE,DATE,...",
                    help="every image's acquisition date, in the order given (2024-07-01 or "
                    "2024-07-01T10:30:00Z; an empty entry is read from its file) (default: from "
                    "the files' tags)")
    ap.add_argument("--cube", action="store_true",
                    help="also write OUTDIR/cube.zarr: every pair's velocities along mid_date, "
                    "appended as each pair finishes; a rerun with the same settings matches only "
                    "the pairs missing from it, one with other settings is refused, and so is a "
                    "folder there that is not such a cube (needs every image's date)")
    ap.add_argument("--invert", type=_positive_days, default=None, metavar="DAYS",
                    help="invert the cube into the mean velocity of every DAYS-day step and write "
                    "OUTDIR/timeseries.nc (implies --cube)")
    search = ap.add_argument_group(
        "STAC search", "the stack's images found by a STAC API search (pip install 'talmek[stac]'), "
        "each item standing for its asset (--asset), dated by its datetime")
    search.add_argument("--stac-search", metavar="URL", default=None,
                        help="the STAC API to search (its root address)")
    search.add_argument("--collection", metavar="NAME[,NAME...]", default=None,
                        help="the collections to search (required with --stac-search)")
    search.add_argument("--bbox", metavar="W,S,E,N", default=None,
                        help="only items over this box, in degrees of longitude and latitude")
    search.add_argument("--datetime", metavar="START/END", default=None,
                        help="only items of this time range (2024-06-01/2024-09-30; '..' for an open end)")
    search.add_argument("--max-cloud", type=float, default=None, metavar="PERCENT",
                        help="only items whose eo:cloud_cover is at most PERCENT")
    search.add_argument("--max-items", type=int, default=None, metavar="N",
                        help="take at most N items (default: 100)")
    add_matching_options(ap)
    add_cluster_options(ap)
    return ap


def _stack_inputs(args: argparse.Namespace) -> tuple[list[str], list[Any] | None]:
    """The stack's images and dates: those given, or those a STAC search finds (--stac-search),
    the dates given (--dates) before the items' own."""
    search_flags = [f for f, v in (("--collection", args.collection), ("--bbox", args.bbox),
                                   ("--datetime", args.datetime), ("--max-cloud", args.max_cloud),
                                   ("--max-items", args.max_items)) if v is not None]
    if args.stac_search is None:
        if search_flags:
            raise OptionError(f"{search_flags[0]} needs --stac-search")
        if not args.images:
            raise OptionError("give the images of the stack, or --stac-search")
        return args.images, args.dates
    if args.images:
        raise OptionError("give the images of the stack or --stac-search, not both")
    from talmek_track.stac_search import DEFAULT_MAX_ITEMS, StacQuery, dated_inputs, parse_bbox, search_images

    query = StacQuery(args.stac_search, tuple(c.strip() for c in (args.collection or "").split(",") if c.strip()),
                      None if args.bbox is None else parse_bbox(args.bbox), args.datetime, args.max_cloud,
                      DEFAULT_MAX_ITEMS if args.max_items is None else args.max_items)
    names, dates = dated_inputs(search_images(query, args.asset))
    given: list[Any] = args.dates or []
    if given and len(given) != len(names):
        raise OptionError(f"{len(given)} dates for the {len(names)} images the STAC search found")
    return names, [g if g is not None else d for g, d in zip(given, dates)] if given else list(dates)


def _positive_days(text: str) -> float:
    try:
        days = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of days: {text!r}") from None
    if not 0 < days < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of days, got {text}")
    return days


def run_stack(args: argparse.Namespace) -> StackResult:
    """Runs ``talmek-track stack`` for parsed arguments."""
    images, dates = _stack_inputs(args)
    return match_stack(images, args.pairs, args.output, max_days=args.max_days,
                       min_days=args.min_days, dates=dates, progress=not args.quiet,
                       keep=False, cube=args.cube, invert=args.invert, options=options_of(args))


def stack_summary(result: StackResult) -> str:
    """One line: the pairs and their points, and where they went."""
    points = sum(n for n, _ in result.counts)
    accepted = sum(a for _, a in result.counts)
    where = path_text(result.index.parent) if result.index is not None else "nowhere"
    extra = "".join(f", {path.name}" for path in (result.cube, result.series) if path is not None)
    return f"{len(result.pairs)} pairs, {points} points ({accepted} accepted) written to {where}{extra}"


class _Bar:
    """A tqdm progress bar on standard error, fed (done, total)."""

    def __init__(self, quiet: bool) -> None:
        self.quiet = quiet
        self.bar: Any = None

    def __call__(self, done: int, total: int) -> None:
        if self.bar is None:
            tqdm = require("tqdm", "cli").tqdm
            self.bar = tqdm(total=total, disable=self.quiet, file=sys.stderr, unit="pt",
                            desc="matching", leave=False)
        self.bar.update(done - self.bar.n)

    def __enter__(self) -> _Bar:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self.bar is not None:
            self.bar.close()


def summary(result: TrackResult) -> str:
    """One line: the point count by status and where they went."""
    counts: dict[int, int] = {}
    vf = result.vector_field
    status = result.records["active"] if vf is None else vf.status
    for code in status.tolist():
        counts[code] = counts.get(code, 0) + 1
    accepted = int(Status.accepted)
    text = ", ".join(f"{n} {STATUS_NAMES.get(code, code)}"
                     for code, n in sorted(counts.items(), key=lambda kv: kv[0] != accepted))
    folder = path_text(result.paths[0].parent) if result.paths else "nowhere"
    dated = "" if vf is None or vf.dt_days is None else f", {vf.dt_days:g} days apart"
    return f"{len(result.records)} points ({text or 'none'}{dated}) written to {folder}"


def run(args: argparse.Namespace) -> TrackResult:
    """Runs the command's job for parsed arguments."""
    options = options_of(args, dates=args.dates)
    require("tqdm", "cli")
    with _Bar(args.quiet) as bar:
        return track_files(args.image1, args.image2, args.output, options=options, progress=bar)


#: The warnings shown in this run: each once, although Python's own once-per-place registry is
#: cleared whenever a library changes the warning filters (as reading every image of a stack does).
_shown_warnings: set[str] = set()


def _show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
          file: TextIO | None = None, line: str | None = None) -> None:
    text = str(message)
    if text in _shown_warnings:
        return
    _shown_warnings.add(text)
    print(f"{PROG}: warning: {text}", file=sys.stderr)


#: The signal's exception; SIGINT, SIGTERM and SIGHUP all raise it (see talmek_track.interrupts).
Terminated = Interrupted


def _interrupted_note(signum: int, stack: bool) -> str:
    if stack:
        kept = "the pairs finished before keep their folders"
    elif publish.committed:
        kept = f"the results in {path_text(publish.committed[-1])} were published whole before it"
    else:
        kept = "nothing was written"
    return f"{PROG}: {SIGNALS.get(signum, 'interrupted')}; {kept}"


def build_repair_parser() -> argparse.ArgumentParser:
    """The argument parser of ``talmek-track repair``."""
    ap = _Parser(
        prog=f"{PROG} repair",
        description="Bring OUTDIR (and the pair folders of a stack inside it) back to a whole set "
        "of results after a run was killed or the power failed while it published: an unfinished "
        "publish is undone, so that the earlier files are back, and staging folders left behind "
        "are removed; so is an unfinished commit of OUTDIR/cube.zarr (and the cube.zarr.new "
        "and .old of earlier releases finished or undone). Every run does this first; a run "
        "stopped by SIGINT, SIGTERM or SIGHUP leaves nothing to repair.",
        epilog="Exit status: 0 done (also when there was nothing to repair), 3 an unfinished "
        "publish cannot be undone.")
    ap.add_argument("output", metavar="OUTDIR", help="the output folder of earlier runs")
    ap.add_argument("--quiet", action="store_true", help="print nothing when all went well")
    return ap


def main(argv: Sequence[str] | None = None) -> int:
    """The command: parses ``argv`` (default: the process's arguments) and returns the exit
    status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    command = argv[0] if argv and argv[0] in ("stack", "repair") else None
    if command == "repair":
        args = build_repair_parser().parse_args(argv[1:])
    elif command == "stack":
        args = build_stack_parser().parse_args(argv[1:])
    else:
        args = build_parser().parse_args(argv)
    if command != "repair" and not args.output:
        print(f"{PROG}: error: argument -o/--output: expected a folder, got ''", file=sys.stderr)
        return EXIT_USAGE
    stack = command == "stack"
    del publish.committed[:]
    _shown_warnings.clear()

    def at_exit(signum: int) -> None:  # the watchdog ends a run stuck inside C code
        print(_interrupted_note(signum, stack), file=sys.stderr, flush=True)

    restore = interrupts.install(at_exit)
    try:
        try:
            status = _repair(args) if command == "repair" else _main(args, stack)
        finally:
            signum = interrupts.pending()
            restore()
        if signum is not None:  # a signal whose exception a library swallowed
            raise Interrupted(signum)
        return status
    except Interrupted as e:
        print(_interrupted_note(e.signum, stack), file=sys.stderr)
        return 128 + e.signum
    except KeyboardInterrupt:
        print(_interrupted_note(int(signal.SIGINT), stack), file=sys.stderr)
        return 128 + signal.SIGINT


def _repair(args: argparse.Namespace) -> int:
    if not os.path.isdir(args.output):
        print(f"{PROG}: error: {path_text(args.output)} is not a folder", file=sys.stderr)
        return EXIT_USAGE
    try:
        done = publish.repair_tree(args.output)
        done += recover_cube(Path(args.output) / CUBE_NAME, strict=False)
    except OutputError as e:
        print(f"{PROG}: error: {path_text(e)}", file=sys.stderr)
        return EXIT_OUTPUT
    if not args.quiet:
        for line in done or [f"{path_text(args.output)}: nothing to repair"]:
            print(f"{PROG}: {line}", file=sys.stderr)
    return 0


def _main(args: argparse.Namespace, stack: bool = False) -> int:
    with warnings.catch_warnings():
        warnings.simplefilter("default")
        for quiet in (ResourceWarning, DeprecationWarning, PendingDeprecationWarning):
            warnings.simplefilter("ignore", quiet)
        warnings.showwarning = _show
        try:
            line = stack_summary(run_stack(args)) if stack else summary(run(args))
        except OptionError as e:
            print(f"{PROG}: error: {path_text(e.worded(flag))}", file=sys.stderr)
            return EXIT_USAGE
        except InputError as e:
            print(f"{PROG}: error: {path_text(e.worded(flag))}", file=sys.stderr)
            return EXIT_INPUT
        except OutputError as e:
            print(f"{PROG}: error: {path_text(e.worded(flag))}", file=sys.stderr)
            return EXIT_OUTPUT
        except TrackError as e:  # a block that failed on its worker, a cluster out of reach
            print(f"{PROG}: error: {path_text(e.worded(flag))}", file=sys.stderr)
            return EXIT_INPUT
        except OSError as e:
            print(f"{PROG}: error: {e.strerror or e}: {path_text(e.filename or args.output)}", file=sys.stderr)
            return EXIT_INPUT
    if not args.quiet:
        print(f"{PROG}: {line}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
