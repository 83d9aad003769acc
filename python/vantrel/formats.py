"""Renders one file's analysis in each output format."""
from __future__ import annotations

import json
from dataclasses import dataclass
from fractions import Fraction
from typing import Callable, Dict, List, Optional

PASS_HEADER_LINES = 3  # two comment lines and an empty line precede the frame lines


@dataclass(frozen=True)
class Analysis:
    """What the module and the stream probe told about one input."""

    input: str
    keyframes: Optional[List[int]] = None
    pass_text: Optional[str] = None
    fps: Optional[Fraction] = None

    @property
    def frame_count(self) -> Optional[int]:
        """Exact count of decoded frames, known when the pass text was made."""
        if self.pass_text is None:
            return None
        return self.pass_text.count("\n") - PASS_HEADER_LINES


@dataclass(frozen=True)
class Scene:
    start_frame: int
    end_frame: int  # inclusive


def scenes(keyframes: List[int], frame_count: int) -> List[Scene]:
    """Each keyframe opens a scene that runs up to the frame before the next one."""
    starts = [k for k in keyframes if k < frame_count]
    ends = [k - 1 for k in starts[1:]] + [frame_count - 1]
    return [Scene(s, e) for s, e in zip(starts, ends)]


def milliseconds(frame: int, fps: Fraction) -> int:
    """Start time of a frame in whole milliseconds, rounded to nearest (ties to even)."""
    return round(Fraction(frame) * 1000 / fps)


def seconds_text(ms: int) -> str:
    return f"{ms // 1000}.{ms % 1000:03d}"


def _keyframes(a: Analysis) -> List[int]:
    assert a.keyframes is not None, "format rendered without its keyframe analysis"
    return a.keyframes


def _frame_count(a: Analysis) -> int:
    count = a.frame_count
    assert count is not None, "format rendered without its pass analysis"
    return count


def render_frames(a: Analysis) -> str:
    return "".join(f"{k}\n" for k in _keyframes(a))


def render_keyframes(a: Analysis) -> str:
    return "# keyframe format v1\nfps 0\n" + render_frames(a)


def render_qpfile(a: Analysis) -> str:
    return "".join(f"{k} I\n" for k in _keyframes(a))


def render_xvid(a: Analysis) -> str:
    assert a.pass_text is not None, "format rendered without its pass analysis"
    return a.pass_text


def render_csv(a: Analysis) -> str:
    rows = ["start_frame,end_frame,start_time,end_time"]
    for s in scenes(_keyframes(a), _frame_count(a)):
        times = ","
        if a.fps is not None:
            times = f"{seconds_text(milliseconds(s.start_frame, a.fps))}," \
                    f"{seconds_text(milliseconds(s.end_frame + 1, a.fps))}"
        rows.append(f"{s.start_frame},{s.end_frame},{times}")
    return "\n".join(rows) + "\n"


def render_json(a: Analysis) -> str:
    def time(frame: int) -> Optional[float]:
        return None if a.fps is None else milliseconds(frame, a.fps) / 1000

    doc = {
        "input": a.input,
        "frame_count": a.frame_count,
        "fps": None if a.fps is None else float(a.fps),
        "keyframes": _keyframes(a),
        "scenes": [{"start_frame": s.start_frame, "end_frame": s.end_frame,
                    "start_time": time(s.start_frame), "end_time": time(s.end_frame + 1)}
                   for s in scenes(_keyframes(a), _frame_count(a))],
    }
    return json.dumps(doc, indent=2) + "\n"


@dataclass(frozen=True)
class Format:
    """An output format: which analyses it needs and how it is written."""

    name: str
    extension: str
    needs_keyframes: bool
    needs_pass: bool
    needs_fps: bool
    render: Callable[[Analysis], str]


FORMATS: Dict[str, Format] = {f.name: f for f in [
    Format("frames", "txt", True, False, False, render_frames),
    Format("json", "json", True, True, True, render_json),
    Format("csv", "csv", True, True, True, render_csv),
    Format("keyframes", "keyframes.txt", True, False, False, render_keyframes),
    Format("xvid", "stats", False, True, False, render_xvid),
    Format("qpfile", "qpfile", True, False, False, render_qpfile),
]}
