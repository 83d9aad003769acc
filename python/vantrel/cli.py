"""The `vantrel` command: scene changes of one video or of a batch, in the formats tools read."""
from __future__ import annotations

import argparse
import contextlib
import os
import re
import sys
from pathlib import Path
from typing import Dict, Generator, List, NamedTuple, Optional, Tuple

from .analysis import DetectorSettings
from .contact_sheet import ThumbnailError, write_contact_sheet
from .files import UsageError, collect_inputs, output_stems, write_atomic
from .formats import FORMATS, Format, FormatError, format_help, render_scores, scene_records
from .jobs import FileResult, Task, analyse, shown_messages
from .progress import Reporter
from .runners import Event, ProgressEvent, RayUnavailable, run_local, run_ray
from .split import SplitError, split_scenes

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
LOCAL_RAY = ""  # `--ray` without an address
STDOUT = Path("-")
OTIO_NEEDS = "-f otio needs OpenTimelineIO: pip install 'vantrel-rs[otio]'"
TABLE_NEEDS = "--table needs pyarrow: pip install 'vantrel-rs[table]'"

DETECTOR_HELP = {
    "search_radius": "motion search radius in pixels of the reduced image (0 to 64)",
    "intra_thresh": "how much worse than its own texture a block's best match must be to count as new",
    "intra_thresh2": "threshold of the first-pass rule's score, relaxed with the distance from the last cut",
    "window_size": "frames of score history behind the adaptive threshold",
    "sigma": "standard deviations above the recent mean that the adaptive threshold sits",
    "base_threshold": "lowest adaptive threshold",
    "min_hist_distance": "luma histogram change an adaptive cut needs at least",
    "min_score": "blended score an adaptive cut needs at least",
    "sad_weight": "weight of the pixel difference in the blended score",
    "hist_weight": "weight of the histogram change in the blended score",
}


def scene_length(text: str) -> float:
    """Frames ("48"), seconds ("2.5s") or a timecode ("00:01:30.000"); ints are frames."""
    if re.fullmatch(r"\d+", text):
        return int(text)
    if re.fullmatch(r"\d+(\.\d*)?s", text):
        return float(text[:-1])
    match = re.fullmatch(r"(?:(\d+):)?(\d+):(\d+(?:\.\d*)?)", text)
    if match:
        hours, minutes, seconds = match.groups()
        return int(hours or 0) * 3600 + int(minutes) * 60 + float(seconds)
    raise argparse.ArgumentTypeError(
        f"{text!r} is not a length: give frames (48), seconds (2.5s) or a timecode (00:01:30.000)")


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version
    try:
        return version("vantrel-rs")
    except PackageNotFoundError:
        return "unknown"


