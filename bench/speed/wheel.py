"""The wheel's speed against the system-FFmpeg build: detect_frames and
vantrel.analyze(threads=0) on the benchmark's 1080p input (bench/run.py makes
it), in fresh processes, rounds interleaved so both builds share the
machine's momentary speed; and callgrind instruction counts of both on its
first frames, which other load does not disturb.
Usage: python3 scripts/wheel-speed.py SYSTEM_PYTHON WHEEL_PYTHON [--rounds N] [--frames N]"""
import argparse
import importlib.util
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# name: (the imports, the call on the input)
CALLS = {"detect_frames": ("import sys, vantrel_rs", "print(len(vantrel_rs.detect_frames(sys.argv[1])))"),
         "analyze(threads=0)": ("import sys, vantrel",
                                "print(len(vantrel.analyze(sys.argv[1], threads=0).keyframes))")}


def bench_module():
    found = importlib.util.spec_from_file_location("bench_run", ROOT / "bench" / "run.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def timed(python: str, call: str, path: str) -> float:
    start = time.perf_counter()
    subprocess.run([python, "-c", call, path], check=True, capture_output=True)
    return time.perf_counter() - start


def instructions(python: str, *call: str) -> int:
    err = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                          python, "-c", *call], check=True, capture_output=True, text=True).stderr
    return int(err.split("Collected :")[1].split()[0])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("system_python")
    ap.add_argument("wheel_python")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--frames", type=int, default=120, help="frames of the excerpt callgrind runs on")
    args = ap.parse_args()
    bench = bench_module()
    clip = str(bench.make_input("h264_1080p", bench.INPUT_RECIPES["h264_1080p"]))
    excerpt = str(bench.excerpt_1080p(args.frames))
    builds = {"system": args.system_python, "wheel": args.wheel_python}

    times = {(call, name): [] for call in CALLS for name in builds}
    for _ in range(args.rounds):
        for call, (imports, code) in CALLS.items():
            for name, python in builds.items():
                times[call, name].append(timed(python, f"{imports}; {code}", clip))
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
            whole = instructions(python, f"{imports}; {code}", excerpt)
            start = instructions(python, imports)
            counts[name] = whole - start
            print(f"{name}: {whole:,} instructions in all, {start:,} of them start-up and import,"
                  f" {counts[name]:,} for {call} on the first {args.frames} frames (callgrind)")
        print(f"wheel / system instructions of {call}: {counts['wheel'] / counts['system']:.4f}")


if __name__ == "__main__":
    main()
