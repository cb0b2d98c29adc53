"""The talmek-track command on small generated image pairs with known shifts."""
import csv
import json
import subprocess
import sys

import numpy as np
import pytest

tt = pytest.importorskip("talmek_track")
iio = pytest.importorskip("imageio.v3")
pytest.importorskip("matplotlib")
pytest.importorskip("tqdm")
from support import same_bits, textured  # noqa: E402
from talmek_track import (  # noqa: E402
    NODATA,
    REF_CHIP_MAX,
    REF_CHIP_MIN,
    SEARCH_CHIP_MAX,
    SEARCH_CHIP_MIN,
)
from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.options.values import parse_prefilter  # noqa: E402
from talmek_track.output import writers  # noqa: E402
from talmek_track.run.track import DEFAULT_PREFILTER  # noqa: E402

BIG = textured(150, 170)
# Features of IMAGE1 appear 3 rows lower and 2 columns further left in IMAGE2.
IMAGE1, IMAGE2 = BIG[10:130, 10:160], BIG[7:127, 12:162]
FAST = ["--chip", "24", "--margin", "12", "--step", "20", "--quiet"]
LOUD = FAST[:-1]  # warnings and progress shown


def run(*argv):
    try:
        return cli.main([str(a) for a in argv])
    except SystemExit as e:
        return e.code


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


@pytest.fixture
def pngs(tmp_path):
    iio.imwrite(tmp_path / "a.png", IMAGE1)
    iio.imwrite(tmp_path / "b.png", np.stack([IMAGE2] * 3, axis=-1))  # colour, same grey
    return tmp_path / "a.png", tmp_path / "b.png"


def test_png_pair(pngs, tmp_path, capsys):
    assert run(*pngs, "-o", tmp_path / "out", *LOUD) == 0
    err = capsys.readouterr().err
    assert "b.png: colour image converted to grey" in err
    out = tmp_path / "out"
    assert sorted(p.name for p in out.iterdir()) == ["run.json", "vectors.csv", "vectors.geojson", "vectors.png"]
    rows = read_csv(out / "vectors.csv")
    accepted = [r for r in rows if r["status"] == "accepted"]
    assert len(accepted) >= 20 and {r["status"] for r in rows} <= {"accepted", "chip_outside"}
    for r in accepted:
        assert abs(float(r["dx"]) + 2) < 0.3 and abs(float(r["dy"]) - 3) < 0.3
        assert int(r["active"]) == 1
    assert rows[0]["row1"] == rows[0]["col1"] == "23"  # the first point whose chips fit
    features = json.loads((out / "vectors.geojson").read_text())["features"]
    assert len(features) == len(accepted)
    first, props = features[0]["geometry"]["coordinates"], features[0]["properties"]
    assert first == [[float(accepted[0][k]) for k in ("x1", "y1")], [float(accepted[0][k]) for k in ("x2", "y2")]]
    assert props["strength"] == float(accepted[0]["strength"]) and props["status"] == "accepted"
    assert iio.imread(out / "vectors.png").ndim == 3


@pytest.mark.filterwarnings("ignore:.*colour image converted")
def test_track_files_from_python_with_a_registered_writer(pngs, tmp_path, monkeypatch):
    def write_count(folder, result):
        path = folder / "count.txt"
        path.write_text(str(len(result.records)))
        return [path]

    monkeypatch.setitem(writers.WRITERS, "count", write_count)
    result = tt.track_files(*pngs, tmp_path / "out", chip=24, margin=12, step=20, formats=["csv", "count"])
    assert result.paths == [tmp_path / "out" / "vectors.csv", tmp_path / "out" / "count.txt"]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["count.txt", "vectors.csv"]
    assert (tmp_path / "out" / "count.txt").read_text() == str(len(result.records))
    # The run is match_grid over the pixels read and pre-filtered, with the settings it reports.
    f = parse_prefilter(DEFAULT_PREFILTER)
    assert same_bits(result.records, tt.match_grid(f(IMAGE1), f(IMAGE2), result.params).records)
    assert tt.track_files(*pngs, chip=24, margin=12, step=20).paths == []
    with pytest.raises(tt.OptionError, match="unknown output format 'nope'"):
        tt.track_files(*pngs, formats=["nope"])


