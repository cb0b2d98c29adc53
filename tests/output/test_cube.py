"""The velocity cube as the field reads it: joined with a cube laid out as the public (ITS_LIVE)
ones, and a cube of an earlier release brought to today's layout when a run appends to it."""

import json

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("zarr")
pytest.importorskip("rasterio")
from seasonal_stack import seasonal_stack, write_stack  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.output.cube import open_cube  # noqa: E402

FLAGS = ["--chip", "32", "--margin", "8", "--step", "16", "--quiet", "--cube"]


def public_cube(like, count=3):
    """A small cube laid out as the public cubes are documented: velocities stored as int16 with
    a fill value, ``vx_error`` and ``vy_error`` one number per pair, the dates, the stable-ground
    shift and the sensors along mid_date as data variables, the grid mapping as ``mapping`` and
    the ``projection`` and ``author`` attributes; on the grid of ``like``."""
    rng = np.random.default_rng(1)
    ny, nx = like.sizes["y"], like.sizes["x"]
    d1 = np.datetime64("2023-06-01T10:00:00", "ns") + np.arange(count) * np.timedelta64(16, "D")
    d2 = d1 + np.timedelta64(32, "D")
    grid = ("mid_date", "y", "x")
    speed = rng.normal(150.0, 20.0, (count, ny, nx)).round()
    short = {"dtype": "int16", "_FillValue": -32767}
    ds = xr.Dataset(
        {"vx": (grid, speed, {"units": "meter/year"}), "vy": (grid, -speed, {"units": "meter/year"}),
         "v": (grid, np.hypot(speed, speed).round(), {"units": "meter/year"}),
         "v_error": (grid, np.full((count, ny, nx), 12.0), {"units": "meter/year"}),
         "interp_mask": (grid, np.zeros((count, ny, nx), np.uint8)),
         "vx_error": ("mid_date", np.full(count, 8.0, np.float32), {"units": "meter/year"}),
         "vy_error": ("mid_date", np.full(count, 9.0, np.float32), {"units": "meter/year"}),
         "vx_stable_shift": ("mid_date", np.zeros(count, np.float32)),
         "vy_stable_shift": ("mid_date", np.zeros(count, np.float32)),
         "stable_shift_flag": ("mid_date", np.ones(count, np.uint8)),
         "stable_count_stationary": ("mid_date", np.full(count, 900, np.uint32)),
         "acquisition_date_img1": ("mid_date", d1), "acquisition_date_img2": ("mid_date", d2),
         "date_dt": ("mid_date", np.full(count, 32.0, np.float32), {"units": "days"}),
         "satellite_img1": ("mid_date", np.array(["2A"] * count)),
         "mapping": ((), np.int32(0), {"grid_mapping_name": "transverse_mercator", "spatial_epsg": 32633,
                                       "GeoTransform": like["mapping"].attrs["GeoTransform"]})},
        coords={"mid_date": d1 + (d2 - d1) / 2, "y": like["y"].values, "x": like["x"].values},
        attrs={"Conventions": "CF-1.8", "projection": "32633", "title": "ITS_LIVE datacube of image pair velocities",
               "author": "ITS_LIVE, a NASA MEaSUREs project (its-live.jpl.nasa.gov)"})
    for name in ("vx", "vy", "v"):
        ds[name].encoding = dict(short)
    return ds


@pytest.fixture(scope="module")
def stack_out(tmp_path_factory):
    """A stack of four images 18 days apart, every pair in a cube: pairs (0, 3) and (1, 2) share
    their middle date."""
    folder = tmp_path_factory.mktemp("stack")
    paths = [str(p) for p in write_stack(seasonal_stack(size=96, count=4), folder / "images")]
    assert cli.main(["stack", *paths, "--pairs", "all", "-o", str(folder / "out"), *FLAGS]) == 0
    return paths, folder / "out"


