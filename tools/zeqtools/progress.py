"""A one-line progress bar on a terminal: bytes done, MB/s and time left."""

from __future__ import annotations

import sys
import time
from typing import Optional, TextIO


def _clock(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    h, rest = divmod(seconds, 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02d}:{s:02d}" if h else f"{m}:{s:02d}"


class Progress:
    """Redraws one line on ``stream`` (stderr by default) as bytes are done.

    It is enabled only when the stream is a terminal, unless ``enabled`` says
    otherwise; disabled, it writes nothing at all. A ``total`` of None (a
    stream of unknown length) shows the bytes, rate and time without a bar.
    Redraws are limited to one every ``interval`` seconds; :meth:`close`
    draws the final state and ends the line, :meth:`abandon` ends the line
    where the bar stands.
    """

    def __init__(self, total: Optional[int], *, stream: Optional[TextIO] = None,
                 enabled: Optional[bool] = None, interval: float = 0.1,
                 width: int = 24) -> None:
        self.stream = stream if stream is not None else sys.stderr
        if enabled is None:
            isatty = getattr(self.stream, "isatty", None)
            enabled = bool(isatty and isatty())
        self.enabled = enabled
        self.total = total
        self.done = 0
        self.interval = interval
        self.width = width
        self.start = time.perf_counter()
        self._last_draw = -1.0
        self._last_len = 0

    def update(self, nbytes: int) -> None:
        self.done += nbytes
        if not self.enabled:
            return
        now = time.perf_counter()
        if now - self._last_draw >= self.interval:
            self._draw(now)

    def line(self, now: Optional[float] = None, final: bool = False) -> str:
        """The text of the bar for the current state (``final``: the work is done)."""
        now = time.perf_counter() if now is None else now
        elapsed = max(now - self.start, 1e-9)
        rate = self.done / elapsed
        if self.total is None:
            return (f"{self.done / 1e6:,.1f} MB  {rate / 1e6:,.1f} MB/s  "
                    f"{'done in ' if final else ''}{_clock(elapsed)}")
        frac = self.done / self.total if self.total else 1.0
        filled = int(frac * self.width)
        bar = "#" * filled + "-" * (self.width - filled)
        if self.done >= self.total:
            eta = "done in " + _clock(elapsed)
        elif self.done and rate > 0:
            eta = "ETA " + _clock((self.total - self.done) / rate)
        else:
            eta = "ETA --:--"
        return (f"[{bar}] {self.done / 1e6:,.1f}/{self.total / 1e6:,.1f} MB "
                f"{100 * frac:3.0f}%  {rate / 1e6:,.1f} MB/s  {eta}")

    def _draw(self, now: float, final: bool = False) -> None:
        text = self.line(now, final)
        pad = " " * max(0, self._last_len - len(text))
        self.stream.write("\r" + text + pad)
        self.stream.flush()
        self._last_len = len(text)
        self._last_draw = now

    def close(self) -> None:
        if self.enabled:
            self._draw(time.perf_counter(), final=True)
            self.stream.write("\n")
            self.stream.flush()
            self.enabled = False

    def abandon(self) -> None:
        """Stop drawing and end the bar's line if one was drawn, so that what
        is written next (an error message) starts on a line of its own."""
        if self.enabled and self._last_len:
            try:
                self.stream.write("\n")
                self.stream.flush()
            except (OSError, ValueError):  # the terminal has gone
                pass
        self.enabled = False

    def __enter__(self) -> "Progress":
        return self

    def __exit__(self, *exc: object) -> None:
        if exc[0] is None:
            self.close()
        else:
            self.abandon()
