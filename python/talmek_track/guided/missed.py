"""What the search could not reach: points that ended at its limit, and a guided run's
predictions beyond the reach its ``max_speed`` planned for.

A point ends at the search limit when its best peak lies on the border of the correlation
surface (``border``) or farther than the displacement limit (``too_far``): the motion there is
at least as large as the search reaches, often larger. ``missed_reach`` counts them among the
matchable points (those whose chips were valid) and, when they are more than ``LIMIT_SHARE`` of
them, or when a guided run's prediction goes clearly beyond the reach its ``max_speed`` gives,
names the option and the value that would reach them (``Missed.warning``). The counts go into
the vector field's attributes (``Missed.attrs``) and so into run.json, the NetCDF and the
Dataset.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

import Talmek
from talmek_track._facts import SEARCH_CHIP_MAX, Status
from talmek_track.errors import OptionWarning
from talmek_track.matching.deform import Field
from talmek_track.matching.settings import Settings, status_of
from talmek_track.options.core import TrackOptions

__all__ = ["LIMIT_SHARE", "Missed", "missed_reach"]

#: The share of the matchable points at the search limit (or, in a guided run, predicted beyond
#: its planned reach) above which a run says what it missed.
LIMIT_SHARE = 0.02
#: The widest margin a blind search is advised to take; beyond it a guided search (``max_speed``)
#: reaches as far for less time and fewer wrong peaks (docs/guided.md).
BLIND_MARGIN_MAX = 24
#: Statuses of points whose chips could not be matched at all.
UNMATCHABLE = (Status.error, Status.nodata, Status.chip_outside, Status.bad_chip_size)


def _nice(value: float) -> int:
    """``value`` rounded up to two significant digits."""
    if value <= 0:
        return 0
    scale = 10 ** max(0, math.floor(math.log10(value)) - 1)
    return int(math.ceil(value / scale) * scale)


def blind_reach(params: Talmek.MatchingParams) -> float:
    """How far, in pixels, a search without guidance accepts a displacement: the displacement
    limit (``max_displacement``, by default the smaller margin less 2)."""
    margin = min(Settings.of(params).margin)
    limit = float(Settings.of(params).max_displacement)
    return float(margin - 2) if limit <= 0 else limit


@dataclass(frozen=True)
class Missed:
    """Points of one run that the search could not reach, and the option that would.

    ``matchable`` counts the points whose chips were valid, ``border`` and ``too_far`` those of
    them that ended at the search limit, ``beyond_reach`` (guided runs with ``max_speed``, else
    None) the points whose prediction lies beyond ``reach`` pixels; ``option`` and ``value`` the
    keyword and value that would reach them, when there is something to say."""

    matchable: int
    border: int
    too_far: int
    reach: float
    beyond_reach: int | None = None
    option: str | None = None
    value: str | None = None
    #: The ``max_speed`` the run was planned with, as given.
    planned: str | None = None

    @property
    def at_limit(self) -> int:
        return self.border + self.too_far

    def attrs(self) -> dict[str, object]:
        """The counts as attributes of the vector field."""
        out: dict[str, object] = {"matchable_points": self.matchable, "search_limit_border": self.border,
                                  "search_limit_too_far": self.too_far}
        if self.beyond_reach is not None:
            out["beyond_reach"] = self.beyond_reach
        if self.option is not None:
            out["search_limit_hint"] = f"{self.option}={self.value}"
        return out

    def warning(self) -> OptionWarning | None:
        """One line: what was missed and the option that would reach it; None when nothing
        calls for it."""
        if self.option is None:
            return None
        share = 100.0 * self.at_limit / max(self.matchable, 1)
        text = (f"{self.at_limit} of {self.matchable} matchable points ({share:.1f} %) ended at the search "
                f"limit ({self.border} border, {self.too_far} too_far)")
        if self.beyond_reach:
            text += (f" and {self.beyond_reach} predictions go beyond the {self.reach:.3g} px that "
                     f"{{0}}={self.planned} plans for")
        else:
            text += f": the motion there exceeds {self.reach:.3g} px"
        return OptionWarning(text + "; {0}={value} would reach them", options=(self.option,), value=self.value)


def _suggest_blind(params: Talmek.MatchingParams, options: TrackOptions, reach: float, tracked: float,
                   pixels_per_year: float | None, too_far: int, border: int) -> tuple[str, str]:
    margin = min(Settings.of(params).margin)
    given = options.max_displacement
    if given is not None and given > 0 and given < margin - 2 and too_far >= border:
        return "max_displacement", "auto"  # the limit given, not the window, stopped them
    # The points at the limit moved farther than the reach: search at least twice as far, and
    # half as far again as the fastest motion that was tracked.
    target = max(2.0 * reach, 1.5 * tracked, reach + 4.0)
    wanted = math.ceil(target) + 2
    widest = (SEARCH_CHIP_MAX - max(options.chip)) // 2
    if wanted <= min(BLIND_MARGIN_MAX, widest) or pixels_per_year is None:
        return "margin", str(min(wanted, widest))
    return "max_speed", str(_nice(target * pixels_per_year))


def missed_reach(records: np.ndarray, params: Talmek.MatchingParams, options: TrackOptions, *,
                 pixels_per_year: float | None = None, prediction: Field | None = None) -> Missed:
    """The points of a run's ``records`` (grid order) that ended at the search limit, matched
    with ``params`` (the last pass's chip and margin) and ``options``; ``pixels_per_year`` turns
    pixels over the pair's interval into map units per year (None without dates);
    ``prediction`` is a guided run's predicted field on the grid."""
    status = status_of(records)
    matchable = ~np.isin(status, [int(s) for s in UNMATCHABLE])
    border = int((status == Status.border).sum())
    too_far = int((status == Status.too_far).sum())
    n = int(matchable.sum())
    accepted = status == Status.accepted
    lengths = np.hypot(records["x2"] - records["x1"], records["y2"] - records["y1"]) / Settings.of(params).cellsize2
    # The fastest motion seen: accepted vectors, and too_far peaks, which keep their displacement.
    moved = np.concatenate([lengths[accepted], records["displacement"][status == Status.too_far]])
    moved = moved[np.isfinite(moved)]
    tracked = float(np.percentile(moved, 99.5)) if moved.size else 0.0
    guided = options.guided or options.reference is not None
    limit_share = (border + too_far) / n if n else 0.0
    if not guided:
        reach = blind_reach(params)
        if limit_share <= LIMIT_SHARE:
            return Missed(n, border, too_far, reach)
        option, value = _suggest_blind(params, options, reach, tracked, pixels_per_year, too_far, border)
        return Missed(n, border, too_far, reach, None, option, value)
    margin = min(Settings.of(params).margin)
    if options.max_speed is None or pixels_per_year is None or prediction is None:
        # Passes given, or a reference's errors, size the searches: no one option widens them.
        if limit_share <= LIMIT_SHARE or options.passes is not None or options.reference is not None:
            return Missed(n, border, too_far, float(margin - 2))
        return Missed(n, border, too_far, float(margin - 2), None, "guided_margin", str(2 * margin))
    reach = options.max_speed / pixels_per_year
    predicted = np.hypot(prediction.dx, prediction.dy).ravel()
    beyond = matchable & (predicted > reach)
    count = int(beyond.sum())
    if count / max(n, 1) <= LIMIT_SHARE and limit_share <= LIMIT_SHARE:
        return Missed(n, border, too_far, reach, count)
    if count / max(n, 1) <= LIMIT_SHARE:
        # The prediction stayed within the reach but the last pass could not follow it.
        return Missed(n, border, too_far, reach, count, "guided_margin", str(2 * margin))
    seen = max(reach, float(np.percentile(predicted[beyond], 99.5)), tracked)
    return Missed(n, border, too_far, reach, count, "max_speed", str(_nice(1.5 * seen * pixels_per_year)),
                  f"{options.max_speed:g}")
