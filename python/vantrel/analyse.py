"""The work done for one input, in a worker process or a Ray task."""
from __future__ import annotations

import json
import shutil
import subprocess
import time
from dataclasses import dataclass
from fractions import Fraction
from typing import Optional, Tuple

from .formats import Analysis


@dataclass(frozen=True)
class Task:
    input: str
    needs_keyframes: bool
    needs_pass: bool
    needs_fps: bool
    native_res: bool = False
    hwdec: Optional[str] = None


@dataclass(frozen=True)
class FileResult:
    task: Task
    analysis: Optional[Analysis]
    error: Optional[str]
    frames: Optional[int]  # decoded frames, for the throughput figure
    seconds: float


def probe_stream(path: str, count_packets: bool) -> Tuple[Optional[Fraction], Optional[int]]:
    """Frame rate and packet count of the first video stream, as ffprobe reports them.

    Counting packets only demultiplexes, which is cheap next to decoding; it stands in for
    the frame count when the pass text (which gives the exact count) was not made.
    Either value is None when ffprobe is missing or cannot tell.
    """
    ffprobe = shutil.which("ffprobe")
    if ffprobe is None:
        return None, None
    cmd = [ffprobe, "-v", "error", "-select_streams", "v:0", "-of", "json",
           "-show_entries", "stream=avg_frame_rate" + (",nb_read_packets" if count_packets else "")]
    if count_packets:
        cmd.append("-count_packets")
    try:
        out = subprocess.run([*cmd, "--", path], capture_output=True, text=True,
                             stdin=subprocess.DEVNULL, check=True).stdout
        stream = json.loads(out)["streams"][0]
    except (subprocess.CalledProcessError, ValueError, KeyError, IndexError):
        return None, None
    fps = None
    try:
        rate = Fraction(stream.get("avg_frame_rate", "0/0"))
        fps = rate if rate > 0 else None
    except (ValueError, ZeroDivisionError):
        pass
    packets = stream.get("nb_read_packets")
    return fps, int(packets) if packets is not None and packets.isdigit() else None


def analyse(task: Task) -> FileResult:
    """Runs the analyses the task needs; a failure becomes the result's error text."""
    import vantrel_rs

    start = time.monotonic()
    keyframes = pass_text = None
    try:
        if task.needs_keyframes:
            keyframes = vantrel_rs.detect_frames(task.input, native_res=task.native_res, hwdec=task.hwdec)
        if task.needs_pass:
            pass_text = vantrel_rs.detect_pass(task.input, native_res=task.native_res, hwdec=task.hwdec)
    except RuntimeError as e:
        return FileResult(task, None, str(e), None, time.monotonic() - start)
    except (TypeError, ValueError) as e:  # a path Python cannot hand over, e.g. a lone surrogate
        return FileResult(task, None, f"{type(e).__name__}: {e}", None, time.monotonic() - start)
    counted = not task.needs_pass
    fps, packets = probe_stream(task.input, counted) if task.needs_fps or counted else (None, None)
    analysis = Analysis(task.input, keyframes, pass_text, fps)
    frames = analysis.frame_count if task.needs_pass else packets
    return FileResult(task, analysis, None, frames, time.monotonic() - start)
