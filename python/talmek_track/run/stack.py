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
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, Unpack

import numpy as np

from talmek_track._facts import Status
from talmek_track.errors import OptionError, public_path, require
from talmek_track.matching.blocks import BlockRecords
from talmek_track.options.core import StackKeywords, TrackOptions, check_path
from talmek_track.options.dates import parse_date
from talmek_track.output.cube import CUBE_NAME, Cube, cube_settings, open_cube, require_dated
from talmek_track.output.dataset import to_dataset
from talmek_track.output.publish import output_target, repair_tree, staged
from talmek_track.output.writers import output_names, require_writers, write_result
from talmek_track.products.results import TrackResult
from talmek_track.run.pair import (
    PairPlan,
    finish_plan,
    match_pairs,
    open_images,
    plan_pair,
    prepare_pair,
    require_backend,
    settle_ranges,
)
from talmek_track.sources.readers import ImageSource, hold_inputs, release_inputs
from talmek_track.sources.stac import is_stac, stack_inputs

__all__ = ["StackResult", "match_stack", "pair_folder_names", "select_pairs"]

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


def pair_folder_names(paths: Sequence[str], pairs: Sequence[tuple[int, int]]) -> list[str]:
    """A folder name for each pair's results: the two files' names without their suffix, joined
    by ``__``; the stack indices instead when two images share a name."""
    stems = [_stem(p) for p in paths]
    unique = len(set(stems)) == len(stems)
    return [f"{stems[i]}__{stems[j]}" if unique else f"{i:03d}__{j:03d}" for i, j in pairs]


def _stem(path: str) -> str:
    name = os.fspath(path).split("?", 1)[0].rstrip("/").rsplit("/", 1)[-1]  # a URL without its query
    return name.split(".", 1)[0] or name


