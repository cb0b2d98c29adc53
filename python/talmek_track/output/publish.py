"""Result files staged and published all together or not at all, as a database commits.

Files are written into a hidden staging folder inside the output folder (so on the same
filesystem, also when the output folder is a mount point). Publishing then runs in this order:

1. every staged file and the staging folder are synced to the disk;
2. every file that the publish will replace is kept: hard-linked (else copied and synced) into
   the staging folder's ``.talmek-old`` folder;
3. a journal naming the files and those kept is written into the staging folder, synced, and
   renamed into place (the commit's intent);
4. each staged file is renamed over its target (a reader finds the old file or the new one,
   never none), and the output folder is synced;
5. the journal is removed and the staging folder synced: from here on the new set stands; then
   the staging folder goes.

A failure or a signal during step 4 undoes it in the same process (the kept files are renamed
back over their targets, new files without an earlier version removed); ``repair`` does the same
for a journal that a killed process or a power cut left behind, and removes staging folders
without a journal (nothing of them was published). Every run repairs its output folder first;
the command ``talmek-track repair OUTDIR`` does it alone. Afterwards the output folder holds the
whole earlier set of files or the whole new one. Files that a run does not write are never
touched.

A whole folder (a stack's velocity cube, a zarr store) is published the same way when the
caller asks for folders: its earlier version cannot be hard-linked, so it is moved aside into
``.talmek-old`` after the journal is written, just before the new one is renamed in, and an undo
moves the new one back into the staging folder and the earlier one back into place. Only what
lies inside a staging folder is ever removed.

Each staging folder is locked (``flock``) by the process that writes it, so that a run never
repairs the staging folder of another run still at work; publishing and repairing lock the
output folder itself, one at a time.
"""

from __future__ import annotations

import contextlib
import errno
import json
import os
import shutil
import tempfile
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path

from talmek_track import interrupts
from talmek_track.errors import OptionError, OutputError, path_text

try:
    import fcntl
except ImportError:  # no flock: no protection against a concurrent run's repair
    fcntl = None  # type: ignore[assignment]

STAGING_PREFIX = ".talmek-staging-"
#: Inside a staging folder: the journal, the files kept for undoing, a file being put back.
JOURNAL = ".talmek-journal"
KEPT = ".talmek-old"
RESTORE = ".talmek-restore"
_INTERNAL = ".talmek-"

#: Called with the name of each step of a publish or an undo before it is taken (tests stop the
#: process there); None in normal runs.
step_hook: Callable[[str], None] | None = None

#: The output folder into which this process last published results (the command's message
#: after a signal names it); at most one entry.
committed: list[Path] = []


def _step(what: str) -> None:
    if step_hook is not None:
        step_hook(what)


def output_target(text: str | os.PathLike[str]) -> Path:
    """The output folder, checked: a folder or nothing yet, inside an existing folder."""
    out = Path(text)
    try:
        if out.exists() and not out.is_dir():
            raise OptionError(f"{path_text(text)} exists and is not a folder")
        if not out.absolute().parent.is_dir():
            raise OptionError(f"the folder that would hold {path_text(text)} does not exist")
    except OSError as e:  # a name the filesystem refuses (too long, say): nothing can be written
        raise OutputError(f"cannot write into {path_text(text)}: {_reason(e)}") from None
    return out


def _reason(e: OSError) -> str:
    if e.errno == errno.ENOSPC:
        return os.strerror(errno.ENOSPC)
    return e.strerror or str(e) or type(e).__name__


# --- syncing and locking --------------------------------------------------------------------------

def _fsync_path(path: Path, *, directory: bool = False, step: bool = True) -> None:
    if step:
        _step(f"fsync {path.name}")
    flags = os.O_RDONLY | (getattr(os, "O_DIRECTORY", 0) if directory else 0)
    try:
        fd = os.open(path, flags)
    except OSError:
        if directory:  # a filesystem that cannot open folders cannot sync them either
            return
        raise
    try:
        os.fsync(fd)
    except OSError as e:
        if not (directory and e.errno in (errno.EINVAL, errno.EBADF, errno.ENOTSUP)):
            raise
    finally:
        os.close(fd)


@contextmanager
def _locked(folder: Path, *, wait: bool = True) -> Iterator[bool]:
    """An exclusive lock on ``folder`` for the block; yields False when ``wait`` is False and
    another process holds it."""
    if fcntl is None:
        yield True
        return
    try:
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        yield True
        return
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
        except BlockingIOError:
            yield False
            return
        except OSError:  # a filesystem without locks
            pass
        yield True
    finally:
        os.close(fd)


