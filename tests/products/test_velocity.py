"""Velocity fields: dates, units, the outlier test, pre-filters, and the files they are published in."""
import json
import warnings
from datetime import UTC, datetime

import numpy as np
import pytest

import Talmek
import talmek_track
from talmek_track.guided.outliers import median_test
from talmek_track.matching.prefilter import filter_rows, filter_window
from talmek_track.options.dates import acquisition_dates, date_from_tags, parse_date, parse_dates
from talmek_track.options.values import Prefilter, parse_prefilter
from talmek_track.products.velocity import OUTLIER, vector_field
from talmek_track.sources.readers import open_source

scipy_ndimage = pytest.importorskip("scipy.ndimage")

UTC = UTC
WEST, NORTH, PIXEL = 500000.0, 6000000.0, 10.0


def smooth_texture(rows, cols, seed=3, sigma=1.5):
    rng = np.random.default_rng(seed)
    t = scipy_ndimage.gaussian_filter(rng.random((rows, cols)), sigma)
    return np.rint(255 * (t - t.min()) / np.ptp(t)).astype(np.uint8)


def params(peak=2, cellsize=1.0, rows=0):
    p = Talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = 32
    p.hoffset_ = p.voffset_ = 12
    p.row_interval_ = p.col_interval_ = 16
    p.start_row_ = p.start_col_ = 30
    p.peakmethod_ = peak
    p.ref_cellsize_ = p.srch_cellsize_ = cellsize
    # Both images on one georeferenced grid: the lower-left pixel's centre.
    p.ref_xll_ = p.srch_xll_ = WEST + 0.5 * cellsize
    p.ref_yll_ = p.srch_yll_ = NORTH - cellsize * (rows - 0.5)
    return p


BIG = smooth_texture(260, 260)
# Image 2 shows the ground 3 rows further south and 2 columns further west than image 1.
IMAGE1, IMAGE2 = BIG[10:210, 10:210], BIG[7:207, 12:212]
TRANSFORM = (PIXEL, 0.0, WEST, 0.0, -PIXEL, NORTH)


def georeferenced_field(peak=2, dates=(datetime(2024, 7, 1, tzinfo=UTC), datetime(2024, 8, 12, tzinfo=UTC)),
                        **kw):
    from rasterio.crs import CRS

    p = params(peak, PIXEL, IMAGE1.shape[0])
    grid = talmek_track.match_grid(IMAGE1, IMAGE2, p)
    return vector_field(grid.records, grid.status.shape, p, image_transform=TRANSFORM,
                        crs=CRS.from_epsg(32633), dates=dates, **kw)


# --- dates ------------------------------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("2024-07-01", datetime(2024, 7, 1, tzinfo=UTC)),
    ("2024-07-01T10:30:00Z", datetime(2024, 7, 1, 10, 30, tzinfo=UTC)),
    ("2024-07-01T12:30:00+02:00", datetime(2024, 7, 1, 10, 30, tzinfo=UTC)),
    ("2024:07:01 10:30:00", datetime(2024, 7, 1, 10, 30, tzinfo=UTC)),  # TIFF DateTime
    ("20240701", datetime(2024, 7, 1, tzinfo=UTC)),
    ("20240701T103000", datetime(2024, 7, 1, 10, 30, tzinfo=UTC)),
])
def test_parse_date(text, expected):
    assert parse_date(text) == expected


@pytest.mark.parametrize("text", ["2024-07-01", "2024-07-01,", "yesterday,today", "2024-13-01,2024-08-01",
                                  "2024-07-01,2024-08-01,2024-09-01"])
def test_parse_dates_refuses(text):
    with pytest.raises(ValueError):
        parse_dates(text)


