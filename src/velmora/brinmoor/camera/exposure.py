"""A single exposure that runs while the program does other things: `cam.start_exposure()`.

    exposure = cam.start_exposure(2.0)
    while not exposure.done:              # poll (an Alpaca server, a GUI) ...
        ...
    frame = exposure.frame()
    frame = cam.start_exposure(2.0).wait()    # ... or wait for it: what `cam.expose()` does

An `Exposure` holds the camera's one exposure slot while it runs: the camera refuses a second
exposure or a stream (`CameraBusy`) until it has finished, failed or been aborted, and
`Camera.close()` aborts it. Its metadata are taken when it starts, so a setting changed while it
runs does not change what its frame reports.
"""

from __future__ import annotations

import math
import threading
import time
from dataclasses import replace
from typing import TYPE_CHECKING, Final

from velmora.brinmoor import orvik

from .errors import ExposureFailed
from .frames import Frame, FrameMetadata
from .handle import CameraHandle
from .simulator import utc_now

if TYPE_CHECKING:
    from collections.abc import Callable

# A camera may report idle for a moment after an exposure was started; longer means it was lost.
IDLE_GRACE_S: Final = 1.0
# The longest single wait inside the layer: Ctrl-C and close() take effect within this.
MAX_WAIT_S: Final = 0.1
# Extra time an exposure may take beyond its length before wait() gives up by default.
EXPOSURE_TIMEOUT_MARGIN_S: Final = 60.0

_Status = orvik.ExposureStatus


