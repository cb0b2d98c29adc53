"""The whole run of one image pair, callable from Python: from two files to results and result
files (``track_files``), or from two arrays to an ``xarray.Dataset`` (``track_xarray``)."""

from __future__ import annotations

import dataclasses
import os
from typing import Any, Unpack

import numpy as np

from talmek_track.options.core import (
    ArrayKeywords,
    Dates,
    Pair,
    RunKeywords,
    Stable,
    TrackOptions,
    check_path,
    check_progress,
)
from talmek_track.options.dates import acquisition_dates
from talmek_track.output.dataset import to_dataset
from talmek_track.output.publish import output_target, repair, staged
from talmek_track.output.writers import output_names, preload, publish_result, require_writers
from talmek_track.products.results import TrackResult
from talmek_track.run.pair import (
    PairProgress,
    open_images,
    prepare_pair,
    prepare_sources,
    require_backend,
    settle_ranges,
    track_sources,
)
from talmek_track.sources.readers import ImageSource, hold_inputs, release_inputs, source_from_array
from talmek_track.stages import stage

__all__ = ["DEFAULT_FILTER", "DEFAULT_PREFILTER", "Dates", "Pair", "Stable", "track_files", "track_xarray"]

#: The pre-filter and the outlier filter that runs use by default (``TrackOptions``'s defaults);
#: the measurements behind them are in docs/choosing-settings.md.
DEFAULT_PREFILTER = str(TrackOptions().prefilter)
DEFAULT_FILTER = TrackOptions().filter


