"""Hostile conditions: full and read-only filesystems, odd output names, silent or malformed Dask
schedulers, forged image headers and inputs that name other sources."""
import contextlib
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

tt = pytest.importorskip("talmek_track")
iio = pytest.importorskip("imageio.v3")
rasterio = pytest.importorskip("rasterio")
pytest.importorskip("matplotlib")
pytest.importorskip("tqdm")
from rasterio.transform import from_origin  # noqa: E402

from support import textured  # noqa: E402
from talmek_track import cli, publish, readers  # noqa: E402
from talmek_track.errors import InputError  # noqa: E402

FAST = ["--chip", "24", "--margin", "12", "--step", "20", "--quiet"]


def write_geotiff(path, image):
    with rasterio.open(path, "w", driver="GTiff", width=image.shape[1], height=image.shape[0], count=1,
                       dtype="uint8", crs="EPSG:32633", transform=from_origin(500000, 6000000, 10, 10)) as ds:
        ds.write(image, 1)


@pytest.fixture(scope="module")
def geo_pair(tmp_path_factory):
    folder = tmp_path_factory.mktemp("geo")
    big = textured(200, 220, seed=5)
    write_geotiff(folder / "g1.tif", big[:-3, :-2])
    write_geotiff(folder / "g2.tif", big[3:, 2:])
    return folder / "g1.tif", folder / "g2.tif"


def command(*argv):
    return subprocess.run([sys.executable, "-m", "talmek_track", *map(str, argv)], capture_output=True,
                          text=True, timeout=120)


@contextlib.contextmanager
def small_filesystem(where, kilobytes):
    """A tmpfs of the given size mounted at ``where`` (root only, where mounting is allowed)."""
    where.mkdir()
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={kilobytes}k", "tmpfs", str(where)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"a small tmpfs cannot be mounted here ({done.stderr.strip() or 'not permitted'}), "
                    "so no filesystem can be filled")
    try:
        yield where
    finally:
        subprocess.run(["umount", "-l", str(where)], check=False)


def contents(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


# --- writers ----------------------------------------------------------------------------------

@pytest.mark.parametrize("fmt", ["tif", "gpkg", "nc", "csv", "geojson", "plot"])
def test_a_full_disk_is_one_line_and_exit_3(geo_pair, tmp_path, fmt):
    if fmt == "nc":
        pytest.importorskip("xarray")
        pytest.importorskip("rioxarray")
    with small_filesystem(tmp_path / "fs", 64) as fs:
        out = fs / "out"
        out.mkdir()
        (out / "vectors.csv").write_text("old")
        (fs / "filler").write_bytes(b"\0" * 50000)
        before = contents(out)
        done = command(*geo_pair, "-o", out, "--format", fmt, "--dates", "2024-01-01,2024-02-01", *FAST)
        assert done.returncode == 3, done.stderr
        ours = [line for line in done.stderr.splitlines() if line.startswith("talmek-track")]
        assert len(ours) == 1 and "No space left on device" in ours[0] and str(out) in ours[0]
        assert "Traceback" not in done.stderr
        assert contents(out) == before


def test_a_read_only_filesystem_keeps_the_earlier_results(geo_pair, tmp_path):
    with small_filesystem(tmp_path / "fs", 512) as fs:
        out = fs / "out"
        out.mkdir()
        (out / "vectors.csv").write_text("old")
        subprocess.run(["mount", "-o", "remount,ro", str(fs)], check=True)
        done = command(*geo_pair, "-o", out, *FAST)
        assert done.returncode == 3 and len(done.stderr.splitlines()) == 1, done.stderr
        assert "Read-only file system" in done.stderr and str(out) in done.stderr
        assert (out / "vectors.csv").read_text() == "old"


@pytest.mark.parametrize("name", ["new\nline", "tab\there", "esc\x1b[31m", "sp ace;$(x)"])
def test_odd_characters_in_outdir(geo_pair, tmp_path, name):
    out = tmp_path / name
    done = command(*geo_pair, "-o", out, *FAST[:-1])
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in out.iterdir()) == ["run.json", "vectors.csv", "vectors.geojson", "vectors.gpkg",
                                                     "vectors.png", "vectors.tif"]
    assert len(done.stderr.strip().splitlines()[-1:]) == 1 and "\x1b" not in done.stderr
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def test_an_outdir_name_the_filesystem_refuses_is_a_write_failure(geo_pair, tmp_path, capsys):
    for out in (tmp_path / ("x" * 300), tmp_path / ("x" * 300) / "out"):
        assert cli.main([*map(str, geo_pair), "-o", str(out), *FAST]) == 3
        assert "File name too long" in capsys.readouterr().err


