"""Stacks of many pairs: everything checked before the first match, a failed pair costing only
itself, the plan and the report of a run."""

import time

import numpy as np
import pytest

tt = pytest.importorskip("talmek_track")
pytest.importorskip("rasterio")
pytest.importorskip("zarr")
from seasonal_stack import seasonal_stack, write_stack  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402

FLAGS = ["--chip", "32", "--margin", "8", "--step", "16", "--quiet"]


@pytest.fixture(scope="module")
def scenes(tmp_path_factory):
    """Four dated GeoTIFFs 18 days apart."""
    folder = tmp_path_factory.mktemp("scenes")
    return [str(p) for p in write_stack(seasonal_stack(size=96, count=4), folder)]


def _undated(scenes, tmp_path, k):
    import rasterio

    paths = list(scenes)
    with rasterio.open(scenes[k]) as src:
        profile, pixels = src.profile, src.read()
    paths[k] = str(tmp_path / "undated.tif")
    with rasterio.open(paths[k], "w", **profile) as dst:
        dst.write(pixels)
    return paths


@pytest.mark.parametrize(("flags", "undated", "message"), [
    (["--pairs", "all", "--invert", "10"], None, "a step of 10 days is shorter than every pair"),
    (["--pairs", "all", "--cube"], 2, "a cube needs every image's date; {path} has none"),
    (["--pairs", "all", "--invert", "36"], 1, "an inversion needs every image's date; {path}"),
    (["--pairs", "all", "--max-days", "40"], 3, "a time window needs every image's date; {path}"),
])
def test_a_stack_that_cannot_succeed_fails_before_any_match(scenes, tmp_path, capsys, flags, undated, message):
    paths = scenes if undated is None else _undated(scenes, tmp_path, undated)
    out = tmp_path / "out"
    began = time.monotonic()
    status = cli.main(["stack", *paths, "-o", str(out), *FLAGS, *flags])
    err = capsys.readouterr().err
    assert status == 2, err
    assert message.format(path=paths[undated] if undated is not None else "") in err
    assert time.monotonic() - began < 10
    assert not out.exists() or not any(out.iterdir())  # no pair matched, no cube begun


