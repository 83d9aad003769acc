#!/usr/bin/env python3
"""Fits the combined method's model (vantrel.methods.combined) on the tuning half of the real footage.

    .venv/bin/python -m bench.learned.fit_combined [--model int8]

Reads only the clips of bench/accuracy/real/labels.json whose split is "tuning". Each file is decoded
once, as the method decodes it: the network's probabilities and the transitions rule together. For
each candidate floor (the weakest network peak that makes a candidate) it builds the method's events,
labels each by the scoring of bench/accuracy/scoring.py (an event whose start finds a labelled
transition is one; a doubtful label's event is left out), fits the logistic model (Newton's method, an
L2 penalty of 1 on the weights, none on the intercept), rounds its coefficients to three places and
scores the tuning clips with them at the method's threshold. The floor with the best pooled F1 (the
lowest of equals) and its coefficients are the method's WEAKEST and COEFFICIENTS; the report says
whether the installed method holds them. Writes bench/learned/results/combined.md and .json.
"""
import argparse
import math
from pathlib import Path

from bench import common
from bench.accuracy import dataset, scoring
from bench.learned.network import network_output

RESULTS = Path(__file__).resolve().parent / "results"
FLOORS = (0.05, 0.1, 0.15, 0.2, 0.25, 0.3)
PENALTY = 1.0


def evidence(path, model):
    """Everything the events are made of, from one decode of `path`."""
    from vantrel.methods import combined, learned
    from vantrel.methods.base import measured
    probabilities, source, times, found = network_output(path, model, transitions="gradual")
    classical = measured(found, times)
    probability = learned.per_frame(probabilities, source, len(times))
    return lambda weakest: combined.events(combined.candidates(probabilities, source, times, weakest),
                                           classical, probability)


def labelled(clip, found):
    """(event, 1 or 0) for the events of `clip`'s span; doubtful ones left out."""
    from vantrel.methods.combined import start_of
    lo, hi = clip["span"]
    inside = [e for e in found if lo <= start_of(e) <= hi]
    starts = [start_of(e) for e in inside]
    hits = set(scoring.match(clip["transitions"], starts).values())
    doubtful = set(scoring.match(clip["doubtful"], [s for s in starts if s not in hits]).values())
    return [(e, 1.0 if start_of(e) in hits else 0.0) for e in inside if start_of(e) not in doubtful]


def fit(rows):
    """The logistic model's weights and intercept, by Newton's method."""
    import numpy as np
    from vantrel.methods.combined import features
    x = np.array([[*features(e), 1.0] for e, _ in rows])
    y = np.array([label for _, label in rows])
    penalty = np.eye(x.shape[1]) * PENALTY
    penalty[-1, -1] = 0.0
    w = np.zeros(x.shape[1])
    for _ in range(100):
        p = 1.0 / (1.0 + np.exp(-(x @ w)))
        step = np.linalg.solve((x.T * (p * (1 - p))) @ x + penalty, x.T @ (p - y) + penalty @ w)
        w -= step
        if np.abs(step).max() < 1e-12:
            break
    return tuple(round(float(v), 3) for v in w)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--model", default="int8", help="the network's graph (default int8, the method's default)")
    args = ap.parse_args()
    from vantrel.methods import combined
    clips = [c for c in dataset.real_clips() if c["set"] == "tuning"]
    per_file = {path: evidence(path, args.model) for path in sorted({c["path"] for c in clips})}
    machine = common.machine_line(common.machine())
    trials = []
    for floor in FLOORS:
        found = {path: events(floor) for path, events in per_file.items()}
        rows = [row for clip in clips for row in labelled(clip, found[clip["path"]])]
        coefficients = fit(rows)
        total = scoring.Score()
        for clip in clips:
            kept = combined.decide(found[clip["path"]], combined.METHOD.threshold, coefficients)
            total.add(scoring.score(clip["transitions"], [t.start_frame for t in kept], clip["negatives"],
                                    clip["doubtful"], clip["span"]))
        pooled = total.pooled()
        trials.append({"floor": floor, "events": len(rows), "transitions": int(sum(y for _, y in rows)),
                       "coefficients": coefficients, **pooled.as_dict()})
        print(trials[-1], flush=True)
    best = max(trials, key=lambda t: (t["f1"], -t["floor"]))
    holds = best["floor"] == combined.WEAKEST and best["coefficients"] == combined.COEFFICIENTS
    names = ("logit(peak)", "classical", "strength", "fade", "dissolve", "intercept")
    lines = [
        "# The combined method's model, fitted on the tuning half (bench/learned/fit_combined.py)", "",
        f"Machine: {machine}. Graph: {args.model}. Clips: {', '.join(c['name'] for c in clips)} "
        f"(the tuning half only; no held-out clip is read). Penalty {PENALTY:g} on the weights.", "",
        *common.table(["candidate floor", "#events", "#transitions among them", "coefficients", "#P", "#R", "#F1"],
                      [[t["floor"], t["events"], t["transitions"], ", ".join(f"{c:g}" for c in t["coefficients"]),
                        f"{t['precision']:.3f}", f"{t['recall']:.3f}", f"{t['f1']:.3f}"] for t in trials]), "",
        f"Chosen: floor {best['floor']:g}, " + ", ".join(f"{n} {c:g}" for n, c in zip(names, best["coefficients"]))
        + f" (tuning F1 {best['f1']:.3f}).",
        f"The installed method holds them: {'yes' if holds else 'NO'}.",
    ]
    decision = best["coefficients"]
    lone = (-decision[-1] / decision[0])
    lines.append(f"An event without a classical transition is kept above a peak of "
                 f"{1 / (1 + math.exp(-lone)):.3f}.")
    common.write(RESULTS, "combined", {"machine": machine, "model": args.model, "trials": trials,
                                       "chosen": best, "installed": holds}, "\n".join(lines))


if __name__ == "__main__":
    main()
