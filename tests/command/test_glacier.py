"""Velocities against a known truth: the stable-ground offset removed, sub-pixel refinement free
of peak locking, errors that cover the real error, blunders at clouds rejected, and the inputs
these take (masks on other grids, too few stable vectors)."""

import warnings

import numpy as np
import pytest

pytest.importorskip("rasterio")
pytest.importorskip("scipy")

import talmek_track as tt  # noqa: E402
from glacier_scene import OFFSET, glacier_scene, write_scene  # noqa: E402
from support import same_bits  # noqa: E402
from synthetic import shift  # noqa: E402
from talmek_track.errors import InputError, OptionError  # noqa: E402

SIZE = 600
GRID = dict(chip=32, margin=10, step=16)
PLAIN = dict(refine="none", backmatch=None, similarity=None, saturation=False)


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    scene = glacier_scene(SIZE)
    return scene, write_scene(scene, tmp_path_factory.mktemp("glacier"))


def run(paths, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return tt.track_files(paths["image1"], paths["image2"], **GRID, **options)


def truth_of(scene, result):
    rows, cols = result.records["row1"].astype(int), result.records["col1"].astype(int)
    return rows, cols, *scene.truth(rows, cols)


def test_the_offset_is_removed_and_refinement_measures_it_whole(scene):
    scene, paths = scene
    before = run(paths, stable=str(paths["stable"]), **PLAIN)
    after = run(paths, stable=str(paths["stable"]))
    for result in (before, after):
        field = result.vector_field
        assert field.attrs["stable_shift_method"] == "mask" and field.attrs["stable_shift_count"] > 100
        assert field.attrs["stable_shift_vx"] == pytest.approx(field.stable_shift.dx * scene.px_per_year)
    # Peak locking pulls the fit's offset towards whole pixels; refined, it is the true one.
    (bx, by), (ax, ay) = ((r.vector_field.stable_shift.dx, r.vector_field.stable_shift.dy) for r in (before, after))
    assert abs(ax - OFFSET[0]) < 0.01 and abs(ay - OFFSET[1]) < 0.01
    assert abs(bx - OFFSET[0]) > 2 * abs(ax - OFFSET[0])
    # Velocities on the ice follow the truth; dx, dy keep the measured offset.
    field = after.vector_field
    rows, cols, tdx, tdy = truth_of(scene, after)
    ice = (field.status == 1) & scene.ice[rows, cols]
    mx, my = scene.truth(rows, cols, offset=False)
    speed_error = np.abs(field.values["v"][ice] - np.hypot(mx, my)[ice] * scene.px_per_year)
    assert np.median(speed_error) < 20  # a small scene: steep shear across the narrow glacier
    stable = (field.status == 1) & scene.stable[rows, cols]
    assert np.median(field.values["dx"][stable]) == pytest.approx(OFFSET[0], abs=0.02)
    assert abs(np.median(field.values["vx"][stable])) < 0.5


@pytest.mark.parametrize("fraction", [0.3, 0.7])
def test_refinement_removes_the_bias_of_a_fractional_shift(scene, tmp_path, fraction):
    import rasterio

    side = 320
    ground = scene[0].image1[:side, :side].astype(np.float64)
    moved = shift(ground, -fraction, fraction)
    paths = {}
    for name, image in (("image1", ground), ("image2", moved)):
        paths[name] = tmp_path / f"{name}.tif"
        with rasterio.open(paths[name], "w", driver="GTiff", height=side, width=side, count=1,
                           dtype="uint16", crs="EPSG:32633",
                           transform=rasterio.transform.from_origin(500_000, 8_700_000, 10, 10)) as ds:
            ds.write(np.clip(np.rint(image), 1, 4095).astype(np.uint16), 1)
    errors = {}
    for refine in ("none", "cubic"):
        field = run(paths, refine=refine, backmatch=None, similarity=None).vector_field
        good = field.status == 1
        errors[refine] = (np.median(field.values["dx"][good]) - fraction,
                          np.median(field.values["dy"][good]) + fraction)
    assert max(map(abs, errors["none"])) > 0.01
    assert max(map(abs, errors["cubic"])) < 0.005


def test_blunders_at_clouds_are_rejected_and_errors_cover_the_real_error(scene):
    scene, paths = scene
    plain = run(paths, stable=str(paths["stable"]), **PLAIN)
    checked = run(paths, stable=str(paths["stable"]))
    counts = []
    for result in (plain, checked):
        field = result.vector_field
        rows, cols, tdx, tdy = truth_of(scene, result)
        # Clouds in the chips; the narrow glacier of a small scene shears by up to a pixel and a
        # half across a chip at its edges, so the count starts at 2 px.
        cloudy = ~scene.clear(rows, cols, 17, 27)
        wrong = (field.status == 1) & (np.hypot(field.values["dx"] - tdx, field.values["dy"] - tdy) > 2)
        counts.append(int((wrong & cloudy).sum()))
    assert counts[0] > 0 and counts[1] == 0
    field = checked.vector_field
    assert field.attrs["unlike_rejected"] + field.attrs["backmatch_rejected"] > 0
    # The errors in m/yr cover the real errors of the accepted vectors.
    rows, cols, tdx, tdy = truth_of(scene, checked)
    mx, my = scene.truth(rows, cols, offset=False)
    good = field.status == 1
    for name, true in (("vx", mx * scene.px_per_year), ("vy", -my * scene.px_per_year)):
        covered = np.abs(field.values[name] - true)[good] <= field.values[f"{name}_error"][good]
        assert 0.55 <= covered.mean() <= 0.92, name


def test_masks_on_other_grids_and_saturated_areas_leave_chips_out(scene):
    scene, paths = scene
    masked = run(paths, mask2=str(paths["clouds2"]), **PLAIN).vector_field
    plain = run(paths, **PLAIN).vector_field
    left_out = (masked.status == tt.Status.nodata) & (plain.status != tt.Status.nodata)
    rows, cols = masked.records["row1"].astype(int), masked.records["col1"].astype(int)
    assert left_out.sum() > 10 and scene.cloud_mask[rows[left_out], cols[left_out]].mean() > 0.3
    # The same cloud mask as an array of image 2's shape masks alike.
    as_array = run(paths, mask2=scene.cloud_mask.astype(np.uint8), **PLAIN).vector_field
    assert np.array_equal(as_array.status, masked.status)
    saturated = run(paths, **{**PLAIN, "saturation": True}).vector_field
    assert ((saturated.status == tt.Status.nodata) & (plain.status != tt.Status.nodata)).any()


def test_refinement_is_the_same_block_by_block(scene):
    _, paths = scene
    whole = run(paths, block_pixels=10**9).vector_field
    blocks = run(paths, block_pixels=200_000).vector_field
    assert np.array_equal(whole.values["dx"], blocks.values["dx"], equal_nan=True)
    assert np.array_equal(whole.status, blocks.status)
    # On one thread (pre-filter strips and resampled chips one after another) as on every core.
    one = run(paths, threads=1).vector_field
    assert same_bits(one.records, whole.records) and np.array_equal(one.status, whole.status)
    assert all(same_bits(one.values[k], whole.values[k]) for k in whole.values)


def test_plain_options_give_the_former_numbers(scene):
    # Without refinement, checks or stable ground, the published values are the records' own.
    _, paths = scene
    field = run(paths, **PLAIN).vector_field
    records = field.records
    accepted = records["active"] == 1
    assert np.array_equal(field.values["dx_map"][accepted], (records["x2"] - records["x1"])[accepted])
    assert field.refinement is None and field.attrs["stable_shift_method"] == "none"


def test_bad_stable_and_mask_inputs(scene, tmp_path):
    import rasterio
    from rasterio.transform import from_origin

    _, paths = scene
    far = tmp_path / "far.tif"
    with rasterio.open(far, "w", driver="GTiff", height=50, width=50, count=1, dtype="uint8",
                       crs="EPSG:32633", transform=from_origin(100_000, 1_000_000, 10, 10)) as ds:
        ds.write(np.ones((50, 50), np.uint8), 1)
    for option in ("stable", "mask1", "mask2"):
        with pytest.raises(InputError, match="does not overlap"):
            run(paths, **{option: str(far)})
    with pytest.raises(InputError, match="pixels"):
        run(paths, mask1=np.zeros((10, 10), np.uint8))
    # Too few stable vectors: a warning, and nothing removed.
    few = np.zeros((SIZE, SIZE), np.uint8)
    few[300, 300] = 1
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        field = tt.track_files(paths["image1"], paths["image2"], **GRID, stable=few).vector_field
    assert any("fewer than 10" in str(w.message) for w in caught)
    assert field.stable_shift is None and field.attrs["stable_shift_count"] == 0
    assert "vx_error" in field.values  # the fit's errors alone


@pytest.mark.parametrize("options, message", [
    (dict(refine="quintic"), "unknown refinement"), (dict(refine="cubic:9"), "rounds"),
    (dict(backmatch=5.0), "backmatch"), (dict(similarity=1.5), "similarity"),
    (dict(stable="mask"), "names no file"), (dict(mask1=np.zeros((2, 2, 2))), "dimensions"),
])
def test_wrong_options(options, message):
    with pytest.raises(OptionError, match=message):
        tt.TrackOptions(**options)


def test_the_slowest_quarter_as_stable_ground(scene):
    scene, paths = scene
    result = run(paths, stable="slow")
    slow = result.vector_field
    assert slow.attrs["stable_shift_method"] == "slow"
    # The stable cluster found among the slowest quarter, not the quarter itself: the offset is
    # the mask's to a few hundredths of a m/yr, and the errors cover the stable ground's vectors.
    mask = run(paths, stable=str(paths["stable"])).vector_field.stable_shift
    assert slow.stable_shift.count > 0.5 * mask.count
    assert slow.stable_shift.dx == pytest.approx(mask.dx, abs=0.004)
    assert slow.stable_shift.dy == pytest.approx(mask.dy, abs=0.004)
    rows, cols = result.records["row1"].astype(int), result.records["col1"].astype(int)
    stable = (slow.status == 1) & scene.stable[rows, cols]
    for name in ("vx", "vy"):
        covered = np.abs(slow.values[name][stable]) <= slow.values[f"{name}_error"][stable]
        assert 0.55 <= covered.mean() <= 0.9, name


@pytest.mark.parametrize("values, nodata, top", [
    ([10, 4095, 4095], None, 4095), ([10, 4000], None, None), ([10, 65535], 65535, None),
    ([10, 1023], 0, 1023), ([0, 0], 0, None),
])
def test_the_top_of_the_data_range(values, nodata, top):
    from talmek_track.sources.validity import top_of_range

    assert top_of_range(np.array(values, np.uint16), nodata) == top


def test_roughness_sees_curvature_not_gradients():
    from talmek_track.products.velocity import roughness

    rows, cols = np.mgrid[0:6, 0:7].astype(float)
    plane = 0.3 * rows - 0.2 * cols + 1.0
    assert np.allclose(roughness(plane.ravel(), plane.shape), 0.0)
    bowl = 0.05 * (rows - 2.5) ** 2
    inner = roughness(bowl.ravel(), bowl.shape).reshape(bowl.shape)[1:-1, 1:-1]
    assert np.all(inner > 0)
    holes = plane.copy()
    holes[2, 3] = np.nan
    rough = roughness(holes.ravel(), holes.shape)
    assert np.isnan(rough[2 * 7 + 3]) and np.allclose(np.delete(rough, 2 * 7 + 3), 0.0)


def test_arrays_and_stacks_take_the_options(scene, tmp_path):
    pytest.importorskip("xarray")
    scene, paths = scene
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = tt.track_xarray(scene.image1, scene.image2, **GRID, stable=scene.stable.astype(np.uint8),
                             mask2=scene.cloud_mask, dates="2024-07-01,2024-07-31")
        stack = tt.match_stack([str(paths["image1"]), str(paths["image2"])], "consecutive", tmp_path,
                               stable="slow", refine="none", formats=["csv"], progress=False)
    assert ds.attrs["stable_shift_dx"] == pytest.approx(OFFSET[0], abs=0.02) and "vx_error" in ds
    assert (ds["status"].values == tt.Status.nodata).sum() > 0
    field = stack.results[0].vector_field
    assert field.attrs["stable_shift_method"] == "slow" and field.refinement["refine_dx"].size
