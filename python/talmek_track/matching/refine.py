"""Sub-pixel refinement of accepted matches, and the back-match test.

The quadric fit of the correlation peak is biased towards whole pixels (peak locking): a true
displacement of 0.35 px reads about 0.31. The bias vanishes where the displacement the fit sees
is near zero. ``refine_block`` therefore resamples image 2 with cubic splines at each accepted
match's estimate, so that the feature lies (nearly) at the chip's centre, and matches the
reference chip against it again; the residual found is added to the estimate. Two rounds bring
the residual to a few thousandths of a pixel.

The back-match test matches each found position back into image 1: the chip of image 2 around
the (rounded) found position is searched for in image 1 around the point. A true match comes back
to where it started; a match that locked onto clouds, a shadow edge or a repeated pattern often
does not. Round trips that miss by more than the tolerance are rejected.

Both work inside a block on the windows it has read (widened by ``halo``), on the pixels that were
matched (pre-filtered, 8 bits), through the engine's own matching of chips laid out as tiles. The
records stay as the engine made them: the block returns the corrections beside them
(``EXTRA_FIELDS``). Every position is reckoned in the image's own pixels and every chip is cut
and resampled from a patch fixed by its position alone; where the block's windows lie only says
where to find those pixels, so the results are the same bits whatever the blocks.
"""

from __future__ import annotations

import math
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import numpy.typing as npt

import Talmek
from talmek_track import _batch
from talmek_track._facts import SEARCH_CHIP_MIN, Status, chip_origin
from talmek_track.matching.engine import RECORD_DTYPE
from talmek_track.matching.prefilter import core_count
from talmek_track.options.values import BACKMATCH_TOLERANCE, MIN_SIMILARITY, REFINE_METHODS, Refinement, parse_refine

__all__ = ["BACKMATCH_TOLERANCE", "CHECKS", "EXTRA_FIELDS", "MIN_SIMILARITY", "REFINE_METHODS", "Refinement",
           "parse_refine", "refine_block", "split"]

#: Pixels by which a chip's patch extends beyond its spline's reach on each side.
SPLINE_PAD = 10
#: Pixels by which a refined position may lie beyond its point's search margin: the sub-pixel
#: fit's offset (at most one) and one pixel for each of at most three rounds.
DRIFT = 4
#: Points matched through the engine at a time (tiles of one image), and refined at a time.
_TILES_PER_CALL = 512
_POINTS_PER_PART = 512
#: Chips resampled at a time on one thread.
_CHIPS_AT_ONCE = 24

#: Fields a refined block adds to the records: the correction of dx and dy in pixels (NaN where
#: the match was not refined), the refined fit's rms_1 and rms_2, the chips' correlation
#: coefficient at the refined position, and the outcome of the checks (``CHECKS``).
EXTRA_FIELDS = [("refine_dx", "f8"), ("refine_dy", "f8"), ("refine_rms_1", "f4"),
                ("refine_rms_2", "f4"), ("refine_corr", "f4"), ("check", "i1")]
#: Outcomes of the checks of a match: not checked, passed, the back-match missed, the chips are
#: unlike at the refined position, the refining match failed or moved by more than a pixel, the
#: field bends within the chip more than it can follow (guided runs). All but the first two
#: reject the match.
CHECKS = {"unchecked": 0, "passed": 1, "backmatch": 2, "unlike": 3, "unconfirmed": 4, "bent": 5}
PASSED, BACKMATCH_MISSED, UNLIKE, UNCONFIRMED, BENT = 1, 2, 3, 4, 5


def extended_dtype() -> np.dtype:
    return np.dtype(RECORD_DTYPE.descr + EXTRA_FIELDS)


def margins(params: Talmek.MatchingParams) -> tuple[int, int]:
    """Search margins (columns, rows) of the refining matches: small, as the residual is below a
    pixel, yet wide enough for the engine's smallest search chip."""
    mx = max(4, math.ceil((SEARCH_CHIP_MIN - params.chipwidth_) / 2))
    my = max(4, math.ceil((SEARCH_CHIP_MIN - params.chipheight_) / 2))
    return mx, my


def halo(params: Talmek.MatchingParams) -> int:
    """Pixels by which a block's windows are widened so that refinement and back-matching find
    the pixels they need (the margin, the drift of the position, the spline patch's reach and
    the rounding): every chip that lies inside the image then lies inside the block's windows."""
    return max(margins(params)) + DRIFT + SPLINE_PAD + 3


