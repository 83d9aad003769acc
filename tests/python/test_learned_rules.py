"""The learned method's rules without the network: its windows, fed to a stand-in ONNX session, and
its scene rule on given probabilities. Neither ONNX Runtime nor the model is needed."""
import math
from array import array
from types import SimpleNamespace

import pytest

np = pytest.importorskip("numpy")
from vantrel.methods import learned, network  # noqa: E402


class NumberedFrames:
    """A stand-in session: every frame carries its number in its first two bytes, and the
    network's answer for a frame is that number, so the probabilities show which frame each is."""

    def __init__(self):
        self.windows = []

    def run(self, outputs, feeds, run_options):
        frames = feeds["frames"]
        assert frames.shape == (1, network.WINDOW, network.HEIGHT, network.WIDTH, 3) and frames.dtype == np.uint8
        numbers = frames[0, :, 0, 0, 0].astype(np.int64) * 256 + frames[0, :, 0, 0, 1]
        self.windows.append(numbers.tolist())
        return [numbers.astype(np.float32)[None, :]]


def frame(number: int) -> bytes:
    return bytes([number // 256, number % 256]) + bytes(network.FRAME_BYTES - 2)


def expected_windows(n: int) -> list:
    """25 copies of the first frame, the frames, copies of the last up to a whole stride past the
    last kept prediction; a window of 100 every 50."""
    padded = [0] * 25 + list(range(n)) + [n - 1] * (25 + 50 - (n % 50 or 50))
    return [padded[start:start + 100] for start in range(0, len(padded) - 99, 50)]


@pytest.mark.parametrize("n, chunk", [(1, 1), (49, 7), (50, 50), (51, 1), (100, 33), (149, 149), (237, 40)])
def test_windows_padding_and_kept_predictions(n, chunk):
    session = NumberedFrames()
    inference = network.Inference(session, SimpleNamespace(terminate=False))
    frames = b"".join(frame(k) for k in range(n))
    step = chunk * network.FRAME_BYTES
    for start in range(0, len(frames), step):
        inference.feed(frames[start:start + step])
    probabilities = inference.finish()
    inference.close()
    assert session.windows == expected_windows(n)
    # Each window keeps its predictions 25..74: every frame once, in order.
    assert probabilities.dtype == np.float32 and probabilities.tolist() == list(range(n))


def test_nothing_fed_gives_no_window():
    session = NumberedFrames()
    inference = network.Inference(session, SimpleNamespace(terminate=False))
    inference.feed(b"")
    assert inference.finish().tolist() == [] and session.windows == []


def test_a_chunk_of_part_of_a_frame_is_refused():
    inference = network.Inference(NumberedFrames(), SimpleNamespace(terminate=False))
    with pytest.raises(ValueError, match="3889 bytes is not a whole number of frames"):
        inference.feed(bytes(network.FRAME_BYTES + 1))
    inference.close()


def test_an_error_of_the_session_reaches_the_caller():
    class Failing:
        def run(self, *args):
            raise RuntimeError("the network failed")

    inference = network.Inference(Failing(), SimpleNamespace(terminate=False))
    with pytest.raises(RuntimeError, match="the network failed"):
        inference.feed(b"".join(frame(k) for k in range(120)))
        inference.finish()
    inference.close()


TIMES = array("d", [k * 0.04 for k in range(10)])
IDENTITY = list(range(10))


@pytest.mark.parametrize("probabilities, source, found", [
    # One frame above the threshold: a cut on the next frame, its strength the probability.
    ([0, 0, 0.75, 0, 0], IDENTITY[:5], [("cut", 3, 3, 3, 0.75)]),
    # Strictly above: a probability equal to the threshold is no transition.
    ([0, 0.5, 0, 0], IDENTITY[:4], []),
    # A run longer than one frame: a dissolve over its frames, its strength the peak.
    ([0, 0.625, 0.875, 0.75, 0, 0], IDENTITY[:6], [("dissolve", 1, 3, 4, 0.875)]),
    # A run that reaches the last frame starts no scene.
    ([0, 0, 0.75, 0.75], IDENTITY[:4], []),
    ([0.75, 0, 0], IDENTITY[:3], [("cut", 1, 1, 1, 0.75)]),
    # Network frames that show frame 0 again (a late video filled): a start on frame 0 is dropped.
    ([0.75, 0, 0, 0], [0, 0, 1, 2], []),
    # Duplicated frames: a start on an earlier start is dropped.
    ([0.75, 0, 0.875, 0, 0], [0, 1, 1, 1, 2], [("cut", 1, 1, 1, 0.75)]),
    # Frames the constant-rate reading dropped: the start is the frame the next network frame shows.
    ([0, 0.75, 0, 0], [0, 2, 5, 6], [("cut", 5, 5, 5, 0.75)]),
    # A dissolve ends before its start even where its last network frame shows the start's frame.
    ([0, 0.75, 0.875, 0, 0], [0, 1, 2, 2, 3], [("dissolve", 1, 1, 2, 0.875)]),
    ([0, 0.75, 0, 0.625, 0.625, 0, 0], IDENTITY[:7], [("cut", 2, 2, 2, 0.75), ("dissolve", 3, 4, 5, 0.625)]),
])
def test_the_scene_rule(probabilities, source, found):
    got = learned.transitions(np.array(probabilities, np.float32), array("I", source), TIMES, 0.5)
    assert [(t.kind, t.first_frame, t.last_frame, t.start_frame, t.strength) for t in got] == found
    assert all((t.first_time, t.last_time) == (TIMES[t.first_frame], TIMES[t.last_frame]) for t in got)


@pytest.mark.parametrize("probabilities, source, count, expected", [
    ([0.25, 0.75, 0.5], [0, 1, 2], 3, [0.25, 0.75, 0.5]),
    # The highest of the network frames that show a frame; NaN for a frame none shows.
    ([0.25, 0.75, 0.5], [0, 0, 2], 4, [0.75, math.nan, 0.5, math.nan]),
    ([0.75, 0.25], [1, 1], 2, [math.nan, 0.75]),
])
def test_each_frames_probability(probabilities, source, count, expected):
    got = learned.per_frame(np.array(probabilities, np.float32), array("I", source), count)
    assert [None if math.isnan(p) else p for p in got] == [None if math.isnan(p) else p for p in expected]
