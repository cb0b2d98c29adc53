"""The run's stages, timed for whoever watches: benchmarks and profilers, without touching the code.

Register an observer for as long as a ``with`` block lasts::

    from talmek_track import stages

    def seen(name: str, wall: float, cpu: float) -> None:
        ...

    with stages.observe(seen):
        talmek_track.track_files("a.tif", "b.tif", "out")

Each stage that ends inside the block calls every observer once with its name, its wall seconds
and the CPU seconds (user + system) of the whole process over the same span. Stages nest (a
block's reads within the block, the guided passes within the prediction, the prediction within
the plan) and overlap (the next block is read on a helper thread while the current one is
matched; writers that run side by side), so their seconds add up to more than the run's, and
the CPU seconds of overlapping stages count the other threads' work as well. A stage that
raises is not reported. Observers are called on the thread the stage ran on, several at once;
they must be quick and must not raise. The stages run in this process only: the blocks a Dask
cluster matches report nothing here, the run's "matching" stage covers them whole.

The stages of a pair, in order (``STAGES`` holds the names without parameters):

- ``open``: the inputs opened and put on one grid, the georeferences related;
- ``value range``: both images' value ranges sampled and settled;
- ``plan``: the grid laid and cut into blocks, the guided prediction included;
  ``guided prediction`` (guided and reference runs), with each of its passes as
  ``guided pass PASS`` (as ``--passes`` writes it: ``guided pass 4/40``); a reduced pass reports
  ``reduced read``, ``pre-filter``, ``match points``, ``clean, fill``; every pass ``smooth``;
- ``matching``: all the blocks of the run, from the first read to the last record; per block,
  where it runs in this process, ``load block`` (``read``, ``pre-filter``, ``masking``,
  ``deformation``) and ``match block`` (``match points``, ``refinement``, ``restore``);
- ``vector field``: the records assembled, the bend test of guided runs (``bend test``), the
  field, its filters and products; ``preview``: the picture a figure is drawn on;
- ``writers``: every writer, with each one as ``writer NAME``; ``publish``: the files moved
  into the output folder.

With no observer registered a stage costs one test of an empty tuple; results never depend on
observers.
"""

from __future__ import annotations

import contextlib
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

__all__ = ["STAGES", "Observer", "observe", "stage"]

#: Receives (stage name, wall seconds, process CPU seconds) as each stage ends.
Observer = Callable[[str, float, float], object]

#: The stages a pair reports, in the order of a run; ``guided pass`` and ``writer`` are followed by
#: the pass and the writer's name.
STAGES = ("open", "value range", "plan", "guided prediction", "guided pass", "reduced read",
          "clean, fill", "smooth", "matching", "load block", "read", "pre-filter", "masking",
          "deformation", "match block", "match points", "refinement", "restore", "vector field",
          "bend test", "preview", "writers", "writer", "publish")

_observers: tuple[Observer, ...] = ()
_lock = threading.Lock()


class _Timed:
    """One stage being timed; reports to the observers registered when it began."""

    __slots__ = ("name", "observers", "wall", "cpu")

    def __init__(self, name: str, observers: tuple[Observer, ...]) -> None:
        self.name = name
        self.observers = observers

    def __enter__(self) -> None:
        self.wall = time.perf_counter()
        self.cpu = time.process_time()

    def __exit__(self, kind: type[BaseException] | None, *rest: Any) -> None:
        if kind is not None:
            return
        wall = time.perf_counter() - self.wall
        cpu = time.process_time() - self.cpu
        for observer in self.observers:
            observer(self.name, wall, cpu)


_UNWATCHED = contextlib.nullcontext()


def stage(name: str) -> contextlib.AbstractContextManager[None]:
    """The context of one stage: timed and reported when an observer is registered, else nothing."""
    watching = _observers
    return _Timed(name, watching) if watching else _UNWATCHED


@contextlib.contextmanager
def observe(observer: Observer) -> Iterator[Observer]:
    """Calls ``observer(name, wall_seconds, cpu_seconds)`` for every stage of every run of this
    process that ends inside the ``with`` block (any thread); yields the observer."""
    global _observers
    if not callable(observer):
        raise TypeError(f"a stage observer must be callable, got {type(observer).__name__}")
    with _lock:
        _observers = (*_observers, observer)
    try:
        yield observer
    finally:
        with _lock:
            at = len(_observers) - 1 - _observers[::-1].index(observer)
            _observers = _observers[:at] + _observers[at + 1:]
