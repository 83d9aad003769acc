"""The compiled analysis engine behind vantrel.analyze(); its caller checks the arguments."""
from typing import Any, Callable, Dict, Optional, Tuple

DetectorTuple = Tuple[int, int, float, int, float, float, float, float, float, float]

def analyze(path: bytes, native_res: bool, hwdec: Optional[str], threads: int,
            progress: Optional[Callable[[int, float, Optional[float]], object]], keep_records: bool,
            skip_rejected_packets: bool, detector: DetectorTuple, /) -> Dict[str, Any]:
    """One analysis: a dict of its raw results, or {"error": (kind, text)} when it failed."""

def metrics_form() -> str:
    """The kernel form the frame metrics run on: "avx2", "sse2" or "portable"."""
