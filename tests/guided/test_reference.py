"""A reference velocity map as the prediction of the deformed search (reference=, --reference)."""

import json
import subprocess
import sys

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
from affine import Affine  # noqa: E402
from rasterio.warp import transform as warp_points  # noqa: E402

import talmek_track as tt  # noqa: E402
from synthetic import shifted_pair  # noqa: E402
from talmek_track.errors import InputError, OptionError, OptionWarning  # noqa: E402

CRS = "EPSG:32633"  # near 78 N, 15 E: polar stereographic north (EPSG:3413) turns its axes by ~60 degrees
PIXEL = 10.0
ORIGIN = (500_000.0, 8_700_000.0)
DATES = "2024-07-01,2024-07-31"
YEARS = 30 / 365.25
SIZE = 384
SHIFT = (20.3, -31.6)  # (rows down, columns right) in pixels: far beyond the default search
# The true velocity on image 1's map (east, north), map units per year.
TRUE_V = (SHIFT[1] * PIXEL / YEARS, -SHIFT[0] * PIXEL / YEARS)


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pair")
    one, two = shifted_pair((SIZE, SIZE), *SHIFT, seed=5)
    paths = []
    for name, data in (("image1", one), ("image2", two)):
        path = folder / f"{name}.tif"
        with rasterio.open(path, "w", driver="GTiff", width=SIZE, height=SIZE, count=1, dtype="uint8",
                           crs=CRS, transform=Affine(PIXEL, 0, ORIGIN[0], 0, -PIXEL, ORIGIN[1])) as ds:
            ds.write(data, 1)
        paths.append(path)
    return paths


def _reference_values(crs, transform, shape, bias_px=0.0):
    """The true velocity as a raster of ``crs``: each pixel's vector moved to that system's axes
    (the point and the displaced point transformed), plus a bias of ``bias_px`` along image 1's
    columns."""
    rows, cols = np.mgrid[0:shape[0], 0:shape[1]]
    xr, yr = transform @ (cols.ravel() + 0.5, rows.ravel() + 0.5)
    x, y = (np.asarray(v) for v in warp_points(crs, CRS, xr, yr))
    vx, vy = TRUE_V[0] + bias_px * PIXEL / YEARS, TRUE_V[1]
    bx, by = (np.asarray(v) for v in warp_points(CRS, crs, x + vx * YEARS, y + vy * YEARS))
    return ((bx - xr) / YEARS).reshape(shape), ((by - yr) / YEARS).reshape(shape)


def _write(path, crs, transform, bands, names=None, nodata=None):
    shape = bands[0].shape
    with rasterio.open(path, "w", driver="GTiff", width=shape[1], height=shape[0], count=len(bands),
                       dtype="float32", crs=crs, transform=transform, nodata=nodata) as ds:
        for k, band in enumerate(bands, start=1):
            ds.write(band.astype(np.float32), k)
            if names:
                ds.set_band_description(k, names[k - 1])
    return str(path)


def _polar_grid(pixel, keep=1.0):
    """A EPSG:3413 grid of ``pixel`` metres over the image (its first ``keep`` share of columns)."""
    right = ORIGIN[0] + keep * SIZE * PIXEL
    xs, ys = warp_points(CRS, "EPSG:3413", [ORIGIN[0], right, ORIGIN[0], right],
                         [ORIGIN[1], ORIGIN[1], ORIGIN[1] - SIZE * PIXEL, ORIGIN[1] - SIZE * PIXEL])
    left, top = min(xs) - 2 * pixel, max(ys) + 2 * pixel
    shape = (int((top - min(ys)) / pixel) + 4, int((max(xs) - left) / pixel) + 4)
    return Affine(pixel, 0, left, 0, -pixel, top), shape


def _polar_pair(folder, keep=1.0):
    """vx on a 30 m and vy on a 45 m polar stereographic grid."""
    paths = []
    for name, pixel, k in (("vx", 30.0, 0), ("vy", 45.0, 1)):
        transform, shape = _polar_grid(pixel, keep)
        values = _reference_values("EPSG:3413", transform, shape)[k]
        paths.append(_write(folder / f"{name}.tif", "EPSG:3413", transform, [values], nodata=-9999.0))
    return ",".join(paths)


def _south_up_product(folder):
    """One product (bands vx, vy, vx_error, vy_error) on a south-up 25 m grid of image 1's system."""
    transform = Affine(25.0, 0, ORIGIN[0] - 100, 0, 25.0, ORIGIN[1] - SIZE * PIXEL - 100)
    shape = (int(SIZE * PIXEL / 25) + 8, int(SIZE * PIXEL / 25) + 8)
    vx, vy = _reference_values(CRS, transform, shape)
    error = np.full(shape, 30.0)
    return _write(folder / "product.tif", CRS, transform, [vx, vy, error, error],
                  ["vx", "vy", "vx_error", "vy_error"])


