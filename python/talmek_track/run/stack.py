"""Many image pairs of one stack matched in one run: a time series of scenes, every pair within
a time window, or pairs named one by one.

``match_stack`` plans every pair's grid as blocks (as ``track_files`` does for one pair), hands
all of them to the backend at once, earlier pairs first, and finishes each pair, its result files
included, as soon as its last block is in. On Dask the pairs' blocks run side by side over the
whole cluster; on the threads backend the pairs run one after another.
"""

from __future__ import annotations

import csv
import dataclasses
import os
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, Unpack

import numpy as np

from talmek_track._facts import Status
from talmek_track.errors import InputError, OptionError, TrackError, describe_error, one_line, public_path, require
from talmek_track.matching.blocks import BlockRecords
from talmek_track.matching.settings import status_of
from talmek_track.options.core import StackKeywords, TrackOptions, check_path
from talmek_track.options.dates import parse_date
from talmek_track.output.cube import CUBE_NAME, Cube, cube_settings, open_cube, require_dated
from talmek_track.output.dataset import to_dataset
from talmek_track.output.publish import output_target, repair_tree, staged
from talmek_track.output.writers import output_names, require_writers, write_result
from talmek_track.products.results import TrackResult
from talmek_track.run.pair import (
    PairPlan,
    fetch_copies,
    finish_plan,
    match_pairs,
    open_image,
    open_images,
    plan_pair,
    prepare_pair,
    require_backend,
    settle_ranges,
    warn_repeated,
)
from talmek_track.sources.readers import ImageSource, hold_inputs, release_inputs
from talmek_track.sources.stac import is_stac, stack_inputs
from talmek_track.sources.warp import overlap_share

__all__ = ["PairSummary", "StackFailure", "StackResult", "match_stack", "pair_folder_names", "select_pairs",
           "stack_report", "thin_pairs"]

#: The index of a stack's pairs written beside their folders.
INDEX_NAME = "pairs.csv"


def _days(t1: datetime, t2: datetime) -> float:
    return (t2 - t1).total_seconds() / 86400.0


def select_pairs(count: int, pairs: str | Iterable[Sequence[int]] = "consecutive", *,
                 dates: Sequence[datetime | None] | None = None, max_days: float | None = None,
                 min_days: float | None = None) -> list[tuple[int, int]]:
    """The image pairs of a stack to match, as (first, second) indices into the stack.

    Parameters
    ----------
    count : int
        Images in the stack.
    pairs : "consecutive", "all" or iterable of (int, int)
        ``consecutive``: each image with the next one; ``all``: every image with every later one;
        or the pairs themselves, each matched in the order given. Images are taken in the order
        of their dates when every image has one, else in the order given.
    dates : sequence of datetime or None, optional
        Each image's acquisition date (None where unknown).
    max_days, min_days : float, optional
        Keep only pairs whose images lie at least ``min_days`` and at most ``max_days`` days
        apart (needs every image's date; applies to ``consecutive`` and ``all``).

    Returns
    -------
    list of (int, int)
        Earlier image first; pairs of two images of the same date are left out when dates are
        known (no velocity exists for them).
    """
    if dates is not None and len(dates) != count:
        raise OptionError(f"{len(dates)} dates for {count} images")
    known = dates is not None and all(d is not None for d in dates)
    window = max_days is not None or min_days is not None
    if isinstance(pairs, str):
        if pairs not in ("consecutive", "all"):
            raise OptionError(f"pairs must be 'consecutive', 'all' or a list of index pairs, got {pairs!r}")
        if window and not known:
            missing = [] if dates is None else [i for i, d in enumerate(dates) if d is None]
            which = f"image {missing[0]} has none" if missing else "no dates are known"
            raise OptionError(f"a time window needs every image's date ({which}); give the dates")
        order = list(range(count))
        stamps: list[datetime] = [d for d in dates if d is not None] if known and dates else []
        if known:
            order.sort(key=lambda i: stamps[i])
        if pairs == "consecutive":
            chosen = list(zip(order, order[1:]))
        else:
            chosen = [(order[a], order[b]) for a in range(count) for b in range(a + 1, count)]
        if known:
            lo = -np.inf if min_days is None else float(min_days)
            hi = np.inf if max_days is None else float(max_days)
            chosen = [(i, j) for i, j in chosen
                      if stamps[i] != stamps[j] and lo <= _days(stamps[i], stamps[j]) <= hi]
        return chosen
    if window:
        raise OptionError("max_days and min_days choose among generated pairs; a list of pairs "
                          "is matched as given")
    if not isinstance(pairs, Iterable):
        raise OptionError(f"pairs must be 'consecutive', 'all' or a list of index pairs, got {pairs!r}")
    chosen = []
    for pair in pairs:
        try:
            i, j = (int(v) for v in pair)
        except (TypeError, ValueError):
            raise OptionError(f"a pair must be two image indices, got {pair!r}") from None
        if not (0 <= i < count and 0 <= j < count):
            raise OptionError(f"pair {i},{j} names an image outside 0..{count - 1}")
        if i == j:
            raise OptionError(f"pair {i},{j} matches an image with itself")
        chosen.append((i, j))
    return chosen


