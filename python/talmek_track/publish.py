"""Result files staged and published so that a run never leaves a mess.

Files are written into a hidden staging folder inside the output folder (so on the same
filesystem, also when the output folder is a mount point) and published only when all are
complete: every target is checked before anything moves, files that are replaced are kept aside
until all new ones are in place, and any failure puts the earlier results back. The staging
folder is removed on every path (an interrupt included), and an output folder that the run
created is removed again when nothing was published.
"""

from __future__ import annotations

import errno
import os
import shutil
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

from talmek_track.errors import OptionError, OutputError

STAGING_PREFIX = ".talmek-staging-"


def output_target(text: str | os.PathLike[str]) -> Path:
    """The output folder, checked: a folder or nothing yet, inside an existing folder."""
    out = Path(text)
    if out.exists() and not out.is_dir():
        raise OptionError(f"{os.fspath(text)} exists and is not a folder")
    if not out.absolute().parent.is_dir():
        raise OptionError(f"the folder that would hold {os.fspath(text)} does not exist")
    return out


def _reason(e: OSError) -> str:
    return e.strerror or str(e) or type(e).__name__


class Staging:
    """A staging folder inside ``out``; ``publish`` moves its files into ``out``."""

    def __init__(self, out: Path) -> None:
        self.out = out
        self.created = False
        try:
            if not out.exists():
                out.mkdir()
                self.created = True
            self.folder = Path(tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=out))
        except OSError as e:
            self._drop_out()
            raise OutputError(f"cannot write into {out}: {_reason(e)}") from None
        self.published = False

    def user_path(self, path: str | os.PathLike[str] | None) -> Path:
        """A path in the staging folder as the user will find it: in the output folder."""
        if path is None:
            return self.out
        p = Path(os.fsdecode(path))
        try:
            return self.out / p.relative_to(self.folder)
        except ValueError:
            return p

    def publish(self, first: list[Path] | None = None) -> list[Path]:
        """Moves every staged file into the output folder, all or none; returns their paths,
        those named in ``first`` (staged paths) first, in that order."""
        order = {p.name: k for k, p in enumerate(first or [])}
        staged = sorted(self.folder.iterdir(), key=lambda p: (order.get(p.name, len(order)), p.name))
        for f in staged:
            target = self.out / f.name
            if target.is_symlink() or (target.exists() and not target.is_file()):
                raise OutputError(f"cannot replace {target}: it is not a plain file")
        aside = self.folder / ".replaced"
        aside.mkdir()
        moved: list[tuple[Path, Path | None]] = []  # (target, its earlier file kept aside)
        try:
            for f in staged:
                target = self.out / f.name
                kept = None
                if target.exists():
                    kept = aside / f.name
                    _move(target, kept)
                moved.append((target, kept))
                _move(f, target)
        except BaseException as e:  # an interrupt too: the earlier results come back first
            self._roll_back(moved)
            if not isinstance(e, OSError):
                raise
            raise OutputError(f"cannot write {self.user_path(e.filename) if e.filename else self.out}: "
                              f"{_reason(e)}; the earlier results are kept") from None
        self.published = True
        return [self.out / f.name for f in staged]

    def _roll_back(self, moved: list[tuple[Path, Path | None]]) -> None:
        for target, kept in reversed(moved):
            try:
                if target.exists() and (kept is None or kept.exists()):
                    target.unlink()
                if kept is not None and kept.exists():
                    _move(kept, target)
            except OSError:
                pass

    def remove(self) -> None:
        shutil.rmtree(self.folder, ignore_errors=True)
        if not self.published:
            self._drop_out()

    def _drop_out(self) -> None:
        if self.created:
            try:
                self.out.rmdir()
            except OSError:
                pass


def _move(source: Path, target: Path) -> None:
    """Renames; across filesystems (which a staging folder inside the output folder avoids, but a
    mount inside it may not) the file is copied beside the target and renamed into place."""
    try:
        os.replace(source, target)
    except OSError as e:
        if e.errno != errno.EXDEV:
            raise
        fd, name = tempfile.mkstemp(prefix=f".{target.name}.", dir=target.parent)
        os.close(fd)
        try:
            shutil.copy2(source, name)
            os.replace(name, target)
        except BaseException:
            Path(name).unlink(missing_ok=True)
            raise
        source.unlink()


@contextmanager
def staged(out: Path) -> Iterator[Staging]:
    """A staging folder for ``out``, removed when the block ends whatever happens; call
    ``publish`` inside the block. OSError raised inside becomes OutputError naming the user's
    path."""
    staging = Staging(out)
    try:
        yield staging
    except OSError as e:
        raise OutputError(f"cannot write {staging.user_path(e.filename)}: {_reason(e)}") from None
    finally:
        staging.remove()
