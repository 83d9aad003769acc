#!/usr/bin/env python3
"""The learned method's threshold and cut rule, chosen on the accuracy set (bench/accuracy/dataset.py).

    PYTHONPATH=build/dev .venv/bin/python -m bench.learned.threshold

For each graph (int8, fp32) the network's probabilities of every clip are computed once, through
the engine's own hand-over; the scene list of every threshold then comes from
vantrel.methods.learned as the analysis makes it, scored as bench/accuracy/run.py scores. Also
counts, per labelled kind, the lengths of the runs (frames above the default threshold) that find
a transition: what the cut / dissolve rule (vantrel.methods.learned.CUT_RUN) rests on. Writes
bench/learned/results/threshold.md and .json; the network's outputs are kept under
bench/out/learned for the next run.
"""
import json
import os
from array import array
from collections import Counter
from pathlib import Path

from bench import common
from bench.accuracy import dataset, scoring
from bench.learned import network

RESULTS = Path(__file__).resolve().parent / "results"
OUT = common.OUT / "learned"
THRESHOLDS = (0.1, 0.2, 0.3, 0.35, 0.4, 0.45, 0.5, 0.55, 0.6, 0.7, 0.8, 0.9)


def network_output(clip, model):
    """The probabilities, learned_source and times of a clip, kept under bench/out/learned (keyed by
    the clip and the graph file)."""
    import numpy as np
    from vantrel.methods.network import model_path
    graph = os.stat(model_path(model))
    key = f"{clip['name']}-{os.stat(clip['path']).st_size}-{graph.st_size}-{graph.st_mtime_ns}"
    cache = OUT / model / f"{key}.npz"
    if cache.exists():
        saved = np.load(cache)
        return saved["probabilities"], array("I", saved["source"].tobytes()), array("d", saved["times"].tobytes())
    probabilities, source, times = network.network_output(clip["path"], model)
    cache.parent.mkdir(parents=True, exist_ok=True)
    np.savez(cache, probabilities=probabilities, source=np.frombuffer(source.tobytes(), np.uint32),
             times=np.frombuffer(times.tobytes(), np.float64))
    return probabilities, source, times


def run_length(probabilities, source, start, threshold):
    """The frames above `threshold` right before the network frame that shows analysed frame `start`."""
    j = list(source).index(start)
    length = 0
    while j - length - 1 >= 0 and probabilities[j - length - 1] > threshold:
        length += 1
    return length


def main():
    from vantrel.methods import learned as learned_scenes
    LEARNED_THRESHOLD = learned_scenes.METHOD.threshold
    clips = dataset.build()
    report = {}
    for model in ("int8", "fp32"):
        outputs = {c["name"]: network_output(c, model) for c in clips}
        sweep = {}
        for threshold in THRESHOLDS:
            total = scoring.Score()
            for c in clips:
                found = learned_scenes.transitions(*outputs[c["name"]][:2], outputs[c["name"]][2], threshold)
                total.add(scoring.score(c["transitions"], [t.start_frame for t in found], c["negatives"]))
            sweep[threshold] = {"kinds": {k: v.as_dict() for k, v in total.kinds.items()},
                                "pooled": total.pooled().as_dict()}
        runs = {"cut": Counter(), "gradual": Counter()}
        for c in clips:
            found = learned_scenes.transitions(*outputs[c["name"]][:2], outputs[c["name"]][2], LEARNED_THRESHOLD)
            for t in c["transitions"]:
                lo, hi = scoring.window(t)
                hits = [f for f in found if lo <= f.start_frame <= hi]
                if hits:
                    runs[scoring.kind_of(t)][run_length(*outputs[c["name"]][:2], hits[0].start_frame,
                                                        LEARNED_THRESHOLD)] += 1
        report[model] = {"sweep": sweep, "run_lengths": {k: dict(sorted(v.items())) for k, v in runs.items()}}
        print(model, json.dumps(report[model]["run_lengths"]), flush=True)
    lines = ["# Learned method: threshold sweep on the accuracy set (bench/learned/threshold.py)", "",
             *common.table(["graph", "#threshold", "#cut P", "#cut R", "#cut F1", "#gradual P", "#gradual R",
                            "#gradual F1", "#P", "#R", "#F1"],
                           [[model, threshold, *(f"{k[m]:.3f}" for k in (s["kinds"]["cut"], s["kinds"]["gradual"],
                                                                         s["pooled"])
                                                 for m in ("precision", "recall", "f1"))]
                            for model, r in report.items() for threshold, s in r["sweep"].items()])]
    lines += ["", f"Labelled transitions found at the default threshold, {LEARNED_THRESHOLD}: how many frames "
              "the run that finds each is long "
              f"(vantrel.methods.learned.CUT_RUN = {learned_scenes.CUT_RUN}: longer runs are dissolves):", ""]
    for model, r in report.items():
        lines.append(f"- {model}: " + "; ".join(f"labelled {k}: " + ", ".join(
            f"{n} x {length}" for length, n in sorted(v.items())) for k, v in r["run_lengths"].items()))
    common.write(RESULTS, "threshold", report, "\n".join(lines))


if __name__ == "__main__":
    main()
