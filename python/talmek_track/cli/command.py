"""talmek-track: match a grid of points between two images and write the displacement vectors."""

from __future__ import annotations

import argparse
import functools
import os
import signal
import sys
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any, NoReturn, TextIO

from talmek_track import interrupts
from talmek_track._facts import STATUS_NAMES, Status
from talmek_track.errors import (
    ImageWarning,
    InputError,
    OptionError,
    OptionWarning,
    OutputError,
    TrackError,
    path_text,
    public_path,
    require,
)
from talmek_track.interrupts import SIGNALS, Interrupted
from talmek_track.matching.settings import status_of
from talmek_track.options.core import TrackOptions
from talmek_track.options.flags import UNSET, CommandOption, FlagTextError, command_options
from talmek_track.output import publish
from talmek_track.output.cube import CUBE_NAME
from talmek_track.output.cube import recover as recover_cube
from talmek_track.products.results import TrackResult
from talmek_track.run.stack import PairSummary, StackResult, match_stack, stack_report
from talmek_track.run.track import track_files

PROG = "talmek-track"
EXIT_INPUT, EXIT_USAGE, EXIT_OUTPUT = 1, 2, 3
#: A stack whose other pairs were written while some failed (each named on standard error).
EXIT_PARTIAL = 4

#: Every default of the command is the library's.
DEFAULTS = TrackOptions()

#: The options the command takes as flags, as declared with TrackOptions' fields.
COMMAND_OPTIONS = {o.keyword: o for group in (None, "limits", "Dask")
                   for o in command_options(TrackOptions, group)}

#: The command's flag of each option whose flag is not its keyword with dashes.
FLAGS = {o.keyword: o.flag for o in COMMAND_OPTIONS.values()
         if o.flag != "--" + o.keyword.replace("_", "-")}


def flag(option: str) -> str:
    """The command's flag of an option (a keyword of ``TrackOptions``)."""
    return FLAGS.get(option, "--" + option.replace("_", "-"))


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line, without the usage block
        self.exit(EXIT_USAGE, f"{self.prog}: error: {path_text(message)}\n")


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("talmek")
    except metadata.PackageNotFoundError:
        import Talmek

        return str(Talmek.__version__)


def _argument_type(parse: Callable[[str], Any]) -> Callable[[str], Any]:
    """A flag's parser as argparse calls it: wrong text is a wrong argument of the flag (and
    ``float``, ``int`` keep their names in argparse's own message)."""
    if parse in (int, float):
        return parse

    @functools.wraps(parse)
    def typed(text: str) -> Any:
        try:
            return parse(text)
        except FlagTextError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
    return typed


def add_flag(ap: argparse.ArgumentParser | argparse._ArgumentGroup, option: CommandOption) -> None:
    """The flag of one declared option; it stores the option's value under its keyword."""
    spec = option.spec
    if spec.sets is not UNSET:
        ap.add_argument(option.flag, action="store_const", const=spec.sets, default=option.default,
                        dest=option.keyword, help=option.help)
        return
    more: dict[str, Any] = {}
    if spec.parse is not None:
        more["type"] = _argument_type(spec.parse)
    if spec.choices is not None:
        more["choices"] = spec.choices
    ap.add_argument(option.flag, default=option.default, metavar=spec.metavar, dest=option.keyword,
                    help=option.help, **more)


def add_flags(ap: argparse.ArgumentParser | argparse._ArgumentGroup, options: type = TrackOptions,
              group: str | None = None) -> None:
    """The flags declared with the fields of ``options`` (in ``group``), in the order of --help."""
    for option in command_options(options, group):
        add_flag(ap, option)


def add_matching_options(ap: argparse.ArgumentParser) -> None:
    """The options of the matching itself, the same for one pair and for a stack."""
    add_flags(ap)
    ap.add_argument("--quiet", action="store_true",
                    help="print errors only (no warnings, progress or summary)")
    add_flags(ap.add_argument_group(
        "limits", "bounds for inputs you did not make (see docs/security.md)"), group="limits")


