"""Times as text: seconds, timecodes and clock readings in the outputs and on the console."""


def seconds_text(seconds: float) -> str:
    """Seconds with three decimals (milliseconds)."""
    return f"{seconds:.3f}"


def timecode(seconds: float) -> str:
    """HH:MM:SS.mmm, rounded to the millisecond."""
    ms = max(0, round(seconds * 1000))
    return f"{ms // 3_600_000:02d}:{ms // 60_000 % 60:02d}:{ms // 1000 % 60:02d}.{ms % 1000:03d}"


def frame_timecode(frame: int, base: int) -> str:
    """HH:MM:SS:FF of a frame index, counting `base` frames a second (non-drop-frame)."""
    seconds, frames = divmod(frame, base)
    return f"{seconds // 3600:02d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}:{frames:02d}"


def clock(seconds: float) -> str:
    """H:MM:SS of whole seconds, for times left and spent."""
    s = int(seconds)
    return f"{s // 3600}:{s % 3600 // 60:02d}:{s % 60:02d}"
