#!/usr/bin/env python3
"""Benchmarks of vantrel.analyze() against FFmpeg's own decoding and vantrel_rs.

    python -m bench.speed.engine --build build     # every figure, several minutes
    python -m bench.speed.engine --build build --only wall instructions threads memory

Uses the inputs of bench/speed/inputs.py (generated on first use) and writes
bench/speed/results/engine.md and engine.json. Wall times are taken in interleaved
rounds and compared within each round; instruction counts (callgrind) are
exact and decide the close comparisons.
"""
import argparse
import json
import os
import sys
from pathlib import Path

from bench import common
from bench.common import FFMPEG, run_one, summary
from bench.speed import inputs
from bench.speed.run import RESULTS, pump_bench

ANALYZE = ("import sys, vantrel\n"
           "threads, progress = int(sys.argv[2]), sys.argv[3] == '1'\n"
           "scores = len(sys.argv) > 4 and sys.argv[4] == '1'\n"
           "a = vantrel.analyze(sys.argv[1], threads=threads, scores=scores,\n"
           "                    progress=(lambda p: None) if progress else None)\n"
           "print(len(a.keyframes))\n")
MODULE = "import sys, vantrel_rs; print(len(vantrel_rs.detect_frames(sys.argv[1])))"
# Two analyses one after the other, then the same two in two threads.
TWO_THREADS = """
import sys, threading, time, vantrel
path = sys.argv[1]
start = time.perf_counter()
vantrel.analyze(path, threads=1); vantrel.analyze(path, threads=1)
sequential = time.perf_counter() - start
workers = [threading.Thread(target=vantrel.analyze, args=(path,), kwargs={"threads": 1}) for _ in range(2)]
start = time.perf_counter()
for w in workers: w.start()
for w in workers: w.join()
print(sequential, time.perf_counter() - start)
"""


def wall(build, rounds):
    """threads=0 against FFmpeg's default decode and against vantrel_rs, ratios within rounds."""
    clip = str(inputs.clip_1080p())
    env = common.module_env(build)
    commands = {
        "ffmpeg -i CLIP -map 0:v:0 -f null - (default threads)":
            [FFMPEG, "-v", "error", "-i", clip, "-map", "0:v:0", "-f", "null", "-"],
        "analyze(threads=0)": [sys.executable, "-c", ANALYZE, clip, "0", "0"],
        "vantrel_rs.detect_frames": [sys.executable, "-c", MODULE, clip],
    }
    times = {name: [] for name in commands}
    for _ in range(rounds):
        for name, cmd in commands.items():
            times[name].append(run_one(cmd, env)["wall_s"])
    ffmpeg, engine, module = (times[name] for name in commands)
    return {"clip": "h264_1080p", "rounds": rounds,
            "seconds": {name: summary(t) for name, t in times.items()},
            "analyze / ffmpeg": summary([e / f for e, f in zip(engine, ffmpeg)]),
            "analyze / detect_frames": summary([e / m for e, m in zip(engine, module)])}


def instructions(build, frames=120):
    excerpt = str(inputs.excerpt_1080p(frames))
    py = os.path.realpath(sys.executable)
    commands = {
        "python start, import vantrel_rs": [py, "-c", "import vantrel_rs"],
        "python start, import vantrel": [py, "-c", "import vantrel"],
        "vantrel_rs.detect_frames": [py, "-c", MODULE, excerpt],
        "analyze(threads=1)": [py, "-c", ANALYZE, excerpt, "1", "0"],
        "analyze(threads=1, progress)": [py, "-c", ANALYZE, excerpt, "1", "1"],
        "analyze(threads=1, scores=True)": [py, "-c", ANALYZE, excerpt, "1", "0", "1"],
    }
    counts = {}
    for name, cmd in commands.items():
        counts[name] = common.instructions(cmd, common.module_env(build))
        print(f"  {name}: {counts[name]:,}", flush=True)
    module = counts["vantrel_rs.detect_frames"] - counts["python start, import vantrel_rs"]
    engine = counts["analyze(threads=1)"] - counts["python start, import vantrel"]
    with_progress = counts["analyze(threads=1, progress)"] - counts["python start, import vantrel"]
    return {"frames": frames, "counts": counts,
            "analyze / detect_frames": counts["analyze(threads=1)"] / counts["vantrel_rs.detect_frames"],
            "analyze / detect_frames, less start and import": engine / module,
            "progress on / off": counts["analyze(threads=1, progress)"] / counts["analyze(threads=1)"],
            "progress on / off, less start and import": with_progress / engine}


