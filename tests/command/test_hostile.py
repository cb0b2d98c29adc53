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

pytestmark = pytest.mark.faults  # the fault-injection suite

tt = pytest.importorskip("talmek_track")
iio = pytest.importorskip("imageio.v3")
rasterio = pytest.importorskip("rasterio")
pytest.importorskip("matplotlib")
pytest.importorskip("tqdm")
from rasterio.transform import from_origin  # noqa: E402

from support import textured  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.errors import InputError  # noqa: E402
from talmek_track.output import publish  # noqa: E402
from talmek_track.sources import gate, readers  # noqa: E402

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


def test_arguments_cannot_forge_lines(tmp_path, capsys):
    with pytest.raises(SystemExit) as caught:
        cli.main(["a.tif", "b.tif", "-o", str(tmp_path / "out"), "--no-such\ntalmek-track: 0 points"])
    err = capsys.readouterr().err
    assert caught.value.code == 2 and len(err.splitlines()) == 1 and "--no-such\\n" in err, err


@pytest.mark.parametrize("command_line", [["a.tif", "b.tif"], ["stack", "a.tif", "b.tif"]])
def test_an_empty_output_folder_name_is_wrong_usage(capsys, command_line):
    assert cli.main([*command_line, "-o", ""]) == 2
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and "-o/--output" in err, err


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


def test_a_worker_that_dies_as_the_cluster_starts(geo_pair, tmp_path):
    pytest.importorskip("distributed")
    import os

    (tmp_path / "dies_at_start.py").write_text("import os\nos._exit(3)\n")
    env = {**os.environ, "DASK_DISTRIBUTED__WORKER__PRELOAD": '["dies_at_start"]',
           "PYTHONPATH": os.pathsep.join([str(tmp_path), *sys.path])}
    done = subprocess.run([sys.executable, "-m", "talmek_track", *map(str, geo_pair), "-o", str(tmp_path / "out"),
                           "--dask", "--workers", "1", *FAST], capture_output=True, text=True, timeout=120,
                          env=env)
    assert done.returncode == 1 and len(done.stderr.splitlines()) == 1, done.stderr
    assert "Dask cluster did not start" in done.stderr


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
        assert gate.source_driver(remote) in ("GTiff", "JP2OpenJPEG", "PNG")


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
    (_track(timeout=0), "timeout"), (_track(timeout=(5, 5, 5)), "timeout"),
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


# --- one gate for every raster: masks, references, STAC assets --------------------------------

DATED = ["--dates", "2024-01-01,2024-02-01"]


def url_vrt(path, url, width=218, height=197):
    """A VRT on the pair's grid whose one band is read from ``url``."""
    path.write_text(f"""<VRTDataset rasterXSize="{width}" rasterYSize="{height}">
  <SRS>EPSG:32633</SRS><GeoTransform>500000, 10, 0, 6000000, 0, -10</GeoTransform>
  <VRTRasterBand dataType="Byte" band="1"><SimpleSource>
    <SourceFilename>/vsicurl/{url}</SourceFilename><SourceBand>1</SourceBand>
  </SimpleSource></VRTRasterBand>
</VRTDataset>""")
    return path


def stac_item(path, href):
    import json

    path.write_text(json.dumps({
        "type": "Feature", "stac_version": "1.0.0", "id": "x", "geometry": None, "links": [],
        "properties": {"datetime": "2024-01-01T00:00:00Z"}, "assets": {"b": {"href": href, "roles": ["data"]}}}))
    return path


# Each way a raster comes in, with the word its refusal names it by.
OPENINGS = [
    (lambda pair, r: [r, pair[1]], "cannot read"),
    (lambda pair, r: [*pair, "--mask1", r], "--mask1"),
    (lambda pair, r: [*pair, "--mask2", r], "--mask2"),
    (lambda pair, r: [*pair, "--stable", r], "--stable"),
    (lambda pair, r: [*pair, "--reference", r], "--reference"),
    (lambda pair, r: [stac_item(r.parent / "item.json", r.name), pair[1]], "cannot read"),
]


@pytest.mark.parametrize("opening, named", OPENINGS)
def test_a_vrt_naming_a_url_makes_no_request_on_any_path(geo_pair, tmp_path, server, capsys, opening, named):
    folder, url, handler = server
    write_geotiff(folder / "secret.tif", textured(197, 218))
    vrt = url_vrt(tmp_path / "m.vrt", f"{url}/secret.tif")
    code = cli.main([*map(str, opening(geo_pair, vrt)), "-o", str(tmp_path / "out"), *DATED, *FAST])
    err = capsys.readouterr().err
    assert code == 1 and named in err and "allow-any-source" in err and len(err.splitlines()) == 1, err
    assert handler.requests == 0 and not (tmp_path / "out").exists()


