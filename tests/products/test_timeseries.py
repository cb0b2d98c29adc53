"""Velocity cubes of stacks and their inversion into regular time steps."""

import signal
import subprocess
import sys
import textwrap
import time
from datetime import UTC, datetime, timedelta

import numpy as np
import pytest

tt = pytest.importorskip("talmek_track")
xr = pytest.importorskip("xarray")
pytest.importorskip("zarr")
pytest.importorskip("rasterio")
from test_products import cf_problems  # noqa: E402

from seasonal_stack import seasonal_stack, write_stack  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.errors import OptionError  # noqa: E402
from talmek_track.output.cube import open_cube  # noqa: E402
from talmek_track.run.series import invert_series  # noqa: E402

START = np.datetime64("2024-01-01T00:00:00", "ms")
DAY = np.timedelta64(86_400_000, "ms")
MATCH = dict(chip=32, margin=8, step=16, progress=False)


def synthetic_cube(truth, days=12, max_gap=4, shape=(3, 4), noise=0.0, seed=0):
    """A cube of every pair of images ``days`` apart up to ``max_gap`` images, measuring the
    interval mean of a velocity that is ``truth[k]`` over the k-th ``days``-day interval."""
    rng = np.random.default_rng(seed)
    n = len(truth) + 1
    pairs = [(i, j) for i in range(n) for j in range(i + 1, min(n, i + max_gap + 1))]
    d1 = np.array([START + i * days * DAY for i, _ in pairs])
    d2 = np.array([START + j * days * DAY for _, j in pairs])
    obs = np.array([np.mean(truth[i:j]) for i, j in pairs])
    vx = obs[:, None, None] + rng.normal(0, noise, (len(pairs), *shape)) if noise else \
        np.broadcast_to(obs[:, None, None], (len(pairs), *shape)).copy()
    err = np.ones_like(vx)
    dims = ("mid_date", "y", "x")
    return xr.Dataset(
        {"vx": (dims, vx, {"units": "m/yr"}), "vy": (dims, -0.5 * vx), "vx_error": (dims, err),
         "vy_error": (dims, err)},
        coords={"mid_date": d1 + (d2 - d1) / 2, "acquisition_date_img1": ("mid_date", d1),
                "acquisition_date_img2": ("mid_date", d2), "y": np.arange(shape[0]) * -10.0,
                "x": np.arange(shape[1]) * 10.0})


SEASON = np.array([100.0, 130, 180, 240, 260, 220, 160, 120])


@pytest.mark.parametrize("damage", ["none", "outlier", "holes", "dask"])
def test_inversion_recovers_a_known_series(damage):
    cube = synthetic_cube(SEASON)
    if damage == "outlier":  # one pair of one point wildly off: reweighting takes it out
        cube["vx"][5, 1, 2] = 900.0
    elif damage == "holes":  # pairs missing at some points
        cube["vx"][[0, 7, 12], 0, :] = np.nan
    elif damage == "dask":
        cube = cube.chunk({"mid_date": 7, "y": 2, "x": 2})
    series = invert_series(cube, 12).compute()
    assert series.sizes["time"] == len(SEASON)
    # steps that only sums of pairs pin take a little of the regularisation's smoothing
    tolerance = 1.0 if damage == "holes" else 0.5
    assert np.allclose(series["vx"].values, SEASON[:, None, None], atol=tolerance)
    assert np.allclose(series["vy"].values, -0.5 * SEASON[:, None, None], atol=tolerance)
    assert np.allclose(series["v"], np.hypot(series["vx"], series["vy"]))
    bounds = series["time_bounds"].values
    assert (bounds[:, 1] - bounds[:, 0] == np.timedelta64(12, "D")).all()
    assert (series["time"].values == bounds[:, 0] + np.timedelta64(6, "D")).all()
    assert (series["vx_error"] > 0).all() and (series["vx_error"] < 5).all()


def test_longer_steps_give_the_mean_and_unmeasured_steps_none():
    coarse = np.array([100.0, 200, 250, 150])
    series = invert_series(synthetic_cube(np.repeat(coarse, 2)), 24).compute()
    assert np.allclose(series["vx"][:, 0, 0], coarse, atol=0.5)
    cube = synthetic_cube(SEASON)
    cube["vx"][:, 2, 3] = np.nan  # a point no pair measures
    assert np.isnan(invert_series(cube, 12)["vx"][:, 2, 3]).all()