def thin_pairs(pairs: Sequence[tuple[int, int]], sources: Sequence[ImageSource | None],
               dates: Sequence[datetime | None], *, min_overlap: float | None = None,
               max_pairs_per_image: int | None = None) -> list[tuple[int, int]]:
    """The pairs an archive matches, in their order: those whose image 2 covers at least
    ``min_overlap`` of image 1's extent (``overlap_share``; a pair whose share cannot be told is
    kept, its preparation says why), then at most ``max_pairs_per_image`` pairs per image, the
    pairs of the shortest intervals taken first (the earlier pair on a tie, all in the order given
    without dates). A pair with an image that could not be opened is kept: it is reported."""
    kept = list(pairs)
    if min_overlap is not None:
        def covered(pair: tuple[int, int]) -> bool:
            s1, s2 = sources[pair[0]], sources[pair[1]]
            share = None if s1 is None or s2 is None else overlap_share(s1, s2)
            return share is None or share >= min_overlap
        kept = [pair for pair in kept if covered(pair)]
    if max_pairs_per_image is not None:
        def interval(n: int) -> float:
            d1, d2 = dates[kept[n][0]], dates[kept[n][1]]
            return abs(_days(d1, d2)) if d1 is not None and d2 is not None else 0.0
        used: dict[int, int] = {}
        taken = set()
        for n in sorted(range(len(kept)), key=lambda n: (interval(n), n)):
            i, j = kept[n]
            if used.get(i, 0) < max_pairs_per_image and used.get(j, 0) < max_pairs_per_image:
                used[i], used[j] = used.get(i, 0) + 1, used.get(j, 0) + 1
                taken.add(n)
        kept = [pair for n, pair in enumerate(kept) if n in taken]
    return kept


def pair_folder_names(paths: Sequence[str], pairs: Sequence[tuple[int, int]]) -> list[str]:
    """A folder name for each pair's results: the two files' names without their suffix, joined
    by ``__``; the stack indices instead when two images share a name."""
    stems = [_stem(p) for p in paths]
    unique = len(set(stems)) == len(stems)
    return [f"{stems[i]}__{stems[j]}" if unique else f"{i:03d}__{j:03d}" for i, j in pairs]


def _stem(path: str) -> str:
    name = os.fspath(path).split("?", 1)[0].rstrip("/").rsplit("/", 1)[-1]  # a URL without its query
    return name.split(".", 1)[0] or name


def stack_dates(sources: Sequence[ImageSource | None], dates: Sequence[datetime | str | None] | None = None
                ) -> list[datetime | None]:
    """Each image's acquisition date: as given in ``dates`` (None entries taken from the image),
    else from the image's metadata tags (None for an image that could not be opened)."""
    if dates is not None and len(dates) != len(sources):
        raise OptionError(f"{len(dates)} dates for {len(sources)} images")
    found: list[datetime | None] = []
    for k, source in enumerate(sources):
        given = None if dates is None else dates[k]
        if isinstance(given, str):
            try:
                given = parse_date(given)
            except ValueError as e:
                raise OptionError("{0}: {reason}", options=("dates",), reason=e) from None
        found.append(given if given is not None or source is None else source.acquisition_date())
    return found


@dataclass(frozen=True)
class StackFailure:
    """A pair of a stack that could not be matched (``images``: its two images as indices into
    the stack), or an image that stands in no pair (one index: unreadable, and no date given to
    place it), and why."""

    images: tuple[int, ...]
    reason: str

    def text(self, paths: Sequence[str]) -> str:
        """One line: the images (those the reason does not name already) and the reason."""
        named = [public_path(paths[k]) for k in self.images]
        return self.reason if all(n in self.reason for n in named) else f"{' and '.join(named)}: {self.reason}"


