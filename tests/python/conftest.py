"""Shared fixtures and helpers: test videos generated with the ffmpeg tool, cached per session;
the command run in a child; a child interrupted by Ctrl-C."""
import json
import os
import queue
import random
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import NamedTuple

import pytest

FFMPEG = shutil.which("ffmpeg")
FFPROBE = shutil.which("ffprobe")
# libx264 with the same bytes on every machine: x264 otherwise picks its algorithms by processor, and a
# threaded encode varies with the number of threads.
X264 = ["-c:v", "libx264", "-threads", "1", "-x264-params", "cpu-independent=1",
        "-pix_fmt", "yuv420p"]


def run_ffmpeg(args, out: Path) -> Path:
    cmd = [FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-y", *args, str(out)]
    subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL)
    return out


def lavfi(source: str, seconds: float = 1.0, rate: int = 25, size: str = "160x96") -> list:
    """Input arguments for a synthetic lavfi source."""
    return ["-f", "lavfi", "-t", str(seconds), "-i", f"{source}=size={size}:rate={rate}"]


class VideoFactory:
    """Makes a named test video once per session and returns its path."""

    def __init__(self, root: Path):
        self.root = root

    def __call__(self, name: str, args: list) -> Path:
        out = self.root / name
        if not out.exists():
            run_ffmpeg(args, out)
        return out

    def cut(self, name: str = "cut.mkv", size: str = "160x96", first=("testsrc", 1.0), second=("mandelbrot", 1.0),
            codec=X264) -> Path:
        """Two unrelated sources back to back: a hard cut at the first frame of the second."""
        (a, da), (b, db) = first, second
        args = [*lavfi(a, da, size=size), *lavfi(b, db, size=size),
                "-filter_complex", "[0:v][1:v]concat=n=2:v=1[v]", "-map", "[v]", *codec]
        return self(name, args)


def cuts(videos, name, codec, size="160x96", sources=("testsrc", "mandelbrot", "smptebars"), seconds=0.6):
    """The lavfi `sources` back to back, `seconds` each: hard cuts between them."""
    args = []
    for source in sources:
        args += lavfi(source, seconds, size=size)
    joined = "".join(f"[{i}:v]" for i in range(len(sources))) + f"concat=n={len(sources)}:v=1[v]"
    return videos(name, [*args, "-filter_complex", joined, "-map", "[v]", *codec])


def probe(path, *entries):
    out = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0", "-show_entries", ",".join(entries),
                          "-of", "json", str(path)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def probed_times(path):
    """Each frame's time as ffprobe gives it, less the container's start."""
    start = float(probe(path, "format=start_time")["format"].get("start_time", 0))
    frames = probe(path, "frame=best_effort_timestamp_time")["frames"]
    return [float(frame["best_effort_timestamp_time"]) - start for frame in frames]


def damage(clean: Path, damaged: Path, first: int, count: int) -> None:
    """Overwrites the data of `count` video packets from packet `first` on with noise."""
    packets = probe(clean, "packet=pos,size")["packets"]
    data = bytearray(clean.read_bytes())
    noise = random.Random(7)
    for packet in packets[first:first + count]:
        pos, size = int(packet["pos"]), int(packet["size"])
        for i in range(pos + 8, pos + size):
            data[i] = noise.randrange(256)
    damaged.write_bytes(data)


