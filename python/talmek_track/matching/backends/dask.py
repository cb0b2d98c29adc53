"""Matching on a Dask cluster: one scene pair as blocks of grid rows, or a whole stack of pairs.

A task is one ``BlockJob``: the worker opens both images itself (a local path, a shared file
system or a GDAL URL such as ``/vsis3/...``), reads only the windows that the block's chips cover,
converts them to 8 bits and matches them on one of its threads. Only the job (the two sources,
their conversions, the parameters and the block's points) travels to the worker and only the
block's records come back; no image array passes through the scheduler.

With neither a client nor a scheduler address, a ``distributed.LocalCluster`` starts inside this
process (worker processes, threads per worker so that all threads together equal the cores) and
is closed when the run ends. A worker that dies costs a rerun of the blocks it held (the
scheduler hands them to another worker); a block that fails names its file and window, and a
pair's results are assembled, and written, only once all its blocks are in. Ctrl-C cancels every
block still queued or running.
"""

from __future__ import annotations

import contextlib
import dataclasses
import logging
import os
import uuid
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

try:
    import distributed
except ImportError as e:  # the backend's choice reports it before any work starts
    raise ImportError("dask.distributed is not installed (pip install 'talmek[dask]')") from e

from talmek_track import interrupts
from talmek_track.errors import BlockFailed, ClusterError, OptionError, describe_error
from talmek_track.matching.blocks import BlockJob, BlockRecords, Group, match_block
from talmek_track.sources.readers import ImageSource, LocalCopy, SamplePart, Window, tile_rows

__all__ = ["BlockFailed", "ClusterError", "cluster_shape", "cluster_slots", "dask_client", "run_blocks",
           "run_groups", "run_sampled", "workers_see_here"]

#: Threads per worker process of the embedded cluster when neither is given: one process per core,
#: as Dask's LocalCluster does on small machines. bench/bench_dask.py measures 2 x 1 against 1 x 2;
#: on a shared 2-core machine neither was faster in every run, and processes keep one block's
#: Python-side reading and pre-filtering from holding up another's.
DEFAULT_THREADS_PER_WORKER = 1

#: Native threads that one block matches on: the worker's threads run blocks side by side.
THREADS_PER_BLOCK = 1

#: The allocator's thresholds on a worker (bytes): those glibc settles on by itself in a process
#: that frees large arrays (its dynamic maximum on 64-bit systems). Dask starts its worker
#: processes with MALLOC_TRIM_THRESHOLD_ set, which also fixes glibc's mmap threshold at 128 KB:
#: every larger temporary array of a block (the refinement makes millions) is then mapped afresh
#: and page-faulted in, which more than doubled a block's time and kept two workers from running
#: side by side (bench/bench_dask.py --parts profile shows it).
MMAP_THRESHOLD = 32 << 20
TRIM_THRESHOLD = 64 << 20

Progress = Callable[[int], object]

#: Seconds to wait for a running scheduler: for its address to accept a connection, and then for
#: its answer to the opening handshake (a socket that accepts and never answers would otherwise
#: hold the run for ever).
DEFAULT_CONNECT_TIMEOUT = 10.0
DEFAULT_HANDSHAKE_TIMEOUT = 10.0

#: Where the embedded cluster's scheduler serves HTTP: any free port, on this machine only.
LOCAL_HTTP = "127.0.0.1:0"


