"""What `vantrel.analyze()` reads: a path, the video's bytes, or a binary file object.

A path is opened by FFmpeg; a URL of a file system that fsspec knows (s3://, gs://, http://...,
with the `remote` extra) is opened by vantrel.remote as a file object, read ahead in large
blocks, and closed after the analysis. Bytes and bytearray are read where they lie, without the
interpreter lock (a bytearray cannot change size meanwhile); other bytes-like objects (a
memoryview of another object, an array) through a view of them, a block at a time with the
lock. A file object is read with
`readinto` (else `read`) into a 1 MiB buffer, the lock taken for each call only. One that says
it can seek (`seekable()`, else a `tell()` that works) is read from its start and moved with
`seek`; any other is read once from where it stands, as a pipe is, so a container that must be
read out of order (an MP4 with its index at the end) fails with the remedies. The object is
left open. A read that blocks lets Ctrl-C through when it is Python's own (a file, pipe or
socket of the io and socket modules); a C extension's read that retries on signals keeps it
out until the read returns.
"""
from __future__ import annotations

import io
import os
from collections import namedtuple

ACCEPTED = ("a path (str or os.PathLike), the video's bytes (bytes, bytearray, memoryview) or a binary file "
            "object (with read, e.g. open(path, 'rb') or io.BytesIO)")
# Said after an error of an input that cannot seek; `what` says what the input was.
UNSEEKABLE_HINT = ("the input was {what}, which cannot seek back, and a file with its index at the end (an MP4 "
                   "written without -movflags +faststart) needs to: write it to a file first, or remux it with the "
                   "index at the front (ffmpeg -i IN -c copy -movflags +faststart OUT)")


class Source(namedtuple("Source", "name content")):
    """An input as the engine takes it: `name`, the path or what messages call the input (bytes);
    `content`, None for a path, else the engine's source: (bytes-like or file object, seekable)."""

    __slots__ = ()

    @property
    def seekable(self) -> bool:
        return self.content is None or self.content[1]


def source_of(input) -> Source:
    """The engine's form of `input`; TypeError for anything that is not one of ACCEPTED."""
    if isinstance(input, (str, os.PathLike)):
        return Source(os.fsencode(os.fspath(input)), None)
    if isinstance(input, (bytes, bytearray)):
        return Source(_memory_name(len(input)), (input, True))
    if not hasattr(input, "read"):
        try:
            view = memoryview(input)
        except TypeError:
            raise TypeError(f"cannot analyze a {type(input).__name__}: expected {ACCEPTED}") from None
        return _view_source(view)
    return _file_source(input)


def _memory_name(size: int) -> bytes:
    return f"<{size} bytes in memory>".encode()


def _view_source(view: memoryview) -> Source:
    if not view.c_contiguous:
        view = memoryview(view.tobytes())  # a copy: a strided view cannot be read in order
    view = view.cast("B")
    whole = view.obj
    if isinstance(whole, (bytes, bytearray)) and len(whole) == view.nbytes:
        return Source(_memory_name(view.nbytes), (whole, True))  # `view` need not live: the engine pins it
    return Source(_memory_name(view.nbytes), (_ViewReader(view), True))


def _file_source(file) -> Source:
    kind = type(file).__name__
    if getattr(file, "closed", False) is True:
        raise TypeError(f"cannot analyze a closed file ({kind}): expected {ACCEPTED}")
    if isinstance(file, io.TextIOBase) or isinstance(getattr(file, "encoding", None), str):
        raise TypeError(f"cannot analyze a file opened in text mode ({kind}): open it in binary mode ('rb'); "
                        f"expected {ACCEPTED}")
    seekable = _can_seek(file)
    name = getattr(file, "name", None)
    label = f"<{kind} {os.fsdecode(name)!r}>" if isinstance(name, (str, bytes)) else f"<{kind}>"
    return Source(label.encode(), (file, seekable))


def _can_seek(file) -> bool:
    seekable = getattr(file, "seekable", None)
    if seekable is not None:
        return bool(seekable())
    if not hasattr(file, "seek"):
        return False
    try:
        file.tell()
    except (OSError, ValueError, AttributeError):
        return False
    return True


class _ViewReader:
    """A bytes-like object that the engine cannot read in place, as a file: copied out 1 MiB at a time."""

    def __init__(self, view: memoryview):
        self._view = view
        self._position = 0

    def readinto(self, buffer) -> int:
        start = min(self._position, len(self._view))
        count = min(len(buffer), len(self._view) - start)
        buffer[:count] = self._view[start:start + count]
        self._position = start + count
        return count

    def seek(self, offset: int, whence: int = 0) -> int:
        self._position = offset + (len(self._view) if whence == 2 else self._position if whence == 1 else 0)
        return self._position
