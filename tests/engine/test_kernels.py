"""Chip extraction, the two-dimensional transform and the 6x6 solver, one operation at a time."""
import math

import numpy as np
import pytest

import _talmek_testsupport as _stages
from talmek_track import Status

# Extraction's own codes; a rejected chip ends the match with its code as the status.
OK, NO_BUFFER = _stages.CHIP_OK, _stages.CHIP_NO_BUFFER
BAD_SIZE, OUTSIDE = Status.bad_chip_size, Status.chip_outside
LU_OK = _stages.LU_OK
INT_MAX, INT_MIN = 2**31 - 1, -(2**31)


# ---------------------------------------------------------------- chip extraction

@pytest.fixture(scope="module")
def image():
    rng = np.random.default_rng(7)
    img = rng.integers(0, 255, (300, 280), dtype=np.uint8)
    img[150, 140] = 255
    return img


def first_index(centre, size):
    return math.trunc(centre - size * 0.5 + 1.0)


@pytest.mark.parametrize(
    "row, col, width, height, lo, hi, expected",
    [
        # sizes at and one beyond the limits, width and height each
        (150, 140, 48, 60, 48, 256, OK),
        (150, 140, 47, 60, 48, 256, BAD_SIZE),
        (150, 140, 60, 47, 48, 256, BAD_SIZE),
        (150, 140, 256, 256, 48, 256, OK),
        (150, 140, 257, 60, 48, 256, BAD_SIZE),
        (150, 140, 60, 257, 48, 256, BAD_SIZE),
        (150, 140, 1, 1, 1, 128, OK),
        (150, 140, 0, 1, 1, 128, BAD_SIZE),
        # a size error wins over a position error
        (0, 0, 300, 300, 1, 128, BAD_SIZE),
        # chip ending exactly at the last row / column, then one further
        (300 - 6, 140, 10, 10, 1, 128, OK),
        (300 - 5, 140, 10, 10, 1, 128, OUTSIDE),
        (150, 280 - 6, 10, 10, 1, 128, OK),
        (150, 280 - 5, 10, 10, 1, 128, OUTSIDE),
        (150, 280 - 11, 21, 10, 1, 128, OK),
        (150, 280 - 10, 21, 10, 1, 128, OUTSIDE),
        # even size: the centre sits just before the middle
        (63, 140, 10, 128, 1, 128, OK),
        (62, 140, 10, 128, 1, 128, OUTSIDE),
        (150, 63, 128, 10, 1, 128, OK),
        (150, 62, 128, 10, 1, 128, OUTSIDE),
        # odd size: -0.5 truncates to 0, -1.5 to -1
        (9, 140, 10, 21, 1, 128, OK),
        (8, 140, 10, 21, 1, 128, OUTSIDE),
        (150, 9, 21, 10, 1, 128, OK),
        (150, 8, 21, 10, 1, 128, OUTSIDE),
    ],
)
def test_chip_bounds_and_limits(engine, image, row, col, width, height, lo, hi, expected):
    status, chip = engine.extract_chip(image, row, col, width, height, lo, hi)
    assert status == expected
    if expected == OK:
        r0, c0 = first_index(row, height), first_index(col, width)
        assert r0 >= 0 and c0 >= 0
        assert chip.dtype == np.float32 and chip.shape == (height, width)
        np.testing.assert_array_equal(chip, image[r0:r0 + height, c0:c0 + width].astype(np.float32))
    else:
        assert chip is None


def test_chip_centre_placement_and_pixel_range(engine, image):
    status, chip = engine.extract_chip(image, 9, 140, 5, 21, 1, 128)
    assert status == OK
    np.testing.assert_array_equal(chip, image[0:21, 138:143])  # rows 0..20, centre at chip row 9
    status, chip = engine.extract_chip(image, 150, 140, 3, 3, 1, 128)
    assert status == OK and chip[1, 1] == np.float32(255.0)
    flat = np.zeros((4, 4), np.uint8)
    assert engine.extract_chip(flat, 1, 1, 2, 2, 1, 4)[1].tolist() == [[0.0, 0.0], [0.0, 0.0]]


@pytest.mark.parametrize(
    "row, col, width, height, expected",
    [
        (150, 140, 10, 10, NO_BUFFER),
        (150, 140, 300, 10, BAD_SIZE),  # the size is judged before the buffer
        (299, 140, 10, 10, OUTSIDE),  # and so is the position
    ],
)
def test_chip_without_buffer(engine, image, row, col, width, height, expected):
    assert engine.extract_chip(image, row, col, width, height, 1, 128, with_buffer=False) == (expected, None)