@dataclass
class StackResult:
    """The results of ``match_stack``: one ``TrackResult`` per pair, in the order of ``pairs``.

    Attributes
    ----------
    paths : list of str
        The stack's images as given.
    pairs : list of (int, int)
        Each pair's two images, as indices into ``paths``.
    dates : list of datetime or None
        Each image's acquisition date, where known.
    results : list of TrackResult
        Each pair's records, grid, vector field and written files (``paths``); empty when
        ``match_stack`` was asked not to keep them.
    counts : list of (int, int)
        Each pair's grid points and accepted points (with ``dry_run``: the grid points each
        planned pair would match and 0, and (0, 0) for the pairs in the cube).
    index : pathlib.Path or None
        The ``pairs.csv`` written into the output folder.
    cube, series : pathlib.Path or None
        The cube and the inverted series, when written.
    failed : list of StackFailure
        The pairs (and images) given up, each with its reason; ``pairs`` holds the others.
    planned : list of (int, int)
        The pairs of ``pairs`` this run matched (or, with ``dry_run``, would match); the others
        were in the cube already.
    """

    paths: list[str]
    pairs: list[tuple[int, int]]
    dates: list[datetime | None]
    results: list[TrackResult]
    counts: list[tuple[int, int]]
    index: Path | None = None
    cube: Path | None = None
    series: Path | None = None
    failed: list[StackFailure] = dataclasses.field(default_factory=list)
    planned: list[tuple[int, int]] = dataclasses.field(default_factory=list)

    def __len__(self) -> int:
        return len(self.results)

    def __iter__(self) -> Iterator[TrackResult]:
        return iter(self.results)

    def __getitem__(self, k: int) -> TrackResult:
        return self.results[k]

    def to_dataset(self) -> Any:
        """Every pair's vector field in one ``xarray.Dataset`` with a ``pair`` dimension before
        (y, x), and coordinates ``image1``, ``image2`` and, when every image has a date,
        ``date1``, ``date2``, ``time`` (the middle date) and ``time_bnds`` along it. Needs every
        pair on the same grid (image 1 of the same extent and the same grid settings)."""
        require("xarray", "xarray")
        import xarray as xr

        if not self.results:
            raise ValueError("the stack holds no pair's result (match_stack with keep=False keeps none)")
        fields = [to_dataset(r.vector_field) for r in self.results if r.vector_field is not None]
        # Each pair's own time and time bounds, when every pair has them; none otherwise.
        timed = ["time", "time_bnds"] if all("time" in f.coords for f in fields) else []
        fields = [f.drop_vars(["time", "time_bnds"], errors="ignore") if not timed else f for f in fields]
        try:
            combined = xr.concat(fields, dim="pair", join="exact", combine_attrs="drop_conflicts",
                                 coords=timed or "minimal", compat="override")
        except ValueError:
            raise ValueError("the pairs lie on different grids (other image extents or grid "
                             "settings); take each pair's own dataset instead") from None
        coords: dict[str, Any] = {
            "pair": np.arange(len(self.pairs)),
            "image1": ("pair", [self.paths[i] for i, _ in self.pairs]),
            "image2": ("pair", [self.paths[j] for _, j in self.pairs]),
        }
        if all(self.dates[i] is not None and self.dates[j] is not None for i, j in self.pairs):
            for name, k in (("date1", 0), ("date2", 1)):
                stamps = [self.dates[p[k]] for p in self.pairs]
                coords[name] = ("pair", np.array([_naive_utc(d) for d in stamps], "datetime64[s]"))
        return combined.assign_coords(coords)


def _naive_utc(d: datetime | None) -> datetime:
    assert d is not None
    if d.tzinfo is not None:

        d = d.astimezone(UTC).replace(tzinfo=None)
    return d


