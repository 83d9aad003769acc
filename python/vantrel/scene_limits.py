"""Scene-length limits applied to a final keyframe list.

A length is an int (frames) or a float (seconds, measured on the frames' times).
"""
from __future__ import annotations

import math
from itertools import takewhile
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

if TYPE_CHECKING:
    from typing import Callable, List, Optional, Sequence, Union

    Length = Union[int, float]


def _position(length: Length, times: Sequence[float], end_time: float) -> Callable[[int], float]:
    """Where frame `i` lies in the unit of `length`; frame len(times) is the end of the video."""
    if isinstance(length, int):
        return float
    count = len(times)
    return lambda i: times[i] if i < count else end_time


def drop_short(keyframes: Sequence[int], minimum: Length, times: Sequence[float],
               end_time: float) -> List[int]:
    """Drops every keyframe that would start a scene shorter than `minimum` after the previous kept one."""
    at = _position(minimum, times, end_time)
    kept = list(keyframes[:1])
    for frame in keyframes[1:]:
        if at(frame) - at(kept[-1]) >= minimum:
            kept.append(frame)
    return kept


def split_long(keyframes: Sequence[int], maximum: Length, minimum: Optional[Length],
               times: Sequence[float], end_time: float, scores: Sequence[float]) -> List[int]:
    """Adds keyframes inside every scene longer than `maximum`.

    Each added keyframe is the highest-scoring frame (earliest on ties) of its allowed range:
    the frames that make the scene before it between half the maximum and the maximum long
    and, where a minimum is set, leave both parts at least `minimum` long. When the minimum
    leaves no frame, the maximum alone decides; when even half the maximum leaves none (frames
    longer than that), the farthest frame within the maximum is taken. `scores[i]` is the
    score of frame i + 1.
    """
    at = _position(maximum, times, end_time)
    at_min = _position(minimum, times, end_time) if minimum is not None else None
    result: List[int] = []
    bounds = [*keyframes, len(times)]
    for start, stop in zip(bounds, bounds[1:]):
        result.append(start)
        while at(stop) - at(start) > maximum:
            # Frames in presentation order: the reach ends at the first one past the maximum.
            reach = list(takewhile(lambda f: at(f) - at(start) <= maximum, range(start + 1, stop)))
            if not reach:  # the next frame alone is longer than the maximum
                reach = [start + 1]
            long_enough = [f for f in reach if at(f) - at(start) >= maximum / 2] or reach[-1:]
            allowed = long_enough
            if at_min is not None and minimum is not None:
                allowed = [f for f in long_enough
                           if at_min(f) - at_min(start) >= minimum and at_min(stop) - at_min(f) >= minimum]
                allowed = allowed or long_enough
            best = max(allowed, key=lambda f: _rank(scores[f - 1]))  # max keeps the first of equals
            if best >= stop:
                break
            result.append(best)
            start = best
    return result


def _rank(score: float) -> float:
    return -math.inf if math.isnan(score) else score


def apply_scene_limits(keyframes: Sequence[int], times: Sequence[float], end_time: float,
                       scores: Optional[Sequence[float]], minimum: Optional[Length],
                       maximum: Optional[Length]) -> List[int]:
    kept = list(keyframes)
    if minimum is not None:
        kept = drop_short(kept, minimum, times, end_time)
    if maximum is not None and scores is not None:
        kept = split_long(kept, maximum, minimum, times, end_time, scores)
    return kept
