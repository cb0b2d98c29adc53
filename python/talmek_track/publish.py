"""Results staged in a hidden folder beside the output folder and published when complete."""

from __future__ import annotations

import os
import shutil
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from talmek_track.errors import OptionError


def output_target(text: str | os.PathLike[str]) -> Path:
    """The output folder, checked: a folder or nothing yet, inside an existing folder."""
    out = Path(text)
    if out.exists() and not out.is_dir():
        raise OptionError(f"{text} exists and is not a folder")
    if not out.absolute().parent.is_dir():
        raise OptionError(f"the folder that would hold {text} does not exist")
    return out


@contextmanager
def staged(out: Path) -> Iterator[Path]:
    """Yields an empty staging folder; when the block ends without an error its files move into
    ``out`` (created if missing); the staging folder is removed either way."""
    staging = Path(tempfile.mkdtemp(prefix=f".{out.name}.", dir=out.absolute().parent))
    try:
        yield staging
        _publish(staging, out)
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def _publish(staging: Path, out: Path) -> None:
    if not out.exists():
        os.chmod(staging, 0o777 & ~_umask())
        staging.rename(out)
        return
    for f in staging.iterdir():
        os.replace(f, out / f.name)
    staging.rmdir()


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
