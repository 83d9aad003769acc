"""The work done for one input, in the command's own process, a worker process or a Ray task."""
from __future__ import annotations

import os
import stat
import time
from typing import Any, Dict, NamedTuple, Optional

from ..analysis import Analysis, analyze_with
from ..errors import AnalysisError
from ..settings import AnalysisSettings
from ..sources import UNSEEKABLE_HINT

STDIN = "-"
# FFmpeg's name of standard input as a stream: a pipe, read once from start to end.
STDIN_PIPE = "pipe:0"
# Said after the error of an input that FFmpeg could not read from standard input.
STDIN_HINT = UNSEEKABLE_HINT.format(what="a pipe")


class Task(NamedTuple):
    input: str  # as given: a path, a URL, or STDIN
    settings: AnalysisSettings
    storage_options: Optional[Dict[str, Any]] = None  # of a URL's filesystem


class FileResult(NamedTuple):
    task: Task
    analysis: Optional[Analysis]
    error: Optional[str]  # the analysis's error text, with its reasons
    messages: tuple  # FFmpeg's log lines of the input (LogMessage)
    seconds: float


def run_task(task: Task, progress=None) -> FileResult:
    """One analysis; a failure becomes the result's error text. `progress(Progress)` is called as
    the analysis goes."""
    start = time.monotonic()
    source = _stdin_source() if task.input == STDIN else task.input
    try:
        analysis = analyze_with(source, task.settings, progress, task.storage_options)
    except AnalysisError as e:
        text = str(e)
        if source == STDIN_PIPE and e.category in ("io", "decode"):
            text += f"; {STDIN_HINT}"
        return FileResult(task, None, text, e.messages, time.monotonic() - start)
    except ImportError as e:  # a Ray worker without the URL's filesystem package
        return FileResult(task, None, str(e), (), time.monotonic() - start)
    except (TypeError, ValueError) as e:  # a path Python cannot hand over, e.g. with a NUL
        return FileResult(task, None, f"{type(e).__name__}: {e}", (), time.monotonic() - start)
    return FileResult(task, analysis, None, analysis.messages, time.monotonic() - start)


def _stdin_source() -> str:
    """What FFmpeg opens for STDIN: a file redirected to it (`< film.mp4`) as that file, which can
    seek; anything else as a pipe."""
    try:
        regular = stat.S_ISREG(os.fstat(0).st_mode)
    except OSError:  # closed
        regular = False
    return "/dev/stdin" if regular else STDIN_PIPE
