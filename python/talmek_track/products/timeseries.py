"""Velocity time series from a redundant network of pairs: the mean velocity of each regular time
step, per grid point and component.

A pair of images ``t1 < t2`` measures the mean velocity over its interval, which is the
overlap-weighted mean of the steps it covers::

    d_p = sum_k  v_k * overlap(p, k) / (t2 - t1)

Per point and component the steps' velocities ``v`` solve the weighted least squares problem

    min  sum_p w_p (A v - d)_p^2  +  lam * sum_k (v_k+1 - v_k)^2

with ``w_p = 1 / error_p^2`` (the pair's ``vx_error`` or ``vy_error``) and a small first-difference
penalty ``lam = regularisation * mean(w)``: negligible where pairs pin a step, it decides only
between steps that no pair separates (a step shorter than the pairs, a gap). Robust reweighting
(Tukey's biweight on the residuals in units of their robust spread) then takes outliers out in a
few iterations. The errors are the square roots of the diagonal of the inverse normal matrix,
scaled up by the fit's reduced chi-square when that exceeds one.

All points of a chunk are solved at once (batched normal equations); a cube opened on Dask is
solved chunk by chunk over the cluster.
"""

from __future__ import annotations

import math
import os
import warnings
from datetime import datetime
from typing import Any

import numpy as np

from talmek_track.errors import OptionError, require

__all__ = ["invert_series"]


#: Tukey's biweight constant: 95 % efficiency for Gaussian residuals.
TUKEY = 4.685

_DAY = np.timedelta64(86_400_000, "ms")

#: The most time steps solved: each point's normal matrix holds steps² numbers and its solve takes
#: some steps³ operations (1000 steps: 8 MB and about a second per point).
MAX_STEPS = 1000
#: The most robust reweighting iterations (a few suffice; each is a whole solve again).
MAX_ROBUST = 100
#: Bytes of one (points, steps, steps) array of a slice of points solved together.
_SLICE_BYTES = 2**28


def step_matrix(date1: np.ndarray, date2: np.ndarray, edges: np.ndarray) -> np.ndarray:
    """(pairs, steps): the share of each pair's interval that lies in each step."""
    t1 = date1.astype("datetime64[ms]").astype(np.int64)[:, None]
    t2 = date2.astype("datetime64[ms]").astype(np.int64)[:, None]
    e = edges.astype("datetime64[ms]").astype(np.int64)
    lo, hi = e[None, :-1], e[None, 1:]
    overlap = np.clip(np.minimum(t2, hi) - np.maximum(t1, lo), 0, None).astype(np.float64)
    share: np.ndarray = overlap / (t2 - t1).astype(np.float64)
    return share


