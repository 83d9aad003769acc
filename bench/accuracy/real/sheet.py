"""Contact sheets of a clip's frames, each thumbnail stamped with its frame number.

    python bench/accuracy/real/sheet.py CLIP_OR_FILE FIRST LAST [--step N] [--width W] [--cols C] [-o OUT.png]
    python bench/accuracy/real/sheet.py CLIP_OR_FILE --around K1,K2,... [--width W] [-o OUT.png]

Frames are numbered in decoder output order from 0, as `ffprobe -show_frames`
and the `vantrel` tool count them: the sheet trims by frame count before
stamping, so the number on a thumbnail is the label to write. `--step 4` shows
every 4th frame (for scanning a whole clip for misses); the default shows every
frame (for checking a label). `--around` draws one row per listed frame k,
frames k-3 to k+2, to check many cut labels on one sheet. A clip name from
labels.json is fetched first.
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


def draw(path, first, last, out, step=1, width=160, cols=10, pages=0):
    """One sheet of frames first..last, or with `pages` rows a page, numbered sheets (`out` holds %02d)."""
    count = (last - first) // step + 1
    rows = pages or -(-count // cols)
    size = max(10, width // 8)
    chain = (f"trim=start_frame={first}:end_frame={last + 1},"
             f"select='not(mod(n\\,{step}))',"
             f"scale={width}:-2:flags=area,"
             f"drawtext=fontfile={FONT}:text='%{{eif\\:{first}+n*{step}\\:d}}':x=2:y=2:fontsize={size}:"
             f"fontcolor=yellow:box=1:boxcolor=black@0.7,"
             f"tile={cols}x{rows}:padding=2:margin=2")
    single = [] if pages else ["-frames:v", "1", "-update", "1"]
    subprocess.run([FFMPEG, "-v", "error", "-y", "-i", str(path), "-vf", chain, "-fps_mode", "passthrough", *single,
                    str(out)],
                   check=True, stdin=subprocess.DEVNULL)
    return out


def draw_around(path, frames, out, width=160):
    """One row per frame k: k-3..k+2, stamped with the decoder's frame number."""
    rows = [(max(0, k - 3), k + 2) for k in frames]
    keep = "+".join(f"between(n\\,{a}\\,{b})" for a, b in rows)
    size = max(10, width // 8)
    chain = (f"scale={width}:-2:flags=area,"
             f"drawtext=fontfile={FONT}:text='%{{n}}':x=2:y=2:fontsize={size}:fontcolor=yellow:box=1:boxcolor=black@0.7,"
             f"select='{keep}',"
             f"tile=6x{len(rows)}:padding=2:margin=2")
    subprocess.run([FFMPEG, "-v", "error", "-y", "-i", str(path), "-vf", chain, "-frames:v", "1",
                    "-update", "1", str(out)], check=True, stdin=subprocess.DEVNULL)
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("clip", help="a clip name from labels.json, or a video file")
    ap.add_argument("first", type=int, nargs="?")
    ap.add_argument("last", type=int, nargs="?")
    ap.add_argument("--around", default="", help="comma-separated frames, one row of six frames each")
    ap.add_argument("--step", type=int, default=1)
    ap.add_argument("--width", type=int, default=160)
    ap.add_argument("--cols", type=int, default=10)
    ap.add_argument("--pages", type=int, default=0,
                    help="rows a page: write numbered pages (OUT gets _%%02d) instead of one sheet")
    ap.add_argument("-o", "--out", default="")
    a = ap.parse_args()
    if a.around:
        try:
            frames = sorted({int(k) for k in a.around.split(",")})
        except ValueError:
            ap.error(f"--around takes comma-separated frame numbers, not {a.around!r}")
    elif a.first is None or a.last is None or a.first < 0 or a.last < a.first or a.step < 1:
        ap.error("give FIRST and LAST with 0 <= FIRST <= LAST and --step >= 1, or --around")
    path = Path(a.clip) if Path(a.clip).is_file() else footage.clip_path(a.clip)
    name = f"around_{frames[0]}_{frames[-1]}" if a.around else f"{a.first}_{a.last}_s{a.step}"
    out = a.out or str(footage.SHEETS / f"{path.stem}_{name}.png")
    if a.pages:
        out = out[:-4] + "_%02d.png" if out.endswith(".png") else out + "_%02d.png"
    Path(out).parent.mkdir(parents=True, exist_ok=True)
    if a.around:
        print(draw_around(path, frames, out, a.width))
    else:
        print(draw(path, a.first, a.last, out, a.step, a.width, a.cols, a.pages))


if __name__ == "__main__":
    main()
