"""What `vantrel.analyze()` reads: a path, the video's bytes, or a binary file object.

A path is opened by FFmpeg; a URL of a file system that fsspec knows (s3://, gs://, http://...,
with the `remote` extra) is opened through fsspec as a file object, read ahead in large blocks,
and closed after the analysis. Bytes and bytearray are read where they lie, without the
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
from contextlib import contextmanager

TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing
if TYPE_CHECKING:
    from typing import Iterator, Optional

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


class OpenFailed(Exception):
    """A URL's file that could not be opened: the text of the analysis's "io" error."""


@contextmanager
def opened(input, storage_options: Optional[dict] = None) -> Iterator[Source]:
    """The engine's form of `input`, with a URL of a file system that fsspec knows (s3://,
    gs://, http://...) opened for the analysis (with `storage_options`) and closed after it.
    TypeError for anything that is not one of ACCEPTED; OpenFailed when the URL's file cannot
    be opened."""
    url = _remote_url(input)
    if url is None:
        if storage_options is not None:
            raise ValueError(f"storage_options apply to URLs that fsspec opens, not to {input!r}")
        yield source_of(input)
        return
    with _open_remote(url, storage_options or {}) as file:
        yield Source(url.encode(), (file, _can_seek(file)))


# Read ahead in large blocks: the demuxer reads in order and, within one block, seeks back.
REMOTE_BLOCK_BYTES = 8 << 20


def _remote_url(input) -> Optional[str]:
    """`input` when it is a URL whose protocol fsspec knows (but for local files)."""
    if not isinstance(input, str) or "://" not in input:
        return None
    protocol = input.split("://", 1)[0].lower()
    try:
        from fsspec.registry import get_filesystem_class, known_implementations, registry
    except ImportError:
        if protocol in _CLOUD_PROTOCOLS:
            raise ImportError(f"reading {protocol}:// URLs needs fsspec: pip install 'vantrel-rs[remote]'") from None
        return None
    if protocol in ("file", "local") or (protocol not in known_implementations and protocol not in registry):
        return None
    try:
        get_filesystem_class(protocol)
    except ImportError as e:  # the protocol's own package (s3fs, aiohttp...) is missing
        if protocol in _FFMPEG_PROTOCOLS:
            return None
        raise ImportError(f"reading {protocol}:// URLs needs fsspec's package for it: {e}") from e
    return input


# Object stores that only fsspec reads.
_CLOUD_PROTOCOLS = ("s3", "s3a", "gs", "gcs", "az", "abfs", "abfss", "adl", "hdfs", "webhdfs", "hf", "oci")
# URLs that FFmpeg opens itself where fsspec cannot.
_FFMPEG_PROTOCOLS = ("http", "https", "ftp", "rtmp", "rtmps", "rtsp", "srt", "udp", "tcp", "hls", "sftp")


@contextmanager
def _open_remote(url: str, storage_options: dict):
    from fsspec.core import url_to_fs

    try:
        fs, path = url_to_fs(url, **storage_options)
        file = fs.open(path, "rb", block_size=REMOTE_BLOCK_BYTES, cache_type="readahead")
    except Exception as e:
        raise OpenFailed(f"input/output error: failed to open input: {url}: {type(e).__name__}: {e}") from e
    with file:
        yield file


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
