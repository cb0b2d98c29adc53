"""A STAC API search as a stack's inputs: the items of a collection over a bounding box and a time
range, optionally below a cloud cover, each standing for one of its assets (``stac.py``).

``search_images`` runs the search with pystac-client (the "stac" extra) and returns the images in
the order of their dates; ``talmek-track stack --stac-search URL`` matches them.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import datetime

from talmek_track.errors import InputError, OptionError, one_line, require
from talmek_track.options.values import DEFAULT_TIMEOUT
from talmek_track.sources.stac import StacImage, item_datetime, pick_asset

#: The most items a search returns unless the caller allows more: a stack of that many images is
#: already a long run, and a search left too wide would otherwise page through a whole catalogue.
DEFAULT_MAX_ITEMS = 100


@dataclass(frozen=True)
class StacQuery:
    """What to search for.

    Attributes
    ----------
    url : str
        The STAC API's root (its landing page).
    collections : tuple of str
        The collections to search.
    bbox : (float, float, float, float) or None
        West, south, east, north in degrees of longitude and latitude.
    datetime : str or None
        A time or a range as STAC writes it: ``2024-06-01/2024-09-30``, open ends as ``..``.
    max_cloud : float or None
        Only items whose ``eo:cloud_cover`` is at most this many percent.
    max_items : int
        The most items to take.
    """

    url: str
    collections: tuple[str, ...]
    bbox: tuple[float, float, float, float] | None = None
    datetime: str | None = None
    max_cloud: float | None = None
    max_items: int = DEFAULT_MAX_ITEMS

    def describe(self) -> str:
        parts = [f"collection {', '.join(self.collections)}"]
        if self.bbox is not None:
            parts.append("bbox " + ",".join(f"{v:g}" for v in self.bbox))
        if self.datetime is not None:
            parts.append(f"datetime {self.datetime}")
        if self.max_cloud is not None:
            parts.append(f"cloud cover <= {self.max_cloud:g} %")
        return "; ".join(parts)


def parse_bbox(text: str) -> tuple[float, float, float, float]:
    """'W,S,E,N' in degrees; OptionError for anything else."""
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) != 4 or not all(math.isfinite(v) for v in values):
        raise OptionError(f"--bbox must be W,S,E,N in degrees, got {text!r}")
    w, s, e, n = values
    if not (-180 <= w <= 180 and -180 <= e <= 180 and -90 <= s < n <= 90):
        raise OptionError(f"--bbox must be W,S,E,N with longitudes in -180..180 and latitudes in "
                          f"-90..90, south below north, got {text!r}")
    return w, s, e, n


def check_query(query: StacQuery) -> StacQuery:
    """The query, its values checked; OptionError names the flag of a wrong one."""
    if not query.url.startswith(("http://", "https://")):
        raise OptionError(f"--stac-search must be the http(s) address of a STAC API, got {query.url!r}")
    if not query.collections or not all(query.collections):
        raise OptionError("--stac-search needs the collection to search (--collection)")
    if query.max_cloud is not None and not 0 <= query.max_cloud <= 100:
        raise OptionError(f"--max-cloud must be a percentage 0..100, got {query.max_cloud:g}")
    if isinstance(query.max_items, bool) or query.max_items < 1:
        raise OptionError(f"--max-items must be at least 1, got {query.max_items}")
    return query


def search_images(query: StacQuery, asset: str | None = None,
                  timeout: tuple[float, float] | None = None) -> list[StacImage]:
    """The images of the items a STAC API search finds, in the order of their dates (then ids).

    Parameters
    ----------
    query : StacQuery
        The API and what to search for.
    asset : str, optional
        The asset each item stands for (default: the first with the role ``data``).
    timeout : (float, float), optional
        Seconds to wait for the API to accept a connection, and then for the next bytes of each
        answer (default ``readers.DEFAULT_TIMEOUT``).

    Raises
    ------
    InputError
        On one line: the API cannot be reached, answers with an error or not within the
        timeout, the search finds no
        item, an item lacks the asset (with the list of its assets) or a datetime.
    """
    check_query(query)
    pystac_client = require("pystac_client", "stac")
    keywords: dict[str, object] = {"collections": list(query.collections), "max_items": query.max_items}
    if query.bbox is not None:
        keywords["bbox"] = list(query.bbox)
    if query.datetime is not None:
        keywords["datetime"] = query.datetime
    if query.max_cloud is not None:
        keywords["query"] = {"eo:cloud_cover": {"lte": query.max_cloud}}
    try:
        client = pystac_client.Client.open(query.url, timeout=timeout or DEFAULT_TIMEOUT)
        items = list(client.search(**keywords).items())
    except Exception as e:  # noqa: BLE001 - an HTTP error, an unreachable host, a bad answer
        reason = one_line(e)
        if "timed out" in reason.lower():
            reason += " (timeout, --timeout)"
        raise InputError(f"the STAC search at {query.url} failed: {reason}") from None
    if not items:
        raise InputError(f"the STAC search at {query.url} found no items ({query.describe()})")
    images = []
    for item in items:
        when = item_datetime(item)
        if when is None:
            raise InputError(f"the STAC search at {query.url}: item {item.id} has no datetime")
        images.append(pick_asset(item, asset, query.url, when))
    return sorted(images, key=lambda image: (image.datetime or datetime.min, image.item))


def dated_inputs(images: Sequence[StacImage]) -> tuple[list[str], list[datetime | None]]:
    """The images' addresses and dates, as ``match_stack`` takes them."""
    return [image.href for image in images], [image.datetime for image in images]
