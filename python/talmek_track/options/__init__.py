"""The options of a run: one frozen, checked ``TrackOptions`` and the small value types it holds.

The first stage of the package and a leaf: it imports nothing of the later stages (sources,
matching, guided, products, output, run, cli), only the errors, the engine's facts and its own
parsing modules, so that every stage can take a ``TrackOptions``.
"""

from talmek_track.options.core import PEAK_METHODS, ArrayKeywords, RunKeywords, StackKeywords, TrackOptions

__all__ = ["ArrayKeywords", "PEAK_METHODS", "RunKeywords", "StackKeywords", "TrackOptions"]
