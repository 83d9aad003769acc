"""Progress display and the final summary of a batch, on standard error."""
from __future__ import annotations

import time
from typing import Optional, TextIO

BAR_WIDTH = 24


def clock(seconds: float) -> str:
    s = int(seconds)
    return f"{s // 3600}:{s % 3600 // 60:02d}:{s % 60:02d}"


class Reporter:
    """Counts outcomes; draws a bar over the files on a terminal, writes log lines otherwise."""

    def __init__(self, to_run: int, stream: TextIO, interactive: bool, verbose: bool = True):
        self.to_run = to_run
        self.stream = stream
        self.interactive = interactive
        self.verbose = verbose  # one-input runs report failures only
        self.done = self.skipped = self.failed = 0
        self.frames = 0
        self.uncounted = 0  # done files whose frame count is unknown
        self.start = time.monotonic()
        self.bar_shown = False

    def _line(self, text: str) -> None:
        if self.bar_shown:
            self.stream.write("\r\x1b[K")
            self.bar_shown = False
        self.stream.write(f"vantrel: {text}\n")
        self.tick()

    def skip(self, input: str, output: str) -> None:
        self.skipped += 1
        if self.verbose and not self.interactive:
            self._line(f"skipped {input}: {output} exists")

    def finish(self, input: str, output: str, frames: Optional[int]) -> None:
        self.done += 1
        if frames is None:
            self.uncounted += 1
        else:
            self.frames += frames
        if self.verbose and not self.interactive:
            self._line(f"done {input} -> {output}" + ("" if frames is None else f" ({frames} frames)"))
        else:
            self.tick()

    def fail(self, input: str, message: str) -> None:
        self.failed += 1
        self._line(f"{input}: {message}")

    def _rates(self, elapsed: float) -> str:
        files = (self.done + self.failed) / elapsed if elapsed > 0 else 0.0
        text = f"{files:.2f} files/s"
        if self.frames and not self.uncounted:
            text += f", {self.frames / elapsed:.0f} frames/s"
        return text

    def tick(self) -> None:
        if not (self.verbose and self.interactive):
            return
        finished = self.done + self.failed
        elapsed = time.monotonic() - self.start
        filled = BAR_WIDTH * finished // self.to_run if self.to_run else BAR_WIDTH
        rate = finished / elapsed if elapsed > 0 else 0.0
        eta = clock((self.to_run - finished) / rate) if rate > 0 else "?"
        skipped = f"  ({self.skipped} skipped)" if self.skipped else ""
        self.stream.write(f"\r\x1b[K[{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {finished}/{self.to_run} files"
                          f"  {self._rates(elapsed)}  ETA {eta}{skipped}")
        self.stream.flush()
        self.bar_shown = True

    def summary(self, interrupted: bool) -> str:
        """Counts, then the rates over the whole run; frames only when every done file was counted."""
        elapsed = time.monotonic() - self.start
        frames = f"{self.frames} frames in " if not self.uncounted else ""
        text = (f"{'interrupted: ' if interrupted else ''}{self.done} done, {self.skipped} skipped, "
                f"{self.failed} failed; {frames}{elapsed:.1f} s, {self._rates(elapsed)}")
        if self.uncounted:
            text += " (frames are counted with -f xvid, csv or json)"
        return text

    def close(self, interrupted: bool) -> None:
        if self.bar_shown:
            self.stream.write("\r\x1b[K")
            self.bar_shown = False
        if self.verbose:
            self.stream.write(f"vantrel: {self.summary(interrupted)}\n")
        self.stream.flush()
