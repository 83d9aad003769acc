"""Scene-list methods: each transition kind found on a generated example, none on hard negatives,
a threshold that only removes scenes, the refined method's results unchanged, and every method's
edges (no frame, one frame, a new picture size)."""
import importlib.util
import json
import math
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vantrel
import vantrel_rs
from conftest import FFMPEG, SIZE, SOFT, X264, damage, join_two, lavfi
from vantrel.methods import FAMILY

@pytest.fixture(scope="module")
def cut_clip(videos):
    return join_two(videos, "methods-cut.mkv", "concat=n=2:v=1")


@pytest.fixture(scope="module")
def negatives_clip(videos):
    """One shot with a two-frame flash and a slow rise and fall of the light: no scene changes."""
    args = [*lavfi("testsrc2", 4, size=SIZE), "-vf",
            f"{SOFT},lutyuv=y='clip(val+170,0,255)':enable='between(n,30,31)',"
            "eq=eval=frame:brightness='0.3*sin(PI*n/99)',format=yuv420p", *X264]
    return videos("negatives.mkv", args)


def kinds(a):
    return [t.kind for t in a.transitions]


@pytest.mark.parametrize("clip, kind, span", [("cut_clip", "cut", (50, 50)), ("dissolve_clip", "dissolve", (30, 50)),
                                              ("fade_clip", "fade", (30, 50))])
def test_each_kind_found_where_it_is(request, clip, kind, span):
    """Found once, its new scene starting inside the true transition (frames `span`)."""
    a = vantrel.analyze(request.getfixturevalue(clip), method="transitions")
    assert kinds(a) == [kind], a.transitions
    t = a.transitions[0]
    assert span[0] <= t.start_frame <= span[1] and t.first_frame <= t.start_frame <= t.last_frame + 1, t
    assert a.keyframes == [0, t.start_frame]
    assert (t.first_time, t.last_time) == (a.times[t.first_frame], a.times[t.last_frame])
    assert 0.0 < t.strength <= 1.0


def test_nothing_found_on_hard_negatives(negatives_clip):
    assert vantrel.analyze(negatives_clip, method="transitions").transitions == ()


def test_refined_misses_gradual_transitions_that_transitions_finds(dissolve_clip):
    """The point of the default method, on the simplest dissolve."""
    assert "dissolve" not in kinds(vantrel.analyze(dissolve_clip, method="refined"))


# The learned method's threshold is a probability, its runs may split: tests/python/test_learned.py.
@pytest.mark.parametrize("method", ["refined", "transitions"])
def test_raising_the_threshold_never_adds_scenes(method, cut_clip, dissolve_clip, fade_clip, negatives_clip):
    for clip in (cut_clip, dissolve_clip, fade_clip, negatives_clip):
        previous = None
        for threshold in (0.0, 0.05, 0.1, 0.2, 0.3, 0.5, 0.8, 1.0):
            starts = set(vantrel.analyze(clip, method=method, threshold=threshold).keyframes)
            if previous is not None:
                assert starts <= previous, (clip.name, method, threshold)
            previous = starts
        assert previous == {0}


def test_refined_is_the_analysis_list_and_its_cuts(cut_clip, dissolve_clip, fade_clip):
    for clip in (cut_clip, dissolve_clip, fade_clip):
        a = vantrel.analyze(clip, method="refined")
        assert a.keyframes == vantrel_rs.detect_frames(str(clip))
        assert a.pass_text == vantrel_rs.detect_pass(str(clip))
        assert a.method == "refined"
        assert [(t.kind, t.first_frame, t.last_frame, t.strength) for t in a.transitions] == \
            [("cut", k, k, None) for k in a.keyframes[1:]]
        assert vantrel.analyze(clip, method="refined", threshold=0.0) == a


def run_command(clip, *options):
    return subprocess.run([sys.executable, "-m", "vantrel", str(clip), *options], capture_output=True, text=True)


