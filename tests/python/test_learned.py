"""Method learned: the shot-transition network run in the analysis, through the API and the command.

The network runs on the CPU at some tens of frames a second here: the clips are a few seconds."""
import csv
import io
import json
import subprocess
import sys
import textwrap

import pytest

from conftest import X264, command, cuts, interrupt, lavfi

pytest.importorskip("onnxruntime")
pytest.importorskip("vantrel_learned_model")
import vantrel  # noqa: E402

NEEDS = "pip install 'vantrel-rs[learned]'"


@pytest.fixture(scope="module")
def clip(videos):
    """Hard cuts at frames 30 and 60."""
    return cuts(videos, "learned-cuts.mp4", X264, size="320x180", sources=("testsrc2", "mandelbrot", "smptebars"),
                seconds=1.2)


@pytest.fixture(scope="module")
def analysed(clip):
    return vantrel.analyze(clip, method="learned", scores=True)


class TestScenes:
    def test_finds_the_hard_cuts_with_their_probabilities(self, clip, analysed):
        assert analysed.method == "learned"
        assert analysed.keyframes == [0, 30, 60]
        assert [(t.kind, t.first_frame, t.last_frame, t.start_frame) for t in analysed.transitions] == [
            ("cut", 30, 30, 30), ("cut", 60, 60, 60)]
        assert all(t.strength > 0.5 for t in analysed.transitions)
        probability = analysed.scores.probability
        assert len(probability) == len(analysed.scores) == analysed.frame_count - 1
        # The network marks the frames around each cut, and no other.
        high = [frame for frame, p in zip(analysed.scores.frame, probability) if p > 0.5]
        assert high and all(28 <= f < 30 or 58 <= f < 60 for f in high), high
        assert vantrel.analyze(clip, scores=True).scores.probability is None

    def test_a_single_noisy_shot_has_no_scene_change(self, videos):
        still = videos("learned-still.mp4", [*lavfi("smptebars", 3, size="320x180"), "-vf", "noise=alls=25:allf=t",
                                             *X264])
        assert vantrel.analyze(still, method="learned").keyframes == [0]

    def test_a_higher_threshold_never_gives_more_scenes_here(self, clip):
        counts = [len(vantrel.analyze(clip, method="learned", threshold=t).keyframes) for t in (0.05, 0.5, 0.995)]
        assert counts == sorted(counts, reverse=True) and counts[1] == 3

    def test_fp32_graph_agrees_with_the_default_int8(self, clip, analysed):
        fp32 = vantrel.analyze(clip, method="learned", model="fp32", scores=True)
        assert fp32.keyframes == analysed.keyframes
        pairs = list(zip(fp32.scores.probability, analysed.scores.probability))
        assert max(abs(a - b) for a, b in pairs) < 0.05
        assert any(a != b for a, b in pairs)  # two graphs indeed

    def test_the_probabilities_do_not_depend_on_the_threads(self, clip, analysed):
        # A window's intra-op threads share its work out, not its sums.
        for threads in (1, 3):
            again = vantrel.analyze(clip, method="learned", scores=True, threads=threads)
            assert list(again.scores.probability) == list(analysed.scores.probability)


class TestCombined:
    """The network's probabilities and the transitions rule in one decode, weighed by the fitted model."""

    def test_keeps_only_what_the_network_or_the_rule_found(self, clip, analysed, dissolve_clip, fade_clip):
        from vantrel.methods.combined import WEAKEST
        combined = vantrel.analyze(clip, method="combined", scores=True)
        assert combined.method == "combined" and combined.keyframes == [0, 30, 60]
        assert [t.kind for t in combined.transitions] == ["cut", "cut"]
        # The same network in the same decode: the same probabilities.
        assert list(combined.scores.probability) == list(analysed.scores.probability)
        for other in (dissolve_clip, fade_clip):
            found = set(vantrel.analyze(other, method="combined").keyframes)
            either = (set(vantrel.analyze(other, method="learned", threshold=WEAKEST).keyframes)
                      | set(vantrel.analyze(other, method="transitions").keyframes))
            assert len(found) > 1 and found <= either

    def test_its_results_do_not_depend_on_the_threads_and_rise_with_the_threshold(self, dissolve_clip):
        one = vantrel.analyze(dissolve_clip, method="combined", threads=1, scores=True)
        three = vantrel.analyze(dissolve_clip, method="combined", threads=3, scores=True)
        assert one.transitions == three.transitions
        assert list(one.scores.probability) == list(three.scores.probability)
        counts = [len(vantrel.analyze(dissolve_clip, method="combined", threshold=t).keyframes)
                  for t in (0.0, 0.5, 1.0)]
        assert counts == sorted(counts, reverse=True) and counts[-1] == 1

    def test_command_with_the_fp32_graph(self, clip):
        run = command(clip, "--method", "combined", "--model", "fp32", "-f", "csv")
        assert run.returncode == 0, run.stderr
        assert [row.split(",")[0] for row in run.stdout.splitlines()[1:]] == ["0", "30", "60"]


