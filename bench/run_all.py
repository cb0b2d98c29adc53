#!/usr/bin/env python3
"""Run the benchmark scripts of this folder (bench_*.py, then compare.py) one after another.

Each script runs in its own process so that one script's imports, caches and memory do not colour
the next one's timings. A script that fails does not stop the others; the exit status says whether
all of them ran through.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The engine's own figures first, then whole matches, any other bench_*.py, and the peers last.
FIRST = ["bench_engine.py", "bench_match.py"]
LAST = "compare.py"


def scripts() -> list[str]:
    names = os.listdir(HERE)
    others = sorted(f for f in names if f.startswith("bench_") and f.endswith(".py") and f not in FIRST)
    return [f for f in FIRST if f in names] + others + ([LAST] if LAST in names else [])


def main() -> int:
    failed = []
    for name in scripts():
        print(f"\n===== {name} =====", flush=True)
        t0 = time.perf_counter()
        rc = subprocess.call([sys.executable, os.path.join(HERE, name)])
        print(f"===== {name}: {'ok' if rc == 0 else f'exit status {rc}'} after {time.perf_counter() - t0:.0f} s =====",
              flush=True)
        if rc != 0:
            failed.append(name)
    if failed:
        print("failed: " + ", ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
