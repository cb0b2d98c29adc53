"""Remote inputs: HTTP(S) files read in one pass on a Dask cluster, S3 through a local stand-in,
the download limit; each against the same files read locally, bit for bit."""
import os
import threading

import numpy as np
import pytest

from support import same_bits

tt = pytest.importorskip("talmek_track")
rasterio = pytest.importorskip("rasterio")
pytest.importorskip("scipy")

from glacier_scene import glacier_scene, write_scene  # noqa: E402
from serving import cog, quiet  # noqa: E402
from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.sources.readers import forget_decoded, open_source  # noqa: E402

RUN = dict(chip=32, margin=10, step=16, formats=[], plot=False)


@pytest.fixture(scope="module")
def cogs(tmp_path_factory):
    """The glacier pair as Cloud-Optimised GeoTIFFs of 128-pixel tiles (uint16: the value-range
    sample reads every tile), and the results of matching them locally."""
    folder = tmp_path_factory.mktemp("cogs")
    paths = write_scene(glacier_scene(320, seed=7), folder / "plain")
    for name in ("image1", "image2"):
        with rasterio.open(paths[name]) as src:
            profile = src.profile | dict(dtype="uint16")
            with rasterio.open(folder / f"{name}_16.tif", "w", **profile) as dst:
                dst.write(src.read().astype(np.uint16) * 40 + 1000)
                dst.update_tags(**src.tags())
        cog(folder / f"{name}_16.tif", folder / f"{name}.tif")
    local = quiet(tt.track_files, folder / "image1.tif", folder / "image2.tif", **RUN)
    return folder, local


def serve(cogs, folder):
    for name in ("image1", "image2"):
        (folder / f"{name}.tif").write_bytes((cogs[0] / f"{name}.tif").read_bytes())
    return sum(os.path.getsize(folder / f"{n}.tif") for n in ("image1", "image2"))


def test_remote_files_on_dask_read_in_one_pass(cogs, server):
    """Dask workers on this machine read the run's one download; blocks small enough that
    neighbouring ones share rows of tiles."""
    distributed = pytest.importorskip("distributed")
    folder, url, handler = server
    size = serve(cogs, folder)
    with (distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                   dashboard_address=":0") as cluster,
          distributed.Client(cluster, set_as_default=False) as client):
        remote = quiet(tt.track_files, f"{url}/image1.tif", f"/vsicurl/{url}/image2.tif", backend="dask",
                       client=client, block_pixels=40_000, **RUN)
    assert handler.sent <= 1.5 * size
    assert same_bits(remote.records, cogs[1].records)


