"""vantrel.analyze(): the same results as vantrel_rs, and what only the engine gives."""
import gc
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time
from fractions import Fraction
from pathlib import Path

import pytest

import vantrel
import vantrel_rs
from conftest import FFPROBE, lavfi

X264 = ["-c:v", "libx264", "-pix_fmt", "yuv420p"]


def cuts(videos, name, codec, size="160x96", sources=("testsrc", "mandelbrot", "smptebars"), seconds=0.6):
    args = []
    for source in sources:
        args += lavfi(source, seconds, size=size)
    joined = "".join(f"[{i}:v]" for i in range(len(sources))) + f"concat=n={len(sources)}:v=1[v]"
    return videos(name, [*args, "-filter_complex", joined, "-map", "[v]", *codec])


@pytest.fixture(scope="module")
def clips(videos, tmp_path_factory):
    """Every kind of input the engine must analyse exactly as the module does."""
    made = {
        "h264-bframes": cuts(videos, "eng-h264.mp4", [*X264, "-bf", "3"], size="200x120"),
        "hevc": cuts(videos, "eng-hevc.mkv", ["-c:v", "libx265", "-x265-params", "log-level=error"]),
        "vp9": cuts(videos, "eng-vp9.webm", ["-c:v", "libvpx-vp9", "-deadline", "realtime", "-b:v", "200k"]),
        "mpeg4": cuts(videos, "eng-mpeg4.avi", ["-c:v", "mpeg4", "-q:v", "4"]),
        "mjpeg": cuts(videos, "eng-mjpeg.avi", ["-c:v", "mjpeg", "-pix_fmt", "yuvj420p"]),
        "10-bit": cuts(videos, "eng-10bit.mkv", ["-c:v", "libx264", "-pix_fmt", "yuv420p10le"], size="162x98"),
        "audio+video": videos("eng-av.mkv", [*lavfi("testsrc", 1.0, size="96x64"), "-f", "lavfi", "-i",
                                             "sine=duration=1", *X264, "-c:a", "aac"]),
        "one frame": videos("eng-one.mkv", [*lavfi("testsrc", 0.04, size="64x48"), *X264]),
        "no frame": videos("eng-zero.avi", [*lavfi("testsrc", 1), "-frames:v", "0", "-c:v", "mpeg4"]),
    }
    root = tmp_path_factory.mktemp("engine-size-change")
    first = videos("eng-size-a.ts", [*lavfi("testsrc", 0.6, size="160x96"), *X264, "-f", "mpegts"])
    second = videos("eng-size-b.ts", [*lavfi("mandelbrot", 0.6, size="320x180"), *X264, "-f", "mpegts"])
    joined = root / "size-change.ts"
    joined.write_bytes(first.read_bytes() + second.read_bytes())
    made["size change"] = joined
    return made


class TestSameAsTheModule:
    @pytest.mark.parametrize("native_res", [False, True])
    def test_every_kind_of_input_at_every_thread_count(self, clips, native_res):
        for name, path in clips.items():
            keyframes = vantrel_rs.detect_frames(str(path), native_res=native_res)
            pass_text = vantrel_rs.detect_pass(str(path), native_res=native_res)
            for threads in (1, 2, 0):
                analysis = vantrel.analyze(path, native_res=native_res, threads=threads)
                assert analysis.keyframes == keyframes, (name, threads)
                assert analysis.pass_text == pass_text, (name, threads)
                assert analysis.frame_count == len(pass_text.splitlines()) - 3
                assert len(analysis.times) == analysis.frame_count

    def test_the_clips_have_cuts(self, clips):
        # Otherwise the comparison above would prove little.
        assert len(vantrel.analyze(clips["h264-bframes"]).keyframes) >= 3
        assert vantrel.analyze(clips["no frame"]).frame_count == 0

    def test_input_types(self, clips):
        path = clips["one frame"]
        expected = vantrel.analyze(str(path))
        assert vantrel.analyze(path) == expected
        assert vantrel.analyze(path.read_bytes()) == expected  # bytes are the video, not its path
        with pytest.raises(TypeError):
            vantrel.analyze(42)


