"""Matching: the engine called on points and grids, a grid cut into blocks, pre-filters, the
refinement of each match, and the backends that run blocks (native threads, Dask)."""

from talmek_track.matching.engine import (
    RECORD_DTYPE,
    GridMatch,
    grid_arrays,
    grid_points,
    match_grid,
    match_points,
)

__all__ = ["GridMatch", "RECORD_DTYPE", "grid_arrays", "grid_points", "match_grid", "match_points"]
