"""SelectedMatch end to end: argument conversion, error lines, match statuses, map coordinates."""

import contextlib
import functools
import io
import json
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import synthetic
from support import same_bits

FIELDS = ("active", "strength", "displacement", "rms_1", "rms_2", "x1", "y1", "x2", "y2")
DOC_TEXT = "Image matchign with a selected pixel"


def fields(seg):
    return tuple(getattr(seg, f) for f in FIELDS) + (seg.get_length(),)


def same(a, b):
    """Field tuples equal bit for bit (0.0 and -0.0 differ), NaN matching NaN."""
    return len(a) == len(b) and same_bits(np.asarray(a, np.float64), np.asarray(b, np.float64))


def params(talmek, **settings):
    p = talmek.MatchingParams()
    for name, value in settings.items():
        setattr(p, name, value)
    return p


@functools.lru_cache(maxsize=None)
def textured_pair(shape, dy=0.0, dx=0.0, seed=1, sigma=2.0):
    """Terrain and the same terrain moved exactly by (dy, dx) pixels, both quantised to uint8:
    content at (r, c) in the first image is at (r + dy, c + dx) in the second."""
    return synthetic.shifted_pair(shape, dy, dx, seed, sigma)


SMALL = dict(chipwidth_=32, chipheight_=32, hoffset_=8, voffset_=8)


def match(talmek, image1, image2, row=(100, 100), col=(100, 100), **settings):
    return talmek.SelectedMatch(image1, image2, list(row), list(col), params(talmek, **settings))


def measured(seg, row=100, col=100, rows=200):
    """(dy, dx) in pixels from the end point of a match with default georeferences."""
    return (rows - 1 - seg.y2) - row, seg.x2 - col


# --- argument conversion ------------------------------------------------------------------------


@pytest.fixture(scope="module")
def pair():
    return textured_pair((200, 200), 1.3, -2.6)


@pytest.fixture(scope="module")
def reference(talmek, pair):
    return fields(match(talmek, *pair, **SMALL))


def test_keywords_in_any_order_match_positional(talmek, pair, reference):
    a, b = pair
    p = params(talmek, **SMALL)
    assert reference[0] == 1
    assert same(fields(talmek.SelectedMatch(params=p, col=[100, 100], image2=b, row=[100, 100], image1=a)), reference)
    assert same(fields(talmek.SelectedMatch(a, b, [100, 100], params=p, col=[100, 100])), reference)


@pytest.mark.parametrize("convert", [
    lambda a: a.tolist(),
    np.asfortranarray,
    lambda a: a.astype(np.float64),
    lambda a: a.astype(np.int16) + 256,  # NumPy's unsafe cast wraps to the same bytes
    lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    lambda a: np.lib.stride_tricks.as_strided(a, a.shape, a.strides, writeable=False),
], ids=["list", "fortran", "float64", "int16-wrap", "strided", "negative-strides", "readonly"])
@pytest.mark.parametrize("which", [0, 1])
def test_image_forms_match_uint8(talmek, pair, reference, convert, which):
    images = list(pair)
    images[which] = convert(images[which])
    assert same(fields(match(talmek, *images, **SMALL)), reference)


# What pybind11 3.x takes for an int32 sequence: any sequence but str and bytes (a bytearray is
# fine), sets, generators, dict keys and values views and map objects, read in iteration order.
@pytest.mark.parametrize("make", [
    tuple, set, frozenset, lambda v: range(v[0], v[1] + 1), lambda v: (x for x in v),
    lambda v: dict.fromkeys(v).keys(), lambda v: dict(enumerate(v)).values(), lambda v: map(int, v),
    lambda v: np.array(v, dtype=np.int64), lambda v: [np.int32(x) for x in v], bytearray,
    lambda v: list(v) + [99999],
], ids=["tuple", "set", "frozenset", "range", "generator", "keys", "values", "map", "ndarray", "np-ints",
        "bytearray", "third-ignored"])
