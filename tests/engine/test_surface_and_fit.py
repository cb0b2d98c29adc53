"""Correlation surface and candidate list, peak evaluation, and the sub-pixel fit."""
import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

from support import same_bits

f32 = np.float32
ACCEPTED, BORDER, AMBIGUOUS, WEAK = 1, 2, 3, 4
NO_SOLUTION = "No solution"


def pixels(shape, seed):
    return np.random.default_rng(seed).integers(0, 256, shape).astype(np.float32)


def surface_of(engine, search, ref):
    return engine.normalise_correlation(ref, search, engine.correlate_fft(search, ref))


# ---------------------------------------------------------------- correlation surface

def direct_sums_and_pearson(search, ref):
    rh, rw = ref.shape
    n = rw * rh
    win = sliding_window_view(search.astype(np.float64), (rh, rw))
    r = ref.astype(np.float64)
    raw = np.einsum("ijkl,kl->ij", win, r)
    num = np.einsum("ijkl,kl->ij", win - win.mean(axis=(2, 3), keepdims=True), r - r.mean())
    var_w = np.maximum(win.var(axis=(2, 3)), 0.01)
    var_r = max(r.var(), 0.01)
    return raw, num / (n * np.sqrt(var_w * var_r))


@pytest.mark.parametrize(
    "search_shape, ref_shape",
    [
        ((48, 48), (4, 5)),
        ((48, 48), (32, 32)),
        ((60, 48), (10, 48)),  # rw = sw: one column
        ((48, 70), (48, 9)),  # rh = sh: one row
        ((40, 100), (13, 7)),
        ((168, 168), (128, 128)),
        ((256, 256), (64, 64)),
    ],
)
def test_surface_against_direct_sums(engine, search_shape, ref_shape):
    search, ref = pixels(search_shape, 1), pixels(ref_shape, 2)
    raw = engine.correlate_fft(search, ref)
    direct_raw, pearson = direct_sums_and_pearson(search, ref)
    assert raw.shape == pearson.shape == (search_shape[0] - ref_shape[0] + 1, search_shape[1] - ref_shape[1] + 1)
    assert np.abs(raw - direct_raw).max() < 1e-6 * np.abs(direct_raw).max()

    out = engine.normalise_correlation(ref, search, raw)
    surface = out["surface"]
    # Column 0 takes an exact root; later columns step from their left neighbour, which for small
    # windows costs up to ~1e-4.
    assert np.abs(surface[:, 0] - pearson[:, 0]).max() < 1e-5
    assert np.abs(surface - pearson).max() < (1e-3 if ref.size < 100 else 1e-5)

    # The list holds the 32 best cells, best first, ties in visiting order.
    order = np.argsort(-surface.ravel(), kind="stable")[:32]
    count = min(32, surface.size)
    np.testing.assert_array_equal(out["peak_values"][:count], surface.ravel()[order][:count])
    assert out["peak_rows"][:count].tolist() == (order[:count] // surface.shape[1]).tolist()
    assert out["peak_cols"][:count].tolist() == (order[:count] % surface.shape[1]).tolist()

    s = q = f32(0)
    for r in surface.ravel():
        s, q = r + s, r * r + q
    assert out["coef_sums"].tolist() == [s, q]


@pytest.mark.parametrize(
    "width, height, n",
    [(48, 48, 64), (64, 64, 64), (65, 10, 128), (10, 65, 128), (100, 40, 128), (129, 129, 256), (256, 256, 256)],
)
def test_grid_size(engine, width, height, n):
    assert engine.grid_size(width, height) == n


@pytest.mark.parametrize("at", [(0, 0), (17, 23), (53, 50)])
def test_planted_reference_ranks_first(engine, at):
    search = pixels((70, 80), 3)
    i0, c0 = at
    ref = search[i0:i0 + 17, c0:c0 + 30].copy()
    out = surface_of(engine, search, ref)
    assert out["surface"][i0, c0] == pytest.approx(1.0, abs=1e-5)
    assert (out["peak_rows"][0], out["peak_cols"][0]) == at
    assert out["peak_values"][1] < 0.5


@pytest.mark.parametrize("flat", ["ref", "search"])
def test_flat_chips_give_zero_and_keep_visiting_order(engine, flat):
    search, ref = pixels((48, 10), 4), pixels((6, 5), 5)
    if flat == "ref":
        ref[:] = 0
    else:
        search[:] = 0
    out = surface_of(engine, search, ref)
    assert np.all(out["surface"] == 0.0)
    cols = search.shape[1] - ref.shape[1] + 1  # 6 placements a row: the list reaches row 5
    # Equal values keep visiting order, and a value equal to the last entry does not enter.
    assert out["peak_values"].tolist() == [0.0] * 32
    assert out["peak_rows"].tolist() == [k // cols for k in range(32)]
    assert out["peak_cols"].tolist() == [k % cols for k in range(32)]


@pytest.mark.parametrize("search_shape, ref_shape, cells", [((48, 48), (44, 44), 25), ((50, 60), (50, 60), 1)])
def test_small_surface_leaves_unfilled_entries(engine, search_shape, ref_shape, cells):
    out = surface_of(engine, pixels(search_shape, 6), pixels(ref_shape, 7))
    assert out["surface"].size == cells
    assert np.all(out["peak_values"][:cells] > -1.0)
    assert out["peak_values"][cells:].tolist() == [-1.0] * (32 - cells)
    assert out["peak_cols"][cells:].tolist() == [-1] * (32 - cells)
    assert out["peak_rows"][cells:].tolist() == [-1] * (32 - cells)


def test_stepped_root_differs_from_exact_root(engine):
    # Integer pixels keep every window sum exact in float, so this rebuilds each coefficient with
    # the same float operations as the engine except for the root, taken exactly everywhere.
    search, ref = pixels((48, 48), 8), pixels((4, 5), 9)
    rh, rw = ref.shape
    nf = f32(rw * rh)
    raw = engine.correlate_fft(search, ref)
    surface = engine.normalise_correlation(ref, search, raw)["surface"]

    mean = f32(ref.astype(np.float64).sum()) / nf
    var = f32((ref.astype(np.float64) ** 2).sum()) / nf - mean * mean
    sd = np.sqrt(var if float(var) > 0.01 else f32(0.01))
    win = sliding_window_view(search.astype(np.float64), (rh, rw))
    s = win.sum(axis=(2, 3)).astype(np.float32)
    q = (win ** 2).sum(axis=(2, 3)).astype(np.float32)
    floor = f32(float(nf) * 0.01 * float(nf))
    exact = (raw - s * mean) / (np.sqrt(np.maximum(floor, q * nf - s * s)) * sd)

    np.testing.assert_array_equal(surface[:, 0], exact[:, 0])
    diff = np.abs(surface - exact)
    assert diff.max() > 1e-6
    assert np.all(np.abs(surface) <= np.abs(exact) * (1 + 1e-6))  # the stepped root is never smaller


# ---------------------------------------------------------------- peak evaluation

NEAR = sorted(((dr, dc) for dr in range(-2, 3) for dc in range(-2, 3) if (dr, dc) != (0, 0)),
              key=lambda o: (max(abs(o[0]), abs(o[1])), o))
UNFILLED = ((-1, -1), -1.0)


def peak_case(width, height, peak, listed=None, best=4.0):
    """A surface, candidate list and coefficient sums whose background has mean 0 and deviation 1.

    Ranks not given in `listed` (rank -> ((row, col) or UNFILLED entry, value)) hold cells next to
    the peak. Only the 9x9 window around the peak is laid on the surface; the rest is NaN, since the
    background must come from the coefficient sums alone. Values are multiples of 1/16, so every
    sum is exact in float.
    """
    listed = dict(listed or {})
    pr, pc = peak
    surface = np.full((height, width), np.nan, np.float32)
    r0, r1, c0, c1 = max(pr - 4, 0), min(pr + 4, height - 1), max(pc - 4, 0), min(pc + 4, width - 1)
    surface[r0:r1 + 1, c0:c1 + 1] = 0.0
    entries = [((pr, pc), best)]
    near = [(pr + dr, pc + dc) for dr, dc in NEAR if 0 <= pr + dr < height and 0 <= pc + dc < width]
    for k in range(1, 32):
        if k in listed:
            pos, value = listed[k]
            pos = (pos[0] + pr, pos[1] + pc) if value is not None else pos
            entries.append((pos, value if value is not None else -1.0))
        else:
            entries.append((near[(k - 1) % len(near)], best - k / 16))
    values = np.minimum.accumulate(np.array([v for _, v in entries], np.float32))
    for ((r, c), _), v in sorted(zip(entries, values), key=lambda e: -e[1]):
        if r0 <= r <= r1 and c0 <= c <= c1 and surface[r, c] == 0.0:
            surface[r, c] = v
    window = surface[r0:r1 + 1, c0:c1 + 1].astype(np.float64)
    background = width * height - window.size
    sums = np.array([window.sum(), (window ** 2).sum() + background], np.float32)
    rows = np.array([p[0] for p, _ in entries], np.int32)
    cols = np.array([p[1] for p, _ in entries], np.int32)
    return surface, values, cols, rows, sums


def evaluate(engine, case, min_strength=2.0):
    surface, values, cols, rows, sums = case
    return engine.evaluate_peak(surface, values, cols, rows, sums, min_strength)


@pytest.mark.parametrize(
    "peak, status",
    [((8, 1), BORDER), ((8, 2), ACCEPTED), ((8, 17), ACCEPTED), ((8, 18), BORDER),
     ((1, 8), BORDER), ((2, 8), ACCEPTED), ((13, 8), ACCEPTED), ((14, 8), BORDER)],
)
def test_peak_border(engine, peak, status):
    case = peak_case(20, 16, peak)
    out = evaluate(engine, case)
    assert out["status"] == status
    if status == BORDER:
        assert out["strength"] == 0.0 and out["neighbourhood"] is None
        np.testing.assert_array_equal(out["coef_sums"], case[4])  # untouched


def test_peak_never_filled_best_entry(engine):
    surface = np.full((20, 20), -1.0, np.float32)
    values = np.full(32, -1.0, np.float32)
    unfilled = np.full(32, -1, np.int32)
    out = engine.evaluate_peak(surface, values, unfilled, unfilled, np.array([-400.0, 400.0], np.float32), 2.0)
    assert out["status"] == BORDER


# (row, col) offsets from the peak; value None marks an entry that was never filled.
FAR3, FAR4, FAR6 = ((3, -1), 3.0), ((-2, 4), 3.0), ((0, -6), 3.0)


@pytest.mark.parametrize(
    "listed, status, far1, far2, distinct",
    [
        ({}, ACCEPTED, 31, 31, -1),
        ({1: ((2, -2), 3.875)}, ACCEPTED, 31, 31, -1),  # distance 2 is not far
        ({1: FAR3}, AMBIGUOUS, 1, 31, -1),
        ({2: FAR6}, AMBIGUOUS, 2, 31, 2),
        ({3: FAR3, 4: FAR3}, AMBIGUOUS, 3, 4, -1),
        ({3: FAR3, 5: FAR3}, ACCEPTED, 3, 5, -1),
        ({3: FAR3, 5: FAR4}, ACCEPTED, 3, 5, 5),  # the distinct peak is the second far one
        ({5: FAR3, 6: FAR6}, ACCEPTED, 5, 6, 6),
        ({5: FAR3, 6: ((3, 3), 3.0), 9: ((10, 0), 3.0)}, ACCEPTED, 5, 6, -1),  # scan stops at rank 6
        ({12: ((-7, 2), 3.0)}, ACCEPTED, 12, 31, 12),
        ({k: ((-1, -1), None) for k in range(1, 32)}, ACCEPTED, 31, 31, -1),  # unfilled is never far
        ({k: ((-1, -1), None) for k in range(3, 32)}, ACCEPTED, 31, 31, -1),
    ],
)
def test_peak_ranking_scan(engine, listed, status, far1, far2, distinct):
    case = peak_case(25, 25, (12, 12), listed)
    out = evaluate(engine, case)
    assert (out["status"], out["far1"], out["far2"], out["distinct"]) == (status, far1, far2, distinct)
    if status == AMBIGUOUS:
        assert out["strength"] == 0.0
        np.testing.assert_array_equal(out["coef_sums"], case[4])
        return
    assert (out["mean"], out["sd"], out["z1"]) == (0.0, 1.0, 4.0)
    values = case[1]
    expected = (values[0] - values[distinct]) + 4.0 if distinct >= 0 else f32(7.8)
    assert out["strength"] == f32(expected)


@pytest.mark.parametrize("listed, strength", [({}, 7.8), ({3: ((0, 5), 2.0)}, 6.0)])
def test_peak_strength_and_neighbourhood(engine, listed, strength):
    case = peak_case(25, 25, (12, 12), listed)
    out = evaluate(engine, case)
    assert out["status"] == ACCEPTED and out["z1"] == 4.0
    assert out["strength"] == f32(strength)
    assert out["background_count"] == 625 - 81
    np.testing.assert_array_equal(out["coef_sums"], [0.0, 625 - 81])
    np.testing.assert_array_equal(out["neighbourhood"], case[0][10:15, 10:15])  # mean 0, deviation 1


@pytest.mark.parametrize("peak, window_cells", [((12, 2), 9 * 7), ((2, 12), 7 * 9), ((2, 2), 7 * 7), ((3, 22), 8 * 7)])
def test_peak_window_clipped_at_edges(engine, peak, window_cells):
    case = peak_case(25, 25, peak)
    out = evaluate(engine, case)
    assert out["status"] == ACCEPTED
    assert out["background_count"] == 625 - window_cells
    assert (out["mean"], out["sd"], out["strength"]) == (0.0, 1.0, f32(7.8))
    pr, pc = peak
    np.testing.assert_array_equal(out["neighbourhood"], case[0][pr - 2:pr + 3, pc - 2:pc + 3])


@pytest.mark.parametrize("min_strength", [2.0, 0.0, -np.inf])
def test_peak_without_background_is_weak(engine, min_strength):
    # A 5x5 surface: the window covers everything, the background statistics are 0/0.
    listed = {k: ((-1, -1), None) for k in range(25, 32)}
    out = evaluate(engine, peak_case(5, 5, (2, 2), listed), min_strength)
    assert out["background_count"] == 0
    assert out["status"] == WEAK and np.isnan(out["strength"])
    assert out["neighbourhood"] is None


def test_peak_threshold_is_strict(engine):
    case = peak_case(25, 25, (12, 12))
    assert evaluate(engine, case, f32(7.8))["status"] == ACCEPTED
    out = evaluate(engine, case, np.nextafter(f32(7.8), f32(8)))
    assert out["status"] == WEAK and out["strength"] == f32(7.8) and out["neighbourhood"] is None


# ---------------------------------------------------------------- sub-pixel fit

U = np.arange(5, dtype=np.float64)[None, :] - 2  # columns
V = np.arange(5, dtype=np.float64)[:, None] - 2  # rows
R2 = (U - 0.25) ** 2 + (V + 0.5) ** 2
QUADRIC = (20 - R2).astype(np.float32)
GAUSSIAN = (50 * np.exp(-R2 / 4)).astype(np.float32)
RECIPROCAL = (1 / (0.01 + 0.002 * R2)).astype(np.float32)
RECIPROCAL_TYPES = [0, 3, 5, -1, 6, -(2**31)]


def fit(engine, neighbourhood, fit_type):
    return engine.fit_peak(np.ascontiguousarray(neighbourhood, np.float32), fit_type)


def same(a, b):
    return all(same_bits(a[k], b[k]) for k in ("offsets", "errors", "coef"))


def test_fit_exact_quadric(engine, capfd):
    out = fit(engine, QUADRIC, 1)
    assert out["lu_status"] == -99
    np.testing.assert_allclose(out["coef"], [19.6875, 0.5, -1, -1, 0, -1], atol=1e-5)
    np.testing.assert_allclose(out["offsets"], [0.25, -0.5], atol=1e-6)
    assert np.all(out["errors"] < 1e-6) and not np.signbit(out["errors"]).any()
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("values, types", [(GAUSSIAN, [2]), (RECIPROCAL, RECIPROCAL_TYPES)])
def test_fit_recovers_offset_for_its_model(engine, values, types):
    results = [fit(engine, values, t) for t in types]
    for out in results:
        np.testing.assert_allclose(out["offsets"], [0.25, -0.5], atol=1e-5)
        assert same(out, results[0])  # every type outside 1, 2 and 4 is the reciprocal model


@pytest.mark.parametrize("fit_type", [1, 2, 0])
def test_fit_symmetric_neighbourhood_has_no_offset(engine, fit_type):
    # A peak with noise, mirrored about the centre row and the centre column.
    quadrant = np.random.default_rng(10).uniform(0, 1, (3, 3))
    idx = np.abs(np.arange(5) - 2)
    out = fit(engine, 20 - U**2 - 1.5 * V**2 + quadrant[idx][:, idx], fit_type)
    np.testing.assert_allclose(out["offsets"], [0, 0], atol=1e-6)


@pytest.mark.parametrize("fit_type", [1, 2, 0])
def test_fit_values_at_or_below_one_are_interchangeable(engine, fit_type):
    base = GAUSSIAN.copy()
    low = base < 5
    reference = fit(engine, np.where(low, f32(1.0), base), fit_type)
    for substitute in (0.0, -3.5, 0.999, -np.inf, np.nan):
        assert same(fit(engine, np.where(low, f32(substitute), base), fit_type), reference)
    mixed = np.where(low, np.resize(np.array([-7, 0.5, np.nan, 1.0], np.float32), base.shape), base)
    assert same(fit(engine, mixed, fit_type), reference)


@pytest.mark.parametrize("fit_type", [1, 2, 0])
def test_fit_errors_never_negative(engine, fit_type):
    rng = np.random.default_rng(11)
    for _ in range(20):
        out = fit(engine, rng.uniform(0, 20, (5, 5)), fit_type)
        assert np.all(np.isfinite(out["errors"])) and not np.signbit(out["errors"]).any()


@pytest.mark.parametrize("peak, fit_type", [(np.inf, 3), (1e10, 3), (1e20, 2), (np.inf, 2)])
def test_a_singular_fit_is_silent(engine, capfd, peak, fit_type):
    # A peak far above a flat background overflows its weight: the normal matrix has no inverse.
    neighbourhood = np.full((5, 5), 3.0)
    neighbourhood[2, 2] = peak
    out = fit(engine, neighbourhood, fit_type)
    assert out["lu_status"] == 0 and np.all(np.isnan(out["offsets"]))
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("low", [0.0, 1.0, -2.0])
def test_fit_gaussian_without_values_above_one(engine, capfd, low):
    out = fit(engine, np.full((5, 5), low), 2)
    assert out["lu_status"] == -99 and out["det"] == 0.0
    assert np.all(np.isnan(out["offsets"])) and np.all(np.isnan(out["errors"]))
    assert NO_SOLUTION not in capfd.readouterr().out


def test_fit_error_magnitude_is_taken_before_the_root(engine):
    # A covariance that is not positive definite gives negative quadratic forms.
    z, w, _, _ = engine.accumulate_normal_equations(GAUSSIAN, 2)
    out = fit(engine, GAUSSIAN, 2)
    plus = engine.estimate_fit_errors(z, w, np.eye(6, dtype=np.float32), out["coef"], out["offsets"])
    minus = engine.estimate_fit_errors(z, w, -np.eye(6, dtype=np.float32), out["coef"], out["offsets"])
    assert np.all(plus > 0)
    np.testing.assert_array_equal(minus, plus)


def normalised_in_order(search, ref, raw):
    """The normalisation one cell after another, every operation in float32 as the engine runs it
    for a single row: the oracle for the engine, which runs rows side by side."""
    rh, rw = ref.shape
    sh, sw = search.shape
    nf = f32(rw * rh)
    total = sq = f32(0)
    for v in ref.ravel():
        total, sq = total + v, sq + v * v
    mean = total / nf
    variance = sq / nf - mean * mean
    if not float(variance) > 0.01:
        variance = f32(0.01)
    sd = np.sqrt(variance)
    floor = f32(float(nf) * 0.01 * float(nf))
    col_s = np.zeros(sw, f32)
    col_q = np.zeros(sw, f32)
    for y in range(rh):
        for k in range(sw):
            col_s[k], col_q[k] = col_s[k] + search[y, k], col_q[k] + search[y, k] * search[y, k]
    surface = np.zeros((sh - rh + 1, sw - rw + 1), f32)
    for i in range(surface.shape[0]):
        if i:
            for k in range(sw):
                a, b = search[i - 1 + rh, k], search[i - 1, k]
                col_s[k], col_q[k] = (col_s[k] + a) - b, (col_q[k] + a * a) - b * b
        for c in range(surface.shape[1]):
            if c == 0:
                s = q = f32(0)
                for k in range(rw):
                    s, q = s + col_s[k], q + col_q[k]
                root = np.sqrt(max(floor, q * nf - s * s))
            else:
                s = (s + col_s[c + rw - 1]) - col_s[c - 1]
                q = (q + col_q[c + rw - 1]) - col_q[c - 1]
                d = q * nf - s * s
                d = floor if floor > d else d
                t = (d / root + root) * f32(0.5)
                root = (d / t + t) * f32(0.5)
            surface[i, c] = (raw[i, c] - s * mean) / (root * sd)
    return surface


@pytest.mark.parametrize("search_shape, ref_shape", [((20, 23), (5, 7)), ((12, 30), (5, 4)), ((17, 9), (9, 9)),
                                                     ((40, 13), (8, 13)), ((9, 40), (2, 3))])
def test_rows_side_by_side_give_the_single_row_bits(engine, search_shape, ref_shape):
    search, ref = pixels(search_shape, 3), pixels(ref_shape, 4)
    raw = engine.correlate_fft(search, ref)
    with np.errstate(all="ignore"):
        expected = normalised_in_order(search, ref, raw)
    out = engine.normalise_correlation(ref, search, raw)
    assert same_bits(out["surface"], expected)


@pytest.mark.parametrize("search_size, ref_size", [(48, 32), (96, 64), (168, 128), (60, 1)])
def test_a_kept_workspace_allocates_nothing_once_a_size_has_run(engine, search_size, ref_size):
    """The first match of a size sets up the grids, surfaces and normalisation rows; matches of
    that size after it, in the same workspace, allocate nothing."""
    if not engine.COUNTS_ALLOCATIONS:
        pytest.skip("this build of the test-support module does not count allocations")
    search = pixels((search_size, search_size), search_size)
    m = (search_size - ref_size) // 2
    ref = search[m:m + ref_size, m:m + ref_size].copy()
    first, *again = engine.allocations_per_run(search, ref, 4)
    assert first > 0  # the counting sees the engine's allocations
    assert again == [0, 0, 0]
