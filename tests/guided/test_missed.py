"""A run says what its search could not reach: the points at the search limit counted in
run.json, and one warning naming the option, with a value that does reach them."""

import json

import pytest

pytest.importorskip("rasterio")
pytest.importorskip("scipy")
pytest.importorskip("tqdm")

from glacier_scene import _wide_glacier, glacier_scene, write_scene  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402

#: A glacier moving up to 12 px: twice what the default search reaches.
SPEED = 12.0


@pytest.fixture(scope="module")
def fast(tmp_path_factory):
    scene = glacier_scene(400, 5, flow=lambda shape: _wide_glacier(shape, 120, SPEED), clouds=False,
                          iterations=20)
    return scene, write_scene(scene, tmp_path_factory.mktemp("fast"))


def command(paths, folder, *flags):
    code = cli.main([str(paths["image1"]), str(paths["image2"]), "-o", str(folder),
                     "--format", "run", *flags])
    assert code == 0
    return json.loads((folder / "run.json").read_text())["attrs"]


def reach_warnings(capsys):
    return [line for line in capsys.readouterr().err.splitlines() if "warning:" in line and "search limit" in line]


@pytest.mark.parametrize("flags, hint", [
    ((), "--margin="),
    (("--max-speed", "700"), "--max-speed="),  # 5.75 px planned for 12 px of motion
])
def test_a_run_that_misses_the_motion_names_the_option_that_reaches_it(fast, tmp_path, capsys, flags, hint):
    scene, paths = fast
    attrs = command(paths, tmp_path / "first", *flags)
    said = reach_warnings(capsys)
    assert len(said) == 1 and hint in said[0]
    at_limit = attrs["search_limit_border"] + attrs["search_limit_too_far"]
    assert at_limit > 0.02 * attrs["matchable_points"]
    assert f"{at_limit} of {attrs['matchable_points']} matchable points" in said[0]
    assert said[0].endswith("would reach them")
    told = said[0].split()[-4]
    assert told.startswith(hint)
    assert attrs["search_limit_hint"] == told[2:].replace("-", "_")
    if flags:
        assert attrs["beyond_reach"] > 0.02 * attrs["matchable_points"]
        assert float(told[len(hint):]) * scene.dt_days / 365.25 / scene.pixel > SPEED
    # Run again as told: the motion is reached, and nothing more is said.
    again = command(paths, tmp_path / "again", told)
    assert reach_warnings(capsys) == []
    assert again["search_limit_border"] + again["search_limit_too_far"] <= 0.02 * again["matchable_points"]
    assert "search_limit_hint" not in again


def test_a_search_that_reaches_the_motion_says_nothing(tmp_path, capsys):
    scene = glacier_scene(320, 7, flow=lambda shape: _wide_glacier(shape, 100, 3.0), clouds=False)
    paths = write_scene(scene, tmp_path / "slow")
    attrs = command(paths, tmp_path / "out")
    assert reach_warnings(capsys) == []
    assert attrs["matchable_points"] > 200 and "search_limit_hint" not in attrs
    assert attrs["search_limit_border"] + attrs["search_limit_too_far"] <= 0.02 * attrs["matchable_points"]
