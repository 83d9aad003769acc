"""Hostile inputs: truncated and corrupted files, special files, extreme sizes, odd streams.

Every call runs in a child process with a time limit, so a crash or a hang fails the
test instead of taking pytest down. Each call must end in a well-formed result or a
RuntimeError whose text starts with one of the documented category prefixes.
"""
import json
import os
import random
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

import pytest

import vantrel_rs
from conftest import X264, lavfi, probe_frame_count

PREFIXES = ("input/output error: ", "unsupported operation: ", "configuration error: ",
            "decode error: ", "internal error: ")
HEADER = ("# XviD 2pass stat file (core version vantrel-rs 0.1.1)\n"
          "# Please do not modify this file\n\n")
REGRESSIONS = Path(__file__).resolve().parents[2] / "fuzz" / "regressions" / "fuzz_analysis"
MODULE_DIR = str(Path(vantrel_rs.__file__).resolve().parent)

# Runs both entry points on every path of a JSON list and prints one JSON line per
# call. "start" is printed first, so a crash names the input that caused it.
CHILD = r"""
import json, sys, time
import vantrel_rs
for path, native_res in json.loads(sys.stdin.read()):
    print(json.dumps({"start": path}), flush=True)
    outcome = {"path": path}
    for name in ("detect_frames", "detect_pass"):
        began = time.monotonic()
        try:
            outcome[name] = getattr(vantrel_rs, name)(path, native_res)
        except BaseException as error:
            outcome[name] = {"type": type(error).__name__, "text": str(error)}
        outcome[name + "_seconds"] = time.monotonic() - began
    print(json.dumps(outcome), flush=True)
"""

ONE_CALL = "import json, sys, vantrel_rs; print(json.dumps(vantrel_rs.detect_frames(sys.argv[1])))"


def child_env() -> dict:
    return dict(os.environ, PYTHONPATH=os.pathsep.join([MODULE_DIR, *filter(None, sys.path)]))


def run_calls(paths, timeout, native_res=False, prelude=""):
    """Both functions on every path in one child; returns the outcomes in order.

    `prelude` runs in the child right after the module is imported."""
    request = json.dumps([[str(p), native_res] for p in paths])
    code = CHILD.replace("import vantrel_rs\n", "import vantrel_rs\n" + prelude, 1)
    try:
        child = subprocess.run([sys.executable, "-c", code], input=request, capture_output=True,
                               text=True, errors="replace", timeout=timeout, env=child_env())
    except subprocess.TimeoutExpired as expired:
        started = [json.loads(line)["start"] for line in (expired.stdout or b"").decode(errors="replace").splitlines()
                   if line.startswith('{"start"')]
        pytest.fail(f"no answer within {timeout}s; last input started: {started[-1:]}")
    lines = [json.loads(line) for line in child.stdout.splitlines()]
    outcomes = [line for line in lines if "start" not in line]
    assert child.returncode == 0 and len(outcomes) == len(paths), \
        f"child ended with {child.returncode} during {lines[-1:]}: {child.stderr[-3000:]}"
    return outcomes


def is_error(value) -> bool:
    return isinstance(value, dict)


def check_outcome(outcome, per_call_seconds=20.0):
    """A clean result or a documented RuntimeError, the same analysis for both functions."""
    frames, text = outcome["detect_frames"], outcome["detect_pass"]
    where = outcome["path"]
    for name in ("detect_frames", "detect_pass"):
        value = outcome[name]
        assert outcome[name + "_seconds"] < per_call_seconds, (where, name, "too slow")
        if is_error(value):
            assert value["type"] == "RuntimeError", (where, name, value)
            assert value["text"].startswith(PREFIXES), (where, name, value)
    assert is_error(frames) == is_error(text), (where, frames, text)
    if is_error(frames):
        assert frames == text, where
        return None
    assert frames[0] == 0 and all(a < b for a, b in zip(frames, frames[1:])), (where, frames)
    assert text.startswith(HEADER), (where, text[:200])
    lines = text[len(HEADER):].splitlines()
    assert lines == [] or (lines[0] == "i" and set(lines) <= {"i", "p"}), (where, text[:200])
    assert frames[-1] < max(len(lines), 1), (where, frames, len(lines))
    return frames, lines


def outcome_of(path, timeout=60):
    outcome = run_calls([path], timeout)[0]
    check_outcome(outcome)
    return outcome


def x264(*extra):
    return [*X264, "-preset", "ultrafast", "-pix_fmt", "yuv420p", *extra]


def two_scenes(seconds=0.4, size="48x32", second="mandelbrot"):
    """A cut between two synthetic sources, as ffmpeg input and filter arguments."""
    return [*lavfi("testsrc", seconds, size=size), *lavfi(second, seconds, size=size),
            "-filter_complex", "[0:v][1:v]concat=n=2:v=1[v]", "-map", "[v]"]


