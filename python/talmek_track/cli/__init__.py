"""The ``talmek-track`` command: argument parsing, flags, messages and exit statuses."""

from talmek_track.cli.command import main

__all__ = ["main"]
