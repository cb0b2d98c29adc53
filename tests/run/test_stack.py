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
    (["--pairs", "all", "--cube"], 2, "a cube needs every image's acquisition date and {path} has none"),
    (["--pairs", "all", "--invert", "36"], 1, "an inversion needs every image's acquisition date and {path}"),
    (["--pairs", "all", "--max-days", "40"], 3, "a time window needs every image's acquisition date and {path}"),
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
