"""The engine's learned_frames: the 48x27 rgb24 frames the ffmpeg command writes, made in the analysis' decode."""
import gc
import os
import subprocess
import textwrap
import time
from array import array
from pathlib import Path

import pytest

from conftest import FFMPEG, X264, damage, interrupt, lavfi
from vantrel import _engine

FRAME_BYTES = 48 * 27 * 3
FOOTAGE = Path("/usr/share/doc/opencv-doc/examples/data")


def analyze(path, **options):
    settings = dict(native_res=False, hwdec=None, threads=0, progress=None, keep_records=False,
                    transitions=None, on_decode_error="stop", detector=dict(_engine.DETECTOR_DEFAULTS))
    settings.update(options)
    raw = _engine.analyze(os.fsencode(path), **settings)
    assert "error" not in raw, raw.get("error")
    return raw


def learned(path, **options):
    """The frames delivered, the chunks they came in and the raw result."""
    chunks = []
    raw = analyze(path, learned_frames=chunks.append, **options)
    return b"".join(chunks), chunks, raw


def command_frames(path) -> bytes:
    """What the learned model's reference reads: the ffmpeg command's raw rgb24 output."""
    return subprocess.run([FFMPEG, "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "rgb24",
                           "-s", "48x27", "pipe:"], check=True, capture_output=True, stdin=subprocess.DEVNULL).stdout


def sources(raw) -> list:
    column = array("I")
    column.frombytes(raw["learned_source"])
    return column.tolist()


def frame_count(raw) -> int:
    return len(raw["times"]) // 8


def footage(name) -> Path:
    path = FOOTAGE / name
    if not path.exists():
        pytest.skip(f"{path} is not installed")
    return path


@pytest.fixture(scope="module")
def clips(videos, tmp_path_factory):
    """Generated clips whose colour tags, bit depth, size or timing each change the command's output."""
    made = {
        "bt709": videos("lf-bt709.mp4", [*lavfi("testsrc2", 1, size="320x180"), *X264, "-colorspace", "bt709",
                                         "-color_primaries", "bt709", "-color_trc", "bt709"]),
        "bt2020 full range": videos("lf-bt2020.mkv", [*lavfi("testsrc2", 1, size="320x180"), *X264,
                                                      "-colorspace", "bt2020nc", "-color_range", "pc"]),
        "full range": videos("lf-full.mp4", [*lavfi("testsrc2", 1, size="320x180"), *X264,
                                             "-pix_fmt", "yuvj420p"]),
        "10-bit": videos("lf-10bit.mkv", [*lavfi("testsrc2", 1, size="320x180"), *X264,
                                          "-pix_fmt", "yuv420p10le"]),
        "odd size": videos("lf-odd.mp4", [*lavfi("testsrc2", 1, size="350x197"), *X264]),
        "mjpeg": videos("lf-mjpeg.avi", [*lavfi("mandelbrot", 1, size="160x96"), "-c:v", "mjpeg",
                                         "-pix_fmt", "yuvj422p"]),
        # In milliseconds: 20 frames 40 apart, 10 frames 13 apart (the command drops some), 30 frames 40 apart,
        # a gap of 400 (filled with repeats), 40 frames 40 apart.
        "variable rate": videos("lf-vfr.mkv", [
            *lavfi("testsrc2", 4, size="160x90"), "-vf",
            "settb=1/1000,setpts='if(lt(N,20),N*40,if(lt(N,30),800+(N-20)*13,if(lt(N,60),940+(N-30)*40,"
            "2500+(N-60)*40)))'", *X264, "-enc_time_base", "1/1000", "-fps_mode", "passthrough"]),
        # Two streams, the video 0.3 s after the audio: the first frame fills the gap.
        "late video": videos("lf-late.mkv", ["-f", "lavfi", "-t", "2", "-i", "sine=duration=2", "-itsoffset", "0.3",
                                             *lavfi("testsrc2", 1.5, size="160x90"), "-map", "0:a", "-map", "1:v",
                                             *X264, "-c:a", "aac"]),
        # The same in a transport stream: the grid starts at the video's own start.
        "late video ts": videos("lf-late.ts", ["-f", "lavfi", "-t", "2", "-i", "sine=duration=2", "-itsoffset",
                                               "0.3", *lavfi("testsrc2", 1.5, size="160x90"), "-map", "0:a",
                                               "-map", "1:v", *X264, "-c:a", "aac"]),
    }
    clean = videos("lf-h264.mkv", [*lavfi("testsrc2", 4, size="320x180"), *X264, "-g", "25"])
    damaged = tmp_path_factory.mktemp("learned-damage") / "damaged.mkv"
    damage(clean, damaged, 40, 3)
    made["damaged h264"] = damaged
    return made


def check_sources(raw, delivered: bytes) -> list:
    shown = sources(raw)
    assert len(shown) * FRAME_BYTES == len(delivered)
    assert shown == sorted(shown)
    assert not shown or shown[-1] < frame_count(raw)
    return shown


