"""Guided coarse-to-fine matching, gap filling and strain rates."""

import numpy as np
import pytest
from scipy import ndimage

import Talmek
import talmek_track as tt
from synthetic import terrain, to_uint8
from talmek_track.errors import OptionError
from talmek_track.fill import fill_gaps
from talmek_track.guided import Pass, match_guided, plan_passes
from talmek_track.strain import strain_rates


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
    blind = tt.track_xarray(one, two, **kw)
    # Plain images: map y counts upwards from the bottom row, x is the column.
    rows = one.shape[0] - 1 - ds["y"].values[:, None] - 0.5 + 0.5
    cols = ds["x"].values[None, :] + 0.0
    true_u, _ = truth(np.broadcast_to(rows, ds["dx"].shape), np.broadcast_to(cols, ds["dx"].shape))
    inside = (rows > 32) & (rows < one.shape[0] - 32) & (cols > 32) & (cols < one.shape[1] - 32)
    found = np.isfinite(ds["dx"].values) & inside
    assert found.sum() > 0.85 * inside.sum() > (np.isfinite(blind["dx"].values) & inside).sum() + 0.2 * inside.sum()
    assert np.median(np.abs(ds["dx"].values[found] - true_u[found])) < 0.25
    with pytest.raises(OptionError, match="max_speed needs the acquisition dates"):
        tt.track_xarray(one, two, max_speed=400.0, **{**kw, "dates": None})
