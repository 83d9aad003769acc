"""The ffmpeg tool, which cuts clips and takes pictures for the outputs: finding it, running it, and
ending it with its caller."""
from __future__ import annotations

import shutil
import subprocess
import tempfile
from typing import Callable, List, Optional

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
    waited for before the exception goes on, so that no cut outlives the command.
    """
    progress = ["-progress", "pipe:1", "-nostats"] if frames is not None else []
    with tempfile.TemporaryFile("w+") as errors:
        proc = subprocess.Popen([ffmpeg, *QUIET, *progress, *args], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE if frames is not None else subprocess.DEVNULL,
                                stderr=errors, text=True, start_new_session=True)
        try:
            if frames is not None:
                assert proc.stdout is not None  # a pipe was asked for
                for line in proc.stdout:
                    if line.startswith("frame=") and line[6:].strip().isdigit():
                        frames(int(line[6:]))
            proc.wait()
        except BaseException:
            _end(proc)
            raise
        finally:
            if proc.stdout is not None:
                proc.stdout.close()
        if proc.returncode == 0:
            return None
        errors.seek(0)
        lines = errors.read().strip().splitlines()
        return lines[-1] if lines else f"ffmpeg exited with status {proc.returncode}"


def _end(proc: subprocess.Popen) -> None:
    """Kills the tool and reaps it; a second Ctrl-C meanwhile does not cut the wait short."""
    proc.kill()
    while True:
        try:
            proc.wait()
            return
        except KeyboardInterrupt:
            continue