def solve_points(values: np.ndarray, errors: np.ndarray, a: np.ndarray, *,
                 regularisation: float = 0.01, robust: int = 3) -> tuple[np.ndarray, np.ndarray]:
    """Velocities and errors (points, steps) of the steps for observations (points, pairs)."""
    n, p = values.shape
    k = a.shape[1]
    if n == 0:
        return np.empty((0, k)), np.empty((0, k))
    d = np.asarray(values, np.float64)
    s = np.asarray(errors, np.float64)
    ok = np.isfinite(d)
    # An observation without an error gets the point's median error (or 1 when none has one).
    s = np.where(np.isfinite(s) & (s > 0) & ok, s, np.nan)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # points none of whose pairs has an error
        typical = np.nanmedian(np.where(ok, s, np.nan), axis=1, keepdims=True) if p else s
    typical = np.where(np.isfinite(typical), typical, 1.0)
    s = np.where(np.isfinite(s), s, typical)
    w0 = np.where(ok, 1.0 / s**2, 0.0)
    d = np.where(ok, d, 0.0)
    diff = np.diff(np.eye(k), axis=0)
    penalty = diff.T @ diff
    covered = (ok.astype(np.float64) @ (a > 0)) > 0  # (n, k): some observation reaches the step
    lam = regularisation * (w0.sum(axis=1) / np.maximum(ok.sum(axis=1), 1))
    ridge = 1e-9 * np.eye(k)
    robust_w = np.ones_like(w0)
    for _ in range(robust + 1):
        w = w0 * robust_w
        normal = np.einsum("pk,np,pl->nkl", a, w, a) + lam[:, None, None] * penalty
        normal += ridge * np.maximum(lam, 1e-30)[:, None, None]
        rhs = np.einsum("pk,np->nk", a, w * d)
        v = np.linalg.solve(normal, rhs[..., None])[..., 0]
        resid = (d - v @ a.T) / s
        scale = 1.4826 * _masked_median(np.abs(resid), ok)
        scale = np.maximum(scale, 1.0)  # residuals within the stated errors are kept whole
        u = resid / (TUKEY * scale[:, None])
        robust_w = np.where(np.abs(u) < 1, (1 - u**2) ** 2, 0.0)
    used = w > 0
    dof = np.maximum(used.sum(axis=1) - k, 1)
    chi2 = (w * (d - v @ a.T) ** 2).sum(axis=1) / dof
    cov = np.linalg.inv(normal)
    err = np.sqrt(np.clip(np.diagonal(cov, axis1=1, axis2=2), 0, None))
    err = err * np.sqrt(np.maximum(chi2, 1.0))[:, None]
    reached = covered & ((used.astype(np.float64) @ (a > 0)) > 0)
    v = np.where(reached, v, np.nan)
    err = np.where(reached, err, np.nan)
    return v, err


def _masked_median(x: np.ndarray, ok: np.ndarray) -> np.ndarray:
    with np.errstate(all="ignore"):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            m = np.nanmedian(np.where(ok, x, np.nan), axis=1)
    return np.where(np.isfinite(m), m, 0.0)