def _cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def cluster_shape(workers: int | None = None, threads: int | None = None,
                  cores: int | None = None) -> tuple[int, int]:
    """Worker processes and threads per worker of the embedded cluster.

    Parameters
    ----------
    workers : int, optional
        Worker processes (default: the cores divided by ``threads``).
    threads : int, optional
        Threads per worker (default: the cores divided by ``workers``, else
        ``DEFAULT_THREADS_PER_WORKER``).
    cores : int, optional
        Cores to fill (default: those this process may run on).

    Returns
    -------
    (int, int)
        (workers, threads per worker), together at least one thread per core when only one of
        them is given.
    """
    for name, value in (("workers", workers), ("threads", threads), ("cores", cores)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
            raise OptionError(f"{name} must be a whole number of at least 1, got {value!r}")
    cores = cores or _cores()
    if workers is None and threads is None:
        threads = min(DEFAULT_THREADS_PER_WORKER, cores)
    if workers is None:
        assert threads is not None
        workers = max(1, cores // threads)
    if threads is None:
        threads = max(1, cores // workers)
    return workers, threads


def _timeouts(connect_timeout: float | None, handshake_timeout: float | None) -> dict[str, float]:
    """The connection timeouts ``dask_client`` takes, the defaults where none is given."""
    return {"connect_timeout": DEFAULT_CONNECT_TIMEOUT if connect_timeout is None else connect_timeout,
            "handshake_timeout": DEFAULT_HANDSHAKE_TIMEOUT if handshake_timeout is None else handshake_timeout}


def cluster_slots(client: Any = None, scheduler: str | None = None, workers: int | None = None,
                  threads: int | None = None) -> int | None:
    """The threads that will run a pair's blocks side by side: those of the embedded cluster
    (``cluster_shape``) or of ``client``'s workers now; None for a cluster known by its address
    alone (it is not asked before the run) or a client without workers yet."""
    if scheduler is not None:
        return None
    if client is not None:
        try:
            found = sum(int(n) for n in client.nthreads().values())
        except (OSError, TimeoutError, AttributeError, TypeError, ValueError):
            return None
        return found or None
    n_workers, per_worker = cluster_shape(workers, threads)
    return n_workers * per_worker


def check_timeout(name: str, value: object) -> float:
    """A timeout in seconds: a finite number above 0; OptionError names ``name`` otherwise."""
    if isinstance(value, (bool, str, bytes)) or not hasattr(value, "__float__"):
        raise OptionError(f"{name} must be a number of seconds, got {value!r}")
    seconds = float(value)
    if not (0 < seconds < 1e6):
        raise OptionError(f"{name} must be above 0 and below 1e6 seconds, got {value!r}")
    return seconds


def scheduler_address(text: object) -> str:
    """The address of a scheduler, checked for its form (``tcp://host:port``, ``host:port``,
    ``tls://...``); OptionError for anything else."""
    from distributed.comm.addressing import get_address_host_port

    if not isinstance(text, str) or not text.strip():
        raise OptionError(f"the scheduler address must be text such as tcp://host:8786, got {text!r}")
    try:
        get_address_host_port(text)
    except (ValueError, TypeError) as e:
        raise OptionError(f"the scheduler address {text!r} is not of the form tcp://host:port "
                          f"({' '.join(str(e).split())})") from None
    return text


def probe_scheduler(address: str, connect_timeout: float = DEFAULT_CONNECT_TIMEOUT,
                    handshake_timeout: float = DEFAULT_HANDSHAKE_TIMEOUT) -> None:
    """Connects to the scheduler at ``address`` and waits for its handshake, each within its
    timeout; ClusterError when either fails. Runs on a helper thread with its own event loop,
    so that it works beside a running one (a notebook) and a signal still reaches this thread."""
    import asyncio
    import threading

    from distributed.comm.core import connect

    outcome: list[BaseException | None] = []

    async def probe() -> None:
        comm = await asyncio.wait_for(connect(address, timeout=connect_timeout),
                                      connect_timeout + handshake_timeout)
        await comm.close()

    def run() -> None:
        try:
            asyncio.run(probe())
            outcome.append(None)
        except BaseException as e:  # noqa: BLE001 - handed to the caller's thread
            outcome.append(e)

    helper = threading.Thread(target=run, name="talmek-dask-probe", daemon=True)
    helper.start()
    helper.join(connect_timeout + handshake_timeout + 5)
    if not outcome:
        raise ClusterError(f"the Dask scheduler at {address} did not answer within "
                           f"{connect_timeout + handshake_timeout:g} s")
    error = outcome[0]
    if error is None:
        return
    if isinstance(error, (TimeoutError, asyncio.TimeoutError)):
        text = (f"no answer to the handshake within {handshake_timeout:g} s (connect_timeout "
                f"{connect_timeout:g} s, handshake_timeout {handshake_timeout:g} s)")
    else:
        text = " ".join(str(error).split()) or type(error).__name__
    raise ClusterError(f"cannot reach the Dask scheduler at {address}: {text}")


@contextlib.contextmanager
def dask_client(client: Any = None, scheduler: str | None = None, workers: int | None = None,
                threads: int | None = None, connect_timeout: float = DEFAULT_CONNECT_TIMEOUT,
                handshake_timeout: float = DEFAULT_HANDSHAKE_TIMEOUT) -> Iterator[Any]:
    """A ``distributed.Client`` for the length of a run.

    Parameters
    ----------
    client : distributed.Client, optional
        A client the caller made; used as is and left open.
    scheduler : str, optional
        Address of a running scheduler (``tcp://host:8786``); the client made for it is closed at
        the end, the cluster is left running.
    workers, threads : int, optional
        Worker processes and threads per worker of the embedded ``LocalCluster`` that starts when
        neither ``client`` nor ``scheduler`` is given (see ``cluster_shape``); it is closed at the
        end. They cannot shape a cluster that already runs: ``TrackOptions`` refuses them beside
        a client or a scheduler, as it refuses both of those at once.
    connect_timeout, handshake_timeout : float
        Seconds to wait for a running scheduler to accept the connection, and then to answer the
        handshake (``DEFAULT_CONNECT_TIMEOUT``, ``DEFAULT_HANDSHAKE_TIMEOUT``); ClusterError
        when either passes.

    Yields
    ------
    distributed.Client
    """
    if client is not None:
        yield client
        return
    connect_timeout = check_timeout("connect_timeout", connect_timeout)
    handshake_timeout = check_timeout("handshake_timeout", handshake_timeout)
    if scheduler is not None:
        # The address's form and the scheduler's answer are checked before a Client exists: a
        # Client that fails half-made would close itself again, noisily, when collected.
        scheduler_address(scheduler)
        probe_scheduler(scheduler, connect_timeout, handshake_timeout)
        try:
            own = distributed.Client(scheduler, timeout=connect_timeout + handshake_timeout,
                                     set_as_default=False)
        except (OSError, TimeoutError, ValueError) as e:
            raise ClusterError(f"cannot reach the Dask scheduler at {scheduler}: "
                               f"{' '.join(str(e).split()) or type(e).__name__}") from None
        try:
            yield own
        finally:
            own.close()
        return
    n_workers, per_worker = cluster_shape(workers, threads)
    # No dashboard (nobody looks at it during a command run), and no worker logs over the progress
    # bar: a failing block is reported once, by the client. The scheduler's own HTTP server (its
    # health and metrics) takes a free port on this machine alone: without an address it would
    # claim the dashboard's 8787 and warn whenever another cluster holds that.
    try:
        cluster = distributed.LocalCluster(n_workers=n_workers, threads_per_worker=per_worker,
                                           processes=True, dashboard_address=None,
                                           scheduler_kwargs={"dashboard_address": LOCAL_HTTP},
                                           silence_logs=logging.CRITICAL)
    except (RuntimeError, OSError, TimeoutError, ValueError) as e:  # a worker that died starting
        raise ClusterError(f"the local Dask cluster did not start: {describe_error(e)}") from None
    try:
        with distributed.Client(cluster, set_as_default=False) as own:
            yield own
    finally:
        cluster.close()


# --- running blocks ---------------------------------------------------------------------------


@dataclass
class _Group:
    """The blocks of one pair: its futures in job order, and what to do once all are in."""

    futures: list[Any]
    weights: list[int]
    parts: list[BlockRecords | None]
    label: str
    on_done: Callable[[list[BlockRecords]], object] | None = None
    left: int = 0
    failed: bool = False


def _where(job: Any) -> str:
    """The block's place for messages: its grid points and the two windows it reads."""
    try:
        (a0, a1, b0, b1), (c0, c1, d0, d1) = job.window1, job.window2
        return (f"grid points {job.first}..{job.first + len(job.points1) - 1}, reading "
                f"{job.source1.path} rows {a0}..{a1 - 1} columns {b0}..{b1 - 1} and "
                f"{job.source2.path} rows {c0}..{c1 - 1} columns {d0}..{d1 - 1}")
    except (AttributeError, TypeError, ValueError):
        return "a block"


_allocator_settled = False


def settle_allocator() -> bool:
    """Gives this process glibc's own thresholds for large arrays back when its environment fixed
    them (``MALLOC_TRIM_THRESHOLD_`` or ``MALLOC_MMAP_THRESHOLD_``, as Dask's nannies do); once per
    process, True when it did. Other C libraries and systems are left as they are."""
    global _allocator_settled
    if _allocator_settled:
        return False
    _allocator_settled = True
    if not any(name in os.environ for name in ("MALLOC_TRIM_THRESHOLD_", "MALLOC_MMAP_THRESHOLD_")):
        return False  # glibc adapts its thresholds by itself
    try:
        import ctypes

        libc = ctypes.CDLL(None)
        if not hasattr(libc, "gnu_get_libc_version"):
            return False
        m_trim_threshold, m_mmap_threshold = -1, -3  # glibc's malloc.h
        return bool(libc.mallopt(m_mmap_threshold, MMAP_THRESHOLD)) and \
            bool(libc.mallopt(m_trim_threshold, TRIM_THRESHOLD))
    except (OSError, AttributeError, TypeError):
        return False


def match_task(job: BlockJob, threads: int | None = None) -> BlockRecords:
    """One task: ``match_block`` on a worker (its allocator settled, ``settle_allocator``), its
    failure named by file and window."""
    settle_allocator()
    try:
        return match_block(job, threads)
    except Exception as e:  # noqa: BLE001 - reported to the client with the block's place
        message = f"{_where(job)}: {describe_error(e)}"
    # Raised outside the handler: the original errors stay behind (they need not pickle).
    raise BlockFailed(message)


def _block_weight(job: Any) -> int:
    return len(job.points1)


#: Told of a group given up: its index and the error of its failed block.
GroupFailed = Callable[[int, BaseException], object]


def _run_groups(client: Any, groups: Sequence[Group], fn: Callable[..., BlockRecords],
                progress: Progress | None,
                inputs: Callable[[int, int], tuple[Any, ...]] | None = None,
                failed: GroupFailed | None = None) -> list[list[BlockRecords]]:
    """Runs every group's jobs as tasks, earlier groups first; calls each group's ``on_done``
    with its matched blocks (job order) once all its blocks are in and returns them per group.
    ``inputs(g, j)`` gives what the task of group g's job j takes beside the job (none without).

    Results come back as the tasks complete and are released on the cluster at once. Any error
    (a failed block, Ctrl-C, a failing ``on_done``) cancels every task still pending; with
    ``failed``, a failed block cancels only its own group's tasks and ``failed(g, error)`` is told,
    the other groups going on."""
    run = uuid.uuid4().hex[:12]
    state: list[_Group] = []
    where: dict[str, tuple[int, int]] = {}
    try:
        for g, (jobs, label, on_done) in enumerate(groups):
            futures: list[Any] = [None] * len(jobs)
            weights = [_block_weight(job) for job in jobs]
            # Larger blocks first (the scheduler starts tasks of one priority in the order they
            # came), so that a small one, not a large one, is the last to run; higher priority
            # for earlier pairs, so that pairs finish (and are written) in turn.
            for j in sorted(range(len(jobs)), key=lambda k: -weights[k]):
                more = () if inputs is None else inputs(g, j)
                future = client.submit(fn, jobs[j], *more, THREADS_PER_BLOCK, key=f"talmek-block-{run}-{g}-{j}",
                                       priority=-g, pure=False)
                futures[j] = future
                where[future.key] = (g, j)
            state.append(_Group(futures, weights, [None] * len(jobs), label, on_done, len(jobs)))
        for group in state:
            if group.left == 0:
                _finish(group)
        done = 0
        pending = [f for group in state for f in group.futures]
        for future in distributed.as_completed(pending, loop=client.loop):
            interrupts.check()
            g, j = where.pop(future.key)
            group = state[g]
            if group.failed:  # a block of a pair given up (done or cancelled before it knew)
                group.futures[j] = None
                future.release()
                continue
            try:
                part = future.result()
            except Exception as e:  # noqa: BLE001 - any block error stops the run, named
                text = describe_error(e)
                if failed is None:
                    raise BlockFailed(f"{group.label}: {text}" if len(state) > 1 else text) from e
                group.failed = True
                group.futures[j] = None
                future.release()
                client.cancel([f for f in group.futures if f is not None], force=True)
                group.parts = []
                done += sum(w for w, f in zip(group.weights, group.futures, strict=True) if f is not None)
                done += group.weights[j]
                if progress is not None:
                    progress(done)
                failed(g, BlockFailed(text))
                continue
            group.parts[j] = part
            group.futures[j] = None  # drop the last reference: the worker frees the result
            future.release()
            done += group.weights[j]
            if progress is not None:
                progress(done)
            group.left -= 1
            if group.left == 0:
                _finish(group)
    except BaseException:
        client.cancel([f for group in state for f in group.futures if f is not None], force=True)
        raise
    return [[p for p in group.parts if p is not None] for group in state]


def _finish(group: _Group) -> None:
    if group.on_done is not None:
        parts = [p for p in group.parts if p is not None]
        group.parts = []  # the records are on_done's now; a long stack holds none of them
        group.on_done(parts)


def _label(jobs: Sequence[BlockJob]) -> str:
    return f"{jobs[0].source1.path} and {jobs[0].source2.path}" if jobs else "matching"


def run_groups(groups: Sequence[Group], *, threads: int | None = None,
               progress: Progress | None = None, client: Any = None, scheduler: str | None = None,
               workers: int | None = None, connect_timeout: float | None = None,
               handshake_timeout: float | None = None,
               failed: GroupFailed | None = None) -> list[list[BlockRecords]]:
    """Matches the blocks of several pairs on a Dask cluster, all submitted at once.

    Parameters
    ----------
    groups : sequence of (jobs, label, on_done)
        Each pair's ``BlockJob`` list, a label that error messages name it by, and an optional
        ``on_done(blocks)`` called with the pair's matched blocks (job order) as soon as all of
        them are in; it takes them over (they are not returned then).
    threads : int, optional
        Threads per worker of the embedded cluster (see ``dask_client``).
    progress : callable, optional
        Called with the number of points done over all groups each time a block comes back.
    client, scheduler, workers, connect_timeout, handshake_timeout :
        The cluster; see ``dask_client`` (None: the default timeouts).
    failed : callable, optional
        ``failed(g, error)`` for a group one of whose blocks failed: its other tasks are
        cancelled and the other groups go on. Without it the first failed block ends the run
        (BlockFailed).

    Returns
    -------
    list of list of BlockRecords
        Per group without ``on_done``, each job's matched block in job order (empty for the
        others).
    """
    timeouts = _timeouts(connect_timeout, handshake_timeout)
    with dask_client(client, scheduler, workers, threads, **timeouts) as c:
        return _run_groups(c, groups, match_task, progress, failed=failed)


def run_blocks(jobs: Sequence[BlockJob], *, threads: int | None = None, progress: Progress | None = None,
               client: Any = None, scheduler: str | None = None, workers: int | None = None,
               connect_timeout: float | None = None,
               handshake_timeout: float | None = None) -> list[BlockRecords]:
    """Matches the blocks of one pair on a Dask cluster (the "dask" backend's runner).

    Parameters
    ----------
    jobs : sequence of BlockJob
        The blocks of one image pair, from ``plan_blocks``.
    threads, progress, client, scheduler, workers, connect_timeout, handshake_timeout :
        See ``run_groups``.

    Returns
    -------
    list of BlockRecords
        One per job, in job order.
    """
    return run_groups([(jobs, _label(jobs), None)], threads=threads, progress=progress,
                      client=client, scheduler=scheduler, workers=workers,
                      connect_timeout=connect_timeout, handshake_timeout=handshake_timeout)[0]


# --- remote sources read once: the value-range sample from the reads the matching needs -------
#
# A source read in place (S3, or HTTP(S) on workers that cannot see this machine's copy) would
# otherwise be read more than once: by the client for its value-range sample, which touches every
# tile, and by the workers for the blocks, where neighbouring blocks on different workers share
# rows of tiles. Here the first pass reads each such image once, in strips of whole rows of its
# tiles, one task per strip, and keeps the strips on the workers; only their sample pixels travel
# to the client, which settles the ranges. The second pass matches each block from the strips its
# windows lie in, on a worker that holds them where it can (Dask moves the others between
# workers, never again from storage).


@dataclass
class HeldStrip:
    """Whole rows of an image as stored, read once and held between the two passes, and the
    value-range sample pixels among them."""

    region: Window
    raw: Any
    sample: SamplePart


def held_regions(job: BlockJob) -> tuple[Window, Window]:
    """The parts of both images that matching the job reads as stored: its windows, widened by
    the pre-filter's halo."""
    h = job.prefilter.halo if job.prefilter is not None else 0
    return (Window(*job.window1).widened(h, job.source1.shape),
            Window(*job.window2).widened(h, job.source2.shape))


def strips_of(source: ImageSource) -> list[Window]:
    """The strips one image is read in: whole rows of its tiles (``readers.tile_rows``), at least
    ``STRIP_ROWS`` rows, the whole width."""
    rows, cols = source.shape
    tile = max(1, tile_rows(source))
    height = tile * max(1, -(-STRIP_ROWS // tile))
    return [Window(r, min(rows, r + height), 0, cols) for r in range(0, rows, height)]


#: The fewest rows of a strip (rounded up to whole rows of tiles).
STRIP_ROWS = 256


def hold_strip(source: ImageSource, region: Window) -> HeldStrip:
    """First pass: one strip of ``source`` read as stored, and its sample pixels."""
    settle_allocator()
    try:
        raw = source.read_raw(region)
        return HeldStrip(region, raw, SamplePart.of(source, raw, region))
    except Exception as e:  # noqa: BLE001 - reported to the client with the strip's place
        message = f"cannot read {source.path} {region.describe()}: {describe_error(e)}"
    raise BlockFailed(message)


def strip_sample(strip: HeldStrip) -> SamplePart:
    """The sample pixels of a held strip: all of it that travels to the client."""
    return strip.sample


def _from_strips(source: ImageSource, region: Window, strips: Sequence[HeldStrip]) -> ImageSource:
    parts = [s.raw[max(region.row0, s.region.row0) - s.region.row0:min(region.row1, s.region.row1) - s.region.row0,
                   region.col0:region.col1]
             for s in sorted(strips, key=lambda s: s.region.row0)
             if s.region.row0 < region.row1 and s.region.row1 > region.row0]
    raw = parts[0] if len(parts) == 1 else np.concatenate(parts, axis=0)
    return source.holding(np.ascontiguousarray(raw), region)


def match_held_task(job: BlockJob, strips1: Sequence[HeldStrip] | None, strips2: Sequence[HeldStrip] | None,
                    threads: int | None = None) -> BlockRecords:
    """Second pass of one block: ``match_task`` with each image that was read in strips read
    from them (``strips1``, ``strips2``; None: from its file as usual), converted with the ranges
    ``job``'s sources now carry."""
    regions = held_regions(job)
    source1, source2 = job.source1, job.source2
    if strips1 is not None:
        source1 = _from_strips(source1, regions[0], strips1)
    if strips2 is not None:
        source2 = _from_strips(source2, regions[1], strips2)
    return match_task(dataclasses.replace(job, source1=source1, source2=source2), threads)


#: Settles the images' ranges from the sample pixels of each one's strips, on the client; returns
#: each group's jobs with the settled sources.
Settle = Callable[[list[list[SamplePart]]], Sequence[Sequence[BlockJob]]]


def run_sampled(groups: Sequence[Group], held: Sequence[tuple[int | None, int | None]],
                images: Sequence[ImageSource], settle: Settle, *, threads: int | None = None,
                progress: Progress | None = None, client: Any = None, scheduler: str | None = None,
                workers: int | None = None, connect_timeout: float | None = None,
                handshake_timeout: float | None = None,
                failed: GroupFailed | None = None) -> list[list[BlockRecords]]:
    """Matches the blocks of one or more pairs in two passes, reading each image of ``images``
    once for all its pairs, in strips (see the section).

    Parameters
    ----------
    groups : sequence of (jobs, label, on_done)
        As for ``run_groups``; the jobs' sources need not carry ranges yet.
    held : sequence of (int or None, int or None)
        Per group, the index into ``images`` of its image 1 and its image 2, None for an image
        read from its file as usual.
    images : sequence of ImageSource
        The images read in strips, their value-range samples gathered from the strips.
    settle : callable
        Given each image's sample pixels, settles the ranges on the client and returns each
        group's jobs with them (see ``Settle``).
    threads, progress, client, scheduler, workers, connect_timeout, handshake_timeout, failed :
        See ``run_groups``; ``failed`` covers the blocks, an image's strip that cannot be read
        still ends the run.

    Returns
    -------
    list of list of BlockRecords
        As ``run_groups`` gives them for the settled jobs.
    """
    timeouts = _timeouts(connect_timeout, handshake_timeout)
    run = uuid.uuid4().hex[:12]
    with dask_client(client, scheduler, workers, threads, **timeouts) as c:
        strips: list[list[Any]] = [[] for _ in images]
        try:
            samples: list[list[SamplePart]] = [[] for _ in images]
            windows = [strips_of(source) for source in images]
            for image, source in enumerate(images):
                for n, region in enumerate(windows[image]):
                    strips[image].append(c.submit(hold_strip, source, region, key=f"talmek-strip-{run}-{image}-{n}",
                                                  pure=False))
                parts = [c.submit(strip_sample, f, key=f"talmek-sample-{run}-{image}-{n}", pure=False)
                         for n, f in enumerate(strips[image])]
                for future in distributed.as_completed(parts, loop=c.loop):
                    interrupts.check()
                    try:
                        samples[image].append(future.result())
                    except Exception as e:  # noqa: BLE001 - any read error stops the run, named
                        raise BlockFailed(describe_error(e)) from e
                    future.release()
            settled = settle(samples)

            def needed(image: int | None, region: Window) -> list[Any] | None:
                if image is None:
                    return None
                return [f for f, w in zip(strips[image], windows[image], strict=True)
                        if w.row0 < region.row1 and w.row1 > region.row0]

            # Each block's strips, taken at its submission: the strips stay on the cluster while
            # blocks that read them wait, and no longer.
            needs = {(g, j): (needed(held[g][0], regions[0]), needed(held[g][1], regions[1]))
                     for g, jobs in enumerate(settled) for j, regions in enumerate(map(held_regions, jobs))}
            strips = [[] for _ in images]
            return _run_groups(c, [(jobs, label, on_done)
                                   for jobs, (_, label, on_done) in zip(settled, groups, strict=True)],
                               match_held_task, progress, lambda g, j: needs.pop((g, j)), failed)
        except BaseException:
            c.cancel([f for image in strips for f in image], force=True)
            raise


def workers_see_here(client: Any = None, scheduler: str | None = None, workers: int | None = None,
                     connect_timeout: float | None = None, handshake_timeout: float | None = None) -> bool:
    """Whether every worker of the cluster sees this machine's temporary files (so that they can
    read a copy this process fetched): always for the embedded cluster, else asked of each worker
    with a file made for the question (``readers.LocalCopy``). A cluster without workers yet
    counts as seeing them."""
    if client is None and scheduler is None:
        return True
    import tempfile

    fd, path = tempfile.mkstemp(prefix="talmek-probe-")
    os.close(fd)
    try:
        probe = LocalCopy.of(path)
        timeouts = _timeouts(connect_timeout, handshake_timeout)
        with dask_client(client, scheduler, workers, None, **timeouts) as c:
            answers = c.run(probe.usable)
        return all(answer is not None for answer in answers.values())
    finally:
        os.unlink(path)
