"""Contact sheets of a clip's frames, each thumbnail stamped with its frame number.

    python bench/accuracy/real/sheet.py CLIP_OR_FILE FIRST LAST [--step N] [--width W] [--cols C] [-o OUT.png]

Frames are numbered in decoder output order from 0, as `ffprobe -show_frames`
and the `vantrel` tool count them: the sheet trims by frame count before
stamping, so the number on a thumbnail is the label to write. `--step 4` shows
every 4th frame (for scanning a whole clip for misses); the default shows every
frame (for checking a label). A clip name from labels.json is fetched first.
"""
import argparse
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import footage  # noqa: E402

FFMPEG = shutil.which("ffmpeg") or "ffmpeg"
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono-Bold.ttf"


def draw(path, first, last, out, step=1, width=160, cols=10):
    count = (last - first) // step + 1
    rows = -(-count // cols)
    size = max(10, width // 8)
    chain = (f"trim=start_frame={first}:end_frame={last + 1},"
             f"select='not(mod(n\\,{step}))',"
             f"scale={width}:-2:flags=area,"
             f"drawtext=fontfile={FONT}:text='%{{eif\\:{first}+n*{step}\\:d}}':x=2:y=2:fontsize={size}:"
             f"fontcolor=yellow:box=1:boxcolor=black@0.7,"
             f"tile={cols}x{rows}:padding=2:margin=2")
    subprocess.run([FFMPEG, "-v", "error", "-y", "-i", str(path), "-vf", chain, "-frames:v", "1",
                    "-update", "1", str(out)], check=True, stdin=subprocess.DEVNULL)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("clip", help="a clip name from labels.json, or a video file")
    ap.add_argument("first", type=int)
    ap.add_argument("last", type=int)
    ap.add_argument("--step", type=int, default=1)
    ap.add_argument("--width", type=int, default=160)
    ap.add_argument("--cols", type=int, default=10)
    ap.add_argument("-o", "--out", default="")
    a = ap.parse_args()
    if a.first < 0 or a.last < a.first or a.step < 1:
        ap.error("frames must satisfy 0 <= FIRST <= LAST and --step >= 1")
    path = Path(a.clip) if Path(a.clip).is_file() else footage.clip_path(a.clip)
    out = a.out or str(footage.SHEETS / f"{path.stem}_{a.first}_{a.last}_s{a.step}.png")
    Path(out).parent.mkdir(parents=True, exist_ok=True)
    print(draw(path, a.first, a.last, out, a.step, a.width, a.cols))


if __name__ == "__main__":
    main()