def _chip_params(params: Talmek.MatchingParams, mx: int, my: int) -> Talmek.MatchingParams:
    p = Talmek.MatchingParams()
    p.chipwidth_, p.chipheight_ = params.chipwidth_, params.chipheight_
    p.hoffset_, p.voffset_ = mx, my
    p.peakmethod_ = params.peakmethod_
    p.mincorr_ = params.mincorr_
    p.maxdiff_ = -2.0
    return p


def match_chips(ref: np.ndarray, search: np.ndarray, params: Talmek.MatchingParams,
                threads: int) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Matches each reference chip ``ref[i]`` (n, h, w) in its search chip ``search[i]``
    (n, h + 2 my, w + 2 mx), both uint8 and centred alike. Returns dx, dy (pixels, columns right
    and rows down, from the centre), rms_1, rms_2 and the status of each."""
    n = len(ref)
    h, w = ref.shape[1:]
    sh, sw = search.shape[1:]
    my, mx = (sh - h) // 2, (sw - w) // 2
    p = _chip_params(params, mx, my)
    # The engine adds a match's offset to its centre's row and column in double precision, so
    # the offset it reports keeps as many bits as the centre's binade leaves. The tiles are
    # therefore placed in an image of 2 * base pixels a side, starting at (base, base): every
    # centre, however many tiles a call holds, lies in [base, 2 * base), and each chip's offsets
    # are the same bits wherever its tile lies.
    across_most = math.ceil(math.sqrt(_TILES_PER_CALL))
    base = 1 << (2 * across_most * max(sh, sw)).bit_length()
    window = (base, base, 2 * base, 2 * base)
    dx, dy = np.full(n, np.nan), np.full(n, np.nan)
    rms1, rms2 = np.full(n, np.nan, np.float32), np.full(n, np.nan, np.float32)
    status = np.zeros(n, np.int32)
    for at in range(0, n, _TILES_PER_CALL):
        part = slice(at, min(n, at + _TILES_PER_CALL))
        k = part.stop - part.start
        across = math.ceil(math.sqrt(k))
        down = math.ceil(k / across)
        image1 = np.zeros((down * sh, across * sw), np.uint8)
        image2 = np.zeros_like(image1)
        ti, tj = np.divmod(np.arange(k), across)
        for i in range(k):
            r0, c0 = ti[i] * sh, tj[i] * sw
            image2[r0:r0 + sh, c0:c0 + sw] = search[part.start + i]
            image1[r0 + my:r0 + my + h, c0 + mx:c0 + mx + w] = ref[part.start + i]
        # The centre whose chips start where the tile puts them.
        cr = ti * sh + my - int(chip_origin(0, h))
        cc = tj * sw + mx - int(chip_origin(0, w))
        pairs = np.stack([cr, cc, cr, cc], axis=1).astype(np.int32) + base
        records, _, _ = _batch.match_points(image1, image2, pairs, p, threads, None,
                                            window1=window, window2=window)
        ok = records["active"] == Status.accepted
        dx[part] = np.where(ok, records["x2"] - records["x1"], np.nan)
        dy[part] = np.where(ok, records["y1"] - records["y2"], np.nan)
        rms1[part] = np.where(ok, records["rms_1"], np.nan)
        rms2[part] = np.where(ok, records["rms_2"], np.nan)
        status[part] = records["active"]
    return dx, dy, rms1, rms2, status


def _cut(pixels: np.ndarray, window: tuple[int, int, int, int], rows: np.ndarray, cols: np.ndarray,
         h: int, w: int) -> np.ndarray:
    """Chips (n, h, w) of whole pixels with their first pixel at the image's (rows, cols), from
    ``pixels``, the image's ``window``; all inside it."""
    if len(rows) == 0:
        return np.empty((0, h, w), pixels.dtype)
    chips: np.ndarray = np.lib.stride_tricks.sliding_window_view(pixels, (h, w))[rows - window[0],
                                                                                 cols - window[2]]
    return chips


def _bspline_weights(t: np.ndarray) -> np.ndarray:
    """Cubic B-spline weights (n, 4) of the taps at floor - 1 .. floor + 2 for fractions t."""
    t = t[:, None]
    u = 1.0 - t
    return np.concatenate([u**3, 3 * t**3 - 6 * t**2 + 4, -3 * t**3 + 3 * t**2 + 3 * t + 1, t**3],
                          axis=1) / 6.0


