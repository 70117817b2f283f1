"""Stopping the ``zeq`` command the same way for every signal that asks it to.

SIGINT (Ctrl-C), SIGTERM (what ``kill``, ``timeout`` and job schedulers
send) and SIGHUP (the terminal went away) become a :class:`Stopped`
exception in the main thread, so that ``finally`` blocks run: partial output
is removed, and a batch call of zeqtools.Encoder, which asks for signal
handlers to run while its threads work, stops them. The command then writes
one line and exits with status 128 + the signal number.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from typing import Iterator

STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP")
                     if hasattr(signal, name))


class Stopped(BaseException):
    """A stop signal arrived. A ``BaseException``, like ``KeyboardInterrupt``,
    so that ``except Exception`` does not swallow it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    @property
    def exit_status(self) -> int:
        return 128 + self.signum

    @property
    def signal_name(self) -> str:
        return signal.Signals(self.signum).name


@contextlib.contextmanager
def stop_on_signals() -> Iterator[None]:
    """Within the block, the first stop signal raises :class:`Stopped`;
    later ones are ignored, so that they cannot cut short the clean-up that
    the first one started. The previous handlers come back on exit.

    Outside the main thread nothing is installed (Python runs handlers only
    there).
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    stopping = False

    def handler(signum: int, frame: object) -> None:
        nonlocal stopping
        if stopping:
            return
        stopping = True
        raise Stopped(signum)

    previous = {}
    try:
        for signum in STOP_SIGNALS:
            previous[signum] = signal.signal(signum, handler)
        yield
    finally:
        for signum, old in previous.items():
            signal.signal(signum, signal.SIG_DFL if old is None else old)


__all__ = ["STOP_SIGNALS", "Stopped", "stop_on_signals"]
