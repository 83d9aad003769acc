#!/usr/bin/env python3
"""End-to-end benchmark: the module against the decoding floor and peer tools.

Generates its inputs with the ffmpeg tool into bench/inputs/, runs every case
in a fresh process (rounds interleaved, median of --runs), and writes
bench/results/latest.md and latest.json: frames per second, time relative to
the single-threaded FFmpeg decode of the same file, and peak resident memory.

    python3 bench/run.py --build build            # full run (tens of minutes)
    python3 bench/run.py --build build --smoke    # tiny input, one round
    python3 bench/run.py --build build --memory   # memory growth figures only

Peers (PySceneDetect with OpenCV) live in their own venv, bench/out/venv,
made on first use; FFmpeg's scdet filter needs only the ffmpeg tool.
"""
import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
INPUTS = ROOT / "bench" / "inputs"
OUT = ROOT / "bench" / "out"
RESULTS = ROOT / "bench" / "results"
VENV = OUT / "venv"
FFMPEG = shutil.which("ffmpeg") or "ffmpeg"

# Five unrelated sources back to back: four hard cuts, motion in each part.
SOURCES = [
    "testsrc2",
    "life=mold=10:ratio=0.3:death_color=#202020:life_color=#e0c080",
    "gradients=speed=0.05",
    "cellauto=rule=110",
    "smptehdbars",
]


def source_args(size, rate, frames_per_part):
    seconds = frames_per_part / rate
    args = []
    for source in SOURCES:
        name, _, opts = source.partition("=")
        recipe = f"{name}=size={size}:rate={rate}" + (f":{opts}" if opts else "")
        args += ["-f", "lavfi", "-t", f"{seconds}", "-i", recipe]
    # The last part scrolls; light temporal noise keeps the bit rate realistic.
    graph = (f"[4]scroll=h=0.004[s];[0][1][2][3][s]concat=n={len(SOURCES)}:v=1,"
             "format=yuv420p,noise=alls=3:allf=t[v]")
    return args + ["-filter_complex", graph, "-map", "[v]"]


H264 = ["-c:v", "libx264", "-preset", "superfast", "-crf", "23", "-bf", "3", "-g", "250"]
TINY = ["-c:v", "libx264", "-preset", "ultrafast", "-bf", "3", "-g", "250"]
HEVC = ["-c:v", "libx265", "-preset", "ultrafast", "-crf", "26", "-x265-params", "log-level=error:bframes=3"]

# name -> (size, rate, frames per part, codec arguments); five parts each.
INPUT_RECIPES = {
    "h264_1080p": ("1920x1080", 30, 240, H264),
    "h264_720p": ("1280x720", 25, 200, H264),
    "hevc_2160p": ("3840x2160", 24, 48, HEVC),
    "h264_64x48_long": ("64x48", 1000, 4000, TINY),
}
MEMORY_RECIPES = {
    "h264_64x48_1k": ("64x48", 1000, 200, TINY),
    "h264_64x48_100k": ("64x48", 1000, 20000, TINY),
}
SMOKE_RECIPES = {"smoke_64x48": ("64x48", 25, 6, TINY)}


def make_input(name, recipe):
    path = INPUTS / f"{name}.mp4"
    if not path.exists():
        size, rate, per_part, codec = recipe
        INPUTS.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(".part.mp4")
        print(f"generating {path.name} ...", flush=True)
        subprocess.run([FFMPEG, "-hide_banner", "-loglevel", "error", "-y",
                        *source_args(size, rate, per_part), *codec, str(tmp)],
                       check=True, stdin=subprocess.DEVNULL)
        tmp.rename(path)
    return path


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


def cases(build, peers_python):
    """(name, group, command builder, extra env) for every measured tool."""
    module_env = dict(os.environ, PYTHONPATH=f"{build}{os.pathsep}{ROOT / 'python'}")
    pump = str(Path(build) / "bench" / "vantrel_pump_bench")
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