@pytest.mark.parametrize(
    "row, col, width, height, lo, hi, expected",
    [
        (INT_MAX, 140, 10, 10, 1, 128, OUTSIDE),
        (150, INT_MAX, 10, 10, 1, 128, OUTSIDE),
        (INT_MIN, 140, 10, 10, 1, 128, OUTSIDE),
        (150, INT_MIN, 10, 10, 1, 128, OUTSIDE),
        (INT_MAX, INT_MIN, 1, 1, 1, 1, OUTSIDE),
        (150, 140, INT_MAX, 10, 1, INT_MAX, OUTSIDE),
        (150, 140, 10, INT_MAX, 1, INT_MAX, OUTSIDE),
        (INT_MIN, INT_MIN, INT_MAX, INT_MAX, 1, INT_MAX, OUTSIDE),
        (INT_MAX, INT_MAX, INT_MAX, INT_MAX, 1, INT_MAX, OUTSIDE),
        (150, 140, INT_MAX, 10, 1, 128, BAD_SIZE),
        (150, 140, INT_MIN, 10, 1, 128, BAD_SIZE),
    ],
)
def test_chip_extreme_centres_and_sizes(engine, image, row, col, width, height, lo, hi, expected):
    # No buffer: these huge sizes must be rejected before any write could happen.
    status, _ = engine.extract_chip(image, row, col, width, height, lo, hi, with_buffer=False)
    assert status == expected


def test_chip_from_an_image_without_rows(engine):
    assert engine.extract_chip(np.zeros((0, 0), np.uint8), 0, 0, 1, 1, 1, 128)[0] == OUTSIDE


# ---------------------------------------------------------------- transform

def cgrid(shape, seed, scale=1.0):
    rng = np.random.default_rng(seed)
    return (rng.uniform(-scale, scale, shape) + 1j * rng.uniform(-scale, scale, shape)).astype(np.complex64)


def as_complex(out):
    return out[..., 0].astype(np.float64) + 1j * out[..., 1].astype(np.float64)


def as_pairs(data):
    return np.stack([data.real, data.imag], axis=-1).astype(np.float32)


def numpy_transform(data, sign):
    x = data.astype(np.complex128)
    return np.fft.fft2(x) if sign < 0 else np.fft.ifft2(x) * x.size


@pytest.mark.parametrize("shape", [(1, 1), (1, 8), (8, 1), (1, 256)])
@pytest.mark.parametrize("sign", [1, -1])
def test_fft_extent_one_is_identity_along_that_axis(engine, shape, sign):
    data = cgrid(shape, 1)
    out = engine.fft2d(data, sign)
    if shape == (1, 1):
        np.testing.assert_array_equal(out, as_pairs(data))
    else:
        np.testing.assert_allclose(as_complex(out), numpy_transform(data, sign), atol=1e-4)


@pytest.mark.parametrize("shape", [(1, 1), (8, 8), (4, 8), (64, 64), (256, 256), (2, 128)])
@pytest.mark.parametrize("sign", [1, -1])
def test_fft_unit_impulse_is_flat(engine, shape, sign):
    data = np.zeros(shape, np.complex64)
    data[0, 0] = 1
    out = engine.fft2d(data, sign)
    assert np.all(out[..., 0] == 1.0) and np.all(out[..., 1] == 0.0)


@pytest.mark.parametrize("shape", [(8, 8), (4, 8), (64, 64), (128, 128), (256, 256)])
def test_fft_round_trip_scales_by_size(engine, shape):
    data = cgrid(shape, 2, 100.0)
    back = as_complex(engine.fft2d(as_complex(engine.fft2d(data, 1)).astype(np.complex64), -1))
    np.testing.assert_allclose(back / data.size, data, atol=1e-3)


@pytest.mark.parametrize("shape", [(64, 64), (128, 128), (256, 256), (4, 8), (8, 4)])
@pytest.mark.parametrize("sign", [1, -1])
def test_fft_agrees_with_numpy(engine, shape, sign):
    # Chip-like magnitudes: the transform sees 8-bit pixel values.
    data = cgrid(shape, 3, 255.0)
    expected = numpy_transform(data, sign)
    got = as_complex(engine.fft2d(data, sign))
    err = np.abs(got - expected).max() / np.abs(expected).max()
    assert err < 1e-6


