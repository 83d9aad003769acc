"""The wheel's speed against the system-FFmpeg build: detect_frames and
vantrel.analyze(threads=0) on the speed benchmarks' 1080p input (bench/speed/inputs.py
makes it), in fresh processes, rounds interleaved so both builds share the
machine's momentary speed; and callgrind instruction counts of both on its
first frames, which other load does not disturb.
Usage: python -m bench.speed.wheel SYSTEM_PYTHON WHEEL_PYTHON [--rounds N] [--frames N]"""
import argparse
import statistics

from bench.common import instructions, run_one
from bench.speed import inputs

# name: (the imports, the call on the input)
CALLS = {"detect_frames": ("import sys, vantrel_rs", "print(len(vantrel_rs.detect_frames(sys.argv[1])))"),
         "analyze(threads=0)": ("import sys, vantrel",
                                "print(len(vantrel.analyze(sys.argv[1], threads=0).keyframes))")}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("system_python")
    ap.add_argument("wheel_python")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--frames", type=int, default=120, help="frames of the excerpt callgrind runs on")
    args = ap.parse_args()
    clip = str(inputs.clip_1080p())
    excerpt = str(inputs.excerpt_1080p(args.frames))
    builds = {"system": args.system_python, "wheel": args.wheel_python}

    times = {(call, name): [] for call in CALLS for name in builds}
    for _ in range(args.rounds):
        for call, (imports, code) in CALLS.items():
            for name, python in builds.items():
                times[call, name].append(run_one([python, "-c", f"{imports}; {code}", clip])["wall_s"])
    for call in CALLS:
        for name in builds:
            t = times[call, name]
            print(f"{call}, {name}: median {statistics.median(t):.3f} s over {args.rounds} runs "
                  f"(min {min(t):.3f}, max {max(t):.3f})")
        ratios = [w / s for w, s in zip(times[call, "wheel"], times[call, "system"])]
        print(f"{call}: wheel / system time, paired by round: median {statistics.median(ratios):.4f} "
              f"(min {min(ratios):.4f}, max {max(ratios):.4f})")

    # Start-up and import counted apart: loading shared libraries is part of
    # the system build's import, not of its analysis.
    for call, (imports, code) in CALLS.items():
        counts = {}
        for name, python in builds.items():
            whole = instructions([python, "-c", f"{imports}; {code}", excerpt])
            start = instructions([python, "-c", imports])
            counts[name] = whole - start
            print(f"{name}: {whole:,} instructions in all, {start:,} of them start-up and import,"
                  f" {counts[name]:,} for {call} on the first {args.frames} frames (callgrind)")
        print(f"wheel / system instructions of {call}: {counts['wheel'] / counts['system']:.4f}")


if __name__ == "__main__":
    main()
