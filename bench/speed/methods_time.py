#!/usr/bin/env python3
"""Wall time of each scene-list method against "refined" on the 1080p clip of bench/speed/inputs.py.

    .venv/bin/python -m bench.speed.methods_time [--build build/dev] [--rounds 5]

Each round analyses the clip once per method, each in a fresh process (the time is measured
inside it, from before analyze() to after it), the methods' order alternating from round to
round; a method's ratio is the median over the rounds of its time / refined's in that round.
Writes bench/speed/results/methods_time.md and .json.
"""
import argparse
import statistics
import subprocess
import sys

from bench import common
from bench.speed import inputs
from bench.speed.run import RESULTS

CALL = """
import sys, time, vantrel
start = time.perf_counter()
a = vantrel.analyze(sys.argv[1], method=sys.argv[2])
print(time.perf_counter() - start, a.frame_count, len(a.scenes))
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", help="a build tree to take vantrel from (default: this interpreter's)")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    env = common.module_env(common.ROOT / args.build) if args.build else None
    sys.path.insert(0, str(common.ROOT / args.build) if args.build else "")
    import vantrel
    methods = list(vantrel.METHODS)
    clip = inputs.clip_1080p()
    times = {m: [] for m in methods}
    frames = None
    for r in range(args.rounds):
        for m in (methods if r % 2 == 0 else methods[::-1]):
            out = subprocess.run([sys.executable, "-c", CALL, str(clip), m], env=env, capture_output=True, text=True,
                                 check=True).stdout.split()
            times[m].append(float(out[0]))
            frames = int(out[1])
            print(f"round {r + 1} {m}: {float(out[0]):.2f} s, {out[2]} scenes", flush=True)
    ratios = {m: statistics.median(t / b for t, b in zip(times[m], times["refined"])) for m in methods}
    machine = common.machine()
    report = {"clip": clip.name, "frames": frames, "rounds": args.rounds, "machine": machine,
              "seconds": times, "ratio_to_refined": ratios}
    lines = [f"Wall time of `vantrel.analyze(method=...)` on {clip.name} ({frames} frames), {args.rounds} "
             f"interleaved rounds, each in a fresh process; machine: {common.machine_line(machine)}.", "",
             *common.table(["method", "#median seconds", "#ratio to refined (median of the rounds' ratios)"],
                           [[m, f"{statistics.median(times[m]):.2f}", f"{ratios[m]:.3f}"] for m in methods])]
    common.write(RESULTS, "methods_time", report, "\n".join(lines))


if __name__ == "__main__":
    main()