def test_point_sequences(talmek, pair, make):
    # Consecutive ascending entries, which small-int sets also iterate in.
    row, col = (100, 101), (99, 100)
    assert list(make(row))[:2] == list(row)
    p = params(talmek, **SMALL)
    expected = fields(talmek.SelectedMatch(*pair, list(row), list(col), p))
    assert expected[0] == 1
    assert same(fields(talmek.SelectedMatch(*pair, make(row), make(col), p)), expected)


@pytest.mark.parametrize("row, col, p", [
    ("ab", [100, 100], None),
    (b"dd", [100, 100], None),
    ([100, 100], [100.0, 100], None),
    ([100, 100], [100, 2**31], None),
    (iter([100, 100]), [100, 100], None),          # a bare iterator is not accepted
    ({100: 0, 101: 1}, [100, 100], None),          # nor a dict
    ([100, 100], zip([100], [100]), None),         # tuples are not ints
    ([100, 100], [100, 100], "not params"),
    ([100, 100], [100, 100], {}),
])
def test_refused_arguments_raise_type_error(talmek, pair, row, col, p):
    with pytest.raises(TypeError):
        talmek.SelectedMatch(*pair, row, col, params(talmek) if p is None else p)


def test_params_none_and_subclass(talmek, pair, reference):
    for raised in (RuntimeError, TypeError):  # RuntimeError as ever, and a wrong argument's type
        with pytest.raises(raised, match="^params must be a Talmek.MatchingParams, got None$"):
            talmek.SelectedMatch(*pair, [100, 100], [100, 100], None)

    class Tuned(talmek.MatchingParams):
        pass

    p = Tuned()
    for name, value in SMALL.items():
        setattr(p, name, value)
    assert same(fields(talmek.SelectedMatch(*pair, [100, 100], [100, 100], p)), reference)


def test_docstring(talmek):
    lines = talmek.SelectedMatch.__doc__.strip().splitlines()
    assert lines[0].startswith("SelectedMatch(image1: ") and lines[0].endswith(") -> Talmek.LineSeg")
    for part in ("numpy.uint8", "row: collections.abc.Sequence", "col: ", "params: Talmek.MatchingParams"):
        assert part in lines[0]
    assert lines[1:] == ["", DOC_TEXT]


# --- failures reported on the native error stream -----------------------------------------------


ZERO = (0,) + (0.0,) * 9
flat = np.zeros((60, 60), np.uint8)


@pytest.mark.parametrize("image1, image2, row, col, settings, line", [
    (flat, np.zeros((60, 60, 3), np.uint8), [30, 30], [30, 30], {}, "Error: Input array must be 2D"),
    (np.zeros((60, 60, 3)), np.zeros((60, 60, 3)), [30, 30], [30, 30], {}, "Error: Input array must be 2D"),
    (np.zeros(60), flat, [30, 30], [30, 30], {}, "Error: Input array must be 2D"),
    (flat, 7, [30, 30], [30, 30], {}, "Error: Input array must be 2D"),
    (flat, flat, [30], [30, 30], {}, "Error: row and col need at least two entries"),
    (flat, flat, [30, 30], [], {}, "Error: row and col need at least two entries"),
    (flat, flat, [30, 30], [30, 30], {"chipwidth_": -10}, "Error: "),
    (flat, flat, [30, 30], [30, 30], {"chipheight_": -1, "voffset_": 30}, "Error: "),
], ids=["3d-image2", "both-3d", "1d", "0d", "short-row", "empty-col", "negative-width", "negative-height"])
def test_native_failure_is_one_error_line(talmek, capfd, image1, image2, row, col, settings, line):
    capfd.readouterr()
    seg = talmek.SelectedMatch(image1, image2, row, col, params(talmek, **settings))
    out, err = capfd.readouterr()
    assert fields(seg) == ZERO and out == ""
    assert len(err.splitlines()) == 1 and err.endswith("\n")
    assert err.startswith(line) if line == "Error: " else err == line + "\n"


def test_error_line_bypasses_python_stderr(talmek, capfd):
    capfd.readouterr()
    with contextlib.redirect_stderr(io.StringIO()) as replaced:
        talmek.SelectedMatch(flat, np.zeros((4, 4, 4), np.uint8), [30, 30], [30, 30], talmek.MatchingParams())
    assert replaced.getvalue() == ""
    assert capfd.readouterr().err == "Error: Input array must be 2D\n"


