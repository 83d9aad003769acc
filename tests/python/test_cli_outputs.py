"""The scene lists for other tools, checked with the real readers; per-frame scores, the report, the
clips and the scene table, for one input and for batches."""
import csv
import io
import json
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import textwrap
from array import array
from pathlib import Path

import pytest

import vantrel
from conftest import FFMPEG, FFPROBE, X264, cuts, interrupt, lavfi, probe_frame_count
from conftest import command as run_vantrel
from vantrel.analysis import Analysis, Scene
from vantrel.outputs.formats import FORMATS, FormatError

FPS = 25
SCENE = 30  # frames of each source in the clip


@pytest.fixture(scope="module")
def clip(videos):
    """Three sources of 30 frames each at 25 frames/s, with a sine tone all through."""
    seconds = SCENE / FPS
    return videos("out-cut.mkv", [
        *lavfi("testsrc", seconds), *lavfi("smptebars", seconds), *lavfi("mandelbrot", seconds),
        "-f", "lavfi", "-t", str(3 * seconds), "-i", "sine=frequency=440",
        "-filter_complex", "[0:v][1:v][2:v]concat=n=3:v=1[v]", "-map", "[v]", "-map", "3:a", *X264, "-c:a", "aac"])


@pytest.fixture(scope="module")
def scenes(clip):
    found = vantrel.analyze(clip).scenes
    # The tests below compare with these: the clip must really have its three scenes.
    assert [(s.start_frame, s.end_frame) for s in found] == [(0, 29), (30, 59), (60, 89)]
    return found


@pytest.fixture(scope="module")
def ntsc(videos):
    """Two sources at 30000/1001 frames/s."""
    return videos("out-ntsc.mp4", [*lavfi("testsrc", 1.0, rate="30000/1001"),
                                   *lavfi("smptebars", 1.0, rate="30000/1001"),
                                   "-filter_complex", "[0:v][1:v]concat=n=2:v=1[v]", "-map", "[v]", *X264])


@pytest.fixture(scope="module")
def batch(videos, tmp_path_factory):
    root = tmp_path_factory.mktemp("out-batch")
    for i, sources in enumerate([("testsrc", "smptebars"), ("smptebars", "mandelbrot", "testsrc2"),
                                 ("rgbtestsrc", "testsrc")]):
        shutil.copy(cuts(videos, f"out-batch{i}.mkv", X264, sources=sources, seconds=0.8), root / f"clip{i}.mkv")
    return root


def vantrel_ok(*args, **kwargs):
    run = run_vantrel(*args, **kwargs)
    assert run.returncode == 0, run.stderr
    return run


def summary(stderr):
    return [line for line in stderr.splitlines() if " done, " in line][-1]


def ffprobe_json(*args):
    return json.loads(subprocess.run([FFPROBE, "-v", "error", "-of", "json", *map(str, args)], check=True,
                                     capture_output=True, text=True).stdout)


def chapters(path):
    return [(float(c["start_time"]), float(c["end_time"]), c["tags"]["title"])
            for c in ffprobe_json("-show_chapters", path)["chapters"]]