def match_stack(paths: Sequence[str | os.PathLike[str]],
                pairs: str | Iterable[Sequence[int]] = "consecutive",
                output: str | os.PathLike[str] | None = None, *,
                max_days: float | None = None, min_days: float | None = None,
                dates: Sequence[datetime | str | None] | None = None,
                progress: bool | Callable[[int, int], object] = True, keep: bool = True,
                cube: bool | str | os.PathLike[str] = False, invert: float | None = None,
                min_overlap: float | None = None, max_pairs_per_image: int | None = None,
                fail_fast: bool = True, dry_run: bool = False, options: TrackOptions | None = None,
                **keywords: Unpack[StackKeywords]) -> StackResult:
    """Matches the pairs of a stack of images, each pair as ``track_files`` matches one.

    Parameters
    ----------
    paths : sequence of str or os.PathLike
        The images: local files or anything GDAL opens (``/vsis3/...``, ``/vsicurl/...``); on a
        cluster every worker must reach them under these names.
    pairs : "consecutive", "all" or iterable of (int, int)
        Which pairs to match; see ``select_pairs``.
    output : str or os.PathLike, optional
        Folder for the results: one subfolder per pair (see ``pair_folder_names``), each written
        whole as soon as all of that pair's blocks are in, and ``pairs.csv`` listing the pairs.
        None writes nothing.
    max_days, min_days : float, optional
        The time window of the pairs (needs every image's date).
    min_overlap : float, optional
        Keep only pairs whose image 2 covers at least this share (0 to 1) of image 1's extent
        (see ``thin_pairs``).
    max_pairs_per_image : int, optional
        Keep at most this many pairs per image, the shortest intervals first (see ``thin_pairs``).
    dates : sequence of datetime, str or None, optional
        The images' acquisition dates; None entries (and all without it) are read from the
        files' tags. Velocities need both dates of a pair.
    backend : str
        "threads" (this process, one pair after another) or "dask" (all pairs' blocks over a
        cluster at once, earlier pairs first).
    client, scheduler, workers :
        The Dask cluster; see ``talmek_track.matching.backends.dask.dask_client``.
    threads : int, optional
        Threads: of this process for "threads", per worker of the embedded cluster for "dask".
    progress : bool or callable
        True shows a progress bar (tqdm) on stderr; a callable gets (points done, points in all).
    keep : bool
        Whether the pairs' results stay in memory for the returned ``StackResult``; with False
        (for long stacks written to ``output``) each is dropped once written.
    cube : bool, str or os.PathLike
        True writes ``cube.zarr`` into ``output``, a path writes the cube there: every pair's
        velocities along ``mid_date``, appended as each pair finishes (see ``talmek_track.output.cube``).
        Pairs already in the cube (by their two dates) are not matched again; a cube of pairs
        matched with other settings, or a path that holds anything but a cube of ours, is
        refused (InputError) and left as it is. Needs every image's date and every pair on the
        same grid.
    invert : float, optional
        Days per step of a velocity time series inverted from the cube when the stack is done
        (see ``talmek_track.products.timeseries.invert_series``), written as ``timeseries.nc`` into
        ``output``; writes the cube too.
    fail_fast : bool
        Whether the first pair that fails ends the run (as ``Raises`` says; the default, so that
        a caller never takes a partial stack for a whole one). With False (the command's default;
        ``--fail-fast`` ends at the first failure) a pair that fails (an image that cannot be
        opened or read, a truncated file, two images that do not overlap, a block that fails on
        its worker) is given up alone: it is listed with its reason in ``StackResult.failed``
        and in ``pairs.csv`` (``failed`` column, no folder), the other pairs are matched and
        written, and the cube and the series hold the pairs that succeeded. An image that
        cannot be opened and has no date given stands in no pair; it has a line of its own.
        Wrong options, a missing date, a step the pairs cannot invert, a format a pair cannot be
        written in, and a stack none of whose pairs can be matched still end the run before the
        first match.
    dry_run : bool
        Whether to stop before the first match: every check is made and every pair planned (a
        guided search or a reference map predicts each pair then), and the ``StackResult``
        tells the plan (``pairs``, ``planned``, ``failed``); nothing is written, not even the
        output folder, and a cube is only read.
    options : TrackOptions, optional
        The options of every pair in one object, which keywords given beside it override; its
        ``dates`` must be None (a stack's dates are the images' own, above).
    formats : iterable of str, optional
        The writers to run for each pair (default: as ``track_files``).
    plot : bool
        Whether each pair's figure is drawn when ``formats`` is not given.
    chip, margin, step, start, offset, peak, min_strength, max_displacement, nodata, band, page, \
value_range, percentiles, prefilter, filter, stable, block_pixels :
        As for ``track_files``, the same for every pair.

    Returns
    -------
    StackResult
        One ``TrackResult`` per pair, in the order of ``pairs``.

    Raises
    ------
    OptionError, InputError
        Before any matching: wrong options, a missing date (naming the image), a step of
        ``invert`` shorter than every pair; with ``fail_fast`` an image that cannot be used in its
        pairs; without it, only when no pair can be matched (the first pair's error), before or
        after matching.
    BlockFailed
        With ``fail_fast``, a block failed on its worker (its message names the pair, the file
        and the window); the pairs finished before are written, nothing of the others.
    OutputError
        A pair's results cannot be written; the pairs written before are kept.
    """
    opts = TrackOptions.merged(options, keywords, StackKeywords.__optional_keys__, "match_stack")
    if opts.dates is not None:
        raise OptionError("{0} of the options name one pair's dates; a stack takes each image's "
                          "date (match_stack(dates=[...]))", options=("dates",))
    if isinstance(paths, (str, os.PathLike)) and is_stac(paths):
        paths = [paths]  # a STAC item collection
    if isinstance(paths, (str, bytes, os.PathLike)) or not isinstance(paths, Iterable):
        raise TypeError(f"paths must be a sequence of image paths, got {paths!r}")
    names, item_dates = stack_inputs([os.fspath(check_path("each of paths", p)) for p in paths], opts.asset,
                                     opts.source_policy, opts.timeout)
    if dates is None and any(d is not None for d in item_dates):
        dates = item_dates
    if len(names) < 2:
        raise OptionError(f"a stack needs at least two images, got {len(names)}")
    if not isinstance(pairs, str) and (min_overlap is not None or max_pairs_per_image is not None):
        raise OptionError("min_overlap and max_pairs_per_image choose among generated pairs; a list "
                          "of pairs is matched as given")
    share_ok = isinstance(min_overlap, (int, float, np.number)) and not isinstance(min_overlap, bool)
    if min_overlap is not None and not (share_ok and 0 < min_overlap <= 1):
        raise OptionError(f"min_overlap must be a share of image 1 above 0 and at most 1, got {min_overlap!r}")
    if max_pairs_per_image is not None and (isinstance(max_pairs_per_image, bool)
                                            or not isinstance(max_pairs_per_image, (int, np.integer))
                                            or max_pairs_per_image < 1):
        raise OptionError(f"max_pairs_per_image must be a whole number of at least 1, got {max_pairs_per_image!r}")
    for name, days in (("max_days", max_days), ("min_days", min_days)):
        if days is not None and (isinstance(days, bool) or not isinstance(days, (int, float, np.number))
                                 or days != days):
            raise OptionError(f"{name} must be a number of days or None, got {days!r}")
    if not callable(progress) and not isinstance(progress, bool):
        raise TypeError(f"progress must be True, False or a callable, got {progress!r}")
    out = output_target(check_path("output", output)) if output is not None else None
    if invert is not None:
        if isinstance(invert, bool) or not isinstance(invert, (int, float, np.number)) \
                or not invert > 0 or invert == float("inf"):
            raise OptionError(f"invert must be a positive number of days, got {invert!r}")
        if out is None:
            raise OptionError("invert writes timeseries.nc into the output folder; give output")
        cube = cube or True
    cube_path: Path | None = None
    if cube is True:
        if out is None:
            raise OptionError("cube=True writes cube.zarr into the output folder; give output "
                              "or the cube's own path")
        cube_path = out / CUBE_NAME
    elif cube is not False and cube is not None:
        cube_path = Path(check_path("cube", cube))
        if out is not None and (out.resolve() == cube_path.resolve()
                                or cube_path.resolve() in out.resolve().parents):
            raise OptionError("the cube cannot hold the output folder; give it a path of its own "
                              "(cube=True writes cube.zarr into the output folder)")
    if out is not None and not dry_run:
        repair_tree(out)  # a run cut short before leaves a whole set of results first
    writers = output_names(opts.formats, opts.plot, out is not None)
    require_backend(opts)
    hold_inputs()
    try:
        # Every image is inspected once, its header and tags: the dates choose the pairs. Remote
        # images are fetched under the pair's policy (``fetch_copies``), each once for the stack.
        opened, bad = _open_stack(names, opts, fail_fast)
        stamps = stack_dates(opened, dates)
        # An image that cannot be read and has no date given stands in no pair: its own line.
        lost = [k for k in bad if stamps[k] is None] if isinstance(pairs, str) else []
        usable = [k for k in range(len(names)) if k not in lost]
        if (max_days is not None or min_days is not None) and isinstance(pairs, str):
            require_image_dates(names, stamps, usable, "a time window")
        chosen = select_pairs(len(names), pairs, dates=stamps, max_days=max_days, min_days=min_days) \
            if not lost else [(usable[i], usable[j]) for i, j in select_pairs(
                len(usable), pairs, dates=[stamps[k] for k in usable], max_days=max_days, min_days=min_days)]
        chosen = thin_pairs(chosen, opened, stamps, min_overlap=min_overlap,
                            max_pairs_per_image=max_pairs_per_image)
        if not chosen and not lost:
            raise OptionError("no pair of the stack lies within the time window"
                              + (" and meets the selection" if min_overlap or max_pairs_per_image else ""))
        selected = list(chosen)
        failures: dict[tuple[int, int], BaseException] = {
            (i, j): bad[i] if i in bad else bad[j] for i, j in chosen if i in bad or j in bad}
        writer: Cube | None = None
        done_before: list[tuple[int, int]] = []
        if cube_path is not None:
            good = [p for p in chosen if p not in failures]
            require_image_dates(names, stamps, (k for pair in good for k in pair),
                                "an inversion" if invert is not None else "a cube")
            require_dated([(stamps[i], stamps[j]) for i, j in good], "a cube")
            if invert is not None:
                check_steps(stamps, good, float(invert))
            if dry_run:
                has = _cube_has(cube_path)
            else:
                if out is not None:
                    out.mkdir(exist_ok=True)
                writer = Cube(cube_path, cube_settings(opts))
                has = writer.has
            done_before = [(i, j) for i, j in chosen if stamps[i] is not None and stamps[j] is not None
                           and has(_stamp(stamps[i]), _stamp(stamps[j]))]
            chosen = [p for p in chosen if p not in done_before]
            for pair in done_before:
                failures.pop(pair, None)
        plans, matched = _plan_stack(names, opened, stamps, chosen, failures, writers, opts, fail_fast)
        if not plans and not done_before:  # no pair of the stack can succeed
            raise _first_failure(chosen, failures, lost, bad)
        if invert is not None and failures:  # the inversion of the pairs left
            check_steps(stamps, matched + done_before, float(invert))
        folders = pair_folder_names(names, matched)
        if out is not None and not dry_run:
            out.mkdir(exist_ok=True)
        results: list[TrackResult | None] = [None] * len(plans)
        counts: list[tuple[int, int]] = [(plan.total, 0) if dry_run else (0, 0) for plan in plans]
        total = sum(plan.total for plan in plans)

        def done(k: int, plan: PairPlan, blocks: list[BlockRecords]) -> None:
            result = finish_plan(plan, blocks, preview="plot" in writers)
            if out is not None:
                paths = write_result(out / folders[k], writers, result)
                result = dataclasses.replace(result, preview=None, paths=paths)
            active = status_of(result.records)
            counts[k] = (len(active), int(np.count_nonzero(active == Status.accepted)))
            if writer is not None and result.vector_field is not None:
                i, j = matched[k]
                writer.append(to_dataset(result.vector_field), _stamp(stamps[i]), _stamp(stamps[j]))
            if keep:
                results[k] = result

        def failed(k: int, error: BaseException) -> None:
            failures[matched[k]] = error

        if plans and not dry_run:
            with _Progress(progress, total, len(plans)) as report:
                match_pairs(plans, matched, opts, done, report, None if fail_fast else failed)
        if writer is not None:
            writer.finish()
    finally:
        release_inputs()
    good_now = [k for k, pair in enumerate(matched) if pair not in failures]
    if not good_now and not done_before:  # every pair failed while matching
        raise _first_failure(matched, failures, lost, bad)
    kept = [matched[k] for k in good_now]
    earlier = [(0, 0)] * len(done_before) if dry_run or not done_before \
        else _stamped_counts(writer, done_before, stamps)
    every = kept + done_before + list(failures)
    folders_all = [folders[k] for k in good_now] + pair_folder_names(names, done_before) \
        + [""] * len(failures)
    counts_all: list[tuple[int, int] | None] = [counts[k] for k in good_now] + list(earlier) \
        + [None] * len(failures)
    position = {pair: n for n, pair in enumerate(selected)}
    order = sorted(range(len(every)), key=lambda k: position[every[k]])
    rows = [(every[k], folders_all[k], counts_all[k], _reason(failures[every[k]]) if every[k] in failures else "")
            for k in order]
    stack_failed = [StackFailure((k,), _reason(bad[k])) for k in lost] + \
        [StackFailure(pair, reason) for pair, _, _, reason in rows if reason]
    good_rows = [(pair, folder, n) for pair, folder, n, reason in rows if not reason]
    chosen_out = [pair for pair, _, _ in good_rows]
    counts_out = [n for _, _, n in good_rows if n is not None]
    index = None if out is None or dry_run else write_index(
        out, names, [pair for pair, _, _, _ in rows], stamps, [folder for _, folder, _, _ in rows],
        [n for _, _, n, _ in rows], reasons=[reason for _, _, _, reason in rows],
        lost={k: _reason(bad[k]) for k in lost})
    series = None
    if invert is not None and cube_path is not None and not dry_run:
        from talmek_track.output.series import write_series
        from talmek_track.products.timeseries import invert_series

        assert out is not None
        with open_cube(cube_path) as ds:
            series = write_series(invert_series(ds, float(invert)).compute(), out)
    return StackResult(names, chosen_out, stamps, [r for r in results if r is not None],
                       counts_out, index, None if dry_run else cube_path, series, stack_failed,
                       [matched[k] for k in good_now])