@pytest.mark.parametrize("shape", [(4, 8), (1, 16), (16, 16)])
def test_fft_single_exponential(engine, shape):
    rows, cols = shape
    b = np.arange(cols)
    data = np.broadcast_to(np.exp(2j * np.pi * b / cols), shape).astype(np.complex64)
    for sign, hit in ((1, (0, cols - 1)), (-1, (0, 1))):
        got = as_complex(engine.fft2d(data, sign))
        expected = np.zeros(shape)
        expected[hit] = rows * cols
        np.testing.assert_allclose(got, expected, atol=1e-4 * rows * cols)


@pytest.mark.parametrize("shape", [(3, 4), (4, 6), (12, 12), (0, 8), (8, 0), (64, 48), (256, 255)])
def test_fft_refuses_other_extents(engine, shape):
    data = cgrid(shape, 4)
    with pytest.raises(ValueError):
        engine.fft2d(data, 1)
    done, left = engine.fft2d_status(data, -1)
    assert done is False
    np.testing.assert_array_equal(left, as_pairs(data))


def transcribed_fft(data, dims, sign):
    """Straight transcription of the transform's steps: float32 data, float64 angles and twiddles."""
    f32 = np.float32
    d = [None] + [f32(v) for v in data]  # positions count from 1
    total = dims[0] * dims[1]
    prev = 1
    for n in (dims[1], dims[0]):
        rem = total // (n * prev)
        s1 = 2 * prev
        s2 = s1 * n
        s3 = s2 * rem
        rev = 1
        for i2 in range(1, s2 + 1, s1):
            if i2 < rev:
                for i1 in range(i2, i2 + s1 - 1, 2):
                    for i3 in range(i1, s3 + 1, s2):
                        j = rev + i3 - i2
                        d[i3], d[j] = d[j], d[i3]
                        d[i3 + 1], d[j + 1] = d[j + 1], d[i3 + 1]
            bit = s2 >> 1
            while bit >= s1 and rev > bit:
                rev -= bit
                bit >>= 1
            rev += bit
        length = s1
        while length < s2:
            step = 2 * length
            theta = (sign * 6.28318530717959) / float(step // s1)
            h = math.sin(theta * 0.5)
            wpr = (h * -2.0) * h
            wpi = math.sin(theta)
            wr, wi = 1.0, 0.0
            for i3 in range(1, length + 1, s1):
                for i1 in range(i3, i3 + s1 - 1, 2):
                    for k1 in range(i1, s3 + 1, step):
                        k2 = k1 + length
                        tr = f32(float(d[k2]) * wr - float(d[k2 + 1]) * wi)
                        ti = f32(float(d[k2 + 1]) * wr + float(d[k2]) * wi)
                        d[k2] = d[k1] - tr
                        d[k2 + 1] = d[k1 + 1] - ti
                        d[k1] = tr + d[k1]
                        d[k1 + 1] = ti + d[k1 + 1]
                wr, wi = wr + (wr * wpr - wi * wpi), wi + (wi * wpr + wr * wpi)
            length = step
        prev *= n
    return np.array(d[1:], np.float32)


@pytest.mark.parametrize("shape", [(8, 8), (4, 8), (16, 32)])
@pytest.mark.parametrize("sign", [1, -1])
def test_fft_bit_exact_against_transcription(engine, shape, sign):
    data = cgrid(shape, 5, 255.0)
    expected = transcribed_fft(as_pairs(data).ravel(), shape, sign)
    got = engine.fft2d(data, sign).ravel()
    assert got.view(np.uint32).tolist() == expected.view(np.uint32).tolist()


# ---------------------------------------------------------------- solver

def identity():
    return np.eye(6, dtype=np.float32)


def with_rows(**rows):
    m = identity()
    for name, values in rows.items():
        m[int(name[1:])] = values
    return m



def test_solver_identity(engine, capfd):
    status, factors, index = engine.lu_decompose(identity())
    assert status == LU_OK and index[:5].tolist() == [0, 1, 2, 3, 4]
    np.testing.assert_array_equal(factors, identity())
    rhs = np.array([0, 0, 3, -1, 0.5, 7], np.float32)  # leading zeros solved like anything else
    np.testing.assert_array_equal(engine.lu_solve(factors, index, rhs), rhs)
    inverse, _, status = engine.invert_matrix(identity())
    assert status == LU_OK
    np.testing.assert_array_equal(inverse, identity())
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "matrix, expected_status, expected_index",
    [
        # scaled pivoting: 1/1 beats 2/1000, where plain partial pivoting would keep row 0
        (with_rows(r0=[2, 1000, 0, 0, 0, 0], r1=[1, 1, 0, 0, 0, 0]), LU_OK, [1, 1, 2, 3, 4]),
        # equal scaled magnitudes (0.5 each): the lower row wins, so no interchange
        (with_rows(r0=[2, 4, 0, 0, 0, 0], r1=[1, 0, 2, 0, 0, 0]), LU_OK, [0, 1, 2, 3, 4]),
        # ... and among rows below j, the first of the tied ones
        (with_rows(r0=[1, 10, 0, 0, 0, 0], r1=[1, 1, 0, 0, 0, 0], r2=[2, 0, 2, 0, 0, 0]), LU_OK, [1]),
        # duplicate last row: the tie at step 4 keeps row 4, and (5, 5) ends at zero
        (with_rows(r5=[0, 0, 0, 0, 1, 0]), 6, [0, 1, 2, 3, 4]),
        # column 2 all zero from row 2 down
        (with_rows(r2=[0, 0, 0, 1, 0, 0]), 2, [0, 1]),
    ],
)
def test_solver_pivoting_and_status(engine, matrix, expected_status, expected_index):
    status, _, index = engine.lu_decompose(matrix)
    assert status == expected_status
    assert index[: len(expected_index)].tolist() == expected_index


