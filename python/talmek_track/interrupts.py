"""SIGINT, SIGTERM and SIGHUP: one path for all three, honoured in every phase of a run.

``install`` (the command calls it) makes each of the three signals raise ``Interrupted`` in the
main thread and also records it, so that a signal whose exception some library swallows (inside
a finaliser, a C callback, a ``finally`` clause of its own) is still honoured at the next
``check``. It is raised once, and not while the main thread is inside logging or a finaliser:
rasterio's GDAL error callback logs, and drops whatever is raised there with a traceback on
standard error. Block boundaries, the progress callbacks of the native matching (every 50 ms),
the results that come back from a cluster and the publishing all check. A watchdog thread hears
each signal through a wake-up pipe even while the main thread sits inside C code (a GDAL read, a
writer): when the run has not ended 0.8 s after the signal, it removes what the run staged and
ends the process with the signal's status (128 + its number). A publish under way gets 0.2 s
more to end; still at work then (a slow disk), it is left as a power cut leaves it, for the next
run's repair. Before ``install``, while the command starts, ``exit_at_start_up`` ends the process
at once.

``deferred`` marks a section that must not be cut short (publishing results and undoing a
publish): a signal inside it is recorded, the section finishes (it checks ``pending`` to undo
what it started), and the signal is raised when the section ends. The watchdog waits for such a
section, 0.2 s at most. Outside the command (no ``install``), ``deferred`` still holds back SIGINT, SIGTERM and
SIGHUP for its length in the main thread and then delivers them as the process's own handlers
would.
"""

from __future__ import annotations

import contextlib
import os
import signal
import threading
import time
from collections.abc import Callable, Iterator
from types import FrameType
from typing import Any

#: The signals of one path, with the names that messages use.
SIGNALS: dict[int, str] = {int(signal.SIGINT): "interrupted", int(signal.SIGTERM): "terminated"}
if hasattr(signal, "SIGHUP"):
    SIGNALS[int(signal.SIGHUP)] = "hung up"

#: How long the watchdog lets a run unwind on its own after a signal, in seconds.
GRACE_SECONDS = 0.8

#: How much longer it waits for a publish (or its undoing) under way to end, in seconds: one still
#: at work then (a slow disk) is left as a power cut would leave it, its journal for the next run's
#: repair (or ``talmek-track repair``) to undo.
SETTLE_SECONDS = 0.2


