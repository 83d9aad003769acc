"""Scenes' first frames as pictures, via the ffmpeg tool: one contact sheet with every scene's first
frame labelled with its index, or one small JPEG per scene (for the report)."""
from __future__ import annotations

import math
import os
import tempfile
from pathlib import Path
from typing import List, Optional

from ..atomic import replacing
from ..ffmpeg_tool import find_ffmpeg, run_ffmpeg

THUMB_WIDTH = 240
MAX_COLUMNS = 6
# Each frame's timestamp becomes its index in decoder output order (the count the keyframe
# list uses) before `select`, so that the label, drawn on the finished tile, can show it; the
# font follows the tile's width, the same for every clip, portrait and rotated ones included.
INDEX_AS_TIME = "settb=1,setpts=N,"
LABEL = (",drawtext=text='%{eif\\:t\\:d}':x=4:y=4:fontsize=w/12:fontcolor=white"
         ":box=1:boxcolor=black@0.6:boxborderw=3")


class ThumbnailError(Exception):
    pass


def select_graph(keyframes: List[int]) -> str:
    """The first frames of the scenes, scaled to the thumbnail width."""
    select = "+".join(f"eq(n,{k})" for k in keyframes)
    return f"{INDEX_AS_TIME}select='{select}',scale={THUMB_WIDTH}:-2"


def filter_graph(keyframes: List[int], labelled: bool) -> str:
    columns = min(len(keyframes), MAX_COLUMNS)
    rows = math.ceil(len(keyframes) / columns)
    return f"{select_graph(keyframes)}{LABEL if labelled else ''},tile={columns}x{rows}:padding=4:margin=4"


def _render(ffmpeg: str, video: str, graph: str, output: List[str]) -> Optional[str]:
    """Runs ffmpeg with `graph` on the video; returns its last error line on failure."""
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as script:
        script.write(graph)
    try:
        return run_ffmpeg(ffmpeg, ["-i", video, "-filter_script:v", script.name, *output])
    finally:
        os.unlink(script.name)


def scene_thumbnails(video: str, keyframes: List[int]) -> List[bytes]:
    """One JPEG per keyframe, THUMB_WIDTH pixels wide, from a single decode."""
    if not keyframes:
        return []
    ffmpeg = find_ffmpeg("--report")
    with tempfile.TemporaryDirectory(prefix="vantrel-thumbs-") as folder:
        # Passthrough: one picture per selected frame, none repeated to fill a frame rate.
        error = _render(ffmpeg, video, select_graph(keyframes),
                        ["-vsync", "passthrough", "-q:v", "5", os.path.join(folder, "%06d.jpg")])
        names = sorted(os.listdir(folder))
        if error is None and len(names) != len(keyframes):
            error = f"ffmpeg gave {len(names)} of the {len(keyframes)} first frames"
        if error is not None:
            raise ThumbnailError(f"cannot take the scenes' first frames from {video}: {error}")
        return [Path(folder, name).read_bytes() for name in names]


def write_contact_sheet(video: str, keyframes: List[int], out: Path) -> Optional[str]:
    """Writes the sheet atomically; returns a warning when the labels had to be left out."""
    ffmpeg = find_ffmpeg("--contact-sheet")
    out = out.resolve()
    try:
        with replacing(out, out.suffix) as tmp:
            def render(labelled: bool) -> Optional[str]:
                error = _render(ffmpeg, video, filter_graph(keyframes, labelled),
                                ["-frames:v", "1", "-update", "1", str(tmp)])
                return error if error is not None or os.path.getsize(tmp) > 0 else "ffmpeg wrote no picture"

            warning = None
            error = render(labelled=True)
            if error is not None:
                # Text rendering needs drawtext and a font; without them the sheet is still useful.
                warning = f"contact sheet without frame labels: ffmpeg could not draw text ({error})"
                error = render(labelled=False)
            if error is not None:
                raise ThumbnailError(f"cannot make the contact sheet {out}: {error}")
    except OSError as e:
        raise ThumbnailError(f"cannot write {out}: {e.strerror or e}") from None
    return warning