def test_our_cube_joins_a_public_cube(stack_out, tmp_path):
    _, out = stack_out
    ours = open_cube(out / "cube.zarr")
    # mid_date unique: the two pairs of one middle date a millisecond apart
    mids = ours["mid_date"].values
    assert len(set(mids)) == len(mids) == 6
    same = np.sort(mids[(ours["date_dt"].values == 54) | (ours["date_dt"].values == 18)])
    assert np.timedelta64(1, "ms") in np.diff(same)
    for name in ("acquisition_date_img1", "acquisition_date_img2", "date_dt"):
        assert name in ours.data_vars
    assert ours["vx_error"].dims == ("mid_date",) and ours["vx_error_point"].dims == ("mid_date", "y", "x")
    assert ours["vx"].dtype == np.float32 and ours["v_error"].dtype == np.float32
    assert ours.attrs["projection"] == "32633" and ours.attrs["author"] == "Talmek"
    assert ours["mapping"].attrs["spatial_epsg"] == 32633 and "+proj=utm" in ours["mapping"].attrs["proj4text"]

    theirs_path = tmp_path / "public.zarr"
    public_cube(ours).to_zarr(theirs_path, zarr_format=2, consolidated=True)
    theirs = xr.open_zarr(theirs_path)
    both = xr.concat([theirs, ours], dim="mid_date", data_vars="minimal", coords="minimal", compat="override",
                     join="outer").sortby("mid_date")
    assert both.sizes["mid_date"] == 9 and both.indexes["mid_date"].is_unique
    assert both["vx_error"].dims == ("mid_date",)  # not broadcast over the grid
    assert both["vx_error"].values[:3].tolist() == [8.0] * 3
    xr.align(both, ours, join="inner")  # an index of unique values aligns
    # the inversion takes both: each vector's error where given, the pair's elsewhere
    from talmek_track.products.timeseries import invert_series

    series = invert_series(both, 36.0).compute()
    assert np.isfinite(series["vx"].values).any()


def test_a_cube_of_an_earlier_release_is_brought_to_the_layout(stack_out, tmp_path):
    paths, out = stack_out
    # the layout before: dates as coordinates, vx_error per vector, float64, no per-pair shift
    ours = open_cube(out / "cube.zarr").isel(mid_date=slice(0, 3)).load()
    old = ours.drop_vars(["vx_error", "vy_error", "mapping", "vx_stable_shift", "vy_stable_shift",
                          "stable_shift_flag", "stable_count_stationary", "stable_count_slow"])
    old = old.rename(vx_error_point="vx_error", vy_error_point="vy_error")
    old = old.set_coords(["acquisition_date_img1", "acquisition_date_img2", "date_dt"])
    old = old.assign({n: old[n].astype(np.float64) for n in ("vx", "vy", "v")})
    for name in old.variables:
        old[name].encoding = {}
    for name in ("mid_date", "acquisition_date_img1", "acquisition_date_img2"):
        old[name].encoding = {"units": "milliseconds since 1970-01-01", "dtype": "int64"}
    del old.attrs["author"]
    target = tmp_path / "out"
    old.chunk({"mid_date": 1}).to_zarr(target / "cube.zarr", zarr_format=2, consolidated=True,
                                       write_empty_chunks=True)
    assert cli.main(["stack", *paths, "--pairs", "all", "-o", str(target), *FLAGS]) == 0
    cube = open_cube(target / "cube.zarr")
    assert cube.sizes["mid_date"] == 6 and cube.indexes["mid_date"].is_unique
    assert "acquisition_date_img1" in cube.data_vars and cube["vx_error"].dims == ("mid_date",)
    assert cube["vx_error_point"].dims == ("mid_date", "y", "x") and cube.attrs["author"] == "Talmek"
    assert cube["vx"].dtype == np.float32 and "mapping" in cube
    # the pairs' errors as a cube written in today's layout has them
    expected = open_cube(out / "cube.zarr").sortby("mid_date")
    np.testing.assert_allclose(cube.sortby("mid_date")["vx_error"].values, expected["vx_error"].values, rtol=1e-6)
    assert json.loads(cube.attrs["talmek_settings"])["chip"] == [32, 32]