def threads(build, rounds, frames=240):
    excerpt = str(inputs.excerpt_1080p(frames))
    ratios, pairs = [], []
    for _ in range(rounds):
        sequential, parallel = map(float, run_one([sys.executable, "-c", TWO_THREADS, excerpt],
                                                      common.module_env(build))["stdout"].split())
        ratios.append(parallel / sequential)
        pairs.append([sequential, parallel])
    return {"frames": frames, "rounds": rounds, "seconds (sequential, two threads)": pairs,
            "two threads / sequential": summary(ratios)}


def memory(build):
    paths = {name: inputs.make_input(name, recipe) for name, recipe in inputs.MEMORY_RECIPES.items()}
    (_, short), (_, long) = paths.items()
    n_short, _ = inputs.frame_count(short)
    n_long, _ = inputs.frame_count(long)
    env = common.module_env(build)

    def growth(prefix, suffix=()):
        """Peak RSS growth per frame of `prefix + [input] + suffix`."""
        peaks = [min(run_one([*prefix, str(p), *suffix], env)["peak_rss_mib"] for _ in range(3))
                 for p in (short, long)]
        return (peaks[1] - peaks[0]) * 2**20 / (n_long - n_short)

    pump = growth([pump_bench(build), "--view"])
    result = {"frames": [n_short, n_long], "pump (FFmpeg's demuxer index)": pump}
    for label, scores in (("analyze", "0"), ("analyze, scores=True", "1")):
        total = growth([sys.executable, "-c", ANALYZE], ["1", "0", scores])
        result[label] = total
        result[f"{label}, less the pump"] = total - pump
    result["scores table"] = result["analyze, scores=True"] - result["analyze"]
    return result


def to_markdown(report):
    lines = [f"Machine: {common.machine_line(report['machine'])}", ""]
    if "wall" in report:
        w = report["wall"]
        lines += [f"**Wall time** ({w['clip']}, {w['rounds']} interleaved rounds, fresh processes; "
                  "median [min, max]):", "",
                  *common.table(["case", "#seconds"],
                                [*([name, common.spread(s)] for name, s in w["seconds"].items()),
                                 *([f"ratio {key}, within rounds", common.spread(w[key], 3)]
                                   for key in ("analyze / ffmpeg", "analyze / detect_frames"))]), ""]
    if "instructions" in report:
        ins = report["instructions"]
        lines += [f"**Instructions** (callgrind, first {ins['frames']} frames of h264_1080p):", "",
                  *common.table(["case", "#instructions"],
                                [*([name, f"{n:,}"] for name, n in ins["counts"].items()),
                                 *([f"ratio {key}", f"{ins[key]:.4f}"] for key in
                                   ("analyze / detect_frames", "analyze / detect_frames, less start and import",
                                    "progress on / off", "progress on / off, less start and import"))]), ""]
    if "threads" in report:
        t = report["threads"]
        s = t["two threads / sequential"]
        lines += [f"**Two analyses in two threads** (threads=1 each, first {t['frames']} frames of h264_1080p, "
                  f"{t['rounds']} rounds): {s['median']:.3f} of the sequential wall time "
                  f"[{s['min']:.3f}, {s['max']:.3f}]", ""]
    if "memory" in report:
        m = report["memory"]
        lines += [f"**Memory growth per frame** (peak RSS of fresh processes, {m['frames'][0]} and "
                  f"{m['frames'][1]} frames of 64x48):", ""]
        lines += [f"- {k}: {v:.1f} bytes" for k, v in m.items() if k != "frames"]
        lines.append("")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=str(common.ROOT / "build"), help="build dir with the extension modules")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--only", nargs="*", choices=["wall", "instructions", "threads", "memory"])
    args = ap.parse_args()
    build = str(Path(args.build).resolve())
    parts = args.only or ["wall", "instructions", "threads", "memory"]
    path = RESULTS / "engine.json"
    report = json.loads(path.read_text()) if args.only and path.exists() else {}
    report["machine"] = common.machine()
    for part in parts:
        print(f"{part}:", flush=True)
        if part == "wall":
            report["wall"] = wall(build, args.rounds)
        elif part == "instructions":
            report["instructions"] = instructions(build)
        elif part == "threads":
            report["threads"] = threads(build, args.rounds)
        else:
            report["memory"] = memory(build)
        common.write(RESULTS, "engine", report, to_markdown(report))  # a stopped run keeps what it measured


if __name__ == "__main__":
    main()
