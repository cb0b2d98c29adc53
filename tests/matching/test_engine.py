"""talmek_track's batches and grids: record for record the same as SelectedMatch, on any thread."""
import threading
import warnings

import numpy as np
import pytest

from support import same_bits, textured

tt = pytest.importorskip("talmek_track")

SEG_FIELDS = ("x1", "y1", "x2", "y2", "strength", "displacement", "rms_1", "rms_2", "active")


def assert_same_as_selected_match(talmek, image1, image2, points1, points2, params, records):
    assert len(records) == len(points1)
    for rec, (r1, c1), (r2, c2) in zip(records, points1, points2):
        seg = talmek.SelectedMatch(image1, image2, [int(r1), int(r2)], [int(c1), int(c2)], params)
        assert (rec["row1"], rec["col1"], rec["row2"], rec["col2"]) == (r1, c1, r2, c2)
        got = {name: rec[name] for name in SEG_FIELDS} | {"length": rec["length"]}
        want = {name: getattr(seg, name) for name in SEG_FIELDS} | {"length": seg.get_length()}
        bad = {k: (got[k], want[k]) for k in want if not same_bits(float(got[k]), float(want[k]))}
        assert not bad, f"point {(r1, c1)} -> {(r2, c2)}"


def matched_quietly(*args, **kw):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        records = tt.match_points(*args, **kw)
    return records, [w for w in caught if issubclass(w.category, RuntimeWarning)]


def test_conformance_case(case, talmek, capfd):
    """The case's own pair alone, then a batch of it and its eight neighbours on two threads."""
    params = case.matching_params(talmek)
    p1, p2 = [[case.row[0], case.col[0]]], [[case.row[1], case.col[1]]]
    records, failures = matched_quietly(case.image1, case.image2, p1, p2, params, threads=1)
    assert_same_as_selected_match(talmek, case.image1, case.image2, p1, p2, params, records)
    assert bool(failures) == bool(case.expected["error_line"])

    shifts = np.array([(dr, dc) for dr in (-1, 0, 1) for dc in (-1, 0, 1)])
    batch1, batch2 = np.array(p1) + shifts, np.array(p2) + shifts[::-1]
    records, _ = matched_quietly(case.image1, case.image2, batch1, batch2, params, threads=2)
    assert_same_as_selected_match(talmek, case.image1, case.image2, batch1, batch2, params, records)
    capfd.readouterr()


