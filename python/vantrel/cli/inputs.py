"""Finding the inputs of a batch and naming their outputs."""
from __future__ import annotations

import hashlib
import os
from collections import Counter
from pathlib import Path
from typing import Any, Dict, List, Optional

from .. import remote

# Files taken from a folder with --recursive; files named on the command line are always analysed.
VIDEO_EXTENSIONS = frozenset(
    ".3g2 .3gp .asf .avi .divx .dv .f4v .flv .h264 .h265 .hevc .ivf .m1v .m2t .m2ts .m2v .m4v "
    ".mj2 .mjpeg .mkv .mov .mp4 .mpeg .mpg .mts .mxf .nut .ogv .rm .rmvb .ts .vob .webm .wmv .y4m".split())


class UsageError(Exception):
    pass


def collect_inputs(paths: List[str], recursive: bool, storage_options: Optional[Dict[str, Any]] = None) -> List[str]:
    """Files in command-line order, folders and URL globs expanded in sorted order, each file once;
    `file://` URLs as their paths."""
    found: List[str] = []
    for path in paths:
        try:
            fsspec_reads = remote.through_fsspec(path)
        except remote.RemoteUnavailable as e:
            raise UsageError(str(e)) from None
        if fsspec_reads:
            found += _remote_inputs(path, recursive, storage_options)
            continue
        path = remote.local_path(path)
        if not os.path.isdir(path):
            found.append(path)
            continue
        if not recursive:
            raise UsageError(f"{path} is a folder: add --recursive to analyse the videos in it")
        for root, dirs, names in os.walk(path):
            dirs.sort()
            found.extend(os.path.join(root, n) for n in sorted(names)
                         if os.path.splitext(n)[1].lower() in VIDEO_EXTENSIONS)
    seen = set()
    unique = []
    for path in found:
        key = _identity(path)
        if key not in seen:
            seen.add(key)
            unique.append(path)
    return unique


def _remote_inputs(url: str, recursive: bool, storage_options: Optional[Dict[str, Any]]) -> List[str]:
    try:
        expanded = remote.expand(url, recursive, storage_options, VIDEO_EXTENSIONS)
    except (remote.RemoteUnavailable, IsADirectoryError) as e:
        raise UsageError(str(e)) from None
    except Exception as e:  # the filesystem packages raise their own kinds besides OSError
        raise UsageError(f"cannot list {url}: {remote.reason(e, url)}") from None
    if expanded == [] and not recursive:
        raise UsageError(f"no file matches {url}")
    return [url] if expanded is None else expanded


def _identity(path: str) -> str:
    """What tells two inputs apart: a URL as it is, a file by its real path."""
    return path if remote.is_url(path) else os.path.realpath(path)


def input_stem(path: str) -> str:
    """The name of an input's outputs before any tag: the file's name without its extension."""
    return remote.url_stem(path) if remote.is_url(path) else Path(path).stem


def output_stems(inputs: List[str]) -> List[str]:
    """The name of each input's outputs: its stem; inputs sharing a stem get a tag from their real path.

    The tag depends only on the input's own path, so a file keeps its output name from one
    run to the next as long as the set of colliding stems is the same.
    """
    stems = [input_stem(p) for p in inputs]
    counts = Counter(stems)
    names = []
    for path, stem in zip(inputs, stems):
        if counts[stem] > 1:
            tag = hashlib.sha1(_identity(path).encode("utf-8", "surrogateescape")).hexdigest()[:8]
            stem = f"{stem}-{tag}"
        names.append(stem)
    return names