@pytest.mark.parametrize("tags, expected", [
    ({"TIFFTAG_DATETIME": "2024:08:12 09:00:00"}, datetime(2024, 8, 12, 9, tzinfo=UTC)),
    ({"acquisition_date": "2024-08-12", "TIFFTAG_DATETIME": "2025:01:01 00:00:00"},
     datetime(2024, 8, 12, tzinfo=UTC)),  # the acquisition beats the file's own time
    ({"SENSOR_ACQUISITION_TIME": "2024-08-12T09:00:00Z"}, datetime(2024, 8, 12, 9, tzinfo=UTC)),
    ({"DATE": "not a date", "OTHER": "2024-08-12"}, None),
    ({}, None),
])
def test_date_from_tags(tags, expected):
    assert date_from_tags(tags) == expected


def write_geotiff(path, array, tags=None):
    import rasterio
    from affine import Affine

    with rasterio.open(path, "w", driver="GTiff", width=array.shape[1], height=array.shape[0], count=1,
                       dtype="uint8", crs="EPSG:32633", transform=Affine(*TRANSFORM)) as ds:
        ds.write(array, 1)
        if tags:
            ds.update_tags(**tags)


@pytest.mark.parametrize("without_rasterio", [False, True])
def test_dates_come_from_the_tags_read_when_opening(tmp_path, monkeypatch, without_rasterio):
    pytest.importorskip("rasterio")
    write_geotiff(tmp_path / "a.tif", IMAGE1, {"TIFFTAG_DATETIME": "2024:07:01 00:00:00"})
    write_geotiff(tmp_path / "b.tif", IMAGE2, {"ACQUISITION_DATE": "2024-08-12"})
    write_geotiff(tmp_path / "c.tif", IMAGE2)
    if without_rasterio:  # the TIFF tags are then read with tifffile
        monkeypatch.setitem(__import__("sys").modules, "rasterio", None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # tifffile's note that the georeference is not read
        a, b, c = (open_source(tmp_path / f"{n}.tif") for n in "abc")
    assert acquisition_dates(a, b) == (datetime(2024, 7, 1, tzinfo=UTC), datetime(2024, 8, 12, tzinfo=UTC))
    with pytest.warns(UserWarning, match="only .*a.tif carries"):
        assert acquisition_dates(a, c) is None
    with pytest.warns(UserWarning, match="carry the same date"):
        assert acquisition_dates(a, a) is None


# --- units ------------------------------------------------------------------------------------

def test_velocity_units_exact():
    pytest.importorskip("rasterio")
    field = georeferenced_field(peak=4)  # whole-pixel peaks: the displacement is exact
    ok = field.status == 1
    assert ok.sum() >= 50 and field.dt_days == 42.0 and field.map_unit == "m"
    assert (field.values["dx"][ok] == -2).all() and (field.values["dy"][ok] == 3).all()
    assert (field.values["dx_map"][ok] == -2 * PIXEL).all() and (field.values["dy_map"][ok] == -3 * PIXEL).all()
    assert (field.values["vx"][ok] == -2 * PIXEL * 365.25 / 42).all()
    assert (field.values["vy"][ok] == -3 * PIXEL * 365.25 / 42).all()
    assert np.allclose(field.values["v"][ok], np.hypot(20, 30) * 365.25 / 42, rtol=1e-15)
    units = {v.name: field.unit(v) for v in field.variables}
    assert units["vx"] == "m/yr" and units["dx_map"] == "m" and units["dx"] == "pixel"
    # Without dates there are no velocities at all.
    plain = georeferenced_field(dates=None)
    assert not {"vx", "vy", "v"} & set(plain.values) and plain.dt_days is None
    with pytest.raises(ValueError, match="same date"):
        georeferenced_field(dates=(datetime(2024, 1, 1, tzinfo=UTC),) * 2)


# --- outlier test -----------------------------------------------------------------------------

def test_median_test_finds_planted_outliers():
    rng = np.random.default_rng(7)
    rows, cols = np.mgrid[0:20, 0:25]
    dx = 0.05 * cols + 0.02 * rows + rng.normal(0, 0.03, rows.shape)  # smooth flow with noise
    dy = -0.04 * rows + rng.normal(0, 0.03, rows.shape)
    planted = [(0, 0), (5, 24), (10, 10), (19, 3), (12, 17)]
    for k, (r, c) in enumerate(planted):
        (dx if k % 2 else dy)[r, c] += 1.5 * (-1) ** k
    dx[3:5, 3:6] = np.nan  # a hole of missing vectors
    lonely = np.full((20, 25), np.nan)
    lonely[8, 8] = lonely[8, 9] = 5.0  # a pair with too few neighbours to judge
    found = median_test(dx, dy)
    assert sorted(zip(*np.nonzero(found))) == sorted(planted)
    assert not median_test(lonely, lonely).any()
    # A uniform field holds no outlier, however small its noise.
    assert not median_test(np.full((6, 6), 2.0), np.zeros((6, 6))).any()
    # Nor does a steep steady gradient (0.3 px per grid step, three times eps), at the border of
    # the grid or of the rows and columns that hold vectors (a grid overhanging its image).
    rotation = (0.3 * cols, -0.3 * rows)
    assert not median_test(*rotation).any()
    overhang = [np.pad(g, ((0, 2), (0, 3)), constant_values=np.nan) for g in rotation]
    assert not median_test(*overhang).any()


def test_outliers_flagged_not_lost():
    pytest.importorskip("rasterio")
    field = georeferenced_field()
    assert (field.status == 1).sum() > 50 and not (field.status == OUTLIER).any()
    records = field.records.copy()
    i = int(np.flatnonzero(records["active"] == 1)[40])
    records["x2"][i] += 5 * PIXEL  # a wrong match in the middle of the field
    p = params(2, PIXEL, IMAGE1.shape[0])
    filtered = vector_field(records, field.shape, p, image_transform=TRANSFORM, crs=field.crs)
    assert np.flatnonzero(filtered.status == OUTLIER).tolist() == [i]
    assert records["active"][i] == 1  # the record is untouched
    assert filtered.values["dx"][i] == pytest.approx(-2 + 5, abs=0.2)  # the value is kept
    assert np.isnan(filtered.grid("dx").ravel()[i]) and filtered.grid("status").ravel()[i] == OUTLIER
    kept = vector_field(records, field.shape, p, image_transform=TRANSFORM, crs=field.crs, filter="none")
    assert kept.status[i] == 1


def test_sigma_calibrated_or_from_stable_ground():
    pytest.importorskip("rasterio")
    from talmek_track.products.velocity import SIGMA_SCALE

    field = georeferenced_field(peak=2)
    ok = field.status == 1
    assert np.array_equal(field.values["sigma_x"][ok], SIGMA_SCALE[2] * field.records["rms_1"][ok].astype(float))
    assert np.isnan(field.values["sigma_y"][~ok]).all()
    # Stable ground: points of the top three grid rows did not move but for known small errors.
    records = field.records.copy()
    stable = np.zeros(len(records), bool)
    stable[: 3 * field.shape[1]] = True
    stable &= ok
    # An offset of (0.4, -0.3) px between the images, and errors the fit does not see.
    rng = np.random.default_rng(1)
    ex, ey = rng.normal(0.4, 0.2, stable.sum()), rng.normal(-0.3, 0.1, stable.sum())
    records["x2"][stable] = records["x1"][stable] + PIXEL * ex
    records["y2"][stable] = records["y1"][stable] - PIXEL * ey
    p = params(2, PIXEL, IMAGE1.shape[0])
    moved = vector_field(records, field.shape, p, image_transform=TRANSFORM, stable=stable, filter="none")
    # The median offset leaves dx_map, dy_map (and velocities); dx and dy stay as measured.
    assert moved.stable_shift.dx == pytest.approx(np.median(ex)) and moved.stable_shift.count == stable.sum()
    assert moved.attrs["stable_shift_dy"] == pytest.approx(np.median(ey))
    assert np.allclose(moved.values["dx"][stable], ex) and np.allclose(moved.values["dy"][stable], ey)
    assert np.allclose(moved.values["dx_map"][stable], PIXEL * (ex - np.median(ex)))
    assert np.allclose(moved.values["dy_map"][stable], -PIXEL * (ey - np.median(ey)))
    # Each vector's sigma: its fit error and roughness, plus the spread that those leave.
    for err, sigma in ((ex, moved.values["sigma_x"]), (ey, moved.values["sigma_y"])):
        assert (sigma[ok] >= SIGMA_SCALE[2] * field.records["rms_1"][ok].astype(float).min()).all()
        assert 0.55 <= np.mean(np.abs(err - np.median(err)) <= sigma[stable]) <= 0.9
    assert "stable-ground spread" in moved.attrs["uncertainty"]
    few = stable & (np.cumsum(stable) <= 5)
    with pytest.warns(UserWarning, match="fewer than 10"):
        fallback = vector_field(records, field.shape, p, image_transform=TRANSFORM, stable=few)
    assert fallback.attrs["uncertainty"].startswith("calibrated")
    assert fallback.attrs["stable_shift_method"] == "none" and fallback.stable_shift is None
    assert np.array_equal(fallback.values["dx_map"], moved.values["dx"] * PIXEL, equal_nan=True)


# --- pre-filters ------------------------------------------------------------------------------

ALL_FILTERS = ["none", "gauss:0.7", "gauss:2.5", "highpass:3", "wallis:15", "wallis:3"]


@pytest.mark.parametrize("spec", ALL_FILTERS)
def test_prefilter_blocks_equal_whole_image(spec):
    f = parse_prefilter(spec)
    image = smooth_texture(120, 90, seed=5, sigma=1.0)
    whole = f(image)
    assert whole.dtype == np.uint8 and whole.shape == image.shape
    reads = []

    def rows(r0, r1, c0, c1):
        reads.append((r0, r1))
        return image[r0:r1, c0:c1]

    blocks = [filter_window(f, rows, image.shape, a, min(a + 17, 120), 0, 90) for a in range(0, 120, 17)]
    assert np.array_equal(np.concatenate(blocks), whole)
    assert all(b - a <= 17 + 2 * f.halo for a, b in reads)
    # Windows of a real-valued conversion (before rounding) tile the whole image too.
    real = image * 0.7 + 20.25

    def window(r0, r1, c0, c1):
        return real[r0:r1, c0:c1]

    tiles = [[filter_window(f, window, real.shape, r, min(r + 40, 120), c, min(c + 25, 90))
              for c in range(0, 90, 25)] for r in range(0, 120, 40)]
    assert np.array_equal(np.block(tiles), f(real))
    # Strips of rows filtered side by side on threads give the same pixels again.
    tall = smooth_texture(300, 90, seed=6, sigma=1.0) * 0.7 + 20.25
    for threads in (2, 3):
        assert np.array_equal(filter_rows(f, tall, 5, 290, 3, 80, threads=threads), f(tall)[5:290, 3:80])


def test_wide_pixels_are_filtered_before_rounding():
    from talmek_track.matching.blocks import read_window
    from talmek_track.sources.convert import apply_range, scale_range
    from talmek_track.sources.readers import source_from_array

    # 16-bit texture of low contrast: its stretch onto 0..255 has fractional levels to keep.
    wide = (1000 + 1.7 * smooth_texture(90, 80, seed=9).astype(np.float64)).astype(np.uint16)
    source = source_from_array("wide", wide).with_range((1000.0, 1000 + 1.7 * 255))
    f = parse_prefilter("wallis:9")
    scaled = scale_range(wide, *source.value_range)
    assert np.array_equal(np.rint(scaled), apply_range(wide, *source.value_range))
    whole = f(scaled)
    for window in ((0, 30, 0, 80), (30, 61, 10, 50), (61, 90, 40, 80)):
        pixels, invalid = read_window(source, window, f)
        r0, r1, c0, c1 = window
        assert np.array_equal(pixels, whole[r0:r1, c0:c1]) and not invalid.any()
    assert not np.array_equal(whole, f(np.rint(scaled)))  # filtered before its rounding


def particles(shift, size=200, n=2000, seed=11):
    rng = np.random.default_rng(seed)
    pos = rng.random((n, 2)) * size
    rr, cc = np.mgrid[0:size, 0:size]

    def draw(points):
        image = np.zeros((size, size))
        for r, c in points:  # each spot drawn over the 7 x 7 pixels around it
            sl = (slice(max(int(r) - 3, 0), int(r) + 4), slice(max(int(c) - 3, 0), int(c) + 4))
            image[sl] += np.exp(-((rr[sl] - r) ** 2 + (cc[sl] - c) ** 2) / (2 * 0.5**2))
        return np.clip(np.rint(200 * image), 0, 255).astype(np.uint8)

    return draw(pos), draw(pos + shift)


def noise(shift, size=200, seed=12):
    a = np.random.default_rng(seed).random((size, size)) * 255
    b = np.fft.ifft2(scipy_ndimage.fourier_shift(np.fft.fft2(a), shift)).real
    return np.clip(np.rint(a), 0, 255).astype(np.uint8), np.clip(np.rint(b), 0, 255).astype(np.uint8)


def accuracy(a, b, spec, shift):
    f = parse_prefilter(spec)
    g = talmek_track.match_grid(f(a), f(b), params())
    inside = g.status != 205
    ok = g.status == 1
    err = np.hypot(g.dx[ok] - shift[1], g.dy[ok] - shift[0])
    return ok.sum() / inside.sum(), float(np.median(err)) if err.size else np.inf


@pytest.mark.parametrize("make", [noise, particles])
def test_prefilters_on_sharp_peaks(make):
    shift = np.array([1.37, -2.61])
    pair = make(shift)
    results = {spec: accuracy(*pair, spec, shift) for spec in ("none", "gauss:0.7", "highpass:3", "wallis:15")}
    share, err = results["gauss:0.7"]
    assert share >= 0.95 and err < 0.05  # the Gaussian widens the one-pixel peak: the cure
    for spec in ("none", "highpass:3", "wallis:15"):  # the others leave the peak sharp
        assert results[spec][1] > 2 * err and results[spec][0] <= share


def test_highpass_and_wallis_even_out_brightness():
    image = smooth_texture(150, 150, seed=8).astype(np.float64)
    ramp = np.linspace(0, 1, 150)[None, :]
    dull = 100 + 0.3 * (image - 128) + 60 * ramp  # low contrast on a brightness ramp
    high = parse_prefilter("highpass:3")(dull)[20:-20, 20:-20]
    assert abs(float(np.mean(high[:, :20])) - float(np.mean(high[:, -20:]))) < 2  # ramp removed
    wallis = parse_prefilter("wallis:15")
    outs = [wallis(source).astype(float)[20:-20, 20:-20] for source in (image, dull)]
    assert all(abs(out.mean() - 127.5) < 4 for out in outs)
    ratio = outs[0].std() / outs[1].std()
    assert 1 / 1.5 < ratio < 1.5  # from inputs whose contrast differs 3.3 times


def test_prefilter_widens_the_nodata_mask(tmp_path):
    pytest.importorskip("rasterio")
    import rasterio
    from affine import Affine

    a = IMAGE1.copy()
    a[90:100, 90:100] = 0
    with rasterio.open(tmp_path / "a.tif", "w", driver="GTiff", width=200, height=200, count=1, dtype="uint8",
                       crs="EPSG:32633", transform=Affine(*TRANSFORM), nodata=0) as ds:
        ds.write(a, 1)
    write_geotiff(tmp_path / "b.tif", IMAGE2)
    counts = {}
    for spec in ("none", "gauss:3"):  # a halo of 12 pixels
        result = talmek_track.track_files(tmp_path / "a.tif", tmp_path / "b.tif", chip=16, margin=16, step=8,
                                          prefilter=spec)
        nodata = result.records["active"] == talmek_track.NODATA
        counts[spec] = int(nodata.sum())
        # No chip (rows and columns c - 7 .. c + 8) that was matched reaches the blot widened by the halo.
        rows, cols = result.records["row1"][~nodata], result.records["col1"][~nodata]
        lo, hi = (90 - 8, 99 + 7) if spec == "none" else (90 - 12 - 8, 99 + 12 + 7)
        assert not ((rows >= lo) & (rows <= hi) & (cols >= lo) & (cols <= hi)).any()
    assert counts["gauss:3"] > counts["none"] > 0


@pytest.mark.parametrize("text, message", [
    ("blur:2", "unknown pre-filter"), ("gauss", "needs a number"), ("gauss:0", "sigma"),
    ("gauss:nan", "finite"), ("wallis:4", "odd window"), ("wallis:2.5", "odd window"), ("none:3", "no value"),
])
def test_prefilter_refuses(text, message):
    with pytest.raises(ValueError, match=message):
        parse_prefilter(text)


def test_prefilter_round_trip_names():
    for spec in ALL_FILTERS:
        assert str(parse_prefilter(spec)) == spec
    assert parse_prefilter(None) == Prefilter()


# --- files ------------------------------------------------------------------------------------

@pytest.fixture
def field():
    pytest.importorskip("rasterio")
    f = georeferenced_field()
    i = int(np.flatnonzero(f.status == 1)[30])
    f.status[i] = OUTLIER  # one flagged vector travels through every format
    return f


def test_cog_round_trip(field, tmp_path):
    import rasterio

    from talmek_track.output.geotiff import write_cog

    write_cog(tmp_path / "vectors.tif", field)
    with rasterio.open(tmp_path / "vectors.tif") as ds:
        assert ds.descriptions == ("dx", "dy", "dx_map", "dy_map", "vx", "vy", "v", "strength", "status",
                                   "sigma_x", "sigma_y", "vx_error", "vy_error", "v_error")
        assert ds.units[ds.descriptions.index("vx")] == "m/Julian_year" and ds.crs.to_epsg() == 32633
        assert np.isnan(ds.nodata) and ds.tags()["DT_DAYS"] == "42.0"
        assert tuple(ds.transform)[:6] == field.transform and ds.profile["tiled"]
        for band, name in enumerate(ds.descriptions, start=1):
            np.testing.assert_array_equal(ds.read(band), field.grid(name).astype(np.float32))
        assert "LAYOUT=COG" in " ".join(f"{k}={v}" for k, v in ds.tags(ns="IMAGE_STRUCTURE").items())


def test_netcdf_round_trip(field, tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("rioxarray")
    import rasterio

    from talmek_track.output.dataset import to_dataset
    from talmek_track.output.netcdf import write_netcdf

    write_netcdf(tmp_path / "vectors.nc", field)
    expected = to_dataset(field)
    with xr.open_dataset(tmp_path / "vectors.nc", decode_coords="all") as ds:
        assert ds.attrs["Conventions"].startswith("CF-") and ds.attrs["dt_days"] == 42.0
        assert ds.rio.crs.to_epsg() == 32633 and ds["vx"].attrs["units"] == "m/Julian_year"
        for name in expected.data_vars:
            np.testing.assert_array_equal(ds[name].values, expected[name].values.astype(ds[name].dtype))
        np.testing.assert_array_equal(ds["x"].values, expected["x"].values)
        assert ds["status"].dtype == np.int32 and OUTLIER in ds["status"].values
    with rasterio.open(f"netcdf:{tmp_path / 'vectors.nc'}:vx") as gdal:
        assert gdal.crs.to_epsg() == 32633
        assert np.allclose(tuple(gdal.transform)[:6], field.transform)
        np.testing.assert_array_equal(gdal.read(1), field.grid("vx").astype(np.float32))


def test_geojson_is_wgs84(field, tmp_path):
    from rasterio.warp import transform

    from talmek_track.output.geojson import write_geojson_wgs84

    write_geojson_wgs84(tmp_path / "vectors.geojson", field)
    doc = json.loads((tmp_path / "vectors.geojson").read_text())
    assert "crs" not in doc
    features = doc["features"]
    shown = (field.status == 1) | (field.status == OUTLIER)
    assert len(features) == shown.sum()
    assert [f["properties"]["status"] for f in features].count("outlier") == 1
    first = field.records[np.flatnonzero(shown)[0]]
    (lon1, lat1), (lon2, lat2) = features[0]["geometry"]["coordinates"]
    assert 14 < lon1 < 16 and 54 < lat1 < 55  # UTM 33N at 6000 km north
    back_x, back_y = transform("EPSG:4326", "EPSG:32633", [lon1, lon2], [lat1, lat2])
    assert np.allclose(back_x, [first["x1"], first["x2"]], atol=1e-3)
    assert np.allclose(back_y, [first["y1"], first["y2"]], atol=1e-3)
    props = features[0]["properties"]
    assert props["vx"] == pytest.approx(field.values["vx"][np.flatnonzero(shown)[0]])


def test_geopackage_native_crs(field, tmp_path):
    pyogrio = pytest.importorskip("pyogrio")
    from talmek_track.output.geopackage import write_gpkg

    write_gpkg(tmp_path / "vectors.gpkg", field)
    info = pyogrio.read_info(tmp_path / "vectors.gpkg")
    assert info["crs"] == "EPSG:32633" and info["geometry_type"] == "LineString"
    meta, _, geometry, columns = pyogrio.raw.read(tmp_path / "vectors.gpkg")
    shown = np.flatnonzero((field.status == 1) | (field.status == OUTLIER))
    assert len(geometry) == len(shown)
    names = list(meta["fields"])
    np.testing.assert_array_equal(columns[names.index("vx")], field.values["vx"][shown])
    assert list(columns[names.index("status")]).count("outlier") == 1
    rec = field.records[shown[0]]
    assert np.frombuffer(geometry[0][9:], "<f8").tolist() == [rec["x1"], rec["y1"], rec["x2"], rec["y2"]]


# --- the command and the xarray API ---------------------------------------------------------

def dated_pair(tmp_path):
    write_geotiff(tmp_path / "a.tif", IMAGE1, {"TIFFTAG_DATETIME": "2024:07:01 00:00:00"})
    write_geotiff(tmp_path / "b.tif", IMAGE2, {"ACQUISITION_DATE": "2024-08-12"})
    return tmp_path / "a.tif", tmp_path / "b.tif"


def read_rows(path):
    import csv

    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_command_publishes_velocities(tmp_path):
    pytest.importorskip("rasterio")
    pytest.importorskip("xarray")
    pytest.importorskip("pyogrio")
    from talmek_track.cli import command as cli

    a, b = dated_pair(tmp_path)
    stable = np.zeros(IMAGE1.shape, np.uint8)
    stable[:80] = 1
    write_geotiff(tmp_path / "stable.tif", stable)
    common = [str(a), str(b), "--peak", "integer", "--prefilter", "none", "--quiet", "--margin", "12"]
    assert cli.main([*common, "-o", str(tmp_path / "out"), "--format", "csv,geojson,tif,nc,gpkg",
                     "--stable", str(tmp_path / "stable.tif")]) == 0
    out = tmp_path / "out"
    assert sorted(p.name for p in out.iterdir()) == ["vectors.csv", "vectors.geojson", "vectors.gpkg",
                                                     "vectors.nc", "vectors.tif"]
    rows = read_rows(out / "vectors.csv")
    accepted = [r for r in rows if r["status"] == "accepted"]
    assert len(accepted) > 20 and {r["dt_days"] for r in rows} == {"42.0"}
    # The whole image moved by (-2, 3) px, stable ground too: that offset is removed from the
    # velocities, and dx, dy keep it.
    assert {float(r["vx"]) for r in accepted} == {0.0} and {float(r["vy"]) for r in accepted} == {0.0}
    assert {float(r["dx"]) for r in accepted} == {-2.0}
    sigma = {float(r["sigma_x"]) for r in accepted}
    assert sigma == {0.7 * 0.5}  # the whole-pixel fit's error alone: no spread left over stable ground
    # --dates wins over the tags; a plain pair without dates has no velocity columns.
    assert cli.main([*common, "-o", str(tmp_path / "ten"), "--dates", "2024-07-01,2024-07-11",
                     "--format", "csv"]) == 0
    assert {float(r["vx"]) for r in read_rows(tmp_path / "ten" / "vectors.csv") if r["status"] == "accepted"} \
        == {-2 * PIXEL * 365.25 / 10}
    iio = pytest.importorskip("imageio.v3")
    iio.imwrite(tmp_path / "a.png", IMAGE1)
    iio.imwrite(tmp_path / "b.png", IMAGE2)
    assert cli.main([str(tmp_path / "a.png"), str(tmp_path / "b.png"), "-o", str(tmp_path / "plain"), "--quiet",
                     "--format", "csv"]) == 0
    header = read_rows(tmp_path / "plain" / "vectors.csv")[0].keys()
    assert "dx_map" in header and not {"vx", "vy", "v", "dt_days"} & set(header)


@pytest.mark.parametrize("argv, message", [
    (["--dates", "2024-07-01"], "two dates"),
    (["--dates", "2024-07-01,2024-07-01"], "same date"),
    (["--prefilter", "wallis:4"], "odd window"),
    (["--filter", "mean"], "--filter"),
    (["--format", "csv,shp"], "--format"),
])
def test_command_refuses_velocity_options(tmp_path, capsys, argv, message):
    pytest.importorskip("rasterio")
    from talmek_track.cli import command as cli

    a, b = dated_pair(tmp_path)
    try:
        code = cli.main([str(a), str(b), "-o", str(tmp_path / "out"), "--quiet", *argv])
    except SystemExit as e:  # argparse's own refusals
        code = e.code
    assert code == 2
    assert message in capsys.readouterr().err and not (tmp_path / "out").exists()


def test_track_xarray_matches_the_command(tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("rioxarray")
    from affine import Affine

    from talmek_track import track_xarray
    from talmek_track.cli import command as cli

    def array(image, date):
        da = xr.DataArray(image, dims=("y", "x"), attrs={"TIFFTAG_DATETIME": date})
        return da.rio.write_crs("EPSG:32633").rio.write_transform(Affine(*TRANSFORM))

    ds = track_xarray(array(IMAGE1, "2024:07:01 00:00:00"), array(IMAGE2, "2024:08:12 00:00:00"), margin=12)
    assert ds.rio.crs.to_epsg() == 32633 and ds.attrs["dt_days"] == 42.0
    assert ds["vx"].attrs["units"] == "m/Julian_year" and ds.attrs["prefilter"] == "wallis:15"
    assert np.nanmedian(ds["vx"].values) == pytest.approx(-20 * 365.25 / 42, rel=0.02)
    a, b = dated_pair(tmp_path)
    assert cli.main([str(a), str(b), "-o", str(tmp_path / "out"), "--quiet", "--margin", "12",
                     "--format", "nc"]) == 0
    with xr.open_dataset(tmp_path / "out" / "vectors.nc", decode_coords="all") as written:
        assert set(written.data_vars) - {"mapping", "img_pair_info"} == set(ds.data_vars)  # the file's own forms
        for name in ds.data_vars:
            np.testing.assert_array_equal(written[name].values, ds[name].values.astype(written[name].dtype))
        np.testing.assert_array_equal(written["y"].values, ds["y"].values)
    # Plain arrays work too: map units are pixels, no CRS, no dates.
    plain = track_xarray(IMAGE1, IMAGE2, margin=12, filter="none", prefilter="none")
    assert plain["dx_map"].attrs["units"] == "1" and "vx" not in plain and "spatial_ref" not in plain.coords
