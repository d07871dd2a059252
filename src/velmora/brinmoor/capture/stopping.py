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

HANDLED = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Stopped(KeyboardInterrupt):
    """A stop request by a signal; `exit_status` is the shell's convention, 128 + signal."""

    def __init__(self, signum: int):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum
        self.name = signal.Signals(signum).name
        self.exit_status = 128 + signum


class _Hold:
    """Depth of the `signals_held` blocks under way, and a stop request that waits for them."""

    depth = 0
    pending: int | None = None


_hold = _Hold()


@contextmanager
def signals_held() -> Iterator[None]:
    """Within the block a stop request waits, and is raised when the outermost block ends.

    For the few steps that must not be cut in half: a partial file created and recorded as
    such, a finished file renamed into place. Without it, a request arriving between creating
    a file and recording it leaves a hidden file that nothing removes.
    """
    _hold.depth += 1
    try:
        yield
    finally:
        _hold.depth -= 1
        if _hold.depth == 0 and _hold.pending is not None:
            signum, _hold.pending = _hold.pending, None
            raise Stopped(signum)


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
            if _hold.depth:
                _hold.pending = signum
            else:
                raise Stopped(signum)

    previous = {signum: signal.signal(signum, handler) for signum in HANDLED}
    try:
        yield
    finally:
        for signum, old in previous.items():
            signal.signal(signum, old)
