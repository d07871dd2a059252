"""Progress lines on stderr: redrawn in place on a terminal, a few plain lines otherwise."""

from __future__ import annotations

import sys
import time
from typing import TextIO


class Progress:
    """Reports `done` out of `total` (seconds of exposure, frames of a video run).

    On a terminal the line is redrawn at most ten times a second; into a file or pipe one line is
    written per quarter of the run so that logs stay short. `enabled=False` makes it silent.
    """

    def __init__(self, label: str, total: float, unit: str, stream: TextIO | None = None,
                 enabled: bool = True):
        self.label = label
        self.total = total
        self.unit = unit
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = enabled
        self.live = enabled and hasattr(self.stream, "isatty") and self.stream.isatty()
        self._last_draw = 0.0
        self._quarter = -1
        self._drawn = False

    def _text(self, done: float, extra: str) -> str:
        # Never past the total: an exposure's readout runs on after its time is up.
        done = min(max(done, 0.0), self.total)
        frac = done / self.total if self.total > 0 else 1.0
        bar = "#" * int(frac * 20)
        fmt = "{:.0f}" if self.unit == "frames" else "{:.1f}"
        text = f"{self.label} [{bar:<20}] {fmt.format(done)}/{fmt.format(self.total)} {self.unit}"
        return f"{text}  {extra}" if extra else text

    def update(self, done: float, extra: str = "") -> None:
        if not self.enabled:
            return
        if self.live:
            now = time.monotonic()
            if now - self._last_draw >= 0.1:
                self._last_draw = now
                self.stream.write("\r\033[K" + self._text(done, extra))
                self.stream.flush()
                self._drawn = True
            return
        quarter = int(4 * done / self.total) if self.total > 0 else 4
        if quarter > self._quarter and quarter < 4:
            self._quarter = quarter
            self.stream.write(self._text(done, extra) + "\n")
            self.stream.flush()

    def finish(self, message: str) -> None:
        """End the progress display with a final line."""
        if not self.enabled:
            return
        if self.live and self._drawn:
            self.stream.write("\r\033[K")
        self.stream.write(message + "\n")
        self.stream.flush()
