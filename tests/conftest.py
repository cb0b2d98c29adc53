import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

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


_CASES = conformance.load_cases()


def pytest_generate_tests(metafunc):
    # Tests that take `case` run once per conformance case.
    if "case" in metafunc.fixturenames:
        if not _CASES:
            metafunc.parametrize("case", [pytest.param(None, marks=pytest.mark.skip("no conformance vectors found"))])
        else:
            metafunc.parametrize("case", _CASES, ids=[c.name for c in _CASES])