# --- matching -----------------------------------------------------------------------------------


@pytest.mark.parametrize("method", [1, 2, 3, 0, 4])
@pytest.mark.parametrize("dy, dx", [(0.0, 0.0), (1.3, -2.6), (-2.0, 3.0), (-0.3, 0.4)])
def test_accepted_displacement_is_close_to_truth(talmek, method, dy, dx):
    a, b = textured_pair((200, 200), dy, dx)
    seg = match(talmek, a, b, peakmethod_=method, **SMALL)
    assert seg.active == 1 and seg.strength > 2.0
    got = measured(seg)
    if method == 4:
        assert got == (round(dy), round(dx)) and seg.rms_1 == seg.rms_2 == 0.5
    else:
        assert got == pytest.approx((dy, dx), abs=0.15)
        assert 0.0 <= seg.rms_1 < 0.2 and 0.0 <= seg.rms_2 < 0.2
    assert seg.displacement == pytest.approx(math.hypot(*got), abs=1e-5)


def test_identical_images_without_fit_return_the_reference_point(talmek):
    a, _ = textured_pair((200, 200))
    seg = match(talmek, a, a, row=(80, 80), col=(120, 120), peakmethod_=4, **SMALL)
    assert seg.active == 1 and (seg.x2, seg.y2) == (seg.x1, seg.y1) == (120.0, 119.0)
    assert seg.get_length() == 0.0 and seg.displacement == 0.0


def test_surface_larger_than_129_cells_each_way(talmek):
    a, b = textured_pair((300, 300), 30, -25)
    seg = match(talmek, a, b, row=(150, 150), col=(150, 150), chipwidth_=100, chipheight_=100,
                hoffset_=65, voffset_=65, peakmethod_=4)
    assert seg.active == 1 and measured(seg, 150, 150, 300) == (30, -25)


@functools.lru_cache(maxsize=None)
def periodic_image():
    """White noise repeating every 6 pixels: equal peaks 6 cells apart."""
    tile = np.random.default_rng(5).integers(0, 256, (6, 6), dtype=np.uint8)
    return np.tile(tile, (34, 34))[:200, :200]


UNDISPLACED = dict(x1=100.0, y1=99.0, x2=100.0, y2=99.0)


