"""The pair flow builds each stage's state whole: the caller's settings are never changed, and a
run's products are new objects, so two runs in one process cannot touch each other."""
import dataclasses

import numpy as np
import pytest

import talmek_track as tt
from support import same_bits
from synthetic import shifted_pair
from talmek_track.run.pair import finish_plan, plan_pair, prepare_sources
from talmek_track.sources.readers import source_from_array

FIELDS = ("start_row_", "start_col_", "row_offset_", "col_offset_", "chipwidth_", "chipheight_",
          "hoffset_", "voffset_", "ref_cellsize_", "srch_cellsize_")


def _settings(params):
    return {name: getattr(params, name) for name in FIELDS}


@pytest.mark.parametrize("keywords", [{}, {"passes": "2:32/12,1:32/8"},
                                      {"fill": True, "strain": True, "dates": "2024-01-01,2024-01-31"}])
def test_the_flow_leaves_the_callers_settings_and_builds_new_products(keywords):
    image1, image2 = shifted_pair((240, 240), dy=1.3, dx=-2.4, seed=4)
    options = tt.TrackOptions(chip=32, margin=8, step=16, prefilter="none", **keywords)
    params = options.params()
    before = _settings(params)
    sources = [source_from_array(n, a).with_range(options.value_range)
               for n, a in (("a", image1), ("b", image2))]
    prepared = prepare_sources(*sources, params, start_given=False)
    assert _settings(params) == before and prepared is not params
    prepared_before = _settings(prepared)
    plan = plan_pair(*sources, prepared, options, dates=options.dates)
    assert _settings(prepared) == prepared_before and plan.params is not prepared
    result = finish_plan(plan, tt.matching.backends.run_blocks(plan.jobs))
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.vector_field.values = {}  # type: ignore[misc]
    # The same plan finished again gives the same bits: nothing of the first finish stayed behind.
    again = finish_plan(plan, tt.matching.backends.run_blocks(plan.jobs))
    assert same_bits(result.records, again.records)
    for name, values in result.vector_field.values.items():
        assert np.array_equal(values, again.vector_field.values[name], equal_nan=True), name
