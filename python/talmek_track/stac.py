"""STAC items as inputs: an item (a JSON file or URL) stands for the one image asset it names.

``is_stac`` tells an item or item collection from an image by its name (``.json``, or a JSON
document that says it is STAC). ``item_image`` reads an item with pystac and returns the asset's
absolute address and the item's ``properties.datetime``; ``collection_images`` does the same for
every item of an ItemCollection (a FeatureCollection of items, as a STAC search returns it).
The asset is the one named (``asset``), else the first with the role ``data``, else the only one.
``stac_search`` finds items with a STAC API search.
"""

from __future__ import annotations

import http.client
import json
import os
from dataclasses import dataclass
from datetime import datetime
from typing import Any

from talmek_track.errors import InputError, one_line, require
from talmek_track.readers import http_url, network_reason, open_url

#: The largest STAC document read from the network: far above an item collection of thousands of
#: items, small enough that a server that never ends its answer cannot fill the memory.
MAX_DOCUMENT_BYTES = 2**26


@dataclass(frozen=True)
class StacImage:
    """One image named by a STAC item: the asset's address, the item's id and acquisition time."""

    href: str
    item: str
    asset: str
    datetime: datetime | None


def is_stac(path: str | os.PathLike[str]) -> bool:
    """Whether the input names a STAC document rather than an image: its name ends in .json."""
    text = os.fspath(path)
    return text.split("?", 1)[0].lower().endswith(".json")


def _read(path: str, timeout: tuple[float, float] | None = None) -> dict[str, Any]:
    """The JSON document at ``path``: a file, or an HTTP(S) address read within ``timeout``
    (connect, read), a user and password in it sent as basic authentication."""
    pystac = require("pystac", "stac")
    url = http_url(path)
    try:
        if url is None:
            document = pystac.StacIO.default().read_json(path)
        else:
            with open_url(url, timeout) as response:
                data = response.read(MAX_DOCUMENT_BYTES + 1)
            if len(data) > MAX_DOCUMENT_BYTES:
                raise InputError(f"cannot read the STAC document {path}: it is larger than "
                                 f"{MAX_DOCUMENT_BYTES} bytes")
            document = json.loads(data)
    except InputError:
        raise
    except (OSError, http.client.HTTPException) as e:
        raise InputError(f"cannot read the STAC document {path}: {network_reason(e, timeout)}") from None
    except Exception as e:  # noqa: BLE001 - a missing file, an HTTP error, bad JSON: one line
        raise InputError(f"cannot read the STAC document {path}: {one_line(e)}") from None
    if not isinstance(document, dict):
        raise InputError(f"{path} is not a STAC item or item collection")
    return document


def _parsed(pystac: Any, document: dict[str, Any], **keywords: Any) -> tuple[Any, bool]:
    """The item of a document, and whether it has a datetime. An item without one (pystac
    refuses those that give no time range either) is read all the same: the run's dates may
    stand in for it."""
    properties = document.get("properties")
    dated = isinstance(properties, dict) and bool(properties.get("datetime"))
    if not dated and isinstance(properties, dict):
        document = {**document, "properties": {**properties, "datetime": "1970-01-01T00:00:00Z"}}
    return pystac.Item.from_dict(document, preserve_dict=False, **keywords), dated


def _image(item: Any, asset: str | None, where: str, dated: bool = True) -> StacImage:
    assets = item.assets
    if asset is not None:
        if asset not in assets:
            names = ", ".join(assets) or "none"
            raise InputError(f"{where}: item {item.id} has no asset {asset!r}; its assets: {names}")
        name = asset
    else:
        data = [k for k, a in assets.items() if "data" in (a.roles or [])]
        if data:
            name = data[0]
        elif len(assets) == 1:
            name = next(iter(assets))
        else:
            names = ", ".join(assets) or "none"
            raise InputError(f"{where}: item {item.id} has no asset with the role 'data'; choose one "
                             f"by its name (--asset): {names}")
    href = assets[name].get_absolute_href() or assets[name].href
    return StacImage(str(href), str(item.id), name, item.datetime if dated else None)


def item_datetime(item: Any) -> datetime | None:
    """A pystac item's ``properties.datetime`` (None when it gives a time range only)."""
    when = item.datetime
    return when if isinstance(when, datetime) else None


def pick_asset(item: Any, asset: str | None, where: str, when: datetime | None) -> StacImage:
    """The image a pystac item stands for: ``asset``, else the first with the role ``data``, else
    the only one; dated ``when``. InputError names ``where`` the item came from."""
    image = _image(item, asset, where)
    return StacImage(image.href, image.item, image.asset, when)


def item_image(path: str | os.PathLike[str], asset: str | None = None,
               timeout: tuple[float, float] | None = None) -> StacImage:
    """The image a STAC item names (read within ``timeout``, connect and read, when it is a URL).
    InputError for a document that is not an item, a missing asset (with the list of the item's
    assets) or one unreadable."""
    pystac = require("pystac", "stac")
    text = os.fspath(path)
    document = _read(text, timeout)
    if document.get("type") != "Feature":
        raise InputError(f"{text} is not a STAC item (a collection of items is a stack's input)")
    try:
        item, dated = _parsed(pystac, document, href=text if "://" in text else os.path.abspath(text))
    except Exception as e:  # noqa: BLE001 - pystac's own reason, on one line
        raise InputError(f"{text} is not a valid STAC item: {one_line(e)}") from None
    return _image(item, asset, text, dated)


def collection_images(path: str | os.PathLike[str], asset: str | None = None,
                      timeout: tuple[float, float] | None = None) -> list[StacImage]:
    """The images of every item of a STAC ItemCollection, in its order."""
    pystac = require("pystac", "stac")
    text = os.fspath(path)
    document = _read(text, timeout)
    if document.get("type") == "Feature":
        return [item_image(text, asset, timeout)]
    if document.get("type") != "FeatureCollection":
        raise InputError(f"{text} is not a STAC item collection")
    base = text if "://" in text else os.path.abspath(text)
    images = []
    for k, feature in enumerate(document.get("features") or []):
        try:
            item, dated = _parsed(pystac, feature)
        except Exception as e:  # noqa: BLE001
            raise InputError(f"{text}: item {k + 1} is not a valid STAC item: {one_line(e)}") from None
        # Relative asset addresses are relative to the collection's document.
        item.set_self_href(item.get_self_href() or _sibling(base, f"{item.id}.json"))
        images.append(_image(item, asset, text, dated))
    return images


def _sibling(base: str, name: str) -> str:
    return base.rsplit("/", 1)[0] + "/" + name


def stack_inputs(paths: list[str], asset: str | None = None,
                 timeout: tuple[float, float] | None = None) -> tuple[list[str], list[datetime | None]]:
    """A stack's inputs with every STAC document (an item, or a collection of items, read within
    ``timeout`` when it is a URL) replaced by the images it names, and each image's date from its
    item (None for plain images)."""
    names: list[str] = []
    dates: list[datetime | None] = []
    for path in paths:
        if not is_stac(path):
            names.append(path)
            dates.append(None)
            continue
        for image in collection_images(path, asset, timeout):
            names.append(image.href)
            dates.append(image.datetime)
    return names, dates
