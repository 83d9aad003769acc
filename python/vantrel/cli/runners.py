"""Where the analyses run: in this process (one input), in local worker processes or as Ray tasks
(a batch); each runner yields what happens.

The runners yield a FileResult as each task finishes; the batch runners also yield a
ProgressEvent while a local worker decodes its file, and None now and then while nothing
happened, so that the caller can redraw its progress display. When the caller stops early
(Ctrl-C), work in flight is abandoned.
"""
from __future__ import annotations

import os
import signal
from typing import TYPE_CHECKING, Dict, Generator, List, NamedTuple, Optional, Union

from ..analysis import Progress
from .tasks import FileResult, Task, run_task

if TYPE_CHECKING:
    from concurrent.futures import Future

TICK_SECONDS = 0.2


class RayUnavailable(Exception):
    pass


class ProgressEvent(NamedTuple):
    input: str
    progress: Progress


Event = Union[FileResult, ProgressEvent, None]

_progress_queue = None  # a worker's channel back to the command


def _start_worker(progress_queue) -> None:
    global _progress_queue
    _progress_queue = progress_queue
    # Ctrl-C reaches the whole process group; the parent alone decides what stops.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _run_reporting(task: Task) -> FileResult:
    channel = _progress_queue
    if channel is None:
        return run_task(task)

    def report(progress: Progress) -> None:
        channel.put((task.input, tuple(progress)))

    return run_task(task, report)


def _failed(task: Task, message: str) -> FileResult:
    return FileResult(task, None, message, (), 0.0)


def _drain(progress_queue) -> Generator[ProgressEvent, None, None]:
    import queue
    while True:
        try:
            input, values = progress_queue.get_nowait()
        except queue.Empty:
            return
        yield ProgressEvent(input, Progress(*values))


def run_single(task: Task, progress) -> Generator[Event, None, None]:
    """One input analysed in this process: progress straight from the decoder, Ctrl-C at once."""
    yield run_task(task, progress)


def run_local(tasks: List[Task], jobs: int) -> Generator[Event, None, None]:
    # Imported here: a single input, analysed in this process, starts sooner without them.
    import multiprocessing
    from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait

    # Spawned workers start clean instead of inheriting the parent's FFmpeg and thread state.
    context = multiprocessing.get_context("spawn")
    progress_queue = context.Queue()
    pool = ProcessPoolExecutor(max_workers=max(1, min(jobs, len(tasks))), mp_context=context,
                               initializer=_start_worker, initargs=(progress_queue,))
    finished = False
    try:
        pending: Dict[Future, Task] = {pool.submit(_run_reporting, t): t for t in tasks}
        while pending:
            done, _ = wait(pending, timeout=TICK_SECONDS, return_when=FIRST_COMPLETED)
            yield from _drain(progress_queue)
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
        progress_queue.close()


def run_ray(tasks: List[Task], address: Optional[str], jobs: int,
            cpus_per_task: int = 1) -> Generator[Event, None, None]:
    try:
        import ray
    except ImportError:
        raise RayUnavailable("--ray needs Ray: pip install 'vantrel-rs[ray]'") from None
    try:
        if address is None and "RAY_ADDRESS" not in os.environ:
            # A private local instance, sized like a local run.
            ray.init(num_cpus=jobs * cpus_per_task, include_dashboard=False, log_to_driver=False)
        else:
            ray.init(address=address, log_to_driver=False)
    except Exception as e:  # Ray raises several kinds here (connection, value, runtime errors)
        ray.shutdown()
        raise RayUnavailable(f"cannot start or reach Ray at {address or 'a local instance'}: {e}") from None
    finished = False
    pending: Dict = {}
    try:
        # No retries: a task that kills its worker is reported like any other failure.
        remote = ray.remote(num_cpus=cpus_per_task, max_retries=0)(run_task)
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
