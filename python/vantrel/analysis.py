"""`vantrel.analyze()`: one decode of a video for every result of the analysis."""
from __future__ import annotations

from array import array
from collections import namedtuple
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

from . import _engine
from .errors import CATEGORIES, AnalysisError
from .methods import DEFAULT as DEFAULT_METHOD, FORMER_NAMES, Transition, lookup
from .remote import opened
from .settings import AnalysisSettings, DetectorSettings
from .sources import UNSEEKABLE_HINT, Source, source_of

if TYPE_CHECKING:  # typing and fractions cost more to import than a short analysis
    import os
    from fractions import Fraction
    from typing import Any, BinaryIO, Callable, Dict, List, Optional, Tuple, Union

    from .settings import SceneLength

    # A path, the video's bytes (any bytes-like object) or a binary file object: see vantrel.sources.
    Input = Union[str, os.PathLike, bytes, bytearray, memoryview, BinaryIO]

# FFmpeg's log levels of the kept lines.
_LEVEL_NAMES = {0: "panic", 8: "fatal", 16: "error", 24: "warning"}


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
                                   "grid_hist_median", "intra_blocks", "total_blocks", "mc_sad", "is_cut",
                                   "probability"), defaults=(None,))):
    """The detectors' view of every compared frame (all frames but the first), one array per field:
    `frame`, `intra_blocks`, `total_blocks`, `mc_sad` of type 'Q', `is_cut` 'B', the others 'd';
    `probability`: the network's transition probability of each frame with the learned and
    combined methods (vantrel.methods.learned), None for the other methods."""

    __slots__ = ()

    def __len__(self) -> int:
        return len(self.frame)


class Analysis:
    """The results of one analysis.

    keyframes: frames where scenes begin (after the scene-length limits); pass_text: the
    per-frame first-pass decisions as a statistics text; frame_count; times: seconds of every
    frame (array 'd'); fps: the stream's average frame rate (Fraction) or None; duration: the
    container's, or None; scenes; scores (None unless asked for); decode_errors; messages;
    method: the scene-list method's name; transitions: its transitions (Transition) whose new
    scene is one of `scenes`.
    """

    __slots__ = ("keyframes", "pass_text", "frame_count", "times", "_rate", "duration", "scenes", "scores",
                 "decode_errors", "messages", "method", "transitions")
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
    method: str
    transitions: Tuple[Transition, ...]

    def __init__(self, keyframes, pass_text, frame_count, times, rate, duration, scenes, scores,
                 decode_errors, messages, method=DEFAULT_METHOD, transitions=()):
        for name, value in zip(self.__slots__, (keyframes, pass_text, frame_count, times, rate, duration, scenes,
                                                scores, decode_errors, messages, method, transitions)):
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


def _scenes(keyframes: list, times: array, end_time: float) -> Tuple[Scene, ...]:
    count = len(times)
    if count == 0:
        return ()
    bounds = [*keyframes, count]
    return tuple(Scene(start, stop - 1, times[start], times[stop] if stop < count else end_time)
                 for start, stop in zip(bounds, bounds[1:]))


def analyze(input: Input, *, native_res: bool = False, hwdec: Optional[str] = None, threads: int = 0,
            progress: Optional[Callable[[Progress], object]] = None, scores: bool = False,
            on_decode_error: str = "stop", min_scene_len: Optional[SceneLength] = None,
            max_scene_len: Optional[SceneLength] = None,
            detector: Optional[DetectorSettings] = None, method: str = DEFAULT_METHOD,
            threshold: Optional[float] = None, model: Optional[str] = None,
            storage_options: Optional[Dict[str, Any]] = None) -> Analysis:
    """Decodes and analyses `input` once; the interpreter lock is released meanwhile.

    input: a path (str or os.PathLike), the video's bytes (bytes, bytearray, memoryview), or a
    binary file object (anything with `read`: open(path, "rb"), io.BytesIO, a socket's
    makefile("rb")), read from its start where it can seek and left open; see vantrel.sources.
    A URL of a protocol fsspec knows ("s3://bucket/film.mp4", "https://...") is read through
    fsspec (the remote extra), `storage_options` passing its filesystem's credentials and
    endpoint; see vantrel.remote.

    method: how scenes are found, one of vantrel.METHODS (see vantrel.methods), "transitions" by
    default ("gradual", its former name, still selects it with a DeprecationWarning); threshold: the
    least strength, 0 to 1, of a transition kept (0 keeps all; higher never gives more scenes);
    None: 0, or for "learned" 0.35, the transition probability a frame must exceed
    (see vantrel.methods.learned), for "combined" 0.5, the probability of a transition by its
    fitted model (vantrel.methods.combined). model: the network's graph of "learned" and
    "combined", "int8" (the default) or
    "fp32" (the reference's arithmetic); other methods take none.
    Every method's keyframes begin with frame 0, also for a video that yields no frame (whose
    `scenes` are empty), as `vantrel_rs.detect_frames` gives.
    With method="refined" and the other defaults, `keyframes` and `pass_text` equal
    `vantrel_rs.detect_frames` and `detect_pass`; `detector` shapes the cut detection, which the
    statistics text shows.
    Raises AnalysisError when the analysis fails (when the file object's read or seek raised,
    or a URL could not be opened, with that exception as its __cause__), TypeError for an input
    of another kind, ImportError (vantrel.remote.RemoteUnavailable) naming the package a URL needs.
    """
    if isinstance(method, str) and method in FORMER_NAMES:
        import warnings
        warnings.warn(f"method {method!r} is now called {FORMER_NAMES[method]!r}", DeprecationWarning, stacklevel=2)
    settings = AnalysisSettings(native_res, hwdec, threads, scores, on_decode_error, min_scene_len, max_scene_len,
                                detector, method, threshold, model)
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    return analyze_with(input, settings, progress, storage_options)


