"""The work done for one input, in the command's own process, a worker process or a Ray task."""
from __future__ import annotations

import time
from typing import NamedTuple, Optional

from .analysis import Analysis, AnalysisError, DetectorSettings, analyze


class Task(NamedTuple):
    input: str
    native_res: bool = False
    hwdec: Optional[str] = None
    threads: int = 0
    strict: bool = False  # stop at the first damaged packet, as vantrel_rs does
    scores: bool = False
    min_scene_len: Optional[float] = None
    max_scene_len: Optional[float] = None
    detector: Optional[DetectorSettings] = None


class FileResult(NamedTuple):
    task: Task
    analysis: Optional[Analysis]
    error: Optional[str]  # the analysis's error text, with its reasons
    messages: tuple  # FFmpeg's log lines of the input (LogMessage)
    seconds: float


def analyse(task: Task, progress=None) -> FileResult:
    """One analyze() call; a failure becomes the result's error text. `progress(Progress)` is
    called as the analysis goes."""
    start = time.monotonic()
    try:
        analysis = analyze(task.input, native_res=task.native_res, hwdec=task.hwdec, threads=task.threads,
                           progress=progress, scores=task.scores,
                           on_decode_error="stop" if task.strict else "skip",
                           min_scene_len=task.min_scene_len, max_scene_len=task.max_scene_len,
                           detector=task.detector)
    except AnalysisError as e:
        return FileResult(task, None, str(e), e.messages, time.monotonic() - start)
    except (TypeError, ValueError) as e:  # a path Python cannot hand over, e.g. with a NUL
        return FileResult(task, None, f"{type(e).__name__}: {e}", (), time.monotonic() - start)
    return FileResult(task, analysis, None, analysis.messages, time.monotonic() - start)


def shown_messages(messages: tuple, verbose: bool) -> list:
    """The log lines to print: errors (all kept lines when verbose), repeats folded."""
    shown: list = []
    for message in messages:
        if not verbose and message.level == "warning":
            continue
        if shown and shown[-1][0] == message:
            shown[-1][1] += 1
        else:
            shown.append([message, 1])
    return [m.text if n == 1 else f"{m.text} (repeated {n} times)" for m, n in shown]

