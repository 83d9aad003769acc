"""Opening and decoding through the module: every error a caller can cause, and frame delivery."""
import os
import random
import subprocess
import sys

import pytest

import vantrel_rs
from conftest import X264, lavfi, probe_frame_count

FUNCTIONS = [vantrel_rs.detect_pass, vantrel_rs.detect_frames]
HEADER_LINES = 3


def frame_lines(text: str) -> list:
    return text.split("\n")[HEADER_LINES:-1]


def x264(*extra):
    return [*X264, *extra]


def error_text(function, *args, **kwargs) -> str:
    with pytest.raises(RuntimeError) as info:
        function(*args, **kwargs)
    assert info.value.__cause__ is None
    return str(info.value)


@pytest.fixture(scope="module")
def h264_bframes(videos):
    # A fixed B-frame pattern: the decoder holds frames back until the final drain.
    return videos("dec-bframes.mp4", [*lavfi("testsrc", 1.2, size="40x24"),
                                      *x264("-bf", "3", "-g", "12", "-b_strategy", "0")])


@pytest.fixture(scope="module")
def audio_only(videos):
    return videos("dec-audio.wav", ["-f", "lavfi", "-i", "sine=duration=0.3"])


class TestOpenErrors:
    @pytest.mark.parametrize("function", FUNCTIONS)
    def test_inputs_that_cannot_be_opened(self, function, tmp_path):
        empty = tmp_path / "empty.mp4"
        empty.write_bytes(b"")
        text = tmp_path / "notes.txt"
        text.write_text("just some words, not a video\n")
        for path in [tmp_path / "missing.mp4", tmp_path, empty, text]:
            assert error_text(function, str(path)) == f"input/output error: failed to open input: {path}"

    @pytest.mark.parametrize("function", FUNCTIONS)
    def test_path_with_nul(self, function, tmp_path):
        path = str(tmp_path / "a\0b.mp4")
        assert error_text(function, path) == \
            "input/output error: failed to open input: path contains a NUL character"

    @pytest.mark.parametrize("function", FUNCTIONS)
    def test_audio_only_file(self, function, audio_only):
        assert error_text(function, str(audio_only)) == "unsupported operation: no video stream found"

    @pytest.mark.parametrize("function", FUNCTIONS)
    def test_hardware_decoder_names(self, function, h264_bframes):
        clip = str(h264_bframes)
        assert error_text(function, clip, hwdec="") == "configuration error: unknown --hwdec: "
        assert error_text(function, clip, hwdec="nonsense") == "configuration error: unknown --hwdec: nonsense"
        assert error_text(function, clip, hwdec=" cuda") == "configuration error: unknown --hwdec:  cuda"
        assert error_text(function, clip, hwdec="cu\0da") == "configuration error: invalid --hwdec value"

    @pytest.mark.parametrize("name", ["cuda", "vaapi"])
    def test_device_that_cannot_be_set_up_here(self, name, videos):
        # Large enough for hardware decoders (whose smallest pictures are bigger than the
        # tiny clips elsewhere), so that where a device works the call succeeds.
        clip = videos("dec-hw.mp4", [*lavfi("testsrc", 1.0, size="256x144"), *x264("-bf", "3")])
        try:
            keyframes = vantrel_rs.detect_frames(str(clip), hwdec=name)
        except RuntimeError as error:
            assert str(error) == f"unsupported operation: failed to enable hardware decoding (--hwdec {name})"
        else:
            assert keyframes == vantrel_rs.detect_frames(str(clip))
            pytest.skip(f"{name} decoding works on this machine")

    def test_unknown_codec(self, videos, tmp_path):
        source = videos("dec-unknown-src.mkv", [*lavfi("testsrc", 0.2, size="32x16"), *x264()])
        data = source.read_bytes()
        assert data.count(b"V_MPEG4/ISO/AVC") == 1
        patched = tmp_path / "unknown.mkv"
        patched.write_bytes(data.replace(b"V_MPEG4/ISO/AVC", b"V_MPEG4/ISO/ZZZ"))
        assert error_text(vantrel_rs.detect_pass, str(patched)) == "decode error: failed to find video decoder"

    def test_decoder_that_refuses_the_stream(self, videos, tmp_path):
        # Uncompressed video whose header claims 7 bits per pixel.
        source = videos("dec-bgr24.avi", [*lavfi("testsrc", 0.2, size="16x16"),
                                          "-c:v", "rawvideo", "-pix_fmt", "bgr24"])
        data = bytearray(source.read_bytes())
        bit_count = data.index(b"strf") + 8 + 14
        assert data[bit_count] == 24
        data[bit_count] = 7
        patched = tmp_path / "bad-bits.avi"
        patched.write_bytes(bytes(data))
        assert error_text(vantrel_rs.detect_pass, str(patched)) == "decode error: failed to open video decoder"