def _clone(source: Path, target: Path) -> None:
    """``target`` holds what ``source`` holds: a hard link where the filesystem allows, else a
    synced copy."""
    _step(f"keep {source.name}")
    try:
        os.link(source, target)
    except OSError as e:
        if e.errno == errno.ENOSPC or isinstance(e, FileNotFoundError):
            raise
        shutil.copyfile(source, target)
        _fsync_path(target)


def _move(source: Path, target: Path, temp_prefix: str) -> None:
    """Renames over ``target``; across filesystems (which a staging folder inside the output
    folder avoids, but a mount inside it may not) the file is copied beside the target, synced
    and renamed into place."""
    _step(f"rename {target.name}")
    try:
        os.replace(source, target)
    except OSError as e:
        if e.errno != errno.EXDEV or source.is_dir():
            raise
        fd, name = tempfile.mkstemp(prefix=temp_prefix, dir=target.parent)
        os.close(fd)
        try:
            shutil.copy2(source, name)
            _fsync_path(Path(name))
            os.replace(name, target)
        except BaseException:
            Path(name).unlink(missing_ok=True)
            raise
        source.unlink()


# --- the journal and undoing it -------------------------------------------------------------------

def _fsync_tree(path: Path) -> None:
    """Syncs a staged folder: every file and folder in it, and itself (one step)."""
    _step(f"fsync {path.name}")
    for root, dirs, files in os.walk(path):
        for name in files:
            _fsync_path(Path(root, name), step=False)
        for name in dirs:
            _fsync_path(Path(root, name), directory=True, step=False)
    _fsync_path(path, directory=True, step=False)


def _write_journal(folder: Path, names: list[str], kept: list[str], folders: list[str] | None = None) -> None:
    partial = folder / f"{JOURNAL}.partial"
    _step("write journal")
    with open(partial, "w") as f:
        json.dump({"files": names, "kept": kept, **({"folders": folders} if folders else {})}, f)
        f.flush()
        _step("fsync journal")
        os.fsync(f.fileno())
    _step("rename journal")
    os.replace(partial, folder / JOURNAL)
    _fsync_path(folder, directory=True)


def _read_journal(folder: Path) -> tuple[list[str], set[str], set[str]] | None:
    try:
        text = (folder / JOURNAL).read_text()
    except FileNotFoundError:
        return None
    data = json.loads(text)
    names = [str(n) for n in data["files"]]
    if any(os.sep in n or (os.altsep and os.altsep in n) or n in ("", ".", "..") for n in names):
        raise ValueError("the journal names a file outside the output folder")
    folders = {str(n) for n in data.get("folders", [])}
    if not folders <= set(names):
        raise ValueError("the journal names a folder it does not publish")
    return names, {str(n) for n in data["kept"]}, folders


def _undo(out: Path, folder: Path, names: list[str], kept: set[str], folders: set[str] | None = None) -> None:
    """Puts the earlier set back: each kept file over its target, each new file that had no
    earlier version removed; a new folder is moved back into the staging folder and the earlier
    one back into place. Safe to repeat (an undo cut short is finished by the next)."""
    for name in names:
        target = out / name
        if folders and name in folders:
            if not (folder / name).exists() and target.is_dir() and not target.is_symlink():
                _step(f"take back {name}")  # moved in, so the folder there is the new one
                os.replace(target, folder / name)
            if name in kept and (folder / KEPT / name).is_dir():
                _step(f"put back {name}")
                os.replace(folder / KEPT / name, target)
        elif name in kept:
            backup = folder / KEPT / name
            if target.exists() and os.path.samefile(target, backup):
                continue
            restore = folder / RESTORE
            restore.unlink(missing_ok=True)
            try:
                _clone(backup, restore)
                _move(restore, target, _part_prefix(folder))
            except BaseException:
                with contextlib.suppress(OSError):  # the kept file itself stays for the next try
                    restore.unlink(missing_ok=True)
                raise
        elif not (folder / name).exists():  # moved in, so the file there is the new one
            _step(f"remove {name}")
            target.unlink(missing_ok=True)
    _fsync_path(out, directory=True)
    _step("remove journal")
    (folder / JOURNAL).unlink(missing_ok=True)
    _fsync_path(folder, directory=True)


PART_PREFIX = ".talmek-part-"


def _part_prefix(folder: Path) -> str:
    """The prefix of the copies that a move across filesystems makes beside its targets."""
    return f"{PART_PREFIX}{folder.name.removeprefix(STAGING_PREFIX)}."


