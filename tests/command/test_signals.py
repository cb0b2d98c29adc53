"""SIGINT, SIGTERM and SIGHUP sent to the command in each phase of a run: honoured within about a
second with 128 + the signal's number, and nothing of the run published."""
import random
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

pytestmark = pytest.mark.faults  # the fault-injection suite

tt = pytest.importorskip("talmek_track")
pytest.importorskip("rasterio")
iio = pytest.importorskip("imageio.v3")
pytest.importorskip("matplotlib")
pytest.importorskip("tqdm")
from support import textured  # noqa: E402
from talmek_track.output import publish  # noqa: E402

# Runs the command with one phase made slow. "reading" keeps GDAL reporting errors through
# rasterio's log callback, which drops any exception raised inside it (a signal's too, printed as
# "Exception ignored in: 'rasterio._env.log_error'"); "writing" stalls in a loop that swallows
# every exception. Only the recorded signal and the watchdog can end the run there. "publishing"
# slows each step of the publish; "slow renames" each file kept or renamed (and so its undoing).
# "start-up" enters through the console script's entry point and says so as soon as its start-up
# handlers are in place, before the heavy imports. A line "phase" on stdout says that the phase
# has begun.
DRIVER = textwrap.dedent("""
    import sys, time
    phase, argv = sys.argv[1], sys.argv[2:]
    if phase != "start-up":
        import rasterio
        from talmek_track.output import publish
        from talmek_track.sources import readers
        from talmek_track.output import writers

    def stall(gdal=False):
        print("phase", flush=True)
        end = time.monotonic() + 60
        while time.monotonic() < end:
            try:
                if gdal:
                    with rasterio.Env():
                        rasterio.open("/nonexistent/talmek.tif")
                time.sleep(0.001)
            except BaseException:
                pass

    if phase == "reading":
        real_range = readers.ImageSource.with_range
        def with_range(self, *a, **k):
            stall(gdal=True)
            return real_range(self, *a, **k)
        readers.ImageSource.with_range = with_range
    elif phase == "writing":
        real_csv = writers.WRITERS["csv"]
        def csv(folder, result):
            stall()
            return real_csv(folder, result)
        writers.WRITERS["csv"] = csv
    elif phase == "publishing":
        def hook(what):
            if what == "rename journal":
                print("phase", flush=True)
            time.sleep(0.05)
        publish.step_hook = hook
    elif phase == "slow renames":  # a previous result in OUTDIR; each file kept or renamed slowly
        def hook(what):
            if what.startswith("keep ") and not getattr(hook, "begun", False):
                hook.begun = True
                print("phase", flush=True)
            time.sleep(0.15 if what.split(" ")[0] in ("keep", "rename", "remove", "put", "take") else 0.005)
        publish.step_hook = hook
    elif phase == "start-up":  # the console script's entry point, its handlers just installed
        import talmek_track.interrupts as interrupts
        real_start = interrupts.exit_at_start_up
        def exit_at_start_up(note):
            restore = real_start(note)
            print("phase", flush=True)
            return restore
        interrupts.exit_at_start_up = exit_at_start_up
    elif phase == "dask":
        from talmek_track.matching.backends import dask as dask_backend
        real_groups = dask_backend._run_groups
        def run_groups(*a, **k):
            print("phase", flush=True)
            return real_groups(*a, **k)
        dask_backend._run_groups = run_groups
    elif phase == "matching":
        real_load = __import__("talmek_track.matching.blocks").matching.blocks.load_block
        def load_block(job):
            print("phase", flush=True)
            return real_load(job)
        for module in ("talmek_track.matching.blocks", "talmek_track.matching.backends"):
            setattr(__import__(module, fromlist=["x"]), "load_block", load_block)
    from talmek_track.cli import main  # the console script's entry point
    sys.argv[1:] = argv
    sys.exit(main())
""")


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    folder = tmp_path_factory.mktemp("signals")
    big = textured(900, 900, seed=8)
    iio.imwrite(folder / "a.png", big[:-3, :-2])
    iio.imwrite(folder / "b.png", big[3:, 2:])
    return folder / "a.png", folder / "b.png"


