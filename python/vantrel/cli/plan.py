"""From the parsed options to a checked plan: the analysis settings, the inputs to analyse and to
skip, where each one's results go, and how many run at once. Every usage error is found here,
before any analysis starts."""
from __future__ import annotations

import argparse
import importlib
import os
import re
from pathlib import Path
from typing import Dict, List, NamedTuple, Optional

from .. import remote
from ..methods import lookup
from ..outputs.formats import FORMATS, Format
from ..settings import DETECTOR_FIELDS, AnalysisSettings, DetectorSettings
from .inputs import UsageError, collect_inputs, input_stem, output_stems
from .options import option_name
from .tasks import STDIN, Task

STDOUT = Path("-")
OTIO_NEEDS = "-f otio needs OpenTimelineIO: pip install 'vantrel-rs[otio]'"
TABLE_NEEDS = "--table needs pyarrow: pip install 'vantrel-rs[table]'"
# The analysis settings the command sets by an option of the same name.
_SETTINGS_OPTIONS = ("threads", "hwdec", "min_scene_len", "max_scene_len", "method", "threshold", "model",
                     *DETECTOR_FIELDS)


class Targets(NamedTuple):
    """Where one input's results go."""
    output: Optional[Path]  # None: standard output
    stats: Optional[Path]
    report: Optional[Path]
    stem: str  # of its clips' names in the --split folder


class Outputs(NamedTuple):
    """What the command makes of every analysis besides each input's targets."""
    format: Format
    split: Optional[Path]
    split_copy: bool
    contact_sheet: Optional[Path]
    table: Optional[Path]


class Plan(NamedTuple):
    batch: bool
    inputs: List[str]  # every input found, in order
    skipped: List[str]  # inputs of a resumed batch whose files all exist
    tasks: List[Task]  # the others
    targets: Dict[str, Targets]  # by input
    settings: AnalysisSettings  # of every task
    outputs: Outputs
    jobs: int
    ray: Optional[str]  # the cluster's address, LOCAL_RAY for a private instance; None: no Ray