@pytest.fixture
def elsewhere():
    """A Dask scheduler in this process and two worker processes on "another machine": a `dask
    worker` started inside `unshare --uts` under another host name, so that no worker can take this
    machine's files for its own. Started after the other fixtures, so it inherits their settings."""
    distributed = pytest.importorskip("distributed")
    import shutil
    import socket
    import subprocess
    import sys

    if shutil.which("unshare") is None or subprocess.run(["unshare", "--uts", "true"],
                                                         capture_output=True).returncode != 0:
        pytest.skip("unshare --uts is refused here (it needs root or user namespaces)")
    with (distributed.LocalCluster(n_workers=0, processes=False, protocol="tcp", host="127.0.0.1",
                                   dashboard_address=None,
                                   scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as cluster,
          distributed.Client(cluster, set_as_default=False) as client):
        worker = [sys.executable, "-m", "distributed.cli.dask_worker", cluster.scheduler_address,
                  "--nworkers", "2", "--nthreads", "1", "--no-dashboard", "--memory-limit", "0"]
        command = "hostname talmek-elsewhere && exec " + " ".join(worker)
        process = subprocess.Popen(["unshare", "--uts", "sh", "-c", command], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            client.wait_for_workers(2, timeout=120)
            assert set(client.run(socket.gethostname).values()) == {"talmek-elsewhere"}
            yield client
        finally:
            process.terminate()
            try:
                process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


@pytest.mark.parametrize("scheme", ["http", "s3"])
def test_remote_files_on_workers_elsewhere_read_once(cogs, server, s3, elsewhere, scheme):
    """Workers that cannot see this machine's files read the files in place, once, in strips that
    also give the value-range sample (a copy fetched beside their own reads, or the client's own
    sample, made it 2.5 times the files' bytes); the records are the local run's."""
    folder, url, handler = server
    size = serve(cogs, folder)
    if scheme == "http":
        paths = (f"{url}/image1.tif", f"/vsicurl/{url}/image2.tif")
    else:
        put, sent, bucket = s3
        for name in ("image1", "image2"):
            put(f"glacier/{name}.tif", (cogs[0] / f"{name}.tif").read_bytes())
        sent[0] = 0
        paths = (f"s3://{bucket}/glacier/image1.tif", f"/vsis3/{bucket}/glacier/image2.tif")
    remote = quiet(tt.track_files, *paths, backend="dask", client=elsewhere, block_pixels=40_000, **RUN)
    assert same_bits(remote.records, cogs[1].records)
    sent = handler.sent if scheme == "http" else s3[1][0]
    assert 0 < sent <= 1.5 * size, sent / size


def _stack_served(cogs, folder, url):
    """A stack of three images over HTTP (the pair and image 1 again under another name), its
    local twin and each image's file size."""
    names = ["image1", "image2", "image3"]
    for name, origin in zip(names, ["image1", "image2", "image1"], strict=True):
        (folder / f"{name}.tif").write_bytes((cogs[0] / f"{origin}.tif").read_bytes())
    sizes = {f"/{n}.tif": os.path.getsize(folder / f"{n}.tif") for n in names}
    return [f"{url}/{n}.tif" for n in names], [str(folder / f"{n}.tif") for n in names], sizes


@pytest.mark.parametrize("cluster", ["threads", "elsewhere"])
def test_stack_reads_each_remote_image_once(cogs, server, request, cluster):
    """A stack over HTTP reads each image once, though the middle one is in two pairs: fetched
    whole on this machine, or read in strips by workers that cannot see it (which gather the
    value-range sample too); the pairs' records are those of the local files."""
    folder, url, handler = server
    remote, local, sizes = _stack_served(cogs, folder, url)
    dates = ["2024-07-01", "2024-07-13", "2024-07-25"]
    run = dict(RUN, progress=False, dates=dates)
    expected = quiet(tt.match_stack, local, "consecutive", **run)
    handler.sent, handler.by_path = 0, {}
    if cluster == "elsewhere":
        run.update(backend="dask", client=request.getfixturevalue("elsewhere"), block_pixels=40_000)
    got = quiet(tt.match_stack, remote, "consecutive", **run)
    # Each of the two workers opens the files it reads, GDAL reading the header in a block of
    # 16 KiB: 7 % of these small files, beside the one read of every tile.
    headers = 0 if cluster == "threads" else 2 * 16384
    for path, size in sizes.items():
        assert 0 < handler.by_path.get(path, 0) <= 1.05 * size + headers, (path, handler.by_path.get(path, 0) / size)
    assert got.pairs == expected.pairs == [(0, 1), (1, 2)]
    for mine, theirs in zip(got, expected, strict=True):
        assert same_bits(mine.records, theirs.records)


# --- S3 -----------------------------------------------------------------------------------------

SECRET = "talmek-test-secret-4f9a1c"


@pytest.fixture
def s3(monkeypatch):
    """A local S3 stand-in (moto's server) on 127.0.0.1 that counts the body bytes it sends, with a
    new bucket; GDAL's AWS settings point at it. Yields (put(key, bytes), [bytes sent], bucket)."""
    pytest.importorskip("moto")
    from moto.server import DomainDispatcherApplication, MotoRequestHandler, create_backend_app
    from werkzeug.serving import make_server

    app = DomainDispatcherApplication(create_backend_app)
    sent = [0]

    def counting(environ, start_response):
        for chunk in app(environ, start_response):
            if environ["REQUEST_METHOD"] == "GET":
                sent[0] += len(chunk)
            yield chunk

    httpd = make_server("127.0.0.1", 0, counting, True, request_handler=MotoRequestHandler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    endpoint = f"127.0.0.1:{httpd.server_address[1]}"
    for name, value in (("AWS_S3_ENDPOINT", endpoint), ("AWS_HTTPS", "NO"), ("AWS_VIRTUAL_HOSTING", "FALSE"),
                        ("AWS_ACCESS_KEY_ID", "AKIATALMEKTEST"), ("AWS_SECRET_ACCESS_KEY", SECRET),
                        ("AWS_REGION", "us-east-1")):
        monkeypatch.setenv(name, value)
    import urllib.request
    import uuid

    bucket = f"scenes-{uuid.uuid4().hex[:8]}"  # moto's state outlives one server
    urllib.request.urlopen(urllib.request.Request(f"http://{endpoint}/{bucket}", method="PUT"), timeout=30).close()

    def put(key, data):
        request = urllib.request.Request(f"http://{endpoint}/{bucket}/{key}", data=data, method="PUT",
                                         headers={"Content-Type": "application/octet-stream"})
        urllib.request.urlopen(request, timeout=30).close()

    try:
        yield put, sent, bucket
    finally:
        httpd.shutdown()
        httpd.server_close()
        forget_decoded()


@pytest.mark.parametrize("scheme", ["s3://", "/vsis3/"])
def test_s3_inputs_match_like_local_files(cogs, s3, tmp_path, scheme):
    put, sent, bucket = s3
    prefix = scheme + bucket
    size = 0
    for name in ("image1", "image2"):
        data = (cogs[0] / f"{name}.tif").read_bytes()
        put(f"glacier/{name}.tif", data)
        size += len(data)
    sent[0] = 0
    out = tmp_path / "out"
    remote = quiet(tt.track_files, f"{prefix}/glacier/image1.tif", f"{prefix}/glacier/image2.tif", out,
                   **(RUN | dict(formats=["csv", "run"])))
    assert same_bits(remote.records, cogs[1].records)
    assert 0 < sent[0] <= 1.5 * size
    # The credentials reach no output.
    for path in out.iterdir():
        assert SECRET not in path.read_text() and "AKIATALMEKTEST" not in path.read_text()
    assert f"{prefix}/glacier/image1.tif" in (out / "run.json").read_text()


def test_s3_missing_key_is_one_line(cogs, s3, tmp_path, capsys):
    _, _, bucket = s3
    out = tmp_path / "out"
    code = cli.main([str(cogs[0] / "image1.tif"), f"s3://{bucket}/missing.tif", "-o", str(out), "--quiet"])
    err = capsys.readouterr().err.strip()
    assert code == 1 and len(err.splitlines()) == 1 and f"s3://{bucket}/missing.tif" in err
    assert not out.exists()


# --- the download limit -------------------------------------------------------------------------

@pytest.mark.parametrize("how, limit, message", [
    ("file", "100000", "it holds"),  # told by its Content-Length, before the download
    ("unsized", "100000", "larger than the download limit of 100000 bytes"),  # no length: stopped as it passes
    ("cut", "none", "the download ended after"),  # a connection that ends early
])
def test_downloads_refused_on_one_line(cogs, server, tmp_path, monkeypatch, capsys, how, limit, message):
    import tempfile

    folder, url, handler = server
    serve(cogs, folder)
    data = (folder / "image2.tif").read_bytes()
    handler.routes = {
        "/unsized.tif": lambda request: (200, {}, data),
        "/cut.tif": lambda request: (200, {"Content-Length": str(len(data) + 5000)}, data),
    }
    temp = tmp_path / "temp"
    temp.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temp))
    out = tmp_path / "out"
    name = {"file": "image2.tif", "unsized": "unsized.tif", "cut": "cut.tif"}[how]
    code = cli.main([str(cogs[0] / "image1.tif"), f"{url}/{name}", "-o", str(out), "--quiet",
                     "--max-download", limit])
    err = capsys.readouterr().err.strip()
    assert code == 1 and len(err.splitlines()) == 1 and message in err, err
    assert not out.exists() and not list(temp.iterdir())


# --- servers that never answer, killed downloads ------------------------------------------------

@pytest.mark.parametrize("kind", ["image", "vsicurl", "item", "search"])
def test_a_server_that_never_answers_times_out(cogs, stalling, tmp_path, capsys, kind):
    """A connection accepted and never answered ends the run after the read timeout, on one line."""
    import time

    url = stalling()
    pytest.importorskip({"item": "pystac", "search": "pystac_client"}.get(kind, "rasterio"))
    local, out = str(cogs[0] / "image1.tif"), tmp_path / "out"
    started = time.monotonic()
    if kind == "vsicurl":  # read in place by GDAL, as on workers elsewhere
        with pytest.raises(tt.InputError, match="timeout, --timeout"):
            open_source(f"/vsicurl/{url}/b.tif", timeout=(1, 1))
    else:
        argv = {"image": [local, f"{url}/b.tif"], "item": [local, f"{url}/item.json"],
                "search": ["stack", "--stac-search", url, "--collection", "glacier"]}[kind]
        code = cli.main([*argv, "-o", str(out), "--quiet", "--timeout", "1"])
        err = capsys.readouterr().err.strip()
        assert code == 1 and len(err.splitlines()) == 1 and "--timeout" in err, err
        assert not out.exists()
    assert time.monotonic() - started < 15


def test_a_killed_download_is_removed_by_the_next_run(cogs, stalling, tmp_path, monkeypatch):
    import socket
    import subprocess
    import sys
    import tempfile
    import time

    url = stalling(b"HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n" + b"\0" * 1000)
    temp = tmp_path / "temp"
    temp.mkdir()
    local = str(cogs[0] / "image1.tif")
    process = subprocess.Popen([sys.executable, "-m", "talmek_track", local, f"{url}/b.tif", "-o",
                                str(tmp_path / "out"), "--quiet"], env={**os.environ, "TMPDIR": str(temp)},
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 120
        while not list(temp.glob("talmek-remote-*/image")) and time.monotonic() < deadline:
            time.sleep(0.2)
    finally:
        process.kill()
        process.wait()
    killed = list(temp.iterdir())
    assert len(killed) == 1 and (killed[0] / "image").exists()
    live = temp / f"talmek-remote-{socket.gethostname()}-{os.getpid()}-live"  # a run at work
    live.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temp))
    quiet(tt.track_files, local, cogs[0] / "image2.tif", **RUN)
    assert list(temp.iterdir()) == [live]


