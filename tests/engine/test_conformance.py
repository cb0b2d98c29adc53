"""Every conformance case, bit for bit: the whole call, and each stage against its trace."""
import numpy as np
import pytest

from conformance import MISSING_VECTORS, RESULT_FIELDS, keyed, same_bits
from talmek_track import REF_CHIP_MAX, REF_CHIP_MIN, SEARCH_CHIP_MAX, SEARCH_CHIP_MIN


def result_fields(seg):
    values = {name: getattr(seg, name) for name in RESULT_FIELDS if name not in ("length",)}
    values["length"] = seg.get_length()
    return values


def test_selected_match(case, talmek, capfd):
    seg = talmek.SelectedMatch(case.image1, case.image2, case.row, case.col, case.matching_params(talmek))
    out, err = capfd.readouterr()
    got = result_fields(seg)
    mismatched = {
        name: (got[name], case.expected[name])
        for name in RESULT_FIELDS
        if not same_bits(float(got[name]), float(case.expected[name]))
    }
    assert not mismatched
    assert out == "" and case.expected["no_solution_lines"] == 0  # a match prints nothing
    assert ("Error: " in err) == bool(case.expected["error_line"])


def hexf(text):
    return np.float32(float.fromhex(text))


def assert_bits(got, want, what):
    got = np.float32(got)
    assert same_bits(float(got), float(want)), f"{what}: {float(got)!r} != {float(want)!r}"


def cut_chips(case, engine):
    p = case.params
    rw, rh = p["chipwidth_"], p["chipheight_"]
    sw, sh = rw + 2 * p["hoffset_"], rh + 2 * p["voffset_"]
    s1, ref = engine.extract_chip(case.image1, case.row[0], case.col[0], rw, rh, REF_CHIP_MIN, REF_CHIP_MAX)
    s2, search = engine.extract_chip(case.image2, case.row[1], case.col[1], sw, sh, SEARCH_CHIP_MIN,
                                     SEARCH_CHIP_MAX)
    assert (s1, s2) == (engine.CHIP_OK, engine.CHIP_OK)
    return ref, search


def test_stages(case, engine):
    """Runs the stages one by one so that a mismatch names the first one that drifts."""
    trace = case.trace
    if "cand" not in trace:
        pytest.skip("the case ends before correlating")
    ref, search = cut_chips(case, engine)

    size = keyed(trace["surface"])
    raw = engine.correlate_fft(search, ref)
    corr = engine.normalise_correlation(ref, search, raw)
    surface = corr["surface"]
    assert surface.shape == (int(size["rows"]), int(size["cols"]))
    for k, line in enumerate(trace["cand"]):
        rank, *items = line.split()
        item = keyed(items)
        assert int(rank) == k
        assert_bits(corr["peak_values"][k], hexf(item["value"]), f"candidate {k} value")
        assert (corr["peak_cols"][k], corr["peak_rows"][k]) == (int(item["col"]), int(item["row"])), f"candidate {k}"
    for got, want in zip(corr["coef_sums"], trace["coef_sums"]):
        assert_bits(got, hexf(want), "coef_sums")

    peak = engine.evaluate_peak(surface, corr["peak_values"], corr["peak_cols"], corr["peak_rows"],
                                corr["coef_sums"], np.float32(case.params["mincorr_"]))
    if "peak" in trace:
        ranks = keyed(trace["peak"])
        assert (peak["far1"], peak["far2"], peak["distinct"]) == (int(ranks["F1"]), int(ranks["F2"]), int(ranks["D"]))
    if "background" in trace:
        bg = keyed(trace["background"])
        assert peak["background_count"] == int(bg["n"])
        for name in ("mean", "sd", "z1"):
            assert_bits(peak[name], hexf(bg[name]), f"background {name}")
    if "strength" in trace:
        assert_bits(peak["strength"], hexf(trace["strength"][0]), "strength")
    assert peak["status"] == int(trace["status_after_peak"][0])

    if "neighbourhood" in trace:
        for k, (got, want) in enumerate(zip(peak["neighbourhood"].ravel(), trace["neighbourhood"])):
            assert_bits(got, hexf(want), f"neighbourhood {k}")
    if "fit" in trace:
        fit_items = trace["fit"]
        fit = engine.fit_peak(peak["neighbourhood"], case.params["peakmethod_"])
        assert fit["lu_status"] == int(keyed(fit_items[:1])["lu_status"])
        coef = fit_items[fit_items.index("coef") + 1: fit_items.index("coef") + 7]
        for k, (got, want) in enumerate(zip(fit["coef"], coef)):
            assert_bits(got, hexf(want), f"coefficient {k}")
        assert_bits(fit["det"], hexf(keyed(fit_items)["D"]), "D")
        if "fit_discarded" in trace:
            # The fit's own offsets reach beyond the neighbouring cells: the match keeps the
            # whole-cell peak, so the offsets it uses are zero and both errors 0.5.
            for got, want in zip(fit["offsets"], trace["fit_discarded"]):
                assert_bits(got, hexf(want), "discarded offsets")
            assert not (abs(fit["offsets"]) <= 1.0).all()
            assert [hexf(v) for v in trace["offsets"]] == [0.0, 0.0]
            assert [hexf(v) for v in trace["errors"]] == [0.5, 0.5]
        else:
            assert (abs(fit["offsets"]) <= 1.0).all()
            for got, want in zip(fit["offsets"], trace["offsets"]):
                assert_bits(got, hexf(want), "offsets")
            for got, want in zip(fit["errors"], trace["errors"]):
                assert_bits(got, hexf(want), "errors")

    if "final_status" in trace:
        p = case.params
        loc = engine.correlate_and_locate(search, ref, np.float32(p["mincorr_"]), p["peakmethod_"],
                                          np.float32(p["maxdiff_"]), np.float32(p["hoffset_"]),
                                          np.float32(p["voffset_"]))
        if "dxdy" in trace:
            assert_bits(loc["dx"], hexf(trace["dxdy"][0]), "dx")
            assert_bits(loc["dy"], hexf(trace["dxdy"][1]), "dy")
        if "length" in trace:
            assert_bits(loc["length"], hexf(trace["length"][0]), "length")
            assert_bits(displacement_limit(p), hexf(trace["length"][2]), "limit")
        assert loc["status"] == int(trace["final_status"][0])


def displacement_limit(p):
    limit = np.float32(p["maxdiff_"])
    if limit <= 0:
        margin = min(np.float32(p["hoffset_"]), np.float32(p["voffset_"]))
        limit = np.float32(float(margin) - 2.0)
    return limit


def test_vectors_cover_every_status():
    """The suite relies on the vectors reaching each outcome; guard against a truncated copy."""
    from conftest import _CASES

    if not _CASES:
        pytest.skip(MISSING_VECTORS)
    statuses = {c.expected["active"] for c in _CASES}
    assert {0, 1, 2, 3, 4, 5, 204, 205} <= statuses


def test_cases_from_four_threads(talmek):
    """Calls from several Python threads share nothing: each result is still exact."""
    from concurrent.futures import ThreadPoolExecutor

    from conftest import _CASES

    if not _CASES:
        pytest.skip(MISSING_VECTORS)

    def mismatches(cases):
        bad = []
        for case in cases:
            seg = talmek.SelectedMatch(case.image1, case.image2, case.row, case.col, case.matching_params(talmek))
            got = result_fields(seg)
            if not all(same_bits(float(got[f]), float(case.expected[f])) for f in RESULT_FIELDS):
                bad.append(case.name)
        return bad

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(mismatches, [_CASES[k::4] + _CASES for k in range(4)]))
    assert results == [[], [], [], []]