def add_cluster_options(ap: argparse.ArgumentParser) -> None:
    """--dask, --scheduler and --workers."""
    add_flags(ap.add_argument_group(
        "Dask", "match on a Dask cluster (pip install 'talmek[dask]'): every block of grid rows is "
        "one task that reads its own windows of both images, so every worker must reach the "
        "images by the paths given"), group="Dask")


def cluster_options(args: argparse.Namespace) -> dict[str, Any]:
    """The backend from parsed arguments (--scheduler, --workers imply --dask)."""
    implied = args.scheduler is not None or args.workers is not None
    return {"backend": "dask" if implied else args.backend}


def options_of(args: argparse.Namespace, **more: Any) -> TrackOptions:
    """The run's options from parsed arguments (``more``: those of one command only)."""
    given = {keyword: getattr(args, keyword) for keyword in COMMAND_OPTIONS}
    return TrackOptions(**(given | cluster_options(args)), **more)


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
        "talmek-track repair --help; for a table of a stack's pairs, worst first, talmek-track report --help.",
    )
    ap.add_argument("image1", metavar="IMAGE1", help="first image, whose chips are searched for in IMAGE2")
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
        "files' tags) when all have one, else in the order given. Everything is checked before "
        "the first match: a wrong option, an image without a date that the pairs need, an "
        "--invert step shorter than every pair end the run at once. A pair that fails (an "
        "unreadable or truncated image, two images that do not overlap, a failing block) costs "
        "only itself: the others are matched, written and put into the cube and the series, and "
        "each failed pair is named on one line and listed in pairs.csv with its reason. Exit "
        "status as for talmek-track, and 4 when some pairs failed and the others were written; "
        "with --fail-fast the first failure ends the run (status 1); with --dry-run 4 when some pairs would "
        "fail. The pairs finished before a "
        "failure or an interrupt keep their folders.",
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
    ap.add_argument("--min-overlap", type=float, default=None, metavar="SHARE",
                    help="only pairs whose second image covers at least SHARE (0 to 1) of the "
                    "first image's extent")
    ap.add_argument("--max-pairs-per-image", type=int, default=None, metavar="N",
                    help="at most N pairs per image, the shortest intervals first")
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
    ap.add_argument("--dry-run", action="store_true",
                    help="check everything and print the plan, one line per pair (its images, "
                    "dates and days apart, and whether it is matched, in the cube already or "
                    "failed, with the reason), on standard output; match and write nothing")
    ap.add_argument("--fail-fast", action="store_true",
                    help="end the run at the first pair that fails (default: give that pair up, "
                    "match the others, exit status 4)")
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


def _stack_inputs(args: argparse.Namespace,
                  timeout: tuple[float, float] | None = None) -> tuple[list[str], list[Any] | None]:
    """The stack's images and dates: those given, or those a STAC search finds (--stac-search,
    within ``timeout``), the dates given (--dates) before the items' own."""
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
    from talmek_track.sources.stac_search import DEFAULT_MAX_ITEMS, StacQuery, dated_inputs, parse_bbox, search_images

    query = StacQuery(args.stac_search, tuple(c.strip() for c in (args.collection or "").split(",") if c.strip()),
                      None if args.bbox is None else parse_bbox(args.bbox), args.datetime, args.max_cloud,
                      DEFAULT_MAX_ITEMS if args.max_items is None else args.max_items)
    names, dates = dated_inputs(search_images(query, args.asset, timeout=timeout))
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
    options = options_of(args)
    images, dates = _stack_inputs(args, options.timeout)
    with _Bar(args.quiet, "matching the pairs") as bar:
        return match_stack(images, args.pairs, args.output, max_days=args.max_days,
                           min_days=args.min_days, min_overlap=args.min_overlap,
                           max_pairs_per_image=args.max_pairs_per_image, dates=dates, progress=bar,
                           keep=False, cube=args.cube, invert=args.invert, fail_fast=args.fail_fast,
                           dry_run=args.dry_run, options=options)