def _discard(out: Path, folder: Path) -> None:
    shutil.rmtree(folder, ignore_errors=True)
    for stray in out.glob(f"{glob_escape(_part_prefix(folder))}*"):  # copies cut short
        with contextlib.suppress(OSError):
            stray.unlink()


def glob_escape(name: str) -> str:
    return "".join(f"[{c}]" if c in "*?[" else c for c in name)


def repair(out: str | os.PathLike[str]) -> list[str]:
    """Brings ``out`` back to a whole set of results after a run that was cut short (killed, a
    power cut): an unfinished publish is undone, staging folders of runs that are no longer at
    work are removed. Returns one line per staging folder dealt with. OutputError when an
    unfinished publish cannot be undone (the output folder then holds a mix, named)."""
    out = Path(out)
    done: list[str] = []
    try:
        leftovers = sorted(p for p in out.iterdir() if p.name.startswith(STAGING_PREFIX) and p.is_dir()
                           and not p.is_symlink())
    except (FileNotFoundError, NotADirectoryError):
        return done
    except OSError as e:
        raise OutputError(f"cannot look into {path_text(out)}: {_reason(e)}") from None
    if not leftovers:
        return done
    with _locked(out), interrupts.deferred():  # an undo is finished before a signal is honoured
        for folder in leftovers:
            with _locked(folder, wait=False) as free:
                if not free:
                    continue  # another run is writing there
                if not folder.is_dir():
                    continue  # its run finished and removed it since the listing
                try:
                    journal = _read_journal(folder)
                except (OSError, ValueError, KeyError, TypeError) as e:
                    raise OutputError(f"cannot read the journal of an unfinished publish in "
                                      f"{path_text(folder)}: {describe(e)}") from None
                if journal is not None:
                    names, kept, folders = journal
                    try:
                        _undo(out, folder, names, kept, folders)
                    except OSError as e:
                        raise OutputError(
                            f"cannot undo the unfinished publish of {', '.join(names)} in "
                            f"{path_text(out)}: {_reason(e)}; the files kept for it are in "
                            f"{path_text(folder / KEPT)}") from None
                    done.append(f"{path_text(out)}: undid an unfinished publish of {len(names)} files")
                else:
                    done.append(f"{path_text(out)}: removed the staging folder of a run cut short")
                _discard(out, folder)
    return done


def repair_tree(out: str | os.PathLike[str]) -> list[str]:
    """``repair`` of ``out`` and of each folder directly inside it (a stack's pair folders)."""
    out = Path(out)
    done = repair(out)
    try:
        subfolders = sorted(p for p in out.iterdir()
                            if p.is_dir() and not p.is_symlink() and not p.name.startswith(STAGING_PREFIX))
    except OSError:
        return done
    for sub in subfolders:
        done += repair(sub)
    return done


def describe(e: BaseException) -> str:
    if isinstance(e, OSError):
        return _reason(e)
    return " ".join(str(e).split()) or type(e).__name__


# --- staging and publishing ---------------------------------------------------------------------

