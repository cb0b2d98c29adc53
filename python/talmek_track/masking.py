"""Points whose chips touch missing pixels, found without matching them."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from talmek_track._facts import chip_origin


def chips_touch(invalid: np.ndarray | None, points: npt.NDArray[np.integer], width: int,
                height: int) -> npt.NDArray[np.bool_]:
    """True for each (row, col) centre whose chip, as the engine cuts it, holds an invalid pixel
    (the part of the chip inside the image; a chip outside is the engine's to reject)."""
    if invalid is None or len(points) == 0:
        return np.zeros(len(points), bool)
    rows, cols = invalid.shape
    table = np.zeros((rows + 1, cols + 1), np.int64)
    table[1:, 1:] = invalid.cumsum(0).cumsum(1)
    r0 = chip_origin(points[:, 0], height)
    c0 = chip_origin(points[:, 1], width)
    r1, c1 = np.clip(r0 + height, 0, rows), np.clip(c0 + width, 0, cols)
    r0, c0 = np.clip(r0, 0, rows), np.clip(c0, 0, cols)
    touched: npt.NDArray[np.bool_] = (table[r1, c1] - table[r0, c1] - table[r1, c0] + table[r0, c0]) > 0
    return touched
