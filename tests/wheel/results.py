"""Prints, as one JSON text, every result the wheel must reproduce: the module's
functions on each clip in the current folder, the vantrel command as the
demo runs it on its sample, and the kernel form of the frame metrics. Run by
the system-FFmpeg build and by the installed wheel in the same folder layout;
the two texts must be equal byte for byte. With --reduced, only the keyframes
and statistics texts at the reduced analysis resolution: what the aarch64
wheel, run through an emulator that starts no further programs, must
reproduce (its per-frame scores differ on some inputs).
Usage: python results.py [--reduced] FOLDER CLIP... (CLIPs in FOLDER; the demo sample is sample.mp4)"""
import json
import os
import subprocess
import sys
from pathlib import Path

import vantrel_rs


def module_results(names: list, resolutions: tuple) -> dict:
    out = {}
    for name in names:
        for native_res in resolutions:
            try:
                result = {"frames": vantrel_rs.detect_frames(name, native_res=native_res),
                          "pass": vantrel_rs.detect_pass(name, native_res=native_res)}
            except RuntimeError as e:
                result = {"error": str(e)}
            out[f"{name} native_res={native_res}"] = result
    return out


def hwdec_results(name: str) -> dict:
    """Hardware decoding through CUDA: its driver is loaded at run time, so both
    builds get as far as loading it (and report the same error without one)."""
    try:
        return {"frames": vantrel_rs.detect_frames(name, hwdec="cuda")}
    except RuntimeError as e:
        return {"error": str(e)}


def demo_results(sample: str) -> dict:
    """The demo's two runs of the vantrel command: the keyframe list and the statistics text."""
    vantrel = str(Path(sys.executable).with_name("vantrel"))
    runs = {}
    for args in ([], ["--format", "xvid"]):
        done = subprocess.run([vantrel, *args, sample], capture_output=True, text=True, stdin=subprocess.DEVNULL)
        runs[" ".join(["vantrel", *args])] = {"status": done.returncode, "stdout": done.stdout, "stderr": done.stderr}
    return runs


def analyze_results(names: list, every_result: bool = True) -> dict:
    """vantrel.analyze on each clip, at one decoder thread and at FFmpeg's choice:
    every result, or the keyframes and the statistics text."""
    from vantrel import AnalysisError, analyze
    out = {}
    for name in names:
        for threads in (1, 0):
            try:
                a = analyze(name, threads=threads, scores=True)
                result = {"keyframes": a.keyframes, "pass": a.pass_text}
                if every_result:
                    result.update({"times": a.times.tolist(), "fps": str(a.fps), "duration": a.duration,
                                   "scenes": [list(s) for s in a.scenes],
                                   # probability is the learned method's column (None here)
                                   "scores": {field: column.tolist() for field, column
                                              in zip(a.scores._fields, a.scores) if column is not None}})
            except AnalysisError as e:  # the error's text is a result too
                result = {"error": str(e), "category": e.category}
            out[f"{name} threads={threads}"] = result
    return out


def main() -> None:
    from vantrel import _engine
    reduced = sys.argv[1:2] == ["--reduced"]
    folder, *names = sys.argv[1 + reduced:]
    os.chdir(folder)
    if reduced:
        results = {"module": module_results(names, (False,)), "analyze": analyze_results(names, False)}
    else:
        results = {"module": module_results(names, (False, True)), "hwdec cuda": hwdec_results("sample.mp4"),
                   "demo": demo_results("sample.mp4"), "analyze": analyze_results(names),
                   "metrics form": _engine.metrics_form()}
    print(json.dumps(results, indent=1, sort_keys=True))


if __name__ == "__main__":
    main()
