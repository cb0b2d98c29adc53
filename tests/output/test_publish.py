"""Publishing result files all or none: a process stopped at every step of a publish (and of its
undoing), SIGKILLs at swept moments, and the repair that every run does first."""
import contextlib
import errno
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytestmark = pytest.mark.faults  # the fault-injection suite

tt = pytest.importorskip("talmek_track")
from talmek_track.cli import command as cli  # noqa: E402
from talmek_track.output import publish, writers  # noqa: E402

OLD = {"vectors.csv": "old csv", "vectors.tif": "old tif", "notes.txt": "someone's notes"}
NEW = {"vectors.csv": "new csv", "vectors.tif": "new tif", "vectors.png": "new png"}
WHOLE_OLD = dict(OLD)
WHOLE_NEW = {**OLD, **NEW}

# Stages NEW into OUTDIR and publishes it; the step hook counts the steps and, at step STOP,
# does what MODE says: exit at once (a kill), raise an OSError, or sleep (so that a real signal
# can land there). Prints the number of steps taken.
PUBLISHER = textwrap.dedent("""
    import os, sys, time
    from pathlib import Path
    from talmek_track.output import publish
    out, stop, mode = Path(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    new = {"vectors.csv": "new csv", "vectors.tif": "new tif", "vectors.png": "new png"}
    steps = []
    def hook(what):
        steps.append(what)
        if mode == "sleep":
            time.sleep(0.02)
        elif len(steps) == stop:
            if mode == "exit":
                os._exit(17)
            raise OSError(5, "Input/output error", str(out / "vectors.tif"))
    with publish.staged(out) as staging:
        for name, text in new.items():
            (staging.folder / name).write_text(text)
        publish.step_hook = hook
        print("publishing", flush=True)
        try:
            staging.publish()
        except tt_errors.OutputError as e:
            print("failed:", e, flush=True)
    print(*steps, sep="|")
    print(len(steps), flush=True)
""").replace("tt_errors", "__import__('talmek_track.errors').errors")

# Repairs OUTDIR, stopped at step STOP (os._exit) when STOP > 0.
REPAIRER = textwrap.dedent("""
    import os, sys
    from talmek_track.output import publish
    stop, steps = int(sys.argv[2]), []
    def hook(what):
        steps.append(what)
        if len(steps) == stop:
            os._exit(17)
    publish.step_hook = hook
    publish.repair(sys.argv[1])
    print(len(steps))
""")


def state(folder):
    return {p.name: p.read_text() for p in folder.iterdir() if p.is_file() and not p.name.startswith(".")}


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.startswith("."))


def fresh(tmp_path, name="out"):
    out = tmp_path / name
    out.mkdir()
    for file, text in OLD.items():
        (out / file).write_text(text)
    return out


def run_script(script, *argv):
    return subprocess.run([sys.executable, "-c", script, *map(str, argv)], capture_output=True, text=True,
                          timeout=120)


def test_a_publish_stopped_at_any_step_leaves_a_whole_set(tmp_path):
    done = run_script(PUBLISHER, fresh(tmp_path, "count"), 0, "exit")
    assert done.returncode == 0, done.stderr
    steps = int(done.stdout.split()[-1])
    assert steps >= 12  # syncs, links, the journal, three renames, ...
    outcomes = set()
    for k in range(1, steps + 1):
        out = fresh(tmp_path, f"kill{k}")
        assert run_script(PUBLISHER, out, k, "exit").returncode == 17
        # A reader never finds an earlier file missing, even before any repair.
        assert all((out / name).exists() for name in OLD), k
        first = state(out)
        assert first in (WHOLE_OLD, WHOLE_NEW) or leftovers(out), k
        publish.repair(out)
        after = state(out)
        assert after in (WHOLE_OLD, WHOLE_NEW), (k, after)
        assert leftovers(out) == [], k
        outcomes.add("old" if after == WHOLE_OLD else "new")
    assert outcomes == {"old", "new"}