def test_inversion_beats_pairs_at_their_mid_dates_with_noise():
    cube = synthetic_cube(SEASON, noise=3.0, shape=(10, 10))
    series = invert_series(cube, 12).compute()
    rms = float(np.sqrt(((series["vx"] - xr.DataArray(SEASON, dims="time")) ** 2).mean()))
    assert rms < 3.0


@pytest.mark.parametrize(("step", "message"), [(6, "shorter than every pair"),
                                               (0, "positive"), (float("nan"), "positive"),
                                               (True, "positive")])
def test_bad_steps_are_refused(step, message):
    with pytest.raises(OptionError, match=message):
        invert_series(synthetic_cube(SEASON), step)


@pytest.mark.parametrize(("keywords", "message"), [
    (dict(start="1900-01-01"), "would be 3783, more than the 1000 that can be solved"),
    (dict(robust=10**9), "robust must be a whole number from 0 to 100"),
])
def test_work_beyond_reach_is_refused(keywords, message):
    with pytest.raises(OptionError, match=message):
        invert_series(synthetic_cube(SEASON), 12, **keywords)


def test_a_cube_without_dates_is_refused():
    cube = synthetic_cube(SEASON)
    cube["acquisition_date_img1"] = ("mid_date", np.full(cube.sizes["mid_date"], np.datetime64("NaT", "ms")))
    with pytest.raises(OptionError, match="both acquisition dates"):
        invert_series(cube, 12)


def _undated_stack(tmp_path):
    import imageio.v3 as iio

    stack = seasonal_stack(size=96, count=3)
    paths = []
    for k, image in enumerate(stack.images):
        paths.append(str(tmp_path / f"plain_{k}.png"))
        iio.imwrite(paths[-1], image)
    return paths


@pytest.mark.parametrize("keywords", [{"cube": True}, {"invert": 36.0}])
def test_a_cube_needs_every_date(tmp_path, keywords):
    with pytest.raises(OptionError, match="date"):
        tt.match_stack(_undated_stack(tmp_path), "all", tmp_path / "out", **MATCH, **keywords)
    assert not (tmp_path / "out" / "cube.zarr").exists()


@pytest.mark.parametrize(("flags", "message"), [(["--invert", "0"], "positive"),
                                                (["--invert", "x"], "not a number")])
def test_command_refuses_bad_steps(tmp_path, capsys, flags, message):
    with pytest.raises(SystemExit) as e:
        cli.main(["stack", "a.tif", "b.tif", "-o", str(tmp_path / "out"), *flags])
    assert e.value.code == 2 and message in capsys.readouterr().err


KILLED_RUN = textwrap.dedent("""
    import sys
    import talmek_track as tt
    tt.match_stack(sys.argv[2:], "all", sys.argv[1], max_days=54, chip=32, margin=8, step=16,
                   progress=False, keep=False, cube=True)
""")


