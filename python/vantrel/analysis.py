"""`vantrel.analyze()`: one decode of a video for every result of the analysis."""
from __future__ import annotations

import math
import os
from array import array
from dataclasses import dataclass, fields
from fractions import Fraction
from typing import Callable, Optional, Tuple, Union

from . import _engine
from .scene_limits import apply_scene_limits

PathInput = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
SceneLength = Union[int, float]

# FFmpeg's log levels of the kept lines.
_LEVEL_NAMES = {0: "panic", 8: "fatal", 16: "error", 24: "warning"}
# The engine's error kinds, in the order of its enum.
_CATEGORIES = ("configuration", "io", "decode", "unsupported", "internal")


class AnalysisError(RuntimeError):
    """An analysis that failed: the text is the category prefix, the message and its causes.

    `category` is one of "configuration", "io", "decode", "unsupported", "internal".
    """

    def __init__(self, category: str, text: str):
        super().__init__(text)
        self.category = category


@dataclass(frozen=True)
class DetectorSettings:
    """The settings of the two cut detectors; the defaults are those of `vantrel_rs`."""

    search_radius: int = 4
    intra_thresh: int = 2000
    intra_thresh2: float = 90.0
    window_size: int = 30
    sigma: float = 3.0
    base_threshold: float = 0.2
    min_hist_distance: float = 0.03
    min_score: float = 0.0
    sad_weight: float = 0.7
    hist_weight: float = 0.3

    # Largest motion search the block search is built for, and the longest
    # history the adaptive threshold keeps.
    MAX_SEARCH_RADIUS = 64
    MAX_WINDOW_SIZE = 100_000

    def __post_init__(self) -> None:
        ints = {"search_radius": (0, self.MAX_SEARCH_RADIUS), "intra_thresh": (0, 2**31 - 1),
                "window_size": (0, self.MAX_WINDOW_SIZE)}
        for field in fields(self):
            value = getattr(self, field.name)
            if field.name in ints:
                low, high = ints[field.name]
                if isinstance(value, bool) or not isinstance(value, int):
                    raise TypeError(f"{field.name} must be an int, not {type(value).__name__}")
                if not low <= value <= high:
                    raise ValueError(f"{field.name} must be from {low} to {high}, not {value}")
                continue
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{field.name} must be a number, not {type(value).__name__}")
            if not math.isfinite(value):
                raise ValueError(f"{field.name} must be a finite number, not {value}")
            if value < 0 and field.name not in ("base_threshold", "min_score"):
                raise ValueError(f"{field.name} must not be negative, not {value}")
            object.__setattr__(self, field.name, float(value))

    def _as_tuple(self) -> tuple:
        return tuple(getattr(self, field.name) for field in fields(self))


@dataclass(frozen=True)
class Progress:
    frames: int  # decoded and analysed so far
    seconds: float  # presentation time reached
    duration: Optional[float]  # the container's, when it gives one


@dataclass(frozen=True)
class Scene:
    start_frame: int
    end_frame: int  # inclusive
    start_time: float
    end_time: float  # where the next scene starts, or where the last frame ends


@dataclass(frozen=True)
class DecodeError:
    frame: int  # frames delivered before the dropped packet
    time: float
    message: str


@dataclass(frozen=True)
class LogMessage:
    level: str  # "panic", "fatal", "error" or "warning"
    text: str  # "[component] message"


@dataclass(frozen=True)
class Scores:
    """The detectors' view of every compared frame (all frames but the first), one column each."""

    frame: array  # 'Q'
    time: array  # 'd'
    score: array  # 'd'
    threshold: array  # 'd'
    hist_distance: array  # 'd'
    grid_hist_distance: array  # 'd'
    grid_hist_median: array  # 'd'
    intra_blocks: array  # 'Q'
    total_blocks: array  # 'Q'
    mc_sad: array  # 'Q'
    is_cut: array  # 'B'

    def __len__(self) -> int:
        return len(self.frame)


@dataclass(frozen=True)
class Analysis:
    keyframes: list  # frames where scenes begin (after the scene-length limits)
    pass_text: str  # the per-frame first-pass decisions as a statistics text
    frame_count: int
    times: array  # 'd': seconds of every frame
    fps: Optional[Fraction]  # the stream's average frame rate
    duration: Optional[float]  # the container's
    scenes: Tuple[Scene, ...]
    scores: Optional[Scores]
    decode_errors: Tuple[DecodeError, ...]
    messages: Tuple[LogMessage, ...]


def _column(code: str, data: bytes) -> array:
    values = array(code)
    values.frombytes(data)
    return values


