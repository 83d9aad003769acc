"""Files that appear whole or not at all: written beside their place, then renamed over it.

Readers, and a later resumed run, see either no file or the complete one; a failure or an
interruption at any point removes the temporary file.
"""
from __future__ import annotations

import contextlib
import os
import tempfile
from pathlib import Path
from typing import Iterator


def file_mode() -> int:
    """The mode a new file gets under the process's umask."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


@contextlib.contextmanager
def replacing(path: Path, suffix: str = ".part") -> Iterator[Path]:
    """A temporary path beside `path` for a writer (our own or another program) to fill; renamed
    over `path` when the block ends without an error.

    Its name ends in `suffix`: ".part" keeps it apart from finished files for anyone watching
    the folder; a writer that takes the format from the name (the ffmpeg tool) needs `path`'s own.
    """
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=suffix)
    os.close(fd)
    try:
        yield Path(tmp)
        os.chmod(tmp, file_mode())  # as any new file, not the private temporary file's mode
        os.replace(tmp, path)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)


def write_atomic(path: Path, data: bytes) -> None:
    """Writes `data` to `path` through a temporary file, flushed to the disk before the rename."""
    with replacing(path) as tmp, open(tmp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