@pytest.mark.parametrize("name, image_pair, row, col, settings, expected", [
    ("accepted", (200, 200, 1, 2), (100, 100), (100, 100), dict(SMALL, peakmethod_=4),
     dict(active=1, rms_1=0.5, rms_2=0.5, x1=100.0, y1=99.0, x2=102.0, y2=98.0)),
    ("default margins: 1x1 surface", (200, 200, 0, 0), (100, 100), (100, 100), {}, dict(active=2, **UNDISPLACED)),
    ("peak at the border", (200, 200, 0, 7), (100, 100), (100, 100), SMALL, dict(active=2, **UNDISPLACED)),
    ("surface 3 columns", (200, 200, 0, 0), (100, 100), (100, 100),
     dict(chipwidth_=48, chipheight_=48, hoffset_=1, voffset_=30), dict(active=2, **UNDISPLACED)),
    ("negative margin", (200, 200, 0, 0), (100, 100), (100, 100),
     dict(chipwidth_=64, chipheight_=64, hoffset_=-4, voffset_=8), dict(active=2, **UNDISPLACED)),
    ("ambiguous", "periodic", (100, 100), (100, 100), SMALL, dict(active=3, **UNDISPLACED)),
    ("weak", (200, 200, 1, 2), (100, 100), (100, 100), dict(SMALL, mincorr_=1000.0), dict(active=4, **UNDISPLACED)),
    ("5x5 surface: no background", (200, 200, 0, 0), (100, 100), (100, 100),
     dict(chipwidth_=44, chipheight_=44, hoffset_=2, voffset_=2), dict(active=4, **UNDISPLACED)),
    ("too far", (200, 200, 1, 2), (100, 100), (100, 100), dict(SMALL, maxdiff_=0.5), dict(active=5, **UNDISPLACED)),
    ("reference too wide", (200, 200, 0, 0), (100, 100), (100, 100), dict(chipwidth_=129), dict(active=204)),
    ("search too narrow", (200, 200, 0, 0), (100, 100), (100, 100), dict(chipwidth_=40, hoffset_=3), dict(active=204)),
    ("zero height", (200, 200, 0, 0), (100, 100), (100, 100), dict(chipheight_=0), dict(active=204)),
    ("both sizes negative", (200, 200, 0, 0), (100, 100), (100, 100), dict(chipwidth_=-10, chipheight_=-10),
     dict(active=204)),
    ("search width overflows", (200, 200, 0, 0), (100, 100), (100, 100), dict(hoffset_=2**30), dict(active=204)),
    ("search width underflows", (200, 200, 0, 0), (100, 100), (100, 100), dict(hoffset_=-2**31), dict(active=204)),
    ("reference count overflows", (200, 200, 0, 0), (100, 100), (100, 100),
     dict(chipwidth_=2**16, chipheight_=2**16), dict(active=204)),
    ("search count overflows", (200, 200, 0, 0), (100, 100), (100, 100), dict(hoffset_=30000, voffset_=30000),
     dict(active=204)),
    ("reference at the edge", (200, 200, 0, 0), (14, 100), (100, 100), SMALL, dict(active=205)),
    ("search outside", (200, 200, 0, 0), (100, 180), (100, 100), SMALL, dict(active=205)),
    ("far outside", (200, 200, 0, 0), (-10**9, 100), (100, 10**9), SMALL, dict(active=205)),
    ("image without rows", "0x10", (0, 0), (5, 5), dict(chipwidth_=1, chipheight_=1, hoffset_=24, voffset_=24),
     dict(active=205)),
])
def test_match_status(talmek, name, image_pair, row, col, settings, expected):
    if image_pair == "periodic":
        a = b = periodic_image()
    elif image_pair == "0x10":
        a = b = np.zeros((0, 10), np.uint8)
    else:
        h, w, dy, dx = image_pair
        a, b = textured_pair((h, w), dy, dx)
    seg = match(talmek, a, b, row, col, **settings)
    got = dict(zip(FIELDS, fields(seg)))
    status = expected["active"]
    want = dict.fromkeys(FIELDS, 0.0) | {"active": status}
    if status == 1:
        assert seg.strength >= 2.0 and seg.displacement == pytest.approx(math.sqrt(5))
        want |= {"strength": seg.strength, "displacement": seg.displacement}
    if status == 4:
        # The computed strength stays (not a number when the window leaves no background).
        want["strength"] = seg.strength
        assert name.startswith("5x5") == math.isnan(seg.strength)
    if status == 5:
        accepted = match(talmek, a, b, row, col, **(settings | {"maxdiff_": float("nan")}))
        assert accepted.active == 1
        want |= {"strength": accepted.strength, "displacement": accepted.displacement}
    want |= expected
    assert same(tuple(got.values()), tuple(want[f] for f in FIELDS))
    assert seg.get_length() == pytest.approx(math.hypot(seg.x2 - seg.x1, seg.y2 - seg.y1))


@pytest.mark.parametrize("dy, dx, maxdiff, status", [
    (0, 1, 0.0, 1), (0, 1, -0.0, 1), (0, 1, 1e-50, 1), (0, 1, -3.0, 1), (0, 1, float("nan"), 1),
    (0, 1, 0.5, 5), (0, 1, 1.0, 1), (0, 0, 0.5, 1),
    # Along a diagonal the automatic limit of min(8, 8) - 2 = 6 pixels is exceeded.
    (6, 6, 0.0, 5), (6, 6, -0.0, 5), (6, 6, 1e-50, 5), (6, 6, -2.0, 5), (6, 6, float("nan"), 1),
    (6, 6, 8.48, 5), (6, 6, 8.49, 1),
])
def test_displacement_limit(talmek, dy, dx, maxdiff, status):
    seg = match(talmek, *textured_pair((200, 200), dy, dx), peakmethod_=4, maxdiff_=maxdiff, **SMALL)
    assert seg.active == status
    assert seg.displacement == pytest.approx(math.hypot(dy, dx))
    if status == 1:
        assert measured(seg) == (dy, dx) and seg.rms_1 == seg.rms_2 == 0.5
    else:
        assert (seg.x2, seg.y2, seg.rms_1, seg.rms_2) == (100.0, 99.0, 0.0, 0.0)


