"""A run's options: one checked object, keywords beside it, and the command's wording of errors."""
import argparse
import dataclasses
import re
from datetime import UTC, datetime

import numpy as np
import pytest

tt = pytest.importorskip("talmek_track")
iio = pytest.importorskip("imageio.v3")
from support import same_bits, textured  # noqa: E402
from talmek_track import REF_CHIP_MAX, REF_CHIP_MIN, SEARCH_CHIP_MIN, TrackOptions  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.options import core, flags  # noqa: E402
from talmek_track.options.core import ArrayKeywords, RunKeywords, StackKeywords  # noqa: E402
from talmek_track.options.flags import Flag  # noqa: E402


@pytest.mark.parametrize("keywords, options, library, command", [
    (dict(chip=500), ("chip",), f"chip must be {REF_CHIP_MIN}..{REF_CHIP_MAX} pixels, got 500,500", "--chip must"),
    (dict(chip=(24, "x")), ("chip",), "chip must be a whole number or a pair", "--chip must"),
    (dict(margin=(-1, 2)), ("margin",), "margin must not be negative, got -1,2", "--margin must"),
    (dict(chip=16, margin=4), ("margin", "chip"), f"must be {SEARCH_CHIP_MIN}..", "widen --margin or --chip"),
    (dict(step=(0, 3)), ("step",), "step must be at least 1, got 0,3", "--step must"),
    (dict(offset=2**30), ("offset",), "offset must stay below 2^30 pixels", "--offset must"),
    (dict(start=(0, -2**31)), ("start",), "start must stay below 2^30", "--start must"),
    (dict(peak="cubic"), ("peak",), "peak must be one of linear, log", "--peak must"),
    (dict(threads=0), ("threads",), "threads must be at least 1, got 0", "--threads must"),
    (dict(threads=True), ("threads",), "threads must be a whole number", "--threads must"),
    (dict(band=0), ("band",), "band counts from 1, got 0", "--band counts"),
    (dict(value_range=(5, 1)), ("value_range",), "value_range must be 'auto'", "--range must"),
    (dict(value_range=(10, 10)), ("value_range",), "with low < high", "--range must"),
    (dict(value_range="full"), ("value_range",), "value_range must be 'auto'", "--range must"),
    (dict(percentiles=(50, 10)), ("percentiles",), "percentiles must rise within 0..100", None),
    (dict(formats=["csv", "shp"]), ("formats",), "unknown output format 'shp' in formats", "in --format;"),
    (dict(dates="2024-07-01"), ("dates",), "dates: expected two dates", "--dates: expected"),
    (dict(dates="2024-07-01,2024-07-01"), ("dates",), "same date", "--dates: both"),
    (dict(prefilter="wallis:4"), ("prefilter",), "prefilter: wallis needs an odd window", "--prefilter: "),
    (dict(filter="mean"), ("filter",), "filter must be one of none, median, got 'mean'", "--filter must"),
    (dict(backend="spark"), ("backend",), "backend must be one of threads", "--dask must"),
    (dict(block_pixels=0), ("block_pixels",), "block_pixels must be at least 1", None),
    (dict(scheduler="tcp://h:1"), ("scheduler", "backend"),
     "scheduler needs a distributed backend (backend='dask')", None),
    (dict(backend="dask", scheduler="tcp://h:1", threads=2, workers=2), ("workers", "threads", "scheduler"),
     "workers and threads shape the embedded cluster; a running cluster (scheduler) keeps its own",
     "--workers and --threads shape the embedded cluster; a running cluster (--scheduler)"),
])
def test_wrong_options_are_named_in_the_library_and_worded_as_flags(keywords, options, library, command):
    with pytest.raises(tt.OptionError) as caught:
        TrackOptions(**keywords)
    error = caught.value
    assert error.options == options and library in str(error) and "--" not in str(error)
    if command is not None:
        assert command in error.worded(cli.flag)
    # The same error from an entry point, before any file is touched.
    with pytest.raises(tt.OptionError, match=re.escape(str(error))):
        tt.track_files("missing-1.png", "missing-2.png", **keywords)


def test_options_take_one_form():
    dated = TrackOptions(chip=np.int64(24), margin=(np.int32(12), 14), step=[4, 8], dates="2024-07-01,2024-07-11",
                         value_range=(np.uint16(1000), 11200), formats="csv", stable=np.ones((1, 5, 6)))
    assert dated.chip == (24, 24) and type(dated.chip[0]) is int and dated.margin == (12, 14)
    assert dated.step == (4, 8) and dated.value_range == (1000.0, 11200.0) and dated.formats == ("csv",)
    assert dated.dates == (datetime(2024, 7, 1, tzinfo=UTC), datetime(2024, 7, 11, tzinfo=UTC))
    assert dated.stable.shape == (5, 6)  # rioxarray's band dimension dropped
    assert TrackOptions(chip=32, prefilter="wallis:15") == TrackOptions() == dataclasses.replace(TrackOptions())
    p = dated.params()
    assert (p.chipwidth_, p.chipheight_, p.hoffset_, p.voffset_) == (24, 24, 12, 14)
    assert (p.col_interval_, p.row_interval_, p.peakmethod_, p.mincorr_, p.maxdiff_) == (4, 8, 2, 2.0, -2.0)
    assert dated.params() is not p  # fresh for each pair, which completes its own
    with pytest.raises(tt.OptionError, match="chip must"):
        dated.replace(chip=500)


