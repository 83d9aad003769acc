"""The learned method's network (vantrel.methods.learned): the TransNetV2 shot-transition model
run with ONNX Runtime on a worker thread while the engine decodes.

The engine hands over the network's frames (48 x 27 RGB, 3888 bytes each, the frames of the
reference's constant-frame-rate reading) in chunks; they are cut into the reference's windows
as they arrive: the frames padded with 25 copies of the first before and, at the end,
`25 + 50 - (n % 50 or 50)` copies of the last; windows of 100 frames every 50, each keeping its
predictions 25..74. Every kept prediction depends on its whole window, so no other windowing
gives the reference's probabilities (docs/learned-model.md). A window goes to the worker as soon
as its last frame has arrived, through a queue of a few windows: memory stays bounded and a
decode that runs ahead waits for the network. The worker runs one window at a time on `threads`
threads of ONNX Runtime: a window's activations take about 110 MiB, so two at once take the
process past 300 MB, and one window on two threads costs 4 to 18% more wall time (session()).
Every probability is the same whatever the number of threads.

The model ships in the companion distribution `vantrel-rs-learned-model` (import package
`vantrel_learned_model`) that `pip install 'vantrel-rs[learned]'` installs with ONNX Runtime.
"""
from __future__ import annotations

import os
import queue
import threading
from functools import lru_cache
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

if TYPE_CHECKING:
    from typing import Optional

WIDTH, HEIGHT = 48, 27
FRAME_BYTES = WIDTH * HEIGHT * 3
WINDOW, STRIDE, CONTEXT = 100, 50, 25
# Windows waiting for the network: enough to keep it busy, few enough to bound memory (390 KB each).
QUEUE_WINDOWS = 4
# How often a blocked hand-over wakes to let Ctrl-C through.
WAKE_SECONDS = 0.1


class Missing(ImportError):
    """What the network needs and is not installed."""


def model_path(model: str) -> str:
    """The ONNX graph of `model` ("int8" or "fp32") in the installed model package."""
    try:
        import vantrel_learned_model
    except ImportError:
        raise Missing("the model package vantrel-rs-learned-model") from None
    return vantrel_learned_model.graph(model)


def start(model: str, threads: int) -> "Inference":
    """The network of `model` ready for the engine's frames, on `threads` threads (0: one per
    CPU this process may use)."""
    network = session(model, threads or _usable_cpus())  # says first what is missing
    import onnxruntime as ort
    return Inference(network, ort.RunOptions())


def _usable_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


@lru_cache(maxsize=2)
def session(model: str, threads: int):
    """An ONNX Runtime session of `model` that runs a window on `threads` intra-op threads,
    every graph optimisation, no spinning: the decoder shares the cores. One window at a time:
    on the 960x540 clip of bench/learned/results/memory.md (2 CPUs, int8) it peaks at 236 to 239
    MiB at any number of threads, where two windows on one thread each peaked at 338 to 343 MiB
    for 4 to 18% less wall time than one window on two threads. Spinning threads, and ONNX
    Runtime's parallel executor on a block's branches, were slower. No memory pattern: it plans
    one block for all of a window's activations, about 200 MB more at the same speed, where the
    arena reuses freed activations as well; the arena's other settings (no arena, its exact-size
    growth, shrinking it after each run, splitting every chunk) left two windows past 300 MB,
    and no arena is slower. Kept for the next analysis of the process (making one optimises the
    graph: 0.1 to 0.4 s)."""
    try:
        import onnxruntime as ort
    except ImportError:
        raise Missing("ONNX Runtime") from None
    path = model_path(model)
    options = ort.SessionOptions()
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
    options.intra_op_num_threads = threads
    options.inter_op_num_threads = 1
    options.enable_mem_pattern = False
    options.add_session_config_entry("session.intra_op.allow_spinning", "0")
    return ort.InferenceSession(path, options, providers=["CPUExecutionProvider"])


