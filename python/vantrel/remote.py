"""Videos behind a URL: object stores (s3://, gs://, az://, ...) and web servers (https://), read
through fsspec as file objects, in order, with a read-ahead cache of one block.

A URL is `PROTOCOL://...` (or an fsspec chain such as `simplecache::s3://...`). One whose protocol
fsspec knows goes through fsspec and its filesystem package (s3fs, gcsfs, adlfs; aiohttp for
HTTP). FFmpeg keeps the others (rtsp://, srt://: live streams), and the URLs it opens itself
(http://, ftp://) where fsspec or the package is missing; `file://` URLs are local paths.
Credentials and endpoints come from `storage_options` or from what the filesystem package reads
by itself (environment variables, its config files).
"""
from __future__ import annotations

import contextlib
import os
TYPE_CHECKING = False  # typing.TYPE_CHECKING without importing typing

if TYPE_CHECKING:  # typing costs more to import than a short analysis
    from typing import Any, Dict, Iterator, List, Optional

REMOTE_NEEDS = "pip install 'vantrel-rs[remote]'"
# The analysis reads a video from its start to its end, with a few seeks back near the start
# (container headers) and, for an MP4 with its index at the end, one to the end and back. A
# read-ahead cache keeps the last block only, so memory stays one block whatever the file's size;
# blocks of 8 MiB keep the requests few (bench/speed/results/remote.md has the figures).
CACHE_TYPE = "readahead"
BLOCK_SIZE = 8 << 20
# URLs that FFmpeg opens itself: its own where fsspec cannot read them.
FFMPEG_PROTOCOLS = frozenset("http https ftp rtmp rtmps rtsp srt udp tcp hls sftp".split())


class RemoteUnavailable(ImportError):
    """fsspec, or the filesystem package of a URL's protocol, is not installed."""


class CopyFailed(Exception):
    """A URL's file could not be copied here: the text says why."""


def _protocol(input: object) -> str:
    """The protocol of a URL in lower case, "" for anything else."""
    if not isinstance(input, str):
        return ""
    ends = [i for i in (input.find("://"), input.find("::")) if i >= 0]
    protocol = input[:min(ends)].lower() if ends else ""
    # Two letters at least: "C://x" is a Windows path.
    ok = len(protocol) > 1 and protocol[0].isalpha() and all(c.isalnum() or c in "+.-" for c in protocol)
    return protocol if ok else ""


def is_url(input: object) -> bool:
    """Whether `input` is a URL other than `file://`, named by its own path in outputs."""
    return _protocol(input) not in ("", "file")


def through_fsspec(input: object) -> bool:
    """Whether `input` is read through fsspec: a URL whose protocol fsspec knows, but `file://`.

    RemoteUnavailable names what to install when neither fsspec nor FFmpeg can read it.
    """
    protocol = _protocol(input)
    if protocol in ("", "file", "local"):
        return False
    try:
        from fsspec.registry import get_filesystem_class, known_implementations, registry
    except ImportError:
        if protocol in FFMPEG_PROTOCOLS:
            return False
        raise RemoteUnavailable(f"reading {protocol}:// URLs needs fsspec: {REMOTE_NEEDS}") from None
    if protocol not in known_implementations and protocol not in registry:
        return False
    try:
        get_filesystem_class(protocol)
    except ImportError as e:  # its package: "Install s3fs to access S3"
        if protocol in FFMPEG_PROTOCOLS:
            return False
        raise RemoteUnavailable(f"reading {protocol}:// URLs needs fsspec's package for it: {e}") from None
    return True


def local_path(input: str) -> str:
    """A `file://` URL as the local path it names; anything else unchanged."""
    if not input.lower().startswith("file://"):
        return input
    from urllib.parse import unquote, urlsplit
    parts = urlsplit(input)
    if parts.netloc not in ("", "localhost"):
        raise ValueError(f"{input}: a file:// URL names a file on this machine, not on {parts.netloc}")
    return unquote(parts.path)


def _file_name(url: str) -> str:
    """The last part of a URL's path: `film.mp4` of `s3://bucket/videos/film.mp4?v=2`."""
    from urllib.parse import unquote, urlsplit
    return unquote(urlsplit(url.rsplit("::", 1)[-1]).path.rstrip("/").rsplit("/", 1)[-1])


def url_stem(url: str) -> str:
    """The name of a URL's file without its extension: `film` of `s3://bucket/videos/film.mp4?v=2`."""
    name = _file_name(url)
    return os.path.splitext(name)[0] or name


def filesystem(url: str, storage_options: Optional[Dict[str, Any]] = None):
    """The fsspec filesystem of `url` and the path on it; RemoteUnavailable names the package missing."""
    try:
        from fsspec.core import url_to_fs
    except ImportError:
        raise RemoteUnavailable(f"reading {url} needs fsspec: {REMOTE_NEEDS}") from None
    try:
        return url_to_fs(url, **(storage_options or {}))
    except ImportError as e:  # fsspec's text names the protocol's package ("Install s3fs to access S3")
        raise RemoteUnavailable(f"reading {url}: {e}") from None
    except ValueError as e:  # a protocol fsspec does not know
        raise RemoteUnavailable(f"reading {url}: {e}") from None


