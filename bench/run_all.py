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
# The engine's own figures first, then whole matches, then the peers.
PREFERRED = ["bench_engine.py", "bench_match.py", "compare.py"]


def scripts() -> list[str]:
    found = sorted(f for f in os.listdir(HERE) if f.endswith(".py") and f != os.path.basename(__file__)
                   and (f.startswith("bench_") or f in PREFERRED))
    return [f for f in PREFERRED if f in found] + [f for f in found if f not in PREFERRED]


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