@pytest.fixture(scope="module")
def sources(videos):
    """Small clips in several containers and codecs, each with a cut."""
    return [
        videos("hostile-h264.mp4", [*two_scenes(), *x264("-bf", "2")]),
        videos("hostile-h264.ts", [*two_scenes(), *x264(), "-f", "mpegts"]),
        videos("hostile-mpeg4.avi", [*two_scenes(), "-c:v", "mpeg4", "-q:v", "8"]),
        videos("hostile-mjpeg.mkv", [*two_scenes(), "-c:v", "mjpeg", "-q:v", "10"]),
        videos("hostile-vp8.webm", [*two_scenes(), "-c:v", "libvpx", "-b:v", "100k"]),
        videos("hostile-ffv1.nut", [*two_scenes(0.2), "-c:v", "ffv1", "-pix_fmt", "yuv420p10le"]),
        videos("hostile-png.mov", [*two_scenes(0.2, "32x24"), "-c:v", "png", "-pix_fmt", "rgb24"]),
    ]


def cut_points(size: int, rng: random.Random) -> list:
    """Dense near the start, where the headers are, then spread over the whole file."""
    points = {1, 2, 3, 4, 7, 8, 11, 12, 16, 20, 24, 32, 40, 48, 64, 96, 128, 188, 192, 256,
              376, 512, 768, 1024, size - 1, size // 2}
    points |= {rng.randrange(1, size) for _ in range(14)}
    return sorted(p for p in points if 0 < p < size)


def flipped(data: bytes, rng: random.Random, start: int, end: int) -> bytes:
    corrupted = bytearray(data)
    for _ in range(rng.choice((1, 2, 4, 16))):
        corrupted[rng.randrange(start, end)] ^= rng.randrange(1, 256)
    return bytes(corrupted)


class TestDamagedFiles:
    def test_truncated_everywhere(self, sources, tmp_path):
        rng = random.Random(11)
        paths = []
        for source in sources:
            data = source.read_bytes()
            for point in cut_points(len(data), rng):
                path = tmp_path / f"{point:06d}-{source.name}"
                path.write_bytes(data[:point])
                paths.append(path)
        outcomes = run_calls(paths, timeout=240)
        results = [check_outcome(o) for o in outcomes]
        # Cutting only the tail of a clip must still give a result for most containers.
        assert sum(r is not None for r in results) >= len(sources)

    @pytest.mark.parametrize("region", ["header", "frame data"])
    def test_flipped_bytes(self, sources, tmp_path, region):
        rng = random.Random(region)
        paths = []
        for source in sources:
            data = source.read_bytes()
            header_end = min(256, len(data) // 4)
            start, end = (0, header_end) if region == "header" else (header_end, len(data))
            for index in range(20):
                path = tmp_path / f"{index:02d}-{source.name}"
                path.write_bytes(flipped(data, rng, start, end))
                paths.append(path)
        for outcome in run_calls(paths, timeout=240):
            check_outcome(outcome)

    def test_fuzz_regressions(self):
        """Every input that once crashed the whole-analysis fuzz target."""
        paths = sorted(p for p in REGRESSIONS.glob("*") if p.is_file())
        if not paths:
            pytest.skip("no regression inputs")
        for outcome in run_calls(paths, timeout=240):
            check_outcome(outcome)


def error_of(outcome) -> str:
    frames = outcome["detect_frames"]
    assert is_error(frames), outcome
    return frames["text"]


class TestSpecialFiles:
    def test_zero_length_file_and_directory(self, tmp_path):
        empty = tmp_path / "empty.mkv"
        empty.write_bytes(b"")
        for path in (empty, tmp_path):
            assert error_of(outcome_of(path)) == f"input/output error: failed to open input: {path}"

    def test_character_device(self):
        assert error_of(outcome_of("/dev/null")) == "input/output error: failed to open input: /dev/null"

    def test_unreadable_file(self, sources):
        # Root reads anything: as root the child gives up its privileges once the
        # module is loaded, so the file must lie where anybody may look.
        directory = Path(tempfile.mkdtemp(prefix="vantrel-unreadable-"))
        directory.chmod(0o755)
        path = directory / "locked.mp4"
        path.write_bytes(sources[0].read_bytes())
        path.chmod(0)
        try:
            prelude = "import os\nos.setgroups([]); os.setgid(65534); os.setuid(65534)\n"
            outcome = run_calls([path], timeout=60, prelude=prelude if os.geteuid() == 0 else "")[0]
            check_outcome(outcome)
            assert error_of(outcome) == f"input/output error: failed to open input: {path}"
        finally:
            path.unlink()
            directory.rmdir()

    def test_fifo_with_a_writer(self, sources, tmp_path):
        # A streaming container can be read from a pipe; the result equals the file's.
        # One call only: a second open could join the first writer's session.
        source = sources[1]
        fifo = tmp_path / "stream.ts"
        os.mkfifo(fifo)

        def feed():
            with open(fifo, "wb") as pipe:
                pipe.write(source.read_bytes())

        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
        child = subprocess.run([sys.executable, "-c", ONE_CALL, str(fifo)], capture_output=True,
                               text=True, errors="replace", timeout=60, env=child_env())
        writer.join(timeout=10)
        assert child.returncode == 0, child.stderr[-2000:]
        assert json.loads(child.stdout) == outcome_of(source)["detect_frames"]

    def test_fifo_without_a_writer_ends_with_an_open_error(self, tmp_path):
        fifo = tmp_path / "nobody-writes"
        os.mkfifo(fifo)
        outcome = outcome_of(fifo, timeout=60)
        for name in ("detect_frames", "detect_pass"):
            assert outcome[name] == {"type": "RuntimeError",
                                     "text": f"input/output error: failed to open input: {fifo}"}


class TestOddStreams:
    def test_one_pixel_video(self, videos):
        path = videos("hostile-1x1.nut", [*lavfi("testsrc", 0.4, size="1x1"), "-c:v", "ffv1", "-pix_fmt", "gray"])
        for native_res in (False, True):
            outcome = run_calls([path], timeout=60, native_res=native_res)[0]
            frames, lines = check_outcome(outcome)
            assert len(lines) == probe_frame_count(path)

    def test_16384_pixels_wide(self, videos):
        path = videos("hostile-wide.nut", [*two_scenes(0.12, "16384x48", "color"), "-c:v", "ffv1",
                                                "-pix_fmt", "yuv420p"])
        for native_res in (False, True):
            outcome = run_calls([path], timeout=120, native_res=native_res)[0]
            frames, lines = check_outcome(outcome)
            assert len(lines) == probe_frame_count(path)
            assert frames[-1] > 0, "the cut between the sources is found"

    def test_pixel_format_changes_midway(self, videos, tmp_path):
        first = videos("hostile-fmt-a.ts", [*lavfi("testsrc", 0.2, size="48x32"), *x264(), "-f", "mpegts"])
        second = videos("hostile-fmt-b.ts", [*lavfi("testsrc", 0.2, size="48x32"), *X264,
                                             "-preset", "ultrafast", "-pix_fmt", "yuv444p10le", "-f", "mpegts"])
        joined = tmp_path / "format-change.ts"
        joined.write_bytes(first.read_bytes() + second.read_bytes())
        frames, lines = check_outcome(outcome_of(joined))
        assert len(lines) == probe_frame_count(first) + probe_frame_count(second)

    @pytest.mark.parametrize("name", ["image.png", "image.jpg"])
    def test_single_image(self, videos, name):
        path = videos(f"hostile-{name}", [*lavfi("testsrc", 0.04, size="64x48"), "-frames:v", "1"])
        outcome = outcome_of(path)
        assert outcome["detect_frames"] == [0]
        assert outcome["detect_pass"] == HEADER + "i\n"

    def test_video_stream_without_a_decodable_frame(self, videos, tmp_path):
        # Every byte of every packet replaced: the decoder finds no picture at all,
        # which is either an empty result or a decode error, never anything else.
        source = videos("hostile-mpeg2.ts", [*two_scenes(), "-c:v", "mpeg2video", "-f", "mpegts"])
        for codec_args, name in ((["-bsf:v", "noise=amount=2", "-f", "mpegts"], "noise.ts"),
                                 (["-bsf:v", "noise=amount=1"], "noise.avi")):
            path = tmp_path / name
            input_ = source if name.endswith(".ts") else videos(
                "hostile-mjpeg.avi", [*two_scenes(), "-c:v", "mjpeg"])
            subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", str(input_),
                            "-c:v", "copy", *codec_args, str(path)], check=True, stdin=subprocess.DEVNULL)
            outcome = outcome_of(path)
            if not is_error(outcome["detect_frames"]):
                assert outcome["detect_frames"] == [0] and outcome["detect_pass"] == HEADER, name
            else:
                assert error_of(outcome).startswith("decode error: "), name

    def test_header_claiming_a_huge_frame(self, tmp_path):
        # A raw stream that promises 30000 x 30000 frames and ends after a few bytes.
        path = tmp_path / "huge.y4m"
        path.write_bytes(b"YUV4MPEG2 W30000 H30000 F25:1 Ip A1:1 Cmono\nFRAME\n" + bytes(4096))
        outcome_of(path)