@pytest.mark.parametrize("phase, sig", [
    ("reading", signal.SIGTERM),
    ("matching", signal.SIGINT),
    ("matching", signal.SIGHUP),
    ("matching", signal.SIGTERM),
    ("dask", signal.SIGTERM),
    ("writing", signal.SIGHUP),
    ("publishing", signal.SIGTERM),
    ("publishing", signal.SIGINT),
])
def test_a_signal_in_each_phase(pair, tmp_path, phase, sig):
    if phase == "dask":
        pytest.importorskip("distributed")
    out = tmp_path / "out"
    out.mkdir()
    (out / "vectors.csv").write_text("old")
    slow = phase in ("matching", "dask")
    argv = [*pair, "-o", out, "--chip", "32", "--margin", "8", "--quiet",
            "--step", "2" if slow else "40", "--threads", "1"]
    if phase == "dask":
        argv[-2:] = ["--workers", "1"]
    with subprocess.Popen([sys.executable, "-c", DRIVER, phase, *map(str, argv)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as proc:
        try:
            assert proc.stdout.readline() == "phase\n", proc.stderr.read()
            time.sleep(1.5 if phase == "dask" else 0.5 if slow else 0.05)
            assert proc.poll() is None
            sent = time.monotonic()
            proc.send_signal(sig)
            proc.wait(timeout=30)
            took = time.monotonic() - sent
        finally:
            proc.kill()
        err = proc.stderr.read()
    assert proc.returncode == 128 + sig, err
    assert took < 2.5, took  # the watchdog's grace is 0.8 s; the rest is a loaded machine's slack
    assert "nothing was written" in err and "Traceback" not in err, err
    assert sorted(p.name for p in out.iterdir()) == ["vectors.csv"] and (out / "vectors.csv").read_text() == "old"
    assert publish.repair(out) == []


def test_a_signal_whose_exception_is_swallowed_is_still_honoured(pngs_small):
    from talmek_track import interrupts

    restore = interrupts.install()
    try:
        try:
            signal.raise_signal(signal.SIGTERM)
        except BaseException:  # noqa: BLE001 - what a careless library does
            pass
        with pytest.raises(interrupts.Interrupted) as caught:
            interrupts.check()
        assert caught.value.signum == signal.SIGTERM
    finally:
        restore()


@pytest.fixture
def pngs_small(tmp_path):
    image = textured(80, 90)
    iio.imwrite(tmp_path / "a.png", image)
    iio.imwrite(tmp_path / "b.png", np.roll(image, 1, 0))
    return tmp_path / "a.png", tmp_path / "b.png"


#: Each phase with its flags and how long it lasts once begun (the signal comes at a random moment
#: within it). Under the watchdog's grace (0.8 s) and its bound on a publish at work (0.2 s more),
#: every exit takes at most 1 s; the bound leaves a loaded machine's slack on top.
LATENCY_PHASES = {
    "start-up": 0.6, "reading": 0.5, "matching": 0.8, "writing": 0.5, "slow renames": 1.2,
}
TRIES = 3
BOUND = 1.0 + 0.5


def test_every_signal_in_every_phase_exits_within_a_second(pair, tmp_path):
    from talmek_track.cli import command

    old = tmp_path / "old"
    argv = [*pair, "--chip", "32", "--margin", "8", "--threads", "1", "--quiet"]
    assert command.main([*map(str, argv), "--step", "40", "-o", str(old)]) == 0
    before = {p.name: p.read_bytes() for p in old.iterdir()}
    rng = random.Random(36)
    took: dict[str, list[float]] = {}
    for phase, length in LATENCY_PHASES.items():
        for k in range(TRIES):
            sig = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)[k % 3]
            out = tmp_path / f"{phase}{k}"
            subprocess.run(["cp", "-a", old, out], check=True)  # a previous result in OUTDIR
            step = "2" if phase == "matching" else "30"
            with subprocess.Popen([sys.executable, "-c", DRIVER, phase, *map(str, argv), "--step", step, "-o",
                                   str(out)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
                try:
                    assert proc.stdout.readline() == "phase\n", proc.stderr.read()
                    time.sleep(rng.uniform(0, length))
                    sent = time.monotonic()
                    proc.send_signal(sig)
                    proc.wait(timeout=30)
                    took.setdefault(phase, []).append(time.monotonic() - sent)
                finally:
                    proc.kill()
                err = proc.stderr.read()
            assert proc.returncode == 128 + sig, (phase, err)
            assert "Traceback" not in err and "warning" not in err, (phase, err)
            publish.repair(out)  # what a run cut short while publishing leaves, the next one undoes
            after = {p.name: p.read_bytes() for p in out.iterdir()}
            assert after.keys() == before.keys(), (phase, err)
            same = [after[name] == before[name] for name in before]
            assert all(same) or not any(same), (phase, err)  # the whole old set or the whole new one
    print("\nsignal to exit, seconds:", {phase: [round(t, 2) for t in sorted(ts)] for phase, ts in took.items()})
    worst = {phase: max(ts) for phase, ts in took.items()}
    assert max(worst.values()) < BOUND, worst
