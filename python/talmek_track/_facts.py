"""The engine's fixed facts as the package uses them: status codes, chip size limits and where a
chip of a given size starts around its centre. The engine owns them; they arrive here through the
native module, so changing one in the engine changes it here."""

from __future__ import annotations

from enum import IntEnum
from typing import Any

import numpy as np
import numpy.typing as npt

from talmek_track import _batch

#: Codes that the package gives points itself, beside the engine's: ``error`` for a point whose
#: match failed inside the native code (an all-zero record, as SelectedMatch returns) and
#: ``nodata`` for a point that was never matched because one of its chips held a nodata pixel;
#: ``outlier`` for an accepted match that the outlier filter rejected (published fields only: the
#: record keeps the engine's code).
PACKAGE_STATUS: dict[str, int] = {"error": 0, "nodata": -1, "outlier": -2}

#: The codes a match itself ends with, by name, as the engine defines them.
ENGINE_STATUS: dict[str, int] = dict(_batch.STATUS)



def _status_enum() -> Any:
    # Built from the engine's table at import, so its members are unknown to type checkers.
    return IntEnum("Status", {**PACKAGE_STATUS, **ENGINE_STATUS})


#: Every status a record's ``active`` field can hold, by name (``Status.accepted``, ...).
Status = _status_enum()

#: Status names by code.
STATUS_NAMES: dict[int, str] = {int(s): s.name for s in Status}

#: The status of points not matched because a chip held a nodata pixel.
NODATA: int = int(Status.nodata)

#: Inclusive limits of the reference chip's width and height, in pixels.
REF_CHIP_MIN: int = _batch.REF_CHIP_MIN
REF_CHIP_MAX: int = _batch.REF_CHIP_MAX
#: Inclusive limits of the search chip's width and height (chip plus both margins), in pixels.
SEARCH_CHIP_MIN: int = _batch.SEARCH_CHIP_MIN
SEARCH_CHIP_MAX: int = _batch.SEARCH_CHIP_MAX


def status_name(code: int) -> str:
    """The name of a status code, or ``status_<code>`` for a code no one defined.

    Parameters
    ----------
    code : int
        A value of a record's ``active`` field.

    Returns
    -------
    str
        For example ``"chip_outside"`` for ``Status.chip_outside``.
    """
    return STATUS_NAMES.get(int(code), f"status_{int(code)}")


def chip_origin(centres: npt.ArrayLike, size: npt.ArrayLike) -> npt.NDArray[np.int64]:
    """First row (or column) of the chip of ``size`` pixels that the engine cuts around each centre.

    Parameters
    ----------
    centres : array_like of int
        Chip centres (rows or columns), in the 32-bit integer range.
    size : array_like of int
        Chip heights (or widths); broadcast against ``centres``.

    Returns
    -------
    numpy.ndarray of int64
        The first index of each chip; the chip covers ``origin .. origin + size - 1``.
    """
    return _batch.chip_origin(centres, size)
