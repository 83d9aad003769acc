"""Writes the clips the wheel test analyses into a folder: each format the
wheel's FFmpeg must read as the system one does, two scenes back to back
(a hard cut) in most.
Usage: python clips.py OUTDIR"""
import shutil
import subprocess
import sys
from pathlib import Path

SIZE = "160x96"


def two_scenes(seconds: float = 1.0, extra_input: tuple = ()) -> list:
    return ["-f", "lavfi", "-t", str(seconds), "-i", f"testsrc=size={SIZE}:rate=25",
            "-f", "lavfi", "-t", str(seconds), "-i", f"mandelbrot=size={SIZE}:rate=25", *extra_input,
            "-filter_complex", "[0:v][1:v]concat=n=2:v=1[v]", "-map", "[v]"]


# libx264 with the same bytes on every machine (x264 otherwise picks its algorithms by processor).
X264 = ["-c:v", "libx264", "-threads", "1", "-x264-params", "cpu-independent=1", "-pix_fmt", "yuv420p"]

# name: ffmpeg arguments before the output file
CLIPS = {
    "h264.mp4": [*two_scenes(), *X264],
    "hevc.mkv": [*two_scenes(), "-c:v", "libx265", "-x265-params", "log-level=error", "-pix_fmt", "yuv420p"],
    "vp9.webm": [*two_scenes(), "-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8"],
    "vp8.webm": [*two_scenes(), "-c:v", "libvpx", "-deadline", "realtime", "-cpu-used", "8"],
    "av1.mkv": [*two_scenes(), "-c:v", "libaom-av1", "-cpu-used", "8", "-usage", "realtime"],
    "mpeg4.avi": [*two_scenes(), "-c:v", "mpeg4"],
    "mpeg2.ts": [*two_scenes(), "-c:v", "mpeg2video"],
    "mpeg2.mxf": [*two_scenes(), "-c:v", "mpeg2video"],
    "mpeg1.mpg": [*two_scenes(), "-c:v", "mpeg1video"],
    "flv1.flv": [*two_scenes(), "-c:v", "flv1"],
    "theora.ogv": [*two_scenes(), "-c:v", "libtheora"],
    "wmv2.wmv": [*two_scenes(), "-c:v", "wmv2"],
    "ffv1.nut": [*two_scenes(), "-c:v", "ffv1"],
    "rgb24.nut": [*two_scenes(), "-c:v", "rawvideo", "-pix_fmt", "rgb24"],
    "raw.y4m": [*two_scenes(), "-pix_fmt", "yuv420p"],
    "stream.h264": [*two_scenes(), *X264, "-f", "h264"],
    "stream.hevc": [*two_scenes(), "-c:v", "libx265", "-x265-params", "log-level=error", "-f", "hevc"],
    "mjpeg.avi": [*two_scenes(), "-c:v", "mjpeg", "-pix_fmt", "yuvj420p"],
    "ten-bit.mkv": [*two_scenes(), *X264, "-pix_fmt", "yuv420p10le"],
    "prores.mov": [*two_scenes(), "-c:v", "prores_ks"],
    "png.mov": [*two_scenes(0.4), "-c:v", "png"],
    "anim.gif": [*two_scenes(0.4)],
    "still.jpg": [*two_scenes(0.04), "-frames:v", "1"],
    "audio-video.mkv": [*two_scenes(extra_input=("-f", "lavfi", "-t", "2", "-i", "sine=frequency=440")),
                        *X264, "-map", "2:a", "-c:a", "libopus"],
}


def main() -> None:
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    ffmpeg = shutil.which("ffmpeg")
    for name, args in CLIPS.items():
        subprocess.run([ffmpeg, "-hide_banner", "-loglevel", "error", "-y", *args, str(out / name)],
                       check=True, stdin=subprocess.DEVNULL)
    # An image sequence, read through its file-name pattern.
    (out / "png-seq").mkdir(exist_ok=True)
    subprocess.run([ffmpeg, "-hide_banner", "-loglevel", "error", "-y", *two_scenes(0.4),
                    str(out / "png-seq" / "%03d.png")], check=True, stdin=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