def require_image_dates(names: Sequence[str], dates: Sequence[datetime | None], images: Iterable[int],
                        what: str) -> None:
    """OptionError naming every one of ``images`` (indices into ``names``) without a date."""
    undated = [public_path(names[k]) for k in sorted(set(images)) if dates[k] is None]
    if undated:
        raise OptionError("{what} needs every image's date; {images} {have} none (no acquisition date "
                          "tag): give the dates ({0}) or tag the files", options=("dates",), what=what,
                          images=", ".join(undated), have="has" if len(undated) == 1 else "have")


def check_steps(dates: Sequence[datetime | None], pairs: Sequence[tuple[int, int]], step: float) -> None:
    """OptionError, before any match, when steps of ``step`` days cannot be inverted from the
    pairs (``plan_steps``: a step shorter than every pair, too many steps)."""
    from talmek_track.products.timeseries import plan_steps

    if not pairs:
        return
    first, second = ([np.datetime64(_naive_utc(dates[p[k]]), "ms") for p in pairs] for k in (0, 1))
    plan_steps(np.array(first), np.array(second), step)


def _settle_images(opened: Sequence[ImageSource | None], chosen: Sequence[tuple[int, int]],
                   prepared: Sequence[tuple[ImageSource, ImageSource, object]],
                   options: TrackOptions, bad: dict[int, BaseException] | None = None
                   ) -> dict[int, ImageSource]:
    """Each image of the chosen pairs with its value range settled once, by ``settle_ranges``, in
    the order the pairs first use them. An image left to its blocks' reads (``match_pairs``) is
    read in strips of its own grid, so one that any pair reads through a warp is settled here.
    With ``bad``, an image whose pixels cannot be read goes there (InputError) instead of ending
    the run."""
    used = list(dict.fromkeys(k for pair in chosen for k in pair))
    warped = {k for pair, (s1, s2, _) in zip(chosen, prepared, strict=True)
              for k, s in zip(pair, (s1, s2), strict=True) if s.warp is not None}
    settled: dict[int, ImageSource] = {}
    for k in used:
        source = opened[k]
        assert source is not None
        try:
            settled[k] = settle_ranges([source], options, from_blocks=k not in warped)[0]
        except InputError as e:
            if bad is None:
                raise
            bad[k] = e
    return settled