class TestFormats:
    def test_jsonl_av1an_chapters_and_edl_exactly(self, clip, scenes):
        def out(fmt):  # refined's rows: without the transition of each scene
            return vantrel_ok(clip, "-f", fmt, "--method", "refined").stdout

        records = [json.loads(line) for line in out("jsonl").splitlines()]
        assert records == [{"input": str(clip), "scene": n, "start_frame": s.start_frame, "end_frame": s.end_frame,
                            "start_time": s.start_time, "end_time": s.end_time,
                            "frame_count": s.end_frame - s.start_frame + 1, "fps": "25/1", "fps_float": 25.0}
                           for n, s in enumerate(scenes, 1)]
        # The video starts 23 ms after the audio (the AAC encoder's delay): so do the chapters.
        assert [s.start_time for s in scenes] == [0.023, 1.223, 2.423]
        assert out("chapters") == ";FFMETADATA1\n" + "".join(
            f"[CHAPTER]\nTIMEBASE=1/1000\nSTART={23 + s * 1200}\nEND={23 + (s + 1) * 1200}\ntitle=Scene {s + 1}\n"
            for s in range(3))
        assert out("simple-chapters") == ("CHAPTER01=00:00:00.023\nCHAPTER01NAME=Scene 1\n"
                                          "CHAPTER02=00:00:01.223\nCHAPTER02NAME=Scene 2\n"
                                          "CHAPTER03=00:00:02.423\nCHAPTER03NAME=Scene 3\n")
        assert out("edl").splitlines()[:7] == [
            "TITLE: out-cut", "FCM: NON-DROP FRAME", "",
            "001  AX       V     C        00:00:00:00 00:00:01:05 00:00:00:00 00:00:01:05",
            "* FROM CLIP NAME: out-cut.mkv", f"* FROM CLIP: {clip}", ""]

    def test_av1an_scenes_cover_every_frame_once_with_exclusive_ends(self, clip, scenes, videos):
        doc = json.loads(vantrel_ok(clip, "-f", "av1an").stdout)
        assert sorted(doc) == ["frames", "scenes", "split_scenes"]
        assert doc["frames"] == probe_frame_count(clip) == 90
        assert doc["scenes"] == doc["split_scenes"] == [
            {"start_frame": s.start_frame, "end_frame": s.end_frame + 1, "zone_overrides": None} for s in scenes]
        covered = [f for s in doc["scenes"] for f in range(s["start_frame"], s["end_frame"])]
        assert covered == list(range(doc["frames"]))
        empty = videos("out-zero.avi", [*lavfi("testsrc", 1), "-frames:v", "0", "-c:v", "mpeg4"])
        assert json.loads(vantrel_ok(empty, "-f", "av1an").stdout) == {"frames": 0, "scenes": [], "split_scenes": []}

    def test_a_stream_without_a_frame_rate_cannot_have_timecodes(self):
        no_rate = Analysis([0], "", 2, array("d", [0.0, 0.04]), None, None, (Scene(0, 1, 0.0, 0.08),), None, (), ())
        for name in ("edl", "otio"):
            with pytest.raises(FormatError, match=f"the video stream has no frame rate, which -f {name} needs"):
                FORMATS[name].render(no_rate, "x.mkv")

    def test_help_lists_every_format(self):
        text = " ".join(run_vantrel("--help").stdout.split())
        assert "{frames,json,csv,keyframes,xvid,qpfile,jsonl,av1an,scenedetect-csv,edl,otio,chapters," \
               "simple-chapters}" in text
        for fmt in FORMATS.values():
            assert f"{fmt.name}: {' '.join(fmt.help.split())}" in text
        assert "non-drop-frame timecodes" in text
        assert "nearest codec keyframe at or before its scene's first frame" in text


