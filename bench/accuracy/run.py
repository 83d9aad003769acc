#!/usr/bin/env python3
"""Accuracy benchmark: how well each method's scene list finds the labelled transitions.

    .venv/bin/python -m bench.accuracy.run              # build the set once, score every method
    .venv/bin/python -m bench.accuracy.run --methods vantrel "scdet (ffmpeg)"
    .venv/bin/python -m bench.accuracy.run --build build/dev   # vantrel from a build tree

The set (bench/accuracy/dataset.py) is real footage from packages plus clips
composed from it with known cuts, dissolves, fades and hard negatives; it is
made into bench/inputs/accuracy/ on first use and reused. Scoring rules are in
bench/accuracy/scoring.py. Every method runs in its own process on every clip;
its seconds are the detection's wall time measured inside that process (the
interpreter's start and imports not counted). Writes bench/accuracy/results/accuracy.md
and accuracy.json.

To add a method, add an entry to METHODS: a name and a callable taking a clip
(a dict with its "path") and returning a Detections.
"""
import argparse
import bisect
import json
import os
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

from bench import common
from bench.accuracy import dataset, scoring
from bench.speed.run import ensure_peers

RESULTS = Path(__file__).resolve().parent / "results"
OUT = common.OUT / "accuracy"


@dataclass
class Detections:
    starts: list                 # scene starts, frame numbers in decoder output order
    seconds: float               # wall time of the detection
    frames: int = -1             # frames the method decoded, where it says
    per_frame: dict = field(default_factory=dict)  # optional per-frame output, kept under bench/out/accuracy