# --- Dask ---------------------------------------------------------------------------------------

@pytest.fixture
def silent_socket():
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    held = []

    def accept():
        with contextlib.suppress(OSError):
            while True:
                held.append(server.accept()[0])

    threading.Thread(target=accept, daemon=True).start()
    yield server.getsockname()[1]
    server.close()
    for conn in held:
        conn.close()


def test_a_scheduler_that_never_answers_times_out(geo_pair, tmp_path, silent_socket):
    pytest.importorskip("distributed")
    started = time.monotonic()
    done = command(*geo_pair, "-o", tmp_path / "out", "--scheduler", f"tcp://127.0.0.1:{silent_socket}",
                   "--connect-timeout", "2", "--handshake-timeout", "2", *FAST)
    assert time.monotonic() - started < 30
    assert done.returncode == 1 and len(done.stderr.splitlines()) == 1, done.stderr
    assert "handshake" in done.stderr and "Exception ignored" not in done.stderr
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("address", ["notaurl", "tcp://", "tcp://host:notaport", "  "])
def test_a_malformed_scheduler_address(geo_pair, tmp_path, address):
    pytest.importorskip("distributed")
    started = time.monotonic()
    done = command(*geo_pair, "-o", tmp_path / "out", "--scheduler", address, *FAST)
    assert time.monotonic() - started < 15
    assert done.returncode == 2 and len(done.stderr.splitlines()) == 1, done.stderr
    assert "scheduler address" in done.stderr and "Exception ignored" not in done.stderr


# --- untrusted inputs -------------------------------------------------------------------------

def forged_png(path, width, height):
    """A small PNG whose header claims width x height pixels."""
    import struct
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(b"\0" * 1000))
                     + chunk(b"IEND", b""))
    return path


def forged_jpeg(path, width, height):
    image = textured(16, 16)
    iio.imwrite(path, image, extension=".jpg")
    data = bytearray(path.read_bytes())
    at = next(k for k in range(len(data) - 1) if data[k] == 0xFF and data[k + 1] in (0xC0, 0xC2))
    data[at + 5:at + 9] = height.to_bytes(2, "big") + width.to_bytes(2, "big")
    path.write_bytes(bytes(data))
    return path


@pytest.mark.parametrize("make", [forged_png, forged_jpeg])
@pytest.mark.parametrize("reader", ["rasterio", "imageio"])
def test_a_forged_header_is_refused_before_decoding(tmp_path, monkeypatch, make, reader):
    if reader == "imageio":
        monkeypatch.setattr(readers, "_have_rasterio", lambda: False)
    bomb = make(tmp_path / f"bomb.{'png' if make is forged_png else 'jpg'}", 60000, 60000)
    started = time.monotonic()
    with pytest.raises(InputError, match="60000 x 60000 pixels, more than the limit"):
        readers.open_source(bomb)
    assert time.monotonic() - started < 5
    with pytest.raises(InputError, match="more than the limit of 1000"):
        readers.open_source(make(tmp_path / "small.png", 40, 30), max_pixels=1000)


def test_max_pixels_and_max_points_on_the_command(tmp_path, capsys):
    image = textured(120, 150)
    iio.imwrite(tmp_path / "a.png", image)
    iio.imwrite(tmp_path / "b.png", image)
    argv = [tmp_path / "a.png", tmp_path / "b.png", "-o", tmp_path / "out", *FAST]
    assert cli.main([*map(str, argv), "--max-pixels", "1000"]) == 1
    assert "--max-pixels" in capsys.readouterr().err
    assert cli.main([*map(str, argv), "--step", "1", "--max-points", "500"]) == 2
    assert "--max-points" in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