GEO = dict(ref_cellsize_=2.0, ref_xll_=5.0, ref_yll_=7.0, srch_cellsize_=0.5, srch_xll_=10.0, srch_yll_=20.0)


@pytest.mark.parametrize("dy, dx, method, settings", [
    (-1, 1, 4, GEO),                                  # whole-pixel match in the example's geometry
    (-0.5, 1.25, 2, GEO),                             # the example's displacement itself, fitted
    (2, -3, 4, dict(ref_cellsize_=30.0, srch_cellsize_=30.0, ref_xll_=-1e6, ref_yll_=4e6, srch_xll_=-1e6,
                    srch_yll_=4e6)),
])
def test_map_coordinates(talmek, dy, dx, method, settings):
    # image2 has 200 rows; the search point is (row 50, column 60); image1 has 150 rows.
    a, b = textured_pair((200, 200), dy, dx, seed=3)
    seg = match(talmek, a[:150], b, row=(50, 50), col=(60, 60), peakmethod_=method, **SMALL, **settings)
    p = params(talmek, **settings)
    assert seg.active == 1
    assert seg.x1 == 60 * p.ref_cellsize_ + p.ref_xll_
    assert seg.y1 == 149 * p.ref_cellsize_ + p.ref_yll_ - 50 * p.ref_cellsize_
    c2 = (seg.x2 - p.srch_xll_) / p.srch_cellsize_
    r2 = (199 * p.srch_cellsize_ + p.srch_yll_ - seg.y2) / p.srch_cellsize_
    assert seg.displacement == pytest.approx(math.hypot(c2 - 60, r2 - 50), rel=1e-6)
    assert seg.get_length() == pytest.approx(math.hypot(seg.x2 - seg.x1, seg.y2 - seg.y1))
    if method == 4:
        assert (c2, r2) == (60 + dx, 50 + dy)
    if settings is GEO:
        # c2 = 61.25, r2 = 49.5 give x2 = 40.625, y2 = 94.75; the whole-pixel match gives 40.5 and 95.0.
        want = (40.625, 94.75) if method != 4 else (40.5, 95.0)
        assert (seg.x2, seg.y2) == pytest.approx(want, abs=0.1 if method != 4 else 0)


@pytest.mark.parametrize("row, y", [(0, 298.0), (99, 100.0)])
def test_reference_map_y(talmek, row, y):
    # A one-row reference chip reaches the first and last image rows.
    a, _ = textured_pair((100, 100))
    _, b = textured_pair((200, 200))
    seg = match(talmek, a, b, row=(row, 100), col=(50, 100), chipwidth_=48, chipheight_=1, hoffset_=8, voffset_=24,
                ref_cellsize_=2.0, ref_yll_=100.0)
    assert 1 <= seg.active <= 5 and seg.y1 == y and seg.x1 == 100.0


def test_rejected_match_length_spans_both_georeferences(talmek):
    a, b = textured_pair((200, 200))
    seg = match(talmek, a, b, ref_xll_=3.0, ref_yll_=-4.0)  # default margins: status 2
    assert seg.active == 2 and seg.get_length() == 5.0


# --- robustness ---------------------------------------------------------------------------------