def stack_plan(result: StackResult) -> list[str]:
    """The plan of a stack, as ``--dry-run`` prints it: a header and one tab-separated line per
    pair (image1, image2, date1, date2, days apart, plan), then the images that stand in no pair."""
    planned = set(result.planned)
    rows: list[tuple[tuple[int, ...], str]] = [(pair, "match" if pair in planned else "in the cube")
                                               for pair in result.pairs]
    rows += [(f.images, f"failed: {f.reason}") for f in result.failed]
    rows.sort(key=lambda row: (len(row[0]) == 1, row[0]))
    lines = ["image1\timage2\tdate1\tdate2\tdays\tplan"]
    for images, plan in rows:
        cells = [public_path(result.paths[k]) for k in images] + [""] * (2 - len(images))
        stamps = [result.dates[k] for k in images] + [None] * (2 - len(images))
        days = f"{(stamps[1] - stamps[0]).total_seconds() / 86400:g}" if stamps[0] and stamps[1] else ""
        cells += [d.isoformat() if d else "" for d in stamps] + [days, plan]
        lines.append("\t".join(path_text(c) for c in cells))
    return lines


def report_table(rows: Sequence[PairSummary]) -> list[str]:
    """A stack's report as a table, one line per pair in the order given (``stack_report``: worst
    first): the pair, its dates, days apart, points, accepted points, their share, the
    stable-ground shift removed (map units per year) and why it failed."""
    def name(row: PairSummary) -> str:
        if row.folder:
            return row.folder
        stems = [p.split("?", 1)[0].rstrip("/").rsplit("/", 1)[-1] for p in (row.image1, row.image2) if p]
        return " and ".join(stems)

    cells = [["pair", "date1", "date2", "days", "points", "accepted", "coverage", "stable shift", "failed"]]
    for row in rows:
        cells.append([name(row), row.date1[:10], row.date2[:10],
                      "" if row.days is None else f"{row.days:g}",
                      "" if row.points is None else str(row.points),
                      "" if row.accepted is None else str(row.accepted),
                      "" if row.coverage is None else f"{100 * row.coverage:.0f}%",
                      "" if row.stable_shift is None else f"{row.stable_shift:.3g}", row.failed])
    widths = [max(len(c[k]) for c in cells) for k in range(len(cells[0]) - 1)]
    return [path_text("  ".join(c.ljust(w) for c, w in zip(line, widths)) + "  " + line[-1]).rstrip()
            for line in cells]


def build_report_parser() -> argparse.ArgumentParser:
    """The argument parser of ``talmek-track report``."""
    ap = _Parser(
        prog=f"{PROG} report",
        description="Print the pairs of a stack's OUTDIR as a table, worst first: the failed pairs "
        "with their reasons, then the others by the share of their grid points accepted, lowest "
        "first, with their dates, days apart, points and the stable-ground shift removed. Read from "
        "OUTDIR/pairs.csv and each pair's run.json; nothing is changed.",
        epilog="Exit status: 0 done, 1 OUTDIR holds no readable pairs.csv.")
    ap.add_argument("output", metavar="OUTDIR", help="the output folder of a stack")
    return ap


def _report(args: argparse.Namespace) -> int:
    try:
        rows = stack_report(args.output)
    except InputError as e:
        print(f"{PROG}: error: {path_text(e)}", file=sys.stderr)
        return EXIT_INPUT
    print("\n".join(report_table(rows)), flush=True)
    return 0


