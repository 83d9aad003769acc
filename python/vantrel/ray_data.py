"""Ray Data: `read_scenes()`, the scenes of many videos as a Dataset, one row per scene.

Paths go out to the workers and rows come back: each worker opens and reads its own videos (a
local path, a URL through fsspec, or a path on the filesystem given), so no video passes through
the driver.
"""
from __future__ import annotations

import os
from functools import partial
from typing import Any, Dict, Iterable, Optional, Union

from .remote import through_fsspec
from .settings import AnalysisSettings

RAY_NEEDS = "vantrel.ray_data needs Ray Data: pip install 'vantrel-rs[ray]'"
# What read_scenes takes of analyze()'s keywords: the settings that shape the scene list
# (scores and progress have no place in a row) and the URLs' storage options.
OPTIONS = tuple(name for name in AnalysisSettings._fields if name != "scores") + ("storage_options",)


def read_scenes(paths: Union[str, os.PathLike, Iterable[Union[str, os.PathLike]]], *, filesystem=None,
                **analyze_options: Any):
    """A Ray Dataset of the scenes of the videos at `paths`, one row per scene with the columns of
    the command's --table (`vantrel.scene_rows()`'s keys; `input` is the path as given).

    filesystem: a pyarrow or fsspec filesystem that the paths are on (its credentials travel
    with it to the workers); None: each path's own, local or a URL by its protocol, with
    `storage_options` among `analyze_options`. `analyze_options` are those of `vantrel.analyze()`
    that shape the scenes; `threads` is 1 by default, one video per CPU being fastest for many
    videos, and each analysis asks Ray for max(1, threads) CPUs. A video that cannot be analysed
    fails the dataset with its AnalysisError when the rows are computed.
    """
    try:
        import ray.data
    except ImportError:
        raise ImportError(RAY_NEEDS) from None
    unknown = sorted(set(analyze_options) - set(OPTIONS))
    if unknown:
        raise TypeError(f"read_scenes() got an unexpected keyword argument {unknown[0]!r}; "
                        f"it takes filesystem and {', '.join(OPTIONS)}")
    storage_options = analyze_options.pop("storage_options", None)
    settings = AnalysisSettings(**{"threads": 1, **analyze_options})
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    names = [os.fsdecode(os.fspath(p)) for p in paths]
    if storage_options is not None and (filesystem is not None or not any(through_fsspec(p) for p in names)):
        raise ValueError("storage_options go with URLs (s3://..., https://...) and without a filesystem, "
                         "which has its options already")
    rows = partial(_scenes, settings, filesystem, storage_options)
    return ray.data.from_items([{"path": p} for p in names], override_num_blocks=max(1, len(names))).map_batches(
        rows, batch_size=1, batch_format="pyarrow", num_cpus=max(1, settings.threads))


def _scenes(settings: AnalysisSettings, filesystem, storage_options: Optional[Dict[str, Any]], batch):
    """The rows of a batch of paths, on a worker."""
    import pyarrow as pa

    from .analysis import analyze_with
    from .outputs.table import scene_schema
    from .remote import opened
    from .rows import scene_records

    rows = []
    for path in batch["path"].to_pylist():
        with opened(path, storage_options if through_fsspec(path) else None, filesystem) as video:
            rows += scene_records(analyze_with(video, settings), path)
    return pa.Table.from_pylist(rows, schema=scene_schema(settings.method != "refined"))
