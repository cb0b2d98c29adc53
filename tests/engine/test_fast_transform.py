"""The engine's fast transform must agree with the plain one bit for bit, under every schedule and
every kernel build that this processor runs."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from support import same_bits, textured

SCHEDULES = ["rows", "pairs", "strips_l1", "strips_l2"]
KERNELS = ["baseline", "avx2", "avx512"]


def random_grid(n, seed, scale):
    rng = np.random.default_rng(seed)
    return (rng.uniform(-scale, scale, (n, n)) + 1j * rng.uniform(-scale, scale, (n, n))).astype(np.complex64)


@pytest.mark.parametrize("n", [1, 2, 64, 128, 256])
@pytest.mark.parametrize("sign", [1, -1])
@pytest.mark.parametrize("transposed", [False, True])
def test_fast_equals_plain(engine, n, sign, transposed):
    data = random_grid(n, seed=n + sign, scale=255.0)
    # With `transposed` the wrapper lays the data out transposed, as the correlation does.
    assert same_bits(engine.fft2d_fast(data, sign, transposed), engine.fft2d(data, sign))


@pytest.mark.parametrize("n, rows, cols", [(64, 48, 40), (64, 32, 32), (256, 168, 168), (256, 128, 100), (64, 20, 60)])
def test_pruned_transforms_equal_plain(engine, n, rows, cols):
    """Padding left out of the forward transforms, unread outputs out of the inverse: what is read
    stays bit for bit the same."""
    grid = np.zeros((n, n), np.complex64)
    chip = np.random.default_rng(rows + cols).integers(0, 256, (rows, cols))
    grid[:cols, :rows] = chip.T  # the chip laid in transposed, as the correlation does
    plain = engine.fft2d(grid, 1)
    forward = engine.fft2d_fast(grid, 1, True, first=[cols, rows, n], second=[n, cols, n])
    assert same_bits(forward, plain)

    product = (plain[..., 0] + 1j * plain[..., 1]).astype(np.complex64)
    want_b, want_a = n - rows + 1, n - cols + 1
    inverse = engine.fft2d_fast(product, -1, first=[n, n, want_b], second=[want_b, n, want_a])
    assert same_bits(inverse[:want_a, :want_b], engine.fft2d(product, -1)[:want_a, :want_b])


def test_padding_beside_negative_zero(engine):
    """A row paired with padding keeps -0 where the butterfly keeps it and loses it where the
    butterfly adds +0."""
    grid = np.zeros((8, 8), np.complex64)
    grid[:3, :3] = -0.0
    grid[2, 1] = 5.0
    plain = engine.fft2d(grid, 1)
    fast = engine.fft2d_fast(grid, 1, True, first=[3, 3, 8], second=[8, 3, 8])
    assert same_bits(fast, plain)


@pytest.mark.parametrize("kernel", ["baseline", "avx2", "avx512"])
@pytest.mark.parametrize("n", [64, 256])
def test_every_kernel_build_gives_the_same_bits(engine, kernel, n):
    if not engine.kernel_supported(kernel):
        pytest.skip(f"this processor does not run the {kernel} build")
    data = random_grid(n, seed=7, scale=255.0)
    for sign in (1, -1):
        assert same_bits(engine.fft2d_fast(data, sign, kernel=kernel), engine.fft2d(data, sign))


def test_schedule_names(engine):
    assert engine.schedules() == SCHEDULES


def supported(engine, kernel):
    if not engine.kernel_supported(kernel):
        pytest.skip(f"this processor does not run the {kernel} build")


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("schedule", SCHEDULES)
@pytest.mark.parametrize("n", [2, 8, 64, 128, 256])
def test_every_schedule_and_kernel_gives_the_same_bits(engine, kernel, schedule, n):
    """Also with the rows in bit-reversed order on the way in or out, as the correlation passes
    its spectra on."""
    supported(engine, kernel)
    data = random_grid(n, seed=n + 3, scale=255.0)
    for sign in (1, -1):
        plain = engine.fft2d(data, sign)
        for reversed_rows in ({}, {"reversed_input": True}, {"reversed_output": True}):
            assert same_bits(engine.fft2d_fast(data, sign, kernel=kernel, schedule=schedule, **reversed_rows), plain)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("schedule", SCHEDULES)
@pytest.mark.parametrize("n, rows, cols", [(64, 48, 40), (64, 17, 3), (128, 96, 64), (256, 168, 168), (256, 101, 15)])
def test_pruned_schedules_read_nothing_beyond_the_chip(engine, kernel, schedule, n, rows, cols):
    """A chip with NaN wherever the regions say nothing is read: what is read equals the plain
    transform of the zero-padded chip, forward and, from its product, inverse."""
    supported(engine, kernel)
    chip = np.random.default_rng(rows * cols).integers(0, 256, (rows, cols))
    grid = np.zeros((n, n), np.complex64)
    grid[:cols, :rows] = chip.T
    unread = grid.copy()
    unread[cols:, :] = np.nan
    unread[:, rows:] = np.nan
    plain = engine.fft2d(grid, 1)
    for reversed_output in (False, True):
        forward = engine.fft2d_fast(unread, 1, True, first=[cols, rows, n], second=[n, cols, n],
                                    kernel=kernel, schedule=schedule, reversed_output=reversed_output)
        assert same_bits(forward, plain)

    product = (plain[..., 0] + 1j * plain[..., 1]).astype(np.complex64)
    want_b, want_a = n - rows + 1, n - cols + 1
    expected = engine.fft2d(product, -1)[:want_a, :want_b]
    for reversed_input in (False, True):
        inverse = engine.fft2d_fast(product, -1, first=[n, n, want_b], second=[want_b, n, want_a],
                                    kernel=kernel, schedule=schedule, reversed_input=reversed_input)
        assert same_bits(inverse[:want_a, :want_b], expected)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("schedule", SCHEDULES)
@pytest.mark.parametrize("n, rows, cols", [(64, 48, 40), (64, 17, 3), (128, 96, 64), (256, 168, 168), (256, 101, 15)])
def test_inverse_into_a_second_grid(engine, kernel, schedule, n, rows, cols):
    """The correlation's inverse: the product transposed with its rows reversed, the first
    dimension's wanted outputs gathered into a second grid for the second dimension. What is
    wanted equals the plain inverse; the plain path through the same layout gives it too."""
    supported(engine, kernel)
    product = random_grid(n, seed=rows + cols, scale=1e6)
    want_b, want_a = n - rows + 1, n - cols + 1
    expected = engine.fft2d(product, -1)[:want_a, :want_b]
    common = dict(kernel=kernel, schedule=schedule, reversed_transposed_input=True)
    inverse = engine.fft2d_fast(product, -1, first=[n, n, want_b], second=[want_b, n, want_a],
                                into_second_grid=True, **common)
    assert same_bits(inverse[:want_a, :want_b], expected)
    assert same_bits(engine.fft2d_fast(product, -1, **common), engine.fft2d(product, -1))


@pytest.mark.parametrize("n", [1, 2, 4, 8, 64, 256])
def test_product_with_conjugate_transposed(engine, n):
    a, b = random_grid(n, seed=n, scale=1e3), random_grid(n, seed=n + 1, scale=1e3)
    ar, ai, br, bi = a.real, a.imag, b.real, b.imag
    expected = np.empty_like(a)
    expected.real = ar * br + bi * ai  # float32 throughout, in this order
    expected.imag = br * ai - ar * bi
    assert same_bits(engine.multiply_conjugate_transposed(a, b), expected.T)


def plain_correlation(engine, search, ref):
    """Raw correlation through the plain transform: both chips padded into one grid (transposed, as
    the correlation lays them), the product with the conjugate in float32, the inverse, scaled."""
    n = 64
    while n < max(search.shape):
        n *= 2
    spectra = []
    for chip in (search, ref):
        grid = np.zeros((n, n), np.complex64)
        grid[:chip.shape[1], :chip.shape[0]] = chip.T
        spectra.append(engine.fft2d(grid, 1))
    (ar, ai), (br, bi) = (np.moveaxis(s, -1, 0) for s in spectra)
    product = np.empty((n, n), np.complex64)
    product.real = ar * br + bi * ai
    product.imag = br * ai - ar * bi
    rows, cols = search.shape[0] - ref.shape[0] + 1, search.shape[1] - ref.shape[1] + 1
    inverse = engine.fft2d(product, -1)[:cols, :rows, 0].T
    return inverse * np.float32(1.0 / (n * n))


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("schedule", SCHEDULES)
def test_correlation_in_strips_equals_the_plain_transforms(engine, fft_forcing, kernel, schedule):
    """The correlation runs the second dimension of both forward transforms strip by strip with
    their product: every width, height and grid size gives the plain transforms' bits."""
    supported(engine, kernel)
    fft_forcing(kernel=kernel, schedule=schedule)
    rng = np.random.default_rng(5)
    for search_shape, ref_shape in (((168, 168), (128, 128)), ((150, 167), (77, 101)), ((97, 66), (33, 61)),
                                    ((48, 45), (31, 17)), ((256, 201), (1, 200))):
        search = rng.integers(0, 4096, search_shape).astype(np.float32)
        ref = rng.integers(0, 4096, ref_shape).astype(np.float32)
        assert same_bits(engine.correlate_fft(search, ref), plain_correlation(engine, search, ref))