def accepted_shift(out):
    rows = [r for r in read_csv(out / "vectors.csv") if r["status"] == "accepted"]
    assert len(rows) >= 10
    return np.median([float(r["dx"]) for r in rows]), np.median([float(r["dy"]) for r in rows])


@pytest.mark.parametrize("suffix, scale, warning", [
    (".tif", 40, "uint16 values"),  # 16-bit grey, stretched to 8 bits
    (".jpg", 1, None),
])
def test_other_formats(tmp_path, capsys, suffix, scale, warning):
    for name, image in (("a", IMAGE1), ("b", IMAGE2)):
        data = image.astype(np.uint16) * scale if scale > 1 else image
        iio.imwrite(tmp_path / f"{name}{suffix}", data, **({"quality": 95} if suffix == ".jpg" else {}))
    assert run(tmp_path / f"a{suffix}", tmp_path / f"b{suffix}", "-o", tmp_path / "out", *LOUD) == 0
    assert warning is None or warning in capsys.readouterr().err
    dx, dy = accepted_shift(tmp_path / "out")
    assert abs(dx + 2) < 0.2 and abs(dy - 3) < 0.2


def test_geotiff_without_rasterio(tmp_path, monkeypatch, capsys):
    pytest.importorskip("rasterio")
    a = IMAGE1.copy()
    a[60:75, 40:70] = 0
    write_geotiff(tmp_path / "a.tif", a, 500000, 6000000, nodata=0)
    write_geotiff(tmp_path / "b.tif", IMAGE2, 500000, 6000000)
    monkeypatch.setitem(sys.modules, "rasterio", None)  # import rasterio now fails
    assert run(tmp_path / "a.tif", tmp_path / "b.tif", "-o", tmp_path / "out", *LOUD) == 0
    assert "read without its georeference" in capsys.readouterr().err
    out = tmp_path / "out"
    assert not (out / "vectors.tif").exists() and not (out / "vectors.gpkg").exists()
    assert "nodata" in {r["status"] for r in read_csv(out / "vectors.csv")}  # from the GDAL tag
    dx, dy = accepted_shift(out)
    assert abs(dx + 2) < 0.2 and abs(dy - 3) < 0.2


def write_geotiff(path, array, west, north, crs="EPSG:32633", nodata=None, pixel=10):
    import rasterio
    from rasterio.transform import from_origin

    with rasterio.open(path, "w", driver="GTiff", width=array.shape[1], height=array.shape[0], count=1,
                       dtype="uint8", crs=crs, transform=from_origin(west, north, pixel, pixel),
                       nodata=nodata) as ds:
        ds.write(array, 1)