def _rotated(folder):
    """Two rasters on a grid turned by 30 degrees, 40 m pixels."""
    size = int(1.6 * SIZE * PIXEL / 40)
    transform = (Affine.translation(ORIGIN[0] + SIZE * PIXEL / 2, ORIGIN[1] - SIZE * PIXEL / 2)
                 @ Affine.rotation(30) @ Affine.scale(40, -40) @ Affine.translation(-size / 2, -size / 2))
    vx, vy = _reference_values(CRS, transform, (size, size))
    return ",".join([_write(folder / "rvx.tif", CRS, transform, [vx]),
                     _write(folder / "rvy.tif", CRS, transform, [vy])])


def _netcdf(folder):
    """A CF NetCDF with variables vx, vy on y ascending (south-up storage), in EPSG:3413."""
    xr = pytest.importorskip("xarray")
    pytest.importorskip("rioxarray")
    transform, shape = _polar_grid(60.0)
    vx, vy = _reference_values("EPSG:3413", transform, shape)
    x = transform.c + 60.0 * (np.arange(shape[1]) + 0.5)
    y = transform.f - 60.0 * (np.arange(shape[0]) + 0.5)
    ds = xr.Dataset({"vx": (("y", "x"), vx[::-1].astype(np.float32)),
                     "vy": (("y", "x"), vy[::-1].astype(np.float32))},
                    coords={"x": x, "y": y[::-1]})
    ds["x"].attrs.update(standard_name="projection_x_coordinate", units="m", axis="X")
    ds["y"].attrs.update(standard_name="projection_y_coordinate", units="m", axis="Y")
    ds = ds.rio.write_crs("EPSG:3413")
    path = folder / "mosaic.nc"
    ds.to_netcdf(path)
    return str(path)


KW = dict(chip=32, step=16, prefilter="none", refine="none", dates=DATES, formats=["csv", "run"],
          plot=False)


def _found(result):
    """Which points away from the border (whose search chips, moved by the shift, stay inside
    image 2) have a vector, and the errors of those found."""
    dx, dy = result.vector_field.values["dx"], result.vector_field.values["dy"]
    row, col = result.records["row1"], result.records["col1"]
    inner = (col >= 80) & (col < SIZE - 40) & (row >= 40) & (row < SIZE - 70)
    ok = np.isfinite(dx) & inner
    return ok[inner], np.hypot(dx[ok] - SHIFT[1], dy[ok] - SHIFT[0])


@pytest.mark.parametrize("make", [_polar_pair, _south_up_product, _rotated, _netcdf],
                         ids=["polar-stereographic-two-grids", "south-up-product", "rotated", "netcdf"])
def test_reference_centres_every_search_on_the_true_motion(pair, tmp_path, make):
    reference = make(tmp_path)
    result = tt.track_files(*pair, tmp_path / "out", reference=reference, **KW)
    ok, error = _found(result)
    assert ok.mean() > 0.97 and np.median(error) < 0.05 and error.max() < 0.5
    attrs = json.loads((tmp_path / "out" / "run.json").read_text())["attrs"]
    assert attrs["reference_blind_points"] == 0 and attrs["reference_points"] == result.records.size
    # The same pair searched blind finds none of it (only wrong peaks), and says so.
    with pytest.warns(OptionWarning, match="ended at the search limit"):
        blind = tt.track_files(*pair, **KW)
    assert not (_found(blind)[1] < 1.0).any()


def test_points_the_reference_misses_are_searched_blind_and_counted(pair, tmp_path):
    reference = _polar_pair(tmp_path, keep=0.6)
    with pytest.warns(UserWarning, match=r"no value at \d+ of 529 grid points"):
        result = tt.track_files(*pair, tmp_path / "out", reference=reference, **KW)
    attrs = result.vector_field.attrs
    blind, covered = attrs["reference_blind_points"], attrs["reference_points"]
    assert blind + covered == 529 and 0.1 < blind / 529 < 0.5
    dx, dy = result.vector_field.values["dx"], result.vector_field.values["dy"]
    right = np.hypot(dx - SHIFT[1], dy - SHIFT[0]) < 0.5
    assert covered >= right.sum() > 0.75 * covered
    assert json.loads((tmp_path / "out" / "run.json").read_text())["attrs"]["reference_blind_points"] == blind


def test_the_error_sizes_each_search(pair, tmp_path):
    # A reference 20 px off: the first deformed pass's margin (16, as wide as the least transform
    # allows: accepting 14 px) misses; 3 x its error covers it.
    transform = Affine(20.0, 0, ORIGIN[0] - 100, 0, -20.0, ORIGIN[1] + 100)
    shape = (int(SIZE * PIXEL / 20) + 12, int(SIZE * PIXEL / 20) + 12)
    vx, vy = _reference_values(CRS, transform, shape, bias_px=20.0)
    reference = ",".join([_write(tmp_path / "bx.tif", CRS, transform, [vx]),
                          _write(tmp_path / "by.tif", CRS, transform, [vy])])
    narrow = tt.track_files(*pair, reference=reference, **KW)
    assert (_found(narrow)[1] < 1.0).sum() < 0.05 * len(_found(narrow)[0])
    error = 7.0 * PIXEL / YEARS  # 7 px: margins of ceil(3 x 7 + 3) = 24
    wide = tt.track_files(*pair, reference=reference, reference_error=error, **KW)
    ok, found = _found(wide)
    assert ok.mean() > 0.97 and np.median(found) < 0.05


