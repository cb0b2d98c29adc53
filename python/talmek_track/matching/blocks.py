"""A grid matched block by block: each block of grid rows reads only the two image windows that
its chips cover, so memory follows the block, not the image.

``plan_blocks`` cuts a grid into ``BlockJob``s: small, picklable descriptions (the two image
sources with their settled value ranges, the settings, the block's points and the windows to
read). ``match_block(job)`` is a pure function of its job: it opens both sources itself, reads
and converts the two windows, leaves out points whose chips touch missing pixels and matches the
rest on native threads. A backend may run jobs in any process and in any order; the records of
all jobs, in job order, are the grid's records, each bit-identical to matching the whole
converted images in memory (the engine is told where each window lies in its image).
"""

from __future__ import annotations

import copy
import math
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

import Talmek
from talmek_track import _batch
from talmek_track._facts import NODATA, chip_origin
from talmek_track.errors import InputError, TrackError, describe_error
from talmek_track.matching.deform import Deformation, Field
from talmek_track.matching.engine import RECORD_DTYPE, Progress, pair_array, thread_count, warn_failures
from talmek_track.matching.masking import chips_touch
from talmek_track.matching.prefilter import filter_window
from talmek_track.matching.refine import halo, refine_block
from talmek_track.options.values import DEFAULT_BLOCK_PIXELS, Prefilter, Refinement
from talmek_track.sources.readers import ImageSource, Window
from talmek_track.sources.validity import ImageValidity
from talmek_track.stages import stage

__all__ = ["BlockJob", "BlockRecords", "Group", "ImageSource", "LoadedBlock", "NativeWindow", "load_block",
           "match_block", "match_loaded", "plan_blocks"]

#: A pre-filter works in double precision with several temporaries per pixel: blocks that are
#: pre-filtered hold this many times fewer pixels.
PREFILTER_COST = 8
#: Blocks per thread at least when a grid is cut for a known number of threads running blocks
#: side by side (``plan_blocks(slots=...)``): enough that a thread slowed by other work on its
#: core costs the run a fraction of a block, not its share of the grid.
BLOCKS_PER_SLOT = 4


@dataclass(frozen=True)
class BlockJob:
    """One block of a grid: everything ``match_block`` needs, picklable.

    Attributes
    ----------
    source1, source2 : ImageSource
        The two images, value ranges settled.
    params : Talmek.MatchingParams
        The settings (georeferences included).
    points1, points2 : numpy.ndarray of int64, shape (n, 2)
        The block's points in image 1 and their expected positions in image 2, full-image
        (row, col).
    window1, window2 : tuple of int
        (first row, end row, first column, end column) of each image that the block reads.
    first : int
        The index of the block's first point in the grid's points (row by row).
    threads : int or None
        Native threads to match on (None: every core of the process).
    prefilter : Prefilter or None
        A pre-filter applied to both images after conversion, before
        matching (None: none); windows are read widened by its halo, so the result equals
        filtering the whole images.
    refine : Refinement or None
        A ``talmek_track.matching.refine.Refinement``: accepted matches are refined, compared and
        back-matched on the block's windows (widened for it), and the records come with its
        extra fields (``talmek_track.matching.refine.EXTRA_FIELDS``).
    validity1, validity2 : ImageValidity or None
        Validity masks and saturated areas of each image (``talmek_track.sources.validity``), masked
        like nodata.
    margins : numpy.ndarray of int64, shape (n, 2), or None
        Each point's search margins (columns, rows) when they differ from point to point (a
        reference velocity map sizes them); None: the params' margins for every point.
    deformation : Deformation or None
        The block matches image 1 against image 2 deformed by a predicted field
        (``talmek_track.guided.passes.Deformation``): ``window2`` is then the part of image 2 the
        deformed window samples, ``points2`` the predictions rounded to whole pixels, and each
        search is centred on the point in the deformed image; the records are rebuilt in image
        2's coordinates.
    """

    source1: ImageSource
    source2: ImageSource
    params: Talmek.MatchingParams
    points1: npt.NDArray[np.int64]
    points2: npt.NDArray[np.int64]
    window1: Window
    window2: Window
    first: int = 0
    threads: int | None = None
    prefilter: Prefilter | None = None
    refine: Refinement | None = None
    validity1: ImageValidity | None = None
    validity2: ImageValidity | None = None
    margins: npt.NDArray[np.int64] | None = None
    deformation: Deformation | None = None

    @property
    def size(self) -> int:
        return len(self.points1)


