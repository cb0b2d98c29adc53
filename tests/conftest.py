import functools
import http.server
import os
import sys
import threading
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
# The suites mirror the package's stages, one folder each; a few share helpers and fixtures across
# folders by module name (their names are unique), as when they lay side by side.
sys.path[1:1] = [str(p) for p in sorted(Path(__file__).resolve().parent.iterdir())
                 if p.is_dir() and any(p.glob("test_*.py"))]

import conformance  # noqa: E402


@pytest.fixture(scope="session")
def talmek():
    import Talmek

    return Talmek


@pytest.fixture(scope="session")
def engine():
    """The engine operations one by one (private test-support module)."""
    import _talmek_testsupport

    return _talmek_testsupport


@pytest.fixture
def fft_forcing(engine):
    """engine.force_fft, with the transforms' defaults back after the test, whatever it forced."""
    engine.reset_fft()
    yield engine.force_fft
    engine.reset_fft()


_CASES = conformance.load_cases()


def pytest_generate_tests(metafunc):
    # Tests that take `case` run once per conformance case.
    if "case" in metafunc.fixturenames:
        if not _CASES:
            metafunc.parametrize("case", [pytest.param(None, marks=pytest.mark.skip(conformance.MISSING_VECTORS))])
        else:
            metafunc.parametrize("case", _CASES, ids=[c.name for c in _CASES])


def in_ci() -> bool:
    return os.environ.get("CI", "").strip().lower() not in ("", "0", "false", "no")


def _fail_in_ci(report):
    """Under CI a skip for absent test data or an absent test dependency fails the run instead."""
    if not (report.skipped and in_ci() and isinstance(report.longrepr, tuple)):
        return
    path, line, reason = report.longrepr
    if reason.removeprefix("Skipped: ").startswith((conformance.MISSING_DATA, "could not import")):
        report.outcome = "failed"
        report.longrepr = f"{path}:{line}: CI is set, so this may not skip: {reason}"


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    _fail_in_ci(outcome.get_result())


@pytest.hookimpl(hookwrapper=True)
def pytest_make_collect_report(collector):
    outcome = yield
    _fail_in_ci(outcome.get_result())


def pytest_terminal_summary(terminalreporter):
    # The fault-injection suite's count (tests marked ``faults``), so that CI logs show it ran.
    outcomes = {}
    for outcome in ("passed", "failed", "skipped", "error"):
        for report in terminalreporter.stats.get(outcome, []):
            if "faults" in getattr(report, "keywords", {}) and report.when in ("call", "setup"):
                if outcome == "passed" and report.when != "call":
                    continue
                outcomes[outcome] = outcomes.get(outcome, 0) + 1
    if outcomes:
        counts = ", ".join(f"{n} {outcome}" for outcome, n in outcomes.items())
        total = sum(outcomes.values())
        terminalreporter.write_line(f"fault injection: {total} case{'' if total == 1 else 's'} ({counts})")


@pytest.fixture
def server(tmp_path):
    """(folder served, base URL, handler class) of a counting HTTP server on 127.0.0.1
    (``serving.Counting``)."""
    from serving import Counting
    from talmek_track.sources.readers import forget_decoded

    folder = tmp_path / "served"
    folder.mkdir()
    handler = type("Handler", (Counting,), {"sent": 0, "by_path": {}, "requests": 0, "routes": {}})
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(handler, directory=str(folder)))
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    try:
        yield folder, f"http://127.0.0.1:{httpd.server_address[1]}", handler
    finally:
        httpd.shutdown()
        httpd.server_close()
        forget_decoded()


@pytest.fixture
def stalling():
    """make(reply) -> the base URL of a server on 127.0.0.1 that accepts every connection, reads
    the request, sends ``reply`` (b"": nothing at all) and then holds the connection open, silent."""
    import contextlib
    import socket

    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    held, answer = [], [b""]

    def serve():
        with contextlib.suppress(OSError):
            while True:
                conn, _ = listener.accept()
                held.append(conn)
                conn.recv(65536)
                conn.sendall(answer[0])

    threading.Thread(target=serve, daemon=True).start()

    def make(reply=b""):
        answer[0] = reply
        return f"http://127.0.0.1:{listener.getsockname()[1]}"

    try:
        yield make
    finally:
        listener.close()
        for conn in held:
            conn.close()
