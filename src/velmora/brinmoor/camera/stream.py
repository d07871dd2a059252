"""Video capture as an iterator of frames, and its asyncio form.

Frames are read with waits of at most 0.1 s, so Ctrl-C and `close()` from another thread end a
stream promptly even when frames are seconds apart; a frame counts as late only when the whole
frame timeout has passed.

The work per frame is kept small: the settings are read into a metadata record once when the
stream starts and again after a setting is written through the Camera (and the sensor
temperature once a second); each frame carries that record, its end time and its number, and
gets its own record only when a program asks for `frame.metadata`. The plain next frame (one
read, the time, one Frame) runs in native code (`VideoReader`, the base class); it hands every
other case to this module's methods. A frame that was already being exposed when a setting
changed keeps the settings it was taken with, and no frame starts before the previous one
ended.
"""

from __future__ import annotations

import asyncio
import math
import time
from dataclasses import replace
from types import TracebackType
from typing import TYPE_CHECKING, Final, NoReturn

from velmora.brinmoor import orvik

from ._video import VideoReader
from .errors import add_context
from .frames import Frame, FrameMetadata
from .pointing import utc_now

if TYPE_CHECKING:
    from .camera import Camera

# The longest single frame read: Ctrl-C and close() take effect within this.
READ_SLICE_MS: Final = 100
# Seconds between re-reads of the sensor temperature for the frames' metadata.
TEMPERATURE_REFRESH_S: Final = 1.0
# Default frame timeout: this many exposures plus the margin.
FRAME_TIMEOUT_EXPOSURES: Final = 2.0
FRAME_TIMEOUT_MARGIN_S: Final = 0.5


def default_frame_timeout(exposure: float) -> float:
    return FRAME_TIMEOUT_EXPOSURES * exposure + FRAME_TIMEOUT_MARGIN_S


def first_wait_ms(wait: float) -> int:
    """The first step of a wait of `wait` seconds, in milliseconds: at most READ_SLICE_MS."""
    return READ_SLICE_MS if wait >= READ_SLICE_MS / 1000 else max(1, math.ceil(wait * 1000))