class NativeWindow(NamedTuple):
    """Where a window that the native batch matches in lies in its image: its first row and
    column, and the image's whole size (unlike ``readers.Window``, which names the window's own
    rows and columns)."""

    first_row: int
    first_col: int
    rows: int
    cols: int


class BlockRecords(NamedTuple):
    """A matched block: its records (job order), the points that failed inside the native code
    (all-zero records with ``Status.error``) and the first such failure's message ("" for
    none)."""

    records: np.ndarray
    failed: int = 0
    first_error: str = ""


#: The blocks of one pair when the blocks of many run together (``backends.run_block_groups``):
#: its jobs, a label naming the pair in messages, and a function that takes the pair's matched
#: blocks (job order) once all of them are in.
Group = tuple[Sequence[BlockJob], str, Callable[[list[BlockRecords]], object] | None]


@dataclass
class LoadedBlock:
    """A job with its two windows read and converted, and the points to leave out."""

    job: BlockJob
    pixels1: npt.NDArray[np.uint8]
    pixels2: npt.NDArray[np.uint8]
    skip: npt.NDArray[np.bool_]


def chip_sizes(params: Talmek.MatchingParams) -> tuple[tuple[int, int], tuple[int, int]]:
    """(width, height) of the reference chip and of the search chip."""
    ref = (params.chipwidth_, params.chipheight_)
    return ref, (ref[0] + 2 * params.hoffset_, ref[1] + 2 * params.voffset_)


def covering_window(points: npt.NDArray[np.int64], size: tuple[int, int] | npt.NDArray[np.int64],
                    shape: tuple[int, int]) -> Window:
    """The part of an image that the chips of ``size`` (width, height; or one pair per point,
    shape (n, 2)) around ``points`` cover; at least one pixel, so that a block whose chips all
    leave the image still has a window."""
    bounds = []
    for axis, extent in ((0, size[1]), (1, size[0])) if isinstance(size, tuple) else \
            ((0, size[:, 1]), (1, size[:, 0])):
        if isinstance(extent, np.ndarray):
            origins = chip_origin(points[:, axis], extent)
            lo, hi = int(origins.min()), int((origins + extent).max())
        else:
            lo = int(chip_origin(points[:, axis].min(), extent))
            hi = int(chip_origin(points[:, axis].max(), extent)) + extent
        lo, hi = max(lo, 0), min(hi, shape[axis])
        if lo >= hi:
            lo = min(max(lo, 0), shape[axis] - 1)
            hi = lo + 1
        bounds += [lo, hi]
    return Window(bounds[0], bounds[1], bounds[2], bounds[3])


