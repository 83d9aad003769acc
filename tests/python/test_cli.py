"""The `vantrel` command end to end, in subprocesses, on generated clips."""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import FFPROBE, interrupt, probe_frame_count
from conftest import command as vantrel

vantrel_rs = pytest.importorskip("vantrel_rs")
from vantrel.cli.inputs import output_stems  # noqa: E402
from vantrel.time_text import timecode  # noqa: E402

CUT = 50  # first frame of the second source: 2 s at 25 frames/s


@pytest.fixture(scope="module")
def clip(videos):
    return videos.cut("cli_cut.mkv", first=("testsrc", 2.0), second=("smptebars", 2.0))


@pytest.fixture(scope="module")
def batch(videos, tmp_path_factory):
    """A folder of different clips, two of them sharing a stem, one in a subfolder."""
    root = tmp_path_factory.mktemp("batch")
    sources = [("testsrc", "smptebars", 1.0), ("smptebars", "testsrc2", 1.5), ("rgbtestsrc", "testsrc", 0.8)]
    for i, (a, b, seconds) in enumerate(sources):
        made = videos.cut(f"batch{i}.mkv", first=(a, seconds), second=(b, seconds))
        shutil.copy(made, root / f"clip{i}.mkv")
    (root / "sub").mkdir()
    shutil.copy(root / "clip0.mkv", root / "sub" / "clip1.mkv")
    (root / "notes.txt").write_text("not a video, and not picked up by --recursive\n")
    return root


def expected_scenes(keyframes, frame_count):
    ends = [k - 1 for k in keyframes[1:]] + [frame_count - 1]
    return list(zip(keyframes, ends))


def listing(folder):
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def summary(stderr):
    return [line for line in stderr.splitlines() if " done, " in line][-1]


def test_every_format_exactly(clip, tmp_path):
    keyframes = vantrel_rs.detect_frames(str(clip))
    pass_text = vantrel_rs.detect_pass(str(clip))
    frame_count = probe_frame_count(clip)
    assert keyframes[0] == 0 and CUT in keyframes and frame_count == 100
    assert pass_text.count("\n") == 3 + frame_count

    def out(fmt):
        run = vantrel(clip, "--format", fmt, "--method", "refined")
        assert run.returncode == 0 and run.stderr == ""
        return run.stdout

    assert out("frames") == "".join(f"{k}\n" for k in keyframes)
    assert out("keyframes") == "# keyframe format v1\nfps 0\n" + "".join(f"{k}\n" for k in keyframes)
    assert out("qpfile") == "".join(f"{k} I\n" for k in keyframes)
    assert out("xvid") == pass_text
    scenes = expected_scenes(keyframes, frame_count)
    assert out("csv") == "start_frame,end_frame,start_time,end_time\n" + "".join(
        f"{s},{e},{s / 25:.3f},{(e + 1) / 25:.3f}\n" for s, e in scenes)
    assert json.loads(out("json")) == {
        "input": str(clip), "frame_count": frame_count, "fps": "25/1", "fps_float": 25.0, "keyframes": keyframes,
        "scenes": [{"start_frame": s, "end_frame": e, "start_time": s / 25, "end_time": (e + 1) / 25}
                   for s, e in scenes]}
    # -o writes the same bytes as standard output.
    assert vantrel(clip, "-f", "csv", "--method", "refined", "-o", tmp_path / "cut.csv").returncode == 0
    assert (tmp_path / "cut.csv").read_text() == out("csv")


def test_timecodes_round_to_milliseconds():
    assert [timecode(t) for t in (0.0, 0.0004, 0.0005, 59.9996, 3723.25, 36000.0)] == [
        "00:00:00.000", "00:00:00.000", "00:00:00.000", "00:01:00.000", "01:02:03.250", "10:00:00.000"]


def test_a_stream_without_frames_has_no_scene(videos, tmp_path):
    clip = videos("cli-zero.avi", ["-f", "lavfi", "-i", "testsrc=size=64x48:rate=25", "-frames:v", "0",
                                   "-c:v", "mpeg4"])
    run = vantrel(clip, "-f", "json")
    assert run.returncode == 0, run.stderr
    doc = json.loads(run.stdout)
    assert (doc["frame_count"], doc["keyframes"], doc["scenes"]) == (0, [0], [])
    assert vantrel(clip, "-f", "csv").stdout == "start_frame,end_frame,start_time,end_time\n"


def test_output_names_tag_only_colliding_stems():
    names = output_stems(["a/clip.mkv", "b/clip.mp4", "b/other.mkv"])
    assert names[2] == "other"
    assert names[0] != names[1] and all(n.startswith("clip-") and len(n) == 13 for n in names[:2])
    assert output_stems(["a/clip.mkv", "b/clip.mp4", "b/other.mkv"]) == names


