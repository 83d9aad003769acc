#!/usr/bin/env python3
"""Benchmarks of the `vantrel` command: one long input against FFmpeg's own decode, and a batch.

    python -m bench.speed.cli --build build               # both, several minutes
    python -m bench.speed.cli --build build --only batch

Writes bench/speed/results/cli.md and cli.json. The single-input times are interleaved rounds
of fresh processes, compared within each round; the batch runs every --jobs/--threads split
on the same 50 generated clips, rounds interleaved too.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from bench import common
from bench.common import FFMPEG, INPUTS, OUT, run_one, summary
from bench.speed import inputs
from bench.speed.run import RESULTS

BATCH = INPUTS / "batch_640x360"
BATCH_FILES = 50


def single(build, rounds):
    clip = str(inputs.clip_1080p())
    out = OUT / "cli-single"
    out.mkdir(parents=True, exist_ok=True)
    vantrel = [sys.executable, "-m", "vantrel", clip]
    commands = {
        "ffmpeg -v error -i CLIP -map 0:v:0 -f null -": [FFMPEG, "-v", "error", "-i", clip, "-map", "0:v:0",
                                                         "-f", "null", "-"],
        "vantrel CLIP": vantrel,
        "vantrel CLIP -f csv": vantrel + ["-f", "csv"],
    }
    times = {name: [] for name in commands}
    for _ in range(rounds):
        for name, cmd in commands.items():
            times[name].append(run_one(cmd, common.module_env(build))["wall_s"])
    ffmpeg, frames, csv = (times[name] for name in commands)
    return {"clip": "h264_1080p", "rounds": rounds, "seconds": {n: summary(t) for n, t in times.items()},
            "vantrel / ffmpeg": summary([v / f for v, f in zip(frames, ffmpeg)]),
            "csv / frames": summary([c / v for c, v in zip(csv, frames)])}


def make_batch():
    BATCH.mkdir(parents=True, exist_ok=True)
    sources = ["testsrc2", "smptebars", "mandelbrot", "rgbtestsrc", "cellauto"]
    for i in range(BATCH_FILES):
        path = BATCH / f"clip{i:02d}.mp4"
        if path.exists():
            continue
        a, b = sources[i % 5], sources[(i + 2) % 5]
        subprocess.run([FFMPEG, "-v", "error", "-y", "-f", "lavfi", "-t", "3", "-i", f"{a}=size=640x360:rate=25",
                        "-f", "lavfi", "-t", "3", "-i", f"{b}=size=640x360:rate=25", "-filter_complex",
                        "[0][1]concat=n=2:v=1,format=yuv420p[v]", "-map", "[v]", "-frames:v", "150",
                        "-c:v", "libx264", "-preset", "veryfast", str(path)], check=True)
    return BATCH


def batch(build, rounds):
    folder = make_batch()
    cpus = os.cpu_count() or 1
    splits = {"defaults": []}
    for jobs in sorted({1, cpus}):
        for threads in sorted({1, cpus, 0}):
            splits[f"--jobs {jobs} --threads {threads}"] = ["--jobs", str(jobs), "--threads", str(threads)]
    rates = {name: [] for name in splits}
    for _ in range(rounds):
        for name, extra in splits.items():
            out = OUT / "cli-batch"
            shutil.rmtree(out, ignore_errors=True)
            result = subprocess.run([sys.executable, "-m", "vantrel", str(folder), "-r", "-d", str(out), "-f", "xvid",
                                     *extra], env=common.module_env(build), capture_output=True, text=True, check=True)
            line = result.stderr.strip().splitlines()[-1]
            rates[name].append(float(re.search(r"([\d.]+) files/s", line).group(1)))
            print(f"  {name}: {line}", flush=True)
    return {"files": BATCH_FILES, "clip": "640x360 H.264, 150 frames, one cut", "rounds": rounds,
            "files/s": {name: summary(r) for name, r in rates.items()}}


def to_markdown(report):
    lines = [f"Machine: {common.machine_line(report['machine'])}", ""]
    if "single" in report:
        s = report["single"]
        lines += [f"**One input** ({s['clip']}, {s['rounds']} interleaved rounds; median [min, max]):", "",
                  *common.table(["case", "#seconds"],
                                [*([name, common.spread(v)] for name, v in s["seconds"].items()),
                                 *([f"ratio {key}, within rounds", common.spread(s[key], 3)]
                                   for key in ("vantrel / ffmpeg", "csv / frames"))]), ""]
    if "batch" in report:
        b = report["batch"]
        lines += [f"**Batch** ({b['files']} clips of {b['clip']}, -f xvid, {b['rounds']} rounds; files per second, "
                  "median [min, max]):", "",
                  *common.table(["split", "#files/s"], [[name, common.spread(v)] for name, v in b["files/s"].items()]),
                  ""]
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=str(common.ROOT / "build"), help="build dir with the extension modules")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--only", nargs="*", choices=["single", "batch"])
    args = ap.parse_args()
    build = str(Path(args.build).resolve())
    path = RESULTS / "cli.json"
    report = json.loads(path.read_text()) if args.only and path.exists() else {}
    report["machine"] = common.machine()
    for part in args.only or ["single", "batch"]:
        print(f"{part}:", flush=True)
        report[part] = single(build, args.rounds) if part == "single" else batch(build, args.rounds)
        common.write(RESULTS, "cli", report, to_markdown(report))  # a stopped run keeps what it measured


if __name__ == "__main__":
    main()
