"""A synthetic stack of one scene with a glacier band whose speed follows a known seasonal cycle.

``seasonal_stack(...)`` builds ``count`` uint8 images ``days`` apart on a 10 m grid: periodic
terrain texture, and a band of ice flowing east whose speed across the band is full over its
middle and falls to zero across shear margins, and in time
``mean * (1 + amplitude * sin(2 pi t / year))``.
Each image is the texture moved by the displacement integrated from the first date to its own
(exactly, by Fourier shifts along the rows), plus independent noise. ``step_truth`` gives the
centreline's mean velocity over any time step. Shared by the tests and
bench/bench_timeseries.py; nothing here ships in the wheel.
"""

from __future__ import annotations

from dataclasses import dataclass
from datetime import UTC, datetime, timedelta
from pathlib import Path

import numpy as np

from synthetic import terrain

PIXEL = 10.0  # metres
CRS = "EPSG:32633"
ORIGIN = (600_000.0, 7_600_000.0)
START = datetime(2024, 1, 1, tzinfo=UTC)
YEAR = 365.25  # days


@dataclass
class SeasonalStack:
    images: list[np.ndarray]
    dates: list[datetime]
    ice: np.ndarray  # bool (rows, cols)
    profile: np.ndarray  # (rows,) share of the centreline speed
    centre_row: int
    mean: float  # m/yr at the centreline
    amplitude: float  # share of the mean
    phase_days: float

    def speed(self, days: np.ndarray) -> np.ndarray:
        """Centreline speed (m/yr) at days after START."""
        return self.mean * (1 + self.amplitude * np.sin(2 * np.pi * (days - self.phase_days) / YEAR))

    def travelled(self, days: np.ndarray) -> np.ndarray:
        """Centreline displacement (m) from START to days after START."""
        days = np.asarray(days, np.float64)
        w = 2 * np.pi / YEAR
        cyc = (np.cos(-w * self.phase_days) - np.cos(w * (days - self.phase_days))) / w
        return self.mean * (days + self.amplitude * cyc) / YEAR

    def step_truth(self, t0: datetime, t1: datetime) -> float:
        """The centreline's mean velocity (m/yr) between two dates."""
        a, b = ((t - START).total_seconds() / 86400.0 for t in (t0, t1))
        return float((self.travelled(b) - self.travelled(a)) / (b - a) * YEAR)

    @property
    def transform(self) -> tuple[float, float, float, float, float, float]:
        return (PIXEL, 0.0, ORIGIN[0], 0.0, -PIXEL, ORIGIN[1])


def seasonal_stack(size: int = 400, count: int = 20, days: float = 18.0, mean: float = 220.0,
                   amplitude: float = 0.6, phase_days: float = 60.0, noise: float = 2.0,
                   band: float = 0.32, seed: int = 5) -> SeasonalStack:
    rng = np.random.default_rng(seed)
    base = terrain((size, size), seed=seed, sigma=1.6)
    base = (base - base.mean()) / base.std()
    rows = np.arange(size)
    centre = size // 2
    half = size * band / 2
    # full speed over the middle 60 % of the band, shear margins falling to still rock
    profile = np.clip((half - np.abs(rows - centre)) / (0.4 * half), 0, 1)
    ice = np.broadcast_to((profile > 0)[:, None], (size, size)).copy()
    stack = SeasonalStack([], [], ice, profile, centre, mean, amplitude, phase_days)
    spectrum = np.fft.fft(base, axis=1)
    fx = np.fft.fftfreq(size)[None, :]
    for k in range(count):
        t = k * days
        stack.dates.append(START + timedelta(days=t))
        moved_px = stack.travelled(np.array(t)) / PIXEL * profile  # along +x (columns)
        field = np.fft.ifft(spectrum * np.exp(-2j * np.pi * fx * moved_px[:, None]), axis=1).real
        field = field + rng.normal(0.0, noise / 40.0, field.shape)
        stack.images.append(np.clip(np.rint(128 + 40 * field), 0, 255).astype(np.uint8))
    return stack


def write_stack(stack: SeasonalStack, folder: str | Path) -> list[Path]:
    """GeoTIFFs of the images with their acquisition dates as tags, in date order."""
    import rasterio
    from rasterio.transform import Affine

    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for k, (image, date) in enumerate(zip(stack.images, stack.dates)):
        path = folder / f"scene_{k:02d}.tif"
        with rasterio.open(path, "w", driver="GTiff", height=image.shape[0], width=image.shape[1],
                           count=1, dtype="uint8", crs=CRS, transform=Affine(*stack.transform)) as ds:
            ds.write(image, 1)
            ds.update_tags(ACQUISITION_DATE=date.strftime("%Y-%m-%dT%H:%M:%SZ"))
        paths.append(path)
    return paths
