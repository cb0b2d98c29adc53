"""The ``talmek-track`` command: argument parsing, flags, messages and exit statuses.

``main`` is the entry point (the console script and ``python -m talmek_track``): it installs the
start-up handlers of SIGINT, SIGTERM and SIGHUP before it imports the command and the stages
(NumPy, GDAL, the native modules: a second or so on a loaded machine), so that a signal while the
command starts ends it at once with 128 + the signal's number and one line, never a traceback.
"""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Sequence

from talmek_track.interrupts import SIGNALS, exit_at_start_up

__all__ = ["main"]

PROG = "talmek-track"


def _started_note(signum: int) -> str:
    return f"{PROG}: {SIGNALS.get(signum, 'interrupted')}; nothing was written"


def main(argv: Sequence[str] | None = None) -> int:
    """The command: parses ``argv`` (default: the process's arguments) and returns the exit
    status (``talmek_track.cli.command.main``, with the start-up handlers installed first).

    Without ``argv`` it is the process's own command (the console script, ``python -m
    talmek_track``): a run stopped by a signal, its staging removed and its message printed, then
    ends the process at once, without waiting for helper threads (a writer's modules imported
    ahead) and the interpreter's teardown."""
    restore = exit_at_start_up(_started_note)
    try:
        from talmek_track.cli.command import main as command

        status = command(argv)
    finally:
        restore()
    if argv is None and status - 128 in SIGNALS:
        for stream in (sys.stdout, sys.stderr):
            with contextlib.suppress(Exception):
                stream.flush()
        os._exit(status)
    return status
