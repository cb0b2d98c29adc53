from collections.abc import Callable

import numpy as np
import numpy.typing as npt

import Talmek

record_dtype: np.dtype
STATUS: dict[str, int]
REF_CHIP_MIN: int
REF_CHIP_MAX: int
SEARCH_CHIP_MIN: int
SEARCH_CHIP_MAX: int

def default_threads() -> int: ...
def chip_origin(centres: npt.ArrayLike, size: npt.ArrayLike) -> npt.NDArray[np.int64]: ...
def match_points(
    image1: npt.ArrayLike,
    image2: npt.ArrayLike,
    points: npt.NDArray[np.int32],
    params: Talmek.MatchingParams,
    threads: int,
    progress: Callable[[int], object] | None,
    window1: tuple[int, int, int, int] | None = None,
    window2: tuple[int, int, int, int] | None = None,
) -> tuple[np.ndarray, int, str]: ...
