"""The processor a benchmark ran on, and the transform plans the engine chose on it.

Imported by the benchmark scripts so that every figure they print comes with the model, the
vector extensions, the level-2 cache and the planner's schedule per transform size.
"""

from __future__ import annotations

import os
import platform
from pathlib import Path

VECTOR_FLAGS = ["sse2", "avx", "avx2", "fma", "avx512f", "avx512bw", "avx512vl", "neon", "asimd", "sve"]


def _cpuinfo() -> dict[str, str]:
    info: dict[str, str] = {}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            key, _, value = line.partition(":")
            key = key.strip()
            if key and key not in info:
                info[key] = value.strip()
            if not line.strip() and info:
                break  # the first processor is enough
    except OSError:
        pass
    return info


def _cache(level: int) -> str:
    """Size of the level-`level` data or unified cache of CPU 0, as sysfs gives it ("1024K")."""
    base = Path("/sys/devices/system/cpu/cpu0/cache")
    try:
        for index in sorted(base.glob("index*")):
            kind = (index / "type").read_text().strip()
            if int((index / "level").read_text()) == level and kind in ("Data", "Unified"):
                return (index / "size").read_text().strip()
    except (OSError, ValueError):
        pass
    return "?"


def processor() -> str:
    info = _cpuinfo()
    model = info.get("model name") or platform.processor() or platform.machine()
    flags = set((info.get("flags") or info.get("Features") or "").split())
    vectors = [f for f in VECTOR_FLAGS if f in flags]
    family = f", family {info['cpu family']} model {info['model']}" if "cpu family" in info else ""
    return (f"{model}{family}; {os.cpu_count()} cores; vector extensions: {' '.join(vectors) or 'unknown'}; "
            f"L1d {_cache(1)}, L2 {_cache(2)} per core")


def transform_plans() -> str:
    """The kernel build and, per transform size, the schedule the planner chose (forward/inverse)."""
    try:
        import _talmek_testsupport as engine
    except ImportError:
        return "transform plans: not available (no test-support module)"
    parts = []
    kernel = "?"
    for n in (64, 128, 256):
        forward, inverse = engine.transform_plan(n, 1), engine.transform_plan(n, -1)
        kernel = forward["kernel"]
        parts.append(f"{n}: {forward['schedule']}/{inverse['schedule']}")
    forced = engine.forced_fft()
    kernel_note = " (forced)" if forced["kernel"] else ""
    how = "forced" if forced["schedule"] else "chosen by timing at first use"
    return f"transform kernel {kernel}{kernel_note}; schedules (forward/inverse) {', '.join(parts)}; {how}"


def describe() -> str:
    return f"processor: {processor()}\n{transform_plans()}"


if __name__ == "__main__":
    print(describe())