def test_geotiff_pair(tmp_path):
    rasterio = pytest.importorskip("rasterio")
    # Image 2 covers a window 4 rows higher and 6 columns further east, georeferenced to match;
    # the ground itself moves 3 rows south and 2 columns west. A nodata blot masks some points.
    a = IMAGE1.copy()
    a[60:75, 40:70] = 0
    write_geotiff(tmp_path / "a.tif", a, 500000, 6000000, nodata=0)
    write_geotiff(tmp_path / "b.tif", BIG[3:123, 18:168], 500060, 6000040)
    assert run(tmp_path / "a.tif", tmp_path / "b.tif", "-o", tmp_path / "out", *FAST) == 0
    out = tmp_path / "out"
    rows = read_csv(out / "vectors.csv")
    assert {r["status"] for r in rows} == {"accepted", "chip_outside", "nodata"}
    assert all(r["active"] == str(NODATA) and r["strength"] == "0.0" for r in rows if r["status"] == "nodata")
    assert {(int(r["row2"]) - int(r["row1"]), int(r["col2"]) - int(r["col1"])) for r in rows} == {(4, -6)}

    with rasterio.open(out / "vectors.tif") as ds:
        bands = dict(zip(ds.descriptions, ds.read()))
        transform, crs = ds.transform, ds.crs
    dx, dy, status = bands["dx"], bands["dy"], bands["status"]
    assert crs.to_epsg() == 32633 and (status == np.rint(status)).all()
    ok = status == 1
    assert np.allclose(dx[ok], -2, atol=0.3) and np.allclose(dy[ok], 3, atol=0.3) and np.isnan(dx[~ok]).all()
    assert (status == NODATA).any()
    # Grid cell centres sit on the grid points' pixel centres.
    first = rows[0]
    centre = (transform.c + 0.5 * transform.a, transform.f + 0.5 * transform.e)
    assert centre == (500000 + 10 * (int(first["col1"]) + 0.5), 6000000 - 10 * (int(first["row1"]) + 0.5))
    doc = json.loads((out / "vectors.geojson").read_text())
    assert "crs" not in doc  # RFC 7946: WGS 84 longitude, latitude
    assert len(doc["features"]) == int(ok.sum())
    lon, lat = doc["features"][0]["geometry"]["coordinates"][0]
    assert 14 < lon < 16 and 54 < lat < 55


def garbage(tmp_path):
    (tmp_path / "bad.png").write_bytes(b"not an image")
    return tmp_path / "bad.png"


def other_crs(tmp_path):
    pytest.importorskip("rasterio")
    write_geotiff(tmp_path / "g1.tif", IMAGE1, 0, 0)
    write_geotiff(tmp_path / "g2.tif", IMAGE2, 0, 0, crs="EPSG:4326", pixel=0.0001)
    return tmp_path / "g1.tif", tmp_path / "g2.tif"


def placed(tmp_path, west2, north2=6000000, pixel=10, west1=500000):
    """Two GeoTIFFs: image 1 at (west1, 6000000), image 2 at (west2, north2)."""
    pytest.importorskip("rasterio")
    write_geotiff(tmp_path / "g1.tif", IMAGE1, west1, 6000000, pixel=pixel)
    write_geotiff(tmp_path / "g2.tif", IMAGE2, west2, north2, pixel=pixel)
    return tmp_path / "g1.tif", tmp_path / "g2.tif"


def folder(tmp_path):
    (tmp_path / "dir.png").mkdir()
    return tmp_path / "dir.png"


def empty(tmp_path):
    (tmp_path / "empty.png").write_bytes(b"")
    return tmp_path / "empty.png"


def tiff_stack(tmp_path):
    tifffile = pytest.importorskip("tifffile")
    tifffile.imwrite(tmp_path / "stack.tif", np.stack([IMAGE1, IMAGE1]), photometric="minisblack")
    return tmp_path / "stack.tif"


def half_geo(tmp_path, pngs):
    pytest.importorskip("rasterio")
    write_geotiff(tmp_path / "g1.tif", IMAGE1, 0, 0)
    return tmp_path / "g1.tif", pngs[0]


