"""Where the matching of a run happens. Every run goes through ``get_backend``; ``threads``
(native threads in this process) is the one backend today."""

from __future__ import annotations

from collections.abc import Callable
from typing import Protocol

import numpy as np

import Talmek
from talmek_track.matching import Progress, match_points


class Backend(Protocol):
    """Matches point pairs of one image pair; ``match_points`` describes the arguments."""

    def match(self, image1: np.ndarray, image2: np.ndarray, points1: np.ndarray,
              points2: np.ndarray, params: Talmek.MatchingParams,
              progress: Progress | None) -> np.ndarray: ...


class ThreadBackend:
    """Native threads of this process, ``threads`` of them (None: every core)."""

    def __init__(self, threads: int | None = None) -> None:
        self.threads = threads

    def match(self, image1: np.ndarray, image2: np.ndarray, points1: np.ndarray,
              points2: np.ndarray, params: Talmek.MatchingParams,
              progress: Progress | None) -> np.ndarray:
        return match_points(image1, image2, points1, points2, params, threads=self.threads,
                            progress=progress)


#: Backend factories by name; each takes the thread count asked for.
BACKENDS: dict[str, Callable[[int | None], Backend]] = {"threads": ThreadBackend}


def get_backend(name: str = "threads", threads: int | None = None) -> Backend:
    """The backend called ``name``.

    Parameters
    ----------
    name : str
        A key of ``BACKENDS``.
    threads : int, optional
        Threads per process (default: every core).

    Returns
    -------
    Backend
    """
    try:
        factory = BACKENDS[name]
    except KeyError:
        raise ValueError(f"unknown backend {name!r}; choose from {', '.join(BACKENDS)}") from None
    return factory(threads)
