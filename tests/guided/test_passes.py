"""Guided coarse-to-fine matching, gap filling and strain rates."""

import numpy as np
import pytest
from scipy import ndimage

import Talmek
import talmek_track as tt
from support import same_bits
from synthetic import terrain, to_uint8
from talmek_track._facts import REF_CHIP_MAX, REF_CHIP_MIN, SEARCH_CHIP_MAX, SEARCH_CHIP_MIN
from talmek_track.cli import command as cli
from talmek_track.errors import OptionError, OptionWarning
from talmek_track.guided.fill import fill_gaps
from talmek_track.guided.passes import Deformation, Field, plan_passes, read_reduced
from talmek_track.options.core import TrackOptions
from talmek_track.options.values import Pass, parse_passes
from talmek_track.products.strain import strain_rates
from talmek_track.run.guided import match_guided


@pytest.mark.parametrize("holes", [[(5, 5)], [(4, 4), (4, 5), (5, 4), (5, 5), (6, 6)], [(0, 0), (0, 1), (1, 0)]])
def test_fill_closes_holes_in_a_plane_near_its_values(holes):
    r, c = np.mgrid[0:12, 0:12].astype(float)
    u, w = 0.5 * c + 0.1 * r, -0.2 * r + 3
    du, dw = u.copy(), w.copy()
    for h in holes:
        du[h] = np.nan
    fu, fw, filled = fill_gaps(du, dw)
    assert filled.sum() == len(holes) and all(filled[h] for h in holes)
    assert np.isfinite(fu).all() and np.isfinite(fw).all()
    assert np.abs(fu - u).max() < 0.7 and np.abs(fw - w).max() < 0.3
    assert not filled[~np.isnan(du)].any() and (fu[~filled] == u[~filled]).all()


def test_fill_leaves_an_empty_grid_and_stops_at_the_ring_limit():
    empty = np.full((4, 4), np.nan)
    assert not fill_gaps(empty, empty)[2].any()
    u = np.full((9, 9), np.nan)
    u[0, 0] = 1.0
    fu, _, filled = fill_gaps(u, u, max_rings=2)
    assert filled.sum() == 8 and np.isnan(fu[3, 3])


def test_strain_rates_of_a_linear_field():
    # vx = a x + b y, vy = c x + d y on a grid of 20 by 30 map units, rows southwards.
    a, b, c, d = 0.02, -0.01, 0.03, -0.005
    rows, cols = np.mgrid[0:6, 0:7].astype(float)
    x, y = cols * 20.0, -rows * 30.0
    vx, vy = a * x + b * y, c * x + d * y
    vx[3, 3] = np.nan
    rates = strain_rates(vx, vy, (20.0, 30.0))
    ok = np.isfinite(rates["exx"])
    assert not ok[3, 3] and not ok[3, 4] and ok[2, 3] and ok[0, 0]
    assert np.isnan(rates["exy"][2, 3]) and np.isnan(rates["effective_strain_rate"][2, 3])
    np.testing.assert_allclose(rates["exx"][ok], a)
    np.testing.assert_allclose(rates["eyy"][np.isfinite(rates["eyy"])], d)
    np.testing.assert_allclose(rates["exy"][np.isfinite(rates["exy"])], (b + c) / 2)
    e = rates["effective_strain_rate"][0, 0]
    assert e == pytest.approx(np.sqrt(a * a + d * d + a * d + ((b + c) / 2) ** 2))


@pytest.mark.parametrize("reach, chip, first", [(40, (32, 32), Pass(1, 42)), (150, (32, 32), Pass(4, 40)),
                                                (500, (64, 32), Pass(8, 65))])
