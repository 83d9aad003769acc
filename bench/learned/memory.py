#!/usr/bin/env python3
"""Peak memory of the learned method end to end, at 1, 2 and 0 threads, with each graph.

    .venv/bin/python -m bench.learned.memory [--against OTHER_PYTHON] [--rounds 2]

Runs `vantrel --method learned --model M --threads N CLIP` (0: one thread per CPU) on a 960x540
H.264 clip of 1,780 frames (five generated parts, bench/speed/inputs.py), each run a fresh
process whose peak RSS is its own; with --against, also the vantrel installed for another
interpreter (an earlier build, say), in the same rounds, every configuration once a round. The
scene lists of all runs of a graph must be equal. Writes bench/learned/results/memory.md and
memory.json.
"""
import argparse
import statistics
import sys
import tempfile
from pathlib import Path

from bench import common
from bench.speed.inputs import H264, make_input

RESULTS = Path(__file__).resolve().parent / "results"
CLIP = ("960x540", 25, 356, H264)  # 5 parts of 356 frames
THREADS = (1, 2, 0)
MODELS = ("int8", "fp32")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="another interpreter with vantrel installed, measured alike")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    clip = make_input("learned_960x540", CLIP)
    builds = {"this build": sys.executable, **({"other build": args.against} if args.against else {})}
    runs = {(model, build, threads): [] for model in MODELS for build in builds for threads in THREADS}
    outputs = {model: set() for model in MODELS}
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(args.rounds):
            for (model, build, threads), results in runs.items():
                out = Path(tmp) / "scenes.txt"
                result = common.run_one([builds[build], "-m", "vantrel", "--method", "learned", "--model", model,
                                         "--threads", str(threads), "-q", str(clip), "-o", str(out)])
                outputs[model].add(out.read_text())
                results.append(result)
                print(f"round {r + 1} {model} {build} {threads} thread(s): {result['peak_rss_mib']:.0f} MiB, "
                      f"{result['wall_s']:.1f} s", flush=True)
    if any(len(texts) != 1 for texts in outputs.values()):
        raise SystemExit("the runs' scene lists differ")
    rows = [{"model": model, "build": build, "threads": threads,
             "peak_rss_mib": max(r["peak_rss_mib"] for r in results),
             "wall_s": statistics.median(r["wall_s"] for r in results),
             "cpu_s": statistics.median(r["cpu_s"] for r in results)}
            for (model, build, threads), results in runs.items()]
    machine = common.machine()
    report = {"machine": machine, "clip": clip.name, "rounds": args.rounds, "builds": builds, "rows": rows}
    lines = ["# The learned method's peak memory, end to end", "",
             f"`vantrel --method learned --model M --threads N` on {clip.name} (960x540, 1,780 frames; "
             f"threads 0: one per CPU), {args.rounds} interleaved rounds, each run a fresh process; peak RSS "
             "is the largest of the rounds, seconds the median. Every run of a graph gave the same scene "
             "list.", "",
             f"Machine: {common.machine_line(machine)}.", "",
             *common.table(["graph", "build", "#threads", "#peak RSS MiB", "#wall s", "#CPU s"],
                           [[r["model"], r["build"], r["threads"], f"{r['peak_rss_mib']:.0f}", f"{r['wall_s']:.1f}",
                             f"{r['cpu_s']:.1f}"] for r in rows])]
    common.write(RESULTS, "memory", report, "\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
