"""STAC items as inputs: an item (a JSON file or URL) stands for the one image asset it names.

``is_stac`` tells an item or item collection from an image by its name (``.json``, or a JSON
document that says it is STAC). ``item_image`` reads an item with pystac and returns the asset's
absolute address and the item's ``properties.datetime``; ``collection_images`` does the same for
every item of an ItemCollection (a FeatureCollection of items, as a STAC search returns it).
The asset is the one named (``asset``), else the first with the role ``data``, else the only one.
``stac_search`` finds items with a STAC API search.

An item is an input from whoever wrote it, so the addresses it names meet the run's source
policy (``gate.stac_href``): a file only inside the item's own folder, a remote address only
where remote inputs are allowed; the image is then opened like any other input.
"""

from __future__ import annotations

import http.client
import json
import os
from dataclasses import dataclass
from datetime import datetime
from typing import Any

from talmek_track.errors import InputError, one_line, require
from talmek_track.options.values import SourcePolicy
from talmek_track.sources.gate import is_network, stac_href
from talmek_track.sources.remote import http_url, network_reason, open_url

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


def _read(path: str, policy: SourcePolicy, timeout: tuple[float, float] | None = None) -> dict[str, Any]:
    """The JSON document at ``path``: a file, or an HTTP(S) address (where ``policy`` allows
    remote inputs) read within ``timeout`` (connect, read), a user and password in it sent as
    basic authentication."""
    pystac = require("pystac", "stac")
    if not policy.allow_remote and is_network(path):
        raise InputError(f"cannot read the STAC document {path}: remote inputs are not allowed in "
                         "this run (allow_remote=False, --no-remote)")
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


def _image(item: Any, asset: str | None, where: str, dated: bool = True,
           policy: SourcePolicy | None = None) -> StacImage:
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
    if policy is None:  # an item from a catalogue search: its addresses as the catalogue gives them
        href = assets[name].get_absolute_href() or assets[name].href
    else:
        href = stac_href(str(assets[name].href), where, policy)
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
               policy: SourcePolicy | None = None,
               timeout: tuple[float, float] | None = None) -> StacImage:
    """The image a STAC item names, its address held to ``policy`` (default: the default one),
    the item read within ``timeout`` (connect, read) when it is a URL.
    InputError for a document that is not an item, a missing asset (with the list of the item's
    assets), one unreadable, and an address the policy refuses."""
    pystac = require("pystac", "stac")
    policy = policy or SourcePolicy()
    text = os.fspath(path)
    document = _read(text, policy, timeout)
    if document.get("type") != "Feature":
        raise InputError(f"{text} is not a STAC item (a collection of items is a stack's input)")
    try:
        item, dated = _parsed(pystac, document, href=text if "://" in text else os.path.abspath(text))
    except Exception as e:  # noqa: BLE001 - pystac's own reason, on one line
        raise InputError(f"{text} is not a valid STAC item: {one_line(e)}") from None
    return _image(item, asset, text, dated, policy)


def collection_images(path: str | os.PathLike[str], asset: str | None = None,
                      policy: SourcePolicy | None = None,
                      timeout: tuple[float, float] | None = None) -> list[StacImage]:
    """The images of every item of a STAC ItemCollection, in its order, their addresses held to
    ``policy`` (relative ones to the collection's own folder), the collection read within
    ``timeout`` when it is a URL."""
    pystac = require("pystac", "stac")
    policy = policy or SourcePolicy()
    text = os.fspath(path)
    document = _read(text, policy, timeout)
    if document.get("type") == "Feature":
        return [item_image(text, asset, policy, timeout)]
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
        images.append(_image(item, asset, text, dated, policy))
    return images


def _sibling(base: str, name: str) -> str:
    return base.rsplit("/", 1)[0] + "/" + name


def stack_inputs(paths: list[str], asset: str | None = None,
                 policy: SourcePolicy | None = None, timeout: tuple[float, float] | None = None
                 ) -> tuple[list[str], list[datetime | None]]:
    """A stack's inputs with every STAC document (an item, or a collection of items, read within
    ``timeout`` when it is a URL) replaced by the images it names, their addresses held to
    ``policy``, and each image's date from its item (None for plain images)."""
    names: list[str] = []
    dates: list[datetime | None] = []
    for path in paths:
        if not is_stac(path):
            names.append(path)
            dates.append(None)
            continue
        for image in collection_images(path, asset, policy, timeout):
            names.append(image.href)
            dates.append(image.datetime)
    return names, dates