def module_env(build):
    """The environment of a process that imports the modules (and the package) from `build`."""
    return dict(os.environ, PYTHONPATH=f"{build}{os.pathsep}{ROOT / 'python'}")


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def run_one(cmd, env):
    """One fresh process; peak RSS comes from wait4 of exactly that process."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout, stderr = proc.stdout, proc.stderr
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    out, err = stdout.read().decode(), stderr.read().decode(errors="replace")
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed ({proc.returncode}): {err[-2000:]}")
    return {"wall_s": wall, "cpu_s": usage.ru_utime + usage.ru_stime,
            "peak_rss_mib": usage.ru_maxrss / 1024, "stdout": out.strip()}


def frame_count(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                          "-show_entries", "stream=nb_read_packets,codec_name,width,height,bit_rate",
                          "-of", "json", str(path)], check=True, capture_output=True, text=True).stdout
    s = json.loads(out)["streams"][0]
    rate = int(s.get("bit_rate", 0)) / 1e6
    return int(s["nb_read_packets"]), f"{s['codec_name']} {s['width']}x{s['height']}, {rate:.1f} Mbit/s"


def bench_input(name, path, all_cases, runs):
    frames, desc = frame_count(path)
    samples = {c[0]: [] for c in all_cases}
    for round_no in range(runs):
        for case_name, _, build_cmd, env in all_cases:
            r = run_one(build_cmd(str(path)), env)
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


def machine():
    cpu = platform.processor()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    ffv = subprocess.run([FFMPEG, "-version"], capture_output=True, text=True).stdout.split("\n")[0]
    return {"cpu": cpu, "cores": os.cpu_count(), "load_at_start": os.getloadavg()[0],
            "python": platform.python_version(), "ffmpeg": ffv, "os": platform.platform()}


def to_markdown(report):
    m = report["machine"]
    lines = [f"Machine: {m['cpu']}, {m['cores']} cores, {m['os']}; {m['ffmpeg']}; "
             f"load average {m['load_at_start']:.1f} at start. Median of {report['runs']} interleaved runs, "
             "each in a fresh process; peak RSS is the largest of the runs.", ""]
    for res in report["inputs"]:
        lines += [f"**{res['input']}** ({res['description']}, {res['frames']} frames)", "",
                  "| case | fps (wall) | wall s | x floor (wall) | CPU s | x floor (CPU) | peak RSS MiB |",
                  "|---|---:|---:|---:|---:|---:|---:|"]
        for r in res["rows"]:
            lines.append(f"| {r['case']} | {r['fps']:.1f} | {r['wall_s']:.2f} | {r['wall_vs_floor']:.3f} | "
                         f"{r['cpu_s']:.2f} | {r['cpu_vs_floor']:.3f} | {r['peak_rss_mib']:.0f} |")
        lines.append("")
    if report.get("paired"):
        pr = report["paired"]
        lines += [f"**Paired time ratios** (first {pr['frames']} frames of h264_1080p, {pr['rounds']} rounds, "
                  "each ratio within one round; median [min, max]):", "",
                  "| case | x floor | x packed pump | x strided pump |", "|---|---:|---:|---:|"]
        for name, r in pr["ratios"].items():
            cells = [f"{v['median']:.3f} [{v['min']:.2f}, {v['max']:.2f}]" for v in r.values()]
            lines.append(f"| {name} | " + " | ".join(cells) + " |")
        lines.append("")
    if report.get("instructions"):
        ins = report["instructions"]
        c = ins["counts"]
        start = c["python start and import only"]
        lines += [f"**Instructions** (callgrind, first {ins['frames']} frames of h264_1080p; "
                  "module rows also shown without the Python start and import):", "",
                  "| case | instructions | x floor | x packed pump | x strided pump |",
                  "|---|---:|---:|---:|---:|"]
        floor, packed, view = (c["ffmpeg decode, 1 thread (floor)"], c["pump, packed luma copy"],
                               c["pump, strided luma view"])
        for name, n in c.items():
            shown = [(name, n)]
            if name.startswith("detect"):
                shown.append((f"{name}, less Python start", n - start))
            for label, v in shown:
                lines.append(f"| {label} | {v:,} | {v / floor:.3f} | {v / packed:.3f} | {v / view:.3f} |")
        lines.append("")
    if report.get("memory"):
        mem = report["memory"]
        lines += ["**Memory** (detect_frames, peak RSS of a fresh process):", ""]
        for k, v in mem.items():
            lines.append(f"- {k}: {v}")
        lines.append("")
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
    env = dict(os.environ, PYTHONPATH=f"{build}{os.pathsep}{ROOT / 'python'}")
    paths = {name: make_input(name, recipe) for name, recipe in MEMORY_RECIPES.items()}
    (short, short_path), (long, long_path) = paths.items()
    n_short, _ = frame_count(short_path)
    n_long, _ = frame_count(long_path)
    py = [sys.executable, "-c", PY_CALL, "detect_frames"]
    peak_short = min(run_one(py + [str(short_path), "0"], env)["peak_rss_mib"] for _ in range(3))
    peak_long = min(run_one(py + [str(long_path), "0"], env)["peak_rss_mib"] for _ in range(3))
    per_frame = (peak_long - peak_short) * 1024 * 1024 / (n_long - n_short)
    # The demuxer's own index grows with the file too; the pump shows it alone.
    pump = [str(Path(build) / "bench" / "vantrel_pump_bench"), "--view"]
    pump_short = min(run_one(pump + [str(short_path)], None)["peak_rss_mib"] for _ in range(3))
    pump_long = min(run_one(pump + [str(long_path)], None)["peak_rss_mib"] for _ in range(3))
    pump_per_frame = (pump_long - pump_short) * 1024 * 1024 / (n_long - n_short)
    calls = 200
    first, last = map(int, run_one([sys.executable, "-c", REPEAT_CALLS, str(short_path), str(calls)],
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


def excerpt_1080p(frames):
    excerpt = OUT / f"h264_1080p_first{frames}.mp4"
    OUT.mkdir(parents=True, exist_ok=True)
    subprocess.run([FFMPEG, "-hide_banner", "-loglevel", "error", "-y", "-i",
                    str(make_input("h264_1080p", INPUT_RECIPES["h264_1080p"])),
                    "-frames:v", str(frames), "-c", "copy", str(excerpt)], check=True)
    return excerpt


def paired_ratios(build, frames=240, rounds=11):
    """Time ratios from many short rounds, each ratio taken within one round:
    adjacent runs share the machine's momentary speed, which on a shared
    machine drifts by more than the differences measured here."""
    excerpt = str(excerpt_1080p(frames))
    all_cases = [c for c in cases(build, None) if c[1] != "peer-default"]
    ratios = {name: {"vs floor": [], "vs packed pump": [], "vs strided pump": []}
              for name, _, _, _ in all_cases}
    for _ in range(rounds):
        times = {name: run_one(build_cmd(excerpt), env)["wall_s"] for name, _, build_cmd, env in all_cases}
        floor = times["ffmpeg decode, 1 thread (floor)"]
        for name, t in times.items():
            ratios[name]["vs floor"].append(t / floor)
            ratios[name]["vs packed pump"].append(t / times["pump, packed luma copy"])
            ratios[name]["vs strided pump"].append(t / times["pump, strided luma view"])
    summary = {name: {k: {"median": statistics.median(v), "min": min(v), "max": max(v)}
                      for k, v in r.items()} for name, r in ratios.items()}
    print(json.dumps(summary, indent=1), flush=True)
    return {"frames": frames, "rounds": rounds, "ratios": summary}


def instruction_counts(build, frames=120):
    """Instructions (callgrind) on the first `frames` frames of the 1080p input:
    exact and unaffected by other load, unlike times on a shared machine."""
    excerpt = excerpt_1080p(frames)
    env = dict(os.environ, PYTHONPATH=f"{build}{os.pathsep}{ROOT / 'python'}")
    py = os.path.realpath(sys.executable)
    ff = [FFMPEG, "-hide_banner", "-nostats", "-loglevel", "error"]
    pump = str(Path(build) / "bench" / "vantrel_pump_bench")
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
        out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *cmd],
                             env=env, capture_output=True, text=True, check=True).stderr
        counts[name] = int(out.split("Collected :")[1].split()[0])
        print(f"  {name}: {counts[name]:,} instructions", flush=True)
    return {"frames": frames, "counts": counts}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=str(ROOT / "build"), help="build dir with vantrel_rs and bench/")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--smoke", action="store_true", help="tiny input, one round, results under bench/out/")
    ap.add_argument("--memory", action="store_true", help="only the memory figures")
    ap.add_argument("--instructions", action="store_true", help="only the callgrind counts")
    ap.add_argument("--paired", action="store_true", help="only the paired time ratios")
    ap.add_argument("--no-peers", action="store_true")
    ap.add_argument("--only", nargs="*", help="input names to run")
    args = ap.parse_args()
    build = str(Path(args.build).resolve())

    report = {"machine": machine(), "runs": args.runs, "inputs": []}
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
    dest.mkdir(parents=True, exist_ok=True)
    (dest / "latest.json").write_text(json.dumps(report, indent=1) + "\n")
    (dest / "latest.md").write_text(to_markdown(report))
    print(to_markdown(report))


if __name__ == "__main__":
    main()