def _resample(pixels: np.ndarray, window: tuple[int, int, int, int], rows: np.ndarray,
              cols: np.ndarray, h: int, w: int, threads: int = 0) -> np.ndarray:
    """Chips (n, h, w) of cubic-spline values of the image with their first sample at its real
    (rows, cols), rounded to 8 bits, from ``pixels``, the image's ``window``; every chip lies
    ``SPLINE_PAD + 2`` pixels inside it. The fractions of a position come from the image's own
    coordinates, never from the window's.

    Each chip's spline coefficients are computed on its own patch, ``SPLINE_PAD`` pixels wider
    on each side than the spline reaches (the prefilter's influence falls by 0.27 per pixel,
    to below 1e-5 of a grey level there), so a chip's values depend on the pixels around it
    alone, not on the block it was read in. All samples of a chip share one fraction, so the
    spline is evaluated as two 4-tap filters per chip. Groups of chips run side by side on
    ``threads`` threads (0: every core): SciPy's spline filter and NumPy's arithmetic release
    the interpreter lock, and no chip's values depend on the others'."""
    from scipy import ndimage

    out = np.empty((len(rows), h, w), np.uint8)
    if len(rows) == 0:
        return out
    r0, c0 = np.floor(rows).astype(np.int64), np.floor(cols).astype(np.int64)
    wr, wc = _bspline_weights(rows - r0), _bspline_weights(cols - c0)
    pad = SPLINE_PAD
    view = np.lib.stride_tricks.sliding_window_view(pixels, (h + 3 + 2 * pad, w + 3 + 2 * pad))
    # The patches' first pixels in the window.
    r0, c0 = r0 - window[0], c0 - window[2]

    def resample(at: int) -> None:
        part = slice(at, at + _CHIPS_AT_ONCE)
        patches = view[r0[part] - 1 - pad, c0[part] - 1 - pad].astype(np.float64)
        for axis in (1, 2):
            ndimage.spline_filter1d(patches, order=3, axis=axis, mode="mirror", output=patches)
        blocks = patches[:, pad:pad + h + 3, pad:pad + w + 3]
        along = (wr[part, 0, None, None] * blocks[:, 0:h] + wr[part, 1, None, None] * blocks[:, 1:h + 1]
                 + wr[part, 2, None, None] * blocks[:, 2:h + 2] + wr[part, 3, None, None] * blocks[:, 3:h + 3])
        values = (wc[part, 0, None, None] * along[:, :, 0:w] + wc[part, 1, None, None] * along[:, :, 1:w + 1]
                  + wc[part, 2, None, None] * along[:, :, 2:w + 2] + wc[part, 3, None, None] * along[:, :, 3:w + 3])
        np.clip(np.rint(values), 0, 255, out=values)
        out[part] = values

    starts = range(0, len(rows), _CHIPS_AT_ONCE)
    n = min(len(starts), core_count() if threads <= 0 else threads)
    if n <= 1:
        for at in starts:
            resample(at)
        return out

    def share(k: int) -> None:
        for at in starts[k::n]:
            resample(at)

    with ThreadPoolExecutor(max_workers=n, thread_name_prefix="talmek-resample") as pool:
        for done in [pool.submit(share, k) for k in range(n)]:
            done.result()
    return out


