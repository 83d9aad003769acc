"""The ffmpeg tool, which cuts clips and takes pictures for the outputs: finding it, running it, and
ending it with its caller."""
from __future__ import annotations

import contextlib
import shutil
import signal
import subprocess
import tempfile
from typing import Callable, Iterator, List, Optional

# The common start of every run: errors only, never waiting for a key, files overwritten.
QUIET = ["-hide_banner", "-v", "error", "-nostdin", "-y"]


class ToolMissing(Exception):
    pass


def find_ffmpeg(option: str) -> str:
    """The tool's path; ToolMissing names the `option` that needs it."""
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg is None:
        raise ToolMissing(f"{option} needs the ffmpeg tool on PATH")
    return ffmpeg


def run_ffmpeg(ffmpeg: str, args: List[str], frames: Optional[Callable[[int], None]] = None) -> Optional[str]:
    """Runs `ffmpeg QUIET args`; returns None, or its last error line when it fails.

    `frames(n)` is called as the tool reports the frames written. The tool runs in a session of
    its own, so Ctrl-C reaches this process alone: on any interruption the tool is killed and
    waited for before the exception goes on, so that no tool outlives the command. Runs in the
    main thread, which alone receives Python's signal handlers.
    """
    progress = ["-progress", "pipe:1", "-nostats"] if frames is not None else []
    with tempfile.TemporaryFile("w+") as errors:
        proc = None
        try:
            with _interrupts_held():
                proc = subprocess.Popen([ffmpeg, *QUIET, *progress, *args], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE if frames is not None else subprocess.DEVNULL,
                                        stderr=errors, text=True, start_new_session=True)
            if frames is not None:
                assert proc.stdout is not None  # a pipe was asked for
                for line in proc.stdout:
                    if line.startswith("frame=") and line[6:].strip().isdigit():
                        frames(int(line[6:]))
            proc.wait()
        except BaseException:
            if proc is not None:
                _end(proc)
            raise
        finally:
            if proc is not None and proc.stdout is not None:
                proc.stdout.close()
        if proc.returncode == 0:
            return None
        errors.seek(0)
        lines = errors.read().strip().splitlines()
        return lines[-1] if lines else f"ffmpeg exited with status {proc.returncode}"


@contextlib.contextmanager
def _interrupts_held() -> Iterator[None]:
    """Ctrl-C while the tool starts takes effect once it has started, when its caller holds it and can
    end it; Popen itself would leave a tool started meanwhile running."""
    received = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: received.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if received and callable(previous):
        previous(signal.SIGINT, received[0])


def _end(proc: subprocess.Popen) -> None:
    """Kills the tool and reaps it; a second Ctrl-C meanwhile does not cut the wait short."""
    proc.kill()
    while True:
        try:
            proc.wait()
            return
        except KeyboardInterrupt:
            continue
