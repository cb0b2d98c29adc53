"""The stage-timer hook (talmek_track.stages): a run reports each of its stages to the observers
registered, once per stage (per block for a block's stages), and its results are those of a run
that nobody watches, bit for bit."""
import collections
import threading

import pytest

import talmek_track
from support import same_bits
from synthetic import shifted_pair
from talmek_track import stages

pytest.importorskip("imageio")
pytest.importorskip("scipy")

#: The stages a pair reports once, whatever its blocks (no figure, so no preview).
ONCE = ["open", "value range", "plan", "matching", "vector field", "writers", "writer csv", "writer run",
        "publish"]


def write_pair(folder):
    import imageio.v3 as iio

    a, b = shifted_pair((240, 260), 1.5, -2.25, seed=5)
    paths = folder / "a.png", folder / "b.png"
    for path, image in zip(paths, (a, b)):
        iio.imwrite(path, image)
    return paths


class Seen:
    def __init__(self):
        self.calls = []
        self.lock = threading.Lock()

    def __call__(self, name, wall, cpu):
        with self.lock:
            self.calls.append((name, wall, cpu, threading.current_thread().name))

    def count(self):
        return collections.Counter(name for name, *_ in self.calls)


@pytest.mark.parametrize("guided", [False, True], ids=["blind", "guided"])
def test_a_run_reports_each_stage_and_keeps_its_results(tmp_path, guided):
    paths = write_pair(tmp_path)
    # Blocks of a few grid rows each, without the refinement: on this tree it cannot refine the
    # thin blocks at the image's edge.
    options = dict(chip=32, margin=8, step=12, formats=["csv", "run"], plot=False, block_pixels=40_000,
                   refine="none", dates="2024-07-01,2024-07-31")
    if guided:
        options["passes"] = "2/16,1/8"
    plain = talmek_track.track_files(*paths, tmp_path / "plain", **options)
    seen = Seen()
    with stages.observe(seen) as given:
        watched = talmek_track.track_files(*paths, tmp_path / "watched", **options)
    assert given is seen
    counts = seen.count()
    for name in ONCE:
        assert counts[name] == 1, (name, counts)
    blocks = counts["load block"]
    assert blocks >= 2 and counts["match block"] == blocks, counts
    assert counts["read"] == 2 * blocks and counts["match points"] >= blocks, counts
    if guided:
        assert counts["guided prediction"] == 1 and counts["guided pass 2/16"] == 1, counts
        assert counts["reduced read"] == 2 and counts["bend test"] == 1, counts
    else:
        assert not any(name.startswith(("guided", "reduced")) for name in counts), counts
    assert all(wall >= 0 and cpu >= 0 for _, wall, cpu, _ in seen.calls)
    # A stage holds the stages inside it: the run's matching takes at least as long as any block.
    wall = {name: w for name, w, *_ in seen.calls}
    assert wall["matching"] >= max(w for name, w, *_ in seen.calls if name == "match block")
    assert same_bits(plain.records, watched.records)
    for name in ("vectors.csv",):
        assert (tmp_path / "plain" / name).read_bytes() == (tmp_path / "watched" / name).read_bytes()
    # Once the block is left, nothing more is reported.
    before = len(seen.calls)
    talmek_track.track_files(*paths, **options)
    assert len(seen.calls) == before


def test_observers_nest_and_a_failed_stage_is_not_reported():
    outer, inner = Seen(), Seen()
    with stages.observe(outer):
        with stages.observe(inner):
            with stages.stage("both"):
                pass
        with stages.stage("outer only"):
            pass
        with pytest.raises(ValueError), stages.stage("failed"):
            raise ValueError("no")
    assert [c[0] for c in outer.calls] == ["both", "outer only"]
    assert [c[0] for c in inner.calls] == ["both"]
    with stages.stage("nobody"):
        pass
    assert len(outer.calls) == 2
    with pytest.raises(TypeError, match="callable"):
        with stages.observe(None):
            pass


def test_stage_names_are_listed():
    seen = Seen()
    image1, image2 = shifted_pair((96, 96), 1.0, 2.0, seed=3)
    with stages.observe(seen):
        talmek_track.track_xarray(image1, image2, chip=16, margin=16, step=16)
    assert {"open", "value range", "plan", "matching", "refinement", "vector field"} <= {c[0] for c in seen.calls}
    for name, *_ in seen.calls:
        assert name.split(" ")[0] in {s.split(" ")[0] for s in stages.STAGES}, name