def stack_summary(result: StackResult) -> str:
    """One line: the pairs and their points, and where they went."""
    points = sum(n for n, _ in result.counts)
    accepted = sum(a for _, a in result.counts)
    where = path_text(result.index.parent) if result.index is not None else "nowhere"
    extra = "".join(f", {path.name}" for path in (result.cube, result.series) if path is not None)
    failed = f"; {len(result.failed)} failed" if result.failed else ""
    return f"{len(result.pairs)} pairs, {points} points ({accepted} accepted) written to {where}{extra}{failed}"


class _Bar:
    """The progress on standard error, fed (done, total): a tqdm bar on a terminal; elsewhere (a
    log file, a pipe) one line at each tenth of the points at most; nothing when quiet."""

    def __init__(self, quiet: bool, desc: str = "matching") -> None:
        self.quiet = quiet
        self.desc = desc
        self.bar: Any = None
        self.tenths = 0  # the tenths of the points reported as lines
        self.terminal = _is_terminal(sys.stderr)

    def __call__(self, done: int, total: int) -> None:
        if self.quiet:
            return
        if not self.terminal:
            tenths = 10 * done // total if total > 0 else 10
            if tenths > self.tenths:
                self.tenths = tenths
                print(f"{PROG}: {self.desc}: {10 * tenths}% ({done} of {total} points)",
                      file=sys.stderr, flush=True)
            return
        if self.bar is None:
            tqdm = require("tqdm", "cli").tqdm
            self.bar = tqdm(total=total, file=sys.stderr, unit="pt", desc=self.desc, leave=False)
        self.bar.update(done - self.bar.n)

    def __enter__(self) -> _Bar:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self.bar is not None:
            self.bar.close()


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # replaced by a stream without a file, or closed
        return False


def summary(result: TrackResult) -> str:
    """One line: the point count by status and where they went."""
    counts: dict[int, int] = {}
    vf = result.vector_field
    status = status_of(result.records) if vf is None else vf.status
    for code in status.tolist():
        counts[code] = counts.get(code, 0) + 1
    accepted = int(Status.accepted)
    text = ", ".join(f"{n} {STATUS_NAMES.get(code, code)}"
                     for code, n in sorted(counts.items(), key=lambda kv: kv[0] != accepted))
    folder = path_text(result.paths[0].parent) if result.paths else "nowhere"
    dated = "" if vf is None else (", no dates: displacements only" if vf.dt_days is None
                                   else f", {vf.dt_days:g} days apart")
    return f"{len(result.records)} points ({text or 'none'}{dated}) written to {folder}"


def quality_text(result: TrackResult) -> list[str]:
    """The quality report of the run's field as a short table (``products.quality``)."""
    vf = result.vector_field
    if vf is None:
        return []
    from talmek_track.products.quality import quality_lines

    unit = "px/yr" if vf.crs is None else f"{vf.map_unit}/yr"
    return quality_lines(vf.attrs, unit)


def run(args: argparse.Namespace) -> TrackResult:
    """Runs the command's job for parsed arguments."""
    options = options_of(args, dates=args.dates)
    require("tqdm", "cli")
    with _Bar(args.quiet) as bar:
        return track_files(args.image1, args.image2, args.output, options=options, progress=bar)


#: The warnings shown in this run: each once, although Python's own once-per-place registry is
#: cleared whenever a library changes the warning filters (as reading every image of a stack does).
_shown_warnings: set[str] = set()

#: The warnings about single images held back until the run ends, by kind: each image with its
#: detail (see ``_flush_warnings``).
_image_warnings: dict[str, dict[str, ImageWarning]] = {}

#: How many images a collected warning names before it counts the others.
NAMED_IMAGES = 5


def _show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
          file: TextIO | None = None, line: str | None = None) -> None:
    if isinstance(message, ImageWarning):
        _image_warnings.setdefault(message.kind, {}).setdefault(message.image, message)
        return
    text = path_text(message.worded(flag) if isinstance(message, OptionWarning) else str(message))
    if text in _shown_warnings:
        return
    _shown_warnings.add(text)
    print(f"{PROG}: warning: {text}", file=sys.stderr)


