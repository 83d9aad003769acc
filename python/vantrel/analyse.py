"""The work done for one input, in a worker process or a Ray task."""
from __future__ import annotations

import json
import shutil
import subprocess
import time
from dataclasses import dataclass
from fractions import Fraction
from typing import Optional

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
    frames: Optional[int]  # decoded frames, known when the pass text was made
    seconds: float


def probe_frame_rate(path: str) -> Optional[Fraction]:
    """Average frame rate of the first video stream as ffprobe reports it; None when unknown."""
    ffprobe = shutil.which("ffprobe")
    if ffprobe is None:
        return None
    cmd = [ffprobe, "-v", "error", "-select_streams", "v:0", "-of", "json",
           "-show_entries", "stream=avg_frame_rate", "--", path]
    try:
        out = subprocess.run(cmd, capture_output=True, text=True, stdin=subprocess.DEVNULL, check=True).stdout
        rate = Fraction(json.loads(out)["streams"][0]["avg_frame_rate"])
    except (subprocess.CalledProcessError, ValueError, KeyError, IndexError, ZeroDivisionError):
        return None
    return rate if rate > 0 else None


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
    fps = probe_frame_rate(task.input) if task.needs_fps else None
    analysis = Analysis(task.input, keyframes, pass_text, fps)
    return FileResult(task, analysis, None, analysis.frame_count, time.monotonic() - start)
