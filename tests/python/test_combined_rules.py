"""The combined method's rules without the network: how the network's candidates and the classical
transitions become events, and which events the fitted model keeps."""
import math
from array import array

import pytest

from vantrel.methods import combined
from vantrel.methods.base import Transition

TIMES = array("d", [k / 25 for k in range(400)])


def t(kind, first, last, start, strength):
    return Transition(kind, first, last, start, TIMES[first], TIMES[last], strength)


def flat(p=0.0, n=400):
    return array("d", [p]) * n


def shape(found):
    """Each event as (classical start or None, the network candidates' starts)."""
    return [(e.classical.start_frame if e.classical else None, [c.start_frame for c in e.network]) for e in found]


@pytest.mark.parametrize("candidates, classical, expected", [
    # The network fires where a fade darkens and where it brightens: both belong to the fade,
    # whose rule found only its flat frames (reach: 12 frames each side).
    ([t("dissolve", 88, 95, 96, 0.7), t("cut", 131, 131, 131, 0.9)], [t("fade", 100, 120, 121, 0.5)],
     [(121, [96, 131])]),
    # Beyond the fade's reach a candidate is an event of its own.
    ([t("cut", 134, 134, 134, 0.9)], [t("fade", 100, 120, 121, 0.5)], [(121, []), (None, [134])]),
    # A cut and a dissolve reach one frame beyond their frames.
    ([t("cut", 51, 51, 51, 0.9), t("cut", 60, 60, 60, 0.9)], [t("cut", 50, 50, 50, 0.4)],
     [(50, [51]), (None, [60])]),
    ([t("cut", 71, 71, 71, 0.3)], [t("dissolve", 60, 70, 65, 0.4)], [(65, [71])]),
    # A candidate within the reach of two transitions goes to the one whose start is nearest.
    ([t("cut", 52, 52, 52, 0.9)], [t("cut", 50, 50, 50, 0.4), t("dissolve", 51, 60, 55, 0.4)],
     [(50, []), (55, [52])]),
    ([], [], []),
])
def test_events(candidates, classical, expected):
    assert shape(combined.events(candidates, classical, flat())) == expected


def test_an_events_peak_is_the_networks_highest_over_its_frames_nan_ignored():
    probability = flat(math.nan)
    probability[49], probability[51], probability[52] = 0.25, 0.125, 0.75
    [event] = combined.events([], [t("cut", 50, 50, 50, 0.4)], probability)
    assert event.peak == 0.25  # frames 49 to 51; 52 lies beyond
    # Its candidates' frames and peaks count too.
    [event] = combined.events([t("dissolve", 51, 51, 52, 0.5)], [t("cut", 50, 50, 50, 0.4)], probability)
    assert event.peak == 0.75
    [event] = combined.events([], [t("cut", 50, 50, 50, 0.4)], flat(math.nan))
    assert event.peak == 0.0


def likelihood(peak, classical=None):
    return combined.likelihood(combined.Event(classical, [] if classical else [t("cut", 9, 9, 9, peak)], peak))


def test_the_fitted_model_weighs_the_network_and_the_classical_evidence():
    # The network's own candidates are kept, down to its weakest peak.
    assert likelihood(combined.WEAKEST) > 0.5
    # A classical cut that the network does not see at all is dropped; a little of its
    # probability keeps it.
    assert likelihood(0.0, t("cut", 50, 50, 50, 0.2)) < 0.5 < likelihood(0.1, t("cut", 50, 50, 50, 0.2))
    # More probability, or a stronger classical transition, is never less likely.
    peaks = [0.0, 0.01, 0.1, 0.3, 0.6, 0.9, 1.0]
    for kind in ("cut", "fade", "dissolve"):
        ranked = [likelihood(p, t(kind, 50, 50, 50, 0.3)) for p in peaks]
        assert ranked == sorted(ranked)
        assert likelihood(0.05, t(kind, 50, 50, 50, 0.2)) <= likelihood(0.05, t(kind, 50, 50, 50, 0.8))


def test_decide_keeps_one_transition_per_start_the_classical_one_first():
    fade = t("fade", 100, 120, 121, 0.5)
    found = combined.events([t("dissolve", 88, 95, 96, 0.7), t("cut", 121, 121, 121, 0.95)], [fade], flat())
    [kept] = combined.decide(found, 0.5)
    assert kept._replace(strength=None) == fade._replace(strength=None)
    assert kept.strength == combined.likelihood(found[0])
    # A lone candidate on the classical start: the likelier event's transition.
    lone = [combined.Event(None, [t("cut", 121, 121, 121, 0.9)], 0.9),
            combined.Event(fade, [], 0.0)]
    [kept] = combined.decide(lone, 0.0)
    assert kept.kind == "cut" and kept.strength == combined.likelihood(lone[0])


def test_a_higher_threshold_never_keeps_more():
    candidates = [t("cut", k, k, k, p) for k, p in ((20, 0.21), (40, 0.3), (60, 0.5), (80, 0.95))]
    classical = [t("cut", 30, 30, 30, 0.1), t("dissolve", 50, 58, 54, 0.6)]
    found = combined.events(candidates, classical, flat(0.05))
    counts = [len(combined.decide(found, x)) for x in (0.0, 0.5, 0.9, 0.99, 1.0)]
    assert counts == sorted(counts, reverse=True) and counts[0] == 6 and counts[-1] == 0


def test_candidates_are_the_learned_transitions_and_the_weaker_runs():
    np = pytest.importorskip("numpy")
    probabilities = np.zeros(40, np.float32)
    probabilities[[5, 15, 25]] = [0.9, 0.3, 0.1]
    source = array("I", range(40))
    found = combined.candidates(probabilities, source, TIMES)
    assert [(c.start_frame, round(c.strength, 3)) for c in found] == [(6, 0.9), (16, 0.3)]