def _hide(message: Warning | str, category: type[Warning], filename: str, lineno: int,
          file: TextIO | None = None, line: str | None = None) -> None:
    """--quiet: errors only."""


def collected_warning(kind: str, images: dict[str, ImageWarning]) -> str:
    """One line for the warnings of one kind: that of a single image as it was raised; for many,
    the kind once with the images (and their details, unless all share them)."""
    if len(images) == 1:
        return path_text(str(next(iter(images.values()))))
    names = [path_text(image) for image in images]
    details = [w.detail for w in images.values()]
    shared = details[0] if len(set(details)) == 1 else ""
    shown = [name if shared or not detail else f"{name} ({detail})"
             for name, detail in zip(names, details)][:NAMED_IMAGES]
    more = len(names) - len(shown)
    listed = ", ".join(shown) + (f" and {more} more" if more else "")
    return f"{len(names)} images {kind}{f' ({shared})' if shared else ''}: {listed}"


def _flush_warnings() -> None:
    for kind, images in _image_warnings.items():
        print(f"{PROG}: warning: {collected_warning(kind, images)}", file=sys.stderr)
    _image_warnings.clear()


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
    command = argv[0] if argv and argv[0] in ("stack", "repair", "report") else None
    if command == "report":
        return _report(build_report_parser().parse_args(argv[1:]))
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
    _image_warnings.clear()

    def at_exit(signum: int) -> None:  # the watchdog ends a run stuck inside C code
        if interrupts.unsettled():
            print(f"{PROG}: {SIGNALS.get(signum, 'interrupted')} while publishing; the next run "
                  f"into {path_text(args.output)} (or {PROG} repair) puts the earlier results back",
                  file=sys.stderr, flush=True)
            return
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
            print(f"{PROG}: {path_text(line)}", file=sys.stderr)
    return 0


def _main(args: argparse.Namespace, stack: bool = False) -> int:
    with warnings.catch_warnings():
        warnings.simplefilter("default")
        for quiet in (ResourceWarning, DeprecationWarning, PendingDeprecationWarning):
            warnings.simplefilter("ignore", quiet)
        warnings.showwarning = _hide if args.quiet else _show
        failed: list[str] = []
        more: list[str] = []
        try:
            try:
                if stack and args.dry_run:
                    done = run_stack(args)
                    print("\n".join(stack_plan(done)), flush=True)
                    line = (f"dry run: {len(done.planned)} pairs to match, "
                            f"{len(done.pairs) - len(done.planned)} in the cube already, "
                            f"{len(done.failed)} failed; nothing matched or written")
                    if done.failed:
                        print(f"{PROG}: {line}", file=sys.stderr)
                        return EXIT_PARTIAL
                elif stack:
                    done = run_stack(args)
                    line = stack_summary(done)
                    failed = [failure.text(done.paths) for failure in done.failed]
                    if not args.quiet and done.index is not None:  # the pairs, worst first
                        print("\n".join(report_table(stack_report(done.index.parent))), flush=True)
                else:
                    result = run(args)
                    line, more = summary(result), quality_text(result)
            finally:
                _flush_warnings()
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
            print(f"{PROG}: error: {path_text(e.strerror or e)}: {path_text(e.filename or args.output)}",
                  file=sys.stderr)
            return EXIT_INPUT
    for text in failed:  # shown even with --quiet: the run did not do all it was asked
        print(f"{PROG}: failed: {path_text(text)}", file=sys.stderr)
    if not args.quiet or failed:
        print(f"{PROG}: {path_text(line)}", file=sys.stderr)
    if not args.quiet:
        for text in more:  # the quality report, each line the command's own
            print(f"{PROG}: {path_text(text)}", file=sys.stderr)
    return EXIT_PARTIAL if failed else 0


if __name__ == "__main__":
    sys.exit(main())