def chip_pair(seed, ref=32, search=56):
    rng = np.random.default_rng(seed)
    image = rng.integers(0, 256, (search + 8, search + 8)).astype(np.float32)
    return image[4:4 + search, 4:4 + search].copy(), image[15:15 + ref, 13:13 + ref].copy()


def correlation_bits(engine, search, ref):
    raw = engine.correlate_fft(search, ref)
    corr = engine.normalise_correlation(ref, search, raw)
    loc = engine.correlate_and_locate(search, ref, np.float32(0.3), 2, np.float32(-2.0), np.float32(12.0),
                                      np.float32(12.0))
    return [raw, corr["surface"], corr["peak_values"], corr["coef_sums"], loc["dx"], loc["dy"], loc["errors"]]


def test_planner_times_every_schedule_once_per_process(engine, fft_forcing):
    for n in (64, 256):
        for sign in (1, -1):
            plan = engine.transform_plan(n, sign)
            assert sorted(plan["microseconds"]) == sorted(SCHEDULES)
            # The chosen schedule is as fast as the fastest, within the planner's noise margin.
            assert plan["microseconds"][plan["timed_schedule"]] <= 1.08 * min(plan["microseconds"].values())
            assert plan["schedule"] == plan["timed_schedule"]  # nothing forced
    assert engine.transform_plan(64, 1) == engine.transform_plan(64, 1)  # measured once, then kept


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("schedule", SCHEDULES)
def test_forced_kernel_and_schedule_reach_the_correlation(engine, fft_forcing, kernel, schedule):
    """What the correlation's grids run follows the forced choice, gives the same bits as the
    default, and returns to the default on reset."""
    supported(engine, kernel)
    pairs = [chip_pair(seed, ref, search) for seed, ref, search in ((1, 32, 56), (2, 64, 96), (3, 128, 168))]
    default = [correlation_bits(engine, *pair) for pair in pairs]
    fft_forcing(kernel=kernel, schedule=schedule)
    assert engine.forced_fft() == {"kernel": kernel, "schedule": schedule}
    for n in (64, 256):
        for sign in (1, -1):
            plan = engine.transform_plan(n, sign)
            assert (plan["kernel"], plan["schedule"]) == (kernel, schedule)
    for pair, want in zip(pairs, default):
        for got, expected in zip(correlation_bits(engine, *pair), want):
            assert same_bits(np.asarray(got), np.asarray(expected))
    engine.reset_fft()
    assert engine.forced_fft() == {"kernel": None, "schedule": None}
    plan = engine.transform_plan(64, 1)
    assert plan["schedule"] == plan["timed_schedule"]


