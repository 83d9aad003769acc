"""The `--stats` table of per-frame scores."""
from __future__ import annotations

from ..analysis import Analysis


def render_scores(a: Analysis) -> str:
    """The `--stats` table: one row per compared frame, every frame but the first; floats in full."""
    scores = a.scores
    assert scores is not None, "--stats analyses with scores"
    columns = [getattr(scores, name) for name in scores._fields]
    rows = [",".join(scores._fields)]
    rows += [",".join(map(repr, values)) for values in zip(*columns)]
    return "\n".join(rows) + "\n"
