"""The `vantrel` command: scene changes of one video or of a batch, in the formats tools read.

By stage: options (parsing), plan (checked settings, inputs and outputs), runners (the
analyses), deliver (the outputs of each), console (what the user sees).
"""
from __future__ import annotations

import contextlib
import sys
from typing import Dict, Generator, List, Optional

from ..rows import scene_records
from .console import Reporter
from .deliver import deliver
from .options import build_parser
from .plan import Plan, make_plan
from .runners import Event, ProgressEvent, RayUnavailable, run_local, run_ray, run_single

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


def main(argv: Optional[List[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_intermixed_args(argv)
    plan = make_plan(parser, args)
    reporter = Reporter(sys.stderr, sys.stderr.isatty(), plan.batch, args.quiet, args.verbose)
    if args.method != plan.settings.method:  # a former name
        reporter.warn(f"warning: --method {args.method} is now called {plan.settings.method}")
    for path in plan.skipped:
        reporter.skip(path, str(plan.targets[path].output))
    reporter.to_run = len(plan.tasks)
    rows: Dict[str, List[dict]] = {}  # for --table, by input
    interrupted = False
    try:
        with contextlib.closing(_events(plan, reporter)) as events:
            for event in events:
                _handle(event, plan, reporter, rows)
    except KeyboardInterrupt:
        interrupted = True
    except RayUnavailable as e:
        print(f"vantrel: {e}", file=sys.stderr)
        return EXIT_USAGE
    table_written = plan.outputs.table is None or _write_table(plan, rows, reporter)
    reporter.close(interrupted)
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_FAILED if reporter.failed or not table_written else EXIT_OK


def _events(plan: Plan, reporter: Reporter) -> Generator[Event, None, None]:
    """The analyses of the plan's tasks, where the plan says they run."""
    tasks = plan.tasks
    if not tasks:
        return _nothing()
    if plan.ray is not None:
        return run_ray(tasks, plan.ray or None, plan.jobs, max(1, plan.settings.threads))
    if not plan.batch:
        return run_single(tasks[0], lambda progress: reporter.progress(tasks[0].input, progress))
    return run_local(tasks, plan.jobs)


def _nothing() -> Generator[Event, None, None]:
    """The events of a run with every input skipped."""
    yield from ()


def _handle(event: Event, plan: Plan, reporter: Reporter, rows: Dict[str, List[dict]]) -> None:
    if event is None:
        reporter.draw()
    elif isinstance(event, ProgressEvent):
        reporter.progress(event.input, event.progress)
    else:
        path, targets = event.task.input, plan.targets[event.task.input]
        reporter.ffmpeg_lines(path, event.messages)
        error = event.error or deliver(event, plan.outputs, targets, reporter)
        if error is not None:
            reporter.fail(path, error)
            return
        assert event.analysis is not None
        reporter.finish(path, str(targets.output), event.analysis)
        if plan.outputs.table is not None:
            rows[path] = scene_records(event.analysis, path)


def _write_table(plan: Plan, rows: Dict[str, List[dict]], reporter: Reporter) -> bool:
    """Writes the --table file of the inputs done now or before; False when that fails."""
    from ..outputs.table import write_table
    assert plan.outputs.table is not None
    path, skipped = plan.outputs.table, set(plan.skipped)
    try:
        missing = write_table(path, [p for p in plan.inputs if p in rows or p in skipped], rows)
    except OSError as e:
        reporter.error(f"cannot write {path}: {e.strerror or e}")
        return False
    if missing:
        reporter.warn(f"{path}: no rows for {len(missing)} skipped input{'s' if len(missing) != 1 else ''} "
                      "(done by a run without --table); --overwrite analyses them again")
    return True
