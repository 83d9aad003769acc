"""The compiled analysis engine behind vantrel.analyze(); its caller checks the arguments."""
from typing import Any, Callable, Dict, Optional, Tuple, Union

# The detector settings of a default analysis, by name: the defaults of vantrel.DetectorSettings.
DETECTOR_DEFAULTS: Dict[str, Union[int, float]]

def analyze(path: bytes, /, *, native_res: bool, hwdec: Optional[str], threads: int,
            progress: Optional[Callable[[int, float, Optional[float]], object]], keep_records: bool,
            transitions: Optional[str], on_decode_error: str, detector: Dict[str, Union[int, float]],
            learned_frames: Optional[Callable[[bytes], object]] = None,
            source: Optional[Tuple[object, bool]] = None) -> Dict[str, Any]:
    """One analysis: a dict of its raw results, or {"error": (kind, text)} when it failed.

    source: (bytes or bytearray, True), read in place without the lock, or (a binary file
    object, seekable), read with readinto (else read) and moved with seek when seekable; `path`
    then only names the input in messages. When a call on the object raised, a failed analysis
    also has "error_cause": that exception (one that is not an Exception, as KeyboardInterrupt,
    is raised as it is).

    transitions: "gradual" (that method's rule) or "cuts" (the keyframes as cuts, each with its
    strength) gives "transitions": (kind, first, last, start, strength) tuples by start frame,
    None gives None; on_decode_error: "stop" at the first damaged packet, or "skip" it;
    detector: every key of DETECTOR_DEFAULTS.

    learned_frames: called, with the interpreter lock held, at progress checks and once at the
    end with bytes of k >= 1 whole 48x27 rgb24 frames (3888 bytes each): the frames the ffmpeg
    command `-f rawvideo -pix_fmt rgb24 -s 48x27` writes, in its order (constant frame rate:
    frames repeated into gaps, early ones dropped). It may block; what it raises ends the
    analysis. "learned_source" then holds one native uint32 per output frame, the index of the
    analysed frame it shows; else None.
    """

def metrics_form() -> str:
    """The kernel form the frame metrics run on: "avx2", "sse2" or "portable"."""
