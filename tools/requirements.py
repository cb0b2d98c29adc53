#!/usr/bin/env python3
"""Prints requirements read from pyproject.toml, one a line, for `pip install -r /dev/stdin`.

    requirements.py build        the build backend, CMake and Ninja, and what else the backend
                                 asks for on this machine
    requirements.py EXTRA ...    the run-time dependencies and those of the named extras
                                 (separated by spaces or commas)
"""
import os
import sys
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main(args: list[str]) -> int:
    os.chdir(ROOT)
    meta = tomllib.loads((ROOT / "pyproject.toml").read_text())
    if args == ["build"]:
        wanted = list(meta["build-system"]["requires"])
        # CMake and Ninja always come from the environment's own packages, never from the machine,
        # in the versions the build settings ask for.
        settings = meta.get("tool", {}).get("scikit-build", {})
        for tool in ("cmake", "ninja"):
            wanted.append(tool + settings.get(tool, {}).get("version", ""))
        try:
            # Once the backend is installed it names what else it needs here (CMake, Ninja), as it
            # would inside an isolated build.
            from scikit_build_core.build import get_requires_for_build_wheel
        except ImportError:
            pass
        else:
            wanted += get_requires_for_build_wheel()
    else:
        args = [name for arg in args for name in arg.split(",") if name]
        extras = meta["project"].get("optional-dependencies", {})
        unknown = [a for a in args if a not in extras]
        if unknown:
            print(f"error: no extra named {', '.join(unknown)} in pyproject.toml", file=sys.stderr)
            return 2
        wanted = list(meta["project"].get("dependencies", []))
        for name in args:
            wanted += extras[name]
    print("\n".join(dict.fromkeys(wanted)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