class TestReaders:
    def test_pyscenedetect_loads_the_scene_list_and_writes_it_back_the_same(self, clip, ntsc, videos, tmp_path):
        pytest.importorskip("scenedetect")
        plain = cuts(videos, "out-plain.mkv", X264, seconds=1.2)
        for video in (plain, ntsc, clip):
            ours = tmp_path / f"{video.stem}.csv"
            vantrel_ok(video, "-f", "scenedetect-csv", "-o", ours)
            out = tmp_path / video.stem
            run = subprocess.run([sys.executable, "-m", "scenedetect", "-i", str(video), "-o", str(out),
                                  "load-scenes", "-i", str(ours), "list-scenes"],
                                 capture_output=True, text=True, timeout=120)
            assert run.returncode == 0, run.stderr
            assert f"Loaded {len(vantrel.analyze(video).scenes)} scenes." in run.stdout + run.stderr
            theirs = (out / f"{video.stem}-Scenes.csv").read_text()
            if video != clip:
                assert theirs == ours.read_text()
            else:
                # PySceneDetect takes the end of the last scene from the container's duration, which the
                # audio makes longer; every start is the same.
                assert [row[:4] for row in csv.reader(io.StringIO(theirs))] == \
                       [row[:4] for row in csv.reader(io.StringIO(ours.read_text()))]

    def test_opentimelineio_reads_the_edl_back_to_the_same_cuts(self, clip, ntsc):
        otio = pytest.importorskip("opentimelineio")
        pytest.importorskip("otio_cmx3600_adapter")
        for video, rate in ((clip, 25), (ntsc, 30000 / 1001)):
            timeline = otio.adapters.read_from_string(vantrel_ok(video, "-f", "edl").stdout, "cmx_3600", rate=rate)
            got = [(c.source_range.start_time.to_frames(), c.source_range.duration.to_frames(), c.name)
                   for c in timeline.find_clips()]
            assert got == [(s.start_frame, s.end_frame - s.start_frame + 1, video.name)
                           for s in vantrel.analyze(video).scenes]
            assert [c.media_reference.target_url for c in timeline.find_clips()] == [str(video)] * len(got)

    def test_opentimelineio_timeline(self, clip, scenes):
        otio = pytest.importorskip("opentimelineio")
        timeline = otio.adapters.read_from_string(vantrel_ok(clip, "-f", "otio").stdout, "otio_json")
        (track,) = timeline.tracks
        assert timeline.name == "out-cut" and track.kind == otio.schema.TrackKind.Video
        clips = list(track.find_clips())
        assert [(c.name, c.source_range) for c in clips] == [
            (f"Scene {n}", otio.opentime.TimeRange(otio.opentime.RationalTime(s.start_frame, FPS),
                                                   otio.opentime.RationalTime(s.end_frame - s.start_frame + 1, FPS)))
            for n, s in enumerate(scenes, 1)]
        assert {c.media_reference.target_url for c in clips} == {clip.resolve().as_uri()}
        assert clips[0].media_reference.available_range.duration.to_frames() == 90
        assert track.duration().to_seconds() == pytest.approx(90 / FPS)

    def test_ffmpeg_takes_the_chapters(self, clip, scenes, tmp_path):
        metadata = tmp_path / "chapters.txt"
        vantrel_ok(clip, "-f", "chapters", "-o", metadata)
        out = tmp_path / "with-chapters.mkv"
        subprocess.run([FFMPEG, "-v", "error", "-i", str(clip), "-i", str(metadata), "-map", "0", "-map_chapters",
                        "1", "-c", "copy", str(out)], check=True)
        assert chapters(out) == [(s.start_time, s.end_time, f"Scene {n}") for n, s in enumerate(scenes, 1)]

    def test_mkvmerge_takes_the_simple_chapters(self, clip, scenes, tmp_path):
        mkvmerge = shutil.which("mkvmerge")
        if mkvmerge is None:
            pytest.skip("mkvmerge (Debian's mkvtoolnix) is not installed")
        text = tmp_path / "chapters.txt"
        vantrel_ok(clip, "-f", "simple-chapters", "-o", text)
        out = tmp_path / "with-chapters.mkv"
        run = subprocess.run([mkvmerge, "-q", "-o", str(out), "--chapters", str(text), str(clip)],
                             capture_output=True, text=True)
        assert run.returncode == 0, run.stdout
        got = chapters(out)
        assert [(start, title) for start, _, title in got] == [(s.start_time, f"Scene {n}")
                                                               for n, s in enumerate(scenes, 1)]


