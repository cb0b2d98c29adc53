"""Matching on a real Dask cluster, a LocalCluster with two worker processes started here: a scene
pair and a stack give the threads backend's records bit for bit, also when a worker is killed
mid-run; a failing block names its file and window; Ctrl-C cancels what is left."""
import csv
import os
import signal
import sys
import time
from datetime import datetime, timedelta

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
rasterio = pytest.importorskip("rasterio")

import cloudpickle  # noqa: E402
import tifffile  # noqa: E402
from affine import Affine  # noqa: E402

import talmek_track  # noqa: E402
from support import same_bits, textured  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.matching.backends import dask as dask_backend  # noqa: E402
from talmek_track.matching.backends import run_blocks  # noqa: E402
from talmek_track.run.pair import finish_plan, plan_pair, prepare_sources  # noqa: E402
from talmek_track.run.stack import select_pairs  # noqa: E402
from talmek_track.sources.readers import open_source  # noqa: E402

# Tasks of this module (slow_task) travel to the workers by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

# Small blocks, so that even these small scenes make several tasks.
OPTIONS = dict(chip=16, margin=16, step=8, block_pixels=30_000, formats=["csv"], prefilter="none",
               value_range=(1000, 11200))
SHIFTS = [(0, 0), (2, -1), (3, 1), (5, 2)]  # (rows, cols) of each scene against the first


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address="127.0.0.1:0") as c:
        yield c


@pytest.fixture(scope="module")
def client(cluster):
    with distributed.Client(cluster, set_as_default=False) as c:
        yield c


@pytest.fixture(scope="module")
def scenes(tmp_path_factory):
    """Four dated uint16 GeoTIFFs of one texture, moved by SHIFTS, six days apart."""
    folder = tmp_path_factory.mktemp("scenes")
    base = textured(200, 240, seed=9).astype(np.uint16) * 40 + 1000
    paths = []
    for k, (dr, dc) in enumerate(SHIFTS):
        image = np.roll(base, (dr, dc), (0, 1))[10:190, 10:230]
        path = folder / f"scene{k}.tif"
        with rasterio.open(path, "w", driver="GTiff", width=image.shape[1], height=image.shape[0],
                           count=1, dtype="uint16", crs="EPSG:32633",
                           transform=Affine(10.0, 0, 500000.0, 0, -10.0, 7000000.0)) as ds:
            ds.write(image, 1)
            ds.update_tags(ACQUISITION_DATE=f"2024-07-{1 + 6 * k:02d}")
        paths.append(str(path))
    return paths


def on_threads(a, b):
    return talmek_track.track_files(a, b, **OPTIONS).records


def test_pair_through_scheduler_address(cluster, scenes):
    """A cluster that already runs, reached by its address: many blocks, the same records."""
    seen = []
    got = talmek_track.track_files(scenes[0], scenes[1], backend="dask",
                                   scheduler=cluster.scheduler_address,
                                   progress=lambda done, total: seen.append((done, total)), **OPTIONS)
    assert same_bits(got.records, on_threads(scenes[0], scenes[1]))
    assert np.count_nonzero(got.records["active"] == 1) > 0.6 * len(got.records)
    assert len(seen) > 3 and seen[-1] == (len(got.records),) * 2


def test_stack_written_per_pair(client, scenes, tmp_path):
    result = talmek_track.match_stack(scenes, "consecutive", tmp_path / "out", backend="dask",
                                      client=client, progress=False, **OPTIONS)
    assert result.pairs == [(0, 1), (1, 2), (2, 3)]
    for (i, j), pair in zip(result.pairs, result, strict=True):
        assert same_bits(pair.records, on_threads(scenes[i], scenes[j]))
        assert pair.paths == [tmp_path / "out" / f"scene{i}__scene{j}" / "vectors.csv"]
    with open(result.index) as f:
        rows = [(r["folder"], r["dt_days"]) for r in csv.DictReader(f)]
    assert rows == [(f"scene{k}__scene{k + 1}", "6.0") for k in range(3)]
    ds = result.to_dataset()
    assert ds.sizes["pair"] == 3 and ds["date1"].dt.day.values.tolist() == [1, 7, 13]
    assert np.nanmedian(ds["dx"].values[2]) == pytest.approx(1.0, abs=0.1)  # scene 2 to 3


def slow_task(job, threads):
    time.sleep(0.3)
    return dask_backend.match_task(job, threads)


def jobs_of(a, b):
    """The block jobs of a pair as track_files plans them."""
    options = talmek_track.TrackOptions(chip=16, margin=16, step=8, prefilter="none", block_pixels=30_000)
    params = options.params()
    s1, s2 = (open_source(p).with_range((1000, 11200)) for p in (a, b))
    params = prepare_sources(s1, s2, params, start_given=False)
    return plan_pair(s1, s2, params, options).jobs


