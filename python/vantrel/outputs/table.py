"""The command's `--table`: one Parquet file of every input's scenes, a row per scene."""
from __future__ import annotations

import contextlib
from pathlib import Path
from typing import Dict, Iterable, List

from ..atomic import replacing


def _schema():
    import pyarrow as pa

    return pa.schema([("input", pa.string()), ("scene", pa.int64()), ("start_frame", pa.int64()),
                      ("end_frame", pa.int64()), ("start_time", pa.float64()), ("end_time", pa.float64()),
                      ("frame_count", pa.int64()), ("fps", pa.string()), ("fps_float", pa.float64())])


def _previous_rows(path: Path) -> Dict[str, List[dict]]:
    """The rows a table written before holds, by input; none when there is no readable table."""
    import pyarrow
    import pyarrow.parquet as pq

    rows: Dict[str, List[dict]] = {}
    with contextlib.suppress(OSError, pyarrow.ArrowException):
        for row in pq.read_table(path, schema=_schema()).to_pylist():
            rows.setdefault(row["input"], []).append(row)
    return rows


def write_table(path: Path, inputs: Iterable[str], fresh: Dict[str, List[dict]]) -> List[str]:
    """Writes the rows of `inputs` in their order, atomically: this run's where it has them, else those
    the file held already (a resumed batch skips inputs done before). Returns the inputs that have
    neither."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    previous = _previous_rows(path) if path.exists() else {}
    rows: List[dict] = []
    missing = []
    for input in inputs:
        found = fresh.get(input, previous.get(input))
        if found is None:
            missing.append(input)
        else:
            rows += found
    with replacing(path) as tmp:
        pq.write_table(pa.Table.from_pylist(rows, schema=_schema()), str(tmp))
    return missing
