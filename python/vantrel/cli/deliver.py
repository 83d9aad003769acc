"""Writes what one finished analysis becomes: one function per output, the scene list last."""
from __future__ import annotations

import contextlib
import os
import sys
from pathlib import Path
from typing import Iterator, Optional

from ..analysis import Analysis
from ..atomic import write_atomic
from ..ffmpeg_tool import ToolMissing
from ..remote import CopyFailed, local_copy, through_fsspec
from ..outputs.contact_sheet import ThumbnailError
from ..outputs.formats import FormatError
from ..outputs.split import SplitError
from .console import Reporter
from .plan import Outputs, Targets
from .tasks import FileResult


class OutputError(Exception):
    """An output that could not be made: the text says which and why."""


def deliver(result: FileResult, outputs: Outputs, targets: Targets, reporter: Reporter) -> Optional[str]:
    """Writes one finished result, its format's file last; returns an error text when that fails.

    In a batch the format's file thus marks an input whose other files are complete.
    """
    analysis, input = result.analysis, result.task.input
    assert analysis is not None, "a result without error carries its analysis"
    try:
        data = outputs.format.render(analysis, input).encode("utf-8")
        if targets.stats is not None:
            stats(analysis, targets.stats)
        tool_reads = outputs.split is not None or targets.report is not None or outputs.contact_sheet is not None
        if tool_reads:
            with _tool_file(input, result.task.storage_options, reporter) as video:
                if outputs.split is not None:
                    split(analysis, input, video, outputs, targets, reporter)
                if targets.report is not None:
                    report(analysis, input, video, targets.report)
                if outputs.contact_sheet is not None:
                    contact_sheet(analysis, video, outputs.contact_sheet, reporter)
        scene_list(data, targets.output)
    except (OutputError, FormatError, SplitError, ThumbnailError, ToolMissing, CopyFailed) as e:
        return str(e)
    except OSError as e:  # a clip or a picture that cannot be written
        return f"cannot write {e.filename or 'a file'}: {e.strerror or e}"
    return None


@contextlib.contextmanager
def _tool_file(input: str, storage_options: Optional[dict], reporter: Reporter) -> Iterator[str]:
    """The file the ffmpeg tool reads for `input`: a URL's temporary local copy, removed afterwards."""
    if not through_fsspec(input):
        yield input
        return
    reporter.step(f"copying {input} for the ffmpeg tool", 0.0)
    with local_copy(input, storage_options) as video:
        yield video


def split(analysis: Analysis, input: str, video: str, outputs: Outputs, targets: Targets,
          reporter: Reporter) -> None:
    from ..outputs.split import split_scenes

    def progress(scene: int, scenes: int, frames: int) -> None:
        fraction = frames / analysis.frame_count if analysis.frame_count else 1.0
        reporter.step(f"cutting {os.path.basename(input)}: scene {scene}/{scenes}", fraction)

    assert outputs.split is not None
    split_scenes(video, analysis, outputs.split, targets.stem, outputs.split_copy, progress)


def stats(analysis: Analysis, path: Path) -> None:
    from ..outputs.stats import render_scores
    _write(path, render_scores(analysis).encode("utf-8"))


def report(analysis: Analysis, input: str, video: str, path: Path) -> None:
    from ..outputs.report import report_page
    _write(path, report_page(analysis, input, video).encode("utf-8"))


def contact_sheet(analysis: Analysis, input: str, path: Path, reporter: Reporter) -> None:
    from ..outputs.contact_sheet import write_contact_sheet
    warning = write_contact_sheet(input, analysis.keyframes, path)
    if warning:
        reporter.warn(warning)


def scene_list(data: bytes, path: Optional[Path]) -> None:
    """The format's text into its file, or onto standard output when `path` is None."""
    if path is not None:
        _write(path, data)
        return
    try:
        sys.stdout.buffer.write(data)
        sys.stdout.flush()
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            # The reader went away (`| head`): keep the interpreter's final flush from failing too.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        raise OutputError(f"cannot write standard output: {e.strerror or e}") from None


def _write(path: Path, data: bytes) -> None:
    try:
        write_atomic(path, data)
    except OSError as e:
        raise OutputError(f"cannot write {path}: {e.strerror or e}") from None
