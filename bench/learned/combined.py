#!/usr/bin/env python3
"""Does the learned scene list gain from the classical measures? Scored on the accuracy set.

    .venv/bin/python -m bench.learned.combined [--build build/dev]

Runs `method="learned"` (int8, its default threshold) and `method="transitions"` on every clip of
bench/accuracy/dataset.py and scores, with bench/accuracy/scoring.py: each alone, and the learned
list joined with transitions' cuts (the clear cuts of montages and small pictures that the network
may miss) that lie more than `gap` frames from every learned scene start. Prints one table.
"""
import argparse
import sys

from bench.accuracy import dataset, scoring
from bench.common import ROOT


def starts_and_cuts(vantrel, path, method):
    a = vantrel.analyze(path, method=method)
    return a.keyframes, [t.start_frame for t in a.transitions if t.kind == "cut"]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", help="a build tree to take vantrel from (default: this interpreter's)")
    args = ap.parse_args()
    if args.build:
        sys.path.insert(0, str(ROOT / args.build))
    import vantrel
    clips = dataset.build()
    results = {}
    for clip in clips:
        learned, _ = starts_and_cuts(vantrel, clip["path"], "learned")
        gradual, gradual_cuts = starts_and_cuts(vantrel, clip["path"], "transitions")
        results[clip["name"]] = (learned, gradual, gradual_cuts)
        print(f"{clip['name']}: learned {len(learned)}, transitions {len(gradual)} starts", flush=True)
    variants = {"learned": lambda l, g, c: l, "transitions": lambda l, g, c: g}
    for gap in (1, 2, 4, 8):
        variants[f"learned + transitions' cuts over {gap} frames away"] = (
            lambda l, g, c, gap=gap: sorted(set(l) | {k for k in c if all(abs(k - s) > gap for s in l)}))
    print("\n| variant | cut P/R/F1 | gradual P/R/F1 | pooled P/R/F1 |\n|---|---|---|---|")
    for name, join in variants.items():
        total = scoring.Score()
        for clip in clips:
            total.add(scoring.score(clip["transitions"], join(*results[clip["name"]]), clip["negatives"]))
        cells = []
        for counts in (total.kinds["cut"], total.kinds["gradual"], total.pooled()):
            cells.append(f"{counts.precision():.3f}/{counts.recall():.3f}/{counts.f1():.3f}")
        print(f"| {name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
