"""Stop requests from outside: Ctrl-C, `kill`, `timeout`, a service manager, a closed terminal.

SIGTERM and SIGHUP are handled as Ctrl-C is: they raise `Stopped` (a `KeyboardInterrupt`) in the
main thread, so every clean-up that runs for Ctrl-C runs for them too: the exposure or video is
stopped, the camera closed, a partial file finished or removed. Only the first request
interrupts; requests that arrive while the clean-up runs are counted but do not break it off.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType

from velmora.brinmoor.formats.partfile import defer_interrupt

HANDLED = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Stopped(KeyboardInterrupt):
    """A stop request by a signal; `exit_status` is the shell's convention, 128 + signal."""

    def __init__(self, signum: int):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.name = signal.Signals(signum).name
        self.exit_status = 128 + signum


@contextmanager
def stop_on_signals() -> Iterator[None]:
    """Within the block, SIGINT, SIGTERM and SIGHUP raise `Stopped` once.

    Outside the main thread, where handlers cannot be installed, nothing changes.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    requested: list[int] = []

    def handler(signum: int, frame: FrameType | None) -> None:
        requested.append(signum)
        if len(requested) == 1:
            stop = Stopped(signum)
            if not defer_interrupt(stop):
                raise stop

    previous = {signum: signal.signal(signum, handler) for signum in HANDLED}
    try:
        yield
    finally:
        for signum, old in previous.items():
            signal.signal(signum, old)
