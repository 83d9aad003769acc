"""The command's `--table`: one Parquet file of every input's scenes, a row per scene."""
from __future__ import annotations

import contextlib
from pathlib import Path
from typing import Dict, Iterable, List

from ..atomic import replacing


def scene_schema(transitions: bool):
    """The columns of the scene rows; with `transitions` also those naming the transition each
    scene begins with (methods other than refined)."""
    import pyarrow as pa

    fields = [("input", pa.string()), ("scene", pa.int64()), ("start_frame", pa.int64()),
              ("end_frame", pa.int64()), ("start_time", pa.float64()), ("end_time", pa.float64()),
              ("frame_count", pa.int64()), ("fps", pa.string()), ("fps_float", pa.float64())]
    if transitions:
        fields += [("transition", pa.string()), ("transition_first_frame", pa.int64()),
                   ("transition_last_frame", pa.int64())]
    return pa.schema(fields)


def _previous_rows(path: Path) -> Dict[str, List[dict]]:
    """The rows a table written before holds, by input; none when there is no readable table."""
    import pyarrow
    import pyarrow.parquet as pq

    rows: Dict[str, List[dict]] = {}
    with contextlib.suppress(OSError, pyarrow.ArrowException):
        table = pq.read_table(path)
        for schema in (scene_schema(False), scene_schema(True)):
            if table.schema.names == schema.names:
                for row in table.cast(schema).to_pylist():
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
    transitions = any("transition" in row for row in rows)
    with replacing(path) as tmp:
        pq.write_table(pa.Table.from_pylist(rows, schema=scene_schema(transitions)), str(tmp))
    return missing
