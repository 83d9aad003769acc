#!/usr/bin/env python3
"""What reading a video through a file object or from bytes costs against its path.

    python3 bench/sources.py              # the 1080p input of bench/run.py, 5 rounds
    python3 bench/sources.py --frames 240 --rounds 15   # its first 240 frames: more, shorter rounds

Runs vantrel.analyze() (threads=0, the default) on the same input given as a path, as a file
object (open(path, "rb")) and as bytes already in memory, in one process, the three in turn in
each round (the order rotating from round to round); each ratio is taken within its round,
where the three runs share the machine's momentary speed. The CPU time (user and system, all
threads) of each run shows the work done whatever the machine's load. Writes
bench/results/sources.md and sources.json (sources_first240.md and .json with --frames 240).
"""
import argparse
import json
import resource
import statistics
import time

import run  # bench/run.py: the inputs and the machine description

import vantrel


def timed(source):
    usage = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    analysis = vantrel.analyze(source)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = after.ru_utime + after.ru_stime - usage.ru_utime - usage.ru_stime
    return wall, cpu, analysis


def measure(path, rounds):
    data = path.read_bytes()

    def by_file():
        with path.open("rb") as file:
            return timed(file)

    kinds = {"path": lambda: timed(path), "file object": by_file, "bytes": lambda: timed(data)}
    names = list(kinds)
    wall = {name: [] for name in names}
    cpu = {name: [] for name in names}
    reference = None
    for round_ in range(rounds + 1):
        order = names[round_ % len(names):] + names[:round_ % len(names)]
        for name in order:
            seconds, cpu_seconds, analysis = kinds[name]()
            if reference is None:
                reference = analysis
            assert analysis.keyframes == reference.keyframes and analysis.pass_text == reference.pass_text, name
            if round_ > 0:  # the first round warms the caches
                wall[name].append(seconds)
                cpu[name].append(cpu_seconds)
        print(f"round {round_}: " + ", ".join(f"{n} {wall[n][-1]:.2f}s" for n in names if wall[n]), flush=True)

    def summary(values):
        return {"median": statistics.median(values), "min": min(values), "max": max(values)}

    return {
        "input": path.name, "bytes": len(data), "frames": reference.frame_count, "rounds": rounds,
        "wall_s": {n: summary(wall[n]) for n in names},
        "cpu_s": {n: summary(cpu[n]) for n in names},
        "wall / path": {n: summary([t / p for t, p in zip(wall[n], wall["path"])]) for n in names[1:]},
        "cpu / path": {n: summary([t / p for t, p in zip(cpu[n], cpu["path"])]) for n in names[1:]},
    }


def to_markdown(report, machine):
    lines = ["# vantrel.analyze(): path, file object and bytes", "",
             f"Input: {report['input']} ({report['frames']} frames, {report['bytes'] / 2**20:.1f} MiB), "
             f"threads=0, {report['rounds']} interleaved rounds after one warm-up round.", "",
             f"Machine: {machine['cpu']}, {machine['cores']} cores, load {machine['load_at_start']:.1f} at start; "
             f"Python {machine['python']}; {machine['ffmpeg']}.", "",
             "| source | wall s (median) | CPU s (median) | wall / path (median, min..max) | CPU / path (median) |",
             "|---|---|---|---|---|"]
    for name, wall in report["wall_s"].items():
        ratio = report["wall / path"].get(name)
        cpu_ratio = report["cpu / path"].get(name)
        lines.append(f"| {name} | {wall['median']:.2f} | {report['cpu_s'][name]['median']:.2f} | "
                     + (f"{ratio['median']:.3f} ({ratio['min']:.3f}..{ratio['max']:.3f})" if ratio else "1")
                     + " | " + (f"{cpu_ratio['median']:.3f}" if cpu_ratio else "1") + " |")
    lines += ["", "Targets: file object at most 1.03x the path, bytes at most 1.02x."]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--frames", type=int, help="only the first FRAMES frames of the input")
    args = parser.parse_args()
    if args.frames:
        path, stem = run.excerpt_1080p(args.frames), f"sources_first{args.frames}"
    else:
        path, stem = run.make_input("h264_1080p", run.INPUT_RECIPES["h264_1080p"]), "sources"
    machine = run.machine()
    report = measure(path, args.rounds)
    run.RESULTS.mkdir(parents=True, exist_ok=True)
    (run.RESULTS / f"{stem}.json").write_text(json.dumps({"machine": machine, **report}, indent=1) + "\n")
    (run.RESULTS / f"{stem}.md").write_text(to_markdown(report, machine))
    print(to_markdown(report, machine))


if __name__ == "__main__":
    main()
