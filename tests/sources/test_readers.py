"""Inputs from anywhere: pairs on different grids, remote files read once over HTTP, STAC items
and item collections; and the bad inputs of each, refused on one line before anything is
written."""
import json
import os
from datetime import UTC, datetime

import numpy as np
import pytest

from support import same_bits

tt = pytest.importorskip("talmek_track")
rasterio = pytest.importorskip("rasterio")
pytest.importorskip("scipy")
from rasterio.enums import Resampling  # noqa: E402
from rasterio.transform import from_origin  # noqa: E402
from rasterio.warp import calculate_default_transform, reproject  # noqa: E402

from glacier_scene import glacier_scene, write_scene  # noqa: E402
from serving import cog, quiet  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.run.pair import open_pair  # noqa: E402
from talmek_track.sources.readers import Window, open_source  # noqa: E402

RUN = dict(chip=32, margin=10, step=16, formats=[], plot=False)


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    folder = tmp_path_factory.mktemp("glacier")
    paths = write_scene(glacier_scene(320, seed=5), folder)
    # Image 2 as another sensor gives it: the neighbouring UTM zone, 15 m pixels.
    other = folder / "image2_zone34.tif"
    with rasterio.open(paths["image2"]) as src:
        transform, width, height = calculate_default_transform(src.crs, "EPSG:32634", src.width, src.height,
                                                               *src.bounds, resolution=15.0)
        profile = src.profile | dict(crs="EPSG:32634", transform=transform, width=width, height=height)
        with rasterio.open(other, "w", **profile) as dst:
            reproject(rasterio.band(src, 1), rasterio.band(dst, 1), resampling=Resampling.average,
                      src_nodata=0, dst_nodata=0)
            dst.update_tags(**src.tags())
    paths["other"] = other
    return paths


def accepted_speeds(result):
    field = result.vector_field
    return field.values["v"], field.status == int(tt.Status.accepted)


def test_pair_on_different_grids_matches_like_one_grid(scene):
    same = quiet(tt.track_files, scene["image1"], scene["image2"], **RUN)
    warped = quiet(tt.track_files, scene["image1"], scene["other"], **RUN)
    v_same, ok_same = accepted_speeds(same)
    v, ok = accepted_speeds(warped)
    both = ok & ok_same
    assert both.sum() >= 0.9 * ok_same.sum()
    # 10 m pixels 30 days apart: 1 px is 122 m/yr.
    assert np.median(np.abs(v - v_same)[both]) <= 15.0
    # The result lies on image 1's grid, and says how image 2 was read onto it.
    assert warped.grid_transform == same.grid_transform
    note = warped.vector_field.attrs["grid"]
    assert note.startswith("image 2 resampled (cubic) from EPSG:32634, 15 per pixel")
    assert "grid" not in same.vector_field.attrs


@pytest.mark.parametrize("grid, warped, crs", [
    ("second", (True, False), "EPSG:32634"),
    ("EPSG:32634,20", (True, True), "EPSG:32634"),
])
def test_chosen_grid(scene, tmp_path, grid, warped, crs):
    opts = tt.TrackOptions(grid=grid, **(RUN | dict(formats=["tif", "plot"], plot=True)))
    s1, s2 = open_pair(scene["image1"], scene["other"], opts)
    assert (s1.warp is not None, s2.warp is not None) == warped
    assert s1.shape == s2.shape and s1.transform == s2.transform and s1.crs == crs
    result = quiet(tt.track_files, scene["image1"], scene["other"], tmp_path / "out", options=opts)
    assert (result.vector_field.status == int(tt.Status.accepted)).sum() > 5
    with rasterio.open(tmp_path / "out" / "vectors.tif") as ds:
        assert ds.crs == crs and ds.tags()["grid"].startswith("image 1 resampled (cubic) from EPSG:32633, 10")
    assert (tmp_path / "out" / "vectors.png").stat().st_size > 0


