#!/usr/bin/env python3
"""A cache model of one match on a processor that is not at hand: counts per match under cachegrind.

The engine's correlation and peak search (`correlate_and_locate`, what SelectedMatch runs after
extracting the chips) run in a small native driver built here from the engine's sources with the
release flags (-O3, no FMA contraction), under valgrind's cachegrind with a simulated level-1 data
cache and last-level cache. The last level stands for the processor's level-2 cache: an access
that misses it is one that such a processor serves from its level-3 cache or memory. Valgrind has
no AVX-512, so the AVX2 kernel build is what runs, forced as well.

For each chip size (32/48, 64/96, 128/168), each schedule forced and the planner's own choice,
and each modelled level-2 size (512 KB, an AMD Zen 3 core's; 1 MB, a Zen 4 core's), two runs of
the driver: one warm-up match and then K matches, and the same with no matches after the warm-up.
Their difference over K is the cost per match, set-up, the planner's timing and the first match's
allocations left out: instructions, level-1 data misses and level-2 misses (data and
instructions). The driver reports the modelled cache sizes to the engine (its sysconf answers
them), so that strips sized from the caches take the widths they would take on that processor.

What the model is not: cachegrind simulates no hardware prefetcher and no timing. Its level-2
misses are demand misses of cache lines; on the processor a stream of consecutive lines is
mostly fetched ahead, so a miss costs between a fraction of a level-3 hit (a prefetched stream)
and a whole one (a line nobody predicted). Matches run back to back on the same workspace, as a
loop over points does when nothing else runs between them.

With --native, only the driver's own timing on this processor instead: CPU time per match with
each schedule forced and the planner's choice, interleaved, median of --rounds rounds.

Not part of `make bench`; it takes 10-20 minutes on two loaded cores (valgrind runs ~50x slower).
With --smoke, the model of one match of 32/48 chips with the planner's schedule and a 512 KB level
2, then the native timing of one round: the script's whole path in a few seconds once the driver
is built.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
from machine import processor  # noqa: E402

SIZES = [(32, 48), (64, 96), (128, 168)]
SCHEDULES = ["rows", "pairs", "strips_l1", "strips_l2", "planned"]
CACHES = {"512K": 512 * 1024, "1M": 1024 * 1024}
L1D = 32 * 1024

DRIVER = r"""
// Runs correlate_and_locate on chips cut from one textured image: `warm` matches, then `matches`
// more, each on the next of 16 chip pairs; or, with --time, CPU time per match of every schedule.
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/fft_fast.h"
#include "engine/pipeline.h"
#include "engine/workspace.h"

// The cache sizes the engine sizes its strips by: those of the modelled processor when given.
static long modelled_l1 = 0;
static long modelled_l2 = 0;
extern "C" long sysconf(int name) {
    if (name == _SC_LEVEL1_DCACHE_SIZE && modelled_l1 > 0) return modelled_l1;
    if (name == _SC_LEVEL2_CACHE_SIZE && modelled_l2 > 0) return modelled_l2;
    using Real = long (*)(int);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "sysconf"));
    return real(name);
}

using namespace talmek;

