"""Strain rates of a velocity grid.

The velocity gradient is taken by central differences between the two neighbours of each grid
point along map x and along map y, over twice the grid spacing:

    d vx / d x = (vx[i, j+1] - vx[i, j-1]) / (2 hx),   d vx / d y = (vx[i-1, j] - vx[i+1, j]) / (2 hy)

(hx, hy the spacing in map units, row i-1 north of row i), one-sided differences on the grid's
border (numpy.gradient). A point without a vector of its own, or missing either neighbour of a
difference, gets NaN: nothing is filled here (fill the field first for that). From the gradient:

    exx = d vx / d x,   eyy = d vy / d y,   exy = (d vx / d y + d vy / d x) / 2

and the effective strain rate, the second invariant of the strain-rate tensor of incompressible
ice (ezz = -(exx + eyy)):

    e = sqrt(exx^2 + eyy^2 + exx eyy + exy^2)

With velocities in map units per year the rates are per year.
"""

from __future__ import annotations

import numpy as np

__all__ = ["STRAIN_NAMES", "strain_rates"]

STRAIN_NAMES = ("exx", "eyy", "exy", "effective_strain_rate")


def strain_rates(vx: np.ndarray, vy: np.ndarray, spacing: tuple[float, float]
                 ) -> dict[str, np.ndarray]:
    """exx, eyy, exy and the effective strain rate of the velocity grids ``vx``, ``vy`` (rows
    from north to south, NaN where no vector) with ``spacing`` = (hx, hy), the grid's step in
    map units along x (east) and y (north), both positive."""
    vx = np.asarray(vx, np.float64)
    vy = np.asarray(vy, np.float64)
    hx, hy = (float(h) for h in spacing)
    if vx.shape != vy.shape or vx.ndim != 2:
        raise ValueError(f"vx and vy must be grids of one shape, got {vx.shape} and {vy.shape}")
    if not (hx > 0 and hy > 0):
        raise ValueError(f"the grid spacing must be positive, got {spacing}")
    nan = np.full(vx.shape, np.nan)
    if min(vx.shape) < 2:
        return {name: nan.copy() for name in STRAIN_NAMES}
    # Rows run southwards: one row down is -hy along map y.
    dvx_dy, dvx_dx = np.gradient(vx, -hy, hx)
    dvy_dy, dvy_dx = np.gradient(vy, -hy, hx)
    exx, eyy = dvx_dx, dvy_dy
    exy = 0.5 * (dvx_dy + dvy_dx)
    effective = np.sqrt(exx**2 + eyy**2 + exx * eyy + exy**2)
    rates = {"exx": exx, "eyy": eyy, "exy": exy, "effective_strain_rate": effective}
    own = np.isfinite(vx) & np.isfinite(vy)
    return {name: np.where(own, values, np.nan) for name, values in rates.items()}
