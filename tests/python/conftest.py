"""Shared fixtures: test videos generated with the ffmpeg tool, cached per session."""
import json
import shutil
import subprocess
from pathlib import Path

import pytest

FFMPEG = shutil.which("ffmpeg")
FFPROBE = shutil.which("ffprobe")


def run_ffmpeg(args, out: Path) -> Path:
    cmd = [FFMPEG, "-hide_banner", "-loglevel", "error", "-y", *args, str(out)]
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
            codec=("-c:v", "libx264", "-pix_fmt", "yuv420p")) -> Path:
        """Two unrelated sources back to back: a hard cut at the first frame of the second."""
        (a, da), (b, db) = first, second
        args = [*lavfi(a, da, size=size), *lavfi(b, db, size=size),
                "-filter_complex", "[0:v][1:v]concat=n=2:v=1[v]", "-map", "[v]", *codec]
        return self(name, args)


def probe_frame_count(path: Path) -> int:
    """Frames the decoder outputs for the best video stream, as ffprobe counts them."""
    out = subprocess.run(
        [FFPROBE, "-v", "error", "-select_streams", "v:0", "-count_frames",
         "-show_entries", "stream=nb_read_frames", "-of", "json", str(path)],
        check=True, capture_output=True, text=True).stdout
    return int(json.loads(out)["streams"][0]["nb_read_frames"])


@pytest.fixture(scope="session")
def videos(tmp_path_factory) -> VideoFactory:
    if FFMPEG is None:
        pytest.skip("the ffmpeg tool is needed to generate test videos")
    return VideoFactory(tmp_path_factory.mktemp("videos"))


@pytest.fixture(scope="session")
def long_clip(videos, tmp_path_factory) -> Path:
    """Several seconds of analysis here: a transport stream of one 10-second clip 40 times over."""
    part = videos("long-part.ts", [*lavfi("testsrc2", 10, size="640x360"), "-c:v", "libx264", "-pix_fmt",
                                   "yuv420p", "-preset", "ultrafast", "-f", "mpegts"])
    path = tmp_path_factory.mktemp("long") / "long.ts"
    path.write_bytes(part.read_bytes() * 40)
    return path


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