def test_warp_onto_the_images_own_grid_changes_nothing(scene):
    plain = quiet(tt.track_files, scene["image1"], scene["image2"], **RUN)
    warped = quiet(tt.track_files, scene["image1"], scene["image2"], grid="EPSG:32633,10", **RUN)
    assert "grid" in warped.vector_field.attrs
    assert same_bits(warped.records, plain.records)


def test_warped_windows_read_as_the_whole(scene):
    """Blocks read windows of the warped image; each must equal that part of the whole."""
    s1, s2 = open_pair(scene["image1"], scene["other"], tt.TrackOptions())
    s2 = quiet(s2.with_range, "auto")
    whole, invalid = s2.read()
    window = Window(37, 151, 80, 301)
    part, part_invalid = s2.read(window)
    assert same_bits(part, whole[37:151, 80:301]) and same_bits(part_invalid, invalid[37:151, 80:301])
    # The value range is the file's own, as without the warp.
    plain = quiet(open_source(str(scene["other"])).with_range, "auto")
    assert plain.value_range == s2.value_range
    # Outside image 2's file (its swath edge runs through the grid) pixels are missing.
    assert invalid.any() and not invalid.all()


def test_pairs_that_do_not_overlap(tmp_path, capsys):
    image = (np.arange(64 * 64) % 251).astype(np.uint8).reshape(64, 64)
    for name, crs, west in (("a.tif", "EPSG:32633", 500000.0), ("b.tif", "EPSG:32634", 500000.0)):
        with rasterio.open(tmp_path / name, "w", driver="GTiff", width=64, height=64, count=1, dtype="uint8",
                           crs=crs, transform=from_origin(west, 6000000.0, 10.0, 10.0)) as ds:
            ds.write(image, 1)
    out = tmp_path / "out"
    assert cli.main([str(tmp_path / "a.tif"), str(tmp_path / "b.tif"), "-o", str(out), "--quiet"]) == 1
    err = capsys.readouterr().err.strip()
    assert "do not overlap" in err and "EPSG:32633" in err and "EPSG:32634" in err
    assert "x 500000..500640" in err and len(err.splitlines()) == 1
    assert not out.exists()


@pytest.mark.parametrize("argv, message", [
    (["--grid", "third"], "--grid must be 'first', 'second' or 'EPSG:CODE,RES'"),
    (["--grid", "EPSG:32633,0"], "--grid must be"),
    (["--grid", "EPSG:32633"], "--grid must be"),
])
def test_grid_option_checked(scene, tmp_path, capsys, argv, message):
    code = cli.main([str(scene["image1"]), str(scene["image2"]), "-o", str(tmp_path / "o"), *argv])
    assert code == 2 and message in capsys.readouterr().err


# --- over HTTP ----------------------------------------------------------------------------------

@pytest.mark.parametrize("prefix", ["", "/vsicurl/"])
def test_remote_files_read_once_with_the_same_results(scene, server, prefix):
    folder, url, handler = server
    for name in ("image1", "image2"):
        cog(scene[name], folder / f"{name}.tif")
    local = quiet(tt.track_files, folder / "image1.tif", folder / "image2.tif", **RUN)
    handler.sent = 0
    remote = quiet(tt.track_files, f"{prefix}{url}/image1.tif", f"{prefix}{url}/image2.tif", **RUN)
    size = sum(os.path.getsize(folder / f"{n}.tif") for n in ("image1", "image2"))
    assert handler.sent <= 1.5 * size
    assert same_bits(remote.records, local.records)
    assert same_bits(remote.vector_field.values["v"], local.vector_field.values["v"])


def test_http_error_is_one_line_and_writes_nothing(scene, server, tmp_path, capsys):
    folder, url, handler = server
    out = tmp_path / "out"
    code = cli.main([str(scene["image1"]), f"{url}/missing.tif", "-o", str(out), "--quiet"])
    err = capsys.readouterr().err.strip()
    assert code == 1 and len(err.splitlines()) == 1 and "HTTP error 404" in err
    assert not out.exists()