def open_file(fs, path: str, name: str):
    """`path` on `fs` (an fsspec or a pyarrow filesystem) opened for one reading from start to end,
    its memory one cache block; `name` is what messages call it."""
    if hasattr(fs, "open_input_file"):  # pyarrow: no cache of its own, each read is one request
        import io
        file = io.BufferedReader(fs.open_input_file(path), buffer_size=BLOCK_SIZE)
    else:
        file = fs.open(path, "rb", block_size=BLOCK_SIZE, cache_type=CACHE_TYPE)
    with contextlib.suppress(AttributeError):  # messages call the file by its URL; a read-only name stays
        setattr(file, "name", name)
    return file


@contextlib.contextmanager
def opened(input, storage_options: Optional[Dict[str, Any]] = None, fs=None) -> Iterator[Any]:
    """`input` as the analysis reads it: a URL's file object, or a path's on the filesystem `fs`
    (fsspec or pyarrow) where one is given, open while the block runs; else a `file://` URL as its
    path, anything else as it is, where `storage_options` must be None.

    A file that cannot be opened raises AnalysisError ("io") saying why, with the filesystem's
    exception as its cause; RemoteUnavailable when a package is missing.
    """
    if storage_options is not None and not isinstance(storage_options, dict):
        raise TypeError(f"storage_options must be a dict, not {type(storage_options).__name__}")
    if fs is None and not through_fsspec(input):
        if storage_options is not None:
            raise ValueError(f"storage_options apply to URLs that fsspec opens, not to {input!r}")
        yield local_path(input) if isinstance(input, str) else input
        return
    if fs is not None and storage_options is not None:
        raise ValueError("storage_options go with a URL; a filesystem given has its options already")
    if fs is None:
        fs, path = filesystem(input, storage_options)
    else:
        path = input
    try:
        file = open_file(fs, path, input)
    except Exception as e:  # the filesystem packages raise their own kinds besides OSError
        from .errors import AnalysisError
        raise AnalysisError("io", f"input/output error: failed to open input: {input}: {reason(e, input)}") from e
    with file:
        yield file


def reason(error: BaseException, url: str) -> str:
    """What a filesystem's exception on `url` says, in the words FFmpeg uses for a local file."""
    detail = str(error.args[0]) if isinstance(error, OSError) and len(error.args) == 1 else str(error)
    said = "" if not detail or detail in url else f" ({detail})"  # s3fs names the path alone
    if isinstance(error, FileNotFoundError):
        return "No such file or directory" + said
    if isinstance(error, PermissionError):
        return "Permission denied" + said
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return f"{type(error).__name__}{said}"


def expand(url: str, recursive: bool, storage_options: Optional[Dict[str, Any]],
           extensions: frozenset) -> Optional[List[str]]:
    """The URLs of the files a glob pattern matches (`s3://bucket/videos/*.mp4`), or with
    `recursive` of the video files (by `extensions`) under a folder (a prefix), sorted; None for a
    URL that names one file. A web server's URL always names one file (its `?` starts a query).

    The store is asked only for a pattern, with `recursive`, or for a URL ending in "/". Raises
    IsADirectoryError for a folder without `recursive`, the filesystem's error when listing fails.
    """
    fs, path = filesystem(url, storage_options)
    if "http" in fs.protocol:
        return None
    if any(c in path for c in "*?["):
        found = [p for p, info in fs.glob(path, detail=True).items() if info.get("type") != "directory"]
    elif (recursive or url.endswith("/")) and fs.isdir(path):
        if not recursive:
            raise IsADirectoryError(f"{url} is a folder: add --recursive to analyse the videos in it")
        found = [p for p in fs.find(path) if os.path.splitext(p)[1].lower() in extensions]
    else:
        return None
    return [fs.unstrip_protocol(p) for p in sorted(found)]


@contextlib.contextmanager
def local_copy(url: str, storage_options: Optional[Dict[str, Any]]) -> Iterator[str]:
    """A temporary local copy of the file at `url`, for the ffmpeg tool; removed when the block ends,
    also on Ctrl-C. CopyFailed says why a copy could not be made."""
    import tempfile
    with tempfile.TemporaryDirectory(prefix="vantrel-") as tmp:
        copy = os.path.join(tmp, _file_name(url) or "video")
        try:
            fs, path = filesystem(url, storage_options)
            fs.get_file(path, copy)
        except Exception as e:  # the filesystem packages raise their own kinds besides OSError
            raise CopyFailed(f"cannot copy {url} for the ffmpeg tool: {reason(e, url)}") from None
        yield copy
