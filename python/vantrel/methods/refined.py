"""The refined method: the analysis' own keyframe list, every scene start a cut of one frame.

At threshold 0 (its default) it measures nothing and its list is that of vantrel_rs.detect_frames;
a higher threshold has the engine measure each cut's strength, as vantrel.methods.transitions
defines it, and keeps the cuts at least that strong.
"""
from __future__ import annotations

from .base import Measured, Method, Run, Transition
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

if TYPE_CHECKING:
    from array import array
    from typing import List, Optional, Tuple

    from ..settings import AnalysisSettings


class Refined(Method):
    name = "refined"
    help = "the analysis' keyframes: hard cuts only (the list of vantrel_rs.detect_frames)"
    lists_transitions = False  # its transitions are its scene starts again

    def start(self, settings: AnalysisSettings) -> Run:
        return Measured("cuts", settings.threshold) if settings.threshold > 0.0 else _Keyframes()


class _Keyframes(Run):
    """The analysis' keyframes as cuts of no strength."""

    def results(self, raw: dict, times: array) -> Tuple[List[Transition], Optional[array]]:
        return [Transition("cut", k, k, k, times[k], times[k], None) for k in raw["keyframes"] if k > 0], None


METHOD = Refined()
