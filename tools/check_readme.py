#!/usr/bin/env python3
"""Runs the README's examples against the installed Talmek, on a synthetic pair with a known shift.

Every ```python block of README.md runs in order in one namespace that holds the names the
examples use (image1, image2, row1, row2, col1, col2, points1, points2); with --cli every
`talmek-track` command of the README's shell blocks runs too, `talmek-track stack` included, on
input files written for it under the names it gives (patterns such as scenes/*.tif stand for a few
dated images); a running cluster that a command names (--scheduler) is stood in for by one started
here. Run it from outside the source tree so that the installed package is what gets imported.
Exit status 0 means every example ran and found the shift.
"""
from __future__ import annotations

import argparse
import contextlib
import csv
import dataclasses
import glob
import importlib.util
import io
import shlex
import subprocess
import sys
import tempfile
from datetime import date, timedelta
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
SHIFT = (2, 3)  # rows down, columns right: where image1's features lie in image2


def synthetic_module():
    """The tests' synthetic ground (tests/synthetic.py), loaded alone: nothing else of the source
    tree becomes importable, so Talmek still comes from the installation."""
    spec = importlib.util.spec_from_file_location("synthetic", ROOT / "tests" / "synthetic.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def blocks(text: str, *languages: str) -> list[str]:
    """The bodies of the fenced blocks in the given languages ("" for blocks without one), in the
    order of the text."""
    found, lang, body = [], None, []
    for line in text.splitlines():
        if lang is None and line.startswith("```"):
            lang, body = line[3:].strip(), []
        elif lang is not None and line.strip() == "```":
            if lang in languages:
                found.append("\n".join(body) + "\n")
            lang = None
        elif lang is not None:
            body.append(line)
    return found


def check(condition: bool, what: str) -> None:
    if not condition:
        raise SystemExit(f"README example failed: {what}")


def run_python(readme: str, image1: np.ndarray, image2: np.ndarray) -> None:
    r, c = 120, 140
    points1 = np.array([[r, c], [200, 200], [100, 260]], np.int32)
    scope: dict = {
        "image1": image1, "image2": image2, "row1": r, "row2": r, "col1": c, "col2": c,
        "points1": points1, "points2": points1.copy(),
    }
    code = blocks(readme, "python")
    check(len(code) >= 2, "the README holds fewer than two Python examples")
    for n, source in enumerate(code, 1):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(source, f"README.md python example {n}", "exec"), scope)
        print(f"python example {n}: ran, {len(out.getvalue().splitlines())} lines printed")
    dr, dc = SHIFT
    seg = scope["seg"]
    check(seg.active == 1, f"SelectedMatch status {seg.active}, not 1")
    # Map y grows upwards: a shift down the rows lowers y.
    check(abs(seg.x2 - seg.x1 - dc) < 0.05 and abs(seg.y2 - seg.y1 + dr) < 0.05,
          f"SelectedMatch moved by ({seg.x2 - seg.x1}, {seg.y2 - seg.y1}), not ({dc}, {-dr})")
    records = scope["records"]
    check(bool((records["active"] == 1).all()), f"match_points statuses {records['active']}")
    grid = scope["grid"]
    ok = grid.status == 1
    check(ok.sum() > 10, f"match_grid accepted only {ok.sum()} points")
    check(abs(np.median(grid.dx[ok]) - dc) < 0.05 and abs(np.median(grid.dy[ok]) - dr) < 0.05,
          "match_grid's median shift is wrong")
    print(f"python examples: shift found, {int(ok.sum())} of {ok.size} grid points accepted")


# Modules that README commands need beyond the cli extra, by the output formats they ask for.
FORMAT_NEEDS = {"tif": ("rasterio",), "nc": ("xarray", "rioxarray", "netCDF4"), "gpkg": ("pyogrio",)}
# Options that take no value; every other option takes one (as --opt VALUE or --opt=VALUE).
FLAGS = {"--dask", "--no-plot", "--quiet", "--version", "-h", "--help"}
INFO = ("--version", "-h", "--help")  # options that only print
# Fenced blocks whose lines are shell commands.
SHELL_BLOCKS = ("", "sh", "bash", "shell", "console")
STACK_SIZE = 3  # images written for each pattern of a stack (scenes/*.tif), 10 days apart
EXTRAS = "talmek[cli,geo,xarray,dask]"