class TestDefaultAndFormerName:
    """transitions is the default of the API and the command; refined stays the vantrel_rs list;
    the former name gradual still selects transitions, with a warning, and is never shown."""

    def test_the_api_default_is_transitions(self, dissolve_clip):
        assert vantrel.methods.DEFAULT == "transitions" == vantrel.METHODS[0]
        a = vantrel.analyze(dissolve_clip)
        assert a.method == "transitions" and a == vantrel.analyze(dissolve_clip, method="transitions")

    def test_the_command_default_is_transitions_and_refined_the_vantrel_rs_list(self, dissolve_clip):
        plain, transitions, refined = (run_command(dissolve_clip, *options)
                                       for options in ((), ("--method", "transitions"), ("--method", "refined")))
        assert all(run.returncode == 0 and run.stderr == "" for run in (plain, transitions, refined))
        assert plain.stdout == transitions.stdout != refined.stdout
        assert refined.stdout == "".join(f"{k}\n" for k in vantrel_rs.detect_frames(str(dissolve_clip)))

    def test_the_former_name_warns_and_gives_transitions(self, dissolve_clip):
        with pytest.warns(DeprecationWarning, match="method 'gradual' is now called 'transitions'"):
            a = vantrel.analyze(dissolve_clip, method="gradual")
        assert a.method == "transitions" and a == vantrel.analyze(dissolve_clip)
        assert vantrel.methods.lookup("gradual") is vantrel.methods.lookup("transitions")

    def test_the_command_takes_the_former_name_with_one_warning_line(self, dissolve_clip):
        runs = {(fmt, method): run_command(dissolve_clip, "-f", fmt, "--method", method)
                for fmt in ("json", "jsonl") for method in ("gradual", "transitions")}
        for fmt in ("json", "jsonl"):
            old, new = runs[fmt, "gradual"], runs[fmt, "transitions"]
            assert old.returncode == 0 and old.stdout == new.stdout
            assert old.stderr == "vantrel: warning: --method gradual is now called transitions\n"
        assert json.loads(runs["json", "gradual"].stdout)["method"] == "transitions"
        assert json.loads(runs["jsonl", "gradual"].stdout.splitlines()[1])["transition"] == "dissolve"

    def test_help_lists_the_default_first_with_its_reason_and_not_the_former_name(self):
        out = subprocess.run([sys.executable, "-m", "vantrel", "--help"], capture_output=True, text=True,
                             check=True).stdout
        flat = " ".join(out.split())
        assert "--method {transitions,refined,learned,combined}" in flat and "gradual:" not in flat
        assert "how scenes are found: transitions (the default, the most accurate classical method, F1 " in flat


def test_outputs_show_transitions_of_gradual_methods_only(dissolve_clip, tmp_path):
    def run(*extra):
        return subprocess.run([sys.executable, "-m", "vantrel", str(dissolve_clip), *extra],
                              capture_output=True, text=True, check=True).stdout
    refined = json.loads(run("-f", "json", "--method", "refined"))
    assert "transitions" not in refined and "method" not in refined
    doc = json.loads(run("-f", "json", "--method", "transitions"))
    assert doc["method"] == "transitions"
    (t,) = doc["transitions"]
    assert t["kind"] == "dissolve" and t["first_frame"] < t["start_frame"] < t["last_frame"]
    assert doc["keyframes"] == [0, t["start_frame"]]
    rows = [json.loads(line) for line in run("-f", "jsonl", "--method", "transitions").splitlines()]
    assert [r["transition"] for r in rows] == [None, "dissolve"]
    assert (rows[1]["transition_first_frame"], rows[1]["transition_last_frame"]) == (t["first_frame"], t["last_frame"])
    assert "transition" not in json.loads(run("-f", "jsonl", "--method", "refined").splitlines()[0])