def test_default_blocks_cut_for_the_cluster(client, scenes):
    """With the block size left at its default, a pair is cut for the cluster's two threads: an
    even number of blocks, at least four per thread, their grid rows differing by one at most,
    so that both workers finish together; the records equal the threads backend's on those
    blocks, bit for bit."""
    small = {k: v for k, v in OPTIONS.items() if k != "block_pixels"}
    got = talmek_track.track_files(scenes[0], scenes[1], backend="dask", client=client, **small)
    options = talmek_track.TrackOptions(backend="dask", client=client,
                                        **{k: v for k, v in small.items() if k != "formats"})
    params = options.params()
    s1, s2 = (open_source(p).with_range(options.value_range) for p in scenes[:2])
    params = prepare_sources(s1, s2, params, start_given=False)
    plan = plan_pair(s1, s2, params, options)
    rows = {job.size // plan.grid_shape[1] for job in plan.jobs}
    assert len(plan.jobs) >= 8 and len(plan.jobs) % 2 == 0 and max(rows) - min(rows) <= 1
    assert len(plan_pair(s1, s2, params, options.replace(backend="threads", client=None)).jobs) == 1
    assert same_bits(got.records, finish_plan(plan, run_blocks(plan.jobs)).records)


@pytest.fixture(scope="module")
def shifted_scenes(tmp_path_factory):
    """A 600 x 600 pair whose texture moved by a fraction of a pixel: every match is refined."""
    import synthetic

    folder = tmp_path_factory.mktemp("shifted")
    paths = [folder / "a.tif", folder / "b.tif"]
    for path, image in zip(paths, synthetic.shifted_pair((600, 600), 2.3, -1.6, seed=5), strict=True):
        tifffile.imwrite(path, image)
    return paths


def test_refined_files_equal_whatever_the_blocks(client, shifted_scenes, tmp_path):
    """The default run, refinement on, writes the same file byte for byte on the threads backend
    with blocks of any size and on the Dask backend with the blocks cut for the cluster or of a
    given size: no refined match depends on the block it fell in."""
    runs = {"threads": {}, "threads-few-blocks": dict(block_pixels=250_000),
            "threads-many-blocks": dict(block_pixels=100_000), "dask": dict(backend="dask", client=client),
            "dask-many-blocks": dict(backend="dask", client=client, block_pixels=150_000)}
    files = {}
    for name, keywords in runs.items():
        result = talmek_track.track_files(*shifted_scenes, tmp_path / name, formats=["csv"], **keywords)
        files[name] = (tmp_path / name / "vectors.csv").read_bytes()
    assert np.isfinite(result.dx).sum() > 1000
    assert all(text == files["threads"] for text in files.values())


def test_killed_worker_costs_a_retry(client, scenes):
    """Blocks of 0.3 s; a worker is killed once the first block is back: its blocks run again
    on the other worker (or its restart) and the records are complete and the same."""
    jobs = jobs_of(scenes[0], scenes[2])
    pids = client.run(os.getpid)
    killed = []

    def kill_once(done):
        if not killed:
            os.kill(next(iter(pids.values())), signal.SIGKILL)
            killed.append(done)

    got = dask_backend._run_groups(client, [(jobs, "pair", None)], slow_task, kill_once)[0]
    client.wait_for_workers(2, timeout=30)
    assert len(jobs) > 4 and killed[0] < sum(job.size for job in jobs)
    expected = run_blocks(jobs)
    assert all(same_bits(a.records, b.records) for a, b in zip(got, expected, strict=True))


def test_failing_block_and_interrupt(client, scenes, tmp_path):
    """A stack whose third image lost its last tiles: the failing block names the file and its
    window, the damaged pair leaves nothing behind, and a pair's folder exists only whole.
    Ctrl-C (here from the progress report) cancels every block still pending."""
    with rasterio.open(scenes[2]) as src:
        image, profile = src.read(1), src.profile
    bad = tmp_path / "bad.tif"
    profile.update(compress="deflate", tiled=True, blockxsize=64, blockysize=64)
    with rasterio.open(bad, "w", **profile) as dst:
        dst.write(image, 1)
    data = bad.read_bytes()
    bad.write_bytes(data[:len(data) * 2 // 3])  # the header and the first tiles stay readable
    out = tmp_path / "out"
    with pytest.raises(dask_backend.BlockFailed, match=r"bad\.tif rows \d+\.\.\d+ columns \d+\.\.\d+"):
        talmek_track.match_stack([scenes[0], scenes[1], str(bad)], "consecutive", out,
                                 backend="dask", client=client, progress=False, **OPTIONS)
    left = sorted(p.name for p in out.iterdir())
    assert left in ([], ["scene0__scene1"])
    assert all((out / name / "vectors.csv").is_file() for name in left)

    def interrupt(done):
        raise KeyboardInterrupt

    jobs = jobs_of(scenes[0], scenes[1])
    with pytest.raises(KeyboardInterrupt):
        dask_backend._run_groups(client, [(jobs, "pair", None)], slow_task, interrupt)
    deadline = time.monotonic() + 10
    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)) and \
            time.monotonic() < deadline:
        time.sleep(0.1)
    assert client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)) == 0