def _solve_block(values: np.ndarray, errors: np.ndarray, a: np.ndarray, regularisation: float,
                 robust: int) -> tuple[np.ndarray, np.ndarray]:
    # (..., pairs) -> (..., steps), solved in slices of points to bound the memory
    shape = values.shape[:-1]
    d = values.reshape(-1, values.shape[-1])
    s = errors.reshape(-1, errors.shape[-1])
    v = np.full((d.shape[0], a.shape[1]), np.nan)
    e = np.full_like(v, np.nan)
    some = np.isfinite(d).any(axis=1)
    rows = np.flatnonzero(some)
    k = a.shape[1]
    size = max(1, min(4096, _SLICE_BYTES // (8 * k * k)))  # the slice's normal matrices stay small
    for start in range(0, len(rows), size):
        r = rows[start:start + size]
        v[r], e[r] = solve_points(d[r], s[r], a, regularisation=regularisation, robust=robust)
    return v.reshape(*shape, -1).astype(np.float32), e.reshape(*shape, -1).astype(np.float32)


def plan_steps(date1: np.ndarray, date2: np.ndarray, step: float,
               start: datetime | str | None = None) -> tuple[np.datetime64, int]:
    """The first step's start and the number of steps of ``step`` days over pairs acquired at
    ``date1`` and ``date2`` (datetime64[ms], one each per pair); OptionError when no pair would
    measure a step or the steps would be too many to solve. A stack checks its inversion with it
    before the first match."""
    shortest = float((date2 - date1).min() / _DAY)
    if step < shortest:
        raise OptionError(f"a step of {step:g} days is shorter than every pair (the shortest is "
                          f"{shortest:g} days apart): no pair would measure a step")
    first = date1.min() if start is None else np.datetime64(_naive(start), "ms")
    if first > date1.min():
        raise OptionError(f"start {first} lies after the first acquisition {date1.min()}")
    span = float((date2.max() - first) / _DAY)
    count = max(1, math.ceil(span / step - 1e-9))
    if count > MAX_STEPS:
        raise OptionError(f"steps of {step:g} days from {first} to the last acquisition {date2.max()} "
                          f"would be {count}, more than the {MAX_STEPS} that can be solved: start "
                          "later or take longer steps")
    return first, count


def invert_series(cube: Any, step: float, *, start: datetime | str | None = None,
                  regularisation: float = 0.01, robust: int = 3) -> Any:
    """The mean velocity of each regular time step from a cube of pairs.

    Parameters
    ----------
    cube : str, os.PathLike or xarray.Dataset
        ``cube.zarr`` as ``match_stack(..., cube=True)`` writes it, or that cube opened (on Dask
        for big stacks: the steps of each chunk of points are solved on the cluster).
    step : float
        Days per step; at least the shortest pair's interval.
    start : datetime or str, optional
        Start of the first step (default: the earliest acquisition). From there to the last
        acquisition there may be at most ``MAX_STEPS`` steps.
    regularisation : float
        Weight of the first-difference penalty relative to a typical pair's weight.
    robust : int
        Robust reweighting iterations (0: plain weighted least squares), at most ``MAX_ROBUST``.

    Returns
    -------
    xarray.Dataset
        Dims (time, y, x): ``time`` at the centre of each step with ``time_bounds``; vx, vy, v in
        map units per year; ``vx_error`` and ``vy_error``; the cube's CRS.
    """
    require("xarray", "xarray")
    import xarray as xr

    if isinstance(step, bool) or not isinstance(step, (int, float, np.number)) or not step > 0 \
            or not math.isfinite(step):
        raise OptionError(f"step must be a positive number of days, got {step!r}")
    if not (isinstance(regularisation, (int, float)) and regularisation >= 0):
        raise OptionError(f"regularisation must be a number >= 0, got {regularisation!r}")
    if isinstance(robust, bool) or not isinstance(robust, int) or not 0 <= robust <= MAX_ROBUST:
        raise OptionError(f"robust must be a whole number from 0 to {MAX_ROBUST}, got {robust!r}")
    if isinstance(cube, (str, os.PathLike)):
        raise OptionError("invert_series here takes an opened cube; talmek_track.invert_series opens "
                          "a cube.zarr from its path")
    for name in ("acquisition_date_img1", "acquisition_date_img2", "vx", "vy"):
        if name not in cube.variables:
            raise OptionError(f"the cube has no {name}: not a cube of dated pairs")
    if cube.sizes.get("mid_date", 0) == 0:
        raise OptionError("the cube holds no pair")
    date1 = cube["acquisition_date_img1"].values.astype("datetime64[ms]")
    date2 = cube["acquisition_date_img2"].values.astype("datetime64[ms]")
    if np.isnat(date1).any() or np.isnat(date2).any():
        raise OptionError("every pair of the cube needs both acquisition dates")
    first, count = plan_steps(date1, date2, step, start)
    edges = first + (np.arange(count + 1) * step * 86_400_000.0).round().astype("timedelta64[ms]")
    # The last step ends with the last acquisition: no pair measures the time after it.
    edges[-1] = min(edges[-1], date2.max())
    a = step_matrix(date1, date2, edges)

    out: dict[str, Any] = {}
    for comp in ("vx", "vy"):
        err_name = f"{comp}_error"
        # Each vector's error where the cube holds it, else the pair's (one number per pair, as
        # the public cubes give it).
        errs = xr.full_like(cube[comp], np.nan)
        for name in (f"{err_name}_point", err_name):
            if name in cube:
                errs = errs.fillna(cube[name].broadcast_like(cube[comp]).transpose(*cube[comp].dims))
        values = cube[comp].astype(np.float64)
        errs = errs.astype(np.float64)
        if values.chunks is not None:
            values = values.chunk({"mid_date": -1})
            errs = errs.chunk({"mid_date": -1})
        v, e = xr.apply_ufunc(
            _solve_block, values, errs, kwargs={"a": a, "regularisation": float(regularisation),
                                                "robust": robust},
            input_core_dims=[["mid_date"], ["mid_date"]], output_core_dims=[["time"], ["time"]],
            dask="parallelized", output_dtypes=[np.float32, np.float32],
            dask_gufunc_kwargs={"output_sizes": {"time": count}})
        out[comp] = v.transpose("time", ...)
        out[err_name] = e.transpose("time", ...)
    units = cube["vx"].attrs.get("units", "")
    centres = edges[:-1] + (edges[1:] - edges[:-1]) / 2
    ds = xr.Dataset(
        {"vx": out["vx"], "vy": out["vy"], "vx_error": out["vx_error"], "vy_error": out["vy_error"]},
        coords={"time": ("time", centres.astype("datetime64[ns]"),
                         {"standard_name": "time", "long_name": "centre of the time step",
                          "bounds": "time_bounds"}),
                "y": cube["y"], "x": cube["x"]})
    ds["v"] = np.hypot(ds["vx"], ds["vy"])
    ds["time_bounds"] = (("time", "nv"), np.stack([edges[:-1], edges[1:]], axis=1).astype("datetime64[ns]"))
    described = {
        "vx": "mean velocity along map x (east) over the time step",
        "vy": "mean velocity along map y (north) over the time step",
        "v": "mean speed over the time step",
        "vx_error": "uncertainty (one standard deviation) of vx",
        "vy_error": "uncertainty (one standard deviation) of vy",
    }
    for name, text in described.items():
        ds[name].attrs = {"long_name": text, **({"units": units} if units else {})}
        standard = cube[name].attrs.get("standard_name") if name in cube else None
        if standard:  # the pairs' CF standard names hold for the steps' means too
            ds[name].attrs["standard_name"] = standard
    if "spatial_ref" in cube.coords:
        ds = ds.assign_coords(spatial_ref=cube["spatial_ref"])
        for name in described:
            ds[name].attrs["grid_mapping"] = "spatial_ref"
    ds.attrs = {"Conventions": "CF-1.8", "title": "velocity time series (Talmek)",
                "step_days": float(step), "regularisation": float(regularisation),
                "robust_iterations": robust, "pairs": int(cube.sizes["mid_date"])}
    return _with_provenance(ds, cube)


#: Per-pair variables of a cube that a series carries along its ``pair`` dimension: the dates and
#: the stable-ground shift removed from each pair.
PAIR_PROVENANCE = ("acquisition_date_img1", "acquisition_date_img2", "date_dt", "vx_stable_shift",
                   "vy_stable_shift", "stable_shift_flag", "stable_count_stationary", "stable_count_slow")
#: Text attributes of a cube that hold for the series made from it.
CUBE_PROVENANCE = ("talmek_settings", "filter", "stable_shift_method", "institution", "author")


def _with_provenance(ds: Any, cube: Any) -> Any:
    """The series with the pairs it was made from (their dates and stable-ground shifts along a
    ``pair`` dimension) and the cube's settings."""
    pairs = {}
    for name in PAIR_PROVENANCE:
        if name in cube.variables and cube[name].dims == ("mid_date",):
            var = cube[name].reset_coords(drop=True).rename(mid_date="pair").drop_vars("pair", errors="ignore")
            pairs[name] = (("pair",), var.values, dict(var.attrs))
    ds = ds.assign(pairs)
    ds.attrs.update({k: cube.attrs[k] for k in CUBE_PROVENANCE if isinstance(cube.attrs.get(k), str)})
    return ds


def _naive(d: datetime | str) -> datetime:
    if isinstance(d, str):
        from talmek_track.options.dates import parse_date

        d = parse_date(d)
    if d.tzinfo is not None:
        from datetime import UTC

        d = d.astimezone(UTC).replace(tzinfo=None)
    return d


