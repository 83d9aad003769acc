"""`vantrel.analyze()`: one decode of a video for every result of the analysis."""
from __future__ import annotations

import math
import os
from array import array
from collections import namedtuple
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

from . import _engine

if TYPE_CHECKING:  # typing and fractions cost more to import than a short analysis
    from fractions import Fraction
    from typing import Callable, List, Optional, Tuple, Union

    PathInput = Union[str, bytes, os.PathLike]
    SceneLength = Union[int, float]

# FFmpeg's log levels of the kept lines.
_LEVEL_NAMES = {0: "panic", 8: "fatal", 16: "error", 24: "warning"}
# The engine's error kinds, in the order of its enum.
_CATEGORIES = ("configuration", "io", "decode", "unsupported", "internal")


class AnalysisError(RuntimeError):
    """An analysis that failed: the text is the category prefix, the message and its causes.

    `category` is one of "configuration", "io", "decode", "unsupported", "internal";
    `messages` holds FFmpeg's log lines of the failed analysis, as `Analysis.messages` does.
    """

    def __init__(self, category: str, text: str, messages: tuple = ()):
        super().__init__(text)
        self.category = category
        self.messages = messages

    def __reduce__(self):
        return AnalysisError, (self.category, str(self), self.messages)


# The integer fields and their ranges: the largest motion search the block search is built
# for, and the longest history the adaptive threshold keeps.
_DETECTOR_INTS = {"search_radius": (0, 64), "intra_thresh": (0, 2**31 - 1), "window_size": (0, 100_000)}
# Fields that may be negative: thresholds that only shift the score.
_DETECTOR_SIGNED = ("base_threshold", "min_score")


class DetectorSettings(namedtuple("DetectorSettings", (
        "search_radius", "intra_thresh", "intra_thresh2", "window_size", "sigma", "base_threshold",
        "min_hist_distance", "min_score", "sad_weight", "hist_weight"),
        defaults=(4, 2000, 90.0, 30, 3.0, 0.2, 0.03, 0.0, 0.7, 0.3))):
    """The settings of the two cut detectors; the defaults are those of `vantrel_rs`.

    A value the detectors cannot use raises ValueError (TypeError for a wrong type) naming
    its field.
    """

    __slots__ = ()

    def __new__(cls, *args, **kwargs):
        settings = super().__new__(cls, *args, **kwargs)
        values = []
        for name, value in zip(settings._fields, settings):
            if name in _DETECTOR_INTS:
                low, high = _DETECTOR_INTS[name]
                if isinstance(value, bool) or not isinstance(value, int):
                    raise TypeError(f"{name} must be an int, not {type(value).__name__}")
                if not low <= value <= high:
                    raise ValueError(f"{name} must be from {low} to {high}, not {value}")
            else:
                if isinstance(value, bool) or not isinstance(value, (int, float)):
                    raise TypeError(f"{name} must be a number, not {type(value).__name__}")
                if not math.isfinite(value):
                    raise ValueError(f"{name} must be a finite number, not {value}")
                if value < 0 and name not in _DETECTOR_SIGNED:
                    raise ValueError(f"{name} must not be negative, not {value}")
                value = float(value)
            values.append(value)
        return super().__new__(cls, *values)


class Progress(namedtuple("Progress", "frames seconds duration")):
    """Frames decoded and analysed so far, the presentation time reached, the container's duration or None."""

    __slots__ = ()


class Scene(namedtuple("Scene", "start_frame end_frame start_time end_time")):
    """One scene: `end_frame` is inclusive; `end_time` is where the next scene starts, or where
    the last frame ends."""

    __slots__ = ()


class DecodeError(namedtuple("DecodeError", "frame time message")):
    """A dropped packet: the frames delivered before it, its time and FFmpeg's message."""

    __slots__ = ()


class LogMessage(namedtuple("LogMessage", "level text")):
    """An FFmpeg log line of the analysis: level "panic", "fatal", "error" or "warning", and
    "[component] message"."""

    __slots__ = ()