def test_commands_embedded_cluster_and_stack(cluster, scenes, tmp_path):
    """--dask starts (and stops) its own LocalCluster; the stack command reaches the running one."""
    small = ["--chip", "16", "--margin", "16", "--step", "8", "--prefilter", "none", "--range",
             "1000,11200", "--format", "csv", "--quiet"]
    assert cli.main([scenes[0], scenes[1], "-o", str(tmp_path / "one"), "--workers", "2", *small]) == 0
    assert cli.main([scenes[0], scenes[1], "-o", str(tmp_path / "ref"), *small]) == 0
    one, ref = ((tmp_path / d / "vectors.csv").read_text() for d in ("one", "ref"))
    assert one == ref
    assert cli.main(["stack", *scenes, "-o", str(tmp_path / "many"), "--pairs", "all",
                     "--max-days", "12", "--scheduler", cluster.scheduler_address, *small]) == 0
    made = sorted(p.name for p in (tmp_path / "many").iterdir())
    assert made == ["pairs.csv", "scene0__scene1", "scene0__scene2", "scene1__scene2",
                    "scene1__scene3", "scene2__scene3"]


def faults_of_temporaries():
    """Minor page faults of 200 arrays of 1 MB made, filled and freed on this process."""
    import resource

    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(200):
        np.ones(1 << 17).sum()
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="glibc's allocator")
def test_block_task_stops_worker_page_faulting(scenes):
    """Dask starts its workers with MALLOC_TRIM_THRESHOLD_ set, so glibc maps every temporary
    array above 128 KB afresh and faults its pages in (a block's refinement makes millions): the
    first block task on a worker gives the allocator its usual thresholds back."""
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address="127.0.0.1:0") as cluster, \
            distributed.Client(cluster, set_as_default=False) as client:
        before = client.submit(faults_of_temporaries, pure=False).result()
        if before < 200 * 100:
            pytest.skip("this Dask release leaves the worker's allocator as glibc sets it")
        job = jobs_of(scenes[0], scenes[1])[0]
        part = client.submit(dask_backend.match_task, job, 1, pure=False).result()
        after = client.submit(faults_of_temporaries, pure=False).result()
    assert same_bits(part.records, run_blocks([job])[0].records)
    assert after < before / 20


def test_select_pairs():
    d = [datetime(2024, 7, 1) + timedelta(days=k) for k in (0, 24, 12, 36)]
    assert select_pairs(4, "consecutive", dates=d) == [(0, 2), (2, 1), (1, 3)]
    assert select_pairs(4, "all", dates=d, max_days=12) == [(0, 2), (2, 1), (1, 3)]
    assert select_pairs(4, "all", dates=d, min_days=20) == [(0, 1), (0, 3), (2, 3)]
    assert select_pairs(3, "consecutive") == [(0, 1), (1, 2)]
    assert select_pairs(3, [(2, 0)]) == [(2, 0)]
    for bad in ({"pairs": [(0, 3)]}, {"pairs": [(1, 1)]}, {"pairs": "all", "max_days": 5}):
        with pytest.raises(talmek_track.OptionError):
            select_pairs(3, **bad)


@pytest.mark.parametrize("workers, threads, cores, shape", [
    (None, None, 4, (4, 1)), (2, None, 8, (2, 4)), (None, 2, 8, (4, 2)), (3, 3, 8, (3, 3)),
    (5, None, 2, (5, 1)), (None, None, 1, (1, 1)),
])
def test_cluster_shape(workers, threads, cores, shape):
    assert dask_backend.cluster_shape(workers, threads, cores) == shape


@pytest.mark.parametrize("argv, message", [
    (["a.tif", "b.tif", "--scheduler", "tcp://127.0.0.1:1", "--workers", "2"], "keeps its own"),
    (["a.tif", "b.tif", "--scheduler", "tcp://127.0.0.1:1", "--threads", "2"], "keeps its own"),
    (["stack", "a.tif"], "at least two images"),
    (["stack", "a.tif", "b.tif", "--max-days", "5"], "needs every image's date"),
    (["stack", "a.tif", "b.tif", "--pairs", "0:5"], "outside 0..1"),
    (["stack", "a.tif", "b.tif", "--pairs", "0-1"], "expected consecutive, all or I:J"),
    (["stack", "a.tif", "b.tif", "--dates", "2024-07-01"], "1 dates for 2 images"),
])
def test_command_usage_errors(tmp_path, monkeypatch, capsys, argv, message):
    """Wrong cluster and stack options: exit status 2, one line, nothing written or started."""
    monkeypatch.chdir(tmp_path)
    for name in ("a.tif", "b.tif"):  # readable images without dates
        tifffile.imwrite(tmp_path / name, np.zeros((8, 8), np.uint8))
    try:
        status = cli.main([*argv, "-o", "out"])
    except SystemExit as e:  # argparse's own errors
        status = e.code
    assert status == 2
    err = capsys.readouterr().err
    assert message in err and len(err.strip().splitlines()) == 1
    assert not (tmp_path / "out").exists()
