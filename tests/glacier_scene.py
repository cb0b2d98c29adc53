"""A synthetic satellite pair of a valley glacier with a known displacement everywhere.

``glacier_scene(size)`` builds two uint16 images (12-bit values, 0 is nodata) on a 10 m UTM grid,
30 days apart: terrain-like texture (the hill-shading of a fractal surface times a fractal
albedo), a curved glacier flowing up to 6 px with shear margins and a still terminus, and, in
image 2, the same ground moved by the glacier plus a co-registration offset of (0.35, -0.25) px
(columns, rows), a brightness and contrast change, haze, clouds with saturated cores and soft
edges, nodata patches in both images and independent sensor noise. It also returns the truth:
the ice, a stable-ground mask (rock away from the ice), a cloud mask of image 2 as a cloud
classification would give it, and ``truth(rows, cols)``, the displacement of any point of image 1.

``write_scene(scene, folder)`` writes the GeoTIFFs (the stable-ground mask on a 20 m grid, so that
readers must resample it). Shared by the tests (small scenes) and bench/bench_glacier.py (4000 x
4000); nothing here ships in the wheel.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path

import numpy as np
from scipy import fft, ndimage

PIXEL = 10.0  # metres
CRS = "EPSG:32633"
ORIGIN = (500_000.0, 8_700_000.0)  # map x, y of the top-left corner
DATES = (datetime(2024, 7, 1, tzinfo=UTC), datetime(2024, 7, 31, tzinfo=UTC))
OFFSET = (0.35, -0.25)  # co-registration offset of image 2, (columns, rows) in pixels
MAX_SPEED = 6.0  # pixels over the interval
NODATA = 0
SATURATED = 4095  # the largest 12-bit value


@dataclass
class GlacierScene:
    image1: np.ndarray  # uint16
    image2: np.ndarray  # uint16
    flow: np.ndarray  # (2, rows, cols) float32: the glacier's (row, col) displacement in pixels
    ice: np.ndarray  # bool
    stable: np.ndarray  # bool: rock at least a buffer away from the ice
    cloud_alpha: np.ndarray  # float32, image 2: 0 clear .. 1 opaque cloud
    cloud_mask: np.ndarray  # bool, image 2: what a cloud classification flags (dilated)
    nodata1: np.ndarray  # bool
    nodata2: np.ndarray  # bool
    offset: tuple[float, float] = OFFSET
    pixel: float = PIXEL
    #: Fixed-point steps of ``truth``: more for a glacier that moves far.
    iterations: int = 8

    @property
    def shape(self) -> tuple[int, int]:
        return self.image1.shape  # type: ignore[return-value]

    @property
    def transform(self) -> tuple[float, float, float, float, float, float]:
        return (self.pixel, 0.0, ORIGIN[0], 0.0, -self.pixel, ORIGIN[1])

    @property
    def dt_days(self) -> float:
        return (DATES[1] - DATES[0]).total_seconds() / 86400.0

    @property
    def px_per_year(self) -> float:
        """Map units per year of one pixel over the interval."""
        return self.pixel * 365.25 / self.dt_days

    def truth(self, rows: np.ndarray, cols: np.ndarray, offset: bool = True) -> tuple[np.ndarray, np.ndarray]:
        """(dx, dy) in pixels (columns right, rows down) of the feature at each point of image 1:
        where it is found in image 2, the offset included unless ``offset`` is False."""
        rows = np.asarray(rows, np.float64)
        cols = np.asarray(cols, np.float64)
        o_col, o_row = self.offset
        # Image 2 at q shows image 1 at q - flow(q) - offset: solve q = p + offset + flow(q).
        qr, qc = rows + o_row, cols + o_col
        for _ in range(self.iterations):
            fr = ndimage.map_coordinates(self.flow[0], [qr, qc], order=1, mode="nearest")
            fc = ndimage.map_coordinates(self.flow[1], [qr, qc], order=1, mode="nearest")
            qr, qc = rows + o_row + fr, cols + o_col + fc
        dx, dy = qc - cols, qr - rows
        if not offset:
            dx, dy = dx - o_col, dy - o_row
        return dx, dy

    def clear(self, rows: np.ndarray, cols: np.ndarray, half1: int, half2: int) -> np.ndarray:
        """Points whose reference chip (2 x half1 pixels a side) in image 1 and search chip
        (2 x half2, around the same point) in image 2 hold valid, cloud-free pixels: where a
        vector can be expected."""
        bad1 = _box_any(self.nodata1, half1)
        bad2 = _box_any(self.nodata2 | (self.cloud_alpha > 0.02), half2)
        out: np.ndarray = ~bad1[rows, cols] & ~bad2[rows, cols]
        return out


def _box_any(mask: np.ndarray, half: int) -> np.ndarray:
    table = np.zeros((mask.shape[0] + 1, mask.shape[1] + 1), np.int32)
    table[1:, 1:] = np.cumsum(np.cumsum(mask, axis=0, dtype=np.int32), axis=1)
    r = np.arange(mask.shape[0])
    c = np.arange(mask.shape[1])
    r0, r1 = np.clip(r - half, 0, mask.shape[0])[:, None], np.clip(r + half, 0, mask.shape[0])[:, None]
    c0, c1 = np.clip(c - half, 0, mask.shape[1]), np.clip(c + half, 0, mask.shape[1])
    result: np.ndarray = (table[r1, c1] - table[r0, c1] - table[r1, c0] + table[r0, c0]) > 0
    return result


def fractal(shape: tuple[int, int], beta: float, rng: np.random.Generator) -> np.ndarray:
    """Gaussian noise with a power spectrum falling as 1/f^beta, zero mean, unit deviation."""
    rows, cols = shape
    fr = fft.fftfreq(rows).astype(np.float32)[:, None]
    fc = fft.rfftfreq(cols).astype(np.float32)[None, :]
    f = np.sqrt(fr * fr + fc * fc)
    f[0, 0] = 1.0
    amplitude = f ** np.float32(-beta / 2)
    amplitude[0, 0] = 0.0
    del f
    noise = rng.standard_normal(shape, np.float32)
    spectrum = fft.rfft2(noise, workers=-1)
    del noise
    spectrum *= amplitude
    del amplitude
    field = fft.irfft2(spectrum, s=shape, workers=-1).astype(np.float32)
    field -= field.mean()
    field /= field.std() or 1.0
    return field


def _hillshade(height: np.ndarray, azimuth: float = 315.0, altitude: float = 40.0) -> np.ndarray:
    gy, gx = np.gradient(height)
    az, alt = np.deg2rad(azimuth), np.deg2rad(altitude)
    slope = np.arctan(np.hypot(gx, gy))
    aspect = np.arctan2(-gx, gy)
    shade = np.sin(alt) * np.cos(slope) + np.cos(alt) * np.sin(slope) * np.cos(az - aspect)
    return np.clip(shade, 0.0, 1.0).astype(np.float32)


def _glacier(shape: tuple[int, int]) -> tuple[np.ndarray, np.ndarray]:
    """The flow field (2, rows, cols) in pixels and the ice: a band along an arc of a circle,
    entering at the left edge and ending at a terminus in the lower right, fastest along its
    centre line and slowing to zero at both margins (shear) and towards the terminus."""
    n = shape[0]
    centre_r, centre_c, radius, half_width = 0.9 * n, 0.0, 0.72 * n, 0.085 * n
    end = np.deg2rad(92.0)
    r = np.arange(shape[0], dtype=np.float32)[:, None] - centre_r
    c = np.arange(shape[1], dtype=np.float32)[None, :] - centre_c
    dist = np.hypot(r, c)
    theta = np.arctan2(c, -r)  # 0 straight up from the centre, growing clockwise
    across = (dist - radius) / half_width
    s = theta / end
    ice = (np.abs(across) < 1.0) & (s > -0.2) & (s < 1.0)
    profile = np.clip(1.0 - np.abs(across) ** 3, 0.0, 1.0)  # plug flow with shear margins
    along = np.clip((1.0 - s) / 0.35, 0.0, 1.0)  # slowing to rest at the terminus
    speed = np.where(ice, MAX_SPEED * profile * along, 0.0).astype(np.float32)
    # Direction of growing theta: (rows, cols) = (sin, cos) of theta.
    flow = np.stack([speed * np.sin(theta), speed * np.cos(theta)]).astype(np.float32)
    return flow, ice


def _blobs(shape: tuple[int, int], rng: np.random.Generator, beta: float, share: float) -> np.ndarray:
    """A smooth 0..1 field that is 1 over about ``share`` of the scene with soft edges."""
    field = fractal(shape, beta, rng)
    threshold = np.quantile(field[::8, ::8], 1.0 - share)
    soft = 0.35
    return np.clip((field - threshold) / soft + 0.5, 0.0, 1.0).astype(np.float32)


def _wide_glacier(shape: tuple[int, int], width: float, speed: float) -> tuple[np.ndarray, np.ndarray]:
    """As ``_glacier``, but ``width`` pixels wide whatever the scene's size and moving up to
    ``speed`` pixels, with a parabolic profile across (shear at the margins: 2 speed / width
    pixels per pixel, 0.5 for 150 px on 1200)."""
    n = shape[0]
    half_width = width / 2.0
    radius = float(np.clip(0.72 * n, half_width + 0.1 * n, 0.9 * n - half_width - 0.05 * n))
    centre_r, end = 0.9 * n, np.deg2rad(92.0)
    r = np.arange(shape[0], dtype=np.float32)[:, None] - centre_r
    c = np.arange(shape[1], dtype=np.float32)[None, :]
    dist = np.hypot(r, c)
    theta = np.arctan2(c, -r)
    across = (dist - radius) / half_width
    s = theta / end
    ice = (np.abs(across) < 1.0) & (s > -0.2) & (s < 1.0)
    profile = np.clip(1.0 - across**2, 0.0, 1.0)
    along = np.clip((1.0 - s) / 0.35, 0.0, 1.0)
    moving = np.where(ice, speed * profile * along, 0.0).astype(np.float32)
    flow = np.stack([moving * np.sin(theta), moving * np.cos(theta)]).astype(np.float32)
    return flow, ice


def wide_glacier_scene(size: int = 4000, width: float = 1200.0, speed: float = 150.0,
                       seed: int = 29) -> GlacierScene:
    """A fast, wide glacier: as ``glacier_scene`` (texture, haze, nodata, noise, offset) but the
    glacier ``width`` pixels wide whatever ``size``, moving up to ``speed`` pixels in the 30
    days (150 px: 18 km/yr on 10 m pixels), and no clouds."""
    return glacier_scene(size, seed, flow=lambda shape: _wide_glacier(shape, width, speed), clouds=False,
                         iterations=60)


def glacier_scene(size: int = 4000, seed: int = 23, *,
                  flow: Callable[[tuple[int, int]], tuple[np.ndarray, np.ndarray]] | None = None,
                  clouds: bool = True, iterations: int = 8) -> GlacierScene:
    """The pair and its truth, ``size`` x ``size`` pixels; the same seed gives the same scene.
    ``flow`` makes another glacier (its flow field and ice from the shape); ``clouds`` False
    leaves image 2 clear."""
    rng = np.random.default_rng(seed)
    shape = (size, size)
    height = fractal(shape, 3.2, rng) * (size / 12.0)
    rock = _hillshade(height)
    del height
    albedo = 1.0 + 0.25 * fractal(shape, 2.0, rng)
    flow, ice = (_glacier if flow is None else flow)(shape)
    ice_texture = 0.8 + 0.08 * fractal(shape, 2.4, rng) + 0.05 * ndimage.gaussian_filter(
        rng.standard_normal(shape, np.float32), 1.0)
    ground = np.where(ice, ice_texture, 0.55 * rock * albedo + 0.15).astype(np.float32)
    del rock, albedo, ice_texture
    ground = ndimage.gaussian_filter(ground, 0.7)  # the sensor's blur: well sampled
    ground = 300.0 + 2600.0 * (ground - ground.min()) / (np.ptp(ground) or 1.0)

    # Image 2 at q shows the ground at q - flow(q) - offset.
    moved = np.empty(shape, np.float32)
    o_col, o_row = OFFSET
    rows_per = max(1, 4_000_000 // size)
    cols = np.arange(size, dtype=np.float32)[None, :]
    for r0 in range(0, size, rows_per):
        r1 = min(size, r0 + rows_per)
        rr = np.arange(r0, r1, dtype=np.float32)[:, None]
        src_r = rr - flow[0, r0:r1] - o_row
        src_c = cols - flow[1, r0:r1] - o_col
        moved[r0:r1] = ndimage.map_coordinates(ground, [src_r, src_c], order=3, mode="reflect")

    # Brightness and contrast change, haze, then clouds with saturated cores.
    image2 = 1.2 * (moved - 1500.0) + 1500.0 + 150.0
    del moved
    haze = 0.45 * _blobs(shape, rng, 3.5, 0.2)
    image2 = (1.0 - haze) * image2 + haze * 2900.0
    del haze
    alpha = _blobs(shape, rng, 3.0, 0.09)
    if not clouds:
        alpha[:] = 0.0
    cloud = 3700.0 + 700.0 * fractal(shape, 2.2, rng)
    image2 = (1.0 - alpha) * image2 + alpha * cloud
    del cloud
    image1 = ground + rng.normal(0.0, 6.0, shape).astype(np.float32)
    image2 += rng.normal(0.0, 6.0, shape).astype(np.float32)

    # Nodata: patches in image 1, a swath edge and a patch in image 2.
    nodata1 = np.zeros(shape, bool)
    for _ in range(3):
        h, w = (rng.uniform(0.03, 0.07, 2) * size).astype(int)
        r, c = (rng.uniform(0.05, 0.9, 2) * size).astype(int)
        nodata1[r:r + h, c:c + w] = True
    rr, cc = np.ogrid[:size, :size]
    nodata2 = (rr + cc) > int(1.85 * size)
    r, c = (rng.uniform(0.1, 0.8, 2) * size).astype(int)
    nodata2[r:r + size // 20, c:c + size // 16] = True

    def to_12bit(image: np.ndarray, nodata: np.ndarray) -> np.ndarray:
        out = np.clip(np.rint(image), 1, SATURATED).astype(np.uint16)
        out[nodata] = NODATA
        return out

    first, second = to_12bit(image1, nodata1), to_12bit(image2, nodata2)
    del image1, image2
    # Stable ground: rock at least 3 % of the scene from any ice.
    buffer = max(3, int(0.03 * size))
    near_ice = ndimage.binary_dilation(ice[::4, ::4], iterations=max(1, buffer // 4))
    near_ice = np.repeat(np.repeat(near_ice, 4, 0), 4, 1)[:size, :size]
    stable = ~near_ice & ~ice
    cloud_mask = ndimage.binary_dilation(alpha > 0.05, iterations=3)
    return GlacierScene(first, second, flow, ice, stable, alpha, cloud_mask, nodata1, nodata2,
                        iterations=iterations)


def write_scene(scene: GlacierScene, folder: str | Path) -> dict[str, Path]:
    """GeoTIFFs of the pair (nodata 0, acquisition dates as tags), the stable-ground mask on a
    20 m grid, and the cloud mask of image 2 and nodata mask of image 1 as validity masks."""
    import rasterio
    from rasterio.transform import Affine

    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    transform = Affine(*scene.transform)
    paths = {}

    def write(name: str, data: np.ndarray, affine: Affine, **extra: object) -> None:
        path = folder / f"{name}.tif"
        profile = dict(driver="GTiff", height=data.shape[0], width=data.shape[1], count=1,
                       dtype=data.dtype.name, crs=CRS, transform=affine, compress="deflate",
                       tiled=True, blockxsize=256, blockysize=256, **extra)
        with rasterio.open(path, "w", **profile) as ds:
            ds.write(data, 1)
            if name.startswith("image"):
                ds.update_tags(ACQUISITION_DATE=DATES[int(name[-1]) - 1].strftime("%Y-%m-%dT%H:%M:%SZ"))
        paths[name] = path

    write("image1", scene.image1, transform, nodata=NODATA)
    write("image2", scene.image2, transform, nodata=NODATA)
    coarse = scene.stable[::2, ::2].astype(np.uint8)
    coarse &= scene.stable[1::2, 1::2][:coarse.shape[0], :coarse.shape[1]]
    write("stable", coarse, transform @ Affine.scale(2.0))
    write("clouds2", scene.cloud_mask.astype(np.uint8), transform)
    return paths