def probe(path, *entries):
    out = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0", "-show_entries", ",".join(entries),
                          "-of", "json", str(path)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def probed_times(path):
    start = float(probe(path, "format=start_time")["format"].get("start_time", 0))
    frames = probe(path, "frame=best_effort_timestamp_time")["frames"]
    return [float(frame["best_effort_timestamp_time"]) - start for frame in frames]


class TestTimes:
    def test_variable_frame_rate(self, videos):
        # 25 frames/s, then 10, then 50: the timestamps, not the average rate, give the times.
        args = [*lavfi("testsrc", 1, rate=25), *lavfi("mandelbrot", 1, rate=10), *lavfi("smptebars", 1, rate=50),
                "-filter_complex", "[0:v][1:v][2:v]concat=n=3:v=1[v]", "-map", "[v]", "-vsync", "vfr", *X264]
        clip = videos("eng-vfr.mkv", args)
        analysis = vantrel.analyze(clip)
        expected = probed_times(clip)
        assert len(analysis.times) == len(expected) == 85
        assert max(abs(a - b) for a, b in zip(analysis.times, expected)) < 1e-6
        # The average rate would put the last frame elsewhere.
        assert abs(analysis.times[-1] - (analysis.frame_count - 1) / analysis.fps) > 0.1
        assert analysis.scenes[0].start_time == 0.0
        assert analysis.scenes[-1].end_time == pytest.approx(3.0, abs=0.03)

    def test_video_starting_after_the_audio(self, videos):
        clip = videos("eng-late-video.mkv", ["-f", "lavfi", "-t", "3", "-i", "sine=duration=3", "-itsoffset", "1.3",
                                             *lavfi("testsrc", 1.5), "-map", "0:a", "-map", "1:v", *X264,
                                             "-c:a", "aac"])
        analysis = vantrel.analyze(clip)
        expected = probed_times(clip)
        assert expected[0] > 1.0
        assert max(abs(a - b) for a, b in zip(analysis.times, expected)) < 1e-6
        assert analysis.scenes[0].start_time == analysis.times[0]

    def test_frame_rate_and_duration(self, videos):
        clip = videos("eng-ntsc.mp4", [*lavfi("testsrc", 1, size="64x48"), "-r", "30000/1001", *X264])
        analysis = vantrel.analyze(clip)
        assert analysis.fps == Fraction(30000, 1001)
        assert analysis.duration == pytest.approx(1.0, abs=0.05)


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


@pytest.fixture(scope="module")
def clean_and_damaged(videos, tmp_path_factory):
    clean = cuts(videos, "eng-damage.avi", ["-c:v", "mjpeg", "-pix_fmt", "yuvj420p"],
                 sources=("testsrc", "mandelbrot", "smptebars", "rgbtestsrc"), seconds=1.2)
    damaged = tmp_path_factory.mktemp("damage") / "damaged.avi"
    damage(clean, damaged, 58, 3)
    return clean, damaged


class TestDamagedPackets:
    def test_stop_fails_as_the_module_does(self, clean_and_damaged):
        _, damaged = clean_and_damaged
        with pytest.raises(vantrel.AnalysisError) as info:
            vantrel.analyze(damaged)
        assert info.value.category == "decode"
        assert str(info.value).startswith("decode error: failed to send packet to decoder: ")
        with pytest.raises(RuntimeError) as module:
            vantrel_rs.detect_frames(str(damaged))
        assert str(info.value).startswith(str(module.value))

    @pytest.mark.parametrize("threads", [1, 0])
    def test_skip_keeps_the_undamaged_parts(self, clean_and_damaged, threads):
        clean, damaged = clean_and_damaged
        reference = vantrel.analyze(clean).keyframes
        analysis = vantrel.analyze(damaged, on_decode_error="skip", threads=threads)
        assert [e.frame for e in analysis.decode_errors] == [58, 58, 58]
        assert all("Invalid data" in e.message for e in analysis.decode_errors)
        assert 58 * 0.04 - 0.01 <= analysis.decode_errors[0].time <= 61 * 0.04
        assert analysis.frame_count == vantrel.analyze(clean).frame_count - 3
        # Frames after the damage come 3 earlier; near it the analysis may differ.
        shifted = [k if k < 58 else k - 3 for k in reference]
        near = range(52, 66)
        assert [k for k in analysis.keyframes if k not in near] == [k for k in shifted if k not in near]
        assert any(m.level == "error" for m in analysis.messages)

    def test_too_many_damaged_packets_in_a_row(self, clean_and_damaged, tmp_path):
        clean, _ = clean_and_damaged
        ruined = tmp_path / "ruined.avi"
        damage(clean, ruined, 2, 110)
        with pytest.raises(vantrel.AnalysisError) as info:
            vantrel.analyze(ruined, on_decode_error="skip")
        assert str(info.value).startswith(
            "decode error: failed to send packet to decoder: 100 consecutive packets rejected: ")