@pytest.mark.parametrize("seed", range(4))
def test_random_grids(seed, talmek, capfd):
    rng = np.random.default_rng(seed)
    big = textured(160, 170, seed)
    image1 = big[5:145, 5:160]
    shift = rng.integers(-3, 4, 2)
    image2 = big[5 + shift[0]:145 + shift[0], 5 + shift[1]:160 + shift[1]]
    image2 = np.asfortranarray(image2)[::-1, :][::-1, :]  # read in place through odd strides
    params = talmek.MatchingParams()
    params.chipwidth_, params.chipheight_ = (int(v) for v in rng.integers(12, 40, 2))
    params.hoffset_ = int((tt.SEARCH_CHIP_MIN - params.chipwidth_) // 2 + rng.integers(3, 8))
    params.voffset_ = int((tt.SEARCH_CHIP_MIN - params.chipheight_) // 2 + rng.integers(3, 8))
    params.peakmethod_ = int(rng.choice([1, 2, 3, 4]))
    params.start_row_, params.start_col_ = (int(v) for v in rng.integers(0, 30, 2))
    params.row_interval_, params.col_interval_ = (int(v) for v in rng.integers(7, 19, 2))
    params.row_offset_, params.col_offset_ = (int(v) for v in rng.integers(-2, 3, 2))
    points1, points2, _ = tt.grid_points(image1.shape, params)
    one = tt.match_points(image1, image2, points1, points2, params, threads=1)
    two = tt.match_points(image1, image2, points1, points2, params, threads=2)
    assert same_bits(one, two)
    assert (one["active"] == 1).any()
    assert_same_as_selected_match(talmek, image1, image2, points1, points2, params, one)
    capfd.readouterr()


def test_grid_points_meaning(talmek):
    p = talmek.MatchingParams()
    p.start_row_, p.start_col_, p.row_interval_, p.col_interval_ = 3, 1, 4, 5
    p.row_offset_, p.col_offset_ = -2, 7
    points1, points2, shape = tt.grid_points((12, 11), p)
    assert shape == (3, 2)
    assert points1.tolist() == [[3, 1], [3, 6], [7, 1], [7, 6], [11, 1], [11, 6]]
    assert (points2 - points1).tolist() == [[-2, 7]] * 6
    p.col_interval_ = 0
    with pytest.raises(ValueError, match="interval"):
        tt.grid_points((12, 11), p)


@pytest.mark.parametrize("shape, start_row, fine", [((2**31 - 1, 2**31 - 1), 0, (2, 2)),
                                                    ((64, 64), -2**31, (3, 1))])
def test_grids_beyond_max_points_are_refused_before_they_are_laid(talmek, shape, start_row, fine):
    p = talmek.MatchingParams()
    p.start_row_ = start_row
    with pytest.raises(tt.OptionError, match=r"more than max_points allows \(67108864\)"):
        tt.grid_points(shape, p)
    if shape == (64, 64):
        with pytest.raises(tt.OptionError, match="max_points"):
            tt.match_grid(np.zeros(shape, np.uint8), np.zeros(shape, np.uint8), p)
    p.row_interval_ = p.col_interval_ = 2**30  # a few points, far out or not, are laid as ever
    assert tt.grid_points(shape, p)[2] == fine


def test_match_grid_measures_the_shift(talmek):
    big = textured(140, 140, 9)
    image1, image2 = big[10:130, 10:130], big[7:127, 12:132]  # moved 3 rows down, 2 columns left
    p = talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = 24
    p.hoffset_ = p.voffset_ = 12
    p.start_row_ = p.start_col_ = 30
    p.row_interval_ = p.col_interval_ = 20
    p.col_offset_ = -1  # the expected displacement counts in dx
    grid = tt.match_grid(image1, image2, p, threads=2)
    assert grid.dx.shape == grid.status.shape == (5, 5)
    accepted = grid.status == 1
    assert accepted[:3, :3].all() and (grid.status[-1] == tt.Status.chip_outside).all()
    assert np.allclose(grid.dx[accepted], -2, atol=0.3) and np.allclose(grid.dy[accepted], 3, atol=0.3)
    assert np.isnan(grid.dx[~accepted]).all()
    assert (grid.records["active"].reshape(5, 5) == grid.status).all()


def test_progress_and_its_exceptions(talmek):
    image = textured(200, 200, 1)
    p = talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = 64
    p.hoffset_ = p.voffset_ = 16
    pts = np.full((400, 2), 100)
    seen = []
    tt.match_points(image, image, pts, pts, p, threads=2,
                    progress=lambda done: seen.append((done, threading.get_ident())))
    assert seen[-1][0] == 400 and seen == sorted(seen)
    assert {ident for _, ident in seen} == {threading.get_ident()}

    calls = []

    def fail(done):
        calls.append(done)
        raise KeyError("stop")

    # Long enough for the first report to come while the workers run: they must stop there.
    many = np.full((20000, 2), 100)
    with pytest.raises(KeyError, match="stop"):
        tt.match_points(image, image, many, many, p, progress=fail)
    assert len(calls) == 1 and calls[0] < len(many)


def test_failing_points_are_zero_records(talmek, capfd):
    image = textured(80, 80, 2)
    p = talmek.MatchingParams()
    p.chipwidth_, p.hoffset_ = -10, 40  # a negative chip buffer length
    with pytest.warns(RuntimeWarning, match="2 of 2 points"):
        records = tt.match_points(image, image, [[40, 40], [41, 41]], [[40, 40], [41, 41]], p)
    assert records["active"].tolist() == [0, 0] and not records["strength"].any()
    assert records["row1"].tolist() == [40, 41]
    assert "Error" not in capfd.readouterr().err


def test_empty_batch(talmek):
    records = tt.match_points(np.zeros((5, 5), np.uint8), np.zeros((5, 5), np.uint8), [], [],
                              talmek.MatchingParams())
    assert records.shape == (0,) and records.dtype == tt.RECORD_DTYPE


IMG = np.zeros((64, 64), np.uint8)
GOOD = dict(image1=IMG, image2=IMG, points1=[[30, 30]], points2=[[30, 30]])


@pytest.mark.parametrize("change, error, message", [
    (dict(image1=np.zeros((4, 4, 3), np.uint8)), ValueError, "image1 must be a two-dimensional"),
    (dict(image2=np.zeros(8, np.uint8)), ValueError, "image2 must be a two-dimensional"),
    (dict(points1=[[1, 2, 3]]), ValueError, r"points1 must be an \(n, 2\)"),
    (dict(points2=[[1.0, 2.0]]), TypeError, "points2 must hold integers"),
    (dict(points1=[[1, 2]] * 2), ValueError, "differ in length"),
    (dict(points1=[[2**31, 0]]), ValueError, "32-bit"),
    (dict(threads=0), ValueError, "at least 1"),
    (dict(threads=1.5), TypeError, "threads"),
    (dict(params=object()), TypeError, "MatchingParams"),
    (dict(progress=3), TypeError, "progress"),
])
def test_bad_arguments(talmek, change, error, message):
    kw = dict(GOOD, params=talmek.MatchingParams()) | change
    with pytest.raises(error, match=message):
        tt.match_points(kw.pop("image1"), kw.pop("image2"), kw.pop("points1"), kw.pop("points2"),
                        kw.pop("params"), **kw)


# --- windows of larger images -------------------------------------------------------------------

_batch = pytest.importorskip("talmek_track._batch")
ZERO_RECORD = dict.fromkeys(SEG_FIELDS + ("length",), 0)


def window_params(talmek):
    p = talmek.MatchingParams()
    p.chipwidth_, p.chipheight_, p.hoffset_, p.voffset_ = 16, 12, 16, 18
    p.ref_cellsize_, p.srch_cellsize_, p.srch_xll_, p.ref_yll_ = 2.5, 0.5, 100.0, -30.0
    return p


def chip_in(centre, size, lo, hi):
    first = int(_batch.chip_origin(centre, size))
    return lo <= first and first + size <= hi


@pytest.mark.parametrize("w1, w2", [
    ((0, 120, 0, 130), (0, 120, 0, 130)),    # the whole images, as windows of themselves
    ((20, 100, 25, 110), (15, 105, 10, 120)),
    ((0, 75, 55, 130), (0, 85, 45, 130)),    # touching the top and right
    ((45, 120, 0, 80), (40, 120, 0, 90)),    # touching the bottom and left
    ((0, 120, 0, 130), (25, 100, 30, 110)),
    (None, (0, 120, 31, 130)),
])
def test_windows_match_as_the_whole_images(talmek, w1, w2):
    """A window of an image, placed in the full image, matches as the full image would; a point
    whose chip lies inside the full image but not inside the window held fails (all zero)."""
    full1 = textured(120, 130, 5)
    full2 = np.roll(full1, (2, -3), (0, 1))
    p = window_params(talmek)
    rr, cc = np.meshgrid(np.arange(-2, 124, 5), np.arange(-2, 134, 6), indexing="ij")
    pts = np.stack([rr.ravel(), cc.ravel(), rr.ravel() + 1, cc.ravel() - 2], axis=1).astype(np.int32)
    whole, failed, _ = _batch.match_points(full1, full2, pts, p, 2, None)
    assert failed == 0 and {1, 205} <= set(whole["active"].tolist())

    def held(full, w):
        return (full, None) if w is None else (full[w[0]:w[1], w[2]:w[3]], (w[0], w[2], *full.shape))

    (a1, win1), (a2, win2) = held(full1, w1), held(full2, w2)
    records, failed, message = _batch.match_points(a1, a2, pts, p, 2, None, window1=win1, window2=win2)
    sw, sh = p.chipwidth_ + 2 * p.hoffset_, p.chipheight_ + 2 * p.voffset_
    expect_fail = 0
    for rec, want, (r1, c1, r2, c2) in zip(records, whole, pts.tolist()):
        # Reference chip first, then the search chip; a chip outside the full image ends the match.
        verdict = None
        for (r, c, h, w), win, shape in (((r1, c1, p.chipheight_, p.chipwidth_), w1, full1.shape),
                                         ((r2, c2, sh, sw), w2, full2.shape)):
            if not (chip_in(r, h, 0, shape[0]) and chip_in(c, w, 0, shape[1])):
                break
            if win is not None and not (chip_in(r, h, win[0], win[1]) and chip_in(c, w, win[2], win[3])):
                verdict = "fail"
                break
        got = {k: rec[k] for k in ZERO_RECORD}
        assert (rec["row1"], rec["col1"], rec["row2"], rec["col2"]) == (r1, c1, r2, c2)
        if verdict == "fail":
            expect_fail += 1
            assert got == ZERO_RECORD
        else:
            assert same_bits(rec, want), (r1, c1)
    assert failed == expect_fail
    assert (message != "") == (failed > 0) and (not failed or "beyond the window" in message)


WINDOW_IMAGE = np.zeros((10, 12), np.uint8)


@pytest.mark.parametrize("window, error, message", [
    ([0, 0, 10, 12], TypeError, "tuple of four"),
    ((0, 0, 10), TypeError, "tuple of four"),
    ((0, 0, 10.0, 12), TypeError, "integers"),
    ((True, 0, 10, 12), TypeError, "integers"),
    ((-1, 0, 10, 12), ValueError, "negative"),
    ((1, 0, 10, 12), ValueError, "beyond the full image"),
    ((0, 3, 10, 14), ValueError, "beyond the full image"),
    ((0, 0, 2**31, 12), ValueError, "32-bit"),
    ((0, 0, 10, 2**70), ValueError, "out of range"),
])
def test_bad_windows(talmek, window, error, message):
    pts = np.zeros((1, 4), np.int32)
    with pytest.raises(error, match=message):
        _batch.match_points(WINDOW_IMAGE, WINDOW_IMAGE, pts, talmek.MatchingParams(), 1, None, window2=window)