def command(*args, timeout=120, **options):
    """The `vantrel` command in a child, under the usual umask whatever the test runner's."""
    return subprocess.run([sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=timeout, preexec_fn=lambda: os.umask(0o022), **options)


class Interrupted(NamedTuple):
    returncode: int
    lines: list  # of standard output, after "ready"
    stderr: str
    seconds: float  # from Ctrl-C to the first line after it, or to the end of the child's output


def interrupt(args: list, until, ready: bool = False) -> Interrupted:
    """Runs `python *args` in a child and sends it Ctrl-C once `until` holds: a number of seconds
    (after the "ready" line the child prints first, with `ready`), or a callable polled while the
    child runs. The one harness of every Ctrl-C test."""
    child = subprocess.Popen([sys.executable, *map(str, args)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    lines: queue.Queue = queue.Queue()  # standard output's lines, then None at its end
    reader = threading.Thread(target=lambda: [*map(lines.put, child.stdout), lines.put(None)], daemon=True)
    reader.start()
    try:
        if ready:
            assert lines.get(timeout=120) == "ready\n"
        if callable(until):
            deadline = time.monotonic() + 120
            while not until():
                assert child.poll() is None and time.monotonic() < deadline
                time.sleep(0.02)
        else:
            time.sleep(until)
        assert child.poll() is None, "the child ended before Ctrl-C"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out = [lines.get(timeout=30)]
        seconds = time.monotonic() - sent
        child.wait(timeout=30)
        reader.join(timeout=30)
        while out[-1] is not None:
            out.append(lines.get_nowait())
        return Interrupted(child.returncode, [line.rstrip("\n") for line in out[:-1]], child.stderr.read(), seconds)
    finally:
        if child.poll() is None:
            child.kill()
        child.communicate()


def probe_frame_count(path: Path) -> int:
    """Frames the decoder outputs for the best video stream, as ffprobe counts them."""
    out = subprocess.run(
        [FFPROBE, "-v", "error", "-select_streams", "v:0", "-count_frames",
         "-show_entries", "stream=nb_read_frames", "-of", "json", str(path)],
        check=True, capture_output=True, text=True).stdout
    return int(json.loads(out)["streams"][0]["nb_read_frames"])


# Two blurred pictures of SIZE: the synthetic pictures get the smooth histograms of filmed ones.
SIZE = "320x180"
SOFT = "gblur=sigma=6"


def join_two(videos, name, join):
    """Two lavfi sources of 2 s, blurred, joined by the filter `join` ([a][b] in, [v] out)."""
    args = [*lavfi("testsrc2", 2, size=SIZE), *lavfi("mandelbrot", 2, size=SIZE), "-filter_complex",
            f"[0:v]{SOFT}[a];[1:v]{SOFT}[b];[a][b]{join},format=yuv420p[v]", "-map", "[v]",
            *X264]
    return videos(name, args)


@pytest.fixture(scope="session")
def videos(tmp_path_factory) -> VideoFactory:
    if FFMPEG is None:
        pytest.skip("the ffmpeg tool is needed to generate test videos")
    return VideoFactory(tmp_path_factory.mktemp("videos"))


@pytest.fixture(scope="session")
def long_clip(videos, tmp_path_factory) -> Path:
    """Several seconds of analysis here: a transport stream of one 10-second clip 40 times over."""
    part = videos("long-part.ts", [*lavfi("testsrc2", 10, size="640x360"), *X264,
                                   "-preset", "ultrafast", "-f", "mpegts"])
    path = tmp_path_factory.mktemp("long") / "long.ts"
    path.write_bytes(part.read_bytes() * 40)
    return path


@pytest.fixture(scope="module")
def clean_and_damaged(videos, tmp_path_factory):
    """An MJPEG clip with cuts at frames 30, 60 and 90, and a copy with packets 58 to 60 overwritten."""
    clean = cuts(videos, "eng-damage.avi", ["-c:v", "mjpeg", "-pix_fmt", "yuvj420p"],
                 sources=("testsrc", "mandelbrot", "smptebars", "rgbtestsrc"), seconds=1.2)
    damaged = tmp_path_factory.mktemp("damage") / "damaged.avi"
    damage(clean, damaged, 58, 3)
    return clean, damaged


@pytest.fixture(scope="module")
def size_change_clip(videos, tmp_path_factory):
    """A second of 320x240, then a second of 640x360, in one transport stream."""
    x264 = [*X264, "-preset", "veryfast"]
    root = tmp_path_factory.mktemp("size-change")
    first = videos("size-a.ts", [*lavfi("testsrc", 1, size="320x240"), *x264, "-f", "mpegts"])
    second = videos("size-b.ts", [*lavfi("testsrc", 1, size="640x360"), *x264, "-f", "mpegts"])
    joined = root / "size-change.ts"
    joined.write_bytes(first.read_bytes() + second.read_bytes())
    return str(joined)


@pytest.fixture(scope="module")
def dissolve_clip(videos):
    """A dissolve of 0.8 s (20 frames) from frame 30."""
    return join_two(videos, "dissolve.mkv", "xfade=transition=fade:duration=0.8:offset=1.2")


@pytest.fixture(scope="module")
def fade_clip(videos):
    """A fade through black of 0.8 s (20 frames) from frame 30."""
    return join_two(videos, "fadeblack.mkv", "xfade=transition=fadeblack:duration=0.8:offset=1.2")


@pytest.fixture(scope="session")
def s3_options():
    """fsspec storage options reaching an S3-compatible server on 127.0.0.1, for the session."""
    pytest.importorskip("s3fs")
    pytest.importorskip("moto.server")
    from servers import no_proxy, s3_server
    no_proxy()
    with s3_server() as options:
        yield options


@pytest.fixture(scope="session")
def web(tmp_path_factory):
    """(folder, its base URL): a web server on 127.0.0.1 with range requests, for the session."""
    pytest.importorskip("aiohttp")
    from servers import http_server, no_proxy
    no_proxy()
    root = tmp_path_factory.mktemp("web")
    with http_server(root) as url:
        yield root, url
