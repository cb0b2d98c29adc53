"""The counting HTTP handler of the tests of remote inputs: it serves a folder with byte ranges
(as cloud storage does) and counts the body bytes it sends; conftest's `server` runs it on 127.0.0.1."""
import http.server
import os
import threading
import warnings


def quiet(fn, *args, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kw)


class Counting(http.server.SimpleHTTPRequestHandler):
    """Serves a folder with byte ranges and counts the requests it answers (``requests``) and the
    body bytes it sends, in all (``sent``) and by path (``by_path``); ``routes`` answers other
    paths with (status, headers, body) made by a function of the request (the handler)."""

    sent = 0
    by_path: dict = {}
    requests = 0
    lock = threading.Lock()
    routes: dict = {}

    def log_message(self, *args):
        pass

    def send_head(self):
        with self.lock:
            type(self).requests += 1
        bare = self.path.split("?", 1)[0]
        route = self.routes.get(bare)
        if route is not None:
            status, headers, body = route(self)
            self.send_response(status)
            for name, value in headers.items():
                self.send_header(name, value)
            self.end_headers()
            self._body = body
            return None
        path = self.translate_path(bare)
        if not os.path.isfile(path):
            self.send_error(404, "not found")
            return None
        size = os.path.getsize(path)
        start, end = 0, size - 1
        ranged = self.headers.get("Range", "").startswith("bytes=")
        if ranged:
            first, _, last = self.headers["Range"][6:].partition(",")[0].partition("-")
            start, end = int(first or 0), min(size - 1, int(last) if last else size - 1)
        f = open(path, "rb")  # noqa: SIM115 - closed by copyfile's caller
        f.seek(start)
        self.send_response(206 if ranged else 200)
        self.send_header("Content-Length", str(end - start + 1))
        self.send_header("Accept-Ranges", "bytes")
        if ranged:
            self.send_header("Content-Range", f"bytes {start}-{end}/{size}")
        self.end_headers()
        self._left = end - start + 1
        return f

    def do_GET(self):
        self._body = None
        f = self.send_head()
        if f is not None:
            try:
                self.copyfile(f, self.wfile)
            finally:
                f.close()
        elif self._body is not None:
            self.wfile.write(self._body)

    def do_POST(self):
        self.do_GET()

    def copyfile(self, source, outputfile):
        left = self._left
        while left > 0:
            chunk = source.read(min(65536, left))
            if not chunk:
                break
            try:
                outputfile.write(chunk)
            except (BrokenPipeError, ConnectionResetError):  # the client stopped reading
                return
            left -= len(chunk)
            with self.lock:
                type(self).sent += len(chunk)
                bare = self.path.split("?", 1)[0]
                type(self).by_path[bare] = type(self).by_path.get(bare, 0) + len(chunk)


def cog(source, target):
    from rasterio.shutil import copy

    copy(source, target, driver="COG", compress="deflate", blocksize=128)