@pytest.mark.parametrize("options, error, text", [
    ({"method": "fast"}, ValueError, "method must be one of transitions, refined, learned, combined, not 'fast'"),
    ({"method": None}, ValueError, "method must be one of transitions, refined, learned, combined"),
    ({"threshold": -0.1}, ValueError, "threshold must be from 0 to 1, not -0.1"),
    ({"threshold": 1.5}, ValueError, "threshold must be from 0 to 1, not 1.5"),
    ({"threshold": math.nan}, ValueError, "threshold must be from 0 to 1, not nan"),
    ({"threshold": "0.2"}, TypeError, "threshold must be a number from 0 to 1, not str"),
])
def test_bad_method_or_threshold_names_the_accepted_values(cut_clip, options, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(")):
        vantrel.analyze(cut_clip, **options)


@pytest.mark.parametrize("args, text", [
    (["--method", "fast"],
     "argument --method: invalid choice: 'fast' (choose from 'transitions', 'refined', 'learned', 'combined')"),
    (["--threshold", "2"], "--threshold must be from 0 to 1, not 2.0"),
    (["--threshold", "x"], "argument --threshold: invalid float value: 'x'"),
])
def test_command_refuses_bad_method_or_threshold(cut_clip, args, text):
    out = subprocess.run([sys.executable, "-m", "vantrel", str(cut_clip), *args], capture_output=True, text=True)
    assert out.returncode == 2
    assert text in out.stderr


def test_help_describes_every_method_and_groups_the_statistics_options():
    out = subprocess.run([sys.executable, "-m", "vantrel", "--help"], capture_output=True, text=True,
                         check=True).stdout
    flat = " ".join(out.split())
    for name in vantrel.METHODS:
        assert re.search(rf"\b{name}( \(the default, [^)]+\))?: ", flat), name
    stats = flat.index("first-pass statistics")
    assert stats < flat.index("motion search radius") and stats < flat.index("weight of the histogram change")
    assert "--threshold X" in flat


def test_the_docs_describe_every_method_its_default_threshold_and_models():
    root = Path(__file__).resolve().parents[2]
    docs = "".join(path.read_text() for path in [root / "README.md", *sorted((root / "docs").glob("*.md"))])
    for m in FAMILY:
        assert f"  - `{m.name}`" in docs
        if m.threshold:
            assert f"`{m.name}` {m.threshold}" in docs
        if m.models:
            [line] = [line for line in docs.splitlines() if line.startswith(f"- `--model {'|'.join(m.models)}` (")]
            assert f"`--method {m.name}`" in line


def test_table_and_report_show_the_transitions(dissolve_clip, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    table, report = tmp_path / "scenes.parquet", tmp_path / "report.html"
    for method in ("refined", "transitions"):
        subprocess.run([sys.executable, "-m", "vantrel", str(dissolve_clip), "-o", str(tmp_path / "frames.txt"),
                        "--method", method, "--table", str(table), "--report", str(report), "--overwrite"],
                       capture_output=True, text=True, check=True)
        rows = pq.read_table(table).to_pylist()
        page = report.read_text()
        if method == "refined":
            assert "transition" not in rows[0]
            assert "gradual transition" not in page
        else:
            assert [r["transition"] for r in rows] == [None, "dissolve"]
            assert rows[1]["transition_first_frame"] < rows[1]["start_frame"] <= rows[1]["transition_last_frame"]
            assert "<title>dissolve: frames" in page and "gradual transition" in page


def test_strengths_are_the_histogram_distances_of_the_decoded_pictures(cut_clip, dissolve_clip, fade_clip):
    """At native resolution the measured plane is the decoded luma, which the ffmpeg tool gives too:
    each strength is half the L1 distance of the 64-bin histograms of the frames around it."""
    np = pytest.importorskip("numpy")
    found = 0
    for clip in (cut_clip, dissolve_clip, fade_clip):
        planes = subprocess.run([FFMPEG, "-v", "error", "-i", str(clip), "-vf", "extractplanes=y", "-f", "rawvideo",
                                 "-pix_fmt", "gray", "-"], capture_output=True, check=True).stdout
        frames = np.frombuffer(planes, np.uint8).reshape(-1, 180 * 320)
        hist = [np.bincount(f >> 2, minlength=64).astype(np.int64) for f in frames]
        for method, threshold in (("transitions", 0.0), ("refined", 0.01)):
            for t in vantrel.analyze(clip, native_res=True, method=method, threshold=threshold).transitions:
                before, after = (t.first_frame, t.last_frame) if t.kind == "dissolve" else \
                    (t.first_frame - 1, t.last_frame + 1 if t.kind == "fade" else t.last_frame)
                assert t.strength == int(abs(hist[before] - hist[after]).sum()) / (2 * 320 * 180), t
                found += 1
    assert found >= 5


def test_transitions_runs_in_the_one_decode_with_damage_skipped_and_progress(dissolve_clip, tmp_path):
    """Its measures follow the decoded frames: a damaged packet skipped, the frames stay aligned."""
    clean = tmp_path / "clean.avi"
    subprocess.run([FFMPEG, "-v", "error", "-i", str(dissolve_clip), "-c:v", "mjpeg", "-pix_fmt", "yuvj420p",
                    str(clean)], check=True)
    damaged = tmp_path / "damaged.avi"
    damage(clean, damaged, 10, 2)
    reports = []
    a = vantrel.analyze(damaged, method="transitions", on_decode_error="skip", progress=reports.append)
    lost = len(a.decode_errors)
    assert lost and [e.frame for e in a.decode_errors] == [10] * lost
    assert a.frame_count == vantrel.analyze(clean).frame_count - lost == reports[-1].frames
    assert kinds(a) == ["dissolve"] and 28 <= a.transitions[0].start_frame <= 48

    def stop(progress):
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        vantrel.analyze(damaged, method="transitions", on_decode_error="skip", progress=stop)


def test_a_new_picture_size_is_measured_as_it_comes(size_change_clip):
    """320x240 then 640x360 (reduced 128x96, then 160x90): the picture changes size at frame 25,
    where the analysis cuts; the measures of both sizes compare."""
    refined = vantrel.analyze(size_change_clip, method="refined")
    a = vantrel.analyze(size_change_clip, method="transitions", threshold=0.0)
    assert 25 in refined.keyframes and 25 in a.keyframes
    assert [t.kind for t in a.transitions if t.start_frame == 25] == ["cut"]


def every_method():
    """The family's names, a method skipped where what it needs is not installed."""
    return [pytest.param(m.name, marks=pytest.mark.skipif(
        not all(importlib.util.find_spec(name) for name in m.needs), reason=f"needs {m.install}")) for m in FAMILY]


@pytest.fixture(scope="module")
def edge_clips(videos, tmp_path_factory, size_change_clip):
    whole = videos("edge-whole.webm", [*lavfi("testsrc2", 2), "-c:v", "libvpx", "-b:v", "200k"])
    truncated = tmp_path_factory.mktemp("edges") / "first-kilobyte.webm"
    truncated.write_bytes(whole.read_bytes()[:1024])
    return {"no frame": truncated, "one frame": videos("edge-one.mp4", [*lavfi("testsrc2", 0.04), *X264]),
            "size change": size_change_clip}


@pytest.mark.parametrize("method", every_method())
class TestEdges:
    """Every method starts its list on frame 0, as the module does, whatever the video yields."""

    def test_a_video_without_frames_has_frame_0_and_no_scene(self, edge_clips, method):
        a = vantrel.analyze(edge_clips["no frame"], method=method, scores=True)
        assert (a.frame_count, a.keyframes, a.scenes, a.transitions) == (0, [0], (), ())
        assert a.keyframes == vantrel_rs.detect_frames(str(edge_clips["no frame"]))
        limited = vantrel.analyze(edge_clips["no frame"], method=method, min_scene_len=0.5, max_scene_len=10)
        assert (limited.keyframes, limited.scenes) == ([0], ())

    def test_one_frame_is_one_scene(self, edge_clips, method):
        a = vantrel.analyze(edge_clips["one frame"], method=method)
        assert (a.frame_count, a.keyframes, a.transitions) == (1, [0], ())
        assert [(s.start_frame, s.end_frame) for s in a.scenes] == [(0, 0)]

    def test_a_new_picture_size_mid_stream(self, edge_clips, method):
        a = vantrel.analyze(edge_clips["size change"], method=method, threshold=0.0)
        assert a.frame_count == 50
        assert a.keyframes[0] == 0 and a.keyframes == sorted(set(a.keyframes)) and a.keyframes[-1] < 50
        assert [t.start_frame for t in a.transitions] == a.keyframes[1:]
        assert [s.start_frame for s in a.scenes] == a.keyframes and a.scenes[-1].end_frame == 49