def test_cube_after_a_killed_run_is_readable_and_a_rerun_completes_it(tmp_path):
    stack = seasonal_stack(size=128, count=7, band=0.6)
    paths = [str(p) for p in write_stack(stack, tmp_path / "images")]
    out = tmp_path / "out"
    cube_path = out / "cube.zarr"
    proc = subprocess.Popen([sys.executable, "-c", KILLED_RUN, str(out), *paths],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and proc.poll() is None:
            if (cube_path / ".zmetadata").exists():
                with open_cube(cube_path) as ds:
                    if ds.sizes["mid_date"] >= 3:
                        break
            time.sleep(0.05)
        assert proc.poll() is None, proc.stderr.read().decode() if proc.stderr else ""
        proc.send_signal(signal.SIGKILL)
        proc.wait()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        if proc.stderr:
            proc.stderr.close()

    # readable as it was left, by xarray alone: whole pairs only
    with xr.open_zarr(cube_path, consolidated=True) as ds:
        done = ds.sizes["mid_date"]
        assert 3 <= done < 15
        assert np.isfinite(ds["vx"].values).any(axis=(1, 2)).all()
        assert not np.isnat(ds["acquisition_date_img2"].values).any()

    result = tt.match_stack(paths, "all", out, max_days=54, invert=36, **MATCH)
    assert len(result.results) == 15 - done  # only the missing pairs were matched
    assert len(result.pairs) == 15 and result.index is not None
    with xr.open_zarr(cube_path, consolidated=True) as ds:
        assert ds.sizes["mid_date"] == 15
        keys = set(zip(ds["acquisition_date_img1"].values.tolist(), ds["acquisition_date_img2"].values.tolist()))
        assert len(keys) == 15
        assert ds["vx"].encoding["chunks"][0] == 15  # rechunked for reads along time
        assert (np.diff(ds["mid_date"].values) >= np.timedelta64(0, "s")).all()

    # the series at the centreline follows the seasonal truth
    assert result.series is not None
    with xr.open_dataset(result.series) as series:
        rows = (7_600_000.0 - series["y"].values) / 10 - 0.5
        centre = int(np.argmin(np.abs(rows - stack.centre_row)))
        got = series["vx"].isel(y=centre).values[:, 2:-2]
        for k, (a, b) in enumerate(series["time_bounds"].values):
            t0, t1 = (datetime.fromtimestamp(v.astype("datetime64[s]").astype(int), UTC) for v in (a, b))
            if t1 <= stack.dates[-1]:
                assert abs(np.nanmedian(got[k]) - stack.step_truth(t0, t1)) < 12


def test_stack_command_warns_once_per_image_and_writes_the_series(tmp_path, capsys):
    import rasterio
    from rasterio.transform import Affine

    stack = seasonal_stack(size=96, count=4)
    paths = []
    for k, image in enumerate(stack.images):
        paths.append(str(tmp_path / f"wide_{k}.tif"))
        with rasterio.open(paths[-1], "w", driver="GTiff", height=96, width=96, count=1,
                           dtype="uint16", crs="EPSG:32633", transform=Affine(*stack.transform)) as ds:
            ds.write(image.astype(np.uint16) * 16 + 7, 1)
            ds.update_tags(ACQUISITION_DATE=(datetime(2024, 1, 1) + timedelta(days=18 * k)).isoformat())
    status = cli.main(["stack", *paths, "--pairs", "all", "-o", str(tmp_path / "out"),
                       "--chip", "32", "--margin", "8", "--step", "16", "--invert", "36"])
    err = capsys.readouterr().err
    assert status == 0, err
    warned = [line for line in err.splitlines() if "stretched to 8 bits" in line]
    assert len(warned) == 1 and "4 images stretched to 8 bits: " in warned[0], err
    for path in paths:
        assert warned[0].count(path) == 1, err
    with xr.open_dataset(tmp_path / "out" / "timeseries.nc") as series:
        assert series.sizes["time"] == 2 and series.attrs["pairs"] == 6
        # the last step ends with the last image (54 days on), not a whole step (72 days) on
        last = np.datetime64("2024-01-01") + np.timedelta64(54, "D")
        assert series["time_bounds"].values[-1, 1] == last
        assert series["time"].values[-1] == last - np.timedelta64(9, "D")
        assert series.attrs["source"].startswith("Talmek ") and "talmek_settings" in series.attrs
        assert series["acquisition_date_img2"].values.max() == last and series.sizes["pair"] == 6
    count, messages = cf_problems(tmp_path / "out" / "timeseries.nc", tmp_path)
    assert count == 0, messages


# --- what a cube run finds at its paths --------------------------------------------------------------

CUBE_FLAGS = ["--chip", "32", "--margin", "8", "--step", "16", "--quiet", "--cube"]


@pytest.fixture(scope="module")
def small_cube(tmp_path_factory):
    """Three images and the stack's output folder with its cube of two pairs."""
    folder = tmp_path_factory.mktemp("cube")
    paths = [str(p) for p in write_stack(seasonal_stack(size=96, count=3), folder / "images")]
    assert cli.main(["stack", *paths, "-o", str(folder / "out"), *CUBE_FLAGS]) == 0
    return paths, folder / "out"


def _stack_command(paths, out, capsys, *more):
    status = cli.main(["stack", *paths, "-o", str(out), *CUBE_FLAGS, *more])
    return status, capsys.readouterr().err


def _tree(path):
    return sorted((str(p.relative_to(path)), p.read_bytes() if p.is_file() else b"") for p in path.rglob("*"))


@pytest.mark.parametrize("kind", ["files", "zarr3", "unconsolidated", "old"])
def test_a_folder_that_is_no_cube_of_ours_is_never_replaced(small_cube, tmp_path, capsys, kind):
    import zarr

    paths, _ = small_cube
    out = tmp_path / "out"
    target = out / ("cube.zarr.old" if kind == "old" else "cube.zarr")
    target.mkdir(parents=True)
    if kind in ("files", "old"):
        (target / "mine.txt").write_text("keep me")
    else:
        zarr.open_group(target, mode="w", zarr_format=3 if kind == "zarr3" else 2).attrs["x"] = 1
    before = _tree(target)
    status, err = _stack_command(paths, out, capsys)
    assert status == 1 and len(err.splitlines()) == 1, err
    assert "left as it is" in err and _tree(target) == before


def test_the_output_folder_is_never_the_cube(small_cube, tmp_path):
    paths, _ = small_cube
    for out in (tmp_path / "new", tmp_path / "mine"):
        if out.name == "mine":
            out.mkdir()
            (out / "keep.txt").write_text("x")
        with pytest.raises(OptionError, match="cannot hold the output folder"):
            tt.match_stack(paths, "consecutive", out, cube=out, **MATCH)
    assert (tmp_path / "mine" / "keep.txt").read_text() == "x"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["mine"]


def _forge_key(cube):
    import json

    meta = json.loads((cube / ".zmetadata").read_text())
    meta["metadata"]["../../escaped/.zarray"] = meta["metadata"]["vx/.zarray"]
    (cube / ".zmetadata").write_text(json.dumps(meta))


@pytest.mark.parametrize(("damage", "message"), [
    (lambda cube: (cube / ".zmetadata").write_text("{bad"), "metadata (.zmetadata) cannot be read"),
    (_forge_key, "which is no file of the cube"),
    (lambda cube: (cube / "vx" / "0.0.0").unlink(), "damaged: its chunk vx/0.0.0 is missing"),
    (lambda cube: None, "other settings (--chip 32,32 there, 40,40 now)"),
], ids=["corrupt", "traversal", "chunk", "settings"])
def test_a_cube_that_cannot_be_trusted_is_refused_in_one_line(small_cube, tmp_path, capsys, damage, message):
    import shutil

    paths, made = small_cube
    out = tmp_path / "run" / "out"
    shutil.copytree(made, out)
    (tmp_path / "run" / "escaped").mkdir()  # where the forged key points
    damage(out / "cube.zarr")
    status, err = _stack_command(paths, out, capsys, *(["--chip", "40"] if "settings" in message else []))
    assert status == 1 and len(err.splitlines()) == 1 and message in err, err
    assert not list((tmp_path / "run" / "escaped").iterdir())
    if "chunk" in message:
        with pytest.raises(tt.InputError, match="damaged"):
            invert_series(out / "cube.zarr", 20)


def test_a_rerun_that_changes_only_how_it_runs_keeps_the_cube(small_cube, tmp_path, capsys):
    import shutil

    paths, made = small_cube
    shutil.copytree(made, tmp_path / "out")
    status, err = _stack_command(paths, tmp_path / "out", capsys, "--threads", "1", "--no-plot")
    assert status == 0, err
    with open_cube(tmp_path / "out" / "cube.zarr") as ds:
        assert ds.sizes["mid_date"] == 2 and np.isfinite(ds["vx"].values).any(axis=(1, 2)).all()


@pytest.mark.parametrize("left", ["swap cut", "first pair not moved in", "rewrite cut", "old not removed"])
def test_repair_finishes_or_undoes_what_an_earlier_cube_writer_left(small_cube, tmp_path, capsys, left):
    """Earlier releases built cubes in cube.zarr.new and swapped them in through cube.zarr.old."""
    import shutil

    _, made = small_cube
    out = tmp_path / "out"
    shutil.copytree(made, out)
    cube, new, old = out / "cube.zarr", out / "cube.zarr.new", out / "cube.zarr.old"
    with open_cube(cube) as ds:
        expected = ds.load()
    if left == "swap cut":
        shutil.copytree(cube, new)
        cube.rename(old)
    elif left == "first pair not moved in":
        cube.rename(new)
    elif left == "rewrite cut":
        shutil.copytree(cube, new)
        (new / ".zmetadata").unlink()  # a store half-written
    else:
        shutil.copytree(cube, old)
    assert cli.main(["repair", str(out)]) == 0
    assert "cube.zarr:" in capsys.readouterr().err
    assert not new.exists() and not old.exists()
    with open_cube(cube) as ds:
        xr.testing.assert_identical(ds.load(), expected)