class TestErrors:
    def test_the_reason_follows_the_message(self, tmp_path):
        missing = tmp_path / "missing.mp4"
        with pytest.raises(vantrel.AnalysisError) as info:
            vantrel.analyze(missing)
        assert str(info.value) == f"input/output error: failed to open input: {missing}: No such file or directory"
        assert info.value.category == "io"
        assert isinstance(info.value, RuntimeError)
        text = tmp_path / "notes.txt"
        text.write_text("just words\n")
        with pytest.raises(vantrel.AnalysisError) as info:
            vantrel.analyze(text)
        assert str(info.value) == (f"input/output error: failed to open input: {text}: "
                                   "Invalid data found when processing input")

    def test_categories(self, videos, clips):
        audio = videos("eng-audio.wav", ["-f", "lavfi", "-i", "sine=duration=0.2"])
        with pytest.raises(vantrel.AnalysisError) as info:
            vantrel.analyze(audio)
        assert (info.value.category, str(info.value)) == ("unsupported", "unsupported operation: no video stream found")
        with pytest.raises(vantrel.AnalysisError) as info:
            vantrel.analyze(clips["one frame"], hwdec="nonsense")
        assert (info.value.category, str(info.value)) == ("configuration",
                                                          "configuration error: unknown --hwdec: nonsense")

    @pytest.mark.parametrize("options, error, words", [
        ({"threads": -1}, ValueError, "threads"),
        ({"threads": True}, TypeError, "threads"),
        ({"on_decode_error": "ignore"}, ValueError, "on_decode_error"),
        ({"min_scene_len": -2}, ValueError, "min_scene_len"),
        ({"max_scene_len": 0}, ValueError, "max_scene_len"),
        ({"max_scene_len": float("nan")}, ValueError, "max_scene_len"),
        ({"min_scene_len": "2s"}, TypeError, "min_scene_len"),
        ({"min_scene_len": 30, "max_scene_len": 10}, ValueError, "min_scene_len"),
        ({"progress": 3}, TypeError, "progress"),
        ({"detector": {"sigma": 2}}, TypeError, "DetectorSettings"),
        ({"hwdec": 1}, TypeError, "hwdec"),
    ])
    def test_bad_options(self, clips, options, error, words):
        with pytest.raises(error) as info:
            vantrel.analyze(clips["one frame"], **options)
        assert words in str(info.value)


class TestSettings:
    """The one place where analyze() and the command check their settings: each refusal starts with the
    field's name, which the command turns into its option's."""

    @pytest.mark.parametrize("fields, error, start", [
        ({"threads": -1}, ValueError, "threads must be from 0 (FFmpeg chooses) to 1024, not -1"),
        ({"threads": 1025}, ValueError, "threads must be from 0"),
        ({"threads": 2.0}, TypeError, "threads must be an int, not float"),
        ({"min_scene_len": -2}, ValueError, "min_scene_len must not be negative"),
        ({"max_scene_len": 0}, ValueError, "max_scene_len must be positive"),
        ({"max_scene_len": float("inf")}, ValueError, "max_scene_len must be finite"),
        ({"min_scene_len": 2.5, "max_scene_len": 1.0}, ValueError, "min_scene_len is longer than max_scene_len"),
        ({"on_decode_error": "ignore"}, ValueError, "on_decode_error must be 'stop' or 'skip'"),
        ({"detector": {"sigma": 2}}, TypeError, "detector must be a DetectorSettings"),
    ])
    def test_bad_values_name_their_field(self, fields, error, start):
        from vantrel.settings import AnalysisSettings
        with pytest.raises(error) as info:
            AnalysisSettings(**fields)
        assert str(info.value).startswith(start)

    def test_frames_and_seconds_are_not_compared(self):
        from vantrel.settings import AnalysisSettings
        # 30 frames may be shorter than 10 seconds: only the video's times can tell.
        assert AnalysisSettings(min_scene_len=30, max_scene_len=10.0).min_scene_len == 30


