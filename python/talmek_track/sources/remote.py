"""Remote inputs: HTTP(S) files fetched whole once per process (every later read is a read of the
local copy), with connect and read time limits, credentials sent as basic authentication and never
shown, GDAL's settings for reads in place, and the copies that killed runs left behind removed."""

from __future__ import annotations

import base64
import functools
import http.client
import math
import os
import re
import shutil
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from talmek_track.errors import InputError, one_line
from talmek_track.options.values import (
    DEFAULT_MAX_DOWNLOAD,
    DEFAULT_TIMEOUT,
)

#: An affine geotransform (a, b, c, d, e, f), as rasterio's Affine lists it.
Transform = tuple[float, float, float, float, float, float]


#: Remote files this process fetched whole, by the name the user gave: every later read (the
#: value-range sample, each block's windows, the figure's picture) is a read of the local copy.
_LOCAL_COPIES: dict[str, str] = {}

#: The block of a download, in bytes.
_FETCH_CHUNK = 2**20


def gdal_path(path: str) -> str:
    """The name GDAL opens ``path`` by: ``s3://bucket/key`` as ``/vsis3/bucket/key``, others as
    given (rasterio reads plain HTTP(S) URLs through ``/vsicurl/`` itself)."""
    return "/vsis3/" + path[len("s3://"):] if path.startswith("s3://") else path


def http_url(path: str) -> str | None:
    """The plain HTTP(S) address of ``path`` (a URL, or one behind ``/vsicurl/``), else None."""
    text = path.removeprefix("/vsicurl/")
    return text if text.startswith(("http://", "https://")) else None


def _too_large(path: str, size: int, max_bytes: int, known: bool) -> InputError:
    amount = f"it holds {size} bytes, more than" if known else "it is larger than"
    return InputError(f"cannot read {path}: {amount} the download limit of {max_bytes} bytes "
                      "(max_download, --max-download)")


def network_settings(timeout: tuple[float, float] | None) -> dict[str, str]:
    """GDAL's settings of ``timeout`` (connect, read): a connection not made within the first, a
    request that moves no byte for the second (curl's low-speed limit, which a large range read
    on a slow link passes, where a time limit of the whole request would not)."""
    connect, read = timeout or DEFAULT_TIMEOUT
    return {"GDAL_HTTP_CONNECTTIMEOUT": f"{connect:g}", "GDAL_HTTP_LOW_SPEED_TIME": str(max(1, math.ceil(read))),
            "GDAL_HTTP_LOW_SPEED_LIMIT": "1"}


class _ReadTimeout:
    """A connection made within the connect timeout (the socket's timeout while it connects; a
    TLS handshake counts as connecting) and read with the read timeout afterwards."""

    sock: Any

    def __init__(self, *args: Any, read_timeout: float, **keywords: Any) -> None:
        super().__init__(*args, **keywords)
        self.read_timeout = read_timeout

    def connect(self) -> None:
        super().connect()  # type: ignore[misc]
        self.sock.settimeout(self.read_timeout)


class _TimedConnection(_ReadTimeout, http.client.HTTPConnection):
    pass


class _TimedTLSConnection(_ReadTimeout, http.client.HTTPSConnection):
    pass


class _TimedHTTPHandler(urllib.request.HTTPHandler):
    def __init__(self, read_timeout: float) -> None:
        super().__init__()
        self.read_timeout = read_timeout

    def http_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(functools.partial(_TimedConnection, read_timeout=self.read_timeout), req)


class _TimedHTTPSHandler(urllib.request.HTTPSHandler):
    def __init__(self, read_timeout: float) -> None:
        super().__init__()
        self.read_timeout = read_timeout

    def https_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(functools.partial(_TimedTLSConnection, read_timeout=self.read_timeout), req,
                            context=self._context)  # type: ignore[attr-defined]


def _request(url: str) -> urllib.request.Request:
    """A GET of ``url``. A user and password in it are sent as basic authentication, to this
    host alone (never along a redirect), and are no part of the address asked for."""
    parts = urllib.parse.urlsplit(url)
    if "@" not in parts.netloc:
        return urllib.request.Request(url)
    userinfo, _, host = parts.netloc.rpartition("@")
    user, _, password = userinfo.partition(":")
    request = urllib.request.Request(urllib.parse.urlunsplit(parts._replace(netloc=host)))
    token = f"{urllib.parse.unquote(user)}:{urllib.parse.unquote(password)}".encode()
    request.add_unredirected_header("Authorization", "Basic " + base64.b64encode(token).decode("ascii"))
    return request


