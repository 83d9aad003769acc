"""Runs a batch of tasks in local worker processes or as Ray tasks, yielding results as they finish.

Both runners yield None now and then while nothing finished, so the caller can redraw its
progress display; when the caller stops early (Ctrl-C), work in flight is abandoned.
"""
from __future__ import annotations

import multiprocessing
import os
import signal
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from typing import Dict, Generator, List, Optional

from .analyse import FileResult, Task, analyse

TICK_SECONDS = 0.5


class RayUnavailable(Exception):
    pass


def _ignore_sigint() -> None:
    # Ctrl-C reaches the whole process group; the parent alone decides what stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _failed(task: Task, message: str) -> FileResult:
    return FileResult(task, None, message, None, 0.0)


def run_local(tasks: List[Task], jobs: int) -> Generator[Optional[FileResult], None, None]:
    # An analysis holds its process for the whole call, so parallelism is one file per process.
    # Spawned workers start clean instead of inheriting the parent's FFmpeg and thread state.
    pool = ProcessPoolExecutor(max_workers=max(1, min(jobs, len(tasks))),
                               mp_context=multiprocessing.get_context("spawn"),
                               initializer=_ignore_sigint)
    finished = False
    try:
        pending: Dict[Future, Task] = {pool.submit(analyse, t): t for t in tasks}
        while pending:
            done, _ = wait(pending, timeout=TICK_SECONDS, return_when=FIRST_COMPLETED)
            if not done:
                yield None
            for future in done:
                task = pending.pop(future)
                error = future.exception()
                yield future.result() if error is None else _failed(
                    task, f"worker process ended unexpectedly ({type(error).__name__})")
        finished = True
    finally:
        if not finished:
            # The executor has no public way to stop a running call: end the workers outright.
            # They write nothing, so no partial output can be left behind.
            for process in list((getattr(pool, "_processes", None) or {}).values()):
                process.terminate()
        pool.shutdown(wait=True, cancel_futures=True)


def run_ray(tasks: List[Task], address: Optional[str], jobs: int) -> Generator[Optional[FileResult], None, None]:
    try:
        import ray
    except ImportError:
        raise RayUnavailable("--ray needs Ray: pip install 'vantrel-rs[ray]'") from None
    try:
        if address is None and "RAY_ADDRESS" not in os.environ:
            # A private local instance, sized like a local run.
            ray.init(num_cpus=jobs, include_dashboard=False, log_to_driver=False)
        else:
            ray.init(address=address, log_to_driver=False)
    except Exception as e:  # Ray raises several kinds here (connection, value, runtime errors)
        ray.shutdown()
        raise RayUnavailable(f"cannot start or reach Ray at {address or 'a local instance'}: {e}") from None
    finished = False
    pending: Dict = {}
    try:
        # No retries: a task that kills its worker is reported like any other failure.
        remote = ray.remote(num_cpus=1, max_retries=0)(analyse)
        pending = {remote.remote(t): t for t in tasks}
        while pending:
            done, _ = ray.wait(list(pending), num_returns=len(pending), timeout=TICK_SECONDS)
            if not done:
                yield None
            for ref in done:
                task = pending.pop(ref)
                try:
                    yield ray.get(ref)
                except ray.exceptions.RayError as e:
                    yield _failed(task, f"Ray task failed ({type(e).__name__})")
        finished = True
    finally:
        if not finished:
            for ref in pending:
                ray.cancel(ref, force=True)
        ray.shutdown()