class TestDetectorSettings:
    def test_defaults_are_the_module_values(self, clips):
        path = clips["h264-bframes"]
        assert vantrel.analyze(path, detector=vantrel.DetectorSettings()) == vantrel.analyze(path)

    @pytest.mark.parametrize("field, value, error", [
        ("search_radius", -1, ValueError), ("search_radius", 65, ValueError), ("search_radius", 2.0, TypeError),
        ("intra_thresh", -5, ValueError), ("window_size", -1, ValueError), ("window_size", 10**9, ValueError),
        ("sigma", float("nan"), ValueError), ("base_threshold", float("inf"), ValueError),
        ("sad_weight", -0.1, ValueError), ("hist_weight", "0.3", TypeError), ("min_hist_distance", True, TypeError),
    ])
    def test_values_the_detectors_cannot_use(self, field, value, error):
        with pytest.raises(error) as info:
            vantrel.DetectorSettings(**{field: value})
        assert str(info.value).startswith(f"{field} must ")

    def test_settings_reach_the_detectors(self, clips):
        path = clips["h264-bframes"]
        default = vantrel.analyze(path, scores=True)
        strict = vantrel.analyze(path, scores=True, detector=vantrel.DetectorSettings(intra_thresh=2**31 - 1))
        assert max(strict.scores.intra_blocks) == 0 < max(default.scores.intra_blocks)
        still = vantrel.analyze(path, scores=True, detector=vantrel.DetectorSettings(search_radius=0))
        assert still.scores.mc_sad.tolist() != default.scores.mc_sad.tolist()


class TestScores:
    def test_the_table_matches_the_score_lines(self, clips):
        dump = os.environ.get("VANTREL_DUMP")
        if not dump or not Path(dump).exists():
            pytest.skip("vantrel_dump is built with the C++ tests")
        path = clips["h264-bframes"]
        scores = vantrel.analyze(path, scores=True).scores
        lines = subprocess.run([dump, str(path)], capture_output=True, text=True, check=True).stderr
        rows = [line.split(",") for line in lines.splitlines() if not line.startswith("[")]
        assert len(scores) == len(rows)
        for i, row in enumerate(rows):
            assert int(row[0]) == scores.frame[i]
            assert row[1] == f"{scores.score[i]:.6f}" and row[2] == f"{scores.threshold[i]:.6f}"
            assert row[3] == f"{scores.hist_distance[i]:.6f}"
            assert [int(v) for v in row[6:]] == [scores.intra_blocks[i], scores.total_blocks[i], scores.mc_sad[i],
                                                 scores.is_cut[i]]

    def test_columns_are_compact(self, clips):
        analysis = vantrel.analyze(clips["h264-bframes"], scores=True)
        scores = analysis.scores
        assert len(scores) == analysis.frame_count - 1
        assert scores.time.tolist() == analysis.times.tolist()[1:]
        assert all(hasattr(getattr(scores, name), "typecode") for name in ("frame", "score", "mc_sad", "is_cut"))
        assert vantrel.analyze(clips["h264-bframes"]).scores is None


@pytest.fixture(scope="module")
def long_scenes(videos):
    return cuts(videos, "eng-long.mkv", X264, sources=("testsrc2", "mandelbrot"), seconds=3)