def sparse_geotiff(path, size):
    """A GeoTIFF of size x size pixels on the pair's grid that holds no tile: a few hundred kB."""
    with rasterio.open(path, "w", driver="GTiff", width=size, height=size, count=1, dtype="uint8",
                       crs="EPSG:32633", transform=from_origin(500000, 6000000, 10, 10), tiled=True,
                       blockxsize=1024, blockysize=1024, sparse_ok=True):
        pass
    return path


@pytest.mark.parametrize("opening, named", OPENINGS[1:5])
def test_a_huge_sparse_mask_is_refused_by_max_pixels(geo_pair, tmp_path, capsys, opening, named):
    huge = sparse_geotiff(tmp_path / "huge.tif", 100_000)
    started = time.monotonic()
    code = cli.main([*map(str, opening(geo_pair, huge)), "-o", str(tmp_path / "out"), *DATED, *FAST])
    err = capsys.readouterr().err
    assert code == 1 and named in err and "100000 x 100000 pixels" in err and "--max-pixels" in err, err
    assert time.monotonic() - started < 20 and not (tmp_path / "out").exists()


@pytest.mark.parametrize("option", ["--stable", "--mask1"])
def test_a_mask_that_fails_to_read_is_an_input_error(geo_pair, tmp_path, capsys, option):
    mask = tmp_path / "mask.tif"
    with rasterio.open(mask, "w", driver="GTiff", width=218, height=197, count=1, dtype="uint8",
                       crs="EPSG:32633", transform=from_origin(500000, 6000000, 10, 10),
                       compress="deflate", tiled=True, blockxsize=64, blockysize=64) as ds:
        ds.write(textured(197, 218), 1)
    data = bytearray(mask.read_bytes())
    data[len(data) // 3:] = b"\xff" * (len(data) - len(data) // 3)  # the tiles' data destroyed
    mask.write_bytes(bytes(data))
    code = cli.main([*map(str, geo_pair), "-o", str(tmp_path / "out"), option, str(mask), *DATED, *FAST])
    err = capsys.readouterr().err
    assert code == 1 and f"({option}) {mask}" in err and "write" not in err, err
    assert not (tmp_path / "out").exists()


def tile_bomb(path, rows, cols, tile):
    """A TIFF of rows x cols uint16 pixels stored as one zlib tile of tile x tile zeros: a valid
    stream (blocks flushed whole repeat), about 1000 times smaller than it decodes."""
    import struct
    import zlib

    chunk, size = bytes(2**20), tile * tile * 2
    z = zlib.compressobj(9)
    first = z.compress(chunk) + z.flush(zlib.Z_FULL_FLUSH)
    again = z.compress(chunk) + z.flush(zlib.Z_FULL_FLUSH)
    data = first + again * (size // len(chunk) - 1) + b"\x03\x00" + ((size % 65521) << 16 | 1).to_bytes(4, "big")
    tags = [(256, 4, cols), (257, 4, rows), (258, 3, 16), (259, 3, 8), (262, 3, 1), (277, 3, 1),
            (322, 4, tile), (323, 4, tile), (324, 4, 8), (325, 4, len(data))]
    ifd = struct.pack("<H", len(tags)) + b"".join(
        struct.pack("<HHII", t, k, 1, v) if k == 4 else struct.pack("<HHIHH", t, k, 1, v, 0) for t, k, v in tags)
    path.write_bytes(b"II*\x00" + struct.pack("<I", 8 + len(data)) + data + ifd + bytes(4))
    return path


@pytest.mark.parametrize("reader", ["rasterio", "tifffile"])
def test_a_tile_bomb_is_refused_before_decoding(tmp_path, monkeypatch, reader):
    if reader == "tifffile":
        monkeypatch.setattr(readers, "_have_rasterio", lambda: False)
    bomb = tile_bomb(tmp_path / "bomb.tif", 400, 400, 32768)
    assert bomb.stat().st_size < 3 * 2**20
    started = time.monotonic()
    with pytest.raises(InputError, match="tiles or strips of 32768 x 32768 pixels .* image of 400 x 400"):
        readers.open_source(bomb)
    assert time.monotonic() - started < 5
    # Tiles a little larger than a small image are common, and read.
    small = tmp_path / "small.tif"
    pytest.importorskip("tifffile").imwrite(small, np.ones((30, 40), np.uint16), tile=(512, 512),
                                            compression="zlib")
    assert readers.open_source(small).read_raw((0, 30, 0, 40)).sum() == 1200


def test_a_tile_bomb_as_a_mask_names_its_option(geo_pair, tmp_path, capsys):
    bomb = tile_bomb(tmp_path / "bomb.tif", 197, 218, 32768)
    started = time.monotonic()
    code = cli.main([*map(str, geo_pair), "-o", str(tmp_path / "out"), "--mask2", str(bomb), *FAST])
    err = capsys.readouterr().err
    assert code == 1 and "(--mask2)" in err and "tiles or strips of 32768 x 32768" in err, err
    assert time.monotonic() - started < 10