def test_solver_zero_row(engine, capfd):
    matrix = with_rows(r3=[0, -0.0, 0, 0, 0, 0])
    status, factors, index = engine.lu_decompose(matrix)
    assert status == 0
    np.testing.assert_array_equal(factors, matrix)
    assert index.tolist() == [-1] * 6  # nothing written
    inverse, _, status = engine.invert_matrix(matrix)
    assert status == 0
    np.testing.assert_array_equal(inverse, identity())
    assert capfd.readouterr().out == ""  # the status says it; nothing is printed


def test_solver_status_of_the_last_step(engine, capfd):
    inverse, _, status = engine.invert_matrix(with_rows(r5=[0, 0, 0, 0, 1, 0]))
    assert status == 6
    np.testing.assert_array_equal(inverse, identity())
    assert capfd.readouterr().out == ""


def test_solver_not_a_number_row_counts_as_zero(engine):
    assert engine.lu_decompose(with_rows(r1=[np.nan, 0, 0, 0, 0, 0]))[0] == 0


def test_solver_multipliers_stay_where_formed(engine):
    # Step 0 keeps row 0 (tie) and stores -2/4, -1/4; step 1 brings row 2 up (3/3 beats 1/2), but the
    # interchange covers columns 1..5 only, so the step-0 multipliers stay in their rows.
    a = with_rows(r0=[4, 0, 0, 0, 0, 0], r1=[2, 1, 1, 0, 0, 0], r2=[1, 3, 0, 0, 0, 0])
    status, factors, index = engine.lu_decompose(a)
    assert status == LU_OK and index[:2].tolist() == [0, 2]
    assert factors[1, 0] == np.float32(-0.5) and factors[2, 0] == np.float32(-0.25)
    assert factors[1, 1:3].tolist() == [3.0, 0.0]  # row 2's remainder, moved up
    assert factors[2, 1] == np.float32(-1.0) / np.float32(3.0)
    b = np.array([1, 2, 3, 4, 5, 6], np.float32)
    np.testing.assert_allclose(engine.lu_solve(factors, index, b), np.linalg.solve(a.astype(float), b), rtol=1e-6)


@pytest.mark.parametrize("seed", range(5))
def test_solver_agrees_with_numpy(engine, seed):
    rng = np.random.default_rng(seed)
    a = (rng.uniform(-1, 1, (6, 6)) + 3 * np.eye(6)[rng.permutation(6)]).astype(np.float32)
    b = rng.uniform(-10, 10, 6).astype(np.float32)
    status, factors, index = engine.lu_decompose(a)
    assert status == LU_OK
    np.testing.assert_allclose(engine.lu_solve(factors, index, b), np.linalg.solve(a.astype(float), b),
                               rtol=1e-5, atol=1e-5)
    inverse, _, status = engine.invert_matrix(a)
    np.testing.assert_allclose(inverse, np.linalg.inv(a.astype(float)), rtol=1e-5, atol=1e-5)
