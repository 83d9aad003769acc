"""End-to-end analysis on generated videos: cuts, static clips, size changes, dump lines."""
import os
import re
import subprocess
from pathlib import Path

import pytest

import vantrel_rs
from conftest import X264, lavfi, probe_frame_count

HEADER_LINES = 3
REPO = Path(__file__).resolve().parents[2]


def frame_lines(text: str) -> list:
    return text.split("\n")[HEADER_LINES:-1]


def intra_frames(text: str) -> list:
    return [i for i, line in enumerate(frame_lines(text)) if line == "i"]


def x264(*extra):
    return [*X264, "-preset", "veryfast", "-pix_fmt", "yuv420p", *extra]


@pytest.fixture(scope="module")
def cut_clip(videos):
    # testsrc for 25 frames, then an unrelated source: the cut is frame 25.
    return str(videos.cut("analysis-cut.mkv", size="320x240", codec=x264()))


def dump_tool():
    candidates = [os.environ.get("VANTREL_DUMP"), REPO / "build/test/tools/vantrel_dump"]
    for candidate in candidates:
        if candidate and Path(candidate).is_file():
            return str(candidate)
    pytest.skip("vantrel_dump is not built (cmake -DVANTREL_BUILD_TESTS=ON)")


def run_dump(path, *flags):
    out = subprocess.run([dump_tool(), path, *flags], capture_output=True, text=True, timeout=120, check=True)
    # FFmpeg's own log lines ("[mpegts @ 0x...] ...") share standard error.
    return out.stdout, [line for line in out.stderr.splitlines() if not line.startswith("[")]


class TestCuts:
    def test_hard_cut_is_found_in_both_results(self, cut_clip):
        assert 25 in vantrel_rs.detect_frames(cut_clip)
        text = vantrel_rs.detect_pass(cut_clip)
        assert len(frame_lines(text)) == 50
        assert 25 in intra_frames(text)

    def test_static_clip_has_no_cut(self, videos):
        clip = str(videos("static.mkv", [*lavfi("smptebars", 2, size="320x240"), *x264()]))
        assert vantrel_rs.detect_frames(clip) == [0]
        assert intra_frames(vantrel_rs.detect_pass(clip)) == [0]

    def test_slow_motion_has_no_cut(self, videos):
        clip = str(videos("slow.mkv", ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=3", *x264()]))
        assert vantrel_rs.detect_frames(clip) == [0]
        assert intra_frames(vantrel_rs.detect_pass(clip)) == [0]

    def test_runs_are_repeatable(self, cut_clip):
        assert vantrel_rs.detect_frames(cut_clip) == vantrel_rs.detect_frames(cut_clip)
        assert vantrel_rs.detect_pass(cut_clip) == vantrel_rs.detect_pass(cut_clip)

    def test_native_resolution_finds_the_same_cut(self, cut_clip):
        native = vantrel_rs.detect_frames(cut_clip, native_res=True)
        assert native[0] == 0 and 25 in native
        text = vantrel_rs.detect_pass(cut_clip, True)
        assert 25 in intra_frames(text)
        assert len(frame_lines(text)) == 50


class TestFrameCounts:
    def test_one_frame(self, videos):
        clip = str(videos("one.mkv", [*lavfi("testsrc", 1), "-frames:v", "1", *x264()]))
        assert vantrel_rs.detect_frames(clip) == [0]
        assert frame_lines(vantrel_rs.detect_pass(clip)) == ["i"]

    def test_zero_frames(self, videos):
        clip = str(videos("zero.avi", [*lavfi("testsrc", 1), "-frames:v", "0", "-c:v", "mpeg4"]))
        assert vantrel_rs.detect_frames(clip) == [0]
        assert frame_lines(vantrel_rs.detect_pass(clip)) == []

    def test_size_change_is_a_forced_cut(self, size_change_clip):
        text = vantrel_rs.detect_pass(size_change_clip)
        assert len(frame_lines(text)) == probe_frame_count(Path(size_change_clip)) == 50
        assert 25 in intra_frames(text)
        assert 25 in vantrel_rs.detect_frames(size_change_clip)


LINE = re.compile(r"^(\d+),(inf|\d+\.\d{6}),(inf|\d+\.\d{6}),(\d\.\d{6}),(\d\.\d{6}),(\d\.\d{6}),(\d+),(\d+),(\d+),([01])$")


class TestDumpLines:
    def test_lines_parse_and_match_the_results(self, cut_clip):
        stdout, lines = run_dump(cut_clip)
        parsed = [LINE.match(line) for line in lines]
        assert all(parsed), [line for line, m in zip(lines, parsed) if not m][:3]
        assert [int(m[1]) for m in parsed] == list(range(1, 50))
        cuts = [int(m[1]) for m in parsed if m[10] == "1"]
        assert cuts == intra_frames(vantrel_rs.detect_pass(cut_clip))[1:]
        assert [int(x) for x in stdout.split()] == vantrel_rs.detect_frames(cut_clip)
        for m in parsed:
            assert 0 <= int(m[7]) <= int(m[8])  # intra blocks within total

    def test_size_change_line(self, size_change_clip):
        _, lines = run_dump(size_change_clip)
        forced = lines[24]
        assert forced == "25,inf,inf,1.000000,1.000000,1.000000,0,0,0,1"
        assert sum(",inf," in line for line in lines) == 1

    def test_native_res_flag_and_bad_usage(self, cut_clip):
        stdout, lines = run_dump(cut_clip, "--native-res")
        assert [int(x) for x in stdout.split()] == vantrel_rs.detect_frames(cut_clip, native_res=True)
        assert len(lines) == 49
        usage = subprocess.run([dump_tool()], capture_output=True, text=True)
        assert usage.returncode == 2 and "usage" in usage.stderr
        missing = subprocess.run([dump_tool(), "/no/such.mkv"], capture_output=True, text=True)
        assert missing.returncode == 1
        assert missing.stderr.strip() == "input/output error: failed to open input: /no/such.mkv"

    def test_closed_stderr_does_not_stop_the_analysis(self, cut_clip):
        # Standard error is a pipe whose reader is gone: the lines are dropped.
        proc = subprocess.Popen([dump_tool(), cut_clip], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        proc.stderr.close()
        stdout, _ = proc.communicate(timeout=120)
        assert proc.returncode == 0
        assert [int(x) for x in stdout.split()] == vantrel_rs.detect_frames(cut_clip)
