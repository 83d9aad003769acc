"""The learned method: the TransNetV2 shot-transition network (its inference: vantrel.methods.network)
and its scene list, from the network's per-frame transition probabilities to transitions on the
analysed frames.

The network sees the frames of a constant-frame-rate reading of the video (docs/learned-model.md):
a decoded frame may be shown there several times (a gap in the timestamps) or not at all (a
frame that came too early). The engine says which analysed frame each network frame shows
(`learned_source`), and everything is decided on the network frames first, exactly as the
reference decides, then carried over:

- a run of network frames whose probability is above the threshold (strictly) is one transition;
  its new scene starts on the first network frame after the run, and a run that reaches the last
  frame starts none;
- the transition's frames and its start are the analysed frames that those network frames show;
  a start that falls on frame 0 or on an earlier start (duplicated frames) is dropped;
- its strength is the run's peak probability; its kind is "cut" when the run is at most
  CUT_RUN frames long (a cut then is one frame: its start), else "dissolve";
- an analysed frame's probability (Scores.probability) is the highest of the network frames that
  show it, NaN when none does.
"""
from __future__ import annotations

from array import array

from ..errors import AnalysisError
from .base import Method, Run, Transition
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

if TYPE_CHECKING:
    from typing import List, Optional, Tuple

    from ..settings import AnalysisSettings
    from . import network

# The longest run of a hard cut. On the accuracy set at 0.35 each of the 189 cuts found gave a run
# of one frame, and 18 of the 41 gradual transitions found longer ones: the network marks many
# dissolves on one frame too, so those are called cuts (bench/learned/results/threshold.md).
CUT_RUN = 1


def per_frame(probabilities, source: array, count: int) -> array:
    """The probability of each of the `count` analysed frames."""
    values = array("d", [float("nan")]) * count
    for p, frame in zip(probabilities.tolist(), source):
        if not values[frame] >= p:  # NaN compares False: the first network frame to show it
            values[frame] = p
    return values


def transitions(probabilities, source: array, times, threshold: float) -> list:
    """The Transitions of the network frames' `probabilities`, by start frame."""
    found: list = []
    above = (probabilities > threshold).tolist()
    values = probabilities.tolist()
    n = len(values)
    k = 0
    while k < n:
        if not above[k]:
            k += 1
            continue
        first = k
        while k + 1 < n and above[k + 1]:
            k += 1
        last = k
        k += 1
        if k == n:
            break
        start = source[k]
        if start == 0 or (found and start <= found[-1].start_frame):
            continue
        strength = max(values[first:last + 1])
        if last - first + 1 <= CUT_RUN:
            found.append(Transition("cut", start, start, start, times[start], times[start], strength))
        else:
            a = source[first]
            b = max(a, min(source[last], start - 1))
            found.append(Transition("dissolve", a, b, start, times[a], times[b], strength))
    return found


class Learned(Method):
    name = "learned"
    help = ("the TransNetV2 shot-transition network (vantrel.methods.learned): cuts and gradual transitions, "
            "--threshold is its transition probability")
    # Its default threshold: the fp32 graph's best pooled F1 on the accuracy set, where the int8
    # graph scores the same, in a plateau from 0.2 to 0.45 (bench/learned/results/threshold.md).
    threshold = 0.35
    threshold_help = "the transition probability a frame must exceed"
    models = {"int8": "quantised, about twice as fast", "fp32": "the reference's arithmetic"}
    model_help = "the network's graph"
    extra = "learned"
    needs = ("onnxruntime", "vantrel_learned_model")
    needs_text = "ONNX Runtime and the model"

    def start(self, settings: AnalysisSettings) -> Run:
        return NetworkRun(start_network(self, settings), settings.threshold)


def start_network(method: Method, settings: AnalysisSettings) -> network.Inference:
    """The network of `settings` for `method`; AnalysisError saying what to install where a piece is missing."""
    from . import network
    try:
        return network.start(settings.model, settings.threads)
    except network.Missing as e:
        raise AnalysisError("configuration", f"method {method.name} needs {e}: {method.install}") from None


class NetworkRun(Run):
    """The network fed the engine's frames while it decodes."""

    def __init__(self, inference: network.Inference, threshold: float) -> None:
        self._inference = inference
        self._threshold = threshold
        self.learned_frames = inference.feed

    def network_output(self, raw: dict) -> Tuple[object, array]:
        """Once the decode is done: the network frames' probabilities and the analysed frame each shows."""
        probabilities = self._inference.finish()
        source = array("I")
        source.frombytes(raw["learned_source"])
        return probabilities, source

    def results(self, raw: dict, times: array) -> Tuple[List[Transition], Optional[array]]:
        probabilities, source = self.network_output(raw)
        return (transitions(probabilities, source, times, self._threshold),
                per_frame(probabilities, source, len(times)))

    def close(self) -> None:
        self._inference.close()


METHOD = Learned()