class Staging:
    """A staging folder inside ``out``; ``publish`` moves its files into ``out``."""

    def __init__(self, out: Path) -> None:
        self.out = out
        self.created = False
        self.published = False
        self._lock: int | None = None
        repair(out)
        try:
            if not out.exists():
                try:
                    out.mkdir()
                    self.created = True
                except FileExistsError:  # a run beside this one made it first
                    pass
            # A repair acts only while it holds the output folder's lock: made and locked under
            # that lock, the staging folder is never seen by a repair before it is locked.
            with _locked(out):
                self.folder = Path(tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=out))
                _step("lock staging")
                self._hold_lock()
        except OSError as e:
            self._drop_out()
            raise OutputError(f"cannot write into {path_text(out)}: {_reason(e)}") from None
        interrupts.add_cleanup(id(self), self.remove)

    def _hold_lock(self) -> None:
        if fcntl is None:
            return
        try:
            fd = os.open(self.folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        except OSError:
            return
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            return
        self._lock = fd

    def user_path(self, path: str | os.PathLike[str] | None) -> Path:
        """A path in the staging folder as the user will find it: in the output folder."""
        if path is None:
            return self.out
        p = Path(os.fsdecode(path))
        try:
            return self.out / p.relative_to(self.folder)
        except ValueError:
            return p

    def _staged(self, first: list[Path] | None) -> list[Path]:
        order = {p.name: k for k, p in enumerate(first or [])}
        found = [p for p in self.folder.iterdir() if not p.name.startswith(_INTERNAL)]
        return sorted(found, key=lambda p: (order.get(p.name, len(order)), p.name))

    def publish(self, first: list[Path] | None = None, *, folders: bool = False) -> list[Path]:
        """Moves every staged file into the output folder, all or none; returns their paths,
        those named in ``first`` (staged paths) first, in that order. With ``folders``, a staged
        folder replaces a folder of its name whole."""
        staged = self._staged(first)
        for f in staged:
            target = self.out / f.name
            if folders and f.is_dir() and not f.is_symlink():
                if target.is_symlink() or (target.exists() and not target.is_dir()):
                    raise OutputError(f"cannot replace {path_text(target)}: it is not a folder")
            elif target.is_symlink() or (target.exists() and not target.is_file()) or not f.is_file():
                raise OutputError(f"cannot replace {path_text(target)}: it is not a plain file")
        try:
            for f in staged:  # the slow part, before anything holds signals back
                interrupts.check()
                if f.is_dir():
                    _fsync_tree(f)
                else:
                    _fsync_path(f)
            _fsync_path(self.folder, directory=True)
        except OSError as e:
            raise OutputError(f"cannot write {path_text(self.user_path(e.filename or f))}: "
                              f"{_reason(e)}; the earlier results are kept") from None
        interrupts.check()
        names = [f.name for f in staged]
        with _locked(self.out), interrupts.deferred():
            self._commit(names)
        if not self.published:  # a signal that the process's own handlers then ignored
            raise OutputError(f"publishing into {path_text(self.out)} was interrupted; the earlier "
                              "results are kept")
        committed[:] = [self.out]
        return [self.out / name for name in names]

    def _commit(self, names: list[str]) -> None:
        kept: list[str] = []
        folders = [name for name in names if (self.folder / name).is_dir()]
        started = False
        try:
            (self.folder / KEPT).mkdir()
            for name in names:
                if (self.out / name).exists():
                    if name not in folders:
                        _clone(self.out / name, self.folder / KEPT / name)
                    kept.append(name)  # a folder is moved aside once the journal says so
            _fsync_path(self.folder / KEPT, directory=True)
            if interrupts.pending() is not None:
                return  # nothing was published; the signal is raised as the section ends
            started = True  # from here on the journal may exist: undo on any failure
            _write_journal(self.folder, names, kept, folders)
            for name in names:
                if interrupts.pending() is not None:
                    raise interrupts.Interrupted(interrupts.pending() or 0)
                if name in folders and name in kept:
                    _step(f"keep {name}")
                    os.replace(self.out / name, self.folder / KEPT / name)
                _move(self.folder / name, self.out / name, _part_prefix(self.folder))
            _fsync_path(self.out, directory=True)
            if interrupts.pending() is not None:
                raise interrupts.Interrupted(interrupts.pending() or 0)
            _step("remove journal")
            (self.folder / JOURNAL).unlink()
            _fsync_path(self.folder, directory=True)
        except BaseException as e:
            if started:
                with contextlib.suppress(OSError):
                    _undo(self.out, self.folder, names, set(kept), set(folders))
            if isinstance(e, interrupts.Interrupted):
                return  # the earlier set is back; the signal is raised as the section ends
            if not isinstance(e, OSError):
                raise
            name = e.filename or e.filename2
            where = self.user_path(name) if isinstance(name, (str, bytes, os.PathLike)) else None
            if where is None or where.name.startswith(_INTERNAL) or where == self.out:
                what = f"publish into {path_text(self.out)}"  # its journal or a kept copy
            else:
                what = f"write {path_text(where)}"
            raise OutputError(f"cannot {what}: {_reason(e)}; the earlier results are kept") from None
        self.published = True

    def remove(self) -> None:
        """Removes the staging folder (and an output folder this run created and left empty)."""
        interrupts.remove_cleanup(id(self))
        if not self.published and (self.folder / JOURNAL).exists():
            # A publish whose undoing failed: the next repair finishes it.
            self._release()
            return
        _discard(self.out, self.folder)
        self._release()
        if not self.published:
            self._drop_out()

    def _release(self) -> None:
        if self._lock is not None:
            with contextlib.suppress(OSError):
                os.close(self._lock)
            self._lock = None

    def _drop_out(self) -> None:
        if self.created:
            try:
                self.out.rmdir()
            except OSError:
                pass


@contextmanager
def staged(out: Path) -> Iterator[Staging]:
    """A staging folder for ``out`` (repaired first), removed when the block ends whatever
    happens; call ``publish`` inside the block. OSError raised inside becomes OutputError naming
    the user's path."""
    staging = Staging(out)
    try:
        yield staging
    except OSError as e:
        raise OutputError(f"cannot write {path_text(staging.user_path(e.filename))}: {_reason(e)}") from None
    finally:
        with interrupts.deferred():
            staging.remove()
