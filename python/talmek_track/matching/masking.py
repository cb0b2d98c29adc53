"""Points whose chips touch missing pixels, found without matching them."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from talmek_track._facts import chip_origin


def chips_touch(invalid: np.ndarray | None, points: npt.NDArray[np.integer],
                width: int | npt.NDArray[np.integer], height: int | npt.NDArray[np.integer],
                origin: tuple[int, int] = (0, 0)) -> npt.NDArray[np.bool_]:
    """True for each (row, col) centre whose chip, as the engine cuts it, holds an invalid pixel;
    ``width`` and ``height`` are one chip size or one per point.

    ``invalid`` covers the window of the image whose first pixel is ``origin`` (row, col); the
    window must hold every pixel of each chip that lies inside the image, and only the part
    inside the window counts (a chip outside the image is the engine's to reject). The counts
    are 32-bit where the window allows, so the table costs four bytes per pixel.
    """
    if invalid is None or len(points) == 0 or not invalid.any():
        return np.zeros(len(points), bool)
    rows, cols = invalid.shape
    kind = np.int32 if invalid.size < 2**31 else np.int64
    table = np.zeros((rows + 1, cols + 1), kind)
    np.cumsum(invalid, axis=0, dtype=kind, out=table[1:, 1:])
    np.cumsum(table[1:, 1:], axis=1, out=table[1:, 1:])
    r0 = chip_origin(points[:, 0], height) - origin[0]
    c0 = chip_origin(points[:, 1], width) - origin[1]
    r1, c1 = np.clip(r0 + height, 0, rows), np.clip(c0 + width, 0, cols)
    r0, c0 = np.clip(r0, 0, rows), np.clip(c0, 0, cols)
    touched: npt.NDArray[np.bool_] = (table[r1, c1] - table[r0, c1] - table[r1, c0] + table[r0, c0]) > 0
    return touched
