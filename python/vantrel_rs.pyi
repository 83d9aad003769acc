"""Scene-change detection for video files.

Both functions decode the whole input on the calling thread and raise RuntimeError with a
category prefix (for example "input/output error: failed to open input: {path}") when the
analysis fails; wrong argument types raise TypeError.
"""
from typing import List, Optional

def detect_frames(input: str, native_res: bool = False, hwdec: Optional[str] = None) -> List[int]:
    """Indices of the frames where a new scene begins, ascending, always starting with 0."""
    ...

def detect_pass(input: str, native_res: bool = False, hwdec: Optional[str] = None) -> str:
    """First-pass statistics text: a header, then one "i" (scene start) or "p" line per frame."""
    ...