FUZZ = r"""
import json, random
import numpy as np
import Talmek

rng = random.Random(20240611)
noise = np.random.default_rng(7)
smooth = lambda a: ((a + np.roll(a, 1, 0) + np.roll(a, 1, 1) + np.roll(a, (1, 1), (0, 1))) / 4).astype(np.uint8)
big = smooth(noise.integers(0, 256, (160, 160)))
images = [big, np.roll(big, (2, -3), (0, 1)), big[:50, :70], big[:3, :3], big[:1, :200], np.zeros((0, 10), np.uint8),
          np.full((80, 80), 9, np.uint8)]
SIZE = [1, 2, 5, 32, 47, 48, 64, 100, 127, 128, 129, 256, 0, -1, -10, 2**30, -2**30, 2**31 - 1, -2**31, 2**16]
MARGIN = [0, 1, 2, 3, 8, 24, 65, 100, -1, -4, -30, 2**30, -2**30, 2**31 - 1, -2**31, 30000]
REAL = [0.0, -0.0, 1e-50, 0.5, 2.0, 6.0, -2.0, 1e9, float("nan"), float("inf"), -float("inf")]
POINT = [0, 1, 40, 80, 100, 159, 200, -5, 10**9, -10**9, 2**31 - 1, -2**31]

for _ in range(400):
    if rng.random() < 0.5:   # workable sizes around the middle of the textured pair, so that matches run
        w, h = rng.randint(12, 64), rng.randint(12, 64)
        s = dict(chipwidth_=w, chipheight_=h, hoffset_=rng.randint(max(-2, (49 - w) // 2), 30),
                 voffset_=rng.randint(max(-2, (49 - h) // 2), 30))
        i1, i2 = images[0], images[rng.randint(0, 1)]
        row, col = [80 + rng.randint(-8, 8) for _ in "ab"], [80 + rng.randint(-8, 8) for _ in "ab"]
    else:
        s = dict(chipwidth_=rng.choice(SIZE), chipheight_=rng.choice(SIZE), hoffset_=rng.choice(MARGIN),
                 voffset_=rng.choice(MARGIN))
        i1, i2 = rng.choice(images), rng.choice(images)
        near = lambda n: rng.choice(POINT) if rng.random() < 0.3 else rng.randint(0, max(n, 1))
        row = [near(i1.shape[0]), near(i2.shape[0])]
        col = [near(i1.shape[1]), near(i2.shape[1])]
    s |= dict(peakmethod_=rng.choice([-1, 0, 1, 2, 3, 4, 5, 2**31 - 1]), maxdiff_=rng.choice(REAL),
              mincorr_=rng.choice(REAL), ref_cellsize_=rng.uniform(0.1, 5), srch_cellsize_=rng.uniform(0.1, 5),
              ref_xll_=rng.uniform(-100, 100), ref_yll_=rng.uniform(-100, 100),
              srch_xll_=rng.uniform(-100, 100), srch_yll_=rng.uniform(-100, 100))
    p = Talmek.MatchingParams()
    for k, v in s.items():
        setattr(p, k, v)
    seg = Talmek.SelectedMatch(i1, i2, row, col, p)
    out = [getattr(seg, f) for f in ("active", "strength", "displacement", "rms_1", "rms_2", "x1", "y1", "x2", "y2")]
    print(json.dumps(dict(s=s, rows=[i1.shape[0], i2.shape[0]], row=row, col=col, out=out + [seg.get_length()])))
"""


def check_consistent(case):
    s, out = case["s"], case["out"]
    active, strength, disp, rms1, rms2, x1, y1, x2, y2, length = out
    assert active in (0, 1, 2, 3, 4, 5, 204, 205)
    if active in (0, 204, 205):
        assert out[1:] == [0.0] * 9
        return
    (r1, r2), (c1, c2), (n1, n2) = case["row"], case["col"], case["rows"]
    assert x1 == pytest.approx(c1 * s["ref_cellsize_"] + s["ref_xll_"])
    assert y1 == pytest.approx((n1 - 1) * s["ref_cellsize_"] + s["ref_yll_"] - r1 * s["ref_cellsize_"])
    assert length == pytest.approx(math.hypot(x2 - x1, y2 - y1), nan_ok=True)
    mincorr = float(np.float32(s["mincorr_"]))
    limit = float(np.float32(s["maxdiff_"]))
    if limit <= 0:
        limit = float(np.float32(min(s["hoffset_"], s["voffset_"]) - 2.0))
    if active == 1:
        assert not mincorr > strength and not math.isnan(strength) and not disp > limit and not math.isnan(disp)
        if s["peakmethod_"] == 4:
            assert rms1 == rms2 == 0.5 and disp * disp == pytest.approx(round(disp * disp))
        return
    assert (x2, y2) == pytest.approx((c2 * s["srch_cellsize_"] + s["srch_xll_"],
                                      (n2 - 1) * s["srch_cellsize_"] + s["srch_yll_"] - r2 * s["srch_cellsize_"]))
    assert rms1 == rms2 == 0.0
    if active in (2, 3):
        assert strength == disp == 0.0
    elif active == 4:
        assert disp == 0.0 and (mincorr > strength or math.isnan(strength))
    else:
        assert disp > limit or math.isnan(disp)