def test_bad_references_are_refused_clearly(pair, tmp_path):
    three = _write(tmp_path / "three.tif", CRS, Affine(20.0, 0, ORIGIN[0], 0, -20.0, ORIGIN[1]),
                   [np.zeros((8, 8))] * 3)
    good = _polar_pair(tmp_path)
    cases = [
        (dict(reference=good, dates=None), OptionError, "reference needs the acquisition dates"),
        (dict(reference=f"{tmp_path / 'nothing.tif'},{three}"), InputError, "nothing.tif: no such file"),
        (dict(reference=f"{three},{three}"), InputError, "three.tif holds several layers and none named vx"),
        (dict(reference=three), InputError, "no bands or variables named vx and vy"),
        (dict(reference=str(pair[0].parent)), InputError, "it is a folder"),
        (dict(reference_error=10.0), OptionError, "give the map"),
    ]
    for changes, kind, words in cases:
        with pytest.raises(kind, match=words):
            tt.track_files(*pair, **{**KW, **changes})


def test_the_command_takes_the_reference(pair, tmp_path):
    reference = _south_up_product(tmp_path)
    run = [sys.executable, "-m", "talmek_track", str(pair[0]), str(pair[1]), "-o", str(tmp_path / "out"),
           "--chip", "32", "--prefilter", "none", "--no-plot", "--dates", DATES]
    done = subprocess.run(run + ["--reference", reference, "--format", "tif,run"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    # An earlier run's vectors.tif is itself a reference.
    again = subprocess.run(run[:6] + [str(tmp_path / "again")] + run[7:]
                           + ["--reference", str(tmp_path / "out" / "vectors.tif"), "--format", "run"],
                           capture_output=True, text=True)
    assert again.returncode == 0, again.stderr
    first, counts = (json.loads((tmp_path / name / "run.json").read_text())["counts"] for name in ("out", "again"))
    assert counts["accepted"] >= 0.95 * first["accepted"] > 0.6 * sum(first.values())
    missing = subprocess.run(run + ["--reference", str(tmp_path / "gone.nc")], capture_output=True, text=True)
    assert missing.returncode == 1 and "gone.nc: no such file" in missing.stderr
    undated = subprocess.run(run[:-2] + ["--reference", reference], capture_output=True, text=True)
    assert undated.returncode == 2 and "--reference needs the acquisition dates (--dates)" in undated.stderr


def test_the_reference_predicts_the_deformed_search_of_sheared_ice(tmp_path):
    # Image 2 is image 1 sheared by 0.25 px/px (a chip's edges move 8 px against each other) and
    # moved: centring each search on the true motion is not enough, matching image 2 deformed by
    # the reference's field recovers the truth.
    from scipy import ndimage

    from synthetic import terrain, to_uint8

    pad, shear, move = 100, 0.25, (12.0, -10.0)  # rows down, columns right
    texture = terrain((SIZE + 2 * pad, SIZE + 2 * pad), seed=11)
    rows, cols = np.mgrid[0:SIZE, 0:SIZE].astype(np.float64)
    back_rows = rows - move[0]
    back_cols = cols - move[1] - shear * (back_rows - SIZE / 2)
    m, sd = texture.mean(), texture.std()
    one = to_uint8(texture[pad:pad + SIZE, pad:pad + SIZE], m, sd)
    two = to_uint8(ndimage.map_coordinates(texture, [back_rows + pad, back_cols + pad], order=3), m, sd)
    transform = Affine(PIXEL, 0, ORIGIN[0], 0, -PIXEL, ORIGIN[1])
    paths = []
    for name, data in (("i1", one), ("i2", two)):
        paths.append(tmp_path / f"{name}.tif")
        with rasterio.open(paths[-1], "w", driver="GTiff", width=SIZE, height=SIZE, count=1, dtype="uint8",
                           crs=CRS, transform=transform) as ds:
            ds.write(data, 1)
    true_dx = shear * (rows - SIZE / 2) + move[1]
    reference = ",".join([_write(tmp_path / "vx.tif", CRS, transform, [true_dx * PIXEL / YEARS]),
                          _write(tmp_path / "vy.tif", CRS, transform, [np.full_like(rows, -move[0] * PIXEL / YEARS)])])
    result = tt.track_files(*paths, reference=reference, **KW)
    row, col = result.records["row1"], result.records["col1"]
    inner = (row >= 48) & (row < SIZE - 48) & (col >= 72) & (col < SIZE - 72)
    dx, dy = result.vector_field.values["dx"], result.vector_field.values["dy"]
    error = np.hypot(dx - (shear * (row - SIZE / 2) + move[1]), dy - move[0])[inner]
    assert (error < 0.5).mean() > 0.9 and np.nanmedian(error) < 0.1
    assert result.vector_field.attrs["guided_passes"] == "reference,1:32/16,1:32/8"
