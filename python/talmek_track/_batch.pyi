from collections.abc import Callable

import numpy as np
import numpy.typing as npt

import Talmek

record_dtype: np.dtype

def default_threads() -> int: ...
def match_points(
    image1: npt.ArrayLike,
    image2: npt.ArrayLike,
    points: npt.NDArray[np.int32],
    params: Talmek.MatchingParams,
    threads: int,
    progress: Callable[[int], object] | None,
) -> tuple[np.ndarray, int, str]: ...