def test_an_undo_stopped_at_any_step_is_finished_by_the_next_repair(tmp_path):
    # Killed after the journal and two of the three renames: the repair has work to do.
    done = run_script(PUBLISHER, fresh(tmp_path, "probe"), 0, "exit")
    k = done.stdout.splitlines()[-2].split("|").index("rename vectors.tif") + 1
    out = fresh(tmp_path, "count")
    run_script(PUBLISHER, out, k, "exit")
    undo_steps = int(run_script(REPAIRER, out, 0).stdout.split()[-1])
    assert undo_steps >= 5
    for j in range(1, undo_steps + 1):
        out = fresh(tmp_path, f"undo{j}")
        assert run_script(PUBLISHER, out, k, "exit").returncode == 17
        assert run_script(REPAIRER, out, j).returncode == 17
        assert all((out / name).exists() for name in OLD), j
        publish.repair(out)
        assert state(out) == WHOLE_OLD and leftovers(out) == [], j


def test_a_failing_step_puts_the_earlier_set_back_in_the_same_process(tmp_path):
    steps = int(run_script(PUBLISHER, fresh(tmp_path, "count"), 0, "exit").stdout.split()[-1])
    failures = 0
    for k in range(1, steps + 1):
        out = fresh(tmp_path, f"fail{k}")
        done = run_script(PUBLISHER, out, k, "raise")
        assert done.returncode == 0, done.stderr
        if "failed:" in done.stdout:
            failures += 1
            assert "the earlier results are kept" in done.stdout and state(out) == WHOLE_OLD, k
        else:  # the last steps come after the commit
            assert state(out) == WHOLE_NEW, k
        assert leftovers(out) == [], k
    assert failures >= steps - 2


def test_a_stack_run_repairs_its_pair_folders_first(tmp_path):
    iio = pytest.importorskip("imageio.v3")
    from support import textured

    image = textured(90, 100)
    for name in ("a", "b"):
        iio.imwrite(tmp_path / f"{name}.png", image)
    out = tmp_path / "stack"
    out.mkdir()
    pair = fresh(out, "a__b")
    assert run_script(PUBLISHER, pair, 13, "exit").returncode == 17  # killed between renames
    tt.match_stack([tmp_path / "a.png", tmp_path / "b.png"], output=out, progress=False, chip=24,
                   margin=12, step=30, formats=["csv"])
    assert leftovers(pair) == [] and (pair / "vectors.csv").read_text().startswith("row1,")
    assert (pair / "vectors.tif").read_text() == "old tif" and not (pair / "vectors.png").exists()


