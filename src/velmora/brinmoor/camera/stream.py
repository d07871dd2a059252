"""Video capture as an iterator of frames, and its asyncio form.

Frames are read with waits of at most 0.1 s, so Ctrl-C and `close()` from another thread end a
stream promptly even when frames are seconds apart; a frame counts as late only when the whole
frame timeout has passed. Each frame gets its metadata from settings read when the stream
started, re-read after any control written through the Camera and (the sensor temperature)
once a second.
"""

from __future__ import annotations

import asyncio
import math
import threading
import time
from datetime import datetime, timedelta, timezone
from types import TracebackType
from typing import TYPE_CHECKING, Final

from velmora.brinmoor import orvik

from .errors import add_context
from .frames import Frame, FrameMetadata

if TYPE_CHECKING:
    from .camera import Camera

# The longest single frame read: Ctrl-C and close() take effect within this.
READ_SLICE_MS: Final = 100
# Seconds between re-reads of the sensor temperature for the frames' metadata.
TEMPERATURE_REFRESH_S: Final = 1.0
# Default frame timeout: this many exposures plus the margin.
FRAME_TIMEOUT_EXPOSURES: Final = 2.0
FRAME_TIMEOUT_MARGIN_S: Final = 0.5


class Stream:
    """Frames of a running video capture; `with cam.stream() as frames: for frame in frames:`."""

    def __init__(self, camera: Camera, *, frames: int | None = None,
                 timeout: float | None = None) -> None:
        if frames is not None and (isinstance(frames, bool) or not isinstance(frames, int)
                                   or frames <= 0):
            raise ValueError(f"frames {frames!r} is out of range (allowed 1 and more, or None)")
        if timeout is not None and not (timeout > 0 and math.isfinite(timeout)):
            raise ValueError(f"timeout {timeout!r} is out of range (allowed: more than 0 s)")
        self.camera = camera
        self.limit = frames
        self.timeout = timeout
        self.received = 0
        """Frames delivered so far."""
        self.timeouts = 0
        """Frame waits that ended without a frame (`read` returned None)."""
        self._stopped = threading.Event()
        self._started = False
        self._capturing = False
        self._frame_timeout = 0.0
        self._size = 0
        self._settings_version = -1
        self._template: FrameMetadata | None = None
        self._exposure = timedelta(0)
        self._temperature_at = 0.0

    # -- starting and stopping ---------------------------------------------------------------

    def start(self) -> Stream:
        cam = self.camera
        if self._started:
            return self
        cam.attach_stream(self)
        try:
            with cam._lock:
                self._refresh_settings()
                assert self._template is not None
                exposure = self._template.exposure
                self._frame_timeout = (
                    self.timeout if self.timeout is not None
                    else FRAME_TIMEOUT_EXPOSURES * exposure + FRAME_TIMEOUT_MARGIN_S
                )
                cam.call("starting video capture", None, orvik.start_video_capture, cam.id)
                self._capturing = True
                self._started = True
        except BaseException:
            cam.detach_stream(self)
            raise
        return self

    def stop_capture(self) -> None:
        """End the capture; a read waiting in another thread returns at its next short step."""
        self._stopped.set()
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
        return self._stopped.is_set()

    @property
    def dropped(self) -> int:
        """Frames the camera dropped because they were not read in time, as the SDK counts."""
        cam = self.camera
        return cam.call("reading the dropped-frame count", None, orvik.get_dropped_frames,
                        cam.id)

    def __enter__(self) -> Stream:
        return self.start()

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.stop()

    # -- frames ------------------------------------------------------------------------------

    def _refresh_settings(self) -> None:
        cam = self.camera
        roi = cam.roi
        self._size = roi.frame_bytes
        now = cam.frame_metadata(roi, start=_EPOCH, end=_EPOCH)
        self._template = now
        self._exposure = timedelta(seconds=now.exposure)
        self._settings_version = cam.settings_version
        self._temperature_at = time.monotonic()

    def read(self, timeout: float | None = None) -> Frame | None:
        """The next frame, or None when none arrived within `timeout` seconds (default: the
        stream's frame timeout) or the stream was stopped."""
        if not self._started:
            self.start()
        cam = self.camera
        if self.camera.settings_version != self._settings_version:
            with cam._lock:
                self._refresh_settings()
        wait = self._frame_timeout if timeout is None else timeout
        deadline = time.monotonic() + wait
        camera_id, size = cam.id, self._size
        while True:
            if self._stopped.is_set():
                return None
            left_ms = math.ceil((deadline - time.monotonic()) * 1000)
            try:
                data = orvik.get_video_data(camera_id, size, max(1, min(READ_SLICE_MS, left_ms)))
                break
            except orvik.ASITimeout:
                if time.monotonic() >= deadline:
                    self.timeouts += 1
                    return None
            except orvik.ASIError as exc:
                if self._stopped.is_set():
                    return None  # close() or stop() ended the capture under this read
                add_context(exc, cam.label, "reading a video frame")
                raise
        return Frame(data, self._metadata())

    def _metadata(self) -> FrameMetadata:
        template = self._template
        assert template is not None
        end = _utc_now()
        temperature = template.temperature
        if temperature is not None and time.monotonic() - self._temperature_at > TEMPERATURE_REFRESH_S:
            self._temperature_at = time.monotonic()
            temperature = self.camera.temperature
        sequence = self.received
        self.received = sequence + 1
        return FrameMetadata(
            template.camera, template.camera_id, template.roi, template.exposure,
            template.gain, template.offset, temperature, template.bayer,
            end - self._exposure, end, False, sequence, template.pixel_size,
            template.bit_depth, template.set_temperature, template.electrons_per_adu,
        )

    def __iter__(self) -> Stream:
        return self

    def __next__(self) -> Frame:
        if self.limit is not None and self.received >= self.limit:
            self.stop()
            raise StopIteration
        frame = self.read()
        if frame is None:
            if self._stopped.is_set():
                raise StopIteration
            exc = orvik.ASITimeout()
            exc.add_note(f"no video frame arrived from {self.camera.label} within "
                         f"{self._frame_timeout:g} s")
            raise exc
        return frame


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


def _utc_now() -> datetime:
    return datetime.now(timezone.utc)


_EPOCH: Final = datetime(1970, 1, 1, tzinfo=timezone.utc)