def test_random_settings_never_crash(talmek):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(talmek.__file__), *sys.path]))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(FUZZ)], capture_output=True, text=True, env=env,
                          timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    cases = [json.loads(line) for line in proc.stdout.splitlines()]  # matches print nothing
    assert len(cases) == 400
    for case in cases:
        check_consistent(case)
    # Every all-zero result comes with its error line, and only those do.
    errors = [line for line in proc.stderr.splitlines() if line]
    assert all(line.startswith("Error: ") for line in errors)
    assert len(errors) == sum(c["out"][0] == 0 for c in cases)
    assert {0, 1, 2, 3, 4, 5, 204, 205} == {c["out"][0] for c in cases}


# --- sound results at the edges -----------------------------------------------------------------


def _huge(rows, cols):
    # A view of one byte: as many rows or columns as asked, without the memory.
    return np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), shape=(rows, cols), strides=(0, 0))


HUGE = 2**31 + 300
OVERSIZED = [pytest.param(lambda: _huge(HUGE, 64), id="rows"), pytest.param(lambda: _huge(64, HUGE), id="cols")]


@pytest.mark.parametrize("make", OVERSIZED)
@pytest.mark.parametrize("which", [0, 1])
def test_images_beyond_32_bit_counts_are_refused(talmek, capfd, make, which):
    images = [flat, flat]
    images[which] = make()
    capfd.readouterr()
    seg = talmek.SelectedMatch(*images, [30, 30], [30, 30], params(talmek, chipwidth_=16, chipheight_=16,
                                                                  hoffset_=16, voffset_=16))
    out, err = capfd.readouterr()
    assert fields(seg) == ZERO and out == ""
    assert err == "Error: image has more rows or columns than a 32-bit count holds\n"

    import talmek_track

    with pytest.raises(ValueError, match=f"image{which + 1} has"):
        talmek_track.match_points(*images, [[30, 30]], [[30, 30]], talmek.MatchingParams())


@pytest.mark.parametrize("method", [1, 2, 3])
def test_accepted_matches_stay_within_the_searched_window(talmek, method):
    """Fits whose stationary point lands beyond the neighbouring cells fall back to the whole-cell
    peak: on a texture drowned in noise, with a generous limit, no accepted displacement leaves
    the searched window (before, a few per thousand landed tens to hundreds of pixels away)."""
    import talmek_track

    margin = 16
    p = params(talmek, chipwidth_=16, chipheight_=16, hoffset_=margin, voffset_=margin, maxdiff_=1000.0,
               mincorr_=0.0, peakmethod_=method)
    grid = np.stack(np.meshgrid(np.arange(30, 130, 4), np.arange(30, 130, 4), indexing="ij"), -1).reshape(-1, 2)
    fallbacks = 0
    for seed in range(3):
        a, b = textured_pair((160, 160), 0.3, -0.6, seed=seed + 10, sigma=2.0)
        noise = np.random.default_rng(seed).normal(0, 200, b.shape)
        b = np.clip(b + noise, 0, 255).astype(np.uint8)
        rec = talmek_track.match_points(a, b, grid, grid, p)
        ok = rec[rec["active"] == 1]
        assert len(ok) > 200
        assert np.all(np.abs(ok["x2"] - ok["x1"]) <= margin + 1)
        assert np.all(np.abs(ok["y1"] - ok["y2"]) <= margin + 1)
        assert np.all(np.isfinite(ok["rms_1"]) & np.isfinite(ok["rms_2"]))
        # A fallback keeps the whole-cell peak: whole pixels, both errors 0.5.
        whole = (ok["rms_1"] == 0.5) & (ok["rms_2"] == 0.5)
        assert np.all(ok["x2"][whole] == np.rint(ok["x2"][whole]))
        fallbacks += int(whole.sum())
    assert fallbacks > 0
