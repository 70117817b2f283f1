"""Worker processes that run tasks and hand the results back in task order.

``multiprocessing.Pool`` is not used: its workers share one queue lock,
and a worker that dies holding it (killed by the out-of-memory killer, or by
a signal sent to the whole process group, as ``timeout`` and job
schedulers do) leaves the pool hanging for ever, ``terminate()`` included.
Here every worker has a pipe of its own and nothing is shared: a worker that
dies is reported as an error, and :meth:`WorkerPool.close` kills the
workers and cannot hang.

Workers ignore SIGINT, SIGTERM and SIGHUP: the parent decides when to stop
(a signal sent to the process group reaches it too) and kills them. Forked
workers start with these signals blocked, so none reaches them before they
ignore them (a spawned worker's new interpreter resets the mask, and can be
ended by one while it starts). A worker whose parent has gone away exits by
itself within a second.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
from multiprocessing.connection import wait
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

from .errors import ZeqToolsError
from .signals import ignore_stop_signals, stop_signals_blocked

PARENT_CHECK_SECONDS = 1.0
_END = object()


class WorkerFailed(ZeqToolsError):
    """A worker process ended while it had work, or sent back a failure
    that could not be passed on as it was."""


def _serve(conn, init: Callable[..., Any], init_args: Sequence[Any],
           run: Callable[[Any, Any], Any], parent_pid: int) -> None:
    """The loop of a worker: ``state = init(*init_args)``, then for every task
    received, send back ``(True, run(state, task))`` or ``(False, error)``."""
    ignore_stop_signals()
    try:
        state, failure = init(*init_args), None
    except Exception as e:  # reported with the first task
        state, failure = None, e
    while True:
        try:
            while not conn.poll(PARENT_CHECK_SECONDS):
                if os.getppid() != parent_pid:
                    return
            task = conn.recv()
        except (EOFError, OSError):
            return
        if failure is not None:
            reply: Tuple[bool, Any] = (False, failure)
        else:
            try:
                reply = (True, run(state, task))
            except Exception as e:
                reply = (False, e)
        try:
            sent = _send(conn, reply)
        except Exception as e:  # an error that cannot be pickled
            sent = _send(conn, (False, WorkerFailed(
                f"{type(reply[1]).__name__}: {reply[1]} (not passed on as it was: {e})")))
        if not sent:
            return


def _send(conn, message: Any) -> bool:
    """Send ``message``; False when the parent has gone."""
    try:
        conn.send(message)
        return True
    except (EOFError, OSError):
        return False


class _Worker:
    def __init__(self, process, conn) -> None:
        self.process = process
        self.conn = conn

    def failure(self) -> WorkerFailed:
        self.process.join(PARENT_CHECK_SECONDS)
        code = self.process.exitcode
        if code is None:
            how = "closed its pipe"
        elif code < 0:
            try:
                how = f"killed by {signal.Signals(-code).name}"
            except ValueError:  # a real-time signal
                how = f"killed by signal {-code}"
        else:
            how = f"exit status {code}"
        return WorkerFailed(f"worker process {self.process.pid} ended unexpectedly ({how})")


class WorkerPool:
    """``count`` processes that each run ``init(*init_args)`` once and then
    ``run(state, task)`` for the tasks given to :meth:`imap`. ``init`` and
    ``run`` must be module-level functions (the ``spawn`` start method
    pickles them). Use as a context manager, or call :meth:`close`."""

    def __init__(self, count: int, init: Callable[..., Any], init_args: Sequence[Any],
                 run: Callable[[Any, Any], Any], *, start_method: Optional[str] = None,
                 backlog: Optional[int] = None) -> None:
        if count < 1:
            raise ValueError("a pool needs at least one worker")
        ctx = multiprocessing.get_context(start_method)
        self.backlog = backlog if backlog is not None else 4 * count
        self._workers: List[_Worker] = []
        try:
            for _ in range(count):
                mine, theirs = ctx.Pipe()
                process = ctx.Process(target=_serve, daemon=True,
                                      args=(theirs, init, tuple(init_args), run, os.getpid()))
                with stop_signals_blocked():
                    process.start()
                theirs.close()
                self._workers.append(_Worker(process, mine))
        except BaseException:
            self.close()
            raise

    def imap(self, tasks: Iterable[Any]) -> Iterator[Any]:
        """The results of ``run`` for every task, in task order; a task's
        error, or the death of the worker that had it, is raised in its
        place. ``tasks`` is read lazily: at most ``backlog`` tasks are taken
        and not yet yielded, whatever their number. A worker is sent its
        next task only after it has sent the result of the last, so that
        neither side can block the other on a full pipe."""
        source = iter(tasks)
        idle = list(self._workers)
        busy: Dict[_Worker, int] = {}
        done: Dict[int, Tuple[bool, Any]] = {}
        taken = given = 0
        exhausted = False
        while True:
            while idle and not exhausted and taken - given < self.backlog:
                task = next(source, _END)
                if task is _END:
                    exhausted = True
                    break
                worker = idle.pop()
                try:
                    worker.conn.send(task)
                    busy[worker] = taken
                except (EOFError, OSError):
                    done[taken] = (False, worker.failure())
                taken += 1
            if given in done:
                ok, value = done.pop(given)
                given += 1
                if not ok:
                    raise value
                yield value
                continue
            if not busy:  # every task taken was given back, and there are no more
                return
            waits: List[Any] = []
            for worker in busy:
                waits += [worker.conn, worker.process.sentinel]
            ready = wait(waits)
            for worker in [w for w in busy if w.conn in ready or w.process.sentinel in ready]:
                index = busy.pop(worker)
                try:
                    if not worker.conn.poll():
                        raise EOFError
                    done[index] = worker.conn.recv()
                except (EOFError, OSError):
                    done[index] = (False, worker.failure())
                    continue
                idle.append(worker)

    def close(self) -> None:
        """Kill the workers and wait for them; safe to call more than once."""
        for worker in self._workers:
            if worker.process.exitcode is None:
                worker.process.kill()
        for worker in self._workers:
            worker.process.join()
            worker.conn.close()
        self._workers = []

    def __enter__(self) -> "WorkerPool":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


__all__ = ["WorkerPool", "WorkerFailed", "PARENT_CHECK_SECONDS"]