class TestFrameDelivery:
    @pytest.mark.parametrize("name,args", [
        ("h264-bframes", None),
        ("audio-video.mkv", [*lavfi("testsrc", 0.8, size="32x16"), "-f", "lavfi", "-i", "sine=duration=0.8",
                             "-map", "1:a", "-map", "0:v", *x264(), "-c:a", "aac"]),
        ("ten-bit.mkv", [*lavfi("testsrc", 0.8, size="34x18"), *X264, "-pix_fmt", "yuv420p10le"]),
        ("full-range.avi", [*lavfi("testsrc", 0.8, size="32x16"), "-c:v", "mjpeg", "-pix_fmt", "yuvj420p"]),
    ])
    def test_one_line_per_decoded_frame(self, videos, h264_bframes, name, args):
        path = h264_bframes if args is None else videos("dec-" + name, args)
        expected = probe_frame_count(path)
        assert expected > 10
        assert len(frame_lines(vantrel_rs.detect_pass(str(path)))) == expected
        assert vantrel_rs.detect_frames(str(path))[0] == 0

    def test_frame_size_changing_midway(self, videos, tmp_path):
        first = videos("dec-small.ts", [*lavfi("testsrc", 0.4, size="32x16"), *x264()])
        second = videos("dec-large.ts", [*lavfi("testsrc", 0.4, size="48x32"), *x264()])
        joined = tmp_path / "size-change.ts"
        joined.write_bytes(first.read_bytes() + second.read_bytes())
        lines = frame_lines(vantrel_rs.detect_pass(str(joined)))
        assert len(lines) == probe_frame_count(joined)
        assert lines[0] == "i"


# ---- broken inputs, each analysed in a child process so a crash or hang cannot take pytest down ----

CHILD = """
import sys, vantrel_rs
try:
    result = vantrel_rs.detect_pass(sys.argv[1])
except RuntimeError as error:
    print("error", error)
else:
    print("ok", result.count("\\n"))
"""
CLEAN_ERROR_PREFIXES = ("decode error: ", "input/output error: ", "unsupported operation: ")


def analyse_in_child(path) -> str:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run([sys.executable, "-c", CHILD, str(path)], capture_output=True, text=True,
                           timeout=120, env=env)
    assert child.returncode == 0, child.stderr[-2000:]
    return child.stdout.strip()


@pytest.fixture(scope="module")
def broken_sources(videos):
    return [
        videos("dec-broken.mkv", [*lavfi("testsrc", 1, size="48x32"), *x264()]),
        videos("dec-broken.ts", [*lavfi("testsrc", 1, size="48x32"), *x264()]),
        videos("dec-broken.mp4", [*lavfi("testsrc", 1, size="48x32"), *x264()]),
        videos("dec-broken.avi", [*lavfi("testsrc", 1, size="48x32"), "-c:v", "mjpeg"]),
        videos("dec-broken.nut", [*lavfi("testsrc", 1, size="48x32"), "-c:v", "rawvideo", "-pix_fmt", "yuv420p"]),
    ]


class TestBrokenInputs:
    def test_truncated_and_corrupted_files_end_cleanly(self, broken_sources, tmp_path):
        rng = random.Random(7)
        for source in broken_sources:
            data = source.read_bytes()
            variants = {f"cut{fraction}": data[:int(len(data) * fraction / 100)] for fraction in (30, 60, 95)}
            for seed in range(3):
                corrupted = bytearray(data)
                for _ in range(20):
                    corrupted[rng.randrange(len(data) // 10, len(data))] = rng.randrange(256)
                variants[f"noise{seed}"] = bytes(corrupted)
            for label, content in variants.items():
                path = tmp_path / f"{label}-{source.name}"
                path.write_bytes(content)
                outcome = analyse_in_child(path)
                assert outcome.startswith("ok ") or outcome.startswith(tuple(
                    "error " + prefix for prefix in CLEAN_ERROR_PREFIXES)), (path.name, outcome)

    def test_uncompressed_frame_cut_short_is_refused_by_the_decoder(self, broken_sources, tmp_path):
        data = broken_sources[-1].read_bytes()
        path = tmp_path / "cut-short.nut"
        path.write_bytes(data[:len(data) * 6 // 10])
        assert analyse_in_child(path) == "error decode error: failed to send packet to decoder"

    def test_persistent_read_error_stops_the_pump(self, broken_sources):
        # /proc/self/mem cannot be read at offset 0: every read after the video data fails.
        path = f"concat:{broken_sources[1]}|/proc/self/mem"
        assert analyse_in_child(path) == \
            "error decode error: failed to read video packets: too many consecutive read errors"