class Exposure:
    """One exposure started by `Camera.start_exposure`; every method may be called from any
    thread (each takes the camera's lock for its SDK calls).

    Its life: running, then finished (the image can be read once with `frame()`), failed
    (the camera reported it failed, or went idle), or aborted (`abort()`, `Camera.close()`,
    Ctrl-C in `wait()`). A later exposure on the same camera takes over the image buffer, so
    an unread image is no longer readable once another exposure has started.
    """

    def __init__(self, handle: CameraHandle, metadata: FrameMetadata, started: float) -> None:
        self._handle = handle
        self.metadata = metadata
        """The frame's metadata as they were when the exposure started (`end` is set when it
        is seen to finish)."""
        self._started = started
        self._state = _Status.ASI_EXP_WORKING
        self._reason = ""
        self._frame: Frame | None = None
        self._superseded = False
        self._reading = threading.Lock()
        self._ended = threading.Event()
        self._end_mono = 0.0

    # -- state -------------------------------------------------------------------------------

    @property
    def seconds(self) -> float:
        """The exposure time in seconds."""
        return self.metadata.exposure

    @property
    def dark(self) -> bool:
        return self.metadata.dark

    @property
    def elapsed(self) -> float:
        """Seconds since the exposure started (stops counting when it has ended)."""
        return (self._end_mono if self._ended.is_set() else time.monotonic()) - self._started

    @property
    def status(self) -> orvik.ExposureStatus:
        """The SDK's status: `ASI_EXP_WORKING` while it runs, then `ASI_EXP_SUCCESS` (the image
        is ready), `ASI_EXP_FAILED` (failed or aborted) or `ASI_EXP_IDLE` (the camera lost it).
        Polls the camera while the exposure runs."""
        if self._state == _Status.ASI_EXP_WORKING:
            self._poll()
        return self._state

    @property
    def done(self) -> bool:
        """Whether the exposure has ended, however it ended (polls the camera while it runs)."""
        return self.status != _Status.ASI_EXP_WORKING

    def _poll(self) -> None:
        cam = self._handle
        with cam.lock:
            if self._state != _Status.ASI_EXP_WORKING:
                return
            if cam.closed:
                self._end(_Status.ASI_EXP_FAILED, f"{cam.label} was closed during the exposure")
                return
            code = cam.call("polling the exposure", None, orvik.get_exp_status, cam.id)
            try:
                state = _Status(code)
            except ValueError:
                state = _Status.ASI_EXP_FAILED
            if state == _Status.ASI_EXP_SUCCESS:
                self._end(state)
                return
            if state == _Status.ASI_EXP_FAILED:
                self._end(state, f"the exposure failed on {cam.label}")
            elif state == _Status.ASI_EXP_IDLE and self.elapsed > IDLE_GRACE_S:
                self._end(state, f"{cam.label} went idle without finishing the exposure")
            else:
                return
            cam.quietly(orvik.stop_exposure, cam.id)  # leave the camera idle

    def _end(self, state: orvik.ExposureStatus, reason: str = "") -> None:
        """Record how the exposure ended and give the camera's exposure slot back."""
        self._end_mono = time.monotonic()
        self._state = state
        self._reason = reason
        self.metadata.end = utc_now()
        self._ended.set()
        self._handle.exposure_ended(self)

    # -- ending it ---------------------------------------------------------------------------

    def abort(self) -> None:
        """Stop the exposure if it is still running; nothing to read afterwards. Safe to call
        twice, and after it has ended."""
        cam = self._handle
        with cam.lock:
            if self._state != _Status.ASI_EXP_WORKING:
                return
            self._end(_Status.ASI_EXP_FAILED, f"the exposure on {cam.label} was aborted")
            if not cam.closed:
                cam.quietly(orvik.stop_exposure, cam.id)

    def closed_under_it(self) -> None:
        """Called by `Camera.close()` (holding the camera's lock) before it closes the camera."""
        handle = self._handle
        if self._state == _Status.ASI_EXP_WORKING:
            self._end(_Status.ASI_EXP_FAILED, f"{handle.label} was closed during the exposure")
            handle.quietly(orvik.stop_exposure, handle.id)

    def supersede(self) -> None:
        """Called by `Camera.start_exposure` as a later exposure takes over the image buffer."""
        self._superseded = True

    def wait(self, timeout: float | None = None,
             on_wait: Callable[[float], None] | None = None) -> Frame:
        """Wait for the exposure to end and return its frame.

        The wait sleeps in steps of at most 0.1 s, so Ctrl-C (which aborts the exposure) and
        `Camera.close()` from another thread take effect promptly; `on_wait(elapsed_seconds)` is
        called at each step. Raises `ASITimeout` when it has not ended after `timeout` seconds
        (default: its length + 60 s; the exposure keeps running), `ExposureFailed` when it
        failed or was aborted, `ASICameraClosed` when the camera was closed under it.
        """
        if timeout is not None and not (timeout > 0 and math.isfinite(timeout)):
            raise ValueError(f"timeout {timeout!r} is out of range (allowed: more than 0 s)")
        limit = timeout if timeout is not None else self.seconds + EXPOSURE_TIMEOUT_MARGIN_S
        cam = self._handle
        t0 = time.monotonic()
        delay = 0.001
        try:
            while self.status == _Status.ASI_EXP_WORKING:
                waited = time.monotonic() - t0
                if waited > limit:
                    exc = orvik.ASITimeout()
                    exc.add_note(f"the exposure on {cam.label} did not finish within {limit:g} s")
                    raise exc
                if on_wait is not None:
                    on_wait(self.elapsed)
                cam.pause(delay)
                delay = min(delay * 2, MAX_WAIT_S)
        except (KeyboardInterrupt, SystemExit):
            self.abort()  # leave the camera idle when the program is being stopped
            raise
        return self.frame()

    # -- the image ---------------------------------------------------------------------------

    def frame(self) -> Frame:
        """The image of the finished exposure (read from the camera on the first call).

        Raises `RuntimeError` while the exposure still runs or once a later exposure has
        taken over the camera, `ExposureFailed` when it failed or was aborted, and
        `ASICameraClosed` when the camera was closed under it.
        """
        # The read renders the image, which may take seconds: it runs under this exposure's own
        # lock (one reader; the others get its frame) and outside the camera's, so that other
        # threads' calls on the camera wait for nothing longer than their own.
        with self._reading:
            return self._read_frame()

    def _read_frame(self) -> Frame:
        cam = self._handle
        with cam.lock:
            if self._frame is not None:
                return self._frame
            state = self.status
            if state == _Status.ASI_EXP_WORKING:
                raise RuntimeError(f"the exposure on {cam.label} is still running "
                                   f"({self.elapsed:.3g} of {self.seconds:g} s)")
            if state != _Status.ASI_EXP_SUCCESS:
                if cam.closed:
                    closed = orvik.ASICameraClosed()
                    closed.add_note(self._reason or f"{cam.label} was closed")
                    raise closed
                raise ExposureFailed(self._reason or f"the exposure failed on {cam.label}")
            if self._superseded:
                raise RuntimeError(f"a later exposure on {cam.label} has replaced this one's "
                                   "image")
            cam.check_open()
            roi = self.metadata.roi
        try:
            data = cam.call("reading the image", roi.frame_bytes, orvik.get_data_after_exp,
                            cam.id, roi.frame_bytes)
        except orvik.ASIError:
            self._check_not_superseded()  # a later exposure took the camera meanwhile
            raise
        with cam.lock:
            # A later exposure that started (and ended) during the read may have handed back
            # its own image: only an image read with no exposure after this one counts.
            self._check_not_superseded()
            self._frame = Frame(data, replace(self.metadata))
            return self._frame

    def _check_not_superseded(self) -> None:
        if self._superseded:
            raise RuntimeError(f"a later exposure on {self._handle.label} has replaced this one's "
                               "image")

    def __repr__(self) -> str:
        kind = "dark " if self.dark else ""
        return (f"<Exposure of {self.seconds:g} s {kind}on {self._handle.label}, "
                f"{self._state.name}>")