class TestDamageAndInterruption:
    def test_a_damaged_clip_gives_a_result_and_its_decode_errors(self, clean_and_damaged):
        clean, damaged = clean_and_damaged
        analysis = vantrel.analyze(damaged, method="learned", on_decode_error="skip")
        lost = len(analysis.decode_errors)
        assert lost and [e.frame for e in analysis.decode_errors] == [58] * lost
        assert analysis.frame_count == vantrel.analyze(clean).frame_count - lost
        assert analysis.keyframes[:2] == [0, 30]
        run = command(damaged, "--method", "learned", "-f", "csv")
        assert run.returncode == 0
        assert f"{lost} damaged packet{'s' if lost > 1 else ''} skipped" in run.stderr

    def test_ctrl_c_ends_the_analysis_and_its_worker_thread(self, long_clip):
        code = textwrap.dedent(f"""
            import threading, vantrel
            print("ready", flush=True)
            try:
                vantrel.analyze({str(long_clip)!r}, method="learned", threads=2)
            except KeyboardInterrupt:
                print("interrupted", flush=True)
            print("threads", len(threading.enumerate()), flush=True)
        """)
        child = interrupt(["-c", code], 3.0, ready=True)  # the session made, windows running
        assert child.lines == ["interrupted", "threads 1"]
        assert child.seconds < 3.0

    def test_an_error_inside_the_network_ends_the_analysis(self, clip, monkeypatch):
        from vantrel.methods import network

        def failing(model, threads):
            class Broken:
                def run(self, *args):
                    raise RuntimeError("the network failed")
            return Broken()

        monkeypatch.setattr(network, "session", failing)
        with pytest.raises(RuntimeError, match="the network failed"):
            vantrel.analyze(clip, method="learned")


class TestCommand:
    def test_a_batch_of_two_jobs_with_stats(self, clip, clean_and_damaged, tmp_path):
        clean = clean_and_damaged[0]
        out, stats = tmp_path / "out", tmp_path / "stats"
        run = command(clip, clean, "--method", "learned", "-d", out, "-j", "2", "-f", "json", "--stats", stats,
                      timeout=300)
        assert run.returncode == 0, run.stderr
        assert json.loads((out / f"{clip.stem}.json").read_text())["scenes"][1]["start_frame"] == 30
        assert [s["start_frame"] for s in json.loads((out / f"{clean.stem}.json").read_text())["scenes"]] == [
            0, 30, 60, 90]
        rows = list(csv.DictReader(io.StringIO((stats / f"{clip.stem}.scores.csv").read_text())))
        assert float(rows[28]["probability"]) > 0.5 > float(rows[10]["probability"])

    def test_ray_runs_it_as_local_workers_do(self, clip, clean_and_damaged, tmp_path):
        pytest.importorskip("ray")
        pq = pytest.importorskip("pyarrow.parquet")
        made = {}
        for mode, extra in (("local", []), ("ray", ["--ray"])):
            out = tmp_path / mode
            out.mkdir()
            run = command(clip, clean_and_damaged[0], "--method", "learned", "-d", out / "scenes", "-f", "jsonl",
                          "--report", out / "reports", "--table", out / "scenes.parquet", "-j", "2", *extra,
                          timeout=300)
            assert run.returncode == 0, run.stderr
            made[mode] = {p.relative_to(out).as_posix(): p.read_bytes() for p in out.rglob("*")
                          if p.is_file() and p.suffix != ".parquet"}
            made[mode]["table"] = pq.read_table(out / "scenes.parquet").to_pylist()
        assert made["ray"] == made["local"]
        assert len(made["local"]) == 5  # two scene files, two reports, the table
        assert b"transition probability</span>" in made["local"][f"reports/{clip.stem}.html"]
        first = json.loads(made["local"][f"scenes/{clip.stem}.jsonl"].splitlines()[1])
        assert first["start_frame"] == 30 and first["transition"] == "cut"

    def test_model_and_threshold_options(self, clip):
        fp32 = command(clip, "--method", "learned", "--model", "fp32", "--threshold", "0.4", "-f", "csv")
        assert fp32.returncode == 0, fp32.stderr
        assert [row.split(",")[0] for row in fp32.stdout.splitlines()[1:]] == ["0", "30", "60"]

    @pytest.mark.parametrize("args, message", [
        (["--model", "fp32"], "--model is an option of --method learned or combined, not of --method transitions"),
        (["--method", "learned", "--model", "int4"], "argument --model: invalid choice: 'int4'"),
        (["--method", "learned", "--threshold", "1.5"], "--threshold must be from 0 to 1, not 1.5"),
    ])
    def test_bad_options(self, clip, args, message):
        run = command(clip, *args)
        assert run.returncode == 2 and message in run.stderr

    def test_bad_options_of_the_api(self, clip):
        with pytest.raises(ValueError, match="model must be one of int8, fp32, not 'int4'"):
            vantrel.analyze(clip, method="learned", model="int4")
        with pytest.raises(ValueError,
                           match="model is an option of method learned or combined, not of method refined"):
            vantrel.analyze(clip, method="refined", model="fp32")


class TestMissingPieces:
    """What a user without the learned extra sees: the module made unimportable by a stand-in that
    comes first on the path."""

    @pytest.mark.parametrize("method, module", [("learned", "onnxruntime"), ("learned", "vantrel_learned_model"),
                                                ("combined", "onnxruntime")])
    def test_says_what_to_install(self, clip, method, module, tmp_path):
        (tmp_path / f"{module}.py").write_text(f'raise ModuleNotFoundError("No module named {module!r}")\n')
        env_path = f"{tmp_path}:{':'.join(p for p in sys.path if p)}"
        env = {"PYTHONPATH": env_path, "PATH": "/usr/bin:/bin"}
        run = subprocess.run([sys.executable, "-m", "vantrel", str(clip), "--method", method],
                             capture_output=True, text=True, env=env)
        assert run.returncode == 2
        assert f"--method {method} needs ONNX Runtime and the model: {NEEDS}" in run.stderr
        api = subprocess.run([sys.executable, "-c", "import sys, vantrel\ntry:\n"
                              f"    vantrel.analyze({str(clip)!r}, method={method!r})\n"
                              "except vantrel.AnalysisError as e:\n    print(e.category, e)"],
                             capture_output=True, text=True, env=env)
        assert api.stdout.startswith(f"configuration method {method} needs ")
        assert api.stdout.strip().endswith(NEEDS)