def _scene_length(name: str, value: Optional[SceneLength]) -> Optional[SceneLength]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be an int (frames) or a float (seconds), not {type(value).__name__}")
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError(f"{name} must be finite, not {value}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, not {value}")
    return value


def _scenes(keyframes: list, times: array, end_time: float) -> Tuple[Scene, ...]:
    count = len(times)
    if count == 0:
        return ()
    bounds = [*keyframes, count]
    return tuple(Scene(start, stop - 1, times[start], times[stop] if stop < count else end_time)
                 for start, stop in zip(bounds, bounds[1:]))


def analyze(input: PathInput, *, native_res: bool = False, hwdec: Optional[str] = None, threads: int = 0,
            progress: Optional[Callable[[Progress], object]] = None, scores: bool = False,
            on_decode_error: str = "stop", min_scene_len: Optional[SceneLength] = None,
            max_scene_len: Optional[SceneLength] = None,
            detector: Optional[DetectorSettings] = None) -> Analysis:
    """Decodes and analyses `input` once; the interpreter lock is released meanwhile.

    With the defaults, `keyframes` and `pass_text` equal `vantrel_rs.detect_frames` and
    `detect_pass`. Raises AnalysisError when the analysis fails.
    """
    path = os.fsencode(os.fspath(input))
    if hwdec is not None and not isinstance(hwdec, str):
        raise TypeError(f"hwdec must be a str or None, not {type(hwdec).__name__}")
    if isinstance(threads, bool) or not isinstance(threads, int):
        raise TypeError(f"threads must be an int, not {type(threads).__name__}")
    if not 0 <= threads <= 1024:
        raise ValueError(f"threads must be from 0 (automatic) to 1024, not {threads}")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    if on_decode_error not in ("stop", "skip"):
        raise ValueError(f"on_decode_error must be 'stop' or 'skip', not {on_decode_error!r}")
    min_scene_len = _scene_length("min_scene_len", min_scene_len)
    max_scene_len = _scene_length("max_scene_len", max_scene_len)
    if max_scene_len is not None and max_scene_len <= 0:
        raise ValueError("max_scene_len must be positive")
    if (min_scene_len is not None and max_scene_len is not None
            and type(min_scene_len) is type(max_scene_len) and min_scene_len > max_scene_len):
        raise ValueError(f"min_scene_len ({min_scene_len}) is longer than max_scene_len ({max_scene_len})")
    if detector is None:
        detector = DetectorSettings()
    elif not isinstance(detector, DetectorSettings):
        raise TypeError(f"detector must be a DetectorSettings, not {type(detector).__name__}")

    report = None
    if progress is not None:
        def report(frames: int, seconds: float, duration: Optional[float]) -> None:
            progress(Progress(frames, seconds, duration))

    raw = _engine.analyze(path, bool(native_res), hwdec, threads, report,
                          bool(scores) or max_scene_len is not None, on_decode_error == "skip",
                          detector._as_tuple())
    if "error" in raw:
        kind, text = raw["error"]
        raise AnalysisError(_CATEGORIES[kind], text)

    times = _column("d", raw["times"])
    records = raw["records"]
    score_table = None
    if records is not None:
        compared = len(records["score"]) // 8
        score_table = Scores(
            frame=array("Q", range(1, compared + 1)), time=times[1:compared + 1],
            **{name: _column("d", records[name]) for name in
               ("score", "threshold", "hist_distance", "grid_hist_distance", "grid_hist_median")},
            **{name: _column("Q", records[name]) for name in ("intra_blocks", "total_blocks", "mc_sad")},
            is_cut=_column("B", records["is_cut"]))
    keyframes = raw["keyframes"]
    if min_scene_len is not None or max_scene_len is not None:
        keyframes = apply_scene_limits(keyframes, times, raw["end_time"],
                                       score_table.score if score_table is not None else None,
                                       min_scene_len, max_scene_len)
    fps = Fraction(*raw["fps"]) if raw["fps"] is not None else None
    messages = [LogMessage(_LEVEL_NAMES.get(level, "warning"), text) for level, text in raw["messages"]]
    if raw["messages_dropped"]:
        messages.append(LogMessage("warning", f"[vantrel] {raw['messages_dropped']} further messages not kept"))
    return Analysis(
        keyframes=keyframes, pass_text=raw["pass_text"], frame_count=len(times), times=times, fps=fps,
        duration=raw["duration"], scenes=_scenes(keyframes, times, raw["end_time"]),
        scores=score_table if scores else None,
        decode_errors=tuple(DecodeError(*entry) for entry in raw["decode_errors"]),
        messages=tuple(messages))
