#!/usr/bin/env python3
"""Runs the README's examples against the installed Talmek, on a synthetic pair with a known shift.

Every ```python block of README.md runs in order in one namespace that holds the names the
examples use (image1, image2, row1, row2, col1, col2, points1, points2); with --cli every
`talmek-track` command of the README runs too, on input files written for it. Run it from outside
the source tree so that the installed package is what gets imported. Exit status 0 means every
example ran and found the shift.
"""
from __future__ import annotations

import argparse
import contextlib
import io
import shlex
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

README = Path(__file__).resolve().parents[1] / "README.md"
SHIFT = (2, 3)  # rows down, columns right: where image1's features lie in image2


def textured(rows: int, cols: int, seed: int = 3) -> np.ndarray:
    """Smoothed noise, stretched over 0..255."""
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal((rows, cols))
    fy = np.fft.fftfreq(rows)[:, None]
    fx = np.fft.fftfreq(cols)[None, :]
    smooth = np.fft.ifft2(np.fft.fft2(noise) * np.exp(-(fx**2 + fy**2) * 2 * (np.pi * 2.0) ** 2)).real
    smooth -= smooth.min()
    return np.round(smooth / smooth.max() * 255).astype(np.uint8)


def blocks(text: str, language: str) -> list[str]:
    """The bodies of the fenced blocks in the given language ("" for blocks without one)."""
    found, lang, body = [], None, []
    for line in text.splitlines():
        if lang is None and line.startswith("```"):
            lang, body = line[3:].strip(), []
        elif lang is not None and line.strip() == "```":
            if lang == language:
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


def commands(readme: str) -> list[str]:
    """The talmek-track command lines of the README, continuation lines joined."""
    found = []
    for block in blocks(readme, ""):
        for line in block.replace("\\\n", " ").splitlines():
            if line.startswith("talmek-track "):
                found.append(" ".join(line.split()))
    return found


def write_image(path: Path, image: np.ndarray) -> None:
    """A GeoTIFF with a made-up georeference where rasterio is installed, else a plain file."""
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
            return
    import imageio.v3 as iio

    iio.imwrite(path, image)


def missing_modules(args: list[str]) -> list[str]:
    import importlib.util

    needed: list[str] = []
    if "--format" in args:
        for name in args[args.index("--format") + 1].split(","):
            needed += FORMAT_NEEDS.get(name, ())
    return [m for m in dict.fromkeys(needed) if importlib.util.find_spec(m) is None]


def run_commands(readme: str, image1: np.ndarray, image2: np.ndarray, allow_missing: bool) -> None:
    folder = Path(sys.executable).parent
    exe = next((folder / n for n in ("talmek-track", "talmek-track.exe") if (folder / n).exists()), None)
    check(exe is not None, f"no talmek-track command beside {sys.executable}")
    lines = commands(readme)
    check(bool(lines), "the README holds no talmek-track command")
    for line in lines:
        args = shlex.split(line)[1:]
        missing = missing_modules(args)
        if missing:
            check(allow_missing, f"{line}\nneeds {', '.join(missing)}: install talmek[cli,geo,xarray]")
            print(f"command NOT run (no {', '.join(missing)} here): {line}")
            continue
        with tempfile.TemporaryDirectory() as tmp:
            for path, image in zip(args[:2], (image1, image2)):
                write_image(Path(tmp, path), image)
            if "--stable" in args:  # a mask of stable ground: the image's left half
                mask = np.zeros_like(image1)
                mask[:, : image1.shape[1] // 2] = 1
                write_image(Path(tmp, args[args.index("--stable") + 1]), mask)
            res = subprocess.run([str(exe), *args], cwd=tmp, capture_output=True, text=True, timeout=600)
            check(res.returncode == 0, f"{line}\n{res.stdout}{res.stderr}")
            out = Path(tmp, args[args.index("-o") + 1])
            check((out / "vectors.csv").is_file(), f"{line}: no vectors.csv written")
            print(f"command ran: {line}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", action="store_true",
                        help="also run the talmek-track commands (needs talmek[cli,geo,xarray])")
    parser.add_argument("--allow-missing", action="store_true",
                        help="with --cli, name and pass over commands whose output formats need packages "
                        "that are not installed, instead of failing")
    args = parser.parse_args()
    import Talmek

    print(f"Talmek {Talmek.__version__} from {Talmek.__file__}")
    image1 = textured(400, 400)
    image2 = np.roll(image1, SHIFT, axis=(0, 1))
    readme = README.read_text(encoding="utf-8")
    run_python(readme, image1, image2)
    if args.cli:
        run_commands(readme, image1, image2, args.allow_missing)
    print("README examples: all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