VRT = """<VRTDataset rasterXSize="64" rasterYSize="64">
  <VRTRasterBand dataType="Byte" band="1" subClass="VRTRawRasterBand">
    <SourceFilename relativetoVRT="1">{raw}</SourceFilename>
    <ImageOffset>0</ImageOffset><PixelOffset>1</PixelOffset><LineOffset>64</LineOffset>
  </VRTRasterBand>
</VRTDataset>"""


@pytest.mark.parametrize("text", [
    "{vrt}", "{vrt_as_tif}", "/vsizip/{folder}/x.zip/a.tif", "NETCDF:{folder}/x.nc:band",
    "/vsicurl/file:///etc/passwd", "ftp://example.org/a.tif", "/vsisparse/{folder}/x.xml",
    "<VRTDataset></VRTDataset>", "GTIFF_DIR:1:{folder}/plain.tif",
])
def test_sources_that_name_other_sources_are_refused(tmp_path, text):
    raw = tmp_path / "secret.raw"
    raw.write_bytes(bytes(range(256)) * 16)
    (tmp_path / "a.vrt").write_text(VRT.format(raw=raw.name))
    (tmp_path / "a_vrt.tif").write_text(VRT.format(raw=raw.name))
    write_geotiff(tmp_path / "plain.tif", textured(64, 64))
    path = text.format(vrt=tmp_path / "a.vrt", vrt_as_tif=tmp_path / "a_vrt.tif", folder=tmp_path)
    with pytest.raises(InputError, match="allow_any_source"):
        readers.open_source(path)


def test_allow_any_source_reads_a_vrt_but_never_raw_files_by_default(tmp_path):
    raw = tmp_path / "secret.raw"
    raw.write_bytes(bytes(range(256)) * 16)
    (tmp_path / "a.vrt").write_text(VRT.format(raw=raw.name))
    source = readers.open_source(tmp_path / "a.vrt", allow_any_source=True)
    assert source.driver is None and source.shape == (64, 64)
    plain = tmp_path / "plain.tif"
    write_geotiff(plain, textured(64, 64))
    assert readers.open_source(plain).driver == "GTiff"
    for remote in ("/vsicurl/https://example.org/a.tif", "https://example.org/b.jp2", "/vsis3/bucket/a.png"):
        assert readers.source_driver(remote) in ("GTiff", "JP2OpenJPEG", "PNG")


def test_the_repair_command(tmp_path, capsys):
    out = tmp_path / "out"
    out.mkdir()
    (out / f"{publish.STAGING_PREFIX}old").mkdir()
    assert cli.main(["repair", str(out)]) == 0
    assert "removed the staging folder" in capsys.readouterr().err and list(out.iterdir()) == []
    assert cli.main(["repair", str(out)]) == 0 and "nothing to repair" in capsys.readouterr().err
    assert cli.main(["repair", str(tmp_path / "missing")]) == 2


# --- arguments of the Python functions ------------------------------------------------------------

IMG = textured(100, 120)
PTS = np.array([[50, 50]])


def params_for_points():
    p = tt.TrackOptions(chip=24, margin=12, step=20).params()
    p.start_row_ = p.start_col_ = 16
    return p


@pytest.fixture(scope="module")
def png_pair(tmp_path_factory):
    folder = tmp_path_factory.mktemp("api")
    iio.imwrite(folder / "a.png", IMG)
    iio.imwrite(folder / "b.png", IMG)
    return str(folder / "a.png"), str(folder / "b.png")


def _track(**kw):
    return lambda a, b: tt.track_files(a, b, **kw)


def _stack(paths=None, **kw):
    return lambda a, b: tt.match_stack([a, b] if paths is None else paths, progress=False, **kw)