def _open_stack(names: Sequence[str], options: TrackOptions,
                fail_fast: bool) -> tuple[list[ImageSource | None], dict[int, BaseException]]:
    """Every image of the stack opened (``open_images``: its header and tags; remote images
    fetched under the pair's policy, each once for the stack), and, unless ``fail_fast``, the
    images that cannot be opened (None) with their errors instead of the first error raised."""
    if fail_fast:
        return list(open_images(names, options)), {}
    warn_repeated(names)
    fetch = fetch_copies(list(names), options)
    opened: list[ImageSource | None] = []
    bad: dict[int, BaseException] = {}
    for k, name in enumerate(names):
        try:
            opened.append(open_image(name, options, fetch=fetch))
        except InputError as e:
            opened.append(None)
            bad[k] = e
    return opened, bad


def _plan_stack(names: Sequence[str], opened: Sequence[ImageSource | None],
                stamps: Sequence[datetime | None], chosen: Sequence[tuple[int, int]],
                failures: dict[tuple[int, int], BaseException], writers: list[str],
                options: TrackOptions, fail_fast: bool) -> tuple[list[PairPlan], list[tuple[int, int]]]:
    """The chosen pairs not yet in ``failures`` prepared and planned (grids, overlap, value
    ranges, masks, references: everything read before the first match) and the pairs planned;
    unless ``fail_fast``, a pair that cannot be used goes into ``failures`` with its error
    (InputError) instead of ending the run."""
    prepared: dict[tuple[int, int], tuple[ImageSource, ImageSource, Any]] = {}
    for pair in chosen:
        if pair in failures:
            continue
        i, j = pair
        source1, source2 = opened[i], opened[j]
        assert source1 is not None and source2 is not None
        try:
            prepared[pair] = prepare_pair(source1, source2, options)
        except InputError as e:
            if fail_fast:
                raise
            failures[pair] = e
    for source1, _, _ in prepared.values():
        require_writers(writers, source1)
    bad: dict[int, BaseException] = {}
    ranged = _settle_images(opened, list(prepared), list(prepared.values()), options,
                            None if fail_fast else bad)
    plans: list[PairPlan] = []
    matched: list[tuple[int, int]] = []
    for (i, j), (source1, source2, params) in prepared.items():
        if i in bad or j in bad:
            failures[(i, j)] = bad[i] if i in bad else bad[j]
            continue
        source1 = dataclasses.replace(source1, value_range=ranged[i].value_range)
        source2 = dataclasses.replace(source2, value_range=ranged[j].value_range)
        d1, d2 = stamps[i], stamps[j]
        when = (d1, d2) if d1 is not None and d2 is not None and d1 != d2 else None
        if when is None and d1 is not None and d1 == d2:
            warnings.warn(f"{names[i]} and {names[j]} carry the same date; no velocities for "
                          "this pair", stacklevel=3)
        try:
            plans.append(plan_pair(source1, source2, params, options, dates=when))
        except InputError as e:
            if fail_fast:
                raise
            failures[(i, j)] = e
            continue
        matched.append((i, j))
    return plans, matched