@pytest.mark.parametrize("argv_of, code, message", [
    (lambda t, p: [t / "missing.png", p[1], "-o", t / "out"], 1, "no such file"),
    (lambda t, p: [garbage(t), p[1], "-o", t / "out"], 1, "bad.png: not an image"),
    (lambda t, p: [folder(t), p[1], "-o", t / "out"], 1, "is a folder"),
    (lambda t, p: [empty(t), p[1], "-o", t / "out"], 1, "is empty"),
    (lambda t, p: [*placed(t, 500000 + 5e6, pixel=0.001), "-o", t / "out"], 1, "do not overlap"),
    (lambda t, p: [*placed(t, 1e308, pixel=0.001), "-o", t / "out"], 1, "do not overlap"),
    (lambda t, p: [*placed(t, 1.7e308, pixel=1e306, west1=1.7e308), "-o", t / "out"], 1,
     "beyond the range of map coordinates"),
    (lambda t, p: [*placed(t, 500000 + 2000), "-o", t / "out"], 1, "do not overlap"),
    (lambda t, p: [*placed(t, 500000, north2=6000000 + 1300), "-o", t / "out"], 1, "do not overlap"),
    (lambda t, p: [*p, "-o", t / "out", "--band", "2"], 1, "a.png has 1 band, no band 2"),
    (lambda t, p: [tiff_stack(t), p[1], "-o", t / "out"], 1, "from 1, with --page (or"),
    (lambda t, p: [*p, "-o", t / "out", "--range", "1,2,3"], 2, "--range"),
    (lambda t, p: [*other_crs(t), "-o", t / "out"], 1, "do not overlap: "),
    (lambda t, p: [*half_geo(t, p), "-o", t / "out"], 1, "is georeferenced but"),
    (lambda t, p: [*p, "-o", t / "out", "--chip", "abc"], 2, "--chip"),
    (lambda t, p: [*p, "-o", t / "out", "--chip", "200"], 2, f"{REF_CHIP_MIN}..{REF_CHIP_MAX}"),
    (lambda t, p: [*p, "-o", t / "out", "--chip", "16", "--margin", "4"], 2, f"{SEARCH_CHIP_MIN}..{SEARCH_CHIP_MAX}"),
    (lambda t, p: [*p, "-o", t / "out", "--threads", "0"], 2, "--threads"),
    (lambda t, p: [*p, "-o", t / "out", "--max-pixels", "1e999"], 2,
     "argument --max-pixels: expected a whole number or 'none', got '1e999'"),
    (lambda t, p: [*p, "-o", t / "out", "--step", "0,3"], 2, "--step"),
    (lambda t, p: [*p, "-o", p[0]], 2, "not a folder"),
    (lambda t, p: [*p, "-o", t / "no" / "out"], 2, "does not exist"),
    (lambda t, p: [*p], 2, "required"),
    (lambda t, p: [*p, "-o", t / "out", "--bogus"], 2, "unrecognized"),
])
def test_errors_write_nothing(pngs, tmp_path, capsys, argv_of, code, message):
    argv = argv_of(tmp_path, pngs)
    before = sorted(tmp_path.iterdir())
    assert run(*argv, "--quiet") == code
    err = capsys.readouterr().err
    assert message in err and len(err.strip().splitlines()) == 1
    assert sorted(tmp_path.iterdir()) == before


@pytest.mark.parametrize("side_by_side", [False, True])
def test_failure_while_writing_leaves_nothing(pngs, tmp_path, monkeypatch, capsys, side_by_side):
    def broken(folder, result):
        (folder / "vectors.png").write_bytes(b"half")
        raise OSError(28, "No space left on device")

    # Alone after the others, or on a thread beside them: the run fails whole either way.
    broken.side_by_side = side_by_side
    monkeypatch.setitem(writers.WRITERS, "plot", broken)
    before = sorted(tmp_path.iterdir())
    assert run(*pngs, "-o", tmp_path / "out", *FAST) == 3
    err = capsys.readouterr().err
    assert "vectors.png" in err and "No space left" in err
    assert sorted(tmp_path.iterdir()) == before


def test_help():
    done = subprocess.run([sys.executable, "-m", "talmek_track", "--help"], capture_output=True, text=True)
    assert done.returncode == 0
    for option in ("--chip", "--margin", "--step", "--start", "--offset", "--peak", "--min-strength",
                   "--max-displacement", "--nodata", "--threads", "--quiet", "--output", "--dates",
                   "--prefilter", "--filter", "--stable", "--format"):
        assert option in done.stdout
    assert done.stdout.count("(default:") >= 10


