"""Scenes as users bring them: any pixel type, GDAL sources, TIFF stacks, bounded memory, and a
command that leaves either the new results or the old ones, never a mix and never debris."""
import dataclasses
import errno
import os
import signal
import subprocess
import sys
import time
import tracemalloc
import warnings

import numpy as np
import pytest

from support import same_bits, textured

tt = pytest.importorskip("talmek_track")
rasterio = pytest.importorskip("rasterio")
pytest.importorskip("matplotlib")
pytest.importorskip("tqdm")
tifffile = pytest.importorskip("tifffile")
from rasterio.shutil import delete as delete_dataset  # noqa: E402
from rasterio.transform import from_origin  # noqa: E402

from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.output import publish  # noqa: E402

# Features of image 1 appear 3 rows lower and 2 columns further left in image 2.
BIG = textured(170, 190, seed=11).astype(np.float64) / 255.0
SHIFT = (3.0, -2.0)  # dy, dx
FAST = dict(chip=24, margin=12, step=20)


def pair(values):
    """The shifted pair cut from ``values`` (an array shaped like BIG)."""
    return values[10:140, 10:170], values[7:137, 12:172]


def params(talmek):
    p = talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = 24
    p.hoffset_ = p.voffset_ = 12
    p.start_row_ = p.start_col_ = 30
    p.row_interval_ = p.col_interval_ = 16
    return p


def write_tif(path, array, west=500000.0, north=6000000.0, pixel=10.0, crs="EPSG:32633", nodata=None):
    array = array if array.ndim == 3 else array[np.newaxis]
    with rasterio.open(path, "w", driver="GTiff", width=array.shape[2], height=array.shape[1],
                       count=array.shape[0], dtype=array.dtype, crs=crs, nodata=nodata,
                       transform=from_origin(west, north, pixel, pixel)) as ds:
        ds.write(array)


def quiet(fn, *args, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kw)


def assert_shift(dx, dy, tolerance=0.15):
    ok = np.isfinite(dx)
    assert ok.sum() >= 20
    assert abs(np.median(dx[ok]) - SHIFT[1]) < tolerance and abs(np.median(dy[ok]) - SHIFT[0]) < tolerance


# --- pixel types ------------------------------------------------------------------------------

def hot_uint16(v):
    out = np.rint(1000 + v * 7905).astype(np.uint16)
    out[50, 60] = 65535  # one saturated pixel: a min-max stretch would squeeze everything else
    return out


@pytest.mark.parametrize("name, make, refused", [
    ("uint8", lambda v: np.rint(v * 255).astype(np.uint8), False),
    ("uint16 wide range, hot pixel", hot_uint16, False),
    ("float 0..1", lambda v: v.astype(np.float32), False),
    ("float 0..255", lambda v: v * 255.0, False),
    ("int16 around zero", lambda v: np.rint(v * 3000 - 1500).astype(np.int16), False),
    ("bool", lambda v: v > 0.5, True),
    ("complex", lambda v: v.astype(np.complex64), True),
    ("object", lambda v: v.astype(object), True),
])
def test_pixel_types_reach_uint8_accuracy_or_are_refused(talmek, name, make, refused):
    image1, image2 = pair(make(BIG))
    if refused:
        with pytest.raises(TypeError, match="pixels"):
            tt.match_grid(image1, image2, params(talmek))
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        grid = tt.match_grid(image1, image2, params(talmek))
    assert len(caught) == (0 if name == "uint8" else 2)  # one per converted image, naming the range
    assert all("stretched to 8 bits" in str(w.message) for w in caught)
    assert_shift(grid.dx, grid.dy, 0.1)
    reference = tt.match_grid(*pair(np.rint(BIG * 255).astype(np.uint8)), params(talmek))
    assert (grid.status == 1).sum() >= 0.95 * (reference.status == 1).sum()


def test_to_uint8_ranges():
    values = np.linspace(0, 1000, 10000).reshape(100, 100)
    values[0, 0] = 1e9
    with pytest.warns(UserWarning, match=r"values 1\.\d+\.\.999\.\d+ \(percentiles 0\.1 to 99\.9\)"):
        auto = tt.to_uint8(values)
    assert auto[0, 0] == 255 and auto[0, 1] == 0 and 126 <= auto[50, 0] <= 128
    fixed = tt.to_uint8(np.array([[np.nan, -5.0, 0.0, 60.0, 100.0, 200.0]]), (0, 100))
    assert fixed.tolist() == [[0, 0, 0, 153, 255, 255]]
    with pytest.raises(TypeError, match="not uint8"):
        tt.to_uint8(values, None)
    image = np.zeros((4, 4), np.uint8)
    assert tt.to_uint8(image, None) is image