def test_the_keywords_of_the_entry_points_are_the_options():
    fields = {f.name for f in dataclasses.fields(TrackOptions)}
    assert RunKeywords.__optional_keys__ == fields
    assert StackKeywords.__optional_keys__ == fields - {"dates"}
    assert ArrayKeywords.__optional_keys__ < fields


@pytest.fixture
def pngs(tmp_path):
    big = textured(150, 170)
    iio.imwrite(tmp_path / "a.png", big[10:130, 10:160])
    iio.imwrite(tmp_path / "b.png", big[7:127, 12:162])
    return tmp_path / "a.png", tmp_path / "b.png"


def test_keywords_beside_options_take_precedence(pngs):
    base = TrackOptions(chip=24, margin=12, step=30, prefilter="none")
    mixed = tt.track_files(*pngs, options=base, step=20, filter="none")
    plain = tt.track_files(*pngs, chip=24, margin=12, step=20, prefilter="none", filter="none")
    assert same_bits(mixed.records, plain.records) and mixed.grid.dx.shape == plain.grid.dx.shape
    assert mixed.vector_field.attrs["filter"] == "none"
    with pytest.raises(TypeError, match="unexpected keyword argument 'chips'"):
        tt.track_files(*pngs, chips=24)
    with pytest.raises(TypeError, match="unexpected keyword argument 'band'"):
        tt.track_xarray(np.zeros((64, 64)), np.zeros((64, 64)), band=1)
    with pytest.raises(TypeError, match="options must be a TrackOptions"):
        tt.track_files(*pngs, options={"chip": 24})
    with pytest.raises(tt.OptionError, match="a stack takes each image's date"):
        tt.match_stack(pngs, options=TrackOptions(dates="2024-07-01,2024-07-02"))


def _flag_actions(parser):
    """The parser's actions that set a TrackOptions field, by field (--dates is the command's own)."""
    fields = {f.name for f in dataclasses.fields(TrackOptions)} - {"dates"}
    found = {}
    for action in parser._actions:
        if action.dest in fields:
            assert action.dest not in found, f"two flags set {action.dest}"
            found[action.dest] = action
    return found


@pytest.mark.parametrize("build", [cli.build_parser, cli.build_stack_parser])
def test_each_flag_comes_from_the_one_declaration_of_its_field(build):
    declared = {f.name: f for f in dataclasses.fields(TrackOptions) if f.metadata["flag"] is not None}
    actions = _flag_actions(build())
    assert actions.keys() == declared.keys()
    for name, f in declared.items():
        spec, action = f.metadata["flag"], actions[name]
        assert action.option_strings == [cli.flag(name)] and action.default is f.default
        text = spec.help() if callable(spec.help) else spec.help
        assert action.help.startswith(text.partition("{default")[0]) and "{" not in action.help
        assert f.metadata["check"] is core._CHECKS[name]
    for group in (None, "limits", "Dask"):
        ranks = [f.metadata["flag"].rank for f in declared.values() if f.metadata["flag"].group == group]
        assert len(ranks) == len(set(ranks)), f"two flags of {group} share a place in --help"
    # Every default of the command is the library's, the backend's too.
    assert cli.options_of(build().parse_args(["a", "b", "-o", "out"])) == TrackOptions()


def _keep(name, value):
    return value


@dataclasses.dataclass(frozen=True)
class _Probe:
    size: tuple[int, int] = core.option((4, 6), _keep, Flag(20, "a size (default: {default})", metavar="X,Y",
                                                             parse=flags.text_pair))
    late: float = core.option(0.25, _keep, Flag(10, "a number (default: {default:g})", parse=float, metavar="F"))
    off: bool = core.option(True, _keep, Flag(30, "switch it off", sets=False, name="--no-off"))
    hidden: int = core.option(3, _keep)


def test_a_declared_field_becomes_a_flag(capsys):
    parser = argparse.ArgumentParser(prog="probe")
    cli.add_flags(parser, _Probe)
    assert [a.option_strings for a in parser._actions[1:]] == [["--late"], ["--size"], ["--no-off"]]
    helps = [a.help for a in parser._actions[1:]]
    assert helps == ["a number (default: 0.25)", "a size (default: 4,6)", "switch it off"]
    args = parser.parse_args(["--size", "7", "--no-off"])
    assert vars(args) == {"late": 0.25, "size": (7, 7), "off": False}
    for wrong, message in (["--size", "1,2,3"], "argument --size: expected N or X,Y with whole numbers"), \
                          (["--late", "x"], "argument --late: invalid float value: 'x'"):
        with pytest.raises(SystemExit):
            parser.parse_args(wrong)
        assert message in capsys.readouterr().err


def test_the_formats_are_known_before_the_writing_stage_loads():
    """The options know the built-in formats without the writers (a fresh interpreter that imports
    the options alone), and the writing stage registers exactly those."""
    import subprocess
    import sys

    from talmek_track.options.values import BUILTIN_FORMATS
    from talmek_track.output.writers import WRITERS

    code = ("import sys\nfrom talmek_track.options import TrackOptions\n"
            "print(TrackOptions(formats=['csv', 'nc', 'gpkg']).formats, 'talmek_track.output.writers' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["('csv',", "'nc',", "'gpkg')", "False"], done.stdout + done.stderr
    assert tuple(WRITERS)[:len(BUILTIN_FORMATS)] == BUILTIN_FORMATS
