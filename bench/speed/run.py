#!/usr/bin/env python3
"""End-to-end benchmark: the module against the decoding floor and peer tools.

Generates its inputs with the ffmpeg tool into bench/inputs/ (bench/speed/inputs.py), runs every
case in a fresh process (rounds interleaved, median of --runs), and writes
bench/speed/results/latest.md and latest.json: frames per second, time relative to the
single-threaded FFmpeg decode of the same file, and peak resident memory.

    python -m bench.speed.run --build build            # full run (tens of minutes)
    python -m bench.speed.run --build build --smoke    # tiny input, one round
    python -m bench.speed.run --build build --memory   # memory growth figures only

Peers (PySceneDetect with OpenCV) live in their own venv, bench/out/venv,
made on first use; FFmpeg's scdet filter needs only the ffmpeg tool.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
from pathlib import Path

from bench import common
from bench.common import FFMPEG, OUT
from bench.speed.inputs import INPUT_RECIPES, MEMORY_RECIPES, SMOKE_RECIPES, excerpt_1080p, frame_count, make_input

RESULTS = Path(__file__).resolve().parent / "results"
VENV = OUT / "venv"


def ensure_peers():
    python = VENV / "bin" / "python"
    if not python.exists():
        print("installing peers into", VENV, flush=True)
        subprocess.run([sys.executable, "-m", "venv", str(VENV)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", "scenedetect",
                        "opencv-python-headless"], check=True)
    return str(python)


PY_CALL = ("import sys, vantrel_rs; f = getattr(vantrel_rs, sys.argv[1]); "
           "r = f(sys.argv[2], native_res=sys.argv[3] == '1'); "
           "print(len(r) if isinstance(r, list) else r.count(chr(10)) - 3)")
# Detection through a SceneManager; with "1" the decoder gets one thread and
# OpenCV's own parallel loops are off.
PEER_CALL = """
import sys, cv2, scenedetect as sd
from scenedetect.backends.opencv import VideoCaptureAdapter
kind, path, one_thread = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
if one_thread:
    cv2.setNumThreads(1)
    video = VideoCaptureAdapter(cv2.VideoCapture(path, cv2.CAP_FFMPEG, [cv2.CAP_PROP_N_THREADS, 1]))
else:
    video = sd.open_video(path)