BAD_ARGUMENTS = [
    (_track(chip="x"), "chip"), (_track(step=(np.int32(20), "y")), "step"),
    (_track(formats=3), "formats"), (_track(formats=["xls"]), "formats"),
    (_track(min_strength="abc"), "min_strength"), (_track(min_strength=float("nan")), "min_strength"),
    (_track(max_displacement="abc"), "max_displacement"), (_track(dates=("x", "y")), "dates"),
    (_track(dates=5), "dates"), (_track(dates=("2024-01-01", 3)), "dates"),
    (_track(threads="2"), "threads"), (_track(threads=1.5), "threads"), (_track(threads=0), "threads"),
    (_track(band=0), "band"), (_track(band="1"), "band"), (_track(page="x"), "page"),
    (_track(nodata="x"), "nodata"), (_track(value_range="x"), "value_range"),
    (_track(value_range=(1, 2, 3)), "value_range"), (_track(percentiles=(90, 10)), "percentiles"),
    (_track(peak=2), "peak"), (_track(prefilter=3), "prefilter"), (_track(filter="mean"), "filter"),
    (_track(stable=3), "stable"), (_track(block_pixels="x"), "block_pixels"),
    (_track(backend="gpu"), "backend"), (_track(offset=(1.5, 2)), "offset"),
    (_track(progress=3), "progress"), (_track(backend="dask", workers="x"), "workers"),
    (_track(backend="dask", scheduler=5), "scheduler"), (_track(max_pixels=0), "max_pixels"),
    (_track(max_points="many"), "max_points"), (_track(allow_any_source="yes"), "allow_any_source"),
    (_track(backend="dask", connect_timeout=-1), "connect_timeout"),
    (_track(handshake_timeout=5), "handshake_timeout"),
    (lambda a, b: tt.track_files(None, b), "image1"), (lambda a, b: tt.track_files(a, b, 5), "output"),
    (_stack(pairs=5), "pairs"), (_stack(pairs="every"), "pairs"), (_stack(paths="ab"), "paths"),
    (_stack(max_days="x"), "max_days"), (_stack(chip=np.float64(24)), "chip"),
    (_stack(progress="yes"), "progress"),
    (lambda a, b: tt.match_points(IMG, IMG, PTS, PTS, params_for_points(), threads="x"), "threads"),
    (lambda a, b: tt.match_points(IMG, IMG, PTS, PTS, None), "params"),
    (lambda a, b: tt.match_points(IMG, IMG, [[1]], PTS, params_for_points()), "points1"),
    (lambda a, b: tt.match_points(IMG, IMG, "ab", PTS, params_for_points()), "points1"),
    (lambda a, b: tt.match_points(IMG.astype(float), IMG, PTS, PTS, params_for_points(),
                                  value_range="x"), "value_range"),
    (lambda a, b: tt.match_points(np.zeros((2, 2, 2, 2)), IMG, PTS, PTS, params_for_points()), "image1"),
    (lambda a, b: tt.match_points(IMG.astype(float), IMG, PTS, PTS, params_for_points(),
                                  value_range=(10, 10)), "value_range"),
    (lambda a, b: tt.match_grid(IMG, IMG, None), "params"),
    (lambda a, b: tt.match_grid(IMG, IMG, params_for_points(), threads=-1), "threads"),
    (lambda a, b: tt.match_grid(IMG, IMG, params_for_points(), progress=3), "progress"),
    (lambda a, b: tt.track_xarray(a, IMG), "image1"),
    (lambda a, b: tt.track_xarray(IMG, IMG, min_strength="abc"), "min_strength"),
]


@pytest.mark.parametrize("call, name", BAD_ARGUMENTS, ids=[f"{k}-{n}" for k, (_, n) in enumerate(BAD_ARGUMENTS)])
def test_a_bad_argument_is_named(png_pair, call, name):
    with pytest.raises((tt.OptionError, TypeError)) as caught:
        call(*png_pair)
    assert name in str(caught.value)


@pytest.mark.parametrize("keywords", [
    {"chip": np.int64(24), "margin": np.int32(12), "step": (np.int64(30), np.uint16(30))},
    {"threads": np.int64(1), "band": np.int64(1), "block_pixels": np.int64(10**7)},
    {"start": (np.int64(16), np.int64(16)), "formats": "csv", "max_points": np.int64(10**6)},
])
def test_numpy_integers_stand_for_ints(png_pair, tmp_path, keywords):
    options = {"chip": 24, "margin": 12, "step": 30, **keywords}
    result = tt.track_files(*png_pair, tmp_path / "out", plot=False, **options)
    assert result.records.size > 0 and (tmp_path / "out" / "vectors.csv").exists()
