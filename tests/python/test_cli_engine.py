"""The `vantrel` command on the engine: progress, times, damaged files, messages, options."""
import json
import os
import pty
import re
import select
import subprocess
import sys
import time

import pytest

import vantrel_rs
from vantrel import analyze
from conftest import X264, cuts, damage, interrupt, lavfi, probed_times
from conftest import command as vantrel


@pytest.fixture(scope="module")
def clip(videos):
    return cuts(videos, "cli2-cut.mkv", X264)


def csv_rows(text):
    return [line.split(",") for line in text.splitlines()[1:]]


class TestProgress:
    def test_a_terminal_shows_the_percentage_while_decoding(self, long_clip, tmp_path):
        out = tmp_path / "long.txt"
        master, slave = pty.openpty()
        child = subprocess.Popen([sys.executable, "-m", "vantrel", str(long_clip), "-o", str(out),
                                  "--method", "refined"],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        seen, early = b"", None
        while True:
            ready, _, _ = select.select([master], [], [], 60)
            assert ready, "no output for a minute"
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            seen += chunk
            if early is None and re.search(rb"\d+\.\d% +\d+ frames", seen):
                early = out.exists()
        assert child.wait(timeout=60) == 0
        assert early is False, seen[-500:]  # a percentage came while the result was not written yet
        text = seen.decode()
        assert re.search(r"\[[#.]{24}\] +\d+\.\d%  \d+ frames  \d\d:\d\d:\d\d / 00:00:10  \d+\.\d fps  ETA ", text)
        assert out.read_text() == "".join(f"{k}\n" for k in vantrel_rs.detect_frames(str(long_clip)))

    def test_quiet_and_non_terminal_runs_print_nothing_on_success(self, clip):
        for extra in ([], ["-q"]):
            run = vantrel(clip, *extra)
            assert run.returncode == 0 and run.stderr == ""

    def test_ctrl_c_ends_a_long_single_input_within_a_second(self, long_clip, tmp_path):
        child = interrupt(["-m", "vantrel", long_clip, "-f", "csv", "-o", tmp_path / "never.csv"], 1.5)
        assert child.seconds < 1.0
        assert child.returncode == 130
        assert child.stderr == "vantrel: interrupted\n" and child.lines == []
        assert list(tmp_path.iterdir()) == []


class TestTimes:
    def test_variable_frame_rate_times_in_csv_and_json(self, videos):
        args = [*lavfi("testsrc", 1, rate=25), *lavfi("mandelbrot", 1, rate=10), *lavfi("smptebars", 1, rate=50),
                "-filter_complex", "[0:v][1:v][2:v]concat=n=3:v=1[v]", "-map", "[v]", "-vsync", "vfr", *X264]
        clip = videos("cli2-vfr.mkv", args)
        times = probed_times(clip)
        doc = json.loads(vantrel(clip, "-f", "json").stdout)
        assert doc["frame_count"] == len(times)
        for scene in doc["scenes"]:
            assert scene["start_time"] == pytest.approx(times[scene["start_frame"]], abs=1e-6)
        rows = csv_rows(vantrel(clip, "-f", "csv").stdout)
        assert [float(r[2]) for r in rows] == [round(times[int(r[0])], 3) for r in rows]
        # The 10 frames/s part: a scene starting there is not placed by the average rate.
        assert any(abs(times[s["start_frame"]] - s["start_frame"] / float(doc["fps_float"])) > 0.05
                   for s in doc["scenes"][1:])

    def test_video_after_the_audio_starts_at_its_real_time(self, videos):
        clip = videos("cli2-late.mkv", ["-f", "lavfi", "-t", "3", "-i", "sine=duration=3", "-itsoffset", "1.2",
                                        *lavfi("testsrc", 1.5), "-map", "0:a", "-map", "1:v", *X264, "-c:a", "aac"])
        doc = json.loads(vantrel(clip, "-f", "json").stdout)
        assert doc["scenes"][0]["start_time"] == pytest.approx(probed_times(clip)[0], abs=1e-6)
        assert doc["scenes"][0]["start_time"] > 1.0

    def test_json_gives_the_frame_rate_exactly(self, videos):
        clip = videos("cli2-ntsc.mp4", [*lavfi("testsrc", 1, size="64x48"), "-r", "30000/1001", *X264])
        doc = json.loads(vantrel(clip, "-f", "json").stdout)
        assert doc["fps"] == "30000/1001" and doc["fps_float"] == 30000 / 1001


@pytest.fixture(scope="module")
def damaged(clean_and_damaged):
    return clean_and_damaged[1]


class TestDamagedFiles:
    def test_by_default_damaged_packets_are_skipped_with_one_warning(self, damaged, tmp_path):
        run = vantrel(damaged, "-f", "csv")
        assert run.returncode == 0
        # The API on the same file says how many the decoder rejects.
        lost = len(analyze(damaged, on_decode_error="skip").decode_errors)
        warnings = [line for line in run.stderr.splitlines() if "damaged packet" in line]
        assert warnings == [f"vantrel: {damaged}: {lost} damaged packet{'s' if lost > 1 else ''} skipped "
                            "(first at 00:00:02.320)"]
        assert csv_rows(run.stdout)[-1][1] == str(4 * 30 - lost - 1)
        batch = vantrel(damaged, "-d", tmp_path / "out")
        assert ", 1 with damaged packets skipped; " in batch.stderr.splitlines()[-1]

    def test_stop_stops_at_the_first_as_the_module_does(self, damaged):
        run = vantrel(damaged, "--on-decode-error", "stop")
        assert run.returncode == 1 and run.stdout == ""
        with pytest.raises(RuntimeError) as module:
            vantrel_rs.detect_frames(str(damaged))
        assert f"vantrel: {damaged}: {module.value}: Invalid data found when processing input" in run.stderr


def piped(data: bytes, *args):
    """The command on a video that comes through a pipe on standard input."""
    return subprocess.run([sys.executable, "-m", "vantrel", "-", *args], input=data, capture_output=True,
                          timeout=120)


class TestStandardInput:
    def test_a_piped_avi_gives_the_file_results(self, videos):
        clip = cuts(videos, "cli2-pipe.avi", ["-c:v", "mpeg4"], sources=("testsrc", "smptebars"), seconds=1.2)
        for fmt in ("frames", "xvid", "csv", "json"):
            run = piped(clip.read_bytes(), "-f", fmt)
            assert run.returncode == 0 and run.stderr == b"", run.stderr
            from_file = vantrel(clip, "-f", fmt).stdout.replace(f'"input": "{clip}"', '"input": "-"')
            assert run.stdout.decode() == from_file, fmt
        assert vantrel(clip).stdout.split() == ["0", "30"]

    def test_a_piped_mp4_with_its_index_at_the_end_says_what_to_do(self, videos, tmp_path):
        # More data before the index than FFmpeg's read buffer holds: reading it means seeking back.
        end = videos("cli2-index-at-end.mp4", [*lavfi("testsrc2", 2, size="640x360"), *X264])
        run = piped(end.read_bytes())
        assert run.returncode == 1 and run.stdout == b""
        error = run.stderr.decode().splitlines()[-1]
        assert error.startswith("vantrel: -: decode error: ") and error.endswith(
            "the input was a pipe, which cannot seek back, and a file with its index at the end (an MP4 written "
            "without -movflags +faststart) needs to: write it to a file first, or remux it with the index at the "
            "front (ffmpeg -i IN -c copy -movflags +faststart OUT)")
        # The fix the message names works; a file redirected to standard input can seek.
        front = tmp_path / "front.mp4"
        subprocess.run(["ffmpeg", "-v", "error", "-i", str(end), "-c", "copy", "-movflags", "+faststart",
                        str(front)], check=True)
        expected = vantrel(end).stdout
        assert piped(front.read_bytes()).stdout.decode() == expected
        with end.open("rb") as redirected:
            run = subprocess.run([sys.executable, "-m", "vantrel", "-"], stdin=redirected, capture_output=True,
                                 text=True, timeout=120)
        assert run.returncode == 0 and run.stdout == expected

    @pytest.mark.parametrize("args, message", [
        (["other.mkv"], "standard input (-) is one input alone, without --output-dir"),
        (["-d", "out"], "standard input (-) is one input alone, without --output-dir"),
        (["--split", "clips"], "--split reads the video again, which standard input cannot give: "
                               "write the video to a file first"),
        (["--report", "r.html"], "--report reads the video again"),
    ])
    def test_what_standard_input_cannot_do(self, args, message, tmp_path):
        run = subprocess.run([sys.executable, "-m", "vantrel", "-", *args], capture_output=True, text=True,
                             stdin=subprocess.DEVNULL, cwd=tmp_path, timeout=60)
        assert run.returncode == 2 and run.stdout == ""
        assert run.stderr.splitlines()[-1].startswith(f"vantrel: error: {message}")
        assert list(tmp_path.iterdir()) == []


class TestMessages:
    def test_a_missing_file_says_why(self, tmp_path):
        missing = tmp_path / "missing.mp4"
        run = vantrel(missing)
        assert run.returncode == 1
        assert run.stderr.splitlines() == [
            f"vantrel: {missing}: input/output error: failed to open input: {missing}: No such file or directory"]

    def test_ffmpeg_lines_are_printed_once_with_their_input(self, clip, videos, tmp_path):
        whole = videos("cli2-log.mp4", [*lavfi("testsrc", 0.4, size="64x48"), *X264])
        truncated = tmp_path / "truncated.mp4"
        truncated.write_bytes(whole.read_bytes()[: whole.stat().st_size // 2])
        run = vantrel(truncated)
        assert run.returncode == 1
        assert run.stderr.splitlines() == [
            f"vantrel: {truncated}: [mov,mp4,m4a,3gp,3g2,mj2] moov atom not found",
            f"vantrel: {truncated}: input/output error: failed to open input: {truncated}: "
            "Invalid data found when processing input"]
        # -q keeps the error, not FFmpeg's line.
        assert vantrel(truncated, "-q").stderr.splitlines() == run.stderr.splitlines()[1:]

    def test_verbose_shows_warnings_too(self, videos, tmp_path):
        clean = cuts(videos, "cli2-warn.avi", ["-c:v", "mjpeg", "-pix_fmt", "yuvj420p"])
        damaged = tmp_path / "warn.avi"
        damage(clean, damaged, 10, 2)
        quiet_lines = vantrel(damaged).stderr.splitlines()
        verbose_lines = vantrel(damaged, "-v").stderr.splitlines()
        assert len(verbose_lines) >= len(quiet_lines)
        assert all(line.startswith(f"vantrel: {damaged}: ") for line in verbose_lines)


class TestOptions:
    def test_options_may_stand_between_inputs(self, clip, tmp_path, videos):
        other = cuts(videos, "cli2-other.mkv", X264, sources=("smptebars", "testsrc"))
        run = vantrel(clip, "-d", tmp_path / "out", other, "-f", "csv")
        assert run.returncode == 0, run.stderr
        assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["cli2-cut.csv", "cli2-other.csv"]

    def test_dash_is_standard_output(self, clip):
        run = vantrel(clip, "-o", "-", "-f", "qpfile", "--method", "refined")
        assert run.returncode == 0
        assert run.stdout == "".join(f"{k} I\n" for k in vantrel_rs.detect_frames(str(clip)))

    def test_version(self):
        from importlib.metadata import version
        run = vantrel("--version")
        assert run.returncode == 0 and run.stdout == f"vantrel {version('vantrel-rs')}\n"

    @pytest.mark.parametrize("option", ["-o", "--contact-sheet", "--stats", "--report", "--table"])
    def test_output_paths_are_checked_before_the_analysis(self, long_clip, tmp_path, option):
        start = time.monotonic()
        run = vantrel(long_clip, option, tmp_path / "no" / "such" / "folder" / "x.jpg")
        assert run.returncode == 2
        assert run.stderr.splitlines()[-1] == (f"vantrel: error: {option} {tmp_path}/no/such/folder/x.jpg: "
                                               f"the folder {tmp_path}/no/such/folder does not exist")
        assert time.monotonic() - start < 3  # well before the decode would end

    @pytest.mark.parametrize("option, name", [("-d", "--output-dir"), ("--split", "--split")])
    def test_output_folders_are_made_before_the_analysis(self, long_clip, tmp_path, option, name):
        blocker = tmp_path / "file"
        blocker.write_text("")
        start = time.monotonic()
        run = vantrel(long_clip, option, blocker / "out")
        assert run.returncode == 2
        assert run.stderr.splitlines()[-1] == f"vantrel: error: {name} {blocker}/out: Not a directory"
        assert time.monotonic() - start < 3

    def test_scene_lengths(self, videos):
        clip = cuts(videos, "cli2-lengths.mkv", X264, sources=("testsrc2", "mandelbrot"), seconds=3)
        plain = vantrel_rs.detect_frames(str(clip))

        def keyframes(*args):
            run = vantrel(clip, "--method", "refined", *args)
            assert run.returncode == 0, run.stderr
            return [int(k) for k in run.stdout.split()]

        by_frames = keyframes("--max-scene-len", "25")
        assert keyframes("--max-scene-len", "1s") == by_frames  # 25 frames/s
        assert keyframes("--max-scene-len", "00:00:01.000") == by_frames
        assert set(plain) < set(by_frames)
        assert max(b - a for a, b in zip(by_frames, by_frames[1:] + [150])) <= 25
        assert keyframes("--min-scene-len", "151") == [0]

    @pytest.mark.parametrize("args, message", [
        (["--max-scene-len", "2x"], "argument --max-scene-len: '2x' is not a length"),
        (["--max-scene-len", "0"], "--max-scene-len must be positive"),
        (["--min-scene-len", "30", "--max-scene-len", "10"], "--min-scene-len is longer than --max-scene-len"),
        (["--sigma", "nan"], "--sigma must be a finite number, not nan"),
        (["--search-radius", "99"], "--search-radius must be from 0 to 64, not 99"),
        (["--window-size", "2.5"], "argument --window-size: invalid int value: '2.5'"),
        (["--threads", "-1"], "--threads must be from 0 (FFmpeg chooses) to 1024"),
        (["--min-scene-len", "3s", "--max-scene-len", "1s"],
         "--min-scene-len is longer than --max-scene-len (3.0 > 1.0)"),
        (["--on-decode-error", "ignore"], "argument --on-decode-error: invalid choice: 'ignore'"),
        (["-q", "-v"], "-q/--quiet and -v/--verbose exclude each other"),
    ])
    def test_bad_options(self, clip, args, message):
        run = vantrel(clip, *args)
        assert run.returncode == 2 and run.stdout == ""
        assert run.stderr.splitlines()[-1].startswith(f"vantrel: error: {message}")

    def test_detector_settings_reach_the_analysis(self, clip):
        default = vantrel(clip, "-f", "xvid").stdout
        assert vantrel(clip, "-f", "xvid", "--search-radius", "4", "--sigma", "3").stdout == default
        # No block ever counts as new, and the score threshold is out of reach: only the
        # adaptive detector's cuts remain.
        changed = vantrel(clip, "-f", "xvid", "--intra-thresh", str(2**31 - 1), "--intra-thresh2", "1e9").stdout
        assert changed.count("i") < default.count("i")

    def test_help_says_each_default_once_in_words(self):
        text = " ".join(vantrel("--help").stdout.split())
        assert "xvid shows the per-frame first-pass decisions; every other format shows the scene list of --method" \
            in text
        assert "--sigma N standard deviations above the recent mean that the adaptive threshold sits; " \
               "3.0 by default" in text
        assert "(default:" not in text  # argparse's own notes would repeat or contradict the words
        assert "for many files one thread per file and one file per CPU is fastest" in text
