"""What the command tells on standard error: progress, per-file lines, FFmpeg's lines, the summary."""
from __future__ import annotations

import time
from typing import Dict, List, Optional, Sequence, TextIO, Tuple

from ..analysis import Analysis, LogMessage, Progress
from ..time_text import clock, timecode

BAR_WIDTH = 24


def bar(fraction: float) -> str:
    filled = int(BAR_WIDTH * min(max(fraction, 0.0), 1.0))
    return f"[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {100 * fraction:5.1f}%"


class Reporter:
    """Counts outcomes and reports them.

    On a terminal a progress line is redrawn in place (the frames of a single input, or the
    whole batch weighted by the inputs' durations); elsewhere a batch gets one line per file.
    Every other line (errors, warnings, FFmpeg's lines) clears the progress line first, so
    nothing is written inside it. `quiet` leaves only the errors.
    """

    def __init__(self, stream: TextIO, interactive: bool, batch: bool, quiet: bool = False,
                 verbose: bool = False, to_run: int = 0):
        self.stream = stream
        self.interactive = interactive and not quiet
        self.batch = batch
        self.quiet = quiet
        self.verbose = verbose
        self.to_run = to_run
        self.done = self.skipped = self.failed = self.damaged = 0
        self.frames = 0
        self.start = time.monotonic()
        self.bar_shown = False
        self.last_draw = 0.0
        self.durations: Dict[str, float] = {}  # inputs whose duration is known
        self.in_flight: Dict[str, Progress] = {}
        self.finished_inputs: List[str] = []
        self.stage: Optional[Tuple[str, float, float]] = None  # work after an analysis: text, fraction, start

    # ---- lines ----

    def _write(self, text: str) -> None:
        if self.bar_shown:
            self.stream.write("\r\x1b[K")
            self.bar_shown = False
        self.stream.write(f"vantrel: {text}\n")
        self.stream.flush()
        self.draw(force=True)

    def error(self, text: str) -> None:
        self._write(text)

    def warn(self, text: str) -> None:
        if not self.quiet:
            self._write(text)

    def ffmpeg_lines(self, input: str, messages: Sequence[LogMessage]) -> None:
        """FFmpeg's lines of an input: its errors (every kept line when verbose), repeats folded."""
        shown: List[List] = []
        for message in messages:
            if not self.verbose and message.level == "warning":
                continue
            if shown and shown[-1][0] == message:
                shown[-1][1] += 1
            else:
                shown.append([message, 1])
        for m, n in shown:
            self.warn(f"{input}: {m.text}" if n == 1 else f"{input}: {m.text} (repeated {n} times)")

    # ---- outcomes ----

    def skip(self, input: str, output: str) -> None:
        self.skipped += 1
        if self.batch and not self.interactive and not self.quiet:
            self._write(f"skipped {input}: {output} exists")

    def progress(self, input: str, progress: Progress) -> None:
        self.in_flight[input] = progress
        if progress.duration is not None:
            self.durations[input] = progress.duration
        self.draw()

    def step(self, text: str, fraction: float) -> None:
        """Work on a finished analysis (cutting clips): shown on the progress line until the input is done."""
        start = self.stage[2] if self.stage is not None else time.monotonic()
        self.stage = (text, fraction, start)
        self.draw()

    def finish(self, input: str, output: str, analysis: Analysis) -> None:
        self.done += 1
        self.frames += analysis.frame_count
        self._finished(input, analysis.duration)
        if analysis.decode_errors:
            self.damaged += 1
            errors = analysis.decode_errors
            self.warn(f"{input}: {len(errors)} damaged packet{'s' if len(errors) != 1 else ''} skipped "
                      f"(first at {timecode(errors[0].time)})")
        if self.batch and not self.interactive and not self.quiet:
            self._write(f"done {input} -> {output} ({analysis.frame_count} frames)")
        else:
            self.draw(force=True)

    def fail(self, input: str, message: str) -> None:
        self.failed += 1
        self._finished(input, None)
        self.error(f"{input}: {message}")

    def _finished(self, input: str, duration: Optional[float]) -> None:
        self.stage = None
        self.in_flight.pop(input, None)
        if duration is not None:
            self.durations[input] = duration
        self.finished_inputs.append(input)

    # ---- the progress line ----

    def _batch_fraction(self) -> float:
        """Share of the batch done, by duration; inputs not opened yet count as the average."""
        if not self.to_run:
            return 1.0
        if not self.durations:
            return len(self.finished_inputs) / self.to_run
        average = sum(self.durations.values()) / len(self.durations)
        finished = sum(self.durations.get(i, average) for i in self.finished_inputs)
        flying = sum(min(p.seconds, self.durations.get(i, average)) for i, p in self.in_flight.items())
        opened = len(self.finished_inputs) + len(self.in_flight)
        total = (finished + sum(self.durations.get(i, average) for i in self.in_flight)
                 + average * (self.to_run - opened))
        return (finished + flying) / total if total > 0 else 0.0

    def _line(self) -> str:
        elapsed = time.monotonic() - self.start
        if self.stage is not None and not self.batch:
            text, fraction, start = self.stage
            elapsed = time.monotonic() - start
            text = f"{bar(fraction)}  {text}"
        elif self.batch:
            fraction = self._batch_fraction()
            frames = self.frames + sum(p.frames for p in self.in_flight.values())
            fps = frames / elapsed if elapsed > 0 else 0.0
            finished = len(self.finished_inputs)
            text = (f"{bar(fraction)}  {finished}/{self.to_run} files"
                    + (f" ({len(self.in_flight)} in flight)" if self.in_flight else "") + f"  {fps:.0f} fps")
            if self.skipped:
                text += f"  ({self.skipped} skipped)"
            if self.stage is not None:
                text += f"  {self.stage[0]}"
        else:
            (progress,) = self.in_flight.values() or [Progress(self.frames, 0.0, None)]
            fps = progress.frames / elapsed if elapsed > 0 else 0.0
            if progress.duration:
                fraction = progress.seconds / progress.duration
                text = (f"{bar(fraction)}  {progress.frames} frames  {timecode(progress.seconds)[:8]} / "
                        f"{timecode(progress.duration)[:8]}  {fps:.1f} fps")
            else:
                fraction = 0.0
                text = f"{progress.frames} frames  {timecode(progress.seconds)[:8]}  {fps:.1f} fps"
        if 0 < fraction < 1:
            text += f"  ETA {clock(elapsed * (1 - fraction) / fraction)}"
        return text

    def draw(self, force: bool = False) -> None:
        if not self.interactive:
            return
        now = time.monotonic()
        if not force and now - self.last_draw < 0.1:
            return
        self.last_draw = now
        self.stream.write(f"\r\x1b[K{self._line()}")
        self.stream.flush()
        self.bar_shown = True

    # ---- the end ----

    def summary(self, interrupted: bool) -> str:
        elapsed = time.monotonic() - self.start
        finished = self.done + self.failed
        damaged = f", {self.damaged} with damaged packets skipped" if self.damaged else ""
        return (f"{'interrupted: ' if interrupted else ''}{self.done} done, {self.skipped} skipped, "
                f"{self.failed} failed{damaged}; {self.frames} frames in {elapsed:.1f} s, "
                f"{finished / elapsed if elapsed > 0 else 0.0:.2f} files/s, "
                f"{self.frames / elapsed if elapsed > 0 else 0.0:.0f} frames/s")

    def close(self, interrupted: bool) -> None:
        if self.bar_shown:
            self.stream.write("\r\x1b[K")
            self.bar_shown = False
        if self.batch and not self.quiet:
            self.stream.write(f"vantrel: {self.summary(interrupted)}\n")
        elif interrupted and not self.quiet:
            self.stream.write("vantrel: interrupted\n")
        self.stream.flush()
