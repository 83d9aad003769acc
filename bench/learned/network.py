"""The learned method's network output for one clip, through the engine as `analyze()` runs it:
the probability of every frame the network sees, the analysed frame each one shows
(learned_source) and the analysed frames' times; with `transitions`, also the engine's transitions
by that rule, worked out in the same decode. Shared by the learned benchmarks; the hand-over
alone carries the reference's frames to the analysed ones in the accuracy benchmark."""
import os
from array import array


def network_output(path, model, transitions=None):
    from vantrel.methods import network as learned
    network = learned.start(model, 0)
    try:
        source, times, found = hand_over(path, network.feed, transitions)
        probabilities = network.finish()
    finally:
        network.close()
    if transitions is None:
        return probabilities, source, times
    return probabilities, source, times, found


def hand_over(path, feed, transitions=None):
    """The engine's decode of `path` as `analyze()` runs it, the network's frames handed to `feed`:
    the analysed frame each of them shows (learned_source), the analysed frames' times and the
    transitions by the rule `transitions` (None: none)."""
    from vantrel import _engine
    raw = _engine.analyze(os.fsencode(path), native_res=False, hwdec=None, threads=0, progress=None,
                          keep_records=False, transitions=transitions, on_decode_error="stop",
                          detector=dict(_engine.DETECTOR_DEFAULTS), learned_frames=feed)
    source = array("I")
    source.frombytes(raw["learned_source"])
    times = array("d")
    times.frombytes(raw["times"])
    return source, times, raw["transitions"]