class TestStats:
    def test_one_row_per_compared_frame_with_the_engine_scores(self, clip, tmp_path):
        out = tmp_path / "scores.csv"
        run = vantrel_ok(clip, "--stats", out)
        assert run.stdout == "0\n30\n60\n"  # the scene list is unchanged
        rows = list(csv.DictReader(out.open()))
        scores = vantrel.analyze(clip, scores=True).scores
        fields = [name for name in scores._fields if name != "probability"]  # the learned method's
        assert scores.probability is None and list(rows[0]) == fields
        assert len(rows) == len(scores) == 89
        for name in fields:
            assert [type(v)(r[name]) if name != "is_cut" else int(r[name])
                    for r, v in zip(rows, getattr(scores, name))] == list(getattr(scores, name)), name
        assert [r["frame"] for r in rows if r["is_cut"] == "1"] == ["30", "60"]


def screenshot_rgb(page: Path, shot: Path, size=(1200, 900)):
    """Headless Chromium's picture of the page, as rows of RGB pixels (numpy)."""
    np = pytest.importorskip("numpy")
    chromium = shutil.which("chromium")
    if chromium is None:
        pytest.skip("chromium (Debian's package) is not installed")
    subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    f"--user-data-dir={shot.parent / 'chromium-profile'}", f"--window-size={size[0]},{size[1]}",
                    f"--screenshot={shot}", page.as_uri()], check=True, capture_output=True, timeout=120)
    raw = subprocess.run([FFMPEG, "-v", "error", "-i", str(shot), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(size[1], size[0], 3).astype(int)


class TestReport:
    def test_a_browser_draws_the_curve_and_the_thumbnails(self, clip, tmp_path):
        page = tmp_path / "report.html"
        vantrel_ok(clip, "--report", page, "-o", tmp_path / "cut.txt")
        text = page.read_text()
        # Self-contained: pictures inline, no address of anything to load.
        assert text.count('src="data:image/jpeg;base64,') == 3
        assert not re.search(r"(src|href)=\"(?!data:)|url\(|https?:|//", re.sub(r"base64,[\w+/=]+", "", text))
        assert "frames 30&ndash;59 (30 frames)" in text and "00:00:01.223&ndash;00:00:02.423 (1.200 s)" in text

        image = screenshot_rgb(page, tmp_path / "report.png")
        # The chart is the rows with its background colour; the thumbnails come below it.
        chart_rows = ((image == 0xfa).all(axis=2).sum(axis=1) > 500).nonzero()[0]
        assert len(chart_rows) > 200
        chart, below = image[chart_rows.min():chart_rows.max() + 1], image[chart_rows.max() + 1:]
        r, g, b = chart[..., 0], chart[..., 1], chart[..., 2]
        curve = (abs(r - 0x1f) < 40) & (abs(g - 0x6f) < 40) & (abs(b - 0xd0) < 40)
        assert curve.sum() > 800 and curve.any(axis=1).sum() > 100  # across the chart, up to the cut peaks
        red = (r > 180) & (r - g > 90) & (r - b > 80)  # antialiased: partly the background's colour
        assert (red.sum(axis=0) > 150).sum() >= 2  # two tall lines: the scene starts
        # Thumbnails of colour bars and test patterns: many strongly coloured pixels, which the page's
        # own text and legend below the chart hardly have.
        saturated = below.max(axis=2) - below.min(axis=2) > 100
        assert saturated.sum() > 3 * 5000

    def test_needs_scores_of_every_frame_even_for_one_frame(self, videos, tmp_path):
        one = videos("out-one.mkv", [*lavfi("testsrc", 0.04, size="64x48"), *X264])
        page = tmp_path / "one.html"
        vantrel_ok(one, "--report", page)
        assert page.read_text().count("data:image/jpeg;base64,") == 1 and "<polyline" in page.read_text()


def frame_counts(folder: Path):
    return {p.name: probe_frame_count(p) for p in sorted(folder.iterdir())}


def audio_seconds(path: Path) -> float:
    """Of the decoded audio, as a player hears it."""
    samples = subprocess.run([FFMPEG, "-v", "error", "-i", str(path), "-map", "0:a", "-ac", "1", "-ar", "48000",
                              "-f", "s16le", "-"], check=True, capture_output=True).stdout
    return len(samples) / 2 / 48000


class TestSplit:
    def test_every_clip_holds_exactly_its_scene_with_its_audio(self, clip, scenes, tmp_path):
        out = tmp_path / "clips"
        vantrel_ok(clip, "--split", out, "-o", tmp_path / "cut.txt")
        counts = frame_counts(out)
        assert counts == {"out-cut-scene-001.mp4": 30, "out-cut-scene-002.mp4": 30, "out-cut-scene-003.mp4": 30}
        assert sum(counts.values()) == probe_frame_count(clip)
        for path in out.iterdir():
            # A clip is one scene: a frame of the scene before would be a cut at its second frame.
            assert vantrel.analyze(path).keyframes == [0], path
            codecs = [s["codec_name"] for s in ffprobe_json("-show_entries", "stream=codec_name", path)["streams"]]
            assert codecs == ["h264", "aac"]
            # The scene's length, give or take half a frame at each end and the encoder's padding.
            assert audio_seconds(path) == pytest.approx(SCENE / FPS, abs=0.06)
        # All the audio, once: one AAC frame more per clip at most.
        assert sum(map(audio_seconds, out.iterdir())) == pytest.approx(audio_seconds(clip), abs=3 * 1024 / 44100)
        assert all(p.stat().st_mode & 0o777 == 0o644 for p in out.iterdir())

    def test_copied_clips_start_at_the_codec_keyframe_before(self, videos, tmp_path):
        # One codec keyframe at the start: every copied clip begins there.
        single_gop = cuts(videos, "out-gop.mkv", [*X264, "-g", "1000", "-sc_threshold", "0"],
                          sources=("testsrc", "smptebars"), seconds=1.0)
        keyframes = vantrel.analyze(single_gop).keyframes
        assert keyframes == [0, 25]
        out = tmp_path / "copied"
        vantrel_ok(single_gop, "--split", out, "--split-copy")
        assert sorted(p.name for p in out.iterdir()) == ["out-gop-scene-001.mkv", "out-gop-scene-002.mkv"]
        assert probe_frame_count(out / "out-gop-scene-002.mkv") >= 25
        assert run_vantrel(single_gop, "--split-copy").stderr.splitlines()[-1] == \
            "vantrel: error: --split-copy goes with --split DIR"

    def test_progress_on_a_terminal_and_ctrl_c(self, videos, tmp_path):
        long = cuts(videos, "out-long.mkv", X264, size="640x360", sources=("testsrc2", "mandelbrot", "smptebars"),
                    seconds=4)
        master, slave = pty.openpty()
        child = subprocess.Popen([sys.executable, "-m", "vantrel", str(long), "--split", str(tmp_path / "all"),
                                  "-o", str(tmp_path / "long.txt")],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
        os.close(slave)
        seen = b""
        while select.select([master], [], [], 120)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        assert child.wait(timeout=60) == 0
        assert re.search(rb"\[[#.]{24}\] +\d+\.\d%  cutting out-long\.mkv: scene 2/3", seen), seen[-300:]
        assert len(list((tmp_path / "all").iterdir())) == 3

        out = tmp_path / "interrupted"
        child = interrupt(["-m", "vantrel", long, "--split", out, "-o", tmp_path / "never.txt"],
                          (out / "out-long-scene-001.mp4").exists)
        assert child.returncode == 130 and child.stderr == "vantrel: interrupted\n"
        # The finished clip stays; the one being cut is gone, and so is its ffmpeg.
        assert [p.name for p in out.iterdir()] == ["out-long-scene-001.mp4"]
        assert not (tmp_path / "never.txt").exists()
        left = [(pid, _cmdline(pid)) for pid in os.listdir("/proc") if pid.isdigit() and str(out) in _cmdline(pid)]
        assert left == []


    def test_without_the_ffmpeg_tool_or_when_it_fails(self, clip, tmp_path):
        tools = tmp_path / "bin"
        tools.mkdir()
        for option, target in (("--split", tmp_path / "clips"), ("--report", tmp_path / "r.html")):
            run = run_vantrel_with_path(tools, clip, option, target, "-o", tmp_path / "cut.txt")
            assert run.returncode == 1
            assert run.stderr.splitlines() == [f"vantrel: {clip}: {option} needs the ffmpeg tool on PATH"]
        fake = tools / "ffmpeg"
        fake.write_text("#!/bin/sh\necho 'Conversion failed!' >&2\nexit 1\n")
        fake.chmod(0o755)
        run = run_vantrel_with_path(tools, clip, "--split", tmp_path / "clips", "-o", tmp_path / "cut.txt")
        assert run.returncode == 1
        assert run.stderr.splitlines() == [
            f"vantrel: {clip}: cannot cut scene 1 into {tmp_path}/clips/out-cut-scene-001.mp4: Conversion failed!"]
        assert list((tmp_path / "clips").iterdir()) == [] and not (tmp_path / "cut.txt").exists()


def run_vantrel_with_path(tools: Path, *args):
    return subprocess.run([sys.executable, "-m", "vantrel", *map(str, args)], capture_output=True, text=True,
                          env={**os.environ, "PATH": str(tools)}, stdin=subprocess.DEVNULL, timeout=120)


def _cmdline(pid: str) -> str:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes().decode(errors="replace")
    except OSError:
        return ""


def has_module(name):
    import importlib.util
    return importlib.util.find_spec(name) is not None


def read_table(path):
    pq = pytest.importorskip("pyarrow.parquet")
    return pq.read_table(path).to_pylist()


class TestBatches:
    def test_every_format_in_a_batch(self, batch, tmp_path):
        inputs = sorted(batch.iterdir())
        for fmt in FORMATS.values():
            if fmt.name == "otio" and not has_module("opentimelineio"):
                continue  # its reader test reports the skip
            run = vantrel_ok(batch, "-r", "-d", tmp_path / fmt.name, "-f", fmt.name, "-j", "2")
            assert summary(run.stderr).startswith("vantrel: 3 done, 0 skipped, 0 failed; ")
            for path in inputs:
                expected = fmt.render(vantrel.analyze(path, on_decode_error="skip"), str(path))
                assert (tmp_path / fmt.name / f"{path.stem}.{fmt.extension}").read_text() == expected, fmt.name

    def test_scores_reports_clips_and_table_resume_and_ray(self, batch, tmp_path):
        pytest.importorskip("pyarrow")
        inputs = sorted(batch.iterdir())

        def run(folder, *extra):
            folder.mkdir(exist_ok=True)
            return run_vantrel(batch, "-r", "-d", folder / "out", "-f", "jsonl", "--stats", folder / "stats",
                               "--report", folder / "reports", "--split", folder / "clips",
                               "--table", folder / "scenes.parquet", "-j", "2", *extra, timeout=300)

        local = tmp_path / "local"
        first = run(local)
        assert first.returncode == 0, first.stderr
        assert sorted(p.name for p in (local / "stats").iterdir()) == [f"clip{i}.scores.csv" for i in range(3)]
        assert sorted(p.name for p in (local / "reports").iterdir()) == [f"clip{i}.html" for i in range(3)]
        rows = [json.loads(line) for p in inputs for line in (local / "out" / f"{p.stem}.jsonl").open()]
        assert read_table(local / "scenes.parquet") == rows
        assert rows == [row for p in inputs for row in vantrel.scene_rows(p, on_decode_error="skip")]
        assert frame_counts(local / "clips") == {f"{Path(r['input']).stem}-scene-{r['scene']:03d}.mp4":
                                                 r["frame_count"] for r in rows}

        # Done: every file skipped, the table kept whole.
        again = run(local)
        assert summary(again.stderr).startswith("vantrel: 0 done, 3 skipped, 0 failed")
        assert read_table(local / "scenes.parquet") == rows
        # An input missing one of its files is done again, alone.
        (local / "reports" / "clip1.html").unlink()
        resumed = run(local)
        assert summary(resumed.stderr).startswith("vantrel: 1 done, 2 skipped, 0 failed")
        assert (local / "reports" / "clip1.html").exists()
        assert read_table(local / "scenes.parquet") == rows

        pytest.importorskip("ray")
        ray = tmp_path / "ray"
        on_ray = run(ray, "--ray")
        assert on_ray.returncode == 0, on_ray.stderr
        for part in ("out", "stats", "reports"):
            assert {p.name: p.read_bytes() for p in (ray / part).iterdir()} == \
                   {p.name: p.read_bytes() for p in (local / part).iterdir()}, part
        assert read_table(ray / "scenes.parquet") == rows
        assert frame_counts(ray / "clips") == frame_counts(local / "clips")

    def test_a_table_added_to_a_finished_batch_says_what_it_lacks(self, batch, tmp_path):
        pytest.importorskip("pyarrow")
        out, table = tmp_path / "out", tmp_path / "scenes.parquet"
        vantrel_ok(batch, "-r", "-d", out)
        run = vantrel_ok(batch, "-r", "-d", out, "--table", table)
        assert f"vantrel: {table}: no rows for 3 skipped inputs (done by a run without --table); --overwrite " \
               "analyses them again" in run.stderr.splitlines()
        assert read_table(table) == []
        vantrel_ok(batch, "-r", "-d", out, "--table", table, "--overwrite")
        assert len(read_table(table)) == 7

    def test_a_table_row_per_scene_for_one_input(self, clip, scenes, tmp_path):
        pytest.importorskip("pyarrow")
        table = tmp_path / "one.parquet"
        vantrel_ok(clip, "--table", table, "-o", tmp_path / "cut.txt")
        assert read_table(table) == vantrel.scene_rows(clip)
        assert [(r["scene"], r["start_frame"], r["frame_count"]) for r in read_table(table)] == [
            (n, s.start_frame, 30) for n, s in enumerate(scenes, 1)]


def test_the_ray_data_recipe_on_a_private_local_instance(batch, tmp_path):
    pytest.importorskip("ray.data")
    paths = [str(p) for p in sorted(batch.iterdir())]
    script = textwrap.dedent("""
        import json, sys
        import ray
        import vantrel

        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
        rows = ray.data.from_items(sys.argv[1:]).flat_map(lambda row: vantrel.scene_rows(row["item"])).take_all()
        print(json.dumps(rows, default=lambda value: value.item()))
    """)
    run = subprocess.run([sys.executable, "-c", script, *paths], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr[-3000:]
    rows = json.loads(run.stdout.splitlines()[-1])
    expected = [row for path in paths for row in vantrel.scene_rows(path)]
    assert sorted(rows, key=lambda r: (r["input"], r["scene"])) == expected
    assert len(expected) == 7


@pytest.mark.parametrize("module, args, message", [
    ("opentimelineio", ["-f", "otio"], "-f otio needs OpenTimelineIO: pip install 'vantrel-rs[otio]'"),
    ("pyarrow", ["--table", "t.parquet"], "--table needs pyarrow: pip install 'vantrel-rs[table]'"),
])
def test_a_missing_extra_is_a_usage_error(clip, tmp_path, module, args, message):
    fake = tmp_path / "fake" / module
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text(f"raise ImportError('no {module} here')\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(fake.parent), os.environ.get("PYTHONPATH", "")])}
    run = subprocess.run([sys.executable, "-m", "vantrel", str(clip), *args], capture_output=True, text=True,
                         env=env, stdin=subprocess.DEVNULL, timeout=60, cwd=tmp_path)
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.splitlines()[-1] == f"vantrel: error: {message}"
