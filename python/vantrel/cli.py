"""The `vantrel` command: scene changes of one video or of a batch, in the formats tools read."""
from __future__ import annotations

import argparse
import contextlib
import os
import sys
from pathlib import Path
from typing import Generator, List, Optional

from .analyse import FileResult, Task
from .contact_sheet import ContactSheetError, write_contact_sheet
from .files import UsageError, collect_inputs, output_names, write_atomic
from .formats import FORMATS, Format
from .progress import Reporter
from .runners import RayUnavailable, run_local, run_ray

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
LOCAL_RAY = ""  # `--ray` without an address


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="vantrel",
        description="Find the frames where scenes begin in video files.",
        epilog="One input goes to standard output or -o FILE; several inputs, or folders with "
               "--recursive, need --output-dir. Exit status: 0 all files done or skipped, "
               "1 a file failed, 2 bad usage, 130 interrupted.")
    p.add_argument("inputs", nargs="+", metavar="VIDEO", help="video files, or folders with --recursive")
    p.add_argument("-f", "--format", choices=list(FORMATS), default="frames",
                   help="frames: one index per line (default); json; csv: one row per scene; "
                        "keyframes: keyframe list for subtitle editors; xvid: first-pass statistics "
                        "text; qpfile: one 'N I' line per scene start, for encoders")
    p.add_argument("-o", "--output", metavar="FILE", type=Path,
                   help="write the one input's result to FILE instead of standard output")
    p.add_argument("-d", "--output-dir", metavar="DIR", type=Path,
                   help="write one <name>.<format extension> file per input into DIR")
    p.add_argument("-r", "--recursive", action="store_true",
                   help="analyse the video files in the folders given, and in their subfolders")
    p.add_argument("--overwrite", action="store_true",
                   help="analyse again inputs whose output file already exists (default: skip them)")
    p.add_argument("-j", "--jobs", metavar="N", type=int, default=os.cpu_count() or 1,
                   help="files analysed at once, one worker process each (default: %(default)s, the CPUs)")
    p.add_argument("--native-res", action="store_true",
                   help="analyse the full decoded resolution instead of a reduced image")
    p.add_argument("--hwdec", metavar="NAME", help="FFmpeg hardware device type to decode with, e.g. cuda")
    p.add_argument("--ray", metavar="ADDRESS", nargs="?", const=LOCAL_RAY,
                   help="run the batch as Ray tasks on the cluster at ADDRESS, or on a private local "
                        "instance with --jobs CPUs without ADDRESS; a word right after --ray is taken "
                        "as ADDRESS, so put a bare --ray after the inputs")
    p.add_argument("--contact-sheet", metavar="FILE.jpg", type=Path,
                   help="also write one image with the first frame of every scene (one input only)")
    return p


def _tasks(inputs: List[str], fmt: Format, args: argparse.Namespace) -> List[Task]:
    return [Task(i, fmt.needs_keyframes or args.contact_sheet is not None, fmt.needs_pass, fmt.needs_fps,
                 args.native_res, args.hwdec) for i in inputs]


def _results(tasks: List[Task], args: argparse.Namespace) -> Generator[Optional[FileResult], None, None]:
    if args.ray is None:
        return run_local(tasks, args.jobs)
    return run_ray(tasks, args.ray or None, args.jobs)


def _deliver(result: FileResult, fmt: Format, output: Optional[Path], args: argparse.Namespace) -> Optional[str]:
    """Writes one finished result; returns an error text when that fails."""
    analysis = result.analysis
    assert analysis is not None, "a result without error carries its analysis"
    data = fmt.render(analysis).encode("utf-8")
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
    if args.contact_sheet is not None:
        try:
            warning = write_contact_sheet(result.task.input, analysis.keyframes or [], args.contact_sheet)
        except ContactSheetError as e:
            return str(e)
        if warning:
            print(f"vantrel: {warning}", file=sys.stderr)
    return None


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    fmt = FORMATS[args.format]
    try:
        inputs = collect_inputs(args.inputs, args.recursive)
    except UsageError as e:
        parser.error(str(e))
    batch = args.output_dir is not None or len(args.inputs) > 1 or any(os.path.isdir(p) for p in args.inputs)
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if batch and args.output is not None:
        parser.error("-o/--output takes one input; use --output-dir DIR for several")
    if batch and args.output_dir is None:
        parser.error("several inputs, or a folder, need --output-dir DIR")
    if batch and args.contact_sheet is not None:
        parser.error("--contact-sheet takes one input")
    if not inputs:
        parser.error("no video files found in the folders given")

    outputs: List[Optional[Path]] = [args.output]
    if batch:
        args.output_dir.mkdir(parents=True, exist_ok=True)
        outputs = [args.output_dir / n for n in output_names(inputs, fmt.extension)]
    reporter = Reporter(0, sys.stderr, sys.stderr.isatty(), verbose=batch)
    todo = []
    for path, output in zip(inputs, outputs):
        if output is not None and batch and not args.overwrite and output.exists():
            reporter.skip(path, str(output))
        else:
            todo.append((path, output))
    reporter.to_run = len(todo)
    reporter.tick()
    output_of = {path: output for path, output in todo}

    interrupted = False
    try:
        with contextlib.closing(_results(_tasks([p for p, _ in todo], fmt, args), args)) as results:
            for result in results:
                if result is None:
                    reporter.tick()
                    continue
                path, output = result.task.input, output_of[result.task.input]
                error = result.error or _deliver(result, fmt, output, args)
                if error is None:
                    reporter.finish(path, str(output), result.frames)
                else:
                    reporter.fail(path, error)
    except KeyboardInterrupt:
        interrupted = True
    except RayUnavailable as e:
        print(f"vantrel: {e}", file=sys.stderr)
        return EXIT_USAGE
    reporter.close(interrupted)
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_FAILED if reporter.failed else EXIT_OK
