"""Acquisition dates: parsing the forms users and files give, and a pair's dates from its sources.

The files' metadata tags are read once, when ``readers.open_source`` inspects an input
(``ImageSource.tags``); nothing here opens a file.
"""

from __future__ import annotations

import re
import warnings
from collections.abc import Mapping
from datetime import UTC, datetime
from typing import Protocol

from talmek_track.errors import ImageWarning

__all__ = ["DAYS_PER_YEAR", "acquisition_dates", "date_from_tags", "interval_days", "parse_date", "parse_dates"]

#: Velocities are per Julian year.
DAYS_PER_YEAR = 365.25

_COMPACT = re.compile(r"^(\d{4})(\d{2})(\d{2})(?:[T ]?(\d{2})(\d{2})(\d{2})?)?Z?$")


def parse_date(text: str) -> datetime:
    """An acquisition date or timestamp: ISO 8601 (2024-07-01, 2024-07-01T10:30:00Z), the TIFF
    form 2024:07:01 10:30:00, or 20240701. Times without a zone are taken as UTC."""
    s = str(text).strip().strip("\x00").strip()
    m = re.match(r"^(\d{4}):(\d{2}):(\d{2})(.*)$", s)
    if m:
        s = f"{m[1]}-{m[2]}-{m[3]}{m[4]}"
    m = _COMPACT.match(s)
    try:
        if m:
            t = datetime(int(m[1]), int(m[2]), int(m[3]), int(m[4] or 0), int(m[5] or 0), int(m[6] or 0))
        else:
            t = datetime.fromisoformat(s)
    except ValueError:
        raise ValueError(f"not a date: {text!r} (expected for example 2024-07-01 or "
                         "2024-07-01T10:30:00Z)") from None
    return t.replace(tzinfo=UTC) if t.tzinfo is None else t


def parse_dates(text: str) -> tuple[datetime, datetime]:
    """Two dates separated by a comma, first image first."""
    parts = [p for p in str(text).split(",")]
    if len(parts) != 2 or not all(p.strip() for p in parts):
        raise ValueError(f"expected two dates separated by a comma, got {text!r}")
    return parse_date(parts[0]), parse_date(parts[1])


def interval_days(t1: datetime, t2: datetime) -> float:
    """Days from t1 to t2; refuses equal dates, for which no velocity exists."""
    days = (t2 - t1).total_seconds() / 86400.0
    if days == 0:
        raise ValueError(f"both images carry the same date ({t1.isoformat()}); velocities need "
                         "two different dates")
    return days


# Tags that name the acquisition, most specific first; TIFFTAG_DATETIME (when the file was made,
# which for most satellite products is the acquisition) comes last.
_DATE_TAGS = ("ACQUISITION_DATETIME", "ACQUISITIONDATETIME", "ACQUISITION_START_TIME",
              "ACQUISITION_DATE", "ACQUISITIONDATE", "DATE_ACQUIRED", "SENSING_TIME", "DATETIME",
              "DATE", "TIFFTAG_DATETIME")


def date_from_tags(tags: Mapping[str, object], name: str | None = None) -> datetime | None:
    """The acquisition date named by a file's metadata tags (GDAL metadata, as rasterio's
    ``tags()`` or rioxarray's ``attrs`` give them), or None. Names are compared ignoring case.
    A date tag that holds no date is passed over, with a warning naming the file ``name`` (when
    given), the tag and its value."""
    by_name = {str(k).upper(): (str(k), v) for k, v in tags.items()}
    candidates = [k for k in _DATE_TAGS if k in by_name]
    candidates += sorted(k for k in by_name if "ACQUISITION" in k and k not in candidates)
    for key in candidates:
        tag, value = by_name[key]
        try:
            return parse_date(str(value))
        except ValueError:
            if name is not None and ("DATE" in key or "TIME" in key):
                detail = f"{tag}={str(value)!r}"
                warnings.warn(ImageWarning(name, f"date tag {detail} is not a date; passed over",
                                           "carry a date tag that is not a date (passed over)", detail),
                              stacklevel=2)
    return None


class Dated(Protocol):
    """What ``acquisition_dates`` needs of an input: its name and its metadata tags."""

    @property
    def path(self) -> str: ...

    @property
    def tags(self) -> Mapping[str, str]: ...


def acquisition_dates(source1: Dated, source2: Dated) -> tuple[datetime, datetime] | None:
    """Both inputs' acquisition dates from their metadata tags, or None (with a warning when only
    one carries a date, or both the same one)."""
    t1, t2 = date_from_tags(source1.tags, source1.path), date_from_tags(source2.tags, source2.path)
    if t1 is not None and t2 is not None:
        if t1 == t2:
            warnings.warn(f"{source1.path} and {source2.path} carry the same date; no velocities "
                          "without dates given", stacklevel=2)
            return None
        return t1, t2
    if (t1 is None) != (t2 is None):
        warnings.warn(f"only {source1.path if t1 else source2.path} carries an acquisition date; "
                      "give the dates for velocities", stacklevel=2)
    return None
