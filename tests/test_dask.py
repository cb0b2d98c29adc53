"""Matching on a real Dask cluster (LocalCluster started here): equal to the threads backend."""
import os
import signal
import sys
import time
from dataclasses import dataclass
from datetime import datetime, timedelta

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
rasterio = pytest.importorskip("rasterio")

import Talmek  # noqa: E402
import talmek_track  # noqa: E402
from talmek_track import dask_backend  # noqa: E402



def textured(rows, cols, seed=4):
    rng = np.random.default_rng(seed)
    noise = rng.random((rows + 4, cols + 4))
    smooth = sum(np.roll(np.roll(noise, i, 0), j, 1) for i in range(3) for j in range(3))[2:-2, 2:-2]
    return np.round(255 * (smooth - smooth.min()) / np.ptp(smooth)).astype(np.uint8)


def same_bits(a, b):
    return a.shape == b.shape and all(a[n].tobytes() == b[n].tobytes() for n in b.dtype.names)


# --- stand-in for blocks.match_block until it lands (test only) -------------------------------

@dataclass(frozen=True)
class Job:
    path1: str
    path2: str
    points1: np.ndarray
    points2: np.ndarray
    params: object
    delay: float = 0.0


def standin_block(job, threads=None):
    with rasterio.open(job.path1) as a, rasterio.open(job.path2) as b:
        i1, i2 = a.read(1), b.read(1)
    time.sleep(job.delay)
    return talmek_track.match_points(i1, i2, job.points1, job.points2, job.params, threads=threads)


import cloudpickle  # noqa: E402

cloudpickle.register_pickle_by_value(sys.modules[__name__])


def write_tif(path, array):
    with rasterio.open(path, "w", driver="GTiff", width=array.shape[1], height=array.shape[0],
                       count=1, dtype="uint8") as ds:
        ds.write(array, 1)


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as c:
        yield c


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pair")
    a = textured(160, 200)
    b = np.roll(a, (3, -2), (0, 1))
    write_tif(folder / "a.tif", a)
    write_tif(folder / "b.tif", b)
    return str(folder / "a.tif"), str(folder / "b.tif"), a, b


def params():
    p = Talmek.MatchingParams()
    p.chipwidth_ = p.chipheight_ = 16
    p.hoffset_ = p.voffset_ = 16
    p.row_interval_ = p.col_interval_ = 8
    p.start_row_ = p.start_col_ = 24
    return p


def jobs_of(pair, rows_per_block=2, delay=0.0):
    p1, p2, a, _ = pair
    points1, points2, shape = talmek_track.grid_points(a.shape, params())
    step = rows_per_block * shape[1]
    return [Job(p1, p2, points1[i:i + step], points2[i:i + step], params(), delay)
            for i in range(0, len(points1), step)], points1, points2


def test_blocks_equal_threads(cluster, pair):
    jobs, points1, points2 = jobs_of(pair)
    seen = []
    with dask_backend.dask_client(scheduler=cluster.scheduler_address) as client:
        parts = dask_backend._run_groups(client, [(jobs, "x", None)], standin_block, seen.append)[0]
    expected = talmek_track.match_points(pair[2], pair[3], points1, points2, params())
    assert same_bits(np.concatenate(parts), expected)
    assert seen[-1] == len(points1) and seen == sorted(seen)


def test_killed_worker(cluster, pair):
    jobs, points1, points2 = jobs_of(pair, rows_per_block=1, delay=0.2)
    with distributed.Client(cluster, set_as_default=False) as client:
        pids = client.run(os.getpid)
        killed = []

        def kill_once(done):
            if not killed:
                victim = next(iter(pids.values()))
                os.kill(victim, signal.SIGKILL)
                killed.append(done)

        parts = dask_backend._run_groups(client, [(jobs, "x", None)], standin_block, kill_once)[0]
        assert killed and killed[0] < len(points1)
        client.wait_for_workers(2, timeout=30)
    expected = talmek_track.match_points(pair[2], pair[3], points1, points2, params())
    assert same_bits(np.concatenate(parts), expected)


def test_select_pairs():
    from talmek_track.stack import select_pairs
    d = [datetime(2024, 7, 1) + timedelta(days=k) for k in (0, 24, 12, 36)]
    assert select_pairs(4, "consecutive", dates=d) == [(0, 2), (2, 1), (1, 3)]
    assert select_pairs(4, "all", dates=d, max_days=12) == [(0, 2), (2, 1), (1, 3)]
    assert select_pairs(4, "all", dates=d, min_days=20) == [(0, 1), (0, 3), (2, 3)]
    assert select_pairs(3, "consecutive") == [(0, 1), (1, 2)]
    assert select_pairs(3, [(2, 0)]) == [(2, 0)]
    for bad in ({"pairs": [(0, 3)]}, {"pairs": [(1, 1)]}, {"pairs": "all", "max_days": 5}):
        with pytest.raises(ValueError):
            select_pairs(3, **bad)
