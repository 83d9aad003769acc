"""The compiled analysis engine behind vantrel.analyze(); its caller checks the arguments."""
from typing import Any, Callable, Dict, Optional, Tuple, Union

# The detector settings of a default analysis, by name, in the order of vantrel.DetectorSettings'
# fields: its fields and their defaults.
DETECTOR_DEFAULTS: Dict[str, Union[int, float]]
# The constants of the transitions method's rule ("gradual"), by name: numbers, and the dissolve widths as a tuple.
TRANSITION_RULE: Dict[str, Union[int, float, Tuple[int, ...]]]

def analyze(path: bytes, /, *, source: Optional[Tuple[object, bool]] = None, native_res: bool = False,
            hwdec: Optional[str] = None, threads: int = 0,
            progress: Optional[Callable[[int, float, Optional[float]], object]] = None, keep_records: bool = False,
            transitions: Optional[str] = None, on_decode_error: str = "stop",
            detector: Dict[str, Union[int, float]] = ...,
            learned_frames: Optional[Callable[[bytes], object]] = None) -> Dict[str, Any]:
    """One analysis: a dict of its raw results, or {"error": (kind, text)} when it failed.

    Every keyword left out takes vantrel.analyze()'s default (detector: DETECTOR_DEFAULTS).

    source: (bytes or bytearray, True), read in place without the lock, or (a binary file
    object, seekable), read with readinto (else read) and moved with seek when seekable; `path`
    then only names the input in messages. When a call on the object raised, a failed analysis
    also has "error_cause": that exception (one that is not an Exception, as KeyboardInterrupt,
    is raised as it is).

    transitions: "gradual" (that method's rule) or "cuts" (the keyframes as cuts, each with its
    strength) gives "transitions": (kind, first, last, start, strength) tuples by start frame,
    None gives None; on_decode_error: "stop" at the first damaged packet, or "skip" it; another
    name raises ValueError. detector: every key of DETECTOR_DEFAULTS (KeyError names one missing).

    learned_frames: called, with the interpreter lock held, at progress checks and once at the
    end with bytes of k >= 1 whole 48x27 rgb24 frames (3888 bytes each): the frames the ffmpeg
    command `-f rawvideo -pix_fmt rgb24 -s 48x27` writes, in its order (constant frame rate:
    frames repeated into gaps, early ones dropped). It may block; what it raises ends the
    analysis. "learned_source" then holds one native uint32 per output frame, the index of the
    analysed frame it shows; else None.
    """

def metrics_form() -> str:
    """The kernel form the frame metrics run on: "avx2", "sse2" or "portable"."""