class _Version(argparse.Action):
    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(f"vantrel {_version()}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    cpus = os.cpu_count() or 1
    p = argparse.ArgumentParser(
        prog="vantrel",
        description="Find the frames where scenes begin in video files.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
        epilog="One input goes to standard output or -o FILE; several inputs, or folders with "
               "--recursive, need --output-dir. Options may stand anywhere among the inputs. "
               "Exit status: 0 all files done or skipped, 1 a file failed, 2 bad usage, 130 interrupted.")
    p.add_argument("inputs", nargs="+", metavar="VIDEO", help="video files, or folders with --recursive")
    p.add_argument("--version", action=_Version)
    out = p.add_argument_group("output")
    out.add_argument("-f", "--format", choices=list(FORMATS), default="frames",
                     help="; ".join(format_help()) + ". xvid shows the per-frame first-pass decisions; every "
                          "other format shows the refined scene list. The two differ by design: on a fade or "
                          "a burst of changes the pass decisions mark more frames")
    out.add_argument("-o", "--output", metavar="FILE", type=Path,
                     help="write the one input's result to FILE ('-' is standard output, the default)")
    out.add_argument("-d", "--output-dir", metavar="DIR", type=Path,
                     help="write one <name>.<format extension> file per input into DIR")
    out.add_argument("-r", "--recursive", action="store_true",
                     help="analyse the video files in the folders given, and in their subfolders")
    out.add_argument("--overwrite", action="store_true",
                     help="analyse again inputs whose output files already exist (default: skip them)")
    out.add_argument("--contact-sheet", metavar="FILE.jpg", type=Path,
                     help="also write one image with the first frame of every scene (one input only)")
    out.add_argument("--stats", metavar="FILE.csv", type=Path,
                     help="also write the per-frame scores: one row per compared frame (every frame but the "
                          "first) with its time, score, threshold and the detectors' measures; in a batch FILE is "
                          "a folder that gets one <name>.scores.csv per input")
    out.add_argument("--report", metavar="FILE.html", type=Path,
                     help="also write one self-contained page: each scene's first frame with its frames, times "
                          "and length, and the score curve with the threshold and the scene starts (needs the "
                          "ffmpeg tool); in a batch FILE is a folder that gets one <name>.html per input")
    out.add_argument("--split", metavar="DIR", type=Path,
                     help="also cut the input into one video file per scene, DIR/<name>-scene-001.mp4 and on, "
                          "with the ffmpeg tool: re-encoded (H.264 at CRF 18, AAC audio) so that every file holds "
                          "exactly its scene's frames; a batch puts every input's files into DIR")
    out.add_argument("--split-copy", action="store_true",
                     help="with --split, copy the streams instead (fast, no quality loss, .mkv files): a file "
                          "then starts at the nearest codec keyframe at or before its scene's first frame, so "
                          "it may begin with frames of the scene before")
    out.add_argument("--table", metavar="FILE.parquet", type=Path,
                     help="also write one Parquet table of every input's scenes, a row per scene (needs "
                          "pyarrow: the table extra); a resumed batch keeps the rows of the inputs it skips")
    out.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    out.add_argument("-v", "--verbose", action="store_true",
                     help="print every FFmpeg warning of an input, not only its errors")
    run = p.add_argument_group("decoding and running")
    run.add_argument("-j", "--jobs", metavar="N", type=int, default=None,
                     help=f"files analysed at once, one worker process each (default: {cpus}, the CPUs, "
                          "or fewer when there are fewer files)")
    run.add_argument("--threads", metavar="N", type=int, default=None,
                     help="decoder threads per analysis; 0 lets FFmpeg choose (default: a single input uses "
                          f"every CPU; in a batch each of the jobs gets CPUs / jobs, here {cpus} / jobs, at "
                          "least 1: for many files one thread per file and one file per CPU is fastest)")
    run.add_argument("--strict", action="store_true",
                     help="stop at the first packet the decoder rejects (default: skip damaged packets, "
                          "report them and go on)")
    run.add_argument("--native-res", action="store_true",
                     help="analyse the full decoded resolution instead of a reduced image")
    run.add_argument("--hwdec", metavar="NAME", help="FFmpeg hardware device type to decode with, e.g. cuda")
    run.add_argument("--ray", metavar="ADDRESS", nargs="?", const=LOCAL_RAY,
                     help="run the batch as Ray tasks on the cluster at ADDRESS, or on a private local "
                          "instance without ADDRESS; a word right after --ray is taken as ADDRESS, so put "
                          "a bare --ray after the inputs. Ray tasks report when they finish, not while "
                          "they decode")
    tune = p.add_argument_group("tuning", "Scene lengths are frames (48), seconds (2.5s) or a timecode "
                                          "(00:01:30.000).")
    tune.add_argument("--min-scene-len", metavar="LENGTH", type=scene_length,
                      help="drop a keyframe that would start a scene shorter than LENGTH after the previous one")
    tune.add_argument("--max-scene-len", metavar="LENGTH", type=scene_length,
                      help="split a longer scene at its highest-scoring frames")
    defaults = DetectorSettings()
    for name, text in DETECTOR_HELP.items():
        value = getattr(defaults, name)
        tune.add_argument(f"--{name.replace('_', '-')}", metavar="N", type=type(value), default=value, help=text)
    return p


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
    import importlib
    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


def _write_table(path: Path, inputs: List[str], rows: Dict[str, List[dict]], reporter: Reporter) -> bool:
    """Writes the --table file; False when that fails."""
    from .table import write_table
    try:
        missing = write_table(path, inputs, rows)
    except OSError as e:
        reporter.error(f"cannot write {path}: {e.strerror or e}")
        return False
    if missing:
        reporter.warn(f"{path}: no rows for {len(missing)} skipped input{'s' if len(missing) != 1 else ''} "
                      "(done by a run without --table); --overwrite analyses them again")
    return True


def _detector(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Optional[DetectorSettings]:
    try:
        settings = DetectorSettings(**{name: getattr(args, name) for name in DETECTOR_HELP})
    except (TypeError, ValueError) as e:  # "sigma must be ...": the field's name comes first
        name, rest = str(e).split(" ", 1)
        parser.error(f"--{name.replace('_', '-')} {rest}")
    return None if settings == DetectorSettings() else settings


class Targets(NamedTuple):
    """Where one input's results go."""
    output: Optional[Path]  # None: standard output
    stats: Optional[Path]
    report: Optional[Path]
    stem: str  # of its clips' names in the --split folder


def _write(path: Path, text: str) -> Optional[str]:
    try:
        write_atomic(path, text.encode("utf-8"))
    except OSError as e:
        return f"cannot write {path}: {e.strerror or e}"
    return None


def _deliver(result: FileResult, fmt: Format, targets: Targets, args: argparse.Namespace,
             reporter: Reporter) -> Optional[str]:
    """Writes one finished result, its format's file last; returns an error text when that fails.

    In a batch the format's file thus marks an input whose other files are complete.
    """
    analysis, input = result.analysis, result.task.input
    assert analysis is not None, "a result without error carries its analysis"
    try:
        data = fmt.render(analysis, input).encode("utf-8")
        if args.split is not None:
            def progress(scene: int, scenes: int, frames: int) -> None:
                fraction = frames / analysis.frame_count if analysis.frame_count else 1.0
                reporter.step(f"cutting {os.path.basename(input)}: scene {scene}/{scenes}", fraction)

            split_scenes(input, analysis, args.split, targets.stem, args.split_copy, progress)
        if targets.stats is not None:
            error = _write(targets.stats, render_scores(analysis))
            if error:
                return error
        if targets.report is not None:
            from .report import report_page
            error = _write(targets.report, report_page(analysis, input))
            if error:
                return error
        if args.contact_sheet is not None:
            warning = write_contact_sheet(input, analysis.keyframes, args.contact_sheet)
            if warning:
                reporter.warn(warning)
    except (FormatError, SplitError, ThumbnailError) as e:
        return str(e)
    except OSError as e:  # a clip or a picture that cannot be written
        return f"cannot write {e.filename or 'a file'}: {e.strerror or e}"
    output = targets.output
    try:
        if output is None:
            sys.stdout.buffer.write(data)
            sys.stdout.flush()
        else:
            write_atomic(output, data)
    except OSError as e:
        if output is None and isinstance(e, BrokenPipeError):
            # The reader went away (`| head`): keep the interpreter's final flush from failing too.
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return f"cannot write {output or 'standard output'}: {e.strerror or e}"
    return None


def _single(task: Task, reporter: Reporter) -> Generator[Event, None, None]:
    """One input analysed in this process: progress straight from the decoder, Ctrl-C at once."""
    yield analyse(task, lambda progress: reporter.progress(task.input, progress))


def _nothing() -> Generator[Event, None, None]:
    """The events of a run with every input skipped."""
    yield from ()


def _jobs_and_threads(args: argparse.Namespace, files: int, batch: bool) -> Tuple[int, int]:
    cpus = os.cpu_count() or 1
    if not batch:
        return 1, 0 if args.threads is None else args.threads
    jobs = args.jobs if args.jobs is not None else max(1, min(cpus, files))
    threads = args.threads if args.threads is not None else max(1, cpus // jobs)
    return jobs, threads


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_intermixed_args(argv)
    fmt = FORMATS[args.format]
    try:
        inputs = collect_inputs(args.inputs, args.recursive)
    except UsageError as e:
        parser.error(str(e))
    batch = args.output_dir is not None or len(args.inputs) > 1 or any(os.path.isdir(p) for p in args.inputs)
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.threads is not None and not 0 <= args.threads <= 1024:
        parser.error("--threads must be from 0 (FFmpeg chooses) to 1024")
    if args.output == STDOUT:
        args.output = None
    if batch and args.output is not None:
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
    if not inputs:
        parser.error("no video files found in the folders given")
    if args.quiet and args.verbose:
        parser.error("-q/--quiet and -v/--verbose exclude each other")
    shortest, longest = args.min_scene_len, args.max_scene_len
    if longest is not None and longest <= 0:
        parser.error("--max-scene-len must be positive")
    if shortest is not None and longest is not None and type(shortest) is type(longest) and shortest > longest:
        parser.error("--min-scene-len is longer than --max-scene-len")
    detector = _detector(parser, args)
    if args.output is not None:
        _check_writable_file(parser, "-o", args.output)
    for option, path in (("--contact-sheet", args.contact_sheet), ("--table", args.table),
                         ("--stats", None if batch else args.stats), ("--report", None if batch else args.report)):
        if path is not None:
            _check_writable_file(parser, option, path)
    for option, folder in (("--output-dir", args.output_dir), ("--split", args.split),
                           ("--stats", args.stats if batch else None), ("--report", args.report if batch else None)):
        if folder is not None:
            _prepare_folder(parser, option, folder)

    if batch:
        targets = [Targets(args.output_dir / f"{stem}.{fmt.extension}",
                           args.stats / f"{stem}.scores.csv" if args.stats else None,
                           args.report / f"{stem}.html" if args.report else None, stem)
                   for stem in output_stems(inputs)]
    else:
        targets = [Targets(args.output, args.stats, args.report, Path(inputs[0]).stem)]
    reporter = Reporter(sys.stderr, sys.stderr.isatty(), batch, args.quiet, args.verbose)
    todo = []
    skipped = set()
    for path, target in zip(inputs, targets):
        files = [f for f in (target.output, target.stats, target.report) if f is not None]
        if batch and not args.overwrite and all(f.exists() for f in files):
            reporter.skip(path, str(target.output))
            skipped.add(path)
        else:
            todo.append((path, target))
    reporter.to_run = len(todo)
    jobs, threads = _jobs_and_threads(args, len(todo), batch)
    scores = args.stats is not None or args.report is not None
    tasks = [Task(path, args.native_res, args.hwdec, threads, args.strict, scores, args.min_scene_len,
                  args.max_scene_len, detector) for path, _ in todo]
    target_of = dict(todo)
    rows: Dict[str, List[dict]] = {}  # for --table, by input

    interrupted = False
    try:
        if not tasks:
            events: Generator[Event, None, None] = _nothing()
        elif args.ray is not None:
            events = run_ray(tasks, args.ray or None, jobs, max(1, threads))
        elif not batch:
            events = _single(tasks[0], reporter)
        else:
            events = run_local(tasks, jobs)
        with contextlib.closing(events):
            for event in events:
                if event is None:
                    reporter.draw()
                elif isinstance(event, ProgressEvent):
                    reporter.progress(event.input, event.progress)
                else:
                    path, target = event.task.input, target_of[event.task.input]
                    reporter.ffmpeg_lines(path, shown_messages(event.messages, args.verbose))
                    error = event.error or _deliver(event, fmt, target, args, reporter)
                    if error is None:
                        assert event.analysis is not None
                        reporter.finish(path, str(target.output), event.analysis)
                        if args.table is not None:
                            rows[path] = scene_records(event.analysis, path)
                    else:
                        reporter.fail(path, error)
    except KeyboardInterrupt:
        interrupted = True
    except RayUnavailable as e:
        print(f"vantrel: {e}", file=sys.stderr)
        return EXIT_USAGE
    table_written = args.table is None or _write_table(
        args.table, [p for p in inputs if p in rows or p in skipped], rows, reporter)
    reporter.close(interrupted)
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_FAILED if reporter.failed or not table_written else EXIT_OK
