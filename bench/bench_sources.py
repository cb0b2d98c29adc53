#!/usr/bin/env python3
"""What reading remote inputs costs: the bytes a server sends against the files' bytes, and the
wall time, for the glacier pair as uint16 Cloud-Optimised GeoTIFFs served over HTTP and S3.

The pair (tests/glacier_scene.py): SIZE x SIZE uint16, 512-pixel tiles, deflate, with overviews.
A range-capable HTTP server (tests/serving.py) and moto's S3 server, both on 127.0.0.1 and both
counting the body bytes they send, serve them. Matched as the command does it (chip 32, margin
10, step 16, blocks of 4 million pixels) in these ways, each checked bit for bit against the
local files:

    local     local files, threads backend
    http      HTTP, threads backend (the file fetched whole once)
    http-here HTTP, Dask: a LocalCluster of two single-threaded worker processes (they read the
              run's copy)
    http-away HTTP, Dask: a scheduler here and two single-threaded worker processes started under
              `unshare --uts` with another host name, so they cannot see the copy ("workers
              elsewhere"; needs root)
    s3        S3, threads backend
    s3-dask   S3, Dask: the LocalCluster above

    bench_sources.py [--sizes 2000,4000] [--ways local,http,...] [--block-pixels 4000000] [--smoke]

``--smoke`` runs the ways local, http, http-here and s3 (the others only when named with
``--ways``) on a 512 x 512 pair in blocks of 200,000 pixels: the script's path in seconds.
"""

from __future__ import annotations

import argparse
import functools
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
import uuid
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))

import machine  # noqa: E402

import talmek_track  # noqa: E402
from glacier_scene import glacier_scene, write_scene  # noqa: E402
from serving import Counting  # noqa: E402
from support import same_bits  # noqa: E402
from talmek_track.sources.readers import forget_decoded  # noqa: E402

WAYS = ("local", "http", "http-here", "http-away", "s3", "s3-dask")


def make_pair(size: int, folder: Path) -> list[Path]:
    """The glacier pair as uint16 COGs of 512-pixel tiles with overviews."""
    from rasterio.shutil import copy

    paths = write_scene(glacier_scene(size), folder / "plain")
    out = []
    for name in ("image1", "image2"):
        target = folder / f"{name}.tif"
        copy(paths[name], target, driver="COG", compress="deflate", blocksize=512)
        out.append(target)
    return out


@contextmanager
def http_server(folder: Path) -> Iterator[tuple[str, Any]]:
    handler = type("Handler", (Counting,), {"sent": 0, "routes": {}})
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(handler, directory=str(folder)))
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{httpd.server_address[1]}", handler
    finally:
        httpd.shutdown()
        httpd.server_close()