def make_plan(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Plan:
    """The plan of the parsed `args`; a usage error ends the command through `parser.error`."""
    storage_options = dict(args.storage_option) if args.storage_option else None  # the last of a key wins
    inputs = _inputs(parser, args, storage_options)
    if storage_options is not None and not any(remote.through_fsspec(p) for p in inputs):
        parser.error("--storage-option applies to URL inputs that fsspec reads (s3://..., https://...), "
                     "and none is given")
    # A folder, or a URL glob or prefix, is a batch even when it holds one file.
    batch = (args.output_dir is not None or len(args.inputs) > 1 or any(os.path.isdir(p) for p in args.inputs)
             or any(remote.is_url(p) for p in args.inputs) and inputs != args.inputs)
    output = None if args.output == STDOUT else args.output
    _check_combinations(parser, args, batch, output, inputs)
    settings = _settings(parser, args)
    _check_output_paths(parser, args, batch, output)
    fmt = FORMATS[args.format]
    targets = _targets(args, batch, output, inputs, fmt)
    done = {path for path in inputs if batch and not args.overwrite and _done_before(targets[path])}
    todo = [path for path in inputs if path not in done]
    jobs, threads = _jobs_and_threads(args, len(todo), batch)
    if threads != settings.threads:
        settings = AnalysisSettings(**{**settings._asdict(), "threads": threads})
    outputs = Outputs(fmt, args.split, args.split_copy, args.contact_sheet, args.table)
    tasks = [Task(path, settings, storage_options if remote.through_fsspec(path) else None) for path in todo]
    return Plan(batch, inputs, [path for path in inputs if path in done], tasks, targets, settings, outputs, jobs,
                args.ray)


def _inputs(parser: argparse.ArgumentParser, args: argparse.Namespace,
            storage_options: Optional[dict]) -> List[str]:
    if STDIN in args.inputs:
        if len(args.inputs) > 1 or args.output_dir is not None:
            parser.error("standard input (-) is one input alone, without --output-dir")
        for option in ("--split", "--report", "--contact-sheet"):
            if getattr(args, option[2:].replace("-", "_")) is not None:
                parser.error(f"{option} reads the video again, which standard input cannot give: "
                             "write the video to a file first")
        return [STDIN]
    try:
        inputs = collect_inputs(args.inputs, args.recursive, storage_options)
    except UsageError as e:
        parser.error(str(e))
    return inputs


def _check_combinations(parser: argparse.ArgumentParser, args: argparse.Namespace, batch: bool,
                        output: Optional[Path], inputs: List[str]) -> None:
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if batch and output is not None:
        parser.error("-o/--output takes one input; use --output-dir DIR for several")
    if batch and args.output_dir is None:
        parser.error("several inputs, or a folder, need --output-dir DIR")
    if batch and args.contact_sheet is not None:
        parser.error("--contact-sheet takes one input")
    if args.split_copy and args.split is None:
        parser.error("--split-copy goes with --split DIR")
    if args.format == "otio" and not _has_module("opentimelineio"):
        parser.error(OTIO_NEEDS)
    if args.table is not None and not _has_module("pyarrow.parquet"):
        parser.error(TABLE_NEEDS)
    method = lookup(args.method)
    if not all(_has_module(name) for name in method.needs):
        parser.error(f"--method {method.name} needs {method.needs_text}: {method.install}")
    if not inputs:
        parser.error("no video files found in the folders given")
    if args.quiet and args.verbose:
        parser.error("-q/--quiet and -v/--verbose exclude each other")


def _settings(parser: argparse.ArgumentParser, args: argparse.Namespace) -> AnalysisSettings:
    """The analysis settings of the options, checked where `analyze()` checks its own; a refused
    value is said with its option's name."""
    try:
        detector = DetectorSettings(**{name: getattr(args, name) for name in DETECTOR_FIELDS})
        return AnalysisSettings(args.native_res, args.hwdec, 0 if args.threads is None else args.threads,
                                args.stats is not None or args.report is not None, args.on_decode_error,
                                args.min_scene_len, args.max_scene_len, detector, args.method, args.threshold,
                                args.model)
    except (TypeError, ValueError) as e:
        names = re.compile(r"\b(%s)\b" % "|".join(_SETTINGS_OPTIONS))  # compiled only for a refusal
        parser.error(names.sub(lambda name: option_name(name.group(1)), str(e)))


def _check_output_paths(parser: argparse.ArgumentParser, args: argparse.Namespace, batch: bool,
                        output: Optional[Path]) -> None:
    """Output files that can be written, and output folders made, before any analysis starts."""
    if output is not None:
        _check_writable_file(parser, "-o", output)
    for option, path in (("--contact-sheet", args.contact_sheet), ("--table", args.table),
                         ("--stats", None if batch else args.stats), ("--report", None if batch else args.report)):
        if path is not None:
            _check_writable_file(parser, option, path)
    for option, folder in (("--output-dir", args.output_dir), ("--split", args.split),
                           ("--stats", args.stats if batch else None), ("--report", args.report if batch else None)):
        if folder is not None:
            _prepare_folder(parser, option, folder)


def _targets(args: argparse.Namespace, batch: bool, output: Optional[Path], inputs: List[str],
             fmt: Format) -> Dict[str, Targets]:
    """Each input's files: in a batch named after the input in the folders given."""
    if not batch:
        return {inputs[0]: Targets(output, args.stats, args.report, input_stem(inputs[0]))}
    return {path: Targets(args.output_dir / f"{stem}.{fmt.extension}",
                          args.stats / f"{stem}.scores.csv" if args.stats else None,
                          args.report / f"{stem}.html" if args.report else None, stem)
            for path, stem in zip(inputs, output_stems(inputs))}


def _jobs_and_threads(args: argparse.Namespace, files: int, batch: bool) -> tuple:
    cpus = os.cpu_count() or 1
    if not batch:
        return 1, 0 if args.threads is None else args.threads
    jobs = args.jobs if args.jobs is not None else max(1, min(cpus, files))
    threads = args.threads if args.threads is not None else max(1, cpus // jobs)
    return jobs, threads


def _done_before(targets: Targets) -> bool:
    """Every file of the input exists: a resumed batch skips it."""
    return all(f.exists() for f in (targets.output, targets.stats, targets.report) if f is not None)


def _check_writable_file(parser: argparse.ArgumentParser, option: str, path: Path) -> None:
    """Refuses an output file that cannot be written, before any analysis starts."""
    parent = path.parent
    if path.is_dir():
        parser.error(f"{option} {path}: is a folder")
    if not parent.is_dir():
        parser.error(f"{option} {path}: the folder {parent} does not exist")
    if not os.access(parent, os.W_OK | os.X_OK) or (path.exists() and not os.access(path, os.W_OK)):
        parser.error(f"{option} {path}: permission denied")


def _prepare_folder(parser: argparse.ArgumentParser, option: str, folder: Path) -> None:
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        parser.error(f"{option} {folder}: {e.strerror or e}")
    if not os.access(folder, os.W_OK | os.X_OK):
        parser.error(f"{option} {folder}: permission denied")


def _has_module(name: str) -> bool:
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True