def stack_dates(sources: Sequence[ImageSource], dates: Sequence[datetime | str | None] | None = None
                ) -> list[datetime | None]:
    """Each image's acquisition date: as given in ``dates`` (None entries taken from the image),
    else from the image's metadata tags."""
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
        found.append(given if given is not None else source.acquisition_date())
    return found


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
        Each pair's grid points and accepted points.
    index : pathlib.Path or None
        The ``pairs.csv`` written into the output folder.
    """

    paths: list[str]
    pairs: list[tuple[int, int]]
    dates: list[datetime | None]
    results: list[TrackResult]
    counts: list[tuple[int, int]]
    index: Path | None = None
    cube: Path | None = None
    series: Path | None = None

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
                options: TrackOptions | None = None, **keywords: Unpack[StackKeywords]) -> StackResult:
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
        Before any matching: wrong options, an image that cannot be used in its pairs.
    BlockFailed
        A block failed on its worker (its message names the pair, the file and the window); the
        pairs finished before are written, nothing of the others.
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
    if out is not None:
        repair_tree(out)  # a run cut short before leaves a whole set of results first
    writers = output_names(opts.formats, opts.plot, out is not None)
    require_backend(opts)
    hold_inputs()
    try:
        # Every image is inspected once, its header and tags: the dates choose the pairs. Remote
        # images are fetched under the pair's policy (``fetch_copies``), each once for the stack.
        opened = open_images(names, opts)
        stamps = stack_dates(opened, dates)
        chosen = select_pairs(len(names), pairs, dates=stamps, max_days=max_days, min_days=min_days)
        if not chosen:
            raise OptionError("no pair of the stack lies within the time window")
        writer: Cube | None = None
        done_before: list[tuple[int, int]] = []
        if cube_path is not None:
            undated = [names[k] for k in sorted({k for pair in chosen for k in pair}) if stamps[k] is None]
            if undated:
                raise OptionError("a cube needs every image's acquisition date; {images} "
                                  "{have} none (give the dates: {0}, or the files' tags)",
                                  options=("dates",), images=", ".join(undated),
                                  have="has" if len(undated) == 1 else "have")
            require_dated([(stamps[i], stamps[j]) for i, j in chosen], "a cube")
            if out is not None:
                out.mkdir(exist_ok=True)
            writer = Cube(cube_path, cube_settings(opts))
            done_before = [(i, j) for i, j in chosen
                           if writer.has(_stamp(stamps[i]), _stamp(stamps[j]))]
            chosen = [p for p in chosen if p not in done_before]
        folders = pair_folder_names(names, chosen)
        prepared = [prepare_pair(opened[i], opened[j], opts) for i, j in chosen]
        for source1, _, _ in prepared:
            require_writers(writers, source1)
        ranged = _settle_images(opened, chosen, prepared, opts)
        plans: list[PairPlan] = []
        for (i, j), (source1, source2, params) in zip(chosen, prepared, strict=True):
            source1 = dataclasses.replace(source1, value_range=ranged[i].value_range)
            source2 = dataclasses.replace(source2, value_range=ranged[j].value_range)
            d1, d2 = stamps[i], stamps[j]
            when = (d1, d2) if d1 is not None and d2 is not None and d1 != d2 else None
            if when is None and d1 is not None and d1 == d2:
                warnings.warn(f"{names[i]} and {names[j]} carry the same date; no velocities for "
                              "this pair", stacklevel=2)
            plans.append(plan_pair(source1, source2, params, opts, dates=when))
        if out is not None:
            out.mkdir(exist_ok=True)
        results: list[TrackResult | None] = [None] * len(plans)
        counts: list[tuple[int, int]] = [(0, 0)] * len(plans)
        total = sum(plan.total for plan in plans)

        def done(k: int, plan: PairPlan, blocks: list[BlockRecords]) -> None:
            result = finish_plan(plan, blocks, preview="plot" in writers)
            if out is not None:
                paths = write_result(out / folders[k], writers, result)
                result = dataclasses.replace(result, preview=None, paths=paths)
            active = result.records["active"]
            counts[k] = (len(active), int(np.count_nonzero(active == Status.accepted)))
            if writer is not None and result.vector_field is not None:
                i, j = chosen[k]
                writer.append(to_dataset(result.vector_field), _stamp(stamps[i]), _stamp(stamps[j]))
            if keep:
                results[k] = result

        if plans:
            with _Progress(progress, total, len(plans)) as report:
                match_pairs(plans, chosen, opts, done, report)
        if writer is not None:
            writer.finish()
    finally:
        release_inputs()
    if done_before:  # the pairs a run before put into the cube keep their lines in the index
        assert writer is not None
        earlier = writer.counts(done_before, [(_stamp(stamps[i]), _stamp(stamps[j]))
                                              for i, j in done_before])
        order = sorted(range(len(chosen) + len(done_before)),
                       key=lambda k: (chosen + done_before)[k])
        every = chosen + done_before
        folders_all = folders + pair_folder_names(names, done_before)
        counts_all = counts + earlier
        chosen_out = [every[k] for k in order]
        folders_out = [folders_all[k] for k in order]
        counts_out = [counts_all[k] for k in order]
    else:
        chosen_out, folders_out, counts_out = chosen, folders, counts
    index = None if out is None else write_index(out, names, chosen_out, stamps, folders_out,
                                                 counts_out)
    series = None
    if invert is not None and cube_path is not None:
        from talmek_track.output.series import write_series
        from talmek_track.products.timeseries import invert_series

        assert out is not None
        with open_cube(cube_path) as ds:
            series = write_series(invert_series(ds, float(invert)).compute(), out)
    return StackResult(names, chosen_out, stamps, [r for r in results if r is not None],
                       counts_out, index, cube_path, series)


def _settle_images(opened: Sequence[ImageSource], chosen: Sequence[tuple[int, int]],
                   prepared: Sequence[tuple[ImageSource, ImageSource, object]],
                   options: TrackOptions) -> dict[int, ImageSource]:
    """Each image of the chosen pairs with its value range settled once, by ``settle_ranges``, in
    the order the pairs first use them. An image left to its blocks' reads (``match_pairs``) is
    read in strips of its own grid, so one that any pair reads through a warp is settled here."""
    used = list(dict.fromkeys(k for pair in chosen for k in pair))
    warped = {k for pair, (s1, s2, _) in zip(chosen, prepared, strict=True)
              for k, s in zip(pair, (s1, s2), strict=True) if s.warp is not None}
    settled: dict[int, ImageSource] = {}
    for k in used:
        settled[k] = settle_ranges([opened[k]], options, from_blocks=k not in warped)[0]
    return settled


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
                counts: Sequence[tuple[int, int]]) -> Path:
    """``pairs.csv``: one line per pair with its folder, its images (URLs without credentials, as
    run.json shows them), their dates and the interval, the points and the accepted points."""
    with staged(out) as staging:
        partial = staging.folder / INDEX_NAME
        with open(partial, "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["folder", "image1", "image2", "date1", "date2", "dt_days", "points", "accepted"])
            for (i, j), folder, (points, accepted) in zip(pairs, folders, counts):
                d1, d2 = dates[i], dates[j]
                w.writerow([folder, public_path(paths[i]), public_path(paths[j]), d1.isoformat() if d1 else "",
                            d2.isoformat() if d2 else "",
                            repr(_days(d1, d2)) if d1 and d2 else "", points, accepted])
        return staging.publish([partial])[0]
