"""Running: the pair flow (open, prepare, plan, match, finish) that ``track_files``,
``track_xarray`` and ``match_stack`` share."""