# --- sources: GDAL paths, bands, TIFF stacks --------------------------------------------------

def test_gdal_memory_paths_and_bands(tmp_path):
    image1, image2 = pair(hot_uint16(BIG))
    noise = np.random.default_rng(1).integers(0, 65535, image1.shape, dtype=np.uint16)
    write_tif("/vsimem/scene_a.tif", np.stack([noise, image1]))  # the texture is band 2
    write_tif("/vsimem/scene_b.tif", np.stack([noise, image2]))
    try:
        result = quiet(tt.track_files, "/vsimem/scene_a.tif", "/vsimem/scene_b.tif", tmp_path / "out",
                       band=2, formats=["csv"], **FAST)
        with pytest.raises(tt.InputError, match="has 2 bands, no band 3"):
            tt.track_files("/vsimem/scene_a.tif", "/vsimem/scene_b.tif", band=3)
        with pytest.raises(tt.InputError, match="no such file|not an image|cannot read"):
            tt.track_files("/vsimem/missing.tif", "/vsimem/scene_b.tif")
    finally:
        for name in ("/vsimem/scene_a.tif", "/vsimem/scene_b.tif"):
            delete_dataset(name)
    assert_shift(result.dx, result.dy)
    assert result.paths == [tmp_path / "out" / "vectors.csv"]


@pytest.mark.parametrize("without_rasterio", [False, True])
@pytest.mark.parametrize("pages", [2, 3, 4])
def test_tiff_stacks_are_refused_unless_a_page_is_chosen(tmp_path, monkeypatch, pages, without_rasterio):
    image1, image2 = pair(np.rint(BIG * 255).astype(np.uint8))
    noise = np.random.default_rng(2).integers(0, 255, image1.shape, dtype=np.uint8)
    stack = np.stack([noise] * (pages - 1) + [image1])
    tifffile.imwrite(tmp_path / "stack.tif", stack, photometric="minisblack")
    tifffile.imwrite(tmp_path / "b.tif", image2)
    if without_rasterio:
        monkeypatch.setitem(sys.modules, "rasterio", None)
    with pytest.raises(tt.InputError, match=f"stack of {pages} pages.*choose the page.*choose a band"):
        tt.track_files(tmp_path / "stack.tif", tmp_path / "b.tif")
    result = tt.track_files(tmp_path / "stack.tif", tmp_path / "b.tif", page=pages, **FAST)
    assert_shift(result.dx, result.dy)


# --- bounded memory, block by block -----------------------------------------------------------

@pytest.mark.parametrize("prefilter", ["none", "wallis:15"])
def test_blocks_equal_the_whole_arrays_in_memory(tmp_path, talmek, prefilter):
    image1, image2 = pair(hot_uint16(BIG))
    image1[60:70, 40:80] = 0  # nodata
    write_tif(tmp_path / "a.tif", image1, nodata=0)
    write_tif(tmp_path / "b.tif", image2, west=500000.0 + 20, north=6000000.0 - 30)
    runs = [quiet(tt.track_files, tmp_path / "a.tif", tmp_path / "b.tif", chip=24, margin=12, step=4,
                  block_pixels=size, prefilter=prefilter) for size in (1, 20_000, 10**9)]
    result = runs[0]
    sources = [quiet(tt.sources.readers.open_source, tmp_path / n) for n in ("a.tif", "b.tif")]
    points1, points2, grid_shape = tt.grid_points(sources[0].shape, result.params)
    jobs = tt.matching.blocks.plan_blocks(*sources, result.params, points1, points2, grid_shape, block_pixels=1)
    assert len(jobs) == grid_shape[0] > 20  # one grid row per block
    assert all(same_bits(run.records, result.records) for run in runs[1:])
    # The same as converting the whole arrays and matching them in memory, masked points aside.
    lo1, hi1 = quiet(tt.sources.readers.open_source(tmp_path / "a.tif").with_range, "auto").value_range
    lo2, hi2 = quiet(tt.sources.readers.open_source(tmp_path / "b.tif").with_range, "auto").value_range
    # The pre-filter sees the 16-bit values scaled onto 0..255 before their rounding ("none"
    # rounds them, as to_uint8 does).
    convert = tt.matching.prefilter.parse_prefilter(prefilter)
    scale = tt.sources.convert.scale_range
    whole = tt.match_grid(convert(scale(image1, lo1, hi1)), convert(scale(image2, lo2, hi2)), result.params)
    masked = result.records["active"] == tt.Status.nodata
    assert masked.sum() > 10 and (result.records["active"] == 1).sum() > 300
    assert same_bits(whole.records[~masked], result.records[~masked])