namespace {

constexpr int kPairs = 16;
constexpr int kSide = 600;

struct Chips {
    std::vector<float> search;
    std::vector<float> ref;
};

// A textured image (sums of a random field over 3x3 cells) and, for each pair, the search chip
// around a point and the reference chip from the same image moved by (1, -2) pixels.
std::vector<Chips> make_chips(int ref, int search) {
    std::vector<float> noise(static_cast<std::size_t>(kSide) * kSide);
    unsigned state = 12345u;
    for (float& v : noise) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<float>(state >> 24);
    }
    std::vector<float> image(noise.size(), 0.0f);
    for (int y = 1; y < kSide - 1; ++y) {
        for (int x = 1; x < kSide - 1; ++x) {
            float s = 0.0f;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) s += noise[static_cast<std::size_t>(y + dy) * kSide + x + dx];
            }
            image[static_cast<std::size_t>(y) * kSide + x] = s / 9.0f;
        }
    }
    std::vector<Chips> out(kPairs);
    for (int k = 0; k < kPairs; ++k) {
        const int cy = 150 + (k * 37) % 300;
        const int cx = 150 + (k * 83) % 300;
        Chips& c = out[static_cast<std::size_t>(k)];
        c.search.resize(static_cast<std::size_t>(search) * search);
        c.ref.resize(static_cast<std::size_t>(ref) * ref);
        for (int y = 0; y < search; ++y) {
            for (int x = 0; x < search; ++x) {
                c.search[static_cast<std::size_t>(y) * search + x] =
                    image[static_cast<std::size_t>(cy - search / 2 + y) * kSide + cx - search / 2 + x];
            }
        }
        for (int y = 0; y < ref; ++y) {
            for (int x = 0; x < ref; ++x) {
                c.ref[static_cast<std::size_t>(y) * ref + x] =
                    image[static_cast<std::size_t>(cy + 1 - ref / 2 + y) * kSide + cx - 2 - ref / 2 + x];
            }
        }
    }
    return out;
}

double cpu_us() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) * 1e-3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 9) {
        std::fprintf(stderr, "usage: driver REF SEARCH SCHEDULE|--time KERNEL WARM MATCHES L1 L2\n");
        return 2;
    }
    const int ref = std::atoi(argv[1]);
    const int search = std::atoi(argv[2]);
    const std::string schedule = argv[3];
    const std::optional<Kernel> kernel = kernel_named(argv[4]);
    const int warm = std::atoi(argv[5]);
    const int matches = std::atoi(argv[6]);
    modelled_l1 = std::atol(argv[7]);
    modelled_l2 = std::atol(argv[8]);
    if (!kernel || !kernel_supported(*kernel)) {
        std::fprintf(stderr, "kernel %s does not run here\n", argv[4]);
        return 2;
    }
    const std::vector<Chips> chips = make_chips(ref, search);
    const float margin = static_cast<float>(search - ref) / 2;
    const PeakSettings settings{0.0f, 2, -2.0f};
    Workspace work;
    int accepted = 0;
    const auto match = [&](int k) {
        const Chips& c = chips[static_cast<std::size_t>(k % kPairs)];
        const ChipPair pair{c.search.data(), c.ref.data(), {static_cast<float>(search), static_cast<float>(search)},
                            {static_cast<float>(ref), static_cast<float>(ref)}};
        Location loc;
        correlate_and_locate(pair, settings, {margin, margin}, loc, work);
        accepted += loc.status == 1;
    };
    const auto force = [&](const std::string& name) {
        detail::force_fft(kernel, name == "planned" ? std::nullopt : schedule_named(name));
    };
    const std::int32_t n = grid_size(search, search);
    if (schedule == "--time") {
        // Every schedule and the planner's choice in turn, `matches` matches each per round, the
        // order rotating from round to round; the median per match of `warm` rounds.
        const char* names[] = {"rows", "pairs", "strips_l1", "strips_l2", "planned"};
        constexpr int kinds = 5;
        std::vector<std::vector<double>> times(kinds);
        for (int s = 0; s < kinds; ++s) {
            force(names[s]);
            match(0);
        }
        for (int round = 0; round < warm; ++round) {
            for (int i = 0; i < kinds; ++i) {
                const int s = (i + round) % kinds;
                force(names[s]);
                const double start = cpu_us();
                for (int k = 0; k < matches; ++k) match(k);
                times[static_cast<std::size_t>(s)].push_back((cpu_us() - start) / matches);
            }
        }
        for (int s = 0; s < kinds; ++s) {
            std::vector<double>& t = times[static_cast<std::size_t>(s)];
            std::nth_element(t.begin(), t.begin() + t.size() / 2, t.end());
            std::printf("time %s %.2f\n", names[s], t[t.size() / 2]);
        }
    } else {
        if (schedule != "planned" && !schedule_named(schedule)) {
            std::fprintf(stderr, "no schedule %s\n", schedule.c_str());
            return 2;
        }
        force(schedule);
        for (int k = 0; k < warm; ++k) match(k);
        for (int k = 0; k < matches; ++k) match(warm + k);
    }
    // The schedule each direction ran (the planner's where none was forced) and its strip width.
    for (const int sign : {1, -1}) {
        const TransformPlan& plan = TransformPlan::get(n, sign, *kernel);
        const std::optional<Schedule> forced = schedule_named(schedule);
        const Schedule runs = forced ? *forced : plan.schedule();
        std::printf("plan %d %+d %s %d\n", n, sign, schedule_name(runs), strip_width(runs, n));
    }
    std::printf("accepted %d\n", accepted);
    return 0;
}
"""

SOURCES = ["src/engine/" + name for name in (
    "chip.cpp", "fft_fast.cpp", "fft_plan.cpp", "linear_solver.cpp", "log_float.cpp", "correlation.cpp", "peak.cpp",
    "subpixel_fit.cpp", "twiddle_sine.cpp", "pipeline.cpp", "workspace.cpp")] + [
    "src/records/line_seg.cpp", "src/records/image_rows.cpp"]


def build(out: pathlib.Path) -> pathlib.Path:
    """The driver, compiled with the release build's flags; rebuilt when a source is newer."""
    out.mkdir(parents=True, exist_ok=True)
    driver_src = out / "driver.cpp"
    if not driver_src.exists() or driver_src.read_text() != DRIVER:
        driver_src.write_text(DRIVER)
    exe = out / "driver"
    inputs = [driver_src] + [ROOT / s for s in SOURCES] + list((ROOT / "src/engine").glob("*.h"))
    if exe.exists() and all(p.stat().st_mtime <= exe.stat().st_mtime for p in inputs):
        return exe
    cxx = os.environ.get("CXX", "g++")
    cmd = [cxx, "-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-g", f"-I{ROOT / 'src'}", str(driver_src),
           *(str(ROOT / s) for s in SOURCES), "-o", str(exe), "-ldl", "-lpthread"]
    print("building the driver:", cxx, "-O3 -ffp-contract=off", file=sys.stderr)
    subprocess.run(cmd, check=True)
    return exe


