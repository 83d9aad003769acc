"""One image with the first frame of every scene, labelled with its frame index, via the ffmpeg tool."""
from __future__ import annotations

import contextlib
import math
import os
import shutil
import subprocess
import tempfile
from pathlib import Path
from typing import List, Optional

from .files import file_mode

THUMB_WIDTH = 240
MAX_COLUMNS = 6
# Each frame's timestamp becomes its index in decoder output order (the count the keyframe
# list uses) before `select`, so that the label, drawn on the finished tile, can show it; the
# font follows the tile's width, the same for every clip, portrait and rotated ones included.
INDEX_AS_TIME = "settb=1,setpts=N,"
LABEL = (",drawtext=text='%{eif\\:t\\:d}':x=4:y=4:fontsize=w/12:fontcolor=white"
         ":box=1:boxcolor=black@0.6:boxborderw=3")


class ContactSheetError(Exception):
    pass


def filter_graph(keyframes: List[int], labelled: bool) -> str:
    columns = min(len(keyframes), MAX_COLUMNS)
    rows = math.ceil(len(keyframes) / columns)
    select = "+".join(f"eq(n,{k})" for k in keyframes)
    return (f"{INDEX_AS_TIME}select='{select}',scale={THUMB_WIDTH}:-2{LABEL if labelled else ''},"
            f"tile={columns}x{rows}:padding=4:margin=4")


def _render(ffmpeg: str, video: str, graph: str, out: str) -> Optional[str]:
    """Runs ffmpeg; returns its last error line on failure."""
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as script:
        script.write(graph)
    try:
        run = subprocess.run([ffmpeg, "-hide_banner", "-v", "error", "-nostdin", "-y", "-i", video,
                              "-filter_script:v", script.name, "-frames:v", "1", "-update", "1", out],
                             capture_output=True, text=True, stdin=subprocess.DEVNULL)
    finally:
        os.unlink(script.name)
    if run.returncode == 0 and os.path.getsize(out) > 0:
        return None
    lines = run.stderr.strip().splitlines()
    return lines[-1] if lines else f"ffmpeg exited with status {run.returncode}"


def write_contact_sheet(video: str, keyframes: List[int], out: Path) -> Optional[str]:
    """Writes the sheet atomically; returns a warning when the labels had to be left out."""
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg is None:
        raise ContactSheetError("--contact-sheet needs the ffmpeg tool on PATH")
    out = out.resolve()
    try:
        fd, tmp = tempfile.mkstemp(dir=out.parent, prefix=f".{out.name}.", suffix=out.suffix)
    except OSError as e:
        raise ContactSheetError(f"cannot write {out}: {e.strerror or e}") from None
    os.close(fd)
    try:
        warning = None
        error = _render(ffmpeg, video, filter_graph(keyframes, labelled=True), tmp)
        if error is not None:
            # Text rendering needs drawtext and a font; without them the sheet is still useful.
            warning = f"contact sheet without frame labels: ffmpeg could not draw text ({error})"
            error = _render(ffmpeg, video, filter_graph(keyframes, labelled=False), tmp)
        if error is not None:
            raise ContactSheetError(f"cannot make the contact sheet {out}: {error}")
        os.chmod(tmp, file_mode())  # as the other outputs, not the private temporary file's
        os.replace(tmp, out)
        return warning
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