def _pearson(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """The correlation coefficient of each pair of chips (n, h, w)."""
    if len(a) == 0:
        return np.empty(0)
    a = a.reshape(len(a), -1).astype(np.float64)
    b = b.reshape(len(b), -1).astype(np.float64)
    a -= a.mean(axis=1, keepdims=True)
    b -= b.mean(axis=1, keepdims=True)
    denom = np.sqrt((a * a).sum(axis=1) * (b * b).sum(axis=1))
    with np.errstate(invalid="ignore", divide="ignore"):
        r: np.ndarray = (a * b).sum(axis=1) / denom
    return r


def _inside(rows: np.ndarray, cols: np.ndarray, h: int, w: int, window: tuple[int, int, int, int],
            shape: tuple[int, int] | None = None, pad: int = 0) -> np.ndarray:
    """Where the chips (h, w) with their first pixel at the image's (rows, cols) lie ``pad``
    pixels inside the image of ``shape`` (None: its window alone) and inside the ``window`` of it
    that the block read. Widened by ``halo``, a block's windows hold every chip of its points
    that the image holds, so the test is the image's whatever the blocks."""
    result: np.ndarray = ((rows - pad >= window[0]) & (cols - pad >= window[2])
                          & (rows + h + pad <= window[1]) & (cols + w + pad <= window[3]))
    if shape is not None:
        result &= ((rows >= pad) & (cols >= pad) & (rows + h + pad <= shape[0])
                   & (cols + w + pad <= shape[1]))
    return result


def refine_block(records: np.ndarray, pixels1: np.ndarray, pixels2: np.ndarray,
                 window1: tuple[int, int, int, int], window2: tuple[int, int, int, int],
                 shape2: tuple[int, int], params: Talmek.MatchingParams, how: Refinement,
                 threads: int, shape1: tuple[int, int] | None = None) -> np.ndarray:
    """The block's records with ``EXTRA_FIELDS``: each accepted match refined on image 2
    resampled at its estimate (``how.rounds`` times), its chips compared there, and put to the
    back-match test.

    ``pixels1``, ``pixels2`` are the windows the block matched on (first row, end row, first
    column, end column: ``window1``, ``window2``), ``shape1``, ``shape2`` the images' shapes
    (``shape1`` None: image 1's window is taken to reach its edges wherever the image does). A
    match whose chips would leave the image is left unrefined and untested. The chips an
    accepted match was found with hold no missing pixel, and the refined ones lie within them
    but for the outer part of the small search margins. Each match's result depends on the
    images alone, not on the windows, as long as the windows were widened by ``halo``.
    """
    out = np.zeros(len(records), extended_dtype())
    for name in RECORD_DTYPE.names or ():
        out[name] = records[name]
    for name in ("refine_dx", "refine_dy", "refine_rms_1", "refine_rms_2", "refine_corr"):
        out[name] = np.nan
    todo = np.flatnonzero(records["active"] == Status.accepted)
    if not how.active:
        return out
    # A few thousand points at a time keep the chips' memory small whatever the block.
    for at in range(0, len(todo), _POINTS_PER_PART):
        _refine_part(out, records, todo[at:at + _POINTS_PER_PART], pixels1, pixels2, window1,
                     window2, shape1, shape2, params, how, threads)
    return out


def _refine_part(out: np.ndarray, records: np.ndarray, todo: np.ndarray, pixels1: np.ndarray,
                 pixels2: np.ndarray, window1: tuple[int, int, int, int],
                 window2: tuple[int, int, int, int], shape1: tuple[int, int] | None,
                 shape2: tuple[int, int], params: Talmek.MatchingParams, how: Refinement,
                 threads: int) -> None:
    h, w = params.chipheight_, params.chipwidth_
    mx, my = margins(params)
    sh, sw = h + 2 * my, w + 2 * mx
    oh, ow = int(chip_origin(0, h)), int(chip_origin(0, w))  # chip origin relative to its centre
    rec = records[todo]
    cs = params.srch_cellsize_
    # The found position in image 2, in the image's pixels (rows down, columns right); the
    # windows enter only as whole pixels where chips are cut.
    r2 = (shape2[0] - 1) - (rec["y2"] - params.srch_yll_) / cs
    c2 = (rec["x2"] - params.srch_xll_) / cs
    # Reference chips of image 1 around each point.
    ref_r = rec["row1"].astype(np.int64) + oh
    ref_c = rec["col1"].astype(np.int64) + ow
    usable = _inside(ref_r, ref_c, h, w, window1, shape1)
    pos_r, pos_c = r2.copy(), c2.copy()
    if how.rounds:

        def fits(r: np.ndarray, c: np.ndarray) -> np.ndarray:
            # The search chip and its spline patch inside the image.
            inside = _inside(np.floor(r + oh - my).astype(np.int64), np.floor(c + ow - mx).astype(np.int64),
                             sh, sw, window2, shape2, SPLINE_PAD + 3)
            return inside

        idx = np.flatnonzero(usable & fits(pos_r, pos_c))
        refs = _cut(pixels1, window1, ref_r[idx], ref_c[idx], h, w)
        rms1 = rms2 = np.empty(0, np.float32)
        for _ in range(how.rounds):
            search = _resample(pixels2, window2, pos_r[idx] + oh - my, pos_c[idx] + ow - mx, sh, sw, threads)
            dx, dy, rms1, rms2, _ = match_chips(refs, search, params, threads)
            # The residual is below a pixel. A round whose match fails or moves further does not
            # confirm the estimate (the match is rejected); one that would leave the image
            # leaves the point unrefined.
            confirmed = np.isfinite(dx) & (np.abs(dx) <= 1.0) & (np.abs(dy) <= 1.0)
            out["check"][todo[idx[~confirmed]]] = UNCONFIRMED
            moved = confirmed.copy()
            moved[moved] = fits(pos_r[idx[moved]] + dy[moved], pos_c[idx[moved]] + dx[moved])
            keep = idx[moved]
            pos_r[keep] += dy[moved]
            pos_c[keep] += dx[moved]
            lost = idx[~moved]
            pos_r[lost], pos_c[lost] = r2[lost], c2[lost]
            refs, idx = refs[moved], keep
            rms1, rms2 = rms1[moved], rms2[moved]
        sel = todo[idx]
        # How alike the chips are at the refined position (a cloud or a shadow in one of them
        # lowers it; a change of brightness or contrast does not).
        final = _resample(pixels2, window2, pos_r[idx] + oh, pos_c[idx] + ow, h, w, threads)
        corr = _pearson(refs, final)
        out["refine_corr"][sel] = corr
        out["check"][sel] = PASSED
        if how.similarity is not None:
            out["check"][sel[~(corr >= how.similarity)]] = UNLIKE
        out["refine_dx"][sel] = pos_c[idx] - c2[idx]
        out["refine_dy"][sel] = pos_r[idx] - r2[idx]
        out["refine_rms_1"][sel] = rms1
        out["refine_rms_2"][sel] = rms2
        if how.similarity is not None:
            # Near the image's edges, where no spline patch fits, the chips are compared at the
            # whole pixel nearest the estimate.
            edge = np.flatnonzero(usable & (out["check"][todo] == 0))
            e_r, e_c = np.rint(pos_r[edge]).astype(np.int64) + oh, np.rint(pos_c[edge]).astype(np.int64) + ow
            inside = _inside(e_r, e_c, h, w, window2, shape2)
            edge, e_r, e_c = edge[inside], e_r[inside], e_c[inside]
            corr = _pearson(_cut(pixels1, window1, ref_r[edge], ref_c[edge], h, w),
                            _cut(pixels2, window2, e_r, e_c, h, w))
            out["refine_corr"][todo[edge]] = corr
            out["check"][todo[edge]] = np.where(corr >= how.similarity, PASSED, UNLIKE)
    if how.backmatch is not None:
        # The chip of image 2 around the rounded found position, searched for in image 1.
        b_r, b_c = np.rint(pos_r).astype(np.int64), np.rint(pos_c).astype(np.int64)
        back_ref_r, back_ref_c = b_r + oh, b_c + ow
        search_r, search_c = ref_r - my, ref_c - mx
        ok = (usable & _inside(back_ref_r, back_ref_c, h, w, window2, shape2)
              & _inside(search_r, search_c, sh, sw, window1, shape1))
        idx = np.flatnonzero(ok)
        refs = _cut(pixels2, window2, back_ref_r[idx], back_ref_c[idx], h, w)
        search = _cut(pixels1, window1, search_r[idx], search_c[idx], sh, sw)
        dx, dy, _, _, _ = match_chips(refs, search, params, threads)
        # The feature at b in image 2 lies at b - d in image 1, d the found displacement:
        # the point plus (b - found position).
        miss = np.hypot(dx - (b_c[idx] - pos_c[idx]), dy - (b_r[idx] - pos_r[idx]))
        passed = np.isfinite(miss) & (miss <= how.backmatch)
        tested = todo[idx]
        failed = out["check"][tested] >= UNLIKE
        out["check"][tested] = np.where(failed, out["check"][tested],
                                        np.where(passed, PASSED, BACKMATCH_MISSED))


def split(parts: npt.NDArray[np.void]) -> tuple[np.ndarray, np.ndarray | None]:
    """The engine's records and the extra fields (None when the block added none)."""
    if parts.dtype.names is None or "refine_dx" not in parts.dtype.names:
        return parts, None
    records = np.zeros(len(parts), RECORD_DTYPE)
    for name in RECORD_DTYPE.names or ():
        records[name] = parts[name]
    extra = np.zeros(len(parts), np.dtype(EXTRA_FIELDS))
    for name, _ in EXTRA_FIELDS:
        extra[name] = parts[name]
    return records, extra
