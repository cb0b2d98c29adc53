#!/usr/bin/env python3
"""Draw the speed of a talmek-track result in map units per year, from its vectors.nc.

    speed_map.py OUTDIR/vectors.nc FIGURE.png

The speed v is shown as colour on the grid in map coordinates, the velocity (vx, vy) as arrows;
cells without a vector (rejected matches and outliers) stay blank.
"""

from __future__ import annotations

import io
import sys

import numpy as np


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import xarray as xr
    from PIL import Image

    from talmek_track import Status

    with xr.open_dataset(argv[0], decode_coords="all") as ds:
        if "v" not in ds:
            print(f"{argv[0]} holds no velocities: give talmek-track --dates", file=sys.stderr)
            return 1
        x, y = ds["x"].values, ds["y"].values
        v, vx, vy = ds["v"].values, ds["vx"].values, ds["vy"].values
        # The file spells units for UDUNITS: per Julian year (365.25 days) is m/yr on a figure.
        unit = ds["v"].attrs.get("units", "").replace("/Julian_year", "/yr")
        status = ds["status"].values
        crs = ds.rio.crs
        title = f"{ds.attrs.get('date1', '?')[:10]} to {ds.attrs.get('date2', '?')[:10]}"
    fig, ax = plt.subplots(figsize=(7.2, 5.6))
    km = 1000.0
    mesh = ax.pcolormesh(x / km, y / km, v, shading="nearest", cmap="magma", vmin=0,
                         vmax=float(np.nanpercentile(v, 99)))
    fig.colorbar(mesh, ax=ax, label=f"speed ({unit})")
    every = 2
    ax.quiver((x / km)[::every], (y / km)[::every], vx[::every, ::every], vy[::every, ::every],
              color="white", angles="xy", width=0.003)
    outliers = int((status == Status.outlier).sum())
    ax.set_title(f"Speed, {title}; {int(np.isfinite(v).sum())} vectors, {outliers} outliers blanked",
                 fontsize=10)
    ax.set_xlabel(f"easting (km, {crs.to_string() if crs else 'no CRS'})")
    ax.set_ylabel("northing (km)")
    ax.set_aspect("equal")
    fig.tight_layout()
    buffer = io.BytesIO()
    fig.savefig(buffer, dpi=90, format="png")
    plt.close(fig)
    buffer.seek(0)
    with Image.open(buffer) as image:  # a 256-colour palette keeps the file small
        image.convert("RGB").quantize(colors=256, method=Image.Quantize.FASTOCTREE).save(argv[1], optimize=True)
    print(f"wrote {argv[1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
