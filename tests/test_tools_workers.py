"""zeqtools.workers (results in order, bounded read-ahead, failures and dead
workers reported) and zeqtools.signals (stop signals as an exception)."""

import os
import signal
import time

import pytest

from zeqtools.errors import ZeqToolsError
from zeqtools.signals import Stopped, stop_on_signals
from zeqtools.workers import WorkerFailed, WorkerPool


class Unpicklable(Exception):
    def __reduce__(self):
        raise TypeError("no pickling")


def start(offset):
    if offset < 0:
        raise ValueError("bad start")
    return offset


def run(offset, task):
    kind, value = task
    if kind == "sleep":
        time.sleep(value)
        return offset + 1
    if kind == "raise":
        raise ValueError(value)
    if kind == "unpicklable":
        raise Unpicklable(value)
    os._exit(value)  # "exit"


@pytest.mark.parametrize("workers, backlog", [(1, 1), (2, 3), (3, None)])
def test_results_come_in_task_order_and_tasks_are_read_lazily(workers, backlog):
    taken, given = [0], []
    limit = backlog or 4 * workers

    def tasks():
        for i in range(30):
            assert taken[0] - len(given) <= limit  # never read further ahead
            taken[0] += 1
            yield "sleep", 0.03 if i % 4 == 0 else 0  # finish out of order

    with WorkerPool(workers, start, (41,), run, backlog=backlog) as pool:
        for result in pool.imap(tasks()):
            given.append(result)
    assert given == [42] * 30


@pytest.mark.parametrize("tasks, init, exc_type, message", [
    ([("sleep", 0)] * 3 + [("raise", "third")] + [("sleep", 0)] * 3, 0, ValueError, "^third$"),
    ([("sleep", 0)], -1, ValueError, "^bad start$"),
    ([("unpicklable", "x")], 0, WorkerFailed, r"^Unpicklable: x \(not passed on as it was"),
    ([("sleep", 0), ("exit", 3)], 0, WorkerFailed, r"ended unexpectedly \(exit status 3\)"),
])
def test_failures_are_raised_in_the_place_of_their_task(tasks, init, exc_type, message):
    got = []
    with WorkerPool(2, start, (init,), run) as pool:
        with pytest.raises(exc_type, match=message):
            for result in pool.imap(tasks):
                got.append(result)
        failing = next(i for i, (kind, _) in enumerate(tasks) if kind != "sleep" or init < 0)
        assert got == [1] * failing
    assert issubclass(WorkerFailed, ZeqToolsError)


def test_workers_leave_stop_signals_to_the_parent():
    with WorkerPool(1, start, (0,), run) as pool:
        pids = [w.process.pid for w in pool._workers]
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):  # even as it starts
            os.kill(pids[0], signum)
        assert list(pool.imap([("sleep", 0.1)])) == [1]
    assert all(not os.path.exists(f"/proc/{pid}") for pid in pids)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_the_first_stop_signal_raises_and_cannot_cut_the_clean_up_short(signum):
    before = signal.getsignal(signum)
    cleaned = False
    with pytest.raises(Stopped) as info:
        with stop_on_signals():
            try:
                os.kill(os.getpid(), signum)
                time.sleep(5)  # the handler raises long before
            finally:
                os.kill(os.getpid(), signal.SIGTERM)
                cleaned = True
    assert cleaned and info.value.signum == signum and info.value.exit_status == 128 + signum
    assert signal.getsignal(signum) is before
