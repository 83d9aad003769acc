#!/usr/bin/env python3
"""Peak memory of the learned method end to end, at 1 and 2 threads.

    .venv/bin/python -m bench.learned.memory [--against OTHER_PYTHON] [--rounds 2]

Runs `vantrel --method learned --threads N CLIP` on a 960x540 H.264 clip of 1,780 frames (five
generated parts, bench/speed/inputs.py), each run a fresh process whose peak RSS is its own; with
--against, also the vantrel installed for another interpreter (an earlier build, say), in the same
rounds, every configuration once a round. The scene lists of all runs must be equal. Writes
bench/learned/results/memory.md and memory.json.
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
THREADS = (1, 2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="another interpreter with vantrel installed, measured alike")
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    clip = make_input("learned_960x540", CLIP)
    builds = {"this build": sys.executable, **({"other build": args.against} if args.against else {})}
    runs = {(build, threads): [] for build in builds for threads in THREADS}
    outputs = set()
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(args.rounds):
            for (build, threads), results in runs.items():
                out = Path(tmp) / "scenes.txt"
                result = common.run_one([builds[build], "-m", "vantrel", "--method", "learned", "--threads",
                                         str(threads), "-q", str(clip), "-o", str(out)])
                outputs.add(out.read_text())
                results.append(result)
                print(f"round {r + 1} {build} {threads} thread(s): {result['peak_rss_mib']:.0f} MiB, "
                      f"{result['wall_s']:.1f} s", flush=True)
    if len(outputs) != 1:
        raise SystemExit("the runs' scene lists differ")
    rows = [{"build": build, "threads": threads,
             "peak_rss_mib": max(r["peak_rss_mib"] for r in results),
             "wall_s": statistics.median(r["wall_s"] for r in results),
             "cpu_s": statistics.median(r["cpu_s"] for r in results)}
            for (build, threads), results in runs.items()]
    machine = common.machine()
    report = {"machine": machine, "clip": clip.name, "rounds": args.rounds, "builds": builds, "rows": rows}
    lines = ["# The learned method's peak memory, end to end", "",
             f"`vantrel --method learned --threads N` on {clip.name} (960x540, 1,780 frames), "
             f"{args.rounds} interleaved rounds, each run a fresh process; peak RSS is the largest of the "
             "rounds, seconds the median. Every run gave the same scene list.", "",
             f"Machine: {common.machine_line(machine)}.", "",
             *common.table(["build", "#threads", "#peak RSS MiB", "#wall s", "#CPU s"],
                           [[r["build"], r["threads"], f"{r['peak_rss_mib']:.0f}", f"{r['wall_s']:.1f}",
                             f"{r['cpu_s']:.1f}"] for r in rows])]
    common.write(RESULTS, "memory", report, "\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