@contextmanager
def s3_server(files: list[Path]) -> Iterator[tuple[str, list[int]]]:
    """moto's S3 server holding the files in a new bucket; GDAL's settings point at it (set before
    any worker starts, so workers inherit them). Yields the bucket's s3:// prefix and [bytes sent]."""
    from moto.server import DomainDispatcherApplication, MotoRequestHandler, create_backend_app
    from werkzeug.serving import make_server

    app = DomainDispatcherApplication(create_backend_app)
    sent = [0]

    def counting(environ: Any, start_response: Any) -> Iterator[bytes]:
        for chunk in app(environ, start_response):
            if environ["REQUEST_METHOD"] == "GET":
                sent[0] += len(chunk)
            yield chunk

    httpd = make_server("127.0.0.1", 0, counting, True, request_handler=MotoRequestHandler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    endpoint = f"127.0.0.1:{httpd.server_address[1]}"
    os.environ.update(AWS_S3_ENDPOINT=endpoint, AWS_HTTPS="NO", AWS_VIRTUAL_HOSTING="FALSE",
                      AWS_ACCESS_KEY_ID="bench", AWS_SECRET_ACCESS_KEY="bench", AWS_REGION="us-east-1")
    bucket = f"bench-{uuid.uuid4().hex[:8]}"
    urllib.request.urlopen(urllib.request.Request(f"http://{endpoint}/{bucket}", method="PUT"), timeout=60).close()
    for path in files:
        request = urllib.request.Request(f"http://{endpoint}/{bucket}/{path.name}", data=path.read_bytes(),
                                         method="PUT", headers={"Content-Type": "application/octet-stream"})
        urllib.request.urlopen(request, timeout=600).close()
    try:
        yield f"s3://{bucket}", sent
    finally:
        httpd.shutdown()
        httpd.server_close()


@contextmanager
def local_cluster() -> Iterator[Any]:
    import distributed

    with (distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
          as cluster, distributed.Client(cluster, set_as_default=False) as client):
        yield client


@contextmanager
def cluster_elsewhere() -> Iterator[Any]:
    """A scheduler in this process and two single-threaded worker processes under another host
    name (`unshare --uts`): they cannot take this machine's files for their own."""
    import distributed

    with (distributed.LocalCluster(n_workers=0, processes=False, protocol="tcp", host="127.0.0.1",
                                   dashboard_address=None) as cluster,
          distributed.Client(cluster, set_as_default=False) as client):
        worker = [sys.executable, "-m", "distributed.cli.dask_worker", cluster.scheduler_address,
                  "--nworkers", "2", "--nthreads", "1", "--no-dashboard"]
        process = subprocess.Popen(["unshare", "--uts", "sh", "-c",
                                    "hostname talmek-elsewhere && exec " + " ".join(worker)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            client.wait_for_workers(2, timeout=120)
            yield client
        finally:
            process.terminate()
            process.wait(timeout=60)


def timed(fn: Callable[[], Any]) -> tuple[Any, float]:
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = fn()
    return result, time.perf_counter() - start


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="2000,4000")
    ap.add_argument("--ways", default=",".join(WAYS))
    ap.add_argument("--block-pixels", type=int, default=4_000_000)
    ap.add_argument("--smoke", action="store_true", help="a tiny pair: the script's path in seconds")
    args = ap.parse_args()
    if args.smoke:
        args.sizes, args.block_pixels = "512", 200_000
        if "--ways" not in sys.argv:
            args.ways = "local,http,http-here,s3"
    ways = args.ways.split(",")
    settings = dict(chip=32, margin=10, step=16, formats=[], plot=False, block_pixels=args.block_pixels)
    print(machine.processor())
    for size in (int(s) for s in args.sizes.split(",")):
        folder = Path(tempfile.mkdtemp(prefix="bench-sources-"))
        try:
            files = make_pair(size, folder)
            total = sum(p.stat().st_size for p in files)
            print(f"\n{size} x {size}, files {total / 1e6:.1f} MB together")
            print(f"{'way':<10} {'sent / file bytes':>18} {'time':>8}  same bits")
            local, seconds = timed(lambda: talmek_track.track_files(*files, **settings))
            if "local" in ways:
                print(f"{'local':<10} {'-':>18} {seconds:7.1f}s  -")
            with http_server(folder) as (url, handler), s3_server(files) as (prefix, sent):
                urls = [f"{url}/{p.name}" for p in files]
                keys = [f"{prefix}/{p.name}" for p in files]
                for way in ways:
                    if way == "local":
                        continue
                    paths = keys if way.startswith("s3") else urls
                    if way in ("http", "s3"):
                        cluster: Any = None
                    elif way == "http-away":
                        if shutil.which("unshare") is None:
                            print(f"{way:<10} (no unshare here)")
                            continue
                        cluster = cluster_elsewhere()
                    else:
                        cluster = local_cluster()
                    extra: dict[str, Any] = {}
                    with cluster if cluster is not None else _nothing() as client:
                        if client is not None:
                            extra = dict(backend="dask", client=client)
                        handler.sent, sent[0] = 0, 0
                        result, seconds = timed(lambda: talmek_track.track_files(*paths, **settings, **extra))
                        moved = handler.sent + sent[0]
                    forget_decoded()
                    same = same_bits(result.records, local.records)
                    print(f"{way:<10} {moved / total:18.2f} {seconds:7.1f}s  {same}")
        finally:
            shutil.rmtree(folder, ignore_errors=True)


@contextmanager
def _nothing() -> Iterator[None]:
    yield None


if __name__ == "__main__":
    import logging

    logging.getLogger("werkzeug").setLevel(logging.ERROR)
    np.seterr(all="ignore")
    main()