def track_files(image1: str | os.PathLike[str], image2: str | os.PathLike[str],
                output: str | os.PathLike[str] | None = None, *, options: TrackOptions | None = None,
                progress: PairProgress | None = None, **keywords: Unpack[RunKeywords]) -> TrackResult:
    """Matches a regular grid of points of image 1 in image 2 and writes the results.

    The grid is matched in blocks of grid rows; each block reads only the windows of both images
    that its chips cover, so memory follows the block size, not the images. Pairs of values are
    (x, y) = (columns, rows); a single whole number stands for both.

    The options come as keywords, or as a ``TrackOptions`` (``options``) that keywords given
    beside it override; every default is ``TrackOptions``'s.

    Parameters
    ----------
    image1, image2 : str or os.PathLike
        The reference and the search image: PNG, JPEG, TIFF or, with rasterio, anything GDAL
        opens (GeoTIFF, ``/vsimem/``, ``/vsicurl/`` and other paths). Colour becomes grey.
    output : str or os.PathLike, optional
        Folder for the result files, created if missing (its parent must exist); files of the
        same names in it are replaced, all together or none. None writes nothing.
    options : TrackOptions, optional
        The options in one object (default: every default).
    progress : callable, optional
        Called with (points done, points in all) while matching.
    chip : int or (int, int)
        Chip size in pixels (the chip of image 1 around each point).
    margin : int or (int, int)
        Search margin on each side of the chip; chip + 2 x margin is the search window.
    step : int or (int, int)
        Grid spacing in pixels of image 1.
    start : (int, int), optional
        Column and row of the first grid point; None picks the first pixel whose chips fit in
        both images.
    offset : int or (int, int)
        Expected displacement in pixels where each search window is centred; for georeferenced
        input the shift between the two pixel grids is added.
    peak : {"linear", "log", "reciprocal", "integer"}
        Sub-pixel peak fit.
    min_strength : float
        Lowest correlation strength accepted.
    max_displacement : float, optional
        Longest displacement accepted from the expected position; None: the smaller margin
        minus 2.
    nodata : float, optional
        Pixel value marking missing data in both images (default: what the files declare).
        Points whose chips touch one are not matched and get ``Status.nodata``.
    band : int, optional
        The band of multi-band inputs to match, from 1 (default: grey from colour, else 1).
    page : int, optional
        The page of multi-page TIFF inputs, from 1 (required for them).
    value_range : "auto", (float, float) or None
        How pixels other than uint8 become 8-bit grey; see ``to_uint8``. The range is settled
        once per image before matching, so every block converts alike.
    percentiles : (float, float)
        The percentiles of the automatic range.
    threads : int, optional
        Threads to match on (default: every core).
    formats : iterable of str, optional
        Names of the writers to run (keys of ``talmek_track.output.writers.WRITERS``); default:
        ``DEFAULT_FORMATS`` (the GeoPackage only when pyogrio or fiona is installed).
    plot : bool
        False leaves out the figure (writer "plot"), whatever ``formats`` says.
    backend : str
        Where to match (a key of ``talmek_track.matching.backends.BACKENDS``): "threads" (this process)
        or "dask" (a Dask cluster, one task per block; see ``talmek_track.matching.backends.dask``).
    dates : str or (datetime, datetime), optional
        Acquisition dates of image 1 and image 2 ("2024-07-01,2024-08-12", ISO timestamps
        allowed); default: from the files' metadata, else none. Velocities need them.
    prefilter : str or Prefilter, optional
        ``none``, ``gauss:SIGMA``, ``highpass:SIGMA`` or ``wallis:SIZE``, applied to both images
        before matching (default: wallis:15), block by block exactly as on the whole image.
    filter : {"median", "none"}
        Outlier filter over the accepted vectors; outliers get ``Status.outlier`` in the vector
        field and keep their values.
    stable : str, os.PathLike or numpy.ndarray, optional
        Stable ground: a raster on any grid (read on image 1's, nearest) or an array of image 1's
        shape, non-zero on stable ground; "slow" for the slowest quarter of the accepted vectors;
        "none" or None (default) for none. The median displacement of the stable vectors is
        removed from dx_map, dy_map, vx, vy and v (``TrackResult.stable_shift``), and the spread
        left enters each vector's error (sigma_x, sigma_y, vx_error, vy_error, v_error).
    refine : str
        "cubic" (default, two rounds), "cubic:N" or "none": refine each accepted match on image 2
        resampled by cubic splines at its estimate, free of the fit's pull towards whole pixels.
    similarity : float, bool or None
        Reject refined matches whose chips correlate below this (default 0.5) at the refined
        position (clouds, shadows); None or False: no such test.
    backmatch : float, bool or None
        Match each found position back into image 1 and reject round trips that miss by more
        than this many pixels (default 0.5); None or False: no back-match.
    saturation : bool
        Leave out chips touching areas at the top of the data's range (clipped clouds), in
        images wider than 8 bits (default True).
    mask1, mask2 : str, os.PathLike or numpy.ndarray, optional
        Validity masks of each image: rasters on any grid (read on the image's, nearest) or
        arrays of its shape, non-zero where pixels are not to be matched; such points get
        ``Status.nodata``.
    grid : str
        The grid a pair on different coordinate systems or pixel sizes is matched on: "first"
        (default, image 1's), "second" (image 2's) or "EPSG:CODE,RES"; the other image is
        resampled onto it as it is read (docs/sources.md).
    resampling : str
        How an image is resampled onto that grid: "cubic" (default), "bilinear",
        "cubic_spline", "lanczos" or "nearest".
    asset : str, optional
        For STAC items (``.json``) given as images: the asset to match (default: the first with
        the role "data"); the item's datetime is the image's date.
    block_pixels : int
        Pixels of both images that one block reads at most (about; at least one grid row). On
        Dask one block is one task.
    client : distributed.Client, optional
        With backend "dask": the client of a cluster to use (left open).
    scheduler : str, optional
        With backend "dask": the address of a running scheduler (tcp://host:8786).
    workers : int, optional
        With backend "dask" and neither of the above: worker processes of the embedded
        LocalCluster; ``threads`` is then the threads per worker.

    Returns
    -------
    TrackResult
        The records, the grid, the vector field and, in ``paths``, the files written.

    Raises
    ------
    OptionError
        An option outside its limits, named by its keyword.
    TypeError
        A keyword that is not an option.
    InputError
        An input that cannot be read or used; raised before any matching.
    OutputError
        The results cannot be written or published; earlier results in ``output`` are kept.
    """
    opts = TrackOptions.merged(options, keywords, RunKeywords.__optional_keys__, "track_files")
    check_path("image1", image1)
    check_path("image2", image2)
    check_progress(progress)
    out = output_target(check_path("output", output)) if output is not None else None
    if out is not None:
        repair(out)  # a run cut short before leaves a whole set of results first
    names = output_names(opts.formats, opts.plot, out is not None)
    require_backend(opts)
    hold_inputs()
    try:
        with stage("open"):
            source1, source2 = open_images((image1, image2), opts)
            source1, source2, params = prepare_pair(source1, source2, opts)
        require_writers(names, source1)
        preload(names)
        dates = opts.dates if opts.dates is not None else acquisition_dates(source1, source2)
        source1, source2 = settle_ranges((source1, source2), opts)
        if out is None:
            return track_sources(source1, source2, params, opts, dates=dates, progress=progress)
        # The staging folder exists while the pair is matched, so that an interrupt at any point
        # finds it to clear away.
        with staged(out) as staging:
            result = track_sources(source1, source2, params, opts, dates=dates, progress=progress,
                                   preview="plot" in names)
            paths = publish_result(staging, names, result)
        return dataclasses.replace(result, preview=None, paths=paths)
    finally:
        release_inputs()