def _stamped_counts(writer: Cube | None, pairs: list[tuple[int, int]],
                    stamps: Sequence[datetime | None]) -> list[tuple[int, int]]:
    """The points and accepted points of pairs a run before put into the cube."""
    assert writer is not None
    counted: list[tuple[int, int]] = writer.counts(pairs, [(_stamp(stamps[i]), _stamp(stamps[j]))
                                                          for i, j in pairs])
    return counted


def _cube_has(path: Path) -> Callable[[datetime, datetime], bool]:
    """Whether the cube at ``path`` (if any) holds the pair of two dates, read without writing."""
    keys: set[tuple[np.datetime64, np.datetime64]] = set()
    if (path / ".zmetadata").exists():
        with open_cube(path) as ds:
            keys = {(np.datetime64(a, "ms"), np.datetime64(b, "ms"))
                    for a, b in zip(ds["acquisition_date_img1"].values, ds["acquisition_date_img2"].values)}
    return lambda d1, d2: (np.datetime64(_naive_utc(d1), "ms"), np.datetime64(_naive_utc(d2), "ms")) in keys


def _first_failure(pairs: Sequence[tuple[int, int]], failures: Mapping[tuple[int, int], BaseException],
                   lost: Sequence[int], bad: Mapping[int, BaseException]) -> BaseException:
    """The error of a stack none of whose pairs can be matched: its first pair's, else its first
    lost image's."""
    for pair in pairs:
        if pair in failures:
            return failures[pair]
    if lost:
        return bad[lost[0]]
    return OptionError("no pair of the stack can be matched")