def test_batch_with_a_corrupt_file(batch, tmp_path):
    corrupt = tmp_path / "corrupt.mp4"
    corrupt.write_bytes(os.urandom(4096))
    out = tmp_path / "out"
    run = vantrel(batch / "clip0.mkv", corrupt, batch / "clip1.mkv", batch / "clip2.mkv", "-d", out, "-j", "2",
                  "--method", "refined")
    assert run.returncode == 1
    assert (f"vantrel: {corrupt}: input/output error: failed to open input: {corrupt}: "
            "Invalid data found when processing input") in run.stderr.splitlines()
    assert summary(run.stderr).startswith("vantrel: 3 done, 0 skipped, 1 failed; ")
    assert sorted(listing(out)) == ["clip0.txt", "clip1.txt", "clip2.txt"]
    expected = "".join(f"{k}\n" for k in vantrel_rs.detect_frames(str(batch / "clip1.mkv")))
    assert (out / "clip1.txt").read_text() == expected
    frames = sum(probe_frame_count(batch / f"clip{i}.mkv") for i in range(3))
    assert f"; {frames} frames in " in summary(run.stderr)


def test_recursive_batch_resumes_and_overwrites(batch, tmp_path):
    out = tmp_path / "out"
    first = vantrel(batch, "--recursive", "-d", out, "-f", "json", "-j", "2")
    assert first.returncode == 0, first.stderr
    assert summary(first.stderr).startswith("vantrel: 4 done, 0 skipped, 0 failed; ")
    names = sorted(listing(out))
    # clip1 exists twice (top folder and sub/): both outputs exist under distinct names.
    assert len(names) == 4 and "clip0.json" in names and "clip2.json" in names
    assert sum(n.startswith("clip1-") for n in names) == 2
    done = listing(out)

    (out / "clip2.json").unlink()
    second = vantrel(batch, "-r", "-d", out, "-f", "json", "-j", "2")
    assert second.returncode == 0
    assert summary(second.stderr).startswith("vantrel: 1 done, 3 skipped, 0 failed; ")
    assert f"vantrel: skipped {batch / 'clip0.mkv'}: {out / 'clip0.json'} exists" in second.stderr.splitlines()
    assert listing(out) == done

    third = vantrel(batch, "-r", "-d", out, "-f", "json", "--overwrite")
    assert summary(third.stderr).startswith("vantrel: 4 done, 0 skipped, 0 failed; ")
    assert listing(out) == done


def test_one_and_two_jobs_give_identical_outputs(batch, tmp_path):
    for jobs in ("1", "2"):
        run = vantrel(batch, "-r", "-d", tmp_path / jobs, "-f", "csv", "-j", jobs)
        assert run.returncode == 0, run.stderr
        frames = sum(probe_frame_count(p) for p in batch.rglob("*.mkv"))
        assert summary(run.stderr).startswith(f"vantrel: 4 done, 0 skipped, 0 failed; {frames} frames in ")
        assert summary(run.stderr).endswith(" frames/s")
    assert listing(tmp_path / "1") == listing(tmp_path / "2")
    assert len(listing(tmp_path / "1")) == 4


def test_interrupt_keeps_finished_outputs_and_leaves_no_partial_file(videos, tmp_path):
    long_clip = videos.cut("cli_long.mkv", first=("testsrc", 20.0), second=("smptebars", 20.0))
    inputs = []
    for i in range(8):
        inputs.append(tmp_path / f"in{i}.mkv")
        shutil.copy(long_clip, inputs[-1])
    out = tmp_path / "out"
    child = interrupt(["-m", "vantrel", *inputs, "-d", out, "-f", "xvid", "-j", "1"],
                      lambda: out.exists() and any(p.suffix == ".stats" for p in out.iterdir()))
    assert child.returncode == 130
    assert "vantrel: interrupted: " in child.stderr
    kept = listing(out)
    assert 1 <= len(kept) < 8
    expected = vantrel_rs.detect_pass(str(long_clip))
    assert all(name.endswith(".stats") and data.decode() == expected for name, data in kept.items())

    resumed = vantrel(*inputs, "-d", out, "-f", "xvid")
    assert resumed.returncode == 0
    assert summary(resumed.stderr).startswith(f"vantrel: {8 - len(kept)} done, {len(kept)} skipped, 0 failed")
    assert len(listing(out)) == 8


def test_ray_batch_reports_like_a_local_run(batch, tmp_path):
    pytest.importorskip("ray")
    corrupt = tmp_path / "corrupt.mkv"
    corrupt.write_bytes(os.urandom(4096))
    runs = {}
    for mode, extra in (("local", []), ("ray", ["--ray"])):
        runs[mode] = vantrel(batch, corrupt, "-r", "-d", tmp_path / mode, "-f", "json", "-j", "2", *extra,
                             timeout=300)
        assert runs[mode].returncode == 1, runs[mode].stderr
    assert listing(tmp_path / "ray") == listing(tmp_path / "local")

    def report(stderr):
        lines = [line.replace(str(tmp_path / "ray"), "OUT").replace(str(tmp_path / "local"), "OUT")
                 for line in stderr.splitlines() if line.startswith("vantrel: ")]
        return sorted(line.split("; ")[0] if " done, " in line else line for line in lines)

    assert report(runs["ray"].stderr) == report(runs["local"].stderr)
    assert (f"vantrel: {corrupt}: input/output error: failed to open input: {corrupt}: "
            "Invalid data found when processing input") in report(runs["ray"].stderr)