def commands(readme: str) -> list[str]:
    """The talmek-track command lines of the README's shell blocks, continuation lines joined."""
    found = []
    for block in blocks(readme, *SHELL_BLOCKS):
        for line in block.replace("\\\n", " ").splitlines():
            if line.startswith("talmek-track "):
                found.append(" ".join(line.split()))
    return found


@dataclasses.dataclass
class Command:
    """A talmek-track command line taken apart: the subcommand (stack) if any, the image operands
    as written (patterns included) and the options by name."""

    stack: bool
    images: list[str]
    options: dict[str, str | bool]


def parse(args: list[str]) -> Command:
    stack = bool(args) and args[0] == "stack"
    images: list[str] = []
    options: dict[str, str | bool] = {}
    rest = iter(args[1:] if stack else args)
    for arg in rest:
        if arg == "--":
            images += rest
        elif arg.startswith("-") and len(arg) > 1:
            name, eq, value = arg.partition("=")
            options[name] = value if eq else True if name in FLAGS else next(rest, "")
        else:
            images.append(arg)
    return Command(stack, images, options)


def missing_modules(command: Command) -> list[str]:
    needed: list[str] = []
    formats = command.options.get("--format")
    if isinstance(formats, str):
        for name in formats.split(","):
            needed += FORMAT_NEEDS.get(name, ())
    if any(o in command.options for o in ("--dask", "--workers", "--scheduler")):
        needed.append("distributed")
    if command.stack or "--dates" in command.options:
        needed.append("rasterio")  # dates in GeoTIFF tags, and stacks are of GeoTIFFs
    return [m for m in dict.fromkeys(needed) if importlib.util.find_spec(m) is None]