@contextmanager
def open_url(url: str, timeout: tuple[float, float] | None = None) -> Iterator[http.client.HTTPResponse]:
    """The answer to a GET of the HTTP(S) address ``url``, within ``timeout`` (connect, read;
    default ``DEFAULT_TIMEOUT``), with the user and password the URL may hold sent as basic
    authentication. Raises what urllib raises; ``network_reason`` words it for a message."""
    connect, read = timeout or DEFAULT_TIMEOUT
    opener = urllib.request.build_opener(_TimedHTTPHandler(read), _TimedHTTPSHandler(read))
    try:
        response = opener.open(_request(url), timeout=connect)
    except urllib.error.HTTPError as e:
        e.close()  # the error's body is never read
        raise
    with response:
        yield response


def network_reason(e: BaseException, timeout: tuple[float, float] | None = None) -> str:
    """Why a request of ``open_url`` failed, on one line: the HTTP error, the timeout passed, or
    the network's reason."""
    connect, read = timeout or DEFAULT_TIMEOUT
    if isinstance(e, urllib.error.HTTPError):
        return f"HTTP error {e.code} ({e.reason})"
    if isinstance(e, urllib.error.URLError) and isinstance(e.reason, TimeoutError):
        return f"no connection within {connect:g} s (timeout, --timeout)"
    if isinstance(e, TimeoutError):
        return f"the server sent nothing for {read:g} s (timeout, --timeout)"
    if isinstance(e, urllib.error.URLError):
        return one_line(e.reason) if isinstance(e.reason, BaseException) else str(e.reason)
    return one_line(e)


#: The folders of the copies this process fetches start with this, the machine's name and the
#: process id, so that a later run on the machine knows a copy whose process is gone.
_COPY_PREFIX = "talmek-remote-"


def _host_prefix() -> str:
    import socket

    return f"{_COPY_PREFIX}{socket.gethostname()}-"


def _running(pid: int) -> bool:
    """Whether process ``pid`` of this machine is alive (a zombie, killed but not reaped, is not)."""
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # another user's
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return True


def remove_stale_copies() -> list[str]:
    """Removes the copies of remote files that runs of this machine left in the temporary
    folder when they were killed (SIGKILL, a power cut) while fetching or matching; returns
    their folders. A copy whose process still runs is kept."""
    import tempfile

    base = tempfile.gettempdir()
    ours = re.compile(re.escape(_host_prefix()) + r"(\d+)-")
    try:
        names = os.listdir(base)
    except OSError:
        return []
    removed = []
    for name in names:
        found = ours.match(name)
        if found is not None and not _running(int(found.group(1))):
            shutil.rmtree(os.path.join(base, name), ignore_errors=True)
            removed.append(os.path.join(base, name))
    return removed


def fetch_once(path: str, timeout: tuple[float, float] | None = None,
               max_bytes: int | None = DEFAULT_MAX_DOWNLOAD) -> None:
    """Fetches the HTTP(S) file ``path`` once into a private temporary folder, so that the run
    reads every byte of it once instead of twice or more (the value-range sample touches every
    tile, and matching reads them again); results are those of the remote file, bit for bit.
    ``forget_decoded`` removes the copy. ``timeout`` is (connect, read) in seconds (default
    ``DEFAULT_TIMEOUT``); a user and password in the URL are sent as basic authentication.
    InputError, on one line, for an HTTP or network error, a server silent past the timeout, a
    file larger than ``max_bytes`` (None: no limit; told by its Content-Length before any byte
    is fetched, else when the download passes it) and a download cut short; nothing of a failed
    download stays behind, and copies that killed runs left behind are removed first."""
    url = http_url(path)
    if url is None or path in _LOCAL_COPIES:
        return
    import tempfile

    remove_stale_copies()
    folder = tempfile.mkdtemp(prefix=f"{_host_prefix()}{os.getpid()}-")
    target = os.path.join(folder, "image")
    try:
        with open_url(url, timeout) as response:
            header = response.headers.get("Content-Length", "")
            length = int(header) if header.strip().isdigit() else None
            if max_bytes is not None and length is not None and length > max_bytes:
                raise _too_large(path, length, max_bytes, True)
            got = 0
            with open(target, "wb") as out:
                while chunk := response.read(_FETCH_CHUNK):
                    got += len(chunk)
                    if max_bytes is not None and got > max_bytes:
                        raise _too_large(path, got, max_bytes, False)
                    out.write(chunk)
        if length is not None and got != length:
            raise InputError(f"cannot read {path}: the download ended after {got} of its {length} bytes")
    except (OSError, ValueError, http.client.HTTPException) as e:
        shutil.rmtree(folder, ignore_errors=True)
        raise InputError(f"cannot read {path}: {network_reason(e, timeout)}") from None
    except BaseException:
        shutil.rmtree(folder, ignore_errors=True)
        raise
    _LOCAL_COPIES[path] = target