SUMMARY = re.compile(r"^summary:\s+(.*)$", re.M)
EVENTS = re.compile(r"^events:\s+(.*)$", re.M)


def cachegrind(exe: pathlib.Path, args: list[str], ll: int, workdir: pathlib.Path) -> tuple[dict[str, int], str]:
    """One run under cachegrind: its event totals and the driver's output."""
    out_file = workdir / f"cg.{os.getpid()}.out"
    cmd = ["nice", "-n", "10", "valgrind", "--tool=cachegrind", "--cache-sim=yes", f"--D1={L1D},8,64",
           "--I1=32768,8,64", f"--LL={ll},8,64", f"--cachegrind-out-file={out_file}", str(exe), *args]
    done = subprocess.run(cmd, capture_output=True, text=True, check=True)
    text = out_file.read_text()
    out_file.unlink()
    events = EVENTS.search(text)
    summary = SUMMARY.search(text)
    assert events and summary, "no summary in cachegrind's output"
    return dict(zip(events.group(1).split(), map(int, summary.group(1).split()))), done.stdout


def plans(output: str) -> str:
    """The schedules that ran and their strip widths, from the driver's plan lines: forward/inverse."""
    found = re.findall(r"^plan (\d+) ([+-]1) (\S+) (\d+)$", output, re.M)
    return " / ".join(f"{s} {w}" for _, _, s, w in found)


