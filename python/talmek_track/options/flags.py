"""How the command takes an option: the ``Flag`` a field of ``TrackOptions`` carries, and the
parsers of the flags' text.

A field's flag, its help and the parser of its text are declared with the field itself
(``options.core.option``); ``command_options`` lists them for the command, which makes its
argument parser from them (``talmek_track.cli.command``). The parsers take the text of one flag
and give a value that ``TrackOptions`` then checks; they refuse text that is no such value with
``FlagTextError``, which the command reports as a wrong argument of the flag. No argparse here.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

from talmek_track.options.values import ValueRange, format_names

__all__ = ["CommandOption", "Flag", "FlagTextError", "command_options", "flag_name"]


class FlagTextError(ValueError):
    """The text of a flag is no value of its kind; the message says what was expected."""


class _Unset:
    def __repr__(self) -> str:
        return "UNSET"


#: A flag that takes a value (rather than setting one when given).
UNSET: Any = _Unset()


@dataclass(frozen=True)
class Flag:
    """The command's flag of one option.

    ``rank`` places the flag in ``--help`` (lowest first, within its ``group``); ``help`` is its
    text, in which ``{default}`` stands for the option's default (a pair written N or X,Y) or a
    callable giving the whole text when the parser is made (for texts that name what later
    stages register). The flag is the option's keyword with dashes unless ``name`` says
    otherwise. It takes a value: text that ``parse`` turns into one (default: the text itself)
    or one of ``choices``, shown as ``metavar``; or, with ``sets``, it takes none and sets the
    option to that value. ``group`` names the help section it goes in (None: the command's
    own options).
    """

    rank: int
    help: str | Callable[[], str]
    metavar: str | None = None
    parse: Callable[[str], Any] | None = None
    choices: Iterable[str] | None = None
    sets: Any = UNSET
    name: str | None = None
    group: str | None = None


@dataclass(frozen=True)
class CommandOption:
    """One option as the command takes it: its keyword, its flag, its default and its help."""

    keyword: str
    flag: str
    default: Any
    help: str
    spec: Flag


class _Shown:
    """A default as help texts show it: a pair N when both are equal, else X,Y."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __format__(self, spec: str) -> str:
        value = self.value
        if isinstance(value, tuple) and len(value) == 2 and all(isinstance(v, int) for v in value):
            return str(value[0]) if value[0] == value[1] else f"{value[0]},{value[1]}"
        return format(value, spec)


def flag_name(keyword: str, flag: Flag | None) -> str:
    """The command's flag of an option: its declared name, else the keyword with dashes."""
    return flag.name if flag is not None and flag.name is not None else "--" + keyword.replace("_", "-")


def command_options(options: type, group: str | None = None) -> list[CommandOption]:
    """The options of the dataclass ``options`` (``TrackOptions``) whose fields carry a flag, in
    the order of ``--help``; those of ``group`` only."""
    found = []
    for f in dataclasses.fields(options):
        spec = f.metadata.get("flag")
        if spec is None or spec.group != group:
            continue
        text = spec.help() if callable(spec.help) else spec.help.format(default=_Shown(f.default))
        found.append(CommandOption(f.name, flag_name(f.name, spec), f.default, text, spec))
    return sorted(found, key=lambda o: o.spec.rank)


def text_pair(text: str) -> tuple[int, int]:
    """'N' for both directions or 'X,Y' (columns, rows); their limits are the options'."""
    try:
        values = [int(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) == 1:
        values *= 2
    if len(values) != 2:
        raise FlagTextError(f"expected N or X,Y with whole numbers, got {text!r}")
    return values[0], values[1]


def text_start(text: str) -> tuple[int, int] | None:
    return None if text == "auto" else text_pair(text)


def text_formats(text: str) -> list[str]:
    names = [n.strip().lower() for n in text.split(",") if n.strip()]
    if not names:
        raise FlagTextError(f"expected names from {', '.join(format_names())}, got {text!r}")
    return names


def text_limit(text: str) -> float | None:
    if text == "auto":
        return None
    try:
        return float(text)
    except ValueError:
        raise FlagTextError(f"expected a number or 'auto', got {text!r}") from None


def text_count(text: str) -> int | None:
    if text == "none":
        return None
    try:
        value = int(float(text)) if "e" in text.lower() else int(text)
    except (ValueError, OverflowError):  # 1e999 is no whole number either
        raise FlagTextError(f"expected a whole number or 'none', got {text!r}") from None
    return value


def text_seconds(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise FlagTextError(f"expected a number of seconds, got {text!r}") from None


def text_timeout(text: str) -> tuple[float, float]:
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        values = []
    if len(values) not in (1, 2):
        raise FlagTextError(f"expected SECONDS or CONNECT,READ in seconds, got {text!r}")
    return values[0], values[-1]


def text_range(text: str) -> ValueRange:
    if text in ("auto", "none"):
        return None if text == "none" else "auto"
    try:
        lo, hi = (float(v) for v in text.split(","))
    except ValueError:
        raise FlagTextError(f"expected auto, none or LOW,HIGH, got {text!r}") from None
    return lo, hi


def text_off_or_number(text: str) -> float | None:
    if text.strip().lower() == "none":
        return None
    try:
        return float(text)
    except ValueError:
        raise FlagTextError(f"expected a number or none, got {text!r}") from None
