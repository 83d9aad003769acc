"""`--split`: one video file per scene, cut with the ffmpeg tool.

Each cut lies halfway between the last frame of one scene and the first of the next, so that
the cut times select exactly the scene's frames whatever the rounding of a timestamp, and the
audio of all clips together is the input's audio once.
"""
from __future__ import annotations

from pathlib import Path
from typing import Callable, List, Optional

from ..analysis import Analysis
from ..atomic import replacing
from ..ffmpeg_tool import find_ffmpeg, run_ffmpeg

# Re-encoded clips: H.264 at a constant quality, AAC audio, every frame kept with its timestamp.
ENCODE = ["-c:v", "libx264", "-crf", "18", "-c:a", "aac", "-vsync", "passthrough", "-enc_time_base:v", "-1"]
# The best video stream (no cover pictures) and every audio stream, as the analysis sees the video.
STREAMS = ["-map", "0:V:0", "-map", "0:a?"]


class SplitError(Exception):
    pass


def clip_names(stem: str, scenes: int, copy: bool) -> List[str]:
    """`<stem>-scene-001.mp4`, ...: re-encoded clips are MP4, copied streams go into Matroska, which takes
    any codec."""
    width = max(3, len(str(scenes)))
    return [f"{stem}-scene-{n:0{width}d}{'.mkv' if copy else '.mp4'}" for n in range(1, scenes + 1)]


def _cut_time(a: Analysis, frame: int) -> Optional[float]:
    """Where the scene starting at `frame` begins: halfway from the frame before; None at either end."""
    if frame <= 0 or frame >= a.frame_count:
        return None
    return (a.times[frame - 1] + a.times[frame]) / 2


def split_scenes(video: str, a: Analysis, folder: Path, stem: str, copy: bool,
                 progress: Callable[[int, int, int], None]) -> List[Path]:
    """Writes one file per scene into `folder`; `progress(scene, scenes, frames done)` is called as it goes.

    Re-encoded clips hold exactly their scene's frames. Copied clips start at the codec keyframe at or
    before their scene's first frame.
    """
    ffmpeg = find_ffmpeg("--split")
    outputs = [folder / name for name in clip_names(stem, len(a.scenes), copy)]
    done = 0
    for number, (scene, out) in enumerate(zip(a.scenes, outputs), 1):
        start, end = _cut_time(a, scene.start_frame), _cut_time(a, scene.end_frame + 1)
        args: List[str] = []
        if start is not None:
            args += ["-ss", f"{start:.6f}"]
        args += ["-i", video]
        if end is not None:
            args += ["-t", f"{end - (start or 0.0):.6f}"]
        args += [*STREAMS, *(["-c", "copy"] if copy else ENCODE)]
        progress(number, len(a.scenes), done)
        with replacing(out, out.suffix) as tmp:
            error = run_ffmpeg(ffmpeg, [*args, str(tmp)],
                               lambda frames: progress(number, len(a.scenes), done + frames))
            if error is not None:
                raise SplitError(f"cannot cut scene {number} into {out}: {error}")
        done += scene.end_frame - scene.start_frame + 1
    progress(len(a.scenes), len(a.scenes), done)
    return outputs
