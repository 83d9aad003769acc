"""Scenes as flat records for data pipelines: `vantrel.scene_rows()`, also the rows of `-f jsonl` and
of the command's `--table`."""
from __future__ import annotations

import os
from typing import Dict, List

from .analysis import Analysis, analyze


def frame_rate(a: Analysis) -> Dict[str, object]:
    """The frame rate exactly ("30000/1001") and as a float; null when the stream has none."""
    fps = a.fps
    if fps is None:
        return {"fps": None, "fps_float": None}
    return {"fps": f"{fps.numerator}/{fps.denominator}", "fps_float": float(fps)}


def scene_records(a: Analysis, input: str) -> List[Dict[str, object]]:
    """One flat record per scene of `a`, analysed from `input`."""
    rate = frame_rate(a)
    return [{"input": input, "scene": number, "start_frame": s.start_frame, "end_frame": s.end_frame,
             "start_time": round(s.start_time, 6), "end_time": round(s.end_time, 6),
             "frame_count": s.end_frame - s.start_frame + 1, **rate}
            for number, s in enumerate(a.scenes, 1)]


def scene_rows(input, **analyze_options) -> List[Dict[str, object]]:
    """Analyses `input` (keywords as for `analyze()`) and returns one dict per scene.

    The keys: input, scene (numbered from 1), start_frame, end_frame (inclusive), start_time,
    end_time (seconds), frame_count (of the scene), fps ("30000/1001" or None) and fps_float.
    """
    path = os.fsdecode(os.fspath(input))
    return scene_records(analyze(path, **analyze_options), path)
