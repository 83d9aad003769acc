"""Renders one input's analysis in each output format."""
from __future__ import annotations

import json
from typing import Callable, Dict, List, NamedTuple

from .analysis import Analysis


def seconds_text(seconds: float) -> str:
    """Seconds with three decimals (milliseconds)."""
    return f"{seconds:.3f}"


def timecode(seconds: float) -> str:
    """HH:MM:SS.mmm, rounded to the millisecond."""
    ms = max(0, round(seconds * 1000))
    return f"{ms // 3_600_000:02d}:{ms // 60_000 % 60:02d}:{ms // 1000 % 60:02d}.{ms % 1000:03d}"


def render_frames(a: Analysis, input: str) -> str:
    return "".join(f"{k}\n" for k in a.keyframes)


def render_keyframes(a: Analysis, input: str) -> str:
    return "# keyframe format v1\nfps 0\n" + render_frames(a, input)


def render_qpfile(a: Analysis, input: str) -> str:
    return "".join(f"{k} I\n" for k in a.keyframes)


def render_xvid(a: Analysis, input: str) -> str:
    return a.pass_text


def render_csv(a: Analysis, input: str) -> str:
    rows = ["start_frame,end_frame,start_time,end_time"]
    rows += [f"{s.start_frame},{s.end_frame},{seconds_text(s.start_time)},{seconds_text(s.end_time)}"
             for s in a.scenes]
    return "\n".join(rows) + "\n"


def frame_rate(a: Analysis) -> Dict[str, object]:
    """The frame rate exactly ("30000/1001") and as a float; null when the stream has none."""
    fps = a.fps
    if fps is None:
        return {"fps": None, "fps_float": None}
    return {"fps": f"{fps.numerator}/{fps.denominator}", "fps_float": float(fps)}


def render_json(a: Analysis, input: str) -> str:
    doc = {
        "input": input,
        "frame_count": a.frame_count,
        **frame_rate(a),
        "keyframes": a.keyframes,
        "scenes": [{"start_frame": s.start_frame, "end_frame": s.end_frame,
                    "start_time": round(s.start_time, 6), "end_time": round(s.end_time, 6)} for s in a.scenes],
    }
    return json.dumps(doc, indent=2) + "\n"


class Format(NamedTuple):
    name: str
    extension: str  # of a batch's output files
    render: Callable[[Analysis, str], str]
    help: str


FORMATS: Dict[str, Format] = {f.name: f for f in [
    Format("frames", "txt", render_frames, "one scene-start frame index per line (default)"),
    Format("json", "json", render_json, "frame count, exact frame rate, keyframes and scenes with times"),
    Format("csv", "csv", render_csv, "one row per scene: start and end frame, start and end time"),
    Format("keyframes", "keyframes.txt", render_keyframes, "the keyframe list subtitle editors read"),
    Format("xvid", "stats", render_xvid, "the first-pass statistics text: one i/p decision per frame"),
    Format("qpfile", "qpfile", render_qpfile, "one 'N I' line per scene start, for encoders"),
]}


def format_help() -> List[str]:
    return [f"{f.name}: {f.help}" for f in FORMATS.values()]