def test_contact_sheet(clip, tmp_path):
    sheet = tmp_path / "sheet.jpg"
    run = vantrel(clip, "--contact-sheet", sheet, "-o", tmp_path / "cut.txt", "--method", "refined")
    assert run.returncode == 0 and run.stderr == ""
    scenes = len(vantrel_rs.detect_frames(str(clip)))
    probe = subprocess.run([FFPROBE, "-v", "error", "-show_entries", "stream=codec_name,width,height",
                            "-of", "json", str(sheet)], capture_output=True, text=True, check=True)
    stream = json.loads(probe.stdout)["streams"][0]
    # Thumbnails 240 wide (160x96 scaled: 144 high), 4 pixels of margin and padding, up to 6 a row.
    columns = min(scenes, 6)
    rows = -(-scenes // 6)
    assert (stream["codec_name"], stream["width"], stream["height"]) == (
        "mjpeg", 8 + columns * 240 + (columns - 1) * 4, 8 + rows * 144 + (rows - 1) * 4)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cut.txt", "sheet.jpg"]
    # The same permissions as the other outputs under the usual umask.
    assert sheet.stat().st_mode & 0o777 == (tmp_path / "cut.txt").stat().st_mode & 0o777 == 0o644


def test_bad_hwdec_reports_the_module_message(clip):
    run = vantrel(clip, "--hwdec", "nonsense")
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr.splitlines() == [f"vantrel: {clip}: configuration error: unknown --hwdec: nonsense"]


def test_help_and_usage_errors(clip, batch, tmp_path):
    help_run = vantrel("--help")
    assert help_run.returncode == 0 and help_run.stdout.startswith("usage: vantrel ")

    def usage_error(*args):
        run = vantrel(*args)
        assert run.returncode == 2 and run.stdout == ""
        return run.stderr.splitlines()[-1]

    assert usage_error(batch, "-d", tmp_path) == \
        f"vantrel: error: {batch} is a folder: add --recursive to analyse the videos in it"
    assert usage_error(clip, clip, "-o", tmp_path / "x") == \
        "vantrel: error: -o/--output takes one input; use --output-dir DIR for several"
    assert usage_error(clip, batch / "clip0.mkv") == "vantrel: error: several inputs, or a folder, need --output-dir DIR"
    assert usage_error(clip, "-j", "0") == "vantrel: error: --jobs must be at least 1"
    assert usage_error(tmp_path, "-r", "-d", tmp_path / "o") == "vantrel: error: no video files found in the folders given"


def test_ray_missing_or_unreachable_is_a_clear_usage_error(clip, tmp_path):
    fake = tmp_path / "fake" / "ray"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('no ray here')\n")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(fake.parent), os.environ.get("PYTHONPATH", "")])}
    run = subprocess.run([sys.executable, "-m", "vantrel", str(clip), "--ray"], capture_output=True, text=True,
                         env=env, stdin=subprocess.DEVNULL, timeout=60)
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.splitlines()[-1] == "vantrel: --ray needs Ray: pip install 'vantrel-rs[ray]'"


def test_every_detector_setting_has_one_option_with_help():
    from vantrel.cli.options import DETECTOR_HELP, build_parser, option_name
    from vantrel.settings import _DETECTOR_INTS, _DETECTOR_SIGNED, DETECTOR_FIELDS
    assert sorted(DETECTOR_HELP) == sorted(DETECTOR_FIELDS)
    assert set(_DETECTOR_INTS) | set(_DETECTOR_SIGNED) <= set(DETECTOR_FIELDS)
    options = [a.option_strings for a in build_parser()._actions if a.dest in DETECTOR_FIELDS]
    assert options == [[option_name(name)] for name in DETECTOR_FIELDS]


def test_type_stub_matches_the_module():
    import ast
    import inspect

    stub = ast.parse((Path(__file__).parents[2] / "python" / "vantrel_rs.pyi").read_text())
    functions = {f.name: f for f in stub.body if isinstance(f, ast.FunctionDef)}
    assert sorted(functions) == sorted(n for n in dir(vantrel_rs) if not n.startswith("_"))
    for name, f in functions.items():
        runtime = inspect.signature(getattr(vantrel_rs, name))
        defaults = [None] * (len(f.args.args) - len(f.args.defaults)) + [ast.literal_eval(d) for d in f.args.defaults]
        assert [(a.arg, d) for a, d in zip(f.args.args, defaults)] == [
            (p.name, None if p.default is inspect.Parameter.empty else p.default) for p in runtime.parameters.values()]
    assert ast.unparse(functions["detect_frames"].returns) == "List[int]"
    assert ast.unparse(functions["detect_pass"].returns) == "str"


def test_the_package_type_checks():
    mypy = pytest.importorskip("mypy.api")
    package = Path(__file__).parents[2] / "python" / "vantrel"
    out, err, status = mypy.run(["--ignore-missing-imports", "--no-incremental", str(package)])
    assert status == 0, out + err
