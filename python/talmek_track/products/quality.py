"""The quality of a pair's field in a few numbers: how the grid's points fared, and how still the
stable ground stands once its shift is removed.

Stable ground does not move, so its velocities after the shift are errors: their median (a bias
left), their NMAD (1.4826 x the median absolute deviation from that median: the spread, robust to
blunders) and their RMSE (bias and spread together, blunders included). They are taken over the
accepted vectors that the stable-ground method chose (the mask's, or the slowest quarter), per
component, in map units per year. The shares count every grid point: accepted, outliers (the
filter's and the refinement's rejections), filled (``--fill``) and limit-hit (the peak on the
border of the search area, or farther than the largest displacement allowed).
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from talmek_track._facts import Status

__all__ = ["PREFIX", "quality_lines", "quality_report", "stable_statistics"]

#: The attributes of the report all start with this.
PREFIX = "quality_"

#: The median absolute deviation times this is the standard deviation of a normal distribution.
NMAD_SCALE = 1.4826

#: Statuses of points whose peak met a limit of the search.
LIMIT_HIT = (int(Status.border), int(Status.too_far))


def stable_statistics(values: np.ndarray) -> dict[str, float]:
    """Median, NMAD and RMSE of ``values`` (NaN where there are none)."""
    values = np.asarray(values, np.float64)
    if values.size == 0:
        return {"median": float("nan"), "nmad": float("nan"), "rmse": float("nan")}
    median = float(np.median(values))
    return {"median": median, "nmad": NMAD_SCALE * float(np.median(np.abs(values - median))),
            "rmse": float(np.sqrt(np.mean(values**2)))}


def quality_report(status: np.ndarray, velocities: tuple[np.ndarray, np.ndarray] | None,
                   stable: np.ndarray | None, filled: int = 0) -> dict[str, Any]:
    """The report as flat attributes (``PREFIX`` + name): ``points``, the shares in percent
    (``accepted_percent``, ``outlier_percent``, ``filled_percent``, ``limit_percent``) and, with
    velocities (vx, vy per point) and a stable-ground selection (bool per point), ``stable_count``
    and ``stable_vx_median``, ``stable_vx_nmad``, ``stable_vx_rmse`` and likewise for vy."""
    status = np.asarray(status)
    n = int(status.size)

    def percent(count: int) -> float:
        return 100.0 * count / n if n else 0.0

    report: dict[str, Any] = {
        "points": n,
        "accepted_percent": percent(int(np.count_nonzero(status == int(Status.accepted)))),
        "outlier_percent": percent(int(np.count_nonzero(status == int(Status.outlier)))),
        "filled_percent": percent(int(filled)),
        "limit_percent": percent(int(np.count_nonzero(np.isin(status, LIMIT_HIT)))),
    }
    if velocities is not None and stable is not None:
        vx, vy = (np.asarray(v, np.float64) for v in velocities)
        use = np.asarray(stable, bool) & (status == int(Status.accepted)) & np.isfinite(vx) & np.isfinite(vy)
        report["stable_count"] = int(use.sum())
        for name, values in (("vx", vx), ("vy", vy)):
            for stat, value in stable_statistics(values[use]).items():
                report[f"stable_{name}_{stat}"] = value
    return {PREFIX + k: v for k, v in report.items()}


def quality_lines(attrs: Mapping[str, Any], unit: str = "m/yr") -> list[str]:
    """The report in ``attrs`` as a short table for people: the shares, then the stable ground's
    statistics per component (when measured). Empty when ``attrs`` holds no report."""
    q = {k[len(PREFIX):]: v for k, v in attrs.items() if k.startswith(PREFIX)}
    if "points" not in q:
        return []
    lines = [f"quality: {q['accepted_percent']:.1f} % accepted, {q['outlier_percent']:.1f} % outliers, "
             f"{q['filled_percent']:.1f} % filled, {q['limit_percent']:.1f} % at a search limit "
             f"(of {q['points']} points)"]
    if q.get("stable_count"):
        head = f"stable ground, {q['stable_count']} vectors ({unit}):"
        lines.append(f"{head:<40}{'median':>9}{'NMAD':>9}{'RMSE':>9}")
        for comp in ("vx", "vy"):
            lines.append(f"{'  ' + comp:<40}" + "".join(
                f"{q[f'stable_{comp}_{s}']:9.2f}" for s in ("median", "nmad", "rmse")))
    return lines