def test_sigkill_at_swept_moments_then_the_repair_command(tmp_path):
    outcomes = []
    for k, delay in enumerate([0.0, 0.03, 0.06, 0.1, 0.15, 0.2, 0.25, 0.3, 0.4, 0.6]):
        out = fresh(tmp_path, f"out{k}")
        with subprocess.Popen([sys.executable, "-c", PUBLISHER, str(out), "0", "sleep"],
                              stdout=subprocess.PIPE, text=True) as proc:
            assert proc.stdout.readline() == "publishing\n"
            time.sleep(delay)
            proc.send_signal(signal.SIGKILL)
            proc.wait(timeout=60)
        assert all((out / name).exists() for name in OLD)
        done = subprocess.run([sys.executable, "-m", "talmek_track", "repair", out], capture_output=True,
                              text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert state(out) in (WHOLE_OLD, WHOLE_NEW) and leftovers(out) == []
        outcomes.append(state(out) == WHOLE_NEW)
    assert not all(outcomes) and any(outcomes)  # the sweep hit both sides of the commit


def test_repair_refuses_a_journal_it_cannot_trust(tmp_path, capsys):
    out = fresh(tmp_path)
    folder = out / f"{publish.STAGING_PREFIX}forged"
    folder.mkdir()
    (folder / publish.JOURNAL).write_text(json.dumps({"files": ["../../etc/passwd"], "kept": []}))
    assert cli.main(["repair", str(out)]) == 3
    assert "journal" in capsys.readouterr().err
    assert state(out) == WHOLE_OLD


def test_a_live_run_is_not_repaired_by_another(tmp_path):
    out = fresh(tmp_path)
    with publish.staged(out) as staging:
        (staging.folder / "vectors.csv").write_text("new csv")
        assert publish.repair(out) == [] and staging.folder.exists()
        staging.publish()
    assert state(out) == {**OLD, "vectors.csv": "new csv"}
    os.mkdir(out / f"{publish.STAGING_PREFIX}abandoned")
    assert len(publish.repair(out)) == 1 and leftovers(out) == []


# The commits of a cube: "base" writes a cube of two small pairs (one chunk per pair) and prints the
# steps of two runs: a first pair into a new cube, and a third pair into a copy of the base with
# the rechunking that ends a stack. "sweep" then runs each of these once per step given (c3: the
# first pair's run stopped at its third step, f5: the other one at its fifth), each in a forked
# child whose step hook ends it (os._exit) there.
CUBE_WRITER = textwrap.dedent("""
    import os, shutil, sys
    from datetime import datetime, timedelta
    import numpy as np, xarray as xr
    from talmek_track.output import publish
    from talmek_track.output.cube import Cube

    def field(k):
        vx = np.full((3, 4), float(k))
        vx[0, 0] = np.nan
        return xr.Dataset({"vx": (("y", "x"), vx), "vy": (("y", "x"), -vx)},
                          coords={"y": [30.0, 20.0, 10.0], "x": [0.0, 10.0, 20.0, 30.0]})

    def write(out, pairs, stop=0):
        steps = []
        def hook(what):
            steps.append(what)
            if len(steps) == stop:
                os._exit(17)
        if pairs == 3:
            shutil.copytree(os.path.join(root, "base"), out)
        publish.step_hook = hook if stop >= 0 else None
        cube = Cube(os.path.join(out, "cube.zarr"))
        for k in range(cube.length, pairs):
            cube.append(field(k), datetime(2024, 1, 1) + timedelta(days=12 * k),
                        datetime(2024, 1, 25) + timedelta(days=12 * k))
        if pairs == 3:
            cube.finish()
        return steps

    root = sys.argv[1]
    if sys.argv[2] == "base":
        write(os.path.join(root, "base"), 2, -1)
        print(*write(os.path.join(root, "count-c"), 1), sep="|")
        print(*write(os.path.join(root, "count-f"), 3), sep="|")
    for run in sys.argv[3:]:
        pid = os.fork()
        if pid == 0:
            write(os.path.join(root, run), 1 if run[0] == "c" else 3, int(run[1:]))
            os._exit(0)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 17, run
""")


def test_a_cube_stopped_at_any_step_of_its_commits_is_whole_after_the_repair(tmp_path):
    pytest.importorskip("xarray")
    pytest.importorskip("zarr")
    import numpy as np

    from talmek_track.output.cube import open_cube

    done = run_script(CUBE_WRITER, tmp_path, "base")
    assert done.returncode == 0, done.stderr
    first, last = (line.split("|") for line in done.stdout.splitlines()[-2:])
    assert first.count("write journal") == 1 and last.count("write journal") == 2
    # Every step of the two folder commits; the metadata's file commit (as any file's, swept
    # above) before, inside and after its journal.
    rechunk = last.index("fsync cube.zarr") + 1
    sampled = [1, last.index("rename .zmetadata") + 1, last.index("remove journal") + 2]
    runs = [f"c{k}" for k in range(1, len(first) + 1)] + \
        [f"f{k}" for k in sorted({*sampled, *range(rechunk, len(last) + 1)})]
    done = run_script(CUBE_WRITER, tmp_path, "sweep", *runs)
    assert done.returncode == 0, done.stderr
    outcomes = set()
    for run in runs:
        out, k = tmp_path / run, int(run[1:])
        steps = first if run[0] == "c" else last
        if run[0] == "f" or k > steps.index("rename cube.zarr") + 1:
            with open_cube(out / "cube.zarr") as ds:  # a reader finds a cube before any repair
                assert ds.sizes["mid_date"] >= 1, run
        assert cli.main(["repair", str(out), "--quiet"]) == 0
        assert not [p for p in out.rglob("*") if p.name.startswith((".talmek-", "cube.zarr."))], run
        if not (out / "cube.zarr").exists():
            outcomes.add(0)
            continue
        with open_cube(out / "cube.zarr") as ds:
            vx = ds["vx"].values
            outcomes.add((len(vx), ds["vx"].encoding["chunks"][0]))
        assert np.isnan(vx[:, 0, 0]).all(), run
        assert (vx[:, 1:, :] == np.arange(len(vx))[:, None, None]).all(), run
    assert outcomes == {0, (1, 1), (2, 1), (3, 1), (3, 3)}, outcomes
# Repairs OUTDIR once it says so, in a process of its own; prints how many folders it dealt with.
CONCURRENT_REPAIR = textwrap.dedent("""
    import sys
    from talmek_track.output import publish
    print("ready", flush=True)
    print(len(publish.repair(sys.argv[1])), flush=True)
""")


def test_a_staging_folder_is_never_repaired_while_it_is_being_made(tmp_path):
    out = fresh(tmp_path)
    repairers = []

    def hook(what):
        if what == "lock staging":  # made, not yet locked: a repair that gets in now must wait
            proc = subprocess.Popen([sys.executable, "-c", CONCURRENT_REPAIR, str(out)], stdout=subprocess.PIPE,
                                    text=True)
            repairers.append(proc)
            assert proc.stdout.readline() == "ready\n"
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(timeout=2)

    publish.step_hook = hook
    try:
        with publish.staged(out) as staging:
            publish.step_hook = None
            assert repairers and repairers[0].communicate(timeout=60)[0] == "0\n"  # it found the folder locked
            (staging.folder / "vectors.csv").write_text("new csv")
            staging.publish()
    finally:
        publish.step_hook = None
    assert state(out) == {**OLD, "vectors.csv": "new csv"} and leftovers(out) == []


def test_a_failed_undo_leaves_no_copy_of_its_own(tmp_path):
    out = fresh(tmp_path)
    steps = []

    def hook(what):
        steps.append(what)
        if what == "rename vectors.png":  # the publish fails after vectors.csv went in ...
            raise OSError(5, "Input/output error", str(out / "vectors.png"))
        if what == "rename vectors.csv" and steps.count(what) == 2:  # ... and so does its undo
            (out / "vectors.csv").unlink()
            (out / "vectors.csv").mkdir()
            (out / "vectors.csv" / "in the way").write_text("")

    with publish.staged(out) as staging:
        for name, text in NEW.items():
            (staging.folder / name).write_text(text)
        publish.step_hook = hook
        try:
            with pytest.raises(tt.OutputError, match="Input/output error; the earlier results are kept"):
                staging.publish()
        finally:
            publish.step_hook = None
        folder = staging.folder
    kept = {p.name for p in folder.iterdir()}
    assert publish.JOURNAL in kept and publish.RESTORE not in kept  # the journal stays for the repair
    (out / "vectors.csv" / "in the way").unlink()
    (out / "vectors.csv").rmdir()
    assert len(publish.repair(out)) == 1
    assert state(out) == WHOLE_OLD and leftovers(out) == []


def test_a_write_failure_names_the_real_reason(tmp_path):
    gone = tmp_path / "gone"
    e = FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), str(gone / "vectors.csv"))
    assert writers.write_failure(e, gone) == os.strerror(errno.ENOENT)