def model(exe: pathlib.Path, sizes: list[tuple[int, int]], schedules: list[str], caches: list[str],
          matches: int) -> None:
    print(f"cachegrind model: D1 {L1D // 1024} KB 8-way, level 2 as the last level (8-way, 64-byte lines), "
          "AVX2 kernel, counts per match")
    print(f"host: {processor()}; matches per run {matches}, less a run without; "
          "'planned': the planner's choice from its timing under valgrind")
    print(f"{'chips':>8s} {'schedule':>10s} {'L2':>5s} {'instr':>11s} {'D1 miss':>9s} {'L2 miss':>9s} "
          f"{'L2 MB':>7s}  ran (forward / inverse: schedule, strip columns)")
    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp)
        for ref, search in sizes:
            for schedule in schedules:
                for cache in caches:
                    ll = CACHES[cache]
                    base = [str(ref), str(search), schedule, "avx2", "1"]
                    sizes_seen = [str(L1D), str(ll)]
                    full, out = cachegrind(exe, base + [str(matches)] + sizes_seen, ll, work)
                    empty, _ = cachegrind(exe, base + ["0"] + sizes_seen, ll, work)
                    per = {k: (full[k] - empty[k]) / matches for k in full}
                    d1 = per["D1mr"] + per["D1mw"]
                    l2 = per["DLmr"] + per["DLmw"] + per["ILmr"]
                    print(f"{ref:>3d}/{search:<4d} {schedule:>10s} {cache:>5s} {per['Ir']:11,.0f} {d1:9,.0f} "
                          f"{l2:9,.0f} {l2 * 64 / 1e6:7.2f}  {plans(out)}", flush=True)


def native(exe: pathlib.Path, sizes: list[tuple[int, int]], kernel: str, rounds: int, cache: str) -> None:
    print(f"CPU time per match on this processor ({processor()}), {kernel} kernel, "
          f"strips sized for a {cache} level-2 cache; median of {rounds} interleaved rounds (us)")
    print(f"{'chips':>8s} " + "".join(f"{s:>11s}" for s in SCHEDULES) + "  plan")
    for ref, search in sizes:
        per_round = max(2, 4000 // (search * search // 100))
        done = subprocess.run([str(exe), str(ref), str(search), "--time", kernel, str(rounds), str(per_round),
                               str(L1D), str(CACHES[cache])], capture_output=True, text=True, check=True)
        times = dict(re.findall(r"^time (\S+) (\S+)$", done.stdout, re.M))
        print(f"{ref:>3d}/{search:<4d} " + "".join(f"{float(times[s]):11.1f}" for s in SCHEDULES) +
              f"  {plans(done.stdout)}", flush=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--matches", type=int, default=3, help="matches per counted run")
    ap.add_argument("--sizes", default="32/48,64/96,128/168", help="chip sizes, ref/search, comma separated")
    ap.add_argument("--schedules", default=",".join(SCHEDULES), help="schedules to force ('planned': the planner's)")
    ap.add_argument("--caches", default="512K,1M", help="modelled level-2 sizes: 512K, 1M")
    ap.add_argument("--native", action="store_true", help="time the driver on this processor instead")
    ap.add_argument("--kernel", default="avx2", help="kernel build with --native")
    ap.add_argument("--rounds", type=int, default=9, help="rounds with --native")
    ap.add_argument("--build-dir", default=str(ROOT / "build" / "cache_model"))
    ap.add_argument("--smoke", action="store_true", help="one small model and one native round")
    args = ap.parse_args()
    if args.smoke:
        args.matches, args.sizes, args.schedules, args.caches, args.rounds = 1, "32/48", "planned", "512K", 1
    sizes = [tuple(int(v) for v in s.split("/")) for s in args.sizes.split(",")]
    exe = build(pathlib.Path(args.build_dir))
    if args.native:
        return native(exe, sizes, args.kernel, args.rounds, args.caches.split(",")[0])
    if not shutil.which("valgrind"):
        sys.exit("the model needs valgrind (apt-get install valgrind)")
    model(exe, sizes, args.schedules.split(","), args.caches.split(","), args.matches)
    if args.smoke:
        native(exe, sizes, args.kernel, args.rounds, args.caches.split(",")[0])


if __name__ == "__main__":
    main()
