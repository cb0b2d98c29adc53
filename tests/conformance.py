"""Reader for the conformance vectors: cases, expected results and stage traces."""
from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from support import same_bits  # noqa: F401 - the comparison the conformance tests use

# The order of MatchingParams' pickled state, which the case files follow.
PARAM_ORDER = (
    "peakmethod_", "ref_cellsize_", "srch_cellsize_", "corrtype_", "maxdiff_", "mincorr_",
    "start_row_", "start_col_", "srch_xll_", "srch_yll_", "ref_xll_", "ref_yll_",
    "chipwidth_", "chipheight_", "hoffset_", "voffset_", "row_interval_", "col_interval_",
    "row_offset_", "col_offset_",
)
INT_PARAMS = {"peakmethod_", "corrtype_", "start_row_", "start_col_", "chipwidth_", "chipheight_",
              "hoffset_", "voffset_", "row_interval_", "col_interval_", "row_offset_", "col_offset_"}
RESULT_FIELDS = ("active", "length", "strength", "displacement", "rms_1", "rms_2", "x1", "y1", "x2", "y2")


ROOT = Path(__file__).resolve().parents[1]
# Skip reasons that start with this name absent test data; with CI set they fail the run (conftest).
MISSING_DATA = "missing test data"
MISSING_VECTORS = (f"{MISSING_DATA}: no conformance vectors (expected.tsv) in {ROOT.parent / 'shared' / 'conformance'} "
                   "beside the checkout; put them there or name their folder in TALMEK_CONFORMANCE")


def conformance_dir() -> Path | None:
    """The vectors live in the shared folder beside the checkout (or where TALMEK_CONFORMANCE says)."""
    env = os.environ.get("TALMEK_CONFORMANCE")
    candidates = [Path(env)] if env else []
    candidates += [ROOT.parent / "shared" / "conformance", ROOT / "conformance"]
    for c in candidates:
        if (c / "expected.tsv").is_file():
            return c
    return None


def parse_real(text: str) -> float:
    # float.fromhex would read a decimal "22.9" as hexadecimal.
    return float.fromhex(text) if "x" in text.lower() else float(text)


@dataclass
class Case:
    name: str
    image1: np.ndarray
    image2: np.ndarray
    row: list[int]
    col: list[int]
    params: dict[str, float | int]
    expected: dict[str, float | int] = field(default_factory=dict)
    trace: dict[str, list[str]] = field(default_factory=dict)

    def matching_params(self, module):
        p = module.MatchingParams()
        for name, value in self.params.items():
            setattr(p, name, value)
        return p

    def state(self) -> tuple:
        return tuple(self.params[name] for name in PARAM_ORDER)


def read_case(path: Path) -> Case:
    raw = path.read_bytes()
    head, data = raw.split(b"\nDATA\n", 1)
    lines = head.decode().splitlines()
    assert lines[0] == "TALMEK-CASE 1", path
    fields = {ln.split()[0]: ln.split()[1:] for ln in lines[1:]}
    r1, c1 = map(int, fields["image1"])
    r2, c2 = map(int, fields["image2"])
    buf = np.frombuffer(data, dtype=np.uint8)
    assert buf.size == r1 * c1 + r2 * c2, path
    image1 = buf[: r1 * c1].reshape(r1, c1).copy()
    image2 = buf[r1 * c1:].reshape(r2, c2).copy()
    row = [int(v) for v in fields["row"][1:]]
    col = [int(v) for v in fields["col"][1:]]
    values = fields["params"]
    params = {name: (int(v) if name in INT_PARAMS else parse_real(v)) for name, v in zip(PARAM_ORDER, values)}
    return Case(path.stem, image1, image2, row, col, params)


def read_expected(folder: Path) -> dict[str, dict]:
    out = {}
    lines = (folder / "expected.tsv").read_text().splitlines()
    header = lines[0].split("\t")
    for line in lines[1:]:
        cells = dict(zip(header, line.split("\t")))
        row = {"active": int(cells["active"])}
        for name in RESULT_FIELDS[1:]:
            row[name] = math.nan if cells[name] == "nan" else float.fromhex(cells[name])
        row["no_solution_lines"] = int(cells["no_solution_lines"])
        row["error_line"] = int(cells["error_line"])
        out[Path(cells["case"]).stem] = row
    return out


def read_trace(path: Path) -> dict[str, list[str]]:
    """Trace lines keyed by their tag; `cand` lines are gathered under 'cand' in order."""
    trace: dict[str, list[str]] = {}
    if not path.is_file():
        return trace
    for line in path.read_text().splitlines():
        parts = line.split()
        if not parts or parts[0] != "DUMP":
            continue
        tag = parts[1]
        if tag == "cand":
            trace.setdefault("cand", []).append(" ".join(parts[2:]))
        else:
            trace[tag] = parts[2:]
    return trace


def load_cases() -> list[Case]:
    folder = conformance_dir()
    if folder is None:
        return []
    expected = read_expected(folder)
    cases = []
    for path in sorted((folder / "cases").glob("*.case")):
        case = read_case(path)
        case.expected = expected[case.name]
        case.trace = read_trace(folder / "traces" / (path.stem + ".trace"))
        cases.append(case)
    return cases


def keyed(values: list[str]) -> dict[str, str]:
    """'a=1 b=2' style trace items as a mapping."""
    return dict(v.split("=", 1) for v in values if "=" in v)