class TestTheCommandsBytes:
    @pytest.mark.parametrize("name, decoded, output", [
        ("Megamind.avi", 270, 271),  # first frame at pts 1, an audio stream beside: shown twice
        ("tree.avi", 68, 449),       # sparse rgb24 frames: repeated into the gaps
        ("vtest.avi", 795, 795),
    ])
    def test_footage(self, name, decoded, output):
        path = footage(name)
        delivered, _, raw = learned(path)
        assert frame_count(raw) == decoded
        assert len(delivered) == output * FRAME_BYTES
        assert delivered == command_frames(path)
        check_sources(raw, delivered)

    def test_a_single_stream_starts_the_grid_at_its_first_frame(self, tmp_path):
        video_only = tmp_path / "megamind-video.avi"
        subprocess.run([FFMPEG, "-v", "error", "-i", str(footage("Megamind.avi")), "-map", "0:v", "-c", "copy",
                        str(video_only)], check=True)
        delivered, _, raw = learned(video_only)
        assert len(delivered) == frame_count(raw) * FRAME_BYTES == 270 * FRAME_BYTES
        assert delivered == command_frames(video_only)

    @pytest.mark.parametrize("name", ["bt709", "bt2020 full range", "full range", "10-bit", "odd size", "mjpeg",
                                      "late video", "late video ts"])
    def test_generated(self, clips, name):
        delivered, _, raw = learned(clips[name])
        assert delivered == command_frames(clips[name])
        shown = check_sources(raw, delivered)
        if name == "late video":
            assert shown.count(0) > 7  # 0.3 s (7.5 frames) and more before the first frame, and the frame itself
        else:
            assert shown == list(range(frame_count(raw)))

    def test_repeats_and_drops(self, clips):
        delivered, _, raw = learned(clips["variable rate"])
        assert delivered == command_frames(clips["variable rate"])
        shown = check_sources(raw, delivered)
        assert len(shown) > frame_count(raw)
        assert len(set(shown)) < frame_count(raw)  # some frames dropped
        assert len(set(shown)) < len(shown)        # some repeated

    def test_a_long_gap_comes_in_bounded_chunks(self, videos):
        # Frame 10 a minute after frame 9: 1500 repeats from one decoded frame, handed over 1024 at most at a
        # time.
        path = videos("lf-gap.mkv", [*lavfi("testsrc2", 0.8, size="64x36"), "-vf",
                                     "settb=1/1000,setpts='if(lt(N,10),N*40,60000+(N-10)*40)'", *X264,
                                     "-enc_time_base", "1/1000", "-fps_mode", "passthrough"])
        delivered, chunks, raw = learned(path)
        assert delivered == command_frames(path)
        assert len(delivered) > 1500 * FRAME_BYTES
        assert max(len(c) for c in chunks) <= 1024 * FRAME_BYTES
        check_sources(raw, delivered)

    def test_a_damaged_stream_skipped(self, clips):
        path = clips["damaged h264"]
        reference = command_frames(path)
        delivered, _, raw = learned(path, on_decode_error="skip")
        # How many of the damaged packets the decoder rejects depends on its build and threads: some are.
        assert raw["decode_errors"]
        # The grid fills the place of the lost frames with repeats, as the command does.
        assert delivered == reference
        shown = check_sources(raw, delivered)
        assert len(shown) == 100 >= frame_count(raw)
        # One decoding thread conceals the damage in other pixels than the command's threads, in the same
        # frames.
        delivered, _, raw = learned(path, on_decode_error="skip", threads=1)
        assert len(delivered) == len(reference) and sources(raw) == shown


class TestOnlyWhenAsked:
    def test_the_analysis_is_the_same_with_and_without(self, clips):
        path = clips["variable rate"]
        without = analyze(path, keep_records=True)
        with_frames = analyze(path, learned_frames=lambda chunk: None, keep_records=True)
        assert without.pop("learned_source") is None
        assert with_frames.pop("learned_source")
        assert without == with_frames

    def test_none_is_not_asking(self, clips):
        assert analyze(clips["bt709"], learned_frames=None)["learned_source"] is None

    def test_no_frame_no_call(self, videos):
        empty = videos("lf-zero.avi", [*lavfi("testsrc", 1), "-frames:v", "0", "-c:v", "mpeg4"])
        delivered, chunks, raw = learned(empty)
        assert chunks == [] and raw["learned_source"] == b""


class TestCallable:
    def test_chunks_of_whole_frames_during_the_analysis(self, videos):
        # 3,250 frames at a steady rate: a chunk is handed over by 1,024 frames at the latest, so
        # the third comes before the end however fast the machine decodes.
        steady = videos("lf-steady.mkv", [*lavfi("testsrc2", 130, size="96x54"), *X264, "-preset", "ultrafast"])
        chunks = []

        def take(chunk):
            chunks.append(len(chunk))
            time.sleep(0.05)  # a slow consumer only slows the analysis down
            if len(chunks) == 3:
                raise LookupError("enough")

        with pytest.raises(LookupError, match="enough"):
            analyze(steady, learned_frames=take, threads=1)
        assert all(n > 0 and n % FRAME_BYTES == 0 for n in chunks)

    def test_a_raising_callable_stops_the_analysis(self, long_clip):
        def stop(chunk):
            raise LookupError("full")

        fds = sorted(os.listdir("/proc/self/fd"))
        start = time.monotonic()
        with pytest.raises(LookupError, match="full"):
            analyze(long_clip, learned_frames=stop, threads=2)
        assert time.monotonic() - start < 1.5
        gc.collect()
        assert sorted(os.listdir("/proc/self/fd")) == fds

    def test_ctrl_c_arrives(self, long_clip):
        code = textwrap.dedent(f"""
            from vantrel import _engine
            print("ready", flush=True)
            try:
                _engine.analyze({os.fsencode(long_clip)!r}, native_res=False, hwdec=None, threads=1,
                                progress=None, keep_records=False, transitions=None, on_decode_error="stop",
                                detector=dict(_engine.DETECTOR_DEFAULTS), learned_frames=lambda chunk: None)
            except KeyboardInterrupt:
                print("interrupted", flush=True)
        """)
        child = interrupt(["-c", code], 1.0, ready=True)
        assert child.lines == ["interrupted"]
        assert child.seconds < 1.0
