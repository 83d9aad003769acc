"""Scenes as flat records for data pipelines: `vantrel.scene_rows()`, also the rows of `-f jsonl` and
of the command's `--table`."""
from __future__ import annotations

import os
from typing import Dict, List

from .analysis import Analysis, analyze
from .methods import lookup


def frame_rate(a: Analysis) -> Dict[str, object]:
    """The frame rate exactly ("30000/1001") and as a float; null when the stream has none."""
    fps = a.fps
    if fps is None:
        return {"fps": None, "fps_float": None}
    return {"fps": f"{fps.numerator}/{fps.denominator}", "fps_float": float(fps)}


def shows_transitions(a: Analysis) -> bool:
    """Whether outputs list the transitions: every method's but "refined", whose transitions are
    cuts of one frame on its scene starts (and whose outputs stay as they were before methods)."""
    return lookup(a.method).lists_transitions


def transition_record(t) -> Dict[str, object]:
    return {"kind": t.kind, "first_frame": t.first_frame, "last_frame": t.last_frame,
            "first_time": round(t.first_time, 6), "last_time": round(t.last_time, 6),
            "strength": None if t.strength is None else round(t.strength, 6)}


def scene_records(a: Analysis, input: str) -> List[Dict[str, object]]:
    """One flat record per scene of `a`, analysed from `input`; with a method that finds gradual
    transitions, each also names the transition it begins with (kind, first and last frame; none
    for the first scene and for a split of a long scene)."""
    rate = frame_rate(a)
    records = [{"input": input, "scene": number, "start_frame": s.start_frame, "end_frame": s.end_frame,
                "start_time": round(s.start_time, 6), "end_time": round(s.end_time, 6),
                "frame_count": s.end_frame - s.start_frame + 1, **rate}
               for number, s in enumerate(a.scenes, 1)]
    if shows_transitions(a):
        by_start = {t.start_frame: t for t in a.transitions}
        for record in records:
            t = by_start.get(record["start_frame"])
            record.update(transition=None if t is None else t.kind,
                          transition_first_frame=None if t is None else t.first_frame,
                          transition_last_frame=None if t is None else t.last_frame)
    return records


def scene_rows(input, **analyze_options) -> List[Dict[str, object]]:
    """Analyses `input` (keywords as for `analyze()`) and returns one dict per scene.

    The keys: input, scene (numbered from 1), start_frame, end_frame (inclusive), start_time,
    end_time (seconds), frame_count (of the scene), fps ("30000/1001" or None) and fps_float; with
    a method other than "refined" also transition (the kind of the transition the scene begins
    with, or None), transition_first_frame and transition_last_frame.
    """
    path = os.fsdecode(os.fspath(input))
    return scene_records(analyze(path, **analyze_options), path)