class Scores(namedtuple("Scores", ("frame", "time", "score", "threshold", "hist_distance", "grid_hist_distance",
                                   "grid_hist_median", "intra_blocks", "total_blocks", "mc_sad", "is_cut"))):
    """The detectors' view of every compared frame (all frames but the first), one array per field:
    `frame`, `intra_blocks`, `total_blocks`, `mc_sad` of type 'Q', `is_cut` 'B', the others 'd'."""

    __slots__ = ()

    def __len__(self) -> int:
        return len(self.frame)


class Analysis:
    """The results of one analysis.

    keyframes: frames where scenes begin (after the scene-length limits); pass_text: the
    per-frame first-pass decisions as a statistics text; frame_count; times: seconds of every
    frame (array 'd'); fps: the stream's average frame rate (Fraction) or None; duration: the
    container's, or None; scenes; scores (None unless asked for); decode_errors; messages.
    """

    __slots__ = ("keyframes", "pass_text", "frame_count", "times", "_rate", "duration", "scenes", "scores",
                 "decode_errors", "messages")
    keyframes: List[int]
    pass_text: str
    frame_count: int
    times: array
    _rate: Optional[Tuple[int, int]]
    duration: Optional[float]
    scenes: Tuple[Scene, ...]
    scores: Optional[Scores]
    decode_errors: Tuple[DecodeError, ...]
    messages: Tuple[LogMessage, ...]

    def __init__(self, keyframes, pass_text, frame_count, times, rate, duration, scenes, scores,
                 decode_errors, messages):
        for name, value in zip(self.__slots__, (keyframes, pass_text, frame_count, times, rate, duration, scenes,
                                                scores, decode_errors, messages)):
            object.__setattr__(self, name, value)

    @property
    def fps(self) -> Optional[Fraction]:
        # Made on first use: the fractions module costs more to import than most analyses need.
        if self._rate is None:
            return None
        from fractions import Fraction
        return Fraction(*self._rate)

    def __setattr__(self, name, value):
        raise AttributeError(f"Analysis is read-only: cannot set {name}")

    def __eq__(self, other):
        if type(other) is not Analysis:
            return NotImplemented
        return all(getattr(self, name) == getattr(other, name) for name in self.__slots__)

    __hash__ = None  # type: ignore[assignment]  # equal by value, and its lists change

    def __reduce__(self):
        return Analysis, tuple(getattr(self, name) for name in self.__slots__)

    def __repr__(self):
        return (f"Analysis(frame_count={self.frame_count}, keyframes={self.keyframes!r}, fps={self.fps}, "
                f"duration={self.duration}, scenes={len(self.scenes)}, decode_errors={len(self.decode_errors)}, "
                f"messages={len(self.messages)}, scores={'None' if self.scores is None else len(self.scores)})")


def _column(code: str, data: bytes) -> array:
    values = array(code)
    values.frombytes(data)
    return values


def _messages(raw: dict):
    for level, text in raw["messages"]:
        yield LogMessage(_LEVEL_NAMES.get(level, "warning"), text)
    if raw["messages_dropped"]:
        yield LogMessage("warning", f"[vantrel] {raw['messages_dropped']} further messages not kept")


def _reporter(progress: Callable[[Progress], object]) -> Callable[[int, float, Optional[float]], None]:
    """The engine's progress call, handing `progress` one Progress."""
    def report(frames: int, seconds: float, duration: Optional[float]) -> None:
        progress(Progress(frames, seconds, duration))
    return report


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

    raw = _engine.analyze(path, bool(native_res), hwdec, threads, None if progress is None else _reporter(progress),
                          bool(scores) or max_scene_len is not None, on_decode_error == "skip",
                          tuple(detector))
    messages = tuple(_messages(raw))
    if "error" in raw:
        kind, text = raw["error"]
        raise AnalysisError(_CATEGORIES[kind], text, messages)

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
        from .scene_limits import apply_scene_limits
        keyframes = apply_scene_limits(keyframes, times, raw["end_time"],
                                       score_table.score if score_table is not None else None,
                                       min_scene_len, max_scene_len)
    return Analysis(keyframes, raw["pass_text"], len(times), times, raw["fps"], raw["duration"],
                    _scenes(keyframes, times, raw["end_time"]), score_table if scores else None,
                    tuple(DecodeError(*entry) for entry in raw["decode_errors"]), messages)
