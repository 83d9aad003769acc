"""The real footage's labels (bench/accuracy/real/) hold together, the clips already fetched are the
bytes and frames labelled, and the labelling tools number frames right and refuse bad input.
Nothing is downloaded: the checks of fetched clips skip the clips that are not cached."""
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
from bench.accuracy.real import footage, sheet  # noqa: E402

from conftest import FFMPEG, FFPROBE  # noqa: E402

CLIPS = footage.labels()
KEYS = {"source", "frames", "fps", "size", "codec", "kind", "cuts", "gradual", "doubtful", "split", "comment"}


def span(entry):
    return entry.get("range", [0, entry["frames"] - 1])


@pytest.mark.parametrize("name", sorted(CLIPS))
class TestLabels:
    def test_fields_and_source(self, name):
        entry = CLIPS[name]
        assert KEYS <= set(entry), KEYS - set(entry)
        source = entry["source"]
        assert source["registry"] in ("deb", "deb-src", "pypi")
        assert re.fullmatch(r"[0-9a-f]{64}", source["sha256"])
        assert source["licence"]
        assert entry["split"] in ("tuning", "held-out")

    def test_transitions_are_ordered_inside_the_clip_and_apart(self, name):
        entry = CLIPS[name]
        lo, hi = span(entry)
        cuts, gradual = entry["cuts"], entry["gradual"]
        assert cuts == sorted(set(cuts))
        assert all(lo < c <= hi for c in cuts)
        for first, last, kind in gradual:
            assert kind in ("dissolve", "fade")
            assert lo <= first <= last <= hi
        assert all(a[1] < b[0] for a, b in zip(gradual, gradual[1:])), "gradual spans overlap or are unsorted"
        assert not [c for c in cuts if any(f <= c <= l for f, l, _ in gradual)], "a cut inside a gradual span"

    def test_doubtful_labels_are_cuts_or_spans_not_also_labelled(self, name):
        entry = CLIPS[name]
        lo, hi = span(entry)
        for d in entry["doubtful"]:
            first, last = (d, d) if isinstance(d, int) else (d[0], d[1])
            assert isinstance(d, int) or d[2] in ("dissolve", "fade")
            assert lo <= first <= last <= hi
            assert first not in entry["cuts"]


def test_ranges_of_one_file_do_not_overlap_and_both_halves_are_used():
    by_file = {}
    for entry in CLIPS.values():
        by_file.setdefault(entry["source"]["sha256"], []).append(span(entry))
    for spans in by_file.values():
        spans.sort()
        assert all(a[1] < b[0] for a, b in zip(spans, spans[1:]))
    assert {e["split"] for e in CLIPS.values()} == {"tuning", "held-out"}


def cached(name):
    source = CLIPS[name]["source"]
    path = footage.CLIPS / f"{source['package']}_{Path(source.get('inner', source['path'])).name}"
    if not path.exists():
        pytest.skip(f"{name} is not fetched (python bench/accuracy/real/footage.py)")
    return path


@pytest.mark.parametrize("name", sorted({e["source"]["sha256"]: n for n, e in sorted(CLIPS.items())}.values()))
def test_a_fetched_file_is_the_bytes_and_frames_labelled(name):
    """The labels name decoded frames: an FFmpeg build that decoded another count would shift them.
    (Once per file: the film's two halves share one.)"""
    cached(name)
    path = footage.clip_path(name)  # refuses other bytes
    frames = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                             "stream=nb_read_frames", "-of", "json", str(path)],
                            check=True, capture_output=True, text=True).stdout
    assert int(json.loads(frames)["streams"][0]["nb_read_frames"]) == CLIPS[name]["frames"]


# ------------------------------------------------------------------ the tools

@pytest.fixture(scope="module")
def numbered(tmp_path_factory):
    """40 grey frames whose brightness is 6 x their frame number, lossless."""
    out = tmp_path_factory.mktemp("video") / "numbered.mkv"
    subprocess.run([FFMPEG, "-v", "error", "-f", "lavfi", "-i", "color=c=black:s=64x48:r=25:d=1.6,format=gray,"
                    "geq=lum='6*N'", "-c:v", "ffv1", str(out)], check=True, stdin=subprocess.DEVNULL)
    return out


def thumbnail_levels(png, count, cols, width):
    """The brightness at the lower middle of each thumbnail (below the stamped number)."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "json",
                            str(png)], check=True, capture_output=True, text=True).stdout
    w = json.loads(probe)["streams"][0]["width"]
    raw = subprocess.run([FFMPEG, "-v", "error", "-i", str(png), "-f", "rawvideo", "-pix_fmt", "gray", "-"],
                         check=True, capture_output=True).stdout
    height = width * 48 // 64
    levels = []
    for i in range(count):
        # tile: margin 2, padding 2 between thumbnails.
        x = 2 + (i % cols) * (width + 2) + width // 2
        y = 2 + (i // cols) * (height + 2) + height * 3 // 4
        levels.append(raw[y * w + x])
    return levels


class TestSheetNumbers:
    def test_a_range_with_a_step_shows_those_frames(self, numbered, tmp_path):
        out = sheet.draw(numbered, 5, 29, tmp_path / "s.png", step=4, width=64, cols=4)
        assert thumbnail_levels(out, 7, 4, 64) == pytest.approx([6 * f for f in range(5, 30, 4)], abs=2)

    def test_around_shows_three_before_and_two_after(self, numbered, tmp_path):
        out = sheet.draw_around(numbered, [10, 30], tmp_path / "a.png", width=64)
        expected = [6 * f for f in [*range(7, 13), *range(27, 33)]]
        assert thumbnail_levels(out, 12, 6, 64) == pytest.approx(expected, abs=2)

    def test_pages_hold_every_frame_once(self, numbered, tmp_path):
        sheet.draw(numbered, 0, 39, str(tmp_path / "p_%02d.png"), step=2, width=64, cols=4, pages=2)
        pages = sorted(tmp_path.glob("p_*.png"))
        assert len(pages) == 3  # 20 frames, 8 a page
        assert thumbnail_levels(pages[1], 8, 4, 64) == pytest.approx([6 * f for f in range(16, 32, 2)], abs=2)


def run_tool(tool, *args):
    return subprocess.run([sys.executable, str(footage.HERE / tool), *map(str, args)], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)


@pytest.mark.parametrize("tool, args, message", [
    ("footage.py", ["no_such_clip"], "unknown clip(s) no_such_clip"),
    ("sheet.py", ["{video}", "20", "10"], "0 <= FIRST <= LAST"),
    ("sheet.py", ["{video}", "0", "10", "--step", "0"], "--step >= 1"),
    ("sheet.py", ["{video}"], "give FIRST and LAST"),
    ("sheet.py", ["{video}", "--around", "10,x"], "--around takes comma-separated frame numbers"),
    ("candidates.py", ["{video}", "--detectors", "refined,magic"], "unknown detector(s) magic"),
])
def test_bad_input_is_refused_with_its_reason(numbered, tool, args, message):
    result = run_tool(tool, *[a.format(video=numbered) for a in args])
    assert result.returncode == 2
    assert message in result.stderr


def test_a_clip_whose_bytes_differ_is_refused(tmp_path, monkeypatch):
    name = sorted(CLIPS)[0]
    source = CLIPS[name]["source"]
    monkeypatch.setattr(footage, "CLIPS", tmp_path)
    (tmp_path / f"{source['package']}_{Path(source.get('inner', source['path'])).name}").write_bytes(b"not it")
    with pytest.raises(SystemExit, match="differs from the recorded"):
        footage.clip_path(name)