def _array_source(name: str, image: Any, nodata: float | None) -> ImageSource:
    """An image source of a DataArray (its rioxarray georeference and nodata) or a plain array."""
    if isinstance(image, (str, bytes, os.PathLike)) or image is None:
        raise TypeError(f"{name} must be an xarray.DataArray or an array of pixels, got "
                        f"{type(image).__name__} (track_files reads files)")
    values = np.asarray(getattr(image, "values", image))
    if values.ndim == 3 and values.shape[0] == 1:
        values = values[0]  # rioxarray's band dimension
    rio = getattr(image, "rio", None) if hasattr(image, "dims") else None
    if rio is not None and nodata is None:
        nodata = rio.nodata
    transform, crs = None, None
    if rio is not None:
        a, b, c, d, e, f = (float(v) for v in tuple(rio.transform())[:6])
        if rio.crs is not None or (a, b, c, d, e, f) != (1.0, 0.0, 0.0, 0.0, 1.0, 0.0):
            transform, crs = (a, b, c, d, e, f), rio.crs
    return source_from_array(name, values, None if nodata is None else float(nodata), transform, crs,
                             tags=getattr(image, "attrs", None))


def track_xarray(image1: Any, image2: Any, *, options: TrackOptions | None = None,
                 **keywords: Unpack[ArrayKeywords]) -> Any:
    """Matches a grid of image 1 in image 2 and returns the vector field as an ``xarray.Dataset``.

    The same run as ``track_files`` (same options and defaults, same variables as
    ``vectors.nc``), on arrays instead of files, writing nothing. The options come as keywords,
    or as a ``TrackOptions`` (``options``) that keywords given beside it override; of its
    fields, those about files (band, page, formats, plot) do not apply.

    Parameters
    ----------
    image1, image2 : xarray.DataArray or array_like
        Grey images (rows, cols), or a single band (1, rows, cols) as ``rioxarray.open_rasterio``
        gives it. A DataArray's rioxarray georeference (``.rio.transform()``, ``.rio.crs``) and
        nodata are used; without one the image is plain, its map units pixels.
    options : TrackOptions, optional
        The options in one object (default: every default).
    chip, margin, step, start, offset, peak, min_strength, max_displacement, nodata, threads
        As for ``track_files``.
    dates : str or (datetime, datetime), optional
        Acquisition dates; default: from each DataArray's ``attrs`` (the tags rioxarray reads,
        such as ``TIFFTAG_DATETIME`` or ``ACQUISITION_DATE``), else none and no velocities.
    prefilter : str, optional
        ``none``, ``gauss:SIGMA``, ``highpass:SIGMA`` or ``wallis:SIZE`` (default wallis:15).
    filter : {"median", "none"}
        The outlier filter.
    stable : array_like, xarray.DataArray or str, optional
        Non-zero on stable ground, image 1's shape, or "slow"; see ``track_files``.
    refine, similarity, backmatch, saturation, mask1, mask2
        As for ``track_files`` (masks as arrays of each image's shape).

    Returns
    -------
    xarray.Dataset
        Variables on (y, x) with units and CF attributes, the CRS as ``spatial_ref``.
    """
    opts = TrackOptions.merged(options, keywords, ArrayKeywords.__optional_keys__, "track_xarray")
    require_backend(opts)
    with stage("open"):
        source1 = _array_source("image1", image1, opts.nodata)
        source2 = _array_source("image2", image2, opts.nodata)
        params = opts.params()
        params = prepare_sources(source1, source2, params, start_given=opts.start_given)
    with stage("value range"):
        source1 = source1.with_range(opts.value_range, opts.percentiles)
        source2 = source2.with_range(opts.value_range, opts.percentiles)
    dates = opts.dates if opts.dates is not None else acquisition_dates(source1, source2)
    field = track_sources(source1, source2, params, opts, dates=dates).vector_field
    assert field is not None
    return to_dataset(field)