def test_block_jobs_travel_by_pickle(tmp_path):
    """What a distributed backend relies on: a job pickles small and matches alike elsewhere."""
    import pickle

    image1, image2 = pair(hot_uint16(BIG))
    write_tif(tmp_path / "a.tif", image1)
    write_tif(tmp_path / "b.tif", image2)
    options = tt.TrackOptions(chip=24, margin=12, step=8)
    params = options.params()
    sources = [quiet(tt.run.pair.open_image, tmp_path / n, options) for n in ("a.tif", "b.tif")]
    params = tt.run.pair.prepare_sources(*sources, params, start_given=False)
    sources = [quiet(s.with_range, "auto") for s in sources]
    points1, points2, grid_shape = tt.grid_points(sources[0].shape, params)
    jobs = tt.matching.blocks.plan_blocks(*sources, params, points1, points2, grid_shape, block_pixels=30_000,
                                 prefilter=tt.matching.prefilter.parse_prefilter("gauss:1"))
    assert len(jobs) > 2 and all(len(pickle.dumps(job)) < 20_000 for job in jobs)
    here = np.concatenate([block.records for block in tt.matching.backends.run_blocks(jobs)])
    there = np.concatenate([tt.matching.blocks.match_block(pickle.loads(pickle.dumps(job)), threads=1).records
                            for job in jobs])
    assert same_bits(here, there) and [job.first for job in jobs] == [0, *np.cumsum([j.size for j in jobs])[:-1]]


