"""The state an open camera shares with its exposure and its video stream.

`Camera` owns a `CameraHandle`; the `Exposure` it starts and the `Stream` it makes are given the
same handle, not the `Camera`: the camera's ID and label, the lock that every operation of
several SDK calls holds, whether it is closed or being closed, its one exposure-or-stream slot,
and when a setting was last written. So exposure.py and stream.py import this module, and only
camera.py imports them.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import ParamSpec, Protocol, TypeVar

from velmora.brinmoor import orvik

from .errors import CameraBusy, add_context

P = ParamSpec("P")
R = TypeVar("R")


class Running(Protocol):
    """What the handle needs of the exposure in its slot."""

    @property
    def seconds(self) -> float: ...

    @property
    def elapsed(self) -> float: ...

    def closed_under_it(self) -> None:
        """The camera is being closed (called holding the lock)."""

    def supersede(self) -> None:
        """A later exposure has taken over the SDK's image buffer."""


class Capturing(Protocol):
    """What the handle needs of the stream in its slot."""

    def settings_changed(self) -> None:
        """A setting was written (called holding the lock)."""

    def stop_capture(self) -> None: ...


class CameraHandle:
    """One open camera's shared state; every field is read and written holding `lock`."""

    def __init__(self, camera_id: int, label: str) -> None:
        self.id = camera_id
        self.label = label
        self.lock = threading.RLock()
        # Set by close(): every wait inside the layer ends at its next short step.
        self.closing = threading.Event()
        self.closed = False
        self.exposure: Running | None = None
        """The exposure running on the camera, if any."""
        self.last_exposure: Running | None = None
        """The exposure whose image the SDK's buffer holds (a later one takes it over)."""
        self.stream: Capturing | None = None
        self.settings_changed_at = 0.0
        """When a setting was last written (POSIX time), so a stream knows which frames were
        already being exposed under the settings before."""

    def call(self, action: str, value: object, function: Callable[P, R],
             *args: P.args, **kwargs: P.kwargs) -> R:
        """One SDK call; an SDK failure gains a note naming this camera, the action and value."""
        try:
            return function(*args, **kwargs)
        except orvik.ASIError as exc:
            add_context(exc, self.label, action, value)
            raise

    @staticmethod
    def quietly(function: Callable[P, object], *args: P.args, **kwargs: P.kwargs) -> None:
        """A clean-up call: the camera may be gone already, and the error in flight matters."""
        try:
            function(*args, **kwargs)
        except orvik.ASIError:
            pass

    def check_open(self) -> None:
        if self.closed:
            exc = orvik.ASICameraClosed()
            add_context(exc, self.label, "using the camera after close()")
            raise exc

    def pause(self, seconds: float) -> None:
        """Wait a little; returns early when the camera is being closed. Ctrl-C interrupts it."""
        self.closing.wait(seconds)

    def check_idle(self, action: str) -> None:
        """One exposure or stream per camera at a time: the SDK would mix them up."""
        if self.exposure is not None:
            raise CameraBusy(f"cannot {action}: {self.label} is already exposing "
                             f"({self.exposure.seconds:g} s, started "
                             f"{self.exposure.elapsed:.3g} s ago)")
        if self.stream is not None:
            raise CameraBusy(f"cannot {action}: {self.label} is already streaming")

    def exposure_ended(self, exposure: Running) -> None:
        with self.lock:
            if self.exposure is exposure:
                self.exposure = None

    def attach_stream(self, stream: Capturing) -> None:
        """Called by a stream as it starts: one video capture per camera at a time."""
        with self.lock:
            self.check_open()
            self.check_idle("start a stream")
            self.stream = stream

    def detach_stream(self, stream: Capturing) -> None:
        with self.lock:
            if self.stream is stream:
                self.stream = None

    def settings_written(self) -> None:
        """A setting was written (or tried): a stream re-reads the settings for its frames'
        metadata, and knows from when on the new ones apply. Called holding the lock."""
        self.settings_changed_at = time.time()
        if self.stream is not None:
            self.stream.settings_changed()