class Interrupted(KeyboardInterrupt):
    """A signal (SIGINT, SIGTERM or SIGHUP) asked the run to stop; unwinds like Ctrl-C, so that
    every cleanup runs. ``signum`` names the signal; the exit status is 128 + ``signum``."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    def __str__(self) -> str:
        return SIGNALS.get(self.signum, f"signal {self.signum}")


class _State:
    def __init__(self) -> None:
        self.pending: int | None = None  # the first signal not yet honoured
        self.depth = 0  # sections that hold signals back
        self.installed = False
        self.critical = threading.RLock()  # held by deferred sections; the watchdog waits for it
        self.cleanups: dict[int, Callable[[], None]] = {}
        self.on_exit: Callable[[int], None] | None = None
        self.unsettled = False  # the watchdog ended the process inside a deferred section


_state = _State()


def unsettled() -> bool:
    """Whether the watchdog is ending the process while a publish or its undoing was still at
    work (``on_exit`` can say so: the next run's repair finishes the undo)."""
    return _state.unsettled


def pending() -> int | None:
    """The signal that arrived and is not yet honoured, or None."""
    return _state.pending


def check() -> None:
    """Raises ``Interrupted`` for a signal that arrived (and whose exception was lost); outside a
    deferred section only."""
    signum = _state.pending
    if signum is not None and _state.depth == 0:
        raise Interrupted(signum)


def _inside_callback(frame: FrameType | None) -> bool:
    """Whether ``frame`` runs where an exception would be dropped: a finaliser, or logging, which
    C libraries call back into (rasterio's GDAL error handler discards what it raises)."""
    for _ in range(64):
        if frame is None:
            return False
        if frame.f_code.co_name == "__del__" or frame.f_globals.get("__name__") == "logging":
            return True
        frame = frame.f_back
    return False


def _handler(signum: int, frame: FrameType | None) -> None:
    # Raised once, where it can propagate; otherwise (and for a signal that repeats) only
    # recorded: ``check`` raises it at the next checkpoint, the watchdog ends the run at the latest.
    first = _state.pending is None
    if first:
        _state.pending = signum
    if _state.depth == 0 and first and not _inside_callback(frame):
        raise Interrupted(signum)


def add_cleanup(key: int, action: Callable[[], None]) -> None:
    """Registers what the watchdog undoes when it ends the process (a staging folder)."""
    _state.cleanups[key] = action


def remove_cleanup(key: int) -> None:
    _state.cleanups.pop(key, None)


def _main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def deferred() -> Iterator[None]:
    """A section that signals do not cut short; see the module's description."""
    own: dict[int, Any] = {}
    with _state.critical:
        if not _state.installed and _state.depth == 0 and _main_thread():
            for signum in SIGNALS:
                if signal.getsignal(signum) not in (signal.SIG_IGN, None):
                    own[signum] = signal.signal(signum, _handler)
            _state.pending = None
        _state.depth += 1
        failed = False
        try:
            yield
        except BaseException:
            failed = True
            raise
        finally:
            _state.depth -= 1
            if own:
                for signum, previous in own.items():
                    signal.signal(signum, previous)
                caught, _state.pending = _state.pending, None
                if caught is not None:
                    signal.raise_signal(caught)  # as the process's own handler would have it
            elif _state.depth == 0 and _state.pending is not None and not failed:
                raise Interrupted(_state.pending)


def exit_at_start_up(note: Callable[[int], str]) -> Callable[[], None]:
    """While a command starts (imports its modules, parses its arguments), before it has written
    anything: SIGINT, SIGTERM and SIGHUP end the process at once, ``note(signum)`` on standard
    error and 128 + the signal's number as its status. ``install`` takes over from here; returns
    the function that puts the previous handlers back. Outside the main thread, nothing."""
    if not _main_thread():
        return lambda: None

    def handler(signum: int, frame: FrameType | None) -> None:
        with contextlib.suppress(Exception):
            os.write(2, f"{note(signum)}\n".encode())
        os._exit(128 + signum)

    previous = {signum: signal.signal(signum, handler) for signum in SIGNALS}

    def restore() -> None:
        for signum, old in previous.items():
            signal.signal(signum, old)

    return restore


def install(on_exit: Callable[[int], None] | None = None) -> Callable[[], None]:
    """Routes SIGINT, SIGTERM and SIGHUP into ``Interrupted`` and starts the watchdog; returns
    the function that puts the previous handlers back. ``on_exit(signum)`` is called by the
    watchdog before it ends the process (the command prints its message there)."""
    previous = {signum: signal.signal(signum, _handler) for signum in SIGNALS}
    _state.pending = None
    _state.installed = True
    _state.on_exit = on_exit
    read, write = os.pipe()
    stop = threading.Event()
    try:
        os.set_blocking(write, False)
        old_fd: int | None = signal.set_wakeup_fd(write, warn_on_full_buffer=False)
    except (ValueError, OSError):  # a platform whose wake-up needs a socket: no watchdog
        old_fd = None
    else:
        watchdog = threading.Thread(target=_watch, args=(read, stop), name="talmek-signals", daemon=True)
        watchdog.start()

    def restore() -> None:
        stop.set()
        if old_fd is not None:
            signal.set_wakeup_fd(old_fd)
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        _state.installed = False
        _state.on_exit = None
        _state.pending = None  # honoured by the caller, who read it before
        os.close(write)  # wakes the watchdog, which closes its end
        if old_fd is None:
            os.close(read)

    return restore


def _watch(read: int, stop: threading.Event) -> None:
    try:
        while True:
            try:
                data = os.read(read, 64)
            except OSError:
                return
            if not data or stop.is_set():
                return
            caught = [b for b in data if b in SIGNALS]
            if not caught:
                continue
            signum = caught[0]
            deadline = time.monotonic() + GRACE_SECONDS
            while time.monotonic() < deadline:
                if stop.wait(0.02):
                    return
            # Waits for a publish or its undoing to finish, for a bounded time: after it, the
            # cleanups would race the section still at work, so they are left to the repair.
            settled = _state.critical.acquire(timeout=SETTLE_SECONDS)
            if stop.is_set():
                return
            if settled:
                for action in list(_state.cleanups.values()):
                    with contextlib.suppress(Exception):
                        action()
            else:
                _state.unsettled = True
            if _state.on_exit is not None:
                with contextlib.suppress(Exception):
                    _state.on_exit(signum)
            os._exit(128 + signum)
    finally:
        with contextlib.suppress(OSError):
            os.close(read)