# --- STAC ---------------------------------------------------------------------------------------

pystac = pytest.importorskip("pystac")


def _item(ident, href, when, assets=None):
    return {
        "type": "Feature", "stac_version": "1.0.0", "id": ident,
        "geometry": None, "properties": {"datetime": when}, "links": [],
        "assets": assets if assets is not None else {
            "thumbnail": {"href": "thumb.png", "roles": ["thumbnail"]},
            "red": {"href": href, "roles": ["data"]},
        },
    }


def _write(path, document):
    path.write_text(json.dumps(document))
    return path


@pytest.mark.parametrize("served", [False, True])
def test_stac_items_as_inputs(scene, server, tmp_path, served):
    folder, url, handler = server
    for name in ("image1", "image2"):
        (folder / f"{name}.tif").write_bytes(scene[name].read_bytes())
    where = folder if served else tmp_path
    # Relative asset addresses: next to the item, locally or on the server.
    if not served:
        for name in ("image1", "image2"):
            (tmp_path / f"{name}.tif").write_bytes(scene[name].read_bytes())
    a = _write(where / "a.json", _item("a", "image1.tif", "2024-06-01T10:00:00Z"))
    b = _write(where / "b.json", _item("b", "image2.tif", "2024-07-01T10:00:00Z"))
    items = (f"{url}/a.json", f"{url}/b.json") if served else (a, b)
    result = quiet(tt.track_files, *items, **RUN)
    assert result.vector_field.dates == (datetime(2024, 6, 1, 10, tzinfo=UTC), datetime(2024, 7, 1, 10, tzinfo=UTC)) \
        or result.vector_field.dt_days == pytest.approx(30.0)
    plain = quiet(tt.track_files, scene["image1"], scene["image2"], **RUN)
    assert same_bits(result.records, plain.records)


def test_stack_of_an_item_collection(scene, tmp_path):
    for name in ("image1", "image2"):
        (tmp_path / f"{name}.tif").write_bytes(scene[name].read_bytes())
    collection = {"type": "FeatureCollection", "features": [
        _item("a", "image1.tif", "2024-06-01T00:00:00Z"), _item("b", "image2.tif", "2024-07-01T00:00:00Z")]}
    path = _write(tmp_path / "items.json", collection)
    out = tmp_path / "out"
    assert quiet(cli.main, ["stack", str(path), "-o", str(out), "--quiet", "--chip", "32", "--margin", "10",
                            "--format", "csv", "--no-plot"]) == 0
    assert "2024-06-01" in (out / "pairs.csv").read_text()


@pytest.mark.parametrize("item, argv, message", [
    (_item("x", "image1.tif", "2024-06-01T00:00:00Z"), ["--asset", "nir"],
     "item x has no asset 'nir'; its assets: thumbnail, red"),
    (_item("x", "image1.tif", None) | {"properties": {"datetime": None, "start_datetime": None}}, [],
     "has no datetime"),
    (_item("x", "image1.tif", "2024-06-01T00:00:00Z", assets={"a": {"href": "image1.tif"},
                                                              "b": {"href": "image1.tif"}}), [],
     "no asset with the role 'data'; choose one by its name (--asset): a, b"),
])
def test_bad_stac_items(scene, tmp_path, capsys, item, argv, message):
    (tmp_path / "image1.tif").write_bytes(scene["image1"].read_bytes())
    path = _write(tmp_path / "item.json", item)
    out = tmp_path / "out"
    code = cli.main([str(path), str(scene["image2"]), "-o", str(out), "--quiet", *argv])
    err = capsys.readouterr().err.strip()
    assert code == 1 and message in err and len(err.splitlines()) == 1
    assert not out.exists()


def test_item_without_datetime_takes_the_dates_given(scene, tmp_path):
    (tmp_path / "image1.tif").write_bytes(scene["image1"].read_bytes())
    item = _item("x", "image1.tif", None)
    item["properties"].update(start_datetime="2024-06-01T00:00:00Z", end_datetime="2024-06-02T00:00:00Z")
    path = _write(tmp_path / "item.json", item)
    result = quiet(tt.track_files, path, scene["image2"], dates="2024-06-01,2024-07-01", **RUN)
    assert result.vector_field.dt_days == pytest.approx(30.0)