def plan_blocks(source1: ImageSource, source2: ImageSource, params: Talmek.MatchingParams,
                points1: npt.NDArray[np.int64], points2: npt.NDArray[np.int64],
                grid_shape: tuple[int, int], *, threads: int | None = None,
                block_pixels: int = DEFAULT_BLOCK_PIXELS, prefilter: Prefilter | None = None,
                refine: Refinement | None = None,
                validity: tuple[ImageValidity | None, ImageValidity | None] = (None, None),
                margins: npt.NDArray[np.int64] | None = None,
                deformation: Field | None = None, slots: int | None = None) -> list[BlockJob]:
    """Cuts a grid (points row by row, ``grid_shape`` rows and columns) into blocks of whole grid
    rows whose two windows hold about ``block_pixels`` pixels together (at least one grid row).
    ``slots``, the threads that will run blocks side by side (a cluster's), makes the blocks
    alike for them: at least ``BLOCKS_PER_SLOT`` per slot and a whole multiple of the slots (as
    far as the grid's rows allow), none larger than ``block_pixels`` makes them, their rows
    spread evenly, so that the slots finish together.
    ``prefilter`` (a ``talmek_track.matching.prefilter.Prefilter`` or None) is applied to every window;
    such blocks hold ``PREFILTER_COST`` times fewer pixels. ``refine`` widens both windows by the
    refinement's halo; ``validity`` holds each image's masks beside nodata (or None);
    ``margins`` each point's search margins (columns, rows) when they differ from the params'.
    ``deformation``, the predicted field on the grid, makes every block match image 2 deformed by
    it (``BlockJob.deformation``).

    Returns
    -------
    list of BlockJob
        In grid order; their points together are the grid's.
    """
    rows, cols = grid_shape
    if rows == 0 or cols == 0:
        return []
    if prefilter is not None:
        block_pixels = max(1, block_pixels // PREFILTER_COST)
    ref, search = chip_sizes(params)
    if margins is not None and len(margins):
        search = (ref[0] + 2 * int(margins[:, 0].max()), ref[1] + 2 * int(margins[:, 1].max()))
    width = (min(source1.shape[1], (cols - 1) * params.col_interval_ + ref[0])
             + min(source2.shape[1], (cols - 1) * params.col_interval_ + search[0]))
    spare = block_pixels / max(width, 1) - max(ref[1], search[1])
    per_block = max(1, math.floor(spare / params.row_interval_) + 1) if spare > 0 else 1
    if refine is not None and not refine.active:
        refine = None
    extra = 0 if refine is None else halo(params)
    jobs = []
    for first, end in _row_spans(rows, per_block, slots):
        part = slice(first * cols, end * cols)
        p1, p2 = points1[part], points2[part]
        m = None if margins is None else margins[part]
        w1 = covering_window(p1, ref, source1.shape)
        if deformation is not None:
            w2 = covering_window(p1, search, source1.shape)
        else:
            w2 = covering_window(p2, search if m is None else _search_sizes(ref, m), source2.shape)
        if extra:
            w1 = w1.widened(extra, source1.shape)
            w2 = w2.widened(extra, source1.shape if deformation is not None else source2.shape)
        deformed = None
        if deformation is not None:
            # The deformed window lies in image 1's geometry; image 2 is read where it samples.
            field = deformation.rows_between(w2.row0 - params.row_interval_, w2.row1 + params.row_interval_)
            deformed = Deformation(field, tuple(w2))  # type: ignore[arg-type]
            w2 = Window(*deformed.source_window(source2.shape))
        jobs.append(BlockJob(source1, source2, params, p1, p2, w1, w2, part.start, threads,
                             prefilter, refine, validity[0], validity[1], margins=m, deformation=deformed))
    return jobs


def _row_spans(rows: int, per_block: int, slots: int | None) -> list[tuple[int, int]]:
    """(first, end) grid rows of each block: ``per_block`` rows each (the last one the rest),
    or, for ``slots``, a multiple of them whose rows differ by one at most."""
    if slots is None:
        return [(first, min(first + per_block, rows)) for first in range(0, rows, per_block)]
    count = max(-(-rows // per_block), BLOCKS_PER_SLOT * slots)
    count = min(rows, -(-count // slots) * slots)
    return [(k * rows // count, (k + 1) * rows // count) for k in range(count)]


def _search_sizes(ref: tuple[int, int], margins: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """Each point's search chip (width, height) from its margins (columns, rows)."""
    return np.asarray(ref, np.int64) + 2 * margins


def read_window(source: ImageSource, window: Window, prefilter: Prefilter | None = None
                ) -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]:
    """A window converted to uint8 and where pixels are missing; with a pre-filter, the window is
    read widened by the filter's halo (inside the image, ``filter_window``) so that the filtered
    pixels equal those of filtering the whole image, and pixels within the halo of a missing one
    count as missing."""
    if prefilter is None:
        with stage("read"):
            return source.read(window)
    if prefilter.halo == 0:
        with stage("read"):
            pixels, invalid = source.read_scaled(window)
        with stage("pre-filter"):
            return prefilter(pixels), invalid
    from scipy import ndimage

    missing: list[npt.NDArray[np.bool_]] = []

    def scaled(r0: int, r1: int, c0: int, c1: int) -> np.ndarray:
        # A wide pixel type is filtered before its rounding to 8 bits.
        with stage("read"):
            pixels, invalid = source.read_scaled(Window(r0, r1, c0, c1))
        missing.append(invalid)
        return pixels

    h = prefilter.halo
    r0, r1, c0, c1 = window
    filtered: npt.NDArray[np.uint8] = filter_window(prefilter, scaled, source.shape, r0, r1, c0, c1)
    invalid = missing[0]
    if invalid.any():
        with stage("masking"):
            invalid = ndimage.maximum_filter(invalid.view(np.uint8), size=2 * h + 1, mode="constant") > 0
    top, left = max(0, r0 - h), max(0, c0 - h)
    return np.ascontiguousarray(filtered), invalid[r0 - top:r1 - top, c0 - left:c1 - left]


def _read_job_window(source: ImageSource, window: Window, prefilter: Prefilter | None
                     ) -> tuple[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]:
    """read_window, with a failed read (a damaged or vanished file, a network source gone)
    reported as an input error that names the file and the window."""
    try:
        return read_window(source, window, prefilter)
    except (TrackError, MemoryError):
        raise
    except Exception as e:  # noqa: BLE001 - whatever the reader raised, the input is unreadable
        r0, r1, c0, c1 = window
        raise InputError(f"cannot read {source.path} rows {r0}..{r1 - 1} columns {c0}..{c1 - 1}: "
                         f"{describe_error(e)}") from e


def _with_validity(source: ImageSource, window: Window, invalid: npt.NDArray[np.bool_],
                   validity: ImageValidity | None) -> npt.NDArray[np.bool_]:
    if validity is None or not validity.active:
        return invalid
    try:
        more = validity.invalid(source, window)
    except (TrackError, MemoryError):
        raise
    except Exception as e:  # noqa: BLE001 - an unreadable mask is an input error
        r0, r1, c0, c1 = window
        raise InputError(f"cannot read the validity mask of {source.path} rows {r0}..{r1 - 1} "
                         f"columns {c0}..{c1 - 1}: {describe_error(e)}") from e
    return invalid if more is None else invalid | more


def load_block(job: BlockJob) -> LoadedBlock:
    """Reads and converts the job's two windows (pre-filtered if the job says so) and finds the
    points whose chips touch a missing pixel."""
    with stage("load block"):
        return _load_block(job)


def _load_block(job: BlockJob) -> LoadedBlock:
    ref, search = chip_sizes(job.params)
    pixels1, invalid1 = _read_job_window(job.source1, job.window1, job.prefilter)
    with stage("masking"):
        invalid1 = _with_validity(job.source1, job.window1, invalid1, job.validity1)
        skip = chips_touch(invalid1, job.points1, ref[0], ref[1], (job.window1[0], job.window1[2]))
    del invalid1
    pixels2, invalid2 = _read_job_window(job.source2, job.window2, job.prefilter)
    with stage("masking"):
        invalid2 = _with_validity(job.source2, job.window2, invalid2, job.validity2)
    # Searches are centred on the predicted points, or on the points themselves in image 2
    # deformed onto image 1's geometry.
    targets, window2 = job.points2, job.window2
    if job.deformation is not None:
        with stage("deformation"):
            pixels2, invalid2 = job.deformation.apply(pixels2, invalid2, job.window2)
        targets, window2 = job.points1, Window(*job.deformation.window)
    with stage("masking"):
        if job.margins is None:
            skip |= chips_touch(invalid2, targets, search[0], search[1], (window2[0], window2[2]))
        else:
            sizes = _search_sizes(ref, job.margins)
            skip |= chips_touch(invalid2, targets, sizes[:, 0], sizes[:, 1], (window2[0], window2[2]))
    return LoadedBlock(job, pixels1, pixels2, skip)


def native_window(window: Window, shape: tuple[int, int]) -> NativeWindow:
    """The native batch's description of ``window`` of an image of ``shape``."""
    return NativeWindow(window[0], window[2], shape[0], shape[1])


def match_loaded(block: LoadedBlock, progress: Progress | None = None,
                 threads: int | None = None) -> BlockRecords:
    """The records of a loaded block; see ``match_block``."""
    with stage("match block"):
        return _match_loaded(block, progress, threads)


def _match_loaded(block: LoadedBlock, progress: Progress | None, threads: int | None) -> BlockRecords:
    job = block.job
    todo = ~block.skip
    n_threads = thread_count(threads if threads is not None else job.threads)
    params, window2, shape2, targets = job.params, job.window2, job.source2.shape, job.points2
    if job.deformation is not None:
        # The deformed image lies in image 1's geometry and georeference: each search is centred
        # on the point itself.
        params = copy.copy(job.params)
        params.srch_cellsize_, params.srch_xll_, params.srch_yll_ = (
            params.ref_cellsize_, params.ref_xll_, params.ref_yll_)
        window2, shape2, targets = Window(*job.deformation.window), job.source1.shape, job.points1
    windows = (native_window(job.window1, job.source1.shape), native_window(window2, shape2))
    if job.margins is None:
        pairs = pair_array(job.points1[todo], targets[todo])
        with stage("match points"):
            matched, failed, first_error = _batch.match_points(
                block.pixels1, block.pixels2, pairs, params, n_threads, progress,
                window1=windows[0], window2=windows[1])
    else:
        with stage("match points"):
            matched, failed, first_error = _match_by_margins(block, todo, n_threads, progress, windows,
                                                             params, targets)
    records = np.zeros(job.size, RECORD_DTYPE)
    records[todo] = matched
    records["row1"], records["col1"] = job.points1[:, 0], job.points1[:, 1]
    records["row2"], records["col2"] = job.points2[:, 0], job.points2[:, 1]
    records["active"][block.skip] = NODATA
    if job.refine is not None:
        with stage("refinement"):
            records = refine_block(records, block.pixels1, block.pixels2, job.window1, window2,
                                   shape2, params, job.refine, n_threads, shape1=job.source1.shape)
    if job.deformation is not None:
        with stage("restore"):
            records = job.deformation.restore(records, job.params, job.source1.shape, job.source2.shape)
    return BlockRecords(records, int(failed), str(first_error) if failed else "")


def _with_margins(params: Talmek.MatchingParams, mx: int, my: int) -> Talmek.MatchingParams:
    p = copy.copy(params)
    p.hoffset_, p.voffset_ = mx, my
    return p


def _match_by_margins(block: LoadedBlock, todo: npt.NDArray[np.bool_], threads: int,
                      progress: Progress | None, windows: tuple[NativeWindow, NativeWindow],
                      params: Talmek.MatchingParams, targets: npt.NDArray[np.int64]
                      ) -> tuple[np.ndarray, int, str]:
    """The records of the points ``todo`` of a block whose points have margins of their own: one
    native batch per distinct pair of margins, each search centred on its point's ``targets``
    position in ``block.pixels2``, the records in the points' order."""
    job = block.job
    assert job.margins is not None
    at = np.flatnonzero(todo)
    out = np.zeros(len(at), RECORD_DTYPE)
    kinds, which = np.unique(job.margins[at], axis=0, return_inverse=True)
    failed, first_error, done = 0, "", 0
    for k, (mx, my) in enumerate(kinds):
        part = np.flatnonzero(which.ravel() == k)
        report = None if progress is None else (lambda n, base=done: progress(base + n))
        pairs = pair_array(job.points1[at[part]], targets[at[part]])
        matched, lost, error = _batch.match_points(
            block.pixels1, block.pixels2, pairs, _with_margins(params, int(mx), int(my)), threads,
            report, window1=windows[0], window2=windows[1])
        out[part] = matched
        failed += int(lost)
        first_error = first_error or (str(error) if lost else "")
        done += len(part)
    return out, failed, first_error


def match_block(job: BlockJob, threads: int | None = None,
                progress: Progress | None = None) -> BlockRecords:
    """Matches one block: opens both sources, reads and converts the job's windows, and matches
    every point whose chips hold no missing pixel on native threads.

    Parameters
    ----------
    job : BlockJob
        The block, as ``plan_blocks`` made it.
    threads : int, optional
        Native threads (default: ``job.threads``, else every core of the process).
    progress : callable, optional
        Called with the number of the block's points matched so far.

    Returns
    -------
    BlockRecords
        ``records``: one record per point (``RECORD_DTYPE``), in the job's order: what
        ``match_points`` returns for the whole converted images, bit for bit; points left out
        carry ``Status.nodata`` and zeros, and a point that failed inside the native code
        ``Status.error`` and zeros; with ``job.refine``, the records carry the refinement's
        fields beside (``talmek_track.matching.refine.EXTRA_FIELDS``). ``failed`` counts the
        latter, ``first_error`` is the first one's message. Nothing is warned here: the run warns
        once for all its blocks.
    """
    return match_loaded(load_block(job), progress, threads)


def first_fitting(size: int) -> int:
    # The smallest centre from 0 up whose chip starts at index 0 or later.
    return int(np.flatnonzero(chip_origin(np.arange(size + 1), size) >= 0)[0])


def last_fitting(size: int, extent: int) -> int:
    # The largest centre whose chip of ``size`` ends inside an image ``extent`` pixels long.
    centres = np.arange(extent)
    fits = np.flatnonzero(chip_origin(centres, size) + size <= extent)
    return int(fits[-1]) if len(fits) else 0


def assemble(blocks: Iterable[BlockRecords], total: int) -> np.ndarray:
    """The grid's records from its blocks (job order), with the refinement's fields when the
    blocks carry them; one warning for the points that failed inside the native code, with the
    first failure's message."""
    records = None
    at, failed, first_error = 0, 0, ""
    for block in blocks:
        if records is None:
            records = np.zeros(total, block.records.dtype if block.records.dtype.names else RECORD_DTYPE)
        records[at:at + len(block.records)] = block.records
        at += len(block.records)
        failed += block.failed
        first_error = first_error or block.first_error
    warn_failures(failed, total, first_error, stacklevel=3)
    return np.zeros(total, RECORD_DTYPE) if records is None else records