@pytest.mark.parametrize("quiet", [False, True])
def test_stack_of_wide_images_warns_once_and_logs_tenths(tmp_path, capsys, quiet):
    images = []
    for i in range(10):
        images.append(tmp_path / f"s{i}.tif")
        iio.imwrite(images[-1], (IMAGE1 if i % 2 == 0 else IMAGE2).astype(np.uint16) * 40)
    assert run("stack", *images, "-o", tmp_path / "out", *(FAST if quiet else LOUD)) == 0
    err = capsys.readouterr().err
    if quiet:  # errors only
        assert err == ""
        return
    lines = err.splitlines()
    warned = [line for line in lines if "warning" in line]
    assert len(warned) == 1 and "\r" not in err  # no bar into a log
    assert warned[0].startswith("talmek-track: warning: 10 images stretched to 8 bits (uint16 values ")
    assert warned[0].endswith("s4.tif and 5 more") and "s0.tif" in warned[0]
    tenths = [line for line in lines if line.startswith("talmek-track: matching the pairs: ")]
    assert 1 <= len(tenths) <= 10 and tenths[-1].startswith("talmek-track: matching the pairs: 100%")


@pytest.mark.parametrize("details, line", [
    (["uint16 values 0..9"], "a.tif: uint16 values 0..9 (p) stretched to 8 bits"),  # one: as raised
    (["uint16 values 0..9", "uint16 values 0..9"], "2 images stretched to 8 bits (uint16 values 0..9): a.tif, b.tif"),
    (["uint16 values 0..9", "int16 values 1..5"],
     "2 images stretched to 8 bits: a.tif (uint16 values 0..9), b.tif (int16 values 1..5)"),
])
def test_collected_warning(details, line):
    images = {name: tt.errors.ImageWarning(name, f"{d} (p) stretched to 8 bits", "stretched to 8 bits", d)
              for name, d in zip(("a.tif", "b.tif"), details)}
    assert cli.collected_warning("stretched to 8 bits", images) == line


def dated_tiffs(folder, dates):
    rasterio = pytest.importorskip("rasterio")
    paths = []
    for k, date in enumerate(dates):
        paths.append(folder / f"d{k}.tif")
        with rasterio.open(paths[-1], "w", driver="GTiff", width=IMAGE1.shape[1], height=IMAGE1.shape[0],
                           count=1, dtype="uint8", crs="EPSG:32633",
                           transform=rasterio.transform.from_origin(500000, 6000000, 10, 10)) as ds:
            ds.write(IMAGE1 if k % 2 == 0 else IMAGE2, 1)
            if date:
                ds.update_tags(ACQUISITION_DATE=date)
    return paths


@pytest.mark.parametrize("dates, argv_of, code, lines", [
    # A tag that holds no date is named with its value, and the run goes on without it.
    (["2024-06-33", "2024-07-01"], lambda p: [*p[:2]], 0,
     ["d0.tif: date tag ACQUISITION_DATE='2024-06-33' is not a date; passed over",
      "only ", "no dates: displacements only"]),
    # A cube names the images without a date.
    (["2024-06-33", "2024-07-01", None], lambda p: ["stack", *p, "--cube"], 2,
     ["is not a date", "a cube needs every image's date; ", "d0.tif, ", "d2.tif have none",
      "--dates"]),
    # The same file twice, or again by another path.
    ([None, None], lambda p: [p[0], p[0].parent / "." / p[0].name], 0, ["both images are the same file"]),
    ([None, None, None], lambda p: ["stack", p[0], p[1], p[0]], 0, ["d0.tif is given 2 times (images 0, 2)"]),
    # Stable ground asked for without dates: no velocities to correct.
    ([None, None], lambda p: [*p, "--stable", "slow"], 0, ["stable ground given without acquisition dates"]),
])
def test_unusual_input_is_named(tmp_path, capsys, dates, argv_of, code, lines):
    argv = argv_of(dated_tiffs(tmp_path, dates))
    assert run(*argv, "-o", tmp_path / "out", *LOUD, "--format", "csv") == code
    err = capsys.readouterr().err
    for line in lines:
        assert line in err