class TestSceneLengthLimits:
    def test_maximum_in_frames_and_seconds(self, long_scenes):
        plain = vantrel.analyze(long_scenes, scores=True)
        for limit, unit in ((20, "frames"), (0.8, "seconds")):
            limited = vantrel.analyze(long_scenes, max_scene_len=limit)
            assert set(plain.keyframes) <= set(limited.keyframes)
            for scene in limited.scenes:
                length = (scene.end_frame - scene.start_frame + 1 if unit == "frames"
                          else scene.end_time - scene.start_time)
                assert length <= limit + 1e-9, (unit, scene)

    def test_minimum_drops_close_keyframes(self, clips):
        path = clips["h264-bframes"]
        plain = vantrel.analyze(path).keyframes
        assert len(plain) == 3
        assert vantrel.analyze(path, min_scene_len=plain[2] + 1).keyframes == [0]
        assert vantrel.analyze(path, min_scene_len=plain[2]).keyframes == [0, plain[2]]
        assert vantrel.analyze(path, min_scene_len=1).keyframes == plain


class TestSceneLimitRules:
    """The rules on hand-made lists: frame i + 1 has score scores[i]."""

    def test_split_at_the_highest_score_earliest_on_ties(self):
        from vantrel.scene_limits import apply_scene_limits
        times = [i / 10 for i in range(30)]
        scores = [1.0] * 29
        scores[6], scores[8] = 5.0, 5.0  # frames 7 and 9 tie
        # Each cut lands between half the maximum and the maximum after the previous one.
        assert apply_scene_limits([0], times, 3.0, scores, None, 10) == [0, 7, 12, 17, 22]
        # With a minimum of 9 the first cut moves to frame 9; where both parts cannot be 9
        # long, the maximum alone decides.
        assert apply_scene_limits([0], times, 3.0, scores, 9, 10) == [0, 9, 18, 23]
        scores[5] = float("nan")  # frame 6: the lowest of all
        assert apply_scene_limits([0], times, 3.0, scores, None, 10) == [0, 7, 12, 17, 22]

    def test_seconds_use_the_frame_times(self):
        from vantrel.scene_limits import apply_scene_limits
        times = [0.0, 0.1, 0.2, 1.0, 1.1, 1.2, 3.0]  # frames bunch up, then a long frame
        assert apply_scene_limits([0, 2, 3, 5], times, 3.5, None, 0.5, None) == [0, 3]
        # 1.0 s at most: frame 3 (at 1.0 s); then the farthest within 1.0 s; then the long frame.
        assert apply_scene_limits([0], times, 3.5, [0.0] * 6, None, 1.0) == [0, 3, 5, 6]

    def test_minimum_first_then_maximum(self):
        from vantrel.scene_limits import apply_scene_limits
        times = [float(i) for i in range(100)]
        assert apply_scene_limits([0, 3, 50, 52], times, 100.0, [0.0] * 99, 5, 60) == [0, 50]


def _fds():
    return sorted(os.listdir("/proc/self/fd"))


def _rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


class TestProgressAndInterruption:
    def test_reports_at_most_ten_times_a_second_and_at_the_end(self, clips, long_clip):
        reports = []
        start = time.monotonic()
        analysis = vantrel.analyze(long_clip, threads=1, progress=reports.append)
        elapsed = time.monotonic() - start
        assert len(reports) <= elapsed * 10 + 2
        assert len(reports) >= 3
        frames = [r.frames for r in reports]
        assert frames == sorted(frames)
        assert reports[-1] == vantrel.Progress(analysis.frame_count, analysis.times[-1], analysis.duration)
        assert reports[-1].duration == pytest.approx(10, abs=0.1)  # as the first part's header says

    def test_a_raising_callback_stops_the_analysis(self, long_clip):
        def stop(progress):
            if progress.frames > 50:
                raise LookupError("enough")

        fds, rss = _fds(), _rss_kib()
        for _ in range(3):
            start = time.monotonic()
            with pytest.raises(LookupError, match="enough"):
                vantrel.analyze(long_clip, threads=2, progress=stop, scores=True)
            assert time.monotonic() - start < 1.5
        gc.collect()
        assert _fds() == fds
        assert _rss_kib() - rss < 20_000

    def test_ctrl_c_arrives_within_a_second(self, long_clip):
        code = textwrap.dedent(f"""
            import os, sys, time, vantrel
            fds = sorted(os.listdir("/proc/self/fd"))
            print("ready", flush=True)
            start = time.monotonic()
            try:
                vantrel.analyze({str(long_clip)!r}, threads=1)
            except KeyboardInterrupt:
                print("interrupted", round(time.monotonic() - start, 3), flush=True)
            print("fds", sorted(os.listdir("/proc/self/fd")) == fds, flush=True)
        """)
        child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline().strip() == "ready"
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().split()
        arrived = time.monotonic() - sent
        child.wait(timeout=30)
        rest = child.stdout.read()  # through the same buffer that may hold the next line already
        assert line[0] == "interrupted", line
        assert arrived < 1.0
        assert "fds True" in rest


