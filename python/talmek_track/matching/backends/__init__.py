"""Where the matching of a run happens: ``run_blocks`` is the one place a backend is chosen.

A run plans its grid as blocks (``talmek_track.matching.blocks.plan_blocks``) and hands them to
``run_blocks``, which gives each job's ``BlockRecords`` in job order, as ``match_block(job)``
computes them. ``threads`` runs them in this process on native threads; ``dask`` on a Dask cluster, one
task per block (``talmek_track.matching.backends.dask``). A new backend is a function ``runner(jobs, *,
threads, progress, **options) -> iterable of BlockRecords`` in ``BACKENDS``, or the text
"module:function" naming one, imported only when chosen (so that its dependencies stay
optional). ``run_block_groups`` runs the blocks of many pairs (a stack): a backend in
``GROUP_RUNNERS`` takes all of them at once, the others one pair after another.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

from talmek_track import interrupts
from talmek_track.matching.blocks import BlockJob, BlockRecords, Group, LoadedBlock, load_block, match_loaded

#: A progress report over a whole run: the number of points done so far.
RunProgress = Callable[[int], object]
#: A backend: matches jobs and yields their records in job order.
Runner = Callable[..., Iterable[BlockRecords]]


def run_threads(jobs: Sequence[BlockJob], *, threads: int | None = None,
                progress: RunProgress | None = None, **options: Any) -> Iterator[BlockRecords]:
    """This process: each block matched on native threads (``threads``, None: every core) while
    the next block is read and converted on a helper thread, so reading overlaps matching and at
    most two blocks are held at once."""
    unknown = {k: v for k, v in options.items() if v is not None}
    if unknown:
        raise ValueError(f"the threads backend takes no {', '.join(sorted(unknown))}")
    done = 0
    reader = ThreadPoolExecutor(max_workers=1, thread_name_prefix="talmek-read")
    finished = False
    try:
        ahead: Future[LoadedBlock] | None = reader.submit(load_block, jobs[0]) if jobs else None
        for k in range(len(jobs)):
            assert ahead is not None
            block = ahead.result()
            ahead = reader.submit(load_block, jobs[k + 1]) if k + 1 < len(jobs) else None
            base = done
            interrupts.check()

            def report(n: int, base: int = base) -> None:
                # Called every 50 ms from the native matching: a signal whose exception was lost
                # (raised inside a finaliser or a C library's callback) stops the block here.
                interrupts.check()
                if progress is not None:
                    progress(base + n)

            try:
                matched = match_loaded(block, report, threads)
            except BaseException:
                if ahead is not None:
                    ahead.cancel()
                raise
            del block
            done += len(matched.records)
            yield matched
        finished = True
    finally:
        # A run that stops (a signal, an error) does not wait for the next block's read it will
        # never use: the helper thread finishes it alone and ends.
        reader.shutdown(wait=finished, cancel_futures=True)


#: Backends by name: a runner, or "module:function" imported when the backend is chosen.
BACKENDS: dict[str, Runner | str] = {"threads": run_threads,
                                     "dask": "talmek_track.matching.backends.dask:run_blocks"}

#: Backends that run the blocks of many pairs at once ("module:function"); see run_block_groups.
GROUP_RUNNERS: dict[str, str] = {"dask": "talmek_track.matching.backends.dask:run_groups"}

#: What a backend offers a run beside running blocks ("module:function", imported when used): the
#: threads its cluster has (``cluster_slots``), whether its workers see this machine's files
#: (``workers_see_here``), and the two-pass run whose first pass gathers the value-range sample
#: from the workers' own reads (``run_sampled``).
SERVICES: dict[str, dict[str, str]] = {"dask": {
    "cluster_slots": "talmek_track.matching.backends.dask:cluster_slots",
    "workers_see_here": "talmek_track.matching.backends.dask:workers_see_here",
    "run_sampled": "talmek_track.matching.backends.dask:run_sampled",
}}


def _load(name: str, target: str) -> Any:
    module, _, function = target.partition(":")
    try:
        found = getattr(importlib.import_module(module), function)
    except ImportError as e:
        raise ValueError(f"the {name} backend is not available: {e}") from None
    return found


def service(backend: str, name: str) -> Callable[..., Any]:
    """The backend's service ``name`` (see ``SERVICES``); KeyError where it offers none."""
    found: Callable[..., Any] = _load(backend, SERVICES[backend][name])
    return found


def get_runner(name: str) -> Runner:
    """The runner of the backend called ``name``; ValueError for an unknown or unavailable one."""
    try:
        runner = BACKENDS[name]
    except KeyError:
        raise ValueError(f"unknown backend {name!r}; choose from {', '.join(BACKENDS)}") from None
    if isinstance(runner, str):
        loaded: Runner = _load(name, runner)
        return loaded
    return runner


def run_blocks(jobs: Sequence[BlockJob], *, backend: str = "threads", threads: int | None = None,
               progress: RunProgress | None = None, client: Any = None, scheduler: Any = None,
               workers: Any = None, **more: Any) -> list[BlockRecords]:
    """Matches block jobs on a backend.

    Parameters
    ----------
    jobs : sequence of BlockJob
        As ``plan_blocks`` made them.
    backend : str
        A key of ``BACKENDS``.
    threads : int, optional
        Native threads per process (default: every core).
    progress : callable, optional
        Called with the number of points done over all jobs.
    client, scheduler, workers, **more
        Options of distributed backends (see ``talmek_track.matching.backends.dask.dask_client``: also
        ``connect_timeout`` and ``handshake_timeout``); the threads backend takes none.

    Returns
    -------
    list of BlockRecords
        Each job's records (``RECORD_DTYPE``) and native failures, in job order.
    """
    runner = get_runner(backend)
    return list(runner(jobs, threads=threads, progress=progress, client=client,
                       scheduler=scheduler, workers=workers, **more))


def run_block_groups(groups: Sequence[Group], *, backend: str = "threads", threads: int | None = None,
                     progress: RunProgress | None = None, client: Any = None, scheduler: Any = None,
                     workers: Any = None, failed: Callable[[int, BaseException], object] | None = None,
                     **more: Any) -> None:
    """Matches the blocks of several pairs and hands each pair's matched blocks to its group's
    function as soon as all of them are in.

    Parameters
    ----------
    groups : sequence of (jobs, label, on_done)
        Per pair: its block jobs, a label for messages, and ``on_done(blocks)`` (or None).
    backend, threads, client, scheduler, workers, **more
        As for ``run_blocks``.
    progress : callable, optional
        Called with the number of points done over all groups.
    failed : callable, optional
        ``failed(g, error)`` for a group whose matching failed (a block that cannot be read or
        matched): the group is given up and the others go on. Without it the first failure ends
        the run. Interrupts always end it.
    """
    if backend in GROUP_RUNNERS:
        runner = _load(backend, GROUP_RUNNERS[backend])
        extra = {} if failed is None else {"failed": failed}
        runner(groups, threads=threads, progress=progress, client=client, scheduler=scheduler,
               workers=workers, **extra, **more)
        return
    base = 0
    for g, (jobs, _, on_done) in enumerate(groups):
        report = None if progress is None else (lambda n, base=base: progress(base + n))
        try:
            parts = run_blocks(jobs, backend=backend, threads=threads, progress=report, client=client,
                               scheduler=scheduler, workers=workers, **more)
        except Exception as e:
            if failed is None:
                raise
            base += sum(len(job.points1) for job in jobs)
            failed(g, e)
            continue
        base += sum(len(p.records) for p in parts)
        if on_done is not None:
            on_done(parts)