class Stream(VideoReader):
    """Frames of a running video capture; `with cam.stream() as frames: for frame in frames:`.

    `received` counts the frames delivered so far.
    """

    _template: FrameMetadata
    """The record of the settings, read when the stream starts and after every change."""

    if TYPE_CHECKING:
        def __iter__(self) -> Stream: ...
        def __next__(self) -> Frame: ...
        def _frame_of(self, data: bytes) -> Frame: ...

    def __init__(self, camera: Camera, *, frames: int | None = None,
                 timeout: float | None = None) -> None:
        if frames is not None and (isinstance(frames, bool) or not isinstance(frames, int)
                                   or frames <= 0):
            raise ValueError(f"frames {frames!r} is out of range (allowed 1 and more, or None)")
        if timeout is not None and not (timeout > 0 and math.isfinite(timeout)):
            raise ValueError(f"timeout {timeout!r} is out of range (allowed: more than 0 s)")
        self.camera = camera
        self.limit = frames
        self._limit = -1 if frames is None else frames  # compared with `received`, never -1
        self._camera_id = camera.id
        self._frame_type = Frame
        self.timeout = timeout
        self.timeouts = 0
        """Frame waits that ended without a frame (`read` returned None)."""
        # Set once by stop_capture() from any thread; a plain flag, read before every frame.
        self._stopped = False
        self._started = False
        # Set by the camera, holding its lock, when a setting is written.
        self._settings_changed = False
        self._capturing = False
        self._frame_timeout = 0.0
        self._size = 0
        # The record of the settings before the last change and when they changed: frames that
        # were already being exposed then are labelled with it.
        self._before: FrameMetadata | None = None
        self._changed_at = 0.0
        self._under_way = False
        self._last_end = 0.0
        self._temperature_at = 0.0
        self._first_ms = READ_SLICE_MS
        self._check_at = 0.0
        # The read every frame of this stream goes through: the module's, or a stand-in's.
        self._read = orvik.get_video_data

    # -- starting and stopping ---------------------------------------------------------------

    def start(self) -> Stream:
        cam = self.camera
        if self._started:
            return self
        cam.attach_stream(self)
        try:
            with cam._lock:
                self._refresh_settings()
                cam.call("starting video capture", None, orvik.start_video_capture, cam.id)
                self._capturing = True
                self._started = True
        except BaseException:
            cam.detach_stream(self)
            raise
        return self

    def stop_capture(self) -> None:
        """End the capture; a read waiting in another thread returns at its next short step."""
        self._stopped = True
        if self._capturing:
            self._capturing = False
            try:
                orvik.stop_video_capture(self.camera.id)
            except orvik.ASIError:
                pass  # already stopped or unplugged; the error that matters is the one in flight

    def stop(self) -> None:
        """Stop the video capture; the camera stays open. Safe to call twice."""
        with self.camera._lock:
            self.stop_capture()
            self.camera.detach_stream(self)

    @property
    def stopped(self) -> bool:
        return self._stopped

    @property
    def dropped(self) -> int:
        """Frames the camera dropped because they were not read in time, as the SDK counts."""
        cam = self.camera
        return cam.call("reading the dropped-frame count", None, orvik.get_dropped_frames,
                        cam.id)

    @property
    def frame_timeout(self) -> float:
        """The longest wait for one frame, in seconds: `timeout` when given, else twice the
        exposure plus 0.5 s (following the exposure when it changes)."""
        return self._frame_timeout

    def __enter__(self) -> Stream:
        return self.start()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.stop()

    # -- frames ------------------------------------------------------------------------------

    def _refresh_settings(self) -> None:
        """Read the settings into the frames' record (called holding the camera's lock)."""
        cam = self.camera
        self._settings_changed = False
        roi = cam.roi
        self._size = roi.frame_bytes
        now = utc_now()
        template = cam.frame_metadata(roi, start=now, end=now)
        if self._started:
            # The frame under way when the setting changed was taken with the settings before.
            self._before = self._template
            self._changed_at = cam.settings_changed_at
            self._under_way = True
        self._template = template
        self._temperature_at = time.time()
        self._plan()

    def _plan(self) -> None:
        """The frame timeout, the first wait of a read, and when the next frame needs more than
        the plain path (a temperature re-read, frames of the settings before a change)."""
        if self.timeout is not None:
            self._frame_timeout = self.timeout
        else:
            exposure = self._template.exposure
            if self._before is not None:
                exposure = max(exposure, self._before.exposure)  # the frame under way may be old
            self._frame_timeout = default_frame_timeout(exposure)
        self._first_ms = first_wait_ms(self._frame_timeout)
        if self._before is not None:
            self._check_at = 0.0  # every frame, until one is under the new settings
        elif self._template.temperature is not None:
            self._check_at = self._temperature_at + TEMPERATURE_REFRESH_S
        else:
            self._check_at = math.inf

    def read(self, timeout: float | None = None) -> Frame | None:
        """The next frame, or None when none arrived within `timeout` seconds (default: the
        stream's frame timeout) or the stream was stopped."""
        data = self._read_checked(timeout)
        return None if data is None else self._frame_of(data)

    def _read_checked(self, timeout: float | None) -> bytes | None:
        """A read when the stream is to be started, its settings re-read, or a wait of its own
        was asked for."""
        cam = self.camera
        if not self._started:
            self.start()
        elif self._settings_changed:
            with cam._lock:
                self._refresh_settings()
        if self._stopped:
            return None
        wait = self._frame_timeout if timeout is None else timeout
        first_ms = first_wait_ms(wait)
        try:
            return self._read(self._camera_id, self._size, first_ms)
        except orvik.ASIError as exc:
            return self._after_failed_read(exc, wait - first_ms / 1000)

    def _after_failed_read(self, exc: orvik.ASIError, left: float) -> bytes | None:
        """A first read that failed: a time-out waits on for `left` seconds more in short steps;
        a stop ends the stream; anything else is raised with the camera named."""
        if isinstance(exc, orvik.ASITimeout):
            return self._read_slowly(left)
        if self._stopped:
            return None  # close() or stop() ended the capture under this read
        add_context(exc, self.camera.label, "reading a video frame")
        raise exc

    def _read_slowly(self, left: float) -> bytes | None:
        """Go on waiting in short steps for `left` seconds more; None when none came."""
        cam = self.camera
        deadline = time.monotonic() + left
        while True:
            if self._stopped:
                return None
            left_ms = math.ceil((deadline - time.monotonic()) * 1000)
            if left_ms <= 0:
                self.timeouts += 1
                return None
            try:
                return self._read(self._camera_id, self._size, min(READ_SLICE_MS, left_ms))
            except orvik.ASITimeout:
                continue
            except orvik.ASIError as exc:
                if self._stopped:
                    return None
                add_context(exc, cam.label, "reading a video frame")
                raise

    def _checked_template(self, end: float) -> FrameMetadata:
        """The record of a frame that ended at `end` when more than the plain path is due."""
        template = self._template
        before = self._before
        if before is not None:
            # Video exposes one frame after another, so the first frame read after a change
            # was under way when it came and keeps the settings before it; so does any frame
            # that began before the change (its end less its exposure then: frames that waited
            # in the camera's buffer). The first frame that began later ends that.
            if self._under_way or end - before.exposure < self._changed_at:
                self._under_way = False
                return before
            self._before = None
        if template.temperature is not None and end - self._temperature_at > TEMPERATURE_REFRESH_S:
            self._temperature_at = end
            template = self._template = replace(template, temperature=self.camera.temperature)
        self._plan()
        return template

    # Iteration (`__next__`) is VideoReader's: the plain case is a read whose first wait needs
    # no clock, then a frame that carries the settings' record, its end time and its number;
    # the methods below take the other cases.

    def _late_frame(self, exc: Exception) -> bytes:
        """The plain case's read failed with `exc`: the frame that came later, or the end."""
        if not isinstance(exc, orvik.ASIError):
            raise exc
        late = self._after_failed_read(exc, self._frame_timeout - self._first_ms / 1000)
        if late is None:
            self._no_frame()
        return late

    def _next_checked(self) -> Frame:
        if self.received == self._limit:
            self.stop()
            raise StopIteration
        frame = self.read()
        return self._no_frame() if frame is None else frame

    def _no_frame(self) -> NoReturn:
        if self._stopped:
            raise StopIteration
        exc = orvik.ASITimeout()
        exc.add_note(f"no video frame arrived from {self.camera.label} within "
                     f"{self._frame_timeout:g} s")
        raise exc


class AsyncStream:
    """`async with cam.astream() as frames: async for frame in frames: ...`

    Each read runs in a worker thread (the module releases the interpreter lock while it waits
    for a frame), so the event loop keeps running; cancelling the task stops the capture.
    """

    def __init__(self, stream: Stream) -> None:
        self.stream = stream

    async def __aenter__(self) -> AsyncStream:
        await asyncio.to_thread(self.stream.start)
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        self.stream.stop_capture()
        await asyncio.to_thread(self.stream.stop)

    def __aiter__(self) -> AsyncStream:
        return self

    def _next(self) -> Frame | None:
        try:
            return next(self.stream)
        except StopIteration:
            return None

    async def __anext__(self) -> Frame:
        try:
            frame = await asyncio.to_thread(self._next)
        except asyncio.CancelledError:
            self.stream.stop_capture()  # the worker's read ends at its next short step
            raise
        if frame is None:
            raise StopAsyncIteration
        return frame