# --- credentials in URLs, secrets and odd characters in messages ---------------------------------

SIGNATURE = "talmek-signature-51e0"


@pytest.mark.parametrize("password", ["pa@ss:w0rd", "wrong"])
def test_credentials_in_a_url_are_sent_and_never_shown(cogs, server, tmp_path, capsys, password):
    """A URL's user and password reach the server as basic authentication; neither they nor a
    signature reach a message, and a file name cannot forge a line of the command's output."""
    import base64
    import urllib.parse

    folder, url, handler = server
    colour = {}
    for name in ("image1", "image2"):  # colour images: each read gives a warning naming its input
        with rasterio.open(cogs[0] / f"{name}.tif") as src:
            grey = (src.read(1) // 256).astype(np.uint8)
            profile = src.profile | dict(driver="GTiff", dtype="uint8", count=3, photometric="RGB")
        colour[name] = tmp_path / ("forged\ntalmek-track: 0 points.tif" if name == "image1" else "c.tif")
        with rasterio.open(colour[name], "w", **profile) as dst:
            dst.write(np.stack([grey] * 3))
    data = colour["image2"].read_bytes()
    expected = "Basic " + base64.b64encode(b"alice:pa@ss:w0rd").decode()
    handler.routes = {"/private.tif": lambda request: (
        (200, {"Content-Length": str(len(data))}, data) if request.headers.get("Authorization") == expected
        else (401, {"Content-Length": "0"}, b""))}
    remote = (f"http://alice:{urllib.parse.quote(password, safe='')}@{url.removeprefix('http://')}"
              f"/private.tif?X-Amz-Signature={SIGNATURE}")
    out = tmp_path / "out"
    code = cli.main([str(colour["image1"]), remote, "-o", str(out), "--format", "csv,run", "--no-plot"])
    err = capsys.readouterr().err
    lines = err.splitlines()
    assert all(line.startswith("talmek-track: ") for line in lines) and "forged\\n" in err, err
    for secret in ("alice", "w0rd", "wrong", SIGNATURE):
        assert secret not in err
    if password == "wrong":
        assert code == 1 and len(lines) == 2 and "HTTP error 401" in lines[-1], err
        with pytest.raises(tt.InputError) as caught:  # the library's own errors say no more
            quiet(tt.track_files, colour["image1"], remote)
        assert "wrong" not in str(caught.value) and SIGNATURE not in str(caught.value)
    else:
        assert code == 0 and "2 images converted from colour to grey" in lines[0], err
        assert len([line for line in lines if not line.startswith("talmek-track: quality")]) == 2, err
        assert not [p for p in out.iterdir() if b"w0rd" in p.read_bytes() or SIGNATURE.encode() in p.read_bytes()]


def test_a_run_ending_keeps_the_copies_another_run_still_holds(server):
    """Two runs at once in one process: the one that ends first leaves the other's fetched copy
    (and the images decoded whole) in place; the last one to end drops them."""
    from talmek_track.sources import readers, remote

    folder, base, _ = server
    (folder / "a.tif").write_bytes(b"II*\x00" + bytes(60))  # fetched whole, never opened here
    url = f"{base}/a.tif"
    readers.hold_inputs()  # run A
    readers.hold_inputs()  # run B
    try:
        remote.fetch_once(url)
        copy = remote._LOCAL_COPIES[url]
    finally:
        readers.release_inputs()  # B ends
    assert os.path.exists(copy) and remote._LOCAL_COPIES.get(url) == copy
    readers.release_inputs()  # A ends
    assert not os.path.exists(copy) and url not in remote._LOCAL_COPIES