def analyze_with(input, settings: AnalysisSettings, progress: Optional[Callable[[Progress], object]] = None,
                 storage_options: Optional[Dict[str, Any]] = None) -> Analysis:
    """`analyze()` of checked settings; a URL is opened for the analysis and closed after it."""
    with opened(input, storage_options) as video:
        source = source_of(video)
        if isinstance(input, str) and source.content is not None:  # a URL's file: messages say the URL
            source = Source(input.encode(), source.content)
        return _analyze_source(source, settings, progress)


def _analyze_source(given: Source, settings: AnalysisSettings,
                    progress: Optional[Callable[[Progress], object]]) -> Analysis:
    """One analysis of `given`: the method says what the engine computes for it and makes the
    transitions of the result."""
    content = {} if given.content is None else {"source": given.content}
    with lookup(settings.method).start(settings) as run:
        raw = _engine.analyze(given.name, **content, native_res=settings.native_res, hwdec=settings.hwdec,
                              threads=settings.threads,
                              progress=None if progress is None else _reporter(progress),
                              keep_records=settings.keep_records, transitions=run.transition_rule,
                              on_decode_error=settings.on_decode_error, detector=settings.detector._asdict(),
                              learned_frames=run.learned_frames)
        messages = tuple(_messages(raw))
        if "error" in raw:
            kind, text = raw["error"]
            cause = raw.get("error_cause")
            if cause is None and not given.seekable and CATEGORIES[kind] in ("io", "decode"):
                text += "; " + UNSEEKABLE_HINT.format(what="a file object that cannot seek")
            raise AnalysisError(CATEGORIES[kind], text, messages) from cause
        times = _column("d", raw["times"])
        found, probability = run.results(raw, times)
    scores = _scores(raw["records"], times, probability)
    keyframes = [0, *(t.start_frame for t in found)]
    shortest, longest = settings.min_scene_len, settings.max_scene_len
    if shortest is not None or longest is not None:
        from .scene_limits import apply_scene_limits
        keyframes = apply_scene_limits(keyframes, times, raw["end_time"], None if scores is None else scores.score,
                                       shortest, longest)
    starts = set(keyframes)
    return Analysis(keyframes, raw["pass_text"], len(times), times, raw["fps"], raw["duration"],
                    _scenes(keyframes, times, raw["end_time"]), scores if settings.scores else None,
                    tuple(DecodeError(*entry) for entry in raw["decode_errors"]), messages, settings.method,
                    tuple(t for t in found if t.start_frame in starts))


def _scores(records: Optional[dict], times: array, probability: Optional[array]) -> Optional[Scores]:
    """The engine's per-frame records of the compared frames, with the method's probability of each."""
    if records is None:
        return None
    compared = len(records["score"]) // 8
    return Scores(
        frame=array("Q", range(1, compared + 1)), time=times[1:compared + 1],
        **{name: _column("d", records[name]) for name in
           ("score", "threshold", "hist_distance", "grid_hist_distance", "grid_hist_median")},
        **{name: _column("Q", records[name]) for name in ("intra_blocks", "total_blocks", "mc_sad")},
        is_cut=_column("B", records["is_cut"]),
        probability=None if probability is None else probability[1:compared + 1])