class Inference:
    """Streams the network's frames through `session` on a worker thread; each call runs with
    `run_options`, whose `terminate` cancels it.

    `feed(chunk)` is the engine's `learned_frames` call: it cuts the windows that the chunk
    completes and hands them to the worker, waiting while the queue is full. `finish()` pads
    the end, waits for the last window and returns the probability of every frame fed (an
    array of float32). `close()` stops the worker at once (it cancels a running window);
    it is safe to call after `finish()`.
    """

    def __init__(self, session, run_options) -> None:
        import numpy
        self._np = numpy
        self._session = session
        self._run_options = run_options
        self._pending = bytearray()  # frames from the next window's first on
        self._first = b""  # the first frame, the start's padding
        self._fed = 0  # frames fed
        self._queue: queue.Queue = queue.Queue(QUEUE_WINDOWS)
        self._results: list = []  # each window's kept predictions, in order
        self._error: Optional[BaseException] = None  # what the worker raised, for the caller
        self._stop = threading.Event()
        self._worker = threading.Thread(target=self._work, name="vantrel-learned", daemon=True)
        self._worker.start()

    def feed(self, chunk: bytes) -> None:
        if len(chunk) % FRAME_BYTES:
            raise ValueError(f"learned frames: {len(chunk)} bytes is not a whole number of frames")
        if not chunk:
            return
        if not self._fed:
            self._first = bytes(chunk[:FRAME_BYTES])
            self._pending += self._first * CONTEXT
        self._pending += chunk
        self._fed += len(chunk) // FRAME_BYTES
        while len(self._pending) >= WINDOW * FRAME_BYTES:
            self._hand_over(bytes(self._pending[:WINDOW * FRAME_BYTES]))
            del self._pending[:STRIDE * FRAME_BYTES]

    def finish(self):
        """The probabilities of the frames fed (float32), once the last window has run."""
        n = self._fed
        if n:
            # The padded frames run to 25 + n + tail; the windows left are those that need the tail.
            last = self._pending[-FRAME_BYTES:]
            self._pending += last * (CONTEXT + STRIDE - (n % STRIDE or STRIDE))
            while len(self._pending) >= WINDOW * FRAME_BYTES:
                self._hand_over(bytes(self._pending[:WINDOW * FRAME_BYTES]))
                del self._pending[:STRIDE * FRAME_BYTES]
        self._put(None)
        self._join()
        if self._error is not None:
            raise self._error
        np = self._np
        if not n:
            return np.zeros(0, np.float32)
        return np.concatenate(self._results)[:n]

    def close(self) -> None:
        if self._worker.is_alive():
            self._stop.set()
            self._run_options.terminate = True
            self._join()

    def _hand_over(self, window: bytes) -> None:
        self._put(window)
        if self._error is not None:
            raise self._error

    def _put(self, item) -> None:
        # A wait that wakes now and then, so that Ctrl-C reaches the caller.
        while True:
            if not self._worker.is_alive():
                return
            try:
                self._queue.put(item, timeout=WAKE_SECONDS)
                return
            except queue.Full:
                continue

    def _join(self) -> None:
        while self._worker.is_alive():
            self._worker.join(WAKE_SECONDS)

    def _work(self) -> None:
        np = self._np
        run = self._session.run
        try:
            while not self._stop.is_set():
                try:
                    window = self._queue.get(timeout=WAKE_SECONDS)
                except queue.Empty:
                    continue
                if window is None:
                    return
                frames = np.frombuffer(window, np.uint8).reshape(1, WINDOW, HEIGHT, WIDTH, 3)
                probabilities = run(None, {"frames": frames}, self._run_options)[0]
                self._results.append(probabilities[0, CONTEXT:CONTEXT + STRIDE])
        except BaseException as e:  # handed to the caller: the analysis stops with it
            if not self._stop.is_set():
                self._error = e