def _reason(error: BaseException) -> str:
    """Why a pair failed, on one line."""
    return one_line(error) if isinstance(error, TrackError) else describe_error(error)


def _stamp(d: datetime | None) -> datetime:
    assert d is not None
    return d


class _Progress:
    """The progress report of a stack: a tqdm bar on stderr, a caller's function, or nothing."""

    def __init__(self, progress: bool | Callable[[int, int], object], total: int, pairs: int) -> None:
        self.bar: Any = None
        self.call: Callable[[int, int], object] | None = None
        self.total = total
        if progress is True:
            tqdm = require("tqdm", "dask").tqdm
            self.bar = tqdm(total=total, unit="pt", desc=f"matching {pairs} pairs", file=sys.stderr,
                            leave=False)
        elif callable(progress):
            self.call = progress

    def __call__(self, done: int) -> None:
        if self.bar is not None:
            self.bar.update(done - self.bar.n)
        elif self.call is not None:
            self.call(done, self.total)

    def __enter__(self) -> Callable[[int], None] | None:
        return self if self.bar is not None or self.call is not None else None

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()


def write_index(out: Path, paths: Sequence[str], pairs: Sequence[tuple[int, int]],
                dates: Sequence[datetime | None], folders: Sequence[str],
                counts: Sequence[tuple[int, int] | None], *, reasons: Sequence[str] | None = None,
                lost: Mapping[int, str] | None = None) -> Path:
    """``pairs.csv``: one line per pair with its folder, its images (URLs without credentials, as
    run.json shows them), their dates and the interval, the points and the accepted points, and
    in ``failed`` why a pair was given up (its folder, points and accepted points empty then).
    An image in no pair (``lost``: unreadable and undated) has a line of its own, image2 empty."""
    reasons = [""] * len(pairs) if reasons is None else reasons
    with staged(out) as staging:
        partial = staging.folder / INDEX_NAME
        with open(partial, "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["folder", "image1", "image2", "date1", "date2", "dt_days", "points", "accepted",
                        "failed"])
            for (i, j), folder, counted, reason in zip(pairs, folders, counts, reasons, strict=True):
                d1, d2 = dates[i], dates[j]
                points, accepted = ("", "") if counted is None else counted
                w.writerow([folder, public_path(paths[i]), public_path(paths[j]), d1.isoformat() if d1 else "",
                            d2.isoformat() if d2 else "",
                            repr(_days(d1, d2)) if d1 and d2 else "", points, accepted, reason])
            for k, reason in (lost or {}).items():
                w.writerow(["", public_path(paths[k]), "", "", "", "", "", "", reason])
        return staging.publish([partial])[0]


@dataclass(frozen=True)
class PairSummary:
    """One line of a stack's report: a pair as ``pairs.csv`` and its ``run.json`` tell it."""

    folder: str
    image1: str
    image2: str
    date1: str
    date2: str
    days: float | None
    points: int | None
    accepted: int | None
    #: The stable-ground shift removed from the pair's velocities (map units per year), where one
    #: was measured.
    stable_shift: float | None
    failed: str

    @property
    def coverage(self) -> float | None:
        """The share of the grid's points accepted."""
        return None if not self.points or self.accepted is None else self.accepted / self.points


def stack_report(output: str | os.PathLike[str]) -> list[PairSummary]:
    """The pairs of a stack's output folder, worst first: the failed ones (and the images in no
    pair), then the others by the share of their points accepted, lowest first. Read from
    ``pairs.csv`` and each pair's ``run.json``; InputError when the folder holds no stack's index."""
    folder = Path(output)
    index = folder / INDEX_NAME
    try:
        with open(index, newline="") as f:
            lines = list(csv.DictReader(f))
    except OSError as e:
        raise InputError(f"cannot read {index}: {e.strerror or e}; not the output folder of a stack") from None
    except (csv.Error, UnicodeDecodeError) as e:
        raise InputError(f"cannot read {index}: {one_line(e)}") from None
    rows = []
    for line in lines:
        def number(name: str) -> float | None:
            try:
                return float(line.get(name) or "")
            except ValueError:
                return None
        points, accepted = number("points"), number("accepted")
        rows.append(PairSummary(
            line.get("folder") or "", line.get("image1") or "", line.get("image2") or "",
            line.get("date1") or "", line.get("date2") or "", number("dt_days"),
            None if points is None else int(points), None if accepted is None else int(accepted),
            _stable_shift(folder / (line.get("folder") or "") / "run.json") if line.get("folder") else None,
            line.get("failed") or ""))
    return sorted(rows, key=lambda r: (not r.failed, -1.0 if r.coverage is None else r.coverage))


def _stable_shift(path: Path) -> float | None:
    import json

    try:
        with open(path) as f:
            attrs = json.load(f).get("attrs", {})
        if attrs.get("stable_shift_method", "none") == "none":
            return None
        return float(np.hypot(float(attrs["stable_shift_vx"]), float(attrs["stable_shift_vy"])))
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None
