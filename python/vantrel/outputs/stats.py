"""The `--stats` table of per-frame scores."""
from __future__ import annotations

from ..analysis import Analysis


def render_scores(a: Analysis) -> str:
    """The `--stats` table: one row per compared frame, every frame but the first; floats in full.
    The network's probability (learned, combined) is its last column, absent for the other methods."""
    scores = a.scores
    assert scores is not None, "--stats analyses with scores"
    names = [name for name in scores._fields if getattr(scores, name) is not None]
    columns = [getattr(scores, name) for name in names]
    rows = [",".join(names)]
    rows += [",".join(map(repr, values)) for values in zip(*columns)]
    return "\n".join(rows) + "\n"
