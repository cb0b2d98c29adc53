"""Talmek on many points at once: batches and regular grids matched on every core.

``match_points`` matches point pairs of one image pair with the same engine as
``Talmek.SelectedMatch``, record for record bit-identical, on native threads with the interpreter
lock released. ``grid_points`` lays the grid that a ``MatchingParams`` describes over an image and
``match_grid`` matches it and arranges the results on that grid. ``track_files`` runs the whole
job from two image files to result files, with its options in one ``TrackOptions`` or as
keywords; the ``talmek-track`` command (``talmek_track.cli.command``) is
its command line, for scenes of any size: it reads only the windows that each block of the grid
needs. ``match_stack`` matches many pairs of a stack of scenes (a time series), on this machine
or on a Dask cluster (``backend="dask"``). ``to_uint8`` maps any real pixel type onto the 8-bit
grey that the engine matches. The engine's status codes, chip limits and chip origin rule are
here too.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from talmek_track._facts import (
        ENGINE_STATUS,
        NODATA,
        REF_CHIP_MAX,
        REF_CHIP_MIN,
        SEARCH_CHIP_MAX,
        SEARCH_CHIP_MIN,
        STATUS_NAMES,
        Status,
        chip_origin,
        status_name,
    )
    from talmek_track.errors import BlockFailed, ClusterError, InputError, OptionError, OutputError, TrackError
    from talmek_track.matching.engine import (
        RECORD_DTYPE,
        GridMatch,
        grid_arrays,
        grid_points,
        match_grid,
        match_points,
    )
    from talmek_track.options.core import TrackOptions
    from talmek_track.output.writers import WRITERS, register_writer
    from talmek_track.products.results import TrackResult
    from talmek_track.run.series import invert_series
    from talmek_track.run.stack import StackResult, match_stack
    from talmek_track.run.track import track_files, track_xarray
    from talmek_track.sources.convert import to_uint8

#: Each public name by the module it comes from. They are imported on first use (PEP 562), so that
#: ``import talmek_track`` alone loads neither NumPy nor the native modules: the command's entry
#: point (``talmek_track.cli``) installs its signal handlers before any heavy import.
_HOMES: dict[str, tuple[str, ...]] = {
    "talmek_track._facts": (
        "ENGINE_STATUS", "NODATA", "REF_CHIP_MAX", "REF_CHIP_MIN", "SEARCH_CHIP_MAX", "SEARCH_CHIP_MIN",
        "STATUS_NAMES", "Status", "chip_origin", "status_name",
    ),
    "talmek_track.errors": (
        "BlockFailed", "ClusterError", "InputError", "OptionError", "OutputError", "TrackError",
    ),
    "talmek_track.matching.engine": (
        "RECORD_DTYPE", "GridMatch", "grid_arrays", "grid_points", "match_grid", "match_points",
    ),
    "talmek_track.options.core": ("TrackOptions",),
    "talmek_track.output.writers": ("WRITERS", "register_writer"),
    "talmek_track.products.results": ("TrackResult",),
    "talmek_track.run.series": ("invert_series",),
    "talmek_track.run.stack": ("StackResult", "match_stack"),
    "talmek_track.run.track": ("track_files", "track_xarray"),
    "talmek_track.sources.convert": ("to_uint8",),
}

__all__ = [
    "BlockFailed", "ClusterError", "ENGINE_STATUS", "GridMatch", "InputError", "NODATA", "OptionError",
    "OutputError", "RECORD_DTYPE",
    "REF_CHIP_MAX", "REF_CHIP_MIN", "SEARCH_CHIP_MAX", "SEARCH_CHIP_MIN", "STATUS_NAMES", "StackResult",
    "Status", "TrackError", "TrackOptions", "TrackResult", "WRITERS", "chip_origin", "grid_arrays", "grid_points",
    "invert_series", "match_grid", "match_points", "match_stack", "register_writer", "status_name", "to_uint8",
    "track_files", "track_xarray",
]


def _load() -> None:
    for module, names in _HOMES.items():
        found = importlib.import_module(module)
        globals().update({name: getattr(found, name) for name in names})


def __getattr__(name: str) -> Any:
    # Only the public names: any other (a submodule not imported yet) is the import system's.
    if name not in __all__:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    _load()  # every public name, and with them every stage, as an eager import would
    return globals()[name]


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