def test_warped_pair_on_dask_workers(scene):
    """Workers open the warp themselves from the job's description."""
    distributed = pytest.importorskip("distributed")
    local = quiet(tt.track_files, scene["image1"], scene["other"], **RUN)
    with (distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                   dashboard_address=":0") as cluster,
          distributed.Client(cluster, set_as_default=False) as client):
        remote = quiet(tt.track_files, scene["image1"], scene["other"], backend="dask", client=client, **RUN)
    assert same_bits(remote.records, local.records)


@pytest.mark.parametrize("href, policy, refused", [
    ("image1.tif", {}, None),
    ("sub/../image1.tif", {}, None),
    ("{items}/image1.tif", {}, None),
    ("../outside.tif", {}, "lies outside the item's folder"),
    ("{root}/outside.tif", {}, "lies outside the item's folder"),
    ("file://{root}/outside.tif", {}, "lies outside the item's folder"),
    ("link.tif", {}, "lies outside the item's folder"),  # a link inside to a file outside
    ("/vsizip/{root}/a.zip/a.tif", {}, "neither a file nor an HTTP"),
    ("ftp://example.org/a.tif", {}, "neither a file nor an HTTP"),
    ("../outside.tif", {"allow_any_source": True}, None),
    ("https://example.org/a.tif", {}, None),
    ("https://example.org/a.tif", {"allow_remote": False}, "is remote"),
])
def test_stac_assets_stay_in_the_items_place(scene, tmp_path, href, policy, refused):
    from talmek_track.options.values import SourcePolicy
    from talmek_track.sources.stac import item_image

    items = tmp_path / "items"
    items.mkdir()
    (items / "image1.tif").write_bytes(scene["image1"].read_bytes())
    (tmp_path / "outside.tif").write_bytes(scene["image1"].read_bytes())
    (items / "link.tif").symlink_to(tmp_path / "outside.tif")
    text = href.format(items=items, root=tmp_path)
    path = _write(items / "item.json", _item("x", text, "2024-06-01T00:00:00Z"))
    if refused is None:
        assert item_image(path, policy=SourcePolicy(**policy)).href.endswith(text.rsplit("/", 1)[-1])
    else:
        with pytest.raises(tt.InputError, match=refused):
            item_image(path, policy=SourcePolicy(**policy))


@pytest.mark.parametrize("href", ["{root}/image1.tif", "../image1.tif", "file://{root}/image1.tif"])
def test_a_remote_item_names_no_file_of_this_machine(scene, server, tmp_path, href):
    folder, url, handler = server
    (folder / "items").mkdir()
    _write(folder / "items" / "item.json", _item("x", href.format(root=tmp_path), "2024-06-01T00:00:00Z"))
    (tmp_path / "image1.tif").write_bytes(scene["image1"].read_bytes())
    with pytest.raises(tt.InputError, match="the asset .* (lies outside|neither a file)"):
        tt.track_files(f"{url}/items/item.json", scene["image2"], **RUN)


def test_no_remote_reads_nothing_over_the_network(scene, server, tmp_path, capsys):
    folder, url, handler = server
    (folder / "image1.tif").write_bytes(scene["image1"].read_bytes())
    item = _write(tmp_path / "item.json", _item("x", f"{url}/image1.tif", "2024-06-01T00:00:00Z"))
    for first in (item, f"{url}/image1.tif", f"{url}/item.json"):
        code = cli.main([str(first), str(scene["image2"]), "-o", str(tmp_path / "out"), "--no-remote", "--quiet"])
        err = capsys.readouterr().err
        assert code == 1 and "--no-remote" in err and len(err.splitlines()) == 1, err
    assert handler.requests == 0 and not (tmp_path / "out").exists()