def write_image(path: Path, image: np.ndarray, date: str | None = None) -> None:
    """A GeoTIFF with a made-up georeference (and the acquisition date, if given) where rasterio is
    installed, else a plain file."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.suffix == ".tif":
        try:
            import rasterio
            from rasterio.transform import from_origin
        except ImportError:
            pass
        else:
            with rasterio.open(path, "w", driver="GTiff", width=image.shape[1], height=image.shape[0],
                               count=1, dtype="uint8", crs="EPSG:32633",
                               transform=from_origin(450000.0, 8700000.0, 10.0, 10.0)) as ds:
                ds.write(image, 1)
                if date:
                    ds.update_tags(ACQUISITION_DATE=date)
            return
    import imageio.v3 as iio

    iio.imwrite(path, image)


def write_inputs(folder: Path, command: Command, image1: np.ndarray) -> list[str]:
    """Writes the command's images (and mask) into folder and returns the images' names: for each
    pattern of a stack (scenes/*.tif) STACK_SIZE files that it matches. The images of a pair are
    image1 and image1 moved by SHIFT; those of a stack move by SHIFT from each to the next and are
    dated 10 days apart."""
    if command.stack:
        names = []
        for pattern in command.images:
            if glob.has_magic(pattern):
                names += [pattern.replace("*", f"scene_{k}", 1).replace("?", "x") for k in range(STACK_SIZE)]
            else:
                names.append(pattern)
    else:
        check(len(command.images) == 2, f"expected two images, got {command.images}")
        names = command.images
    start = date(2024, 7, 1)
    for k, name in enumerate(names):
        moved = np.roll(image1, (k * SHIFT[0], k * SHIFT[1]), axis=(0, 1))
        when = (start + timedelta(days=10 * k)).isoformat() if command.stack else None
        write_image(folder / name, moved, when)
    mask = command.options.get("--stable")
    if isinstance(mask, str):  # a mask of stable ground: the image's left half
        stable = np.zeros_like(image1)
        stable[:, : image1.shape[1] // 2] = 1
        write_image(folder / mask, stable)
    return names


def expand(args: list[str], folder: Path) -> list[str]:
    """args with every pattern that matches files in folder replaced by those files, sorted."""
    out = []
    for arg in args:
        found = sorted(glob.glob(arg, root_dir=folder)) if glob.has_magic(arg) else []
        out += found or [arg]
    return out


def check_outputs(line: str, folder: Path, command: Command) -> None:
    out = command.options.get("-o", command.options.get("--output"))
    check(isinstance(out, str), f"{line}: no output folder (-o)")
    out = folder / str(out)
    if not command.stack:
        check((out / "vectors.csv").is_file(), f"{line}: no vectors.csv written")
        return
    index = out / "pairs.csv"
    check(index.is_file(), f"{line}: no pairs.csv written")
    with index.open(newline="") as f:
        pairs = [row["folder"] for row in csv.DictReader(f)]
    check(bool(pairs), f"{line}: pairs.csv lists no pair")
    lost = [p for p in pairs if not (out / p / "vectors.csv").is_file()]
    check(not lost, f"{line}: no vectors.csv in {', '.join(lost)}")


@contextlib.contextmanager
def scheduler_for(folder: Path, command: Command):
    """For --scheduler ADDRESS: a cluster of this process's threads listening on a local address
    that stands in for ADDRESS, working in folder (where the images are). Yields the address to
    give, or None without --scheduler."""
    if not isinstance(command.options.get("--scheduler"), str):
        yield None
        return
    from distributed import LocalCluster

    with contextlib.chdir(folder), LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                                protocol="tcp://", host="127.0.0.1",
                                                dashboard_address=None) as cluster:
        yield cluster.scheduler_address


def run_commands(readme: str, image1: np.ndarray, allow_missing: bool) -> None:
    folder = Path(sys.executable).parent
    exe = next((folder / n for n in ("talmek-track", "talmek-track.exe") if (folder / n).exists()), None)
    check(exe is not None, f"no talmek-track command beside {sys.executable}")
    lines = commands(readme)
    check(bool(lines), "the README holds no talmek-track command")
    for line in lines:
        args = shlex.split(line, comments=True)[1:]
        command = parse(args)
        if not any(o in command.options for o in ("-o", "--output", *INFO)):
            # Every run names its output folder: this is a line of a table or of text.
            print(f"not a command (no -o): {line}")
            continue
        missing = missing_modules(command)
        if missing:
            check(allow_missing, f"{line}\nneeds {', '.join(missing)}: install {EXTRAS}")
            print(f"command NOT run (no {', '.join(missing)} here): {line}")
            continue
        with tempfile.TemporaryDirectory() as name:
            tmp = Path(name)
            write_inputs(tmp, command, image1)
            args = expand(args, tmp)
            with scheduler_for(tmp, command) as address:
                if address is not None:
                    given = command.options["--scheduler"]
                    args = [address if a == given else f"--scheduler={address}" if a == f"--scheduler={given}"
                            else a for a in args]
                res = subprocess.run([str(exe), *args], cwd=tmp, capture_output=True, text=True, timeout=600)
            check(res.returncode == 0, f"{line}\n{res.stdout}{res.stderr}")
            if not any(o in command.options for o in INFO):
                check_outputs(line, tmp, command)
            print(f"command ran: {line}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", action="store_true",
                        help=f"also run the talmek-track commands (needs {EXTRAS})")
    parser.add_argument("--allow-missing", action="store_true",
                        help="with --cli, name and pass over commands whose output formats need packages "
                        "that are not installed, instead of failing")
    args = parser.parse_args()
    import Talmek

    print(f"Talmek {Talmek.__version__} from {Talmek.__file__}")
    image1 = synthetic_module().textured(400, 400, seed=3)
    image2 = np.roll(image1, SHIFT, axis=(0, 1))
    readme = README.read_text(encoding="utf-8")
    run_python(readme, image1, image2)
    if args.cli:
        run_commands(readme, image1, args.allow_missing)
    print("README examples: all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