def test_figure_and_nodata_memory_stay_bounded(tmp_path):
    side = 4000
    big = np.tile(textured(250, 250, seed=5), (16, 16))
    big[1000:1200, 1000:3000] = 0
    write_tif(tmp_path / "a.tif", big, nodata=0)
    write_tif(tmp_path / "b.tif", big)
    tracemalloc.start()
    try:
        result = quiet(tt.track_files, tmp_path / "a.tif", tmp_path / "b.tif", chip=16, margin=16, step=64,
                       block_pixels=2_000_000, prefilter="none")
        _, matching_peak = tracemalloc.get_traced_memory()
        source = quiet(tt.sources.readers.open_source, tmp_path / "a.tif").with_range("auto")
        preview, step = source.preview(tt.run.pair.PREVIEW_SIDE)
        result = dataclasses.replace(result, preview=preview, preview_step=step)
        tracemalloc.reset_peak()
        tt.output.writers.write_plot(tmp_path, result)
        _, figure_peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert (result.records["active"] == tt.Status.nodata).any()
    assert result.preview.shape == (side // 2, side // 2)
    # The whole image alone holds 16 MB; its int64 summed-area table held 128 MB and the figure
    # drawn at full size over a gigabyte.
    assert matching_peak < 20e6, matching_peak
    assert figure_peak < 150e6, figure_peak
    assert (tmp_path / "vectors.png").stat().st_size > 0


# --- publishing: all or nothing ---------------------------------------------------------------

@pytest.fixture
def scene(tmp_path):
    image1, image2 = pair(np.rint(BIG * 255).astype(np.uint8))
    write_tif(tmp_path / "a.tif", image1)
    write_tif(tmp_path / "b.tif", image2)
    out = tmp_path / "out"
    out.mkdir()
    for name in ("vectors.csv", "vectors.png", "vectors.tif", "notes.txt"):
        (out / name).write_text(f"old {name}")
    return tmp_path / "a.tif", tmp_path / "b.tif", out


def snapshot(folder):
    return {p.name: (p.read_bytes() if p.is_file() else None) for p in folder.iterdir()}


def run_cli(*argv):
    try:
        return cli.main([str(a) for a in argv])
    except SystemExit as e:
        return e.code


def fail_on(monkeypatch, name, code):
    real = os.replace

    def replace(src, dst):
        if os.path.basename(dst) == name:
            raise OSError(code, os.strerror(code), os.fspath(dst))
        return real(src, dst)

    monkeypatch.setattr(publish.os, "replace", replace)


def test_publishing_across_filesystems(scene, monkeypatch, capsys):
    a, b, out = scene
    real = os.replace
    crossings = []

    def replace(src, dst):
        if publish.STAGING_PREFIX in os.fspath(src) and not os.path.basename(os.fspath(dst)).startswith("."):
            crossings.append(dst)
            raise OSError(errno.EXDEV, "Invalid cross-device link")
        return real(src, dst)

    monkeypatch.setattr(publish.os, "replace", replace)
    assert run_cli(a, b, "-o", out, "--quiet", "--chip", "24", "--margin", "12", "--step", "20") == 0
    assert crossings and (out / "vectors.csv").read_text().startswith("row1,")
    assert (out / "notes.txt").read_text() == "old notes.txt"
    assert sorted(p.name for p in out.iterdir() if p.name.startswith(".")) == []


@pytest.mark.parametrize("block", ["directory", "failing move"])
def test_a_blocked_output_keeps_the_earlier_results(scene, monkeypatch, capsys, block):
    a, b, out = scene
    if block == "directory":
        (out / "vectors.png").unlink()
        (out / "vectors.png").mkdir()
    else:
        fail_on(monkeypatch, "vectors.tif", errno.EIO)
    before = snapshot(out)
    assert run_cli(a, b, "-o", out, "--quiet", "--chip", "24", "--margin", "12", "--step", "20") == 3
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and str(out) in err and publish.STAGING_PREFIX not in err
    assert snapshot(out) == before


def test_a_new_output_folder_is_not_left_behind(scene, monkeypatch, capsys):
    a, b, out = scene
    fail_on(monkeypatch, "vectors.geojson", errno.ENOSPC)
    assert run_cli(a, b, "-o", out.parent / "new", "--quiet", *"--chip 24 --margin 12 --step 20".split()) == 3
    assert not (out.parent / "new").exists()


@pytest.mark.parametrize("sig, code", [(signal.SIGTERM, 143), (signal.SIGINT, 130)])
def test_a_killed_run_leaves_the_earlier_results_alone(tmp_path, sig, code):
    big = np.tile(textured(250, 250, seed=6), (6, 6))
    write_tif(tmp_path / "a.tif", big)
    write_tif(tmp_path / "b.tif", big)
    out = tmp_path / "out"
    out.mkdir()
    (out / "vectors.csv").write_text("old")
    proc = subprocess.Popen([sys.executable, "-m", "talmek_track", tmp_path / "a.tif", tmp_path / "b.tif", "-o", out,
                             "--chip", "64", "--margin", "32", "--step", "2", "--quiet", "--threads", "1"],
                            stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not any(p.name.startswith(publish.STAGING_PREFIX) for p in out.iterdir()):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    time.sleep(0.3)
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == code, err
    assert "nothing was written" in err
    assert sorted(p.name for p in out.iterdir()) == ["vectors.csv"] and (out / "vectors.csv").read_text() == "old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.tif", "b.tif", "out"]


@pytest.mark.parametrize("extra", [[], ["--format", "csv,plot"]])
def test_no_plot(scene, extra):
    a, b, out = scene
    (out / "vectors.png").unlink()
    assert run_cli(a, b, "-o", out, "--quiet", "--no-plot", *extra, *"--chip 24 --margin 12 --step 20".split()) == 0
    assert not (out / "vectors.png").exists() and (out / "vectors.csv").read_text().startswith("row1,")


def test_version():
    done = subprocess.run([sys.executable, "-m", "talmek_track", "--version"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.strip() == f"talmek-track {tt.cli.command._version()}"
    assert done.stdout.split()[1][0].isdigit()


def test_a_damaged_input_is_an_input_error_naming_file_and_window(scene, capsys):
    # The header reads, so the checks before matching pass; the tiles in the second half are gone.
    a, b, out = scene
    with open(b, "r+b") as f:
        f.truncate(os.path.getsize(b) // 2)
    before = snapshot(out)
    assert run_cli(a, b, "-o", out, "--quiet", *"--chip 24 --margin 12 --step 20".split()) == 1
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1
    assert f"cannot read {b} rows " in err and " columns " in err
    assert snapshot(out) == before


@pytest.mark.parametrize("path", ["blocks", "points"])
def test_a_native_failure_is_warned_once_with_its_reason(scene, monkeypatch, path):
    """Points that fail inside the native code (memory exhausted): one warning, worded alike on
    both paths, that carries the native reason, however many blocks failed."""
    from types import SimpleNamespace

    from talmek_track import _batch
    from talmek_track.matching import blocks
    from talmek_track.matching import engine as matching

    def failing(image1, image2, pairs, params, threads, progress, **windows):
        records, _, _ = _batch.match_points(image1, image2, pairs, params, threads, progress, **windows)
        return np.zeros_like(records), len(records), "std::bad_alloc"

    module = blocks if path == "blocks" else matching
    monkeypatch.setattr(module, "_batch", SimpleNamespace(match_points=failing))
    a, b, _ = scene
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if path == "blocks":
            records = tt.track_files(a, b, chip=24, margin=12, step=10, block_pixels=20_000).records
        else:
            image = textured(80, 80, 2)
            records = tt.match_points(image, image, [[40, 40]] * 3, [[40, 40]] * 3, tt.TrackOptions().params())
    failures = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    assert len(failures) == 1 and (records["active"] == tt.Status.error).all()
    assert str(failures[0].message) == (f"{len(records)} of {len(records)} points could not be matched inside the "
                                         "native code and hold all-zero records with status error (active 0): "
                                         "std::bad_alloc")


@pytest.mark.parametrize("shape, options", [
    ((400, 400), dict(step=(16, 400))),
    ((400, 400), dict(step=(400, 16))),
    ((60, 800), {}),
    ((800, 60), {}),
    ((800, 800), dict(block_pixels=500_000)),
    ((400, 400), dict(backend="dask", workers=1, threads=8)),
    ((2000, 2000), dict(backend="dask", workers=2, threads=32)),
], ids=["one-grid-row", "one-grid-column", "wide-strip", "tall-strip", "row-blocks", "cluster-1x8", "cluster-2x32"])
def test_blocks_at_the_image_edges_are_refined(tmp_path, shape, options):
    """A grid of one row or column, and blocks of one grid row (small blocks, or the many blocks
    cut for a cluster of many threads) whose windows the image's edges cut short of the
    refinement's halo: the blocks at both edges check their matches, and those whose spline patch
    the image holds are refined to the true sub-pixel shift. (The blocks are planned as for the
    cluster; none is started.)"""
    import synthetic
    from talmek_track.matching.refine import CHECKS
    from talmek_track.run.pair import plan_pair, prepare_sources

    dy, dx = 2.3, -1.6
    for name, image in zip(("a.tif", "b.tif"), synthetic.shifted_pair(shape, dy, dx, seed=5), strict=True):
        tifffile.imwrite(tmp_path / name, image)
    run = tt.TrackOptions(**options)
    params = run.params()
    sources = [tt.sources.readers.open_source(tmp_path / name).with_range(run.value_range)
               for name in ("a.tif", "b.tif")]
    params = prepare_sources(*sources, params, start_given=False)
    jobs = plan_pair(*sources, params, run).jobs
    assert len(jobs) > 2 or not {"block_pixels", "workers"} & set(options)
    edges = [tt.matching.blocks.match_block(job).records
             for job in {id(job): job for job in jobs[:2] + jobs[-2:]}.values()]
    records = np.concatenate(edges)
    accepted = records["active"] == tt.Status.accepted
    assert accepted.sum() > 10 and np.mean(records["check"][accepted] == CHECKS["passed"]) > 0.8
    refined = records[accepted & np.isfinite(records["refine_dx"])]
    assert len(refined) > 0 or min(shape) < 100 or "step" in options
    for error in (refined["x2"] - refined["x1"] + refined["refine_dx"] - dx,
                  refined["y1"] - refined["y2"] + refined["refine_dy"] - dy):
        assert np.abs(error).max(initial=0) < 0.15 and np.count_nonzero(np.abs(error) > 0.03) <= len(error) / 2
