"""The settings of one analysis, checked here and nowhere else: `analyze()` and the command build them.

A value that cannot be used raises ValueError (TypeError for a wrong type) whose text names
the field, so that the command can say it with its option's name.
"""
from __future__ import annotations

import math
from collections import namedtuple
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

from . import _engine
from .methods import DEFAULT as DEFAULT_METHOD, FAMILY, lookup

if TYPE_CHECKING:  # typing costs more to import than a short analysis
    from typing import Optional, Union

    SceneLength = Union[int, float]

# The detector settings by name, in the engine's order: they and their defaults are defined once, in
# the C++ core.
DETECTOR_FIELDS = tuple(_engine.DETECTOR_DEFAULTS)
# The integer fields and their ranges: the largest motion search the block search is built
# for, and the longest history the adaptive threshold keeps.
_DETECTOR_INTS = {"search_radius": (0, 64), "intra_thresh": (0, 2**31 - 1), "window_size": (0, 100_000)}
# Fields that may be negative: thresholds that only shift the score.
_DETECTOR_SIGNED = ("base_threshold", "min_score")
MAX_THREADS = 1024
ON_DECODE_ERROR = ("stop", "skip")


def _type_name(value: object) -> str:
    return type(value).__name__


_DEFAULTS = tuple(_engine.DETECTOR_DEFAULTS.values())
_DetectorFields = namedtuple("_DetectorFields", DETECTOR_FIELDS, defaults=_DEFAULTS)  # type: ignore[misc]


class DetectorSettings(_DetectorFields):
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
                    raise TypeError(f"{name} must be an int, not {_type_name(value)}")
                if not low <= value <= high:
                    raise ValueError(f"{name} must be from {low} to {high}, not {value}")
            else:
                if isinstance(value, bool) or not isinstance(value, (int, float)):
                    raise TypeError(f"{name} must be a number, not {_type_name(value)}")
                if not math.isfinite(value):
                    raise ValueError(f"{name} must be a finite number, not {value}")
                if value < 0 and name not in _DETECTOR_SIGNED:
                    raise ValueError(f"{name} must not be negative, not {value}")
                value = float(value)
            values.append(value)
        return super().__new__(cls, *values)


def _scene_length(name: str, value: Optional[SceneLength]) -> Optional[SceneLength]:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be an int (frames) or a float (seconds), not {_type_name(value)}")
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError(f"{name} must be finite, not {value}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, not {value}")
    return value


class AnalysisSettings(namedtuple("AnalysisSettings", (
        "native_res", "hwdec", "threads", "scores", "on_decode_error", "min_scene_len", "max_scene_len",
        "detector", "method", "threshold", "model"),
        defaults=(False, None, 0, False, "stop", None, None, None, DEFAULT_METHOD, None, None))):
    """Every option of `analyze()` but its progress call, checked; `detector` None means the defaults.

    method: the name of a method of vantrel.methods (a former name becomes the method's);
    threshold: the least strength (0 to 1) of a transition kept, None for the method's default;
    model: one of the method's graphs, None for its default (a method without graphs takes none).

    native_res, scores: flags; hwdec: an FFmpeg hardware device type or None; threads: decoder
    threads, 0 lets FFmpeg choose; on_decode_error: "stop" at the first damaged packet or
    "skip" it; min_scene_len, max_scene_len: an int (frames), a float (seconds) or None.
    """

    __slots__ = ()

    def __new__(cls, *args, **kwargs):
        s = super().__new__(cls, *args, **kwargs)
        if s.hwdec is not None and not isinstance(s.hwdec, str):
            raise TypeError(f"hwdec must be a str or None, not {_type_name(s.hwdec)}")
        if isinstance(s.threads, bool) or not isinstance(s.threads, int):
            raise TypeError(f"threads must be an int, not {_type_name(s.threads)}")
        if not 0 <= s.threads <= MAX_THREADS:
            raise ValueError(f"threads must be from 0 (FFmpeg chooses) to {MAX_THREADS}, not {s.threads}")
        if s.on_decode_error not in ON_DECODE_ERROR:
            raise ValueError(f"on_decode_error must be 'stop' or 'skip', not {s.on_decode_error!r}")
        shortest = _scene_length("min_scene_len", s.min_scene_len)
        longest = _scene_length("max_scene_len", s.max_scene_len)
        if longest is not None and longest <= 0:
            raise ValueError(f"max_scene_len must be positive, not {longest}")
        # Frames and seconds compare only once the video's times are known.
        if shortest is not None and longest is not None and type(shortest) is type(longest) and shortest > longest:
            raise ValueError(f"min_scene_len is longer than max_scene_len ({shortest} > {longest})")
        detector = s.detector
        if detector is None:
            detector = DetectorSettings()
        elif not isinstance(detector, DetectorSettings):
            raise TypeError(f"detector must be a DetectorSettings, not {_type_name(detector)}")
        method = lookup(s.method)
        threshold = method.threshold if s.threshold is None else s.threshold
        if isinstance(threshold, bool) or not isinstance(threshold, (int, float)):
            raise TypeError(f"threshold must be a number from 0 to 1, not {_type_name(threshold)}")
        if not 0.0 <= threshold <= 1.0:  # also rejects NaN
            raise ValueError(f"threshold must be from 0 to 1, not {threshold}")
        model = s.model
        if not method.models:
            if model is not None:
                with_models = " or ".join(m.name for m in FAMILY if m.models)
                raise ValueError(f"model is an option of method {with_models}, not of method {method.name}")
        elif model is None:
            model = method.default_model
        elif model not in tuple(method.models):
            raise ValueError(f"model must be one of {', '.join(method.models)}, not {model!r}")
        return super().__new__(cls, bool(s.native_res), s.hwdec, s.threads, bool(s.scores), s.on_decode_error,
                               shortest, longest, detector, method.name, float(threshold), model)

    @property
    def keep_records(self) -> bool:
        """The engine keeps the per-frame scores: asked for, or needed to split long scenes."""
        return self.scores or self.max_scene_len is not None