@pytest.mark.parametrize("kwargs, named, allowed", [
    ({"kernel": "neon"}, "neon", KERNELS),
    ({"schedule": "fastest"}, "fastest", SCHEDULES),
    ({"kernel": "avx2", "schedule": ""}, "''", SCHEDULES),
])
def test_forcing_an_unknown_name_is_refused_and_changes_nothing(engine, fft_forcing, kwargs, named, allowed):
    fft_forcing(schedule="rows")
    with pytest.raises(ValueError) as refused:
        engine.force_fft(**kwargs)
    assert named in str(refused.value) and all(name in str(refused.value) for name in allowed)
    assert engine.forced_fft() == {"kernel": None, "schedule": "rows"}


def test_forcing_a_kernel_this_processor_does_not_run_is_refused(engine, fft_forcing):
    missing = [k for k in KERNELS if not engine.kernel_supported(k)]
    if not missing:
        pytest.skip("this processor runs every kernel build")
    with pytest.raises(ValueError, match=f"'{missing[0]}' does not run on this processor"):
        engine.force_fft(kernel=missing[0])
    assert engine.forced_fft() == {"kernel": None, "schedule": None}


def test_environment_variables_are_not_read(tmp_path):
    """Variables that once chose the transform's kernel and schedule change nothing any more: not
    even names that mean nothing fail a match, and the plans are still timed."""
    np.save(tmp_path / "image.npy", textured(200, 200))
    code = ("import json, sys, numpy as np, Talmek, _talmek_testsupport as e; p = Talmek.MatchingParams(); "
            "p.chipwidth_ = p.chipheight_ = 32; p.hoffset_ = p.voffset_ = 8; img = np.load(sys.argv[1]); "
            "s = Talmek.SelectedMatch(img, np.roll(img, (2, 1), (0, 1)), [100, 100], [100, 100], p); "
            "print(json.dumps([s.active, s.x2.hex(), s.y2.hex(), float(s.rms_1).hex(), "
            "e.transform_plan(64, 1), e.forced_fft()]))")
    runs = {}
    for label, extra in (("clean", {}), ("bad", {"TALMEK_FFT_KERNEL": "neon", "TALMEK_FFT_SCHEDULE": "fastest"}),
                         ("valid", {"TALMEK_FFT_KERNEL": "baseline", "TALMEK_FFT_SCHEDULE": "rows"})):
        env = {k: v for k, v in os.environ.items() if not k.startswith("TALMEK_FFT_")}
        done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "image.npy")], env={**env, **extra},
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0 and done.stderr == "", done.stderr
        *result, plan, forced = json.loads(done.stdout)
        assert result[0] == 1 and forced == {"kernel": None, "schedule": None}
        assert plan["schedule"] == plan["timed_schedule"] and sorted(plan["microseconds"]) == sorted(SCHEDULES)
        runs[label] = (result, plan["kernel"])
    assert runs["bad"] == runs["valid"] == runs["clean"]