def test_passes_fit_the_search_limit(reach, chip, first):
    passes = plan_passes(reach, chip)
    assert passes[0] == first and passes[-1] == Pass(1, max(4, (49 - min(chip)) // 2))
    assert [p.factor for p in passes] == sorted((p.factor for p in passes), reverse=True)
    assert all(max(chip) + 2 * p.margin <= 256 for p in passes)


@pytest.mark.parametrize("call, words", [
    (lambda: plan_passes(5000, (32, 32)), "engine's search limit of 256"),
    (lambda: plan_passes(10, (32, 32), margin=120), "engine's limit"),
    (lambda: match_guided(np.zeros((64, 64), np.uint8), np.zeros((64, 64), np.uint8),
                          Talmek.MatchingParams(), passes=[Pass(2, 4)]), "full resolution"),
    (lambda: match_guided(np.zeros((200, 200), np.uint8), np.zeros((200, 200), np.uint8),
                          Talmek.MatchingParams(), 400.0), "smaller than the search chip"),
])
def test_guided_refuses_what_the_engine_cannot_do(call, words):
    with pytest.raises(OptionError, match=words):
        call()


def _sheared_pair(size=320, peak=30.0):
    """A texture and the same ground moved along the columns by a shear flow (peak px in the
    middle rows, 0 at the top and bottom) with a gentle downward drift."""
    ground = terrain((size, size), seed=7, sigma=1.5)
    r, c = np.mgrid[0:size, 0:size].astype(float)
    u = peak * np.sin(np.pi * r / (size - 1))
    v = 0.02 * c
    # image 2 at q shows what image 1 had at q - displacement (fixed-point for the small v).
    moved = ndimage.map_coordinates(ground, [r - v, c - u], order=3, mode="wrap")
    mean, sd = ground.mean(), ground.std()

    def truth(rr, cc):
        # The point p of image 1 is at p + d in image 2, where d = displacement(p + d).
        du, dv = np.zeros(rr.shape), np.zeros(rr.shape)
        for _ in range(20):
            du, dv = peak * np.sin(np.pi * (rr + dv) / (size - 1)), 0.02 * (cc + du)
        return du, dv
    return to_uint8(ground, mean, sd), to_uint8(moved, mean, sd), truth


def test_guided_finds_what_a_blind_search_cannot():
    one, two, truth = _sheared_pair()
    p = Talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = 24
    p.start_row_ = p.start_col_ = 32
    p.row_interval_ = p.col_interval_ = 16
    p.mincorr_ = 2.0
    found = match_guided(one, two, p, 35.0)
    assert [q.factor for q in found.passes] == [1, 1]
    rows, cols = np.mgrid[32:one.shape[0]:16, 32:one.shape[1]:16]
    inside = (rows < one.shape[0] - 32) & (cols < one.shape[1] - 32)
    true_u, true_v = truth(rows, cols)
    ok = np.isfinite(found.dx) & inside
    assert ok.sum() >= 0.9 * inside.sum()
    assert np.median(np.abs(found.dx[ok] - true_u[ok])) < 0.25
    assert np.median(np.abs(found.dy[ok] - true_v[ok])) < 0.25
    # The blind search with the usual margin misses the fast middle.
    p.hoffset_ = p.voffset_ = 8
    blind = tt.match_grid(one, two, p)
    assert np.isfinite(blind.dx[inside]).mean() < 0.6


@pytest.mark.parametrize("passes, peak", [("1:24/37,1:24/12", "log"), ("2:24/20,1:24/12,1:24/12", "linear")])
def test_guided_arrays_match_as_the_command_does(tmp_path, passes, peak):
    # The array form is the command's guided run on arrays: the same records, field for field,
    # whatever margins and offsets params carries.
    tifffile = pytest.importorskip("tifffile")
    one, two, _ = _sheared_pair()
    paths = [tmp_path / "1.tif", tmp_path / "2.tif"]
    for path, image in zip(paths, (one, two), strict=True):
        tifffile.imwrite(path, image)
    p = Talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = 24
    p.start_row_, p.start_col_ = 32, 40
    p.row_interval_, p.col_interval_ = 16, 20
    p.peakmethod_ = {"log": 2, "linear": 1}[peak]
    p.hoffset_, p.voffset_, p.row_offset_, p.col_offset_ = 20, 9, 5, -7
    found = match_guided(one, two, p, passes=parse_passes(passes))
    run = tt.track_files(*paths, chip=24, margin=12, step=(20, 16), start=(40, 32), peak=peak, passes=passes,
                         prefilter="none", refine="none", backmatch=None, similarity=None)
    assert all(same_bits(found.records[name], run.records[name]) for name in tt.RECORD_DTYPE.names)
    assert found.passes == run.options.passes and (found.status == tt.Status.accepted).mean() > 0.7
    accepted = found.status == tt.Status.accepted
    assert same_bits(found.dx[accepted], run.vector_field.values["dx"].reshape(found.dx.shape)[accepted])
    assert (np.abs(found.predicted_dx).max() > 20) == (len(found.passes) > 1)


def test_fill_and_strain_reach_the_dataset():
    one, two, _ = _sheared_pair(192, 3.0)
    kw = dict(chip=24, margin=12, step=16, prefilter="none", refine="none", dates="2024-07-01,2024-07-31")
    ds = tt.track_xarray(one, two, fill=True, strain=True, **kw)
    for name in ("interp_mask", "exx", "eyy", "exy", "effective_strain_rate"):
        assert name in ds
    filled = ds["interp_mask"].values == 1
    assert np.isfinite(ds["vx"].values[filled]).all()
    assert (ds["status"].values[filled] != tt.Status.accepted).all()
    plain = tt.track_xarray(one, two, **kw)
    assert "interp_mask" not in plain and "exx" not in plain
    with pytest.raises(OptionError, match="strain"):
        tt.track_xarray(one, two, strain=True, **{**kw, "dates": None})


def test_the_command_run_guided_by_the_largest_speed():
    one, two, truth = _sheared_pair()
    kw = dict(chip=24, margin=12, step=16, prefilter="none", dates="2024-07-01,2024-07-31")
    ds = tt.track_xarray(one, two, max_speed=35 * 365.25 / 30, **kw)
    with pytest.warns(OptionWarning, match="ended at the search limit"):  # the blind search says what it missed
        blind = tt.track_xarray(one, two, **kw)
    # Plain images: map y counts upwards from the bottom row, x is the column.
    rows = one.shape[0] - 1 - ds["y"].values[:, None] - 0.5 + 0.5
    cols = ds["x"].values[None, :] + 0.0
    true_u, _ = truth(np.broadcast_to(rows, ds["dx"].shape), np.broadcast_to(cols, ds["dx"].shape))
    inside = (rows > 32) & (rows < one.shape[0] - 32) & (cols > 32) & (cols < one.shape[1] - 32)
    found = np.isfinite(ds["dx"].values) & inside
    assert found.sum() > 0.85 * inside.sum() > (np.isfinite(blind["dx"].values) & inside).sum() + 0.2 * inside.sum()
    assert np.median(np.abs(ds["dx"].values[found] - true_u[found])) < 0.12
    with pytest.raises(OptionError, match="max_speed needs the acquisition dates"):
        tt.track_xarray(one, two, max_speed=400.0, **{**kw, "dates": None})


@pytest.mark.parametrize("text, words", [
    ("4:32/40,2:32/16", "full resolution"),
    ("3:32/20,1:32/8", "power of two from 1 to 16"),
    (f"2:{REF_CHIP_MAX + 2}/8,1:32/8", f"engine's limits of {REF_CHIP_MIN}..{REF_CHIP_MAX} px"),
    ("2:32/120,1:32/8", f"search chip of 272 px, beyond the engine's limits of {SEARCH_CHIP_MIN}..{SEARCH_CHIP_MAX}"),
    ("1:32/4", f"search chip of 40 px, beyond the engine's limits of {SEARCH_CHIP_MIN}"),
    ("2:32", "REDUCTION:CHIP/MARGIN"),
])
def test_passes_beyond_the_engine_are_refused_naming_the_limit(text, words, capsys):
    with pytest.raises(OptionError, match=words.replace(".", r"\.")):
        TrackOptions(passes=text)
    assert cli.main(["a.tif", "b.tif", "--passes", text, "-o", "out"]) == cli.EXIT_USAGE
    assert "--passes" in capsys.readouterr().err


def test_reduced_reads_are_block_means_and_a_deformed_window_is_image_2_moved(tmp_path):
    rasterio = pytest.importorskip("rasterio")
    image = (terrain((203, 161), seed=3) * 900 + 20000).astype(np.uint16)
    image[50:53, 70:72] = 0
    path = tmp_path / "a.tif"
    with rasterio.open(path, "w", driver="GTiff", width=161, height=203, count=1, dtype="uint16",
                       nodata=0, tiled=True, blockxsize=64, blockysize=64, crs="EPSG:32633",
                       transform=rasterio.transform.Affine(10.0, 0, 500000.0, 0, -10.0, 8700000.0)) as ds:
        ds.write(image, 1)
    source = tt.sources.readers.open_source(str(path)).with_range((20000.0, 21000.0))
    pixels, invalid = source.read()
    reduced, missing = read_reduced(source, 4)
    scaled = np.clip((image[:200, :160].astype(float) - 20000.0) * 255.0 / 1000.0, 0, 255)
    blocks = scaled.reshape(50, 4, 40, 4).mean(axis=(1, 3))
    assert np.abs(reduced.astype(float) - blocks).max() <= 0.5 + 1e-9
    assert missing.sum() == 2 and missing[12:14, 17].all()
    # A constant whole-pixel field moves image 2 exactly; a sample is invalid where it draws on a
    # missing pixel (the spline's taps and one more each side) or leaves the window read.
    dx, dy = 3.0, -2.0
    field = Field(np.full((3, 3), dx), np.full((3, 3), dy), np.array([0.0, 90, 180]), np.array([0.0, 70, 140]))
    deformation = Deformation(field, (40, 120, 30, 110))
    window = deformation.source_window(source.shape)
    moved, bad = deformation.apply(pixels[window[0]:window[1], window[2]:window[3]],
                                   invalid[window[0]:window[1], window[2]:window[3]], window)
    expected = pixels[38:118, 33:113]
    assert same_bits(moved[~bad], expected[~bad])
    rows, cols = np.nonzero(bad)
    assert (rows + 38).min() == 50 - 3 and (rows + 38).max() == 52 + 2
    assert (cols + 33).min() == 70 - 3 and (cols + 33).max() == 71 + 2 and bad.sum() == 8 * 7


@pytest.mark.parametrize("grid_shape, step", [((1, 1), (16.0, 16.0)), ((1, 7), (16.0, 16.0)),
                                               ((9, 13), (16.0, 10.0)), ((40, 3), (7.0, 13.3))])
def test_a_field_on_a_block_of_pixels_is_its_value_at_each_pixel_bit_for_bit(grid_shape, step):
    # The deformation evaluates the field row by row of pixels; the records are rebuilt from its
    # value at each match: both must be one function, beyond the grid's border too.
    rng = np.random.default_rng(grid_shape[0])
    rows_at = 5.0 + step[0] * np.arange(grid_shape[0])
    cols_at = -3.0 + step[1] * np.arange(grid_shape[1])
    field = Field(rng.normal(40, 30, grid_shape), rng.normal(-20, 30, grid_shape), rows_at, cols_at)
    rows = np.arange(-40.0, rows_at[-1] + 45) + 0.25
    cols = np.arange(-50.0, cols_at[-1] + 35)
    mesh = np.meshgrid(rows, cols, indexing="ij")
    for at, block in zip(field.at(*mesh), field.on_pixels(rows, cols), strict=True):
        assert same_bits(at, block)


@pytest.mark.parametrize("holes", [False, True])
def test_a_deformed_window_in_strips_is_image_2_sampled_at_each_pixel(holes):
    # A window of several strips, deformed by a field that shears and turns, against the spline
    # sampled at every pixel in one piece; a sample is invalid where a pixel it draws on is.
    rng = np.random.default_rng(7)
    rows_at, cols_at = np.arange(0.0, 1400, 16), np.arange(0.0, 700, 16)
    rr, cc = np.meshgrid(rows_at, cols_at, indexing="ij")
    field = Field(20 + 0.3 * rr / 16 + rng.normal(0, 0.3, rr.shape), -6 + 0.1 * cc + 0.05 * rr,
                  rows_at, cols_at)
    deformation = Deformation(field, (100, 1150, 40, 640))
    window = deformation.source_window((1600, 900))
    pixels2 = terrain((window[1] - window[0], window[3] - window[2]), seed=5)
    pixels2 = to_uint8(pixels2, pixels2.mean(), pixels2.std())
    invalid2 = np.zeros(pixels2.shape, bool)
    if holes:
        invalid2[300:304, 200:201] = invalid2[700:701, 50:90] = True
    moved, bad = deformation.apply(pixels2, invalid2, window)
    rows, cols = np.meshgrid(np.arange(100.0, 1150), np.arange(40.0, 640), indexing="ij")
    dx, dy = field.at(rows, cols)
    at = [rows + dy - window[0], cols + dx - window[2]]
    coefficients = ndimage.spline_filter(pixels2.astype(np.float64), order=3, mode="mirror")
    expected = np.clip(np.rint(ndimage.map_coordinates(coefficients, at, order=3, mode="mirror",
                                                       prefilter=False)), 0, 255).astype(np.uint8)
    assert same_bits(moved, expected)
    fr, fc = np.floor(at[0]).astype(int), np.floor(at[1]).astype(int)
    drawn = ndimage.maximum_filter(invalid2, size=6, mode="constant", origin=-1)
    inside = (fr >= 2) & (fc >= 2) & (fr + 3 < pixels2.shape[0]) & (fc + 3 < pixels2.shape[1])
    expected_bad = ~inside | drawn[np.clip(fr, 0, pixels2.shape[0] - 1), np.clip(fc, 0, pixels2.shape[1] - 1)]
    assert same_bits(bad, expected_bad) and bad.any() == holes


def test_the_deformed_last_pass_runs_alike_on_threads_and_dask(tmp_path):
    distributed = pytest.importorskip("distributed")
    rasterio = pytest.importorskip("rasterio")
    from rasterio.transform import Affine

    from talmek_track.matching.backends import run_blocks
    from talmek_track.run.pair import finish_plan, open_pair, plan_pair, prepare_sources

    one, two, truth = _sheared_pair()
    paths = []
    for k, image in enumerate((one, two)):
        paths.append(tmp_path / f"{k}.tif")
        with rasterio.open(paths[-1], "w", driver="GTiff", width=image.shape[1], height=image.shape[0],
                           count=1, dtype="uint8", crs="EPSG:32633",
                           transform=Affine(10.0, 0, 500000.0, 0, -10.0, 8700000.0)) as ds:
            ds.write(image, 1)
    options = TrackOptions(chip=24, margin=12, step=16, prefilter="none", dates="2024-07-01,2024-07-31",
                           passes="1:24/37,1:24/12", block_pixels=30_000)
    source1, source2 = (s.with_range("auto") for s in open_pair(*paths, options))
    params = options.params()
    params = prepare_sources(source1, source2, params, start_given=False)
    plan = plan_pair(source1, source2, params, options, dates=options.dates)
    assert len(plan.jobs) > 2 and all(job.deformation is not None for job in plan.jobs)
    threads = run_blocks(plan.jobs, backend="threads")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        on_dask = run_blocks(plan.jobs, backend="dask", client=client)
    assert all(same_bits(a.records, b.records) for a, b in zip(threads, on_dask, strict=True))
    field = finish_plan(plan, threads).vector_field
    points = np.concatenate([job.points1 for job in plan.jobs])
    true_u, _ = truth(points[:, 0], points[:, 1])
    dx = field.values["dx"]
    ok = field.status == tt.Status.accepted
    assert ok.mean() > 0.6 and np.median(np.abs(dx[ok] - true_u[ok])) < 0.12


@pytest.mark.parametrize("turn", range(4))
@pytest.mark.parametrize("off", [0.0, 1.5])
def test_the_bend_test_sees_a_vector_at_the_end_of_the_field(turn, off):
    # A sheared field (dx grows by 8 px a grid row: no curvature, which the deformed chips follow)
    # over the upper rows and one vector on the grid's last row with no neighbour beside it, as
    # at the tip of a tongue of ice between missing pixels. On the shear it stands; bent off it
    # by 1.5 px (a chip bias of 0.25 px) it goes, with its neighbour, whichever way the field
    # is turned.
    from talmek_track.guided.bend import bend_test
    from talmek_track.matching.engine import RECORD_DTYPE
    from talmek_track.matching.refine import BENT

    rows, cols = np.mgrid[0:6, 0:9].astype(float)
    tip = (rows == 5) & (cols == 4)
    dx, dy = 8.0 * rows + 3.0 + off * tip, np.full(rows.shape, -2.0)
    accepted = (rows <= 4) | tip
    dx, dy, accepted, tip = (np.rot90(a, turn).copy() for a in (dx, dy, accepted, tip))
    records = np.zeros(dx.size, RECORD_DTYPE)
    records["active"] = np.where(accepted, tt.Status.accepted, tt.Status.nodata).ravel()
    records["x2"], records["y2"] = dx.ravel(), -dy.ravel()
    p = Talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = 32
    p.row_interval_ = p.col_interval_ = 16
    p.srch_cellsize_ = 1.0
    extra, count = bend_test(records, None, dx.shape, p)
    bent = extra["check"].reshape(dx.shape) == BENT
    assert bent[tip].all() == (off > 0) and count == (2 if off else 0)
