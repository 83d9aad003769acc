"""Candidate transitions of a clip from several detectors at low thresholds, for labelling.

    python bench/accuracy/real/candidates.py CLIP_OR_FILE [--json OUT]

Runs vantrel's three methods (learned at a low probability), PySceneDetect's
content and adaptive detectors with low thresholds, and FFmpeg's scdet at a
low threshold, and prints each candidate frame with the detectors that gave it
(frames within two of each other are one row). Candidates only propose: every
label is decided on a contact sheet, and the whole clip is scanned on sheets
for what no detector proposes. Nothing here is tuned on the labels.
"""
import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import footage  # noqa: E402

BIN = Path(sys.executable).parent
FFMPEG = shutil.which("ffmpeg") or "ffmpeg"


def _tool(name):
    return str(BIN / name) if (BIN / name).exists() else (shutil.which(name) or name)


def _out(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True, stdin=subprocess.DEVNULL).stdout


def vantrel(path, method, threshold=None):
    cmd = [_tool("vantrel"), "-q", "-f", "json", "--method", method, str(path)]
    if threshold is not None:
        cmd += ["--threshold", str(threshold)]
    doc = json.loads(_out(cmd))
    found = set()
    for t in doc.get("transitions", []):
        found.update({t.get("first", t.get("frame")), t.get("last", t.get("frame"))} - {None})
    for s in doc.get("scenes", []):
        found.add(s.get("start_frame", s.get("start")))
    found.discard(0)
    found.discard(None)
    return sorted(found)


def pyscenedetect(path, detector, threshold):
    with tempfile.TemporaryDirectory() as tmp:
        _out([_tool("scenedetect"), "-q", "-i", str(path), "-o", tmp, detector, "-t", str(threshold),
              "-m", "1", "list-scenes", "-s", "-f", "scenes.csv"])
        rows = (Path(tmp) / "scenes.csv").read_text().splitlines()
    # Columns: scene number, start frame (1-based), ...; the first row is the header.
    return sorted(int(r.split(",")[1]) - 1 for r in rows[1:] if r)[1:]


def scdet(path, threshold):
    err = subprocess.run([FFMPEG, "-nostats", "-i", str(path), "-an", "-vf",
                          f"scdet=t={threshold},metadata=mode=print:key=lavfi.scd.time", "-f", "null", "-"],
                         check=True, capture_output=True, text=True, stdin=subprocess.DEVNULL).stderr
    return sorted(int(m) for m in re.findall(r"frame:(\d+)\s+pts:", err))


DETECTORS = {
    "refined": lambda p: vantrel(p, "refined"),
    "gradual": lambda p: vantrel(p, "gradual"),
    "learned": lambda p: vantrel(p, "learned", 0.1),
    "psd-content": lambda p: pyscenedetect(p, "detect-content", 15),
    "psd-adaptive": lambda p: pyscenedetect(p, "detect-adaptive", 2),
    "scdet": lambda p: scdet(p, 4),
}


def gather(path, names):
    found = {}
    for name in names:
        run = DETECTORS[name]
        try:
            found[name] = run(path)
        except (subprocess.CalledProcessError, OSError, json.JSONDecodeError) as e:
            print(f"{name}: failed ({e})", file=sys.stderr)
    rows = []
    for frame, name in sorted((f, n) for n, fs in found.items() for f in fs):
        if rows and frame - rows[-1][1] <= 2:
            rows[-1][1] = frame
            rows[-1][2].add(name)
        else:
            rows.append([frame, frame, {name}])
    return found, rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("clip", help="a clip name from labels.json, or a video file")
    ap.add_argument("--json", default="", help="also write each detector's frames here")
    ap.add_argument("--detectors", default=",".join(DETECTORS),
                    help=f"comma-separated subset of {','.join(DETECTORS)} (default: all)")
    a = ap.parse_args()
    names = [n for n in a.detectors.split(",") if n]
    unknown = [n for n in names if n not in DETECTORS]
    if unknown or not names:
        ap.error(f"unknown detector(s) {', '.join(unknown) or '(none given)'}; choose from {', '.join(DETECTORS)}")
    path = Path(a.clip) if Path(a.clip).is_file() else footage.clip_path(a.clip)
    found, rows = gather(path, names)
    for first, last, names in rows:
        span = f"{first}" if first == last else f"{first}-{last}"
        print(f"{span:>12}  {len(names)}  {' '.join(sorted(names))}")
    if a.json:
        Path(a.json).write_text(json.dumps(found))


if __name__ == "__main__":
    main()