manager = sd.SceneManager()
manager.add_detector({"content": sd.ContentDetector, "adaptive": sd.AdaptiveDetector}[kind]())
manager.detect_scenes(video)
print(len(manager.get_scene_list()))
"""


def pump_bench(build):
    """The decoder-only floor, vantrel_pump_bench, in the build tree."""
    return str(Path(build) / "bench" / "speed" / "vantrel_pump_bench")


def cases(build, peers_python):
    """(name, group, command builder, extra env) for every measured tool."""
    module_env = common.module_env(build)
    pump = pump_bench(build)
    ff = [FFMPEG, "-hide_banner", "-nostats", "-loglevel", "error"]
    out = [
        ("ffmpeg decode, 1 thread (floor)", "floor", lambda p: ff + ["-threads", "1", "-i", p, "-an", "-f", "null", "-"], None),
        ("pump, packed luma copy", "pump", lambda p: [pump, p], None),
        ("pump, strided luma view", "pump", lambda p: [pump, "--view", p], None),
        ("detect_frames", "module", lambda p: [sys.executable, "-c", PY_CALL, "detect_frames", p, "0"], module_env),
        ("detect_pass", "module", lambda p: [sys.executable, "-c", PY_CALL, "detect_pass", p, "0"], module_env),
        ("detect_frames native_res", "module", lambda p: [sys.executable, "-c", PY_CALL, "detect_frames", p, "1"], module_env),
        ("ffmpeg scdet, 1 thread", "peer-1t", lambda p: ff + ["-threads", "1", "-i", p, "-an", "-vf", "scdet", "-f", "null", "-"], None),
        ("ffmpeg scdet, defaults", "peer-default", lambda p: ff + ["-i", p, "-an", "-vf", "scdet", "-f", "null", "-"], None),
    ]
    if peers_python:
        for kind in ("content", "adaptive"):
            out.append((f"PySceneDetect {kind}, 1 thread", "peer-1t",
                        lambda p, k=kind: [peers_python, "-c", PEER_CALL, k, p, "1"], None))
            out.append((f"PySceneDetect {kind}, defaults", "peer-default",
                        lambda p, k=kind: [peers_python, "-c", PEER_CALL, k, p, "0"], None))
    return out


def bench_input(name, path, all_cases, runs):
    frames, desc = frame_count(path)
    samples = {c[0]: [] for c in all_cases}
    for round_no in range(runs):
        for case_name, _, build_cmd, env in all_cases:
            r = common.run_one(build_cmd(str(path)), env)
            samples[case_name].append(r)
            print(f"  [{name} round {round_no + 1}] {case_name}: {r['wall_s']:.2f} s wall, "
                  f"{r['cpu_s']:.2f} s CPU, {r['peak_rss_mib']:.0f} MiB", flush=True)
    rows = []
    for case_name, group, _, _ in all_cases:
        s = samples[case_name]
        rows.append({"case": case_name, "group": group,
                     "wall_s": statistics.median(x["wall_s"] for x in s),
                     "cpu_s": statistics.median(x["cpu_s"] for x in s),
                     "peak_rss_mib": max(x["peak_rss_mib"] for x in s),
                     "wall_samples": [round(x["wall_s"], 3) for x in s],
                     "output": s[-1]["stdout"][-80:]})
    floor = rows[0]
    for row in rows:
        row["fps"] = frames / row["wall_s"]
        row["wall_vs_floor"] = row["wall_s"] / floor["wall_s"]
        row["cpu_vs_floor"] = row["cpu_s"] / floor["cpu_s"]
    return {"input": name, "description": desc, "frames": frames, "rows": rows}


def to_markdown(report):
    lines = [f"Machine: {common.machine_line(report['machine'])}. Median of {report['runs']} interleaved runs, "
             "each in a fresh process; peak RSS is the largest of the runs.", ""]
    for res in report["inputs"]:
        lines += [f"**{res['input']}** ({res['description']}, {res['frames']} frames)", "",
                  *common.table(["case", "#fps (wall)", "#wall s", "#x floor (wall)", "#CPU s", "#x floor (CPU)",
                                 "#peak RSS MiB"],
                                [[r["case"], f"{r['fps']:.1f}", f"{r['wall_s']:.2f}", f"{r['wall_vs_floor']:.3f}",
                                  f"{r['cpu_s']:.2f}", f"{r['cpu_vs_floor']:.3f}", f"{r['peak_rss_mib']:.0f}"]
                                 for r in res["rows"]]), ""]
    if report.get("paired"):
        pr = report["paired"]
        lines += [f"**Paired time ratios** (first {pr['frames']} frames of h264_1080p, {pr['rounds']} rounds, "
                  "each ratio within one round; median [min, max]):", "",
                  *common.table(["case", "#x floor", "#x packed pump", "#x strided pump"],
                                [[name, *(f"{v['median']:.3f} [{v['min']:.2f}, {v['max']:.2f}]" for v in r.values())]
                                 for name, r in pr["ratios"].items()]), ""]
    if report.get("instructions"):
        ins = report["instructions"]
        c = ins["counts"]
        start = c["python start and import only"]
        floor, packed, view = (c["ffmpeg decode, 1 thread (floor)"], c["pump, packed luma copy"],
                               c["pump, strided luma view"])
        shown = []
        for name, n in c.items():
            shown.append((name, n))
            if name.startswith("detect"):
                shown.append((f"{name}, less Python start", n - start))
        lines += [f"**Instructions** (callgrind, first {ins['frames']} frames of h264_1080p; "
                  "module rows also shown without the Python start and import):", "",
                  *common.table(["case", "#instructions", "#x floor", "#x packed pump", "#x strided pump"],
                                [[label, f"{v:,}", f"{v / floor:.3f}", f"{v / packed:.3f}", f"{v / view:.3f}"]
                                 for label, v in shown]), ""]
    if report.get("memory"):
        lines += ["**Memory** (detect_frames, peak RSS of a fresh process):", "",
                  *(f"- {k}: {v}" for k, v in report["memory"].items()), ""]
    return "\n".join(lines)


REPEAT_CALLS = ("import sys, vantrel_rs\n"
                "def rss():\n"
                "    return int(open('/proc/self/statm').read().split()[1]) * 4096\n"
                "n = int(sys.argv[2]); marks = {}\n"
                "for i in range(1, n + 1):\n"
                "    vantrel_rs.detect_frames(sys.argv[1]); vantrel_rs.detect_pass(sys.argv[1])\n"
                "    if i in (10, n): marks[i] = rss()\n"
                "print(marks[10], marks[n])\n")


def memory_figures(build):
    env = common.module_env(build)
    paths = {name: make_input(name, recipe) for name, recipe in MEMORY_RECIPES.items()}
    (short, short_path), (long, long_path) = paths.items()
    n_short, _ = frame_count(short_path)
    n_long, _ = frame_count(long_path)
    py = [sys.executable, "-c", PY_CALL, "detect_frames"]
    peak_short = min(common.run_one(py + [str(short_path), "0"], env)["peak_rss_mib"] for _ in range(3))
    peak_long = min(common.run_one(py + [str(long_path), "0"], env)["peak_rss_mib"] for _ in range(3))
    per_frame = (peak_long - peak_short) * 1024 * 1024 / (n_long - n_short)
    # The demuxer's own index grows with the file too; the pump shows it alone.
    pump = [pump_bench(build), "--view"]
    pump_short = min(common.run_one(pump + [str(short_path)], None)["peak_rss_mib"] for _ in range(3))
    pump_long = min(common.run_one(pump + [str(long_path)], None)["peak_rss_mib"] for _ in range(3))
    pump_per_frame = (pump_long - pump_short) * 1024 * 1024 / (n_long - n_short)
    calls = 200
    first, last = map(int, common.run_one([sys.executable, "-c", REPEAT_CALLS, str(short_path), str(calls)],
                                   env)["stdout"].split())
    return {
        f"peak RSS, {n_short} frames": f"{peak_short:.1f} MiB",
        f"peak RSS, {n_long} frames": f"{peak_long:.1f} MiB",
        "growth per frame": f"{per_frame:.1f} bytes",
        "growth per frame of the pump alone (FFmpeg's demuxer index)": f"{pump_per_frame:.1f} bytes",
        "growth per frame of the analysis": f"{per_frame - pump_per_frame:.1f} bytes",
        f"RSS after 10 / {calls} calls of detect_frames + detect_pass on the {n_short}-frame file":
            f"{first / 2**20:.1f} / {last / 2**20:.1f} MiB",
    }


def paired_ratios(build, frames=240, rounds=11):
    """Time ratios from many short rounds, each ratio taken within one round:
    adjacent runs share the machine's momentary speed, which on a shared
    machine drifts by more than the differences measured here."""
    excerpt = str(excerpt_1080p(frames))
    all_cases = [c for c in cases(build, None) if c[1] != "peer-default"]
    ratios = {name: {"vs floor": [], "vs packed pump": [], "vs strided pump": []}
              for name, _, _, _ in all_cases}
    for _ in range(rounds):
        times = {name: common.run_one(build_cmd(excerpt), env)["wall_s"] for name, _, build_cmd, env in all_cases}
        floor = times["ffmpeg decode, 1 thread (floor)"]
        for name, t in times.items():
            ratios[name]["vs floor"].append(t / floor)
            ratios[name]["vs packed pump"].append(t / times["pump, packed luma copy"])
            ratios[name]["vs strided pump"].append(t / times["pump, strided luma view"])
    summary = {name: {k: common.summary(v) for k, v in r.items()} for name, r in ratios.items()}
    print(json.dumps(summary, indent=1), flush=True)
    return {"frames": frames, "rounds": rounds, "ratios": summary}


def instruction_counts(build, frames=120):
    """Instructions (callgrind) on the first `frames` frames of the 1080p input:
    exact and unaffected by other load, unlike times on a shared machine."""
    excerpt = excerpt_1080p(frames)
    env = common.module_env(build)
    py = os.path.realpath(sys.executable)
    ff = [FFMPEG, "-hide_banner", "-nostats", "-loglevel", "error"]
    pump = pump_bench(build)
    runs = {
        "ffmpeg decode, 1 thread (floor)": ff + ["-threads", "1", "-i", str(excerpt), "-an", "-f", "null", "-"],
        "pump, packed luma copy": [pump, str(excerpt)],
        "pump, strided luma view": [pump, "--view", str(excerpt)],
        "python start and import only": [py, "-c", "import vantrel_rs"],
        "detect_frames": [py, "-c", PY_CALL, "detect_frames", str(excerpt), "0"],
        "detect_pass": [py, "-c", PY_CALL, "detect_pass", str(excerpt), "0"],
        "detect_frames native_res": [py, "-c", PY_CALL, "detect_frames", str(excerpt), "1"],
        "ffmpeg scdet, 1 thread": ff + ["-threads", "1", "-i", str(excerpt), "-an", "-vf", "scdet", "-f", "null", "-"],
    }
    counts = {}
    for name, cmd in runs.items():
        counts[name] = common.instructions(cmd, env)
        print(f"  {name}: {counts[name]:,} instructions", flush=True)
    return {"frames": frames, "counts": counts}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=str(common.ROOT / "build"), help="build dir with vantrel_rs and bench/")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--smoke", action="store_true", help="tiny input, one round, results under bench/out/")
    ap.add_argument("--memory", action="store_true", help="only the memory figures")
    ap.add_argument("--instructions", action="store_true", help="only the callgrind counts")
    ap.add_argument("--paired", action="store_true", help="only the paired time ratios")
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--only", nargs="*", help="input names to run")
    args = ap.parse_args()
    build = str(Path(args.build).resolve())

    report = {"machine": common.machine(), "runs": args.runs, "inputs": []}
    if args.memory or args.instructions or args.paired:
        report = load_latest() or report
        if args.paired:
            report["paired"] = paired_ratios(build)
        if args.memory:
            report["memory"] = memory_figures(build)
        if args.instructions:
            report["instructions"] = instruction_counts(build)
        write_report(RESULTS, report)
        return
    recipes = SMOKE_RECIPES if args.smoke else INPUT_RECIPES
    runs = 1 if args.smoke else args.runs
    report["runs"] = runs
    peers = None if args.no_peers else ensure_peers()
    all_cases = cases(build, peers)
    for name, recipe in recipes.items():
        if args.only and name not in args.only:
            continue
        path = make_input(name, recipe)
        print(f"{name}:", flush=True)
        report["inputs"].append(bench_input(name, path, all_cases, runs))
        if not args.smoke and not args.only:
            write_report(RESULTS, report)  # a stopped run keeps what it measured
    if not args.smoke and not args.only:
        report["memory"] = memory_figures(build)
        report["paired"] = paired_ratios(build)
        if shutil.which("valgrind"):
            report["instructions"] = instruction_counts(build)
    if args.only and not args.smoke:
        # A partial run replaces its inputs in the latest full report.
        latest = load_latest()
        if latest:
            fresh = {r["input"]: r for r in report["inputs"]}
            latest["inputs"] = [fresh.pop(r["input"], r) for r in latest["inputs"]] + list(fresh.values())
            latest["machine"], latest["runs"] = report["machine"], report["runs"]
            report = latest
    write_report(OUT / "smoke" if args.smoke else RESULTS, report)


def load_latest():
    path = RESULTS / "latest.json"
    return json.loads(path.read_text()) if path.exists() else None


def write_report(dest, report):
    common.write(dest, "latest", report, to_markdown(report))


if __name__ == "__main__":
    main()