class TestConcurrency:
    def test_other_threads_run_while_a_file_is_analysed(self, long_clip):
        ticks = []
        done = threading.Event()

        def tick():
            while not done.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.01)

        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            vantrel.analyze(long_clip, threads=1)
        finally:
            done.set()
            ticker.join()
        assert len(ticks) > 20
        assert max(b - a for a, b in zip(ticks, ticks[1:])) < 0.2

    def test_analyses_in_threads_give_their_own_results(self, clips):
        paths = [clips["h264-bframes"], clips["mjpeg"], clips["size change"], clips["10-bit"]]
        expected = [vantrel.analyze(p, threads=1) for p in paths]
        results = [None] * len(paths)

        def run(i):
            results[i] = vantrel.analyze(paths[i], threads=1)

        workers = [threading.Thread(target=run, args=(i,)) for i in range(len(paths))]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        assert results == expected


class TestLogLines:
    def test_lines_of_an_analysis_are_its_messages(self, tmp_path, videos):
        clip = videos("eng-log.mp4", [*lavfi("testsrc", 0.4, size="64x48"), *X264])
        truncated = tmp_path / "truncated.mp4"
        truncated.write_bytes(clip.read_bytes()[: clip.stat().st_size // 2])
        code = textwrap.dedent(f"""
            import vantrel, vantrel_rs
            try:
                vantrel.analyze({str(truncated)!r})
            except vantrel.AnalysisError as error:
                print("engine", error)
            try:
                vantrel_rs.detect_frames({str(truncated)!r})
            except RuntimeError as error:
                print("module", error)
        """)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
        # The module's lines are printed as FFmpeg prints them; the engine's are not printed.
        assert out.stderr.count("moov atom not found") == 1, out.stderr
        assert out.stderr.startswith("[mov,mp4,m4a,3gp,3g2,mj2 @ 0x")
        assert "engine input/output error: failed to open input" in out.stdout

    def test_warnings_of_a_damaged_file_are_kept_in_order(self, tmp_path, videos):
        clean = cuts(videos, "eng-log-damage.avi", ["-c:v", "mjpeg", "-pix_fmt", "yuvj420p"])
        damaged = tmp_path / "damaged.avi"
        damage(clean, damaged, 10, 2)
        analysis = vantrel.analyze(damaged, on_decode_error="skip", threads=2)
        assert analysis.messages
        assert all(m.level in ("panic", "fatal", "error", "warning") for m in analysis.messages)
        assert all(m.text.startswith("[") and not m.text.endswith("\n") for m in analysis.messages)
        assert any(m.text.startswith("[mjpeg] ") for m in analysis.messages)


def fastest_metrics_form() -> str:
    """The kernel form this processor's features call for, read from /proc/cpuinfo."""
    import platform
    if platform.machine() != "x86_64":
        return "portable"
    flags = next(line for line in Path("/proc/cpuinfo").read_text().splitlines() if line.startswith("flags"))
    return "avx2" if "avx2" in flags.split() else "sse2"


def test_the_metrics_run_on_the_fastest_form_of_the_processor():
    from vantrel import _engine
    assert _engine.metrics_form() == fastest_metrics_form()
