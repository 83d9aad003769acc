"""The combined method: the learned network's transition probabilities (vantrel.methods.learned)
joined with the transitions method's cuts, fades and dissolves (vantrel.methods.transitions),
both worked out in the same decode, and weighed by a small logistic model fitted on the tuning
half of the real footage (bench/learned/fit_combined.py; its coefficients below).

1. Candidates. The network's: the learned method's transitions at its threshold (0.35), and
   those of the weaker runs, whose peak lies above WEAKEST and at most 0.35 (the learned scene
   rule at WEAKEST). The classical ones: every transition of the transitions rule.
2. Events. A network candidate belongs to the classical transition it overlaps, the reach of a
   fade widened by the fade rule's 12 frames each side (the rule finds only its flat frames; the
   network fires where the picture darkens and where it brightens), of a cut or dissolve by one
   frame; it takes the one whose start is nearest. A classical transition with its candidates is
   one event, and so is each network candidate that belongs to none: one transition, one start.
3. Weighing. An event's features: the logit of its peak probability (the highest of the network
   over its frames, clipped to 0.001..0.999), whether it has a classical transition, that
   transition's strength, and whether it is a fade or a dissolve. Its probability is the
   logistic function of COEFFICIENTS' weighted sum; the events at least `threshold` (0.5) likely
   are kept, their probability as the strength.
4. The transition kept is the classical one where there is one (its frames, kind and start),
   else the network's; of two events starting on one frame the likelier is kept.

On the held-out half of the real footage it scores below the learned method (docs/accuracy.md):
the tuning half holds few of the rule's false detections, so the model trusts the rule.
"""
from __future__ import annotations

import math
from array import array
from collections import namedtuple

from .base import Method, Run, Transition, measured
from .learned import METHOD as LEARNED
from .learned import NetworkRun, per_frame, start_network, transitions
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

if TYPE_CHECKING:
    from typing import List, Optional, Sequence, Tuple

    from ..settings import AnalysisSettings

# The weakest network peak that makes a candidate. Fitted with COEFFICIENTS, by the tuning half's
# pooled F1 among 0.05 to 0.3 (bench/learned/results/combined.md).
WEAKEST = 0.2
# How far a fade reaches beyond its flat frames: the fade rule's context (TRANSITION_RULE["fade_context"]).
FADE_REACH = 12
# The logistic model, in the order of `features`, then the intercept (bench/learned/fit_combined.py).
COEFFICIENTS = (0.751, 1.041, 0.104, 0.036, -0.476, 2.829)

Event = namedtuple("Event", "classical network peak")
Event.__doc__ = """Evidence of one transition: the classical Transition (or None), the network's
candidates that belong to it (Transitions by start frame), its peak probability."""


def reach(t: Transition) -> Tuple[int, int]:
    """The frames a classical transition may share with a network candidate."""
    margin = FADE_REACH if t.kind == "fade" else 1
    return t.first_frame - margin, max(t.last_frame, t.start_frame) + margin


def events(candidates: Sequence[Transition], classical: Sequence[Transition], probability: array) -> List[Event]:
    """The events of the network's `candidates` and the `classical` transitions, by start frame;
    `probability` is every analysed frame's (NaN where no network frame shows it)."""
    taken: List[list] = [[] for _ in classical]
    reaches = [reach(t) for t in classical]
    alone = []
    for c in candidates:
        near = [(abs(c.start_frame - t.start_frame), i) for i, (t, (lo, hi)) in enumerate(zip(classical, reaches))
                if c.first_frame <= hi and c.start_frame >= lo]
        if near:
            taken[min(near)[1]].append(c)
        else:
            alone.append(Event(None, [c], c.strength))
    found = alone
    for t, own in zip(classical, taken):
        # The peak over the transition's frames, one more each side, and its candidates' frames.
        lo = max(0, min([t.first_frame - 1, *(c.first_frame for c in own)]))
        hi = max([t.last_frame + 1, t.start_frame + 1, *(c.start_frame for c in own)])
        values = [p for p in probability[lo:hi + 1] if p == p]  # NaN: no network frame shows it
        found.append(Event(t, own, max([0.0, *values, *(c.strength for c in own)])))
    return sorted(found, key=lambda e: start_of(e))


def start_of(event: Event) -> int:
    return (event.classical or event.network[0]).start_frame


def features(event: Event) -> Tuple[float, ...]:
    q = min(max(float(event.peak), 0.001), 0.999)
    t = event.classical
    return (math.log(q / (1 - q)), float(t is not None), t.strength if t else 0.0,
            float(t is not None and t.kind == "fade"), float(t is not None and t.kind == "dissolve"))


def likelihood(event: Event, coefficients: Sequence[float] = COEFFICIENTS) -> float:
    """The event's probability of being a transition under the logistic model's `coefficients`."""
    z = coefficients[-1]
    for weight, value in zip(coefficients, features(event)):
        z += weight * value
    return 1.0 / (1.0 + math.exp(-z))


def decide(found: Sequence[Event], threshold: float,
           coefficients: Sequence[float] = COEFFICIENTS) -> List[Transition]:
    """The transitions of the events at least `threshold` likely, by start frame, one per start."""
    kept: dict = {}
    for event in found:
        p = likelihood(event, coefficients)
        start = start_of(event)
        if p >= threshold and (start not in kept or p > kept[start].strength):
            kept[start] = (event.classical or event.network[0])._replace(strength=p)
    return [kept[start] for start in sorted(kept)]


def candidates(probabilities, source: array, times: array, weakest: float = WEAKEST) -> List[Transition]:
    """The network's candidates: the learned method's transitions, then those of the weaker runs
    whose peak lies above `weakest`."""
    strong = transitions(probabilities, source, times, LEARNED.threshold)
    weak = [t for t in transitions(probabilities, source, times, weakest) if t.strength <= LEARNED.threshold]
    return sorted(strong + weak, key=lambda t: t.start_frame)


class Combined(Method):
    name = "combined"
    help = ("the learned network's probabilities weighed with the transitions method's cuts, fades and dissolves "
            "by a model fitted on real footage (vantrel.methods.combined), below learned on held-out footage "
            "(docs/accuracy.md); --threshold is its probability")
    threshold = 0.5
    threshold_help = "the probability, by the fitted model, that a transition must reach"
    models = LEARNED.models
    model_help = LEARNED.model_help
    extra = LEARNED.extra
    needs = LEARNED.needs
    needs_text = LEARNED.needs_text

    def start(self, settings: AnalysisSettings) -> Run:
        return _Combined(start_network(self, settings), settings.threshold)


class _Combined(NetworkRun):
    """The network fed the engine's frames, and the transitions rule, in one decode."""

    transition_rule = "gradual"  # the engine's name of the transitions method's rule

    def results(self, raw: dict, times: array) -> Tuple[List[Transition], Optional[array]]:
        probabilities, source = self.network_output(raw)
        probability = per_frame(probabilities, source, len(times))
        found = events(candidates(probabilities, source, times), measured(raw["transitions"], times), probability)
        return decide(found, self._threshold), probability


METHOD = Combined()