def _truncated(path, dtype=None):
    """The scene rewritten as tiles after its header, then cut: the header and tags read, the
    last tiles do not."""
    import rasterio

    with rasterio.open(path) as src:
        profile, pixels, tags = src.profile, src.read(), src.tags()
    if dtype is not None:
        pixels = pixels.astype(dtype) * 16 + 7
    profile.update(dtype=pixels.dtype.name, compress="deflate", tiled=True, blockxsize=32, blockysize=32)
    with rasterio.open(path, "w", **profile) as dst:
        dst.update_tags(**tags)  # before the pixels: the header stays at the start
        dst.write(pixels)
    with open(path, "r+b") as f:
        f.truncate(f.seek(0, 2) * 2 // 3)


@pytest.fixture(scope="module")
def broken(tmp_path_factory):
    """Six dated scenes 18 days apart: 1 truncated (fails in its blocks), 3 far away from the
    others, 4 truncated and 16-bit (fails when its value range is sampled, before any match)."""
    import rasterio
    from rasterio.transform import Affine

    folder = tmp_path_factory.mktemp("broken")
    paths = [str(p) for p in write_stack(seasonal_stack(size=96, count=6), folder)]
    _truncated(paths[1])
    _truncated(paths[4], np.uint16)
    with rasterio.open(paths[3], "r+") as ds:
        t = ds.transform
        ds.transform = Affine(t.a, 0, t.c + 100_000, 0, t.e, t.f)
    return paths


def _index(out):
    import csv

    with open(out / "pairs.csv", newline="") as f:
        return {(r["image1"].rsplit("_", 1)[-1][:2], r["image2"].rsplit("_", 1)[-1][:2]): r
                for r in csv.DictReader(f)}


@pytest.mark.parametrize("cluster", [[], ["--workers", "1", "--threads", "1"]], ids=["threads", "dask"])
def test_a_failed_pair_costs_only_itself(broken, tmp_path, capsys, cluster):
    if cluster:
        pytest.importorskip("dask.distributed")
    out = tmp_path / "out"
    status = cli.main(["stack", *broken, "--pairs", "all", "--max-days", "40", "-o", str(out), *FLAGS,
                       "--invert", "36", *cluster])
    err = capsys.readouterr().err
    assert status == cli.EXIT_PARTIAL, err
    index = _index(out)
    failed = {pair for pair, row in index.items() if row["failed"]}
    assert failed == {("00", "01"), ("01", "02"), ("01", "03"), ("02", "03"), ("03", "04"), ("03", "05"),
                      ("02", "04"), ("04", "05")}
    assert err.count("talmek-track: failed: ") == len(failed)
    assert "do not overlap" in index[("02", "03")]["failed"] and "scene_01.tif" in index[("00", "01")]["failed"]
    good = set(index) - failed
    assert good == {("00", "02")}  # 36 days apart; the rest of the window meets a bad scene
    for pair, row in index.items():
        assert (out / row["folder"] / "vectors.csv").is_file() if pair in good else row["folder"] == ""
    xr = pytest.importorskip("xarray")
    with xr.open_zarr(out / "cube.zarr") as cube, xr.open_dataset(out / "timeseries.nc") as series:
        assert cube.sizes["mid_date"] == len(good) and series.attrs["pairs"] == len(good)

    # the report, worst first: the failed pairs with their reasons, then the matched one
    assert cli.main(["report", str(out)]) == 0
    table = capsys.readouterr().out.splitlines()
    assert table[0].split()[:3] == ["pair", "date1", "date2"] and len(table) == 1 + len(index)
    assert all("scene_" in line and (" do not overlap" in line or "cannot read" in line) for line in table[1:-1])
    assert table[-1].split() == ["scene_00__scene_02", "2024-01-01", "2024-02-06", "36", "25",
                                 index[("00", "02")]["accepted"],
                                 f"{100 * int(index[('00', '02')]['accepted']) / 25:.0f}%"]
    assert cli.main(["report", str(tmp_path)]) == cli.EXIT_INPUT
    assert "not the output folder of a stack" in capsys.readouterr().err


def test_fail_fast_ends_at_the_first_failure_and_a_stack_without_a_good_pair_fails(broken, tmp_path, capsys):
    out = tmp_path / "out"
    usable = [p for k, p in enumerate(broken) if k != 3]
    assert cli.main(["stack", *usable, "--pairs", "all", "-o", str(out), *FLAGS, "--fail-fast"]) == cli.EXIT_INPUT
    err = capsys.readouterr().err  # scene 4's sample is read before any match
    assert f"cannot read {broken[4]} (its value-range sample)" in err
    assert not out.exists() or not any(out.iterdir())
    # one pair: the damaged file is named, not the output folder
    assert cli.main([broken[0], broken[4], "-o", str(out), *FLAGS]) == cli.EXIT_INPUT
    err = capsys.readouterr().err
    assert f"cannot read {broken[4]}" in err and str(out) not in err
    assert cli.main(["stack", broken[2], broken[3], "-o", str(out), *FLAGS]) == cli.EXIT_INPUT
    assert "do not overlap" in capsys.readouterr().err
    with pytest.raises(tt.InputError, match="do not overlap"):  # the library's default
        tt.match_stack([broken[2], broken[3], broken[5]], "all", progress=False, chip=32, margin=8, step=16)


def _tree(path):
    return sorted((str(p.relative_to(path)), p.stat().st_mtime_ns, p.read_bytes() if p.is_file() else b"")
                  for p in path.rglob("*"))


def test_a_dry_run_prints_the_plan_and_changes_nothing(scenes, broken, tmp_path, capsys):
    out = tmp_path / "out"
    assert cli.main(["stack", *scenes, "-o", str(out), *FLAGS, "--cube"]) == 0  # the consecutive pairs
    capsys.readouterr()
    before = _tree(out)
    assert cli.main(["stack", *scenes, "--pairs", "all", "-o", str(out), *FLAGS, "--cube", "--dry-run"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split("\t") == ["image1", "image2", "date1", "date2", "days", "plan"]
    plan = {(scenes.index(a), scenes.index(b)): (float(days), what)
            for a, b, _, _, days, what in (line.split("\t") for line in lines[1:])}
    assert plan == {(i, j): (18.0 * (j - i), "in the cube" if j == i + 1 else "match")
                    for i in range(4) for j in range(i + 1, 4)}
    assert _tree(out) == before

    assert cli.main(["stack", *broken, "--max-days", "20", "-o", str(tmp_path / "new"), *FLAGS,
                     "--dry-run"]) == cli.EXIT_PARTIAL
    rows = [line.split("\t") for line in capsys.readouterr().out.splitlines()[1:]]
    # scene 1 reads until its damaged tiles: only matching finds them
    assert [row[-1].split(":")[0] for row in rows] == ["match", "match", "failed", "failed", "failed"]
    assert not (tmp_path / "new").exists()


def _planned(capsys, paths):
    rows = [line.split("\t") for line in capsys.readouterr().out.splitlines()[1:]]
    return {(paths.index(r[0]), paths.index(r[1])) if r[1] else (paths.index(r[0]),): r[-1].split(":")[0]
            for r in rows}


@pytest.mark.parametrize(("flags", "expected"), [
    (["--max-pairs-per-image", "1"], {(0, 1), (2, 3)}),
    (["--max-pairs-per-image", "2"], {(0, 1), (1, 2), (2, 3), (0, 3)}),
    (["--min-overlap", "0.5", "--max-days", "40"], {(0, 1), (0, 2), (1, 2), (2, 4), (4, 5)}),
])
def test_archive_selection(scenes, broken, tmp_path, capsys, flags, expected):
    paths = broken if "--min-overlap" in flags else scenes
    status = cli.main(["stack", *paths, "--pairs", "all", "-o", str(tmp_path / "out"), *FLAGS, "--dry-run", *flags])
    got = _planned(capsys, paths)
    assert set(got) == expected  # scene 3 lies apart: its pairs are left out, not failed
    assert status == (cli.EXIT_PARTIAL if "failed" in got.values() else 0)
