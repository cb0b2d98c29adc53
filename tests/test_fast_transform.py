"""The engine's fast transform must agree with the plain one bit for bit, under every schedule and
every kernel build that this processor runs."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from support import same_bits

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


def plan_in_child(env_extra):
    code = ("import json, _talmek_testsupport as e; "
            "print(json.dumps([e.transform_plan(n, s) for n in (64, 256) for s in (1, -1)]))")
    env = dict(os.environ, **env_extra)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)


def test_planner_times_every_schedule_once_per_process(engine):
    done = plan_in_child({"TALMEK_FFT_SCHEDULE": ""})
    assert done.returncode == 0, done.stderr
    for plan in json.loads(done.stdout):
        assert sorted(plan["microseconds"]) == sorted(SCHEDULES)
        assert plan["schedule"] == min(plan["microseconds"], key=plan["microseconds"].get)
    assert engine.transform_plan(64, 1) == engine.transform_plan(64, 1)  # measured once, then kept


@pytest.mark.parametrize("schedule", SCHEDULES)
def test_environment_forces_a_schedule(schedule):
    done = plan_in_child({"TALMEK_FFT_SCHEDULE": schedule})
    assert done.returncode == 0, done.stderr
    assert {(p["schedule"], len(p["microseconds"])) for p in json.loads(done.stdout)} == {(schedule, 0)}


@pytest.mark.parametrize("variable, value", [("TALMEK_FFT_SCHEDULE", "fastest"), ("TALMEK_FFT_KERNEL", "neon")])
def test_environment_naming_nothing_is_reported(variable, value):
    """A schedule or kernel that does not exist fails the match with an error naming the variable,
    like any other failure of SelectedMatch, instead of running something else."""
    code = ("import numpy as np, Talmek; p = Talmek.MatchingParams(); p.chipwidth_ = p.chipheight_ = 32; "
            "p.hoffset_ = p.voffset_ = 8; img = np.random.default_rng(1).integers(0, 256, (200, 200), np.uint8); "
            "print(Talmek.SelectedMatch(img, img, [100, 100], [100, 100], p).active)")
    done = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, **{variable: value}),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "0"
    assert "Error: " in done.stderr and variable in done.stderr and value in done.stderr