def child(cmd, env=None):
    out = subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{cmd[0]} on {cmd[-2:]} failed ({out.returncode}): {out.stderr[-2000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def frame_times(clip):
    """Every frame's time as FFmpeg's filters see it, in decoder output order (cached)."""
    st = os.stat(clip["path"])
    cache = OUT / "pts" / f"{clip['name']}-{st.st_size}-{st.st_mtime_ns}.json"
    if cache.exists():
        return json.loads(cache.read_text())
    text = subprocess.run([common.FFMPEG, "-v", "error", "-i", clip["path"], "-map", "0:v:0", "-vf",
                           "metadata=mode=add:key=f:value=1,metadata=mode=print:file=-", "-f", "null", "-"],
                          check=True, capture_output=True, text=True).stdout
    times = [float(line.rsplit("pts_time:", 1)[1]) for line in text.splitlines() if line.startswith("frame:")]
    if any(b <= a for a, b in zip(times, times[1:])):
        raise RuntimeError(f"{clip['name']}: frame times do not ascend; times cannot name frames")
    cache.parent.mkdir(parents=True, exist_ok=True)
    cache.write_text(json.dumps(times))
    return times


def frame_at(times, t):
    """The index of the frame whose time is nearest to t (times ascend in output order)."""
    i = bisect.bisect_left(times, t)
    if i == len(times) or (i > 0 and t - times[i - 1] <= times[i] - t):
        i -= 1
    return i


# ---------------------------------------------------------------- the methods

VANTREL = """
import json, sys, time, vantrel
start = time.perf_counter()
a = vantrel.analyze(sys.argv[1], **json.loads(sys.argv[2]))
seconds = time.perf_counter() - start
print(json.dumps({"starts": list(a.keyframes), "seconds": seconds, "frames": a.frame_count}))
"""

# PySceneDetect 0.7 gives scene starts as times; they are mapped to frame numbers by the frames' times.
PYSCENEDETECT = """
import json, sys, time, scenedetect as sd
kind, path = sys.argv[1], sys.argv[2]
start = time.perf_counter()
video = sd.open_video(path)
manager = sd.SceneManager()
manager.add_detector({"content": sd.ContentDetector, "adaptive": sd.AdaptiveDetector}[kind]())
manager.detect_scenes(video)
scenes = manager.get_scene_list()
seconds = time.perf_counter() - start
print(json.dumps({"times": [s.seconds for s, _ in scenes], "seconds": seconds, "version": sd.__version__}))
"""

_settings = {"build": None, "peers": None, "PySceneDetect": None}


def configure(build=None, peers=None):
    """Takes vantrel from the build tree `build` and runs PySceneDetect with the interpreter `peers`
    (default: this interpreter's vantrel, and the benchmark's own venv made on first use)."""
    _settings["build"] = str(Path(build).resolve()) if build else None
    _settings["peers"] = peers


def vantrel(**kwargs):
    def method(clip):
        env = common.module_env(_settings["build"]) if _settings["build"] else None
        r = child([sys.executable, "-c", VANTREL, clip["path"], json.dumps(kwargs)], env)
        return Detections(r["starts"], r["seconds"], r["frames"])
    return method


def pyscenedetect(kind):
    def method(clip):
        if _settings["peers"] is None:
            _settings["peers"] = ensure_peers()
        r = child([_settings["peers"], "-c", PYSCENEDETECT, kind, clip["path"]])
        _settings["PySceneDetect"] = r["version"]
        times = frame_times(clip)
        return Detections([frame_at(times, t) for t in r["times"]], r["seconds"])
    return method


def scdet(clip):
    """FFmpeg's scdet filter at its default threshold (10): a frame whose score reaches it
    carries lavfi.scd.time, the time of the first frame of the new scene."""
    cmd = [common.FFMPEG, "-hide_banner", "-nostats", "-loglevel", "error", "-i", clip["path"], "-map", "0:v:0",
           "-vf", "scdet,metadata=mode=print:file=-", "-f", "null", "-"]
    start = time.perf_counter()
    text = subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL, capture_output=True, text=True).stdout
    seconds = time.perf_counter() - start
    hits = [float(line.split("=", 1)[1]) for line in text.splitlines() if line.startswith("lavfi.scd.time=")]
    frames = sum(line.startswith("frame:") for line in text.splitlines())
    times = frame_times(clip)
    return Detections([frame_at(times, t) for t in hits], seconds, frames)


METHODS = {
    "vantrel": vantrel(method="refined"),
    "vantrel native_res": vantrel(method="refined", native_res=True),
    "vantrel transitions": vantrel(method="transitions"),
    "vantrel learned (int8)": vantrel(method="learned"),
    "vantrel learned (fp32)": vantrel(method="learned", model="fp32"),
    "PySceneDetect adaptive": pyscenedetect("adaptive"),
    "PySceneDetect content": pyscenedetect("content"),
    "scdet (ffmpeg)": scdet,
}


# ------------------------------------------------------------------ the run

def check_frames(clip):
    """The truth's frame count against ffprobe's count of decoded frames."""
    counted = dataset.probe(clip["path"])["frames"]
    if counted != clip["frames"]:
        raise RuntimeError(f"{clip['name']}: {counted} frames decoded, the truth has {clip['frames']}")
    return counted


CASES = ("cut in a montage", "cut, small picture", "other cut", "dissolve, up to 12 frames",
         "dissolve, over 12 frames", "fade through black", "fade through white")


def case_of(clip, transition):
    """The case a transition stands for: montage cuts lie within 12 frames of another transition,
    small pictures are 352 pixels wide or less; a dissolve's length counts its pure end frames."""
    kind, first, last = transition
    if kind == "cut":
        gap = min([abs(first - u[1]) for u in clip["transitions"] if tuple(u) != tuple(transition)] or [10 ** 9])
        if gap <= 12:
            return "cut in a montage"
        width = int(dataset.probe(clip["path"])["size"].split("x")[0])
        return "cut, small picture" if width <= 352 else "other cut"
    if kind == "dissolve":
        return "dissolve, up to 12 frames" if last - first + 2 <= 12 else "dissolve, over 12 frames"
    return {"fade_black": "fade through black", "fade_white": "fade through white"}[kind]


def evaluate(clips, methods):
    rows = {}
    for name, method in methods.items():
        total, seconds, per_clip = scoring.Score(), 0.0, {}
        cases = {c: [0, 0] for c in CASES}  # found, all
        for clip in clips:
            d = method(clip)
            if d.frames not in (-1, clip["frames"]):
                raise RuntimeError(f"{name} decoded {d.frames} frames of {clip['name']}, not {clip['frames']}")
            s = scoring.score(clip["transitions"], d.starts, clip["negatives"])
            total.add(s)
            seconds += d.seconds
            missed = {tuple(t) for t in s.missed}
            for t in clip["transitions"]:
                counts = cases[case_of(clip, t)]
                counts[0] += tuple(t) not in missed
                counts[1] += 1
            pooled = s.pooled()
            per_clip[clip["name"]] = {"seconds": d.seconds, "tp": pooled.tp, "fn": pooled.fn, "fp": pooled.fp,
                                      "missed": s.missed, "false": s.false, "negative_fp": s.negative_fp}
            if d.per_frame:
                dest = OUT / "per_frame" / name.replace(" ", "_")
                dest.mkdir(parents=True, exist_ok=True)
                (dest / f"{clip['name']}.json").write_text(json.dumps(d.per_frame))
            print(f"  {name} / {clip['name']}: {d.seconds:.2f} s, tp {pooled.tp} fn {pooled.fn} fp {pooled.fp}",
                  flush=True)
        rows[name] = {"kinds": {k: c.as_dict() for k, c in total.kinds.items()},
                      "pooled": total.pooled().as_dict(), "seconds": seconds,
                      "negative_fp": total.negative_fp, "cases": cases, "clips": per_clip}
    return rows


def composition(clips):
    out = []
    for c in clips:
        kinds = {}
        for t in c["transitions"]:
            kinds[t[0]] = kinds.get(t[0], 0) + 1
        negatives = {}
        for n in c["negatives"]:
            negatives[n[0]] = negatives.get(n[0], 0) + 1
        info = dataset.probe(c["path"])
        out.append({"clip": c["name"], "origin": c["origin"], "codec": info["codec"], "size": info["size"],
                    "rate": round(info["rate"], 3), "frames": c["frames"], "transitions": kinds,
                    "negatives": negatives})
    return out


def to_markdown(report):
    lines = [f"Set: {report['set']['clips']} clips, {report['set']['frames']} frames, "
             f"{report['set']['cuts']} cuts, {report['set']['gradual']} gradual transitions, "
             f"{report['set']['negatives']} hard negatives. Machine: {report['machine']}.", "",
             *([f"The set differs from its recorded checksums: {'; '.join(report['set']['differs_from_checksums'])}.",
                ""] if report["set"]["differs_from_checksums"] else []),
             "A cut is found by a scene start within one frame of it, a gradual transition by one inside it "
             "(one frame of slack each side); one detection finds at most one transition. A false detection counts "
             "against the gradual kind when it lies inside a gradual transition's window, else against cuts. "
             "Seconds: the detection's wall time summed over the clips.", ""]
    rows = []
    for name, r in report["methods"].items():
        c, g, p = r["kinds"]["cut"], r["kinds"]["gradual"], r["pooled"]
        neg = ", ".join(f"{k} {v}" for k, v in sorted(r["negative_fp"].items())) or "0"
        rows.append([name, *(f"{k[m]:.2f}" for k in (c, g, p) for m in ("precision", "recall", "f1")), neg,
                     f"{r['seconds']:.1f}"])
    lines += common.table(["method", "#cut P", "#cut R", "#cut F1", "#gradual P", "#gradual R", "#gradual F1", "#P",
                           "#R", "#F1", "false on hard negatives", "#seconds"], rows)
    cases = [c for c in CASES if next(iter(report["methods"].values()))["cases"][c][1]]
    lines += ["", "Recall by case (found / all; montage cuts lie within 12 frames of another transition, small "
              "pictures are 352 pixels wide or less):", "",
              *common.table(["method", *("#" + c for c in cases)],
                            [[name, *(f"{r['cases'][c][0]} / {r['cases'][c][1]}" for c in cases)]
                             for name, r in report["methods"].items()])]
    clips = [c["clip"] for c in report["composition"]]
    lines += ["", "Per clip (found / missed / false):", "",
              *common.table(["method", *("#" + c for c in clips)],
                            [[name, *(f"{r['clips'][c]['tp']} / {r['clips'][c]['fn']} / {r['clips'][c]['fp']}"
                                      for c in clips)] for name, r in report["methods"].items()])]
    lines += ["", "The set:", "",
              *common.table(["clip", "origin", "codec", "size", "#fps", "#frames", "transitions", "hard negatives"],
                            [[c["clip"], c["origin"], c["codec"], c["size"], f"{c['rate']:g}", c["frames"],
                              ", ".join(f"{k} {v}" for k, v in sorted(c["transitions"].items())),
                              ", ".join(f"{k} {v}" for k, v in sorted(c["negatives"].items())) or "-"]
                             for c in report["composition"]])]
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", help="a build tree to take vantrel from (default: this interpreter's)")
    ap.add_argument("--methods", nargs="*", choices=list(METHODS), help="methods to score (default: all)")
    args = ap.parse_args()
    configure(build=args.build)
    methods = {k: v for k, v in METHODS.items() if not args.methods or k in args.methods}

    start = time.perf_counter()
    clips = dataset.build()
    differ = dataset.differences(dataset.checksums(clips))
    if differ:
        print("warning: " + "; ".join(differ), flush=True)
    for clip in clips:
        check_frames(clip)
    built = time.perf_counter() - start
    print(f"set ready in {built:.1f} s", flush=True)
    rows = evaluate(clips, methods)
    comp = composition(clips)
    report = {
        "machine": f"{common.machine_line(common.machine())}; PySceneDetect {_settings['PySceneDetect']}",
        "set": {"clips": len(clips), "frames": sum(c["frames"] for c in clips),
                "cuts": sum(t[0] == "cut" for c in clips for t in c["transitions"]),
                "gradual": sum(t[0] != "cut" for c in clips for t in c["transitions"]),
                "negatives": sum(len(c["negatives"]) for c in clips), "differs_from_checksums": differ},
        "seconds_to_build_set": built, "seconds_total": time.perf_counter() - start,
        "methods": rows, "composition": comp}
    dest = RESULTS if not args.methods else OUT
    common.write(dest, "accuracy", report, to_markdown(report))
    print(f"set {built:.1f} s, whole run {report['seconds_total']:.1f} s; written to {dest}")


if __name__ == "__main__":
    main()
