"""SER video files, the format of planetary and lunar capture.

Layout (SER format description, version 3): a 178-byte header of little-endian fields, the
frames one after the other (16-bit samples little-endian), then a trailer of one 64-bit UTC
timestamp per frame. Timestamps count 100-nanosecond ticks since 0001-01-01T00:00:00.

The camera's bytes are written as they come: RAW16 is already little-endian, RGB24 arrives as
B, G, R and is declared as such (colour ID BGR), and Bayer frames declare the pattern of their
own top-left pixel. Nothing is converted or copied on the way to the file, so writing keeps up
with the camera. The header's frame count is brought up to date at least once a second while
frames arrive and written again when the file is finished, so a run that stops early yields a
valid file with the frames written, and a run killed outright (SIGKILL, a power cut) leaves a
part file that readers read up to the frames counted (`orvik-capture finish` completes it).

With `queue_bytes`, frames are written by a thread of their own from a queue of at most that
many bytes, so the reading loop goes on while the disk catches up with a burst (write-back
stalls of a second are common); the camera's few frame buffers then never overflow for a
moment's delay. The file's bytes release the interpreter lock while they are written.

The header's byte-order field: the published description says 1 means little-endian, but the
first programs to write SER used 0 for it, and the readers that followed (Siril, GoQat and
others) kept that meaning. Files here hold little-endian samples and write 0, as those readers
expect; `LITTLE_ENDIAN_FLAG` names the value.
"""

from __future__ import annotations

import array
import os
import queue
import struct
import threading
import time
from datetime import datetime, timedelta, timezone
from pathlib import Path
from types import TracebackType

from .partfile import OutputError, PartFile

FILE_ID = b"LUCAM-RECORDER"
HEADER = struct.Struct("<14s7i40s40s40sqq")
HEADER_SIZE = HEADER.size  # 178
FRAME_COUNT_OFFSET = 38
# The header's frame count is brought up to date at least this often while frames arrive.
COUNT_INTERVAL_S = 1.0
LITTLE_ENDIAN_FLAG = 0  # see the module's docstring
TEXT_FIELD = 40

COLOR_MONO = 0
COLOR_BY_BAYER_CELL = {"RGGB": 8, "GRBG": 9, "GBRG": 10, "BGGR": 11}
COLOR_RGB = 100
COLOR_BGR = 101

# Ticks of 100 ns from 0001-01-01T00:00:00 to the Unix epoch.
TICKS_PER_SECOND = 10_000_000
UNIX_EPOCH_TICKS = 621_355_968_000_000_000


def ticks_from_unix_ns(ns: int) -> int:
    return UNIX_EPOCH_TICKS + ns // 100


def ticks(t: datetime) -> int:
    """SER timestamp of a moment (naive datetimes are taken as UTC)."""
    if t.tzinfo is None:
        t = t.replace(tzinfo=timezone.utc)
    delta = t - datetime(1970, 1, 1, tzinfo=timezone.utc)
    micro = (delta.days * 86400 + delta.seconds) * 1_000_000 + delta.microseconds
    return UNIX_EPOCH_TICKS + micro * 10


def datetime_from_ticks(value: int) -> datetime:
    """The UTC moment of a SER timestamp (to the microsecond)."""
    micro = (value - UNIX_EPOCH_TICKS) // 10
    return datetime(1970, 1, 1, tzinfo=timezone.utc) + timedelta(microseconds=micro)


def now_ticks() -> int:
    return ticks_from_unix_ns(time.time_ns())


def _text(value: str) -> bytes:
    return value.encode("ascii", "replace")[:TEXT_FIELD]


def color_layout(img_type: str, bayer_cell: str | None) -> tuple[int, int, int]:
    """(colour ID, bytes per sample, planes) of the camera's frames.

    `bayer_cell` is the cell of the frame's own top-left pixel (already shifted for an ROI
    origin at an odd position), or None for a mono sensor.
    """
    if img_type == "rgb24":
        return COLOR_BGR, 1, 3
    if img_type == "y8":
        return COLOR_MONO, 1, 1
    color = COLOR_MONO if bayer_cell is None else COLOR_BY_BAYER_CELL[bayer_cell]
    return color, 2 if img_type == "raw16" else 1, 1


class SerWriter:
    """Writes frames of one size and type into a SER file as they arrive.

    `write_frame(data, timestamp)` takes the camera's bytes (any buffer that nobody changes
    afterwards, such as the bytes a frame read returns) and the frame's UTC timestamp in SER
    ticks (`now_ticks()` when omitted); `close()` writes the trailer and the frame count and
    gives the file its final name; `abort()` removes it. `frames_written` counts the frames on
    disk, `frames` those handed over.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        width: int,
        height: int,
        img_type: str,
        bayer_cell: str | None = None,
        instrument: str = "",
        observer: str = "",
        telescope: str = "",
        start: datetime | None = None,
        overwrite: bool = False,
        queue_bytes: int = 0,
    ):
        self.color_id, sample_bytes, planes = color_layout(img_type, bayer_cell)
        self.width, self.height = width, height
        self.depth = 8 * sample_bytes
        self.frame_bytes = width * height * sample_bytes * planes
        self.frames = 0
        self.frames_written = 0
        self._error: OutputError | None = None
        self._queue: queue.Queue[bytes | bytearray | memoryview | None] | None = None
        self._thread: threading.Thread | None = None
        self._discard = False
        self._stamps = array.array("q")
        start_utc = start if start is not None else datetime.now(timezone.utc)
        if start_utc.tzinfo is None:
            start_utc = start_utc.replace(tzinfo=timezone.utc)
        local = start_utc.astimezone()
        offset = local.utcoffset() or timedelta(0)
        self._header_fields = [
            FILE_ID, 0, self.color_id, LITTLE_ENDIAN_FLAG, width, height, self.depth, 0,
            _text(observer), _text(instrument), _text(telescope),
            ticks(start_utc) + int(offset.total_seconds()) * TICKS_PER_SECOND, ticks(start_utc),
        ]
        self._counted = 0
        self._counted_at = 0.0
        self._file = PartFile(path, "the SER video", overwrite=overwrite)
        try:
            self._file.write(HEADER.pack(*self._header_fields))
        except BaseException:
            self._file.abort()
            raise
        if queue_bytes > 0:
            depth = max(2, queue_bytes // max(1, self.frame_bytes))
            self._queue = queue.Queue(maxsize=depth)
            self._thread = threading.Thread(target=self._drain, name="ser-writer", daemon=True)
            self._thread.start()

    @property
    def path(self) -> Path:
        """The file's name: the one asked for, or after `close` the free name it took when
        another run had taken that one meanwhile."""
        return self._file.path

    @property
    def taken(self) -> Path | None:
        """The name another run took meanwhile, when the file had to take another one."""
        return self._file.taken

    def _wrote_frame(self) -> None:
        """Count a frame on disk; the header's count follows at least once a second, so a
        file whose writer is killed reads up to the frames counted."""
        self.frames_written += 1
        if self.frames_written == 1 or time.monotonic() - self._counted_at >= COUNT_INTERVAL_S:
            self._update_count()

    def _update_count(self) -> None:
        if self._counted != self.frames_written:
            self._file.pwrite(struct.pack("<i", self.frames_written), FRAME_COUNT_OFFSET)
            self._counted = self.frames_written
        self._counted_at = time.monotonic()

    def write_frame(self, data: bytes | bytearray | memoryview, timestamp: int | None = None) -> None:
        if len(data) != self.frame_bytes:
            raise ValueError(f"a frame of {len(data)} bytes does not match the SER file's "
                             f"{self.width}x{self.height} frames of {self.frame_bytes} bytes")
        if self._error is not None:
            raise self._error
        stamp = now_ticks() if timestamp is None else timestamp
        if self._queue is None:
            self._file.write(data)
            self._wrote_frame()
        else:
            self._queue.put(data)  # waits while the queue is full: the disk sets the pace
        self._stamps.append(stamp)
        self.frames += 1

    def _drain(self) -> None:
        assert self._queue is not None
        while True:
            try:
                data = self._queue.get(timeout=COUNT_INTERVAL_S)
            except queue.Empty:
                # A pause in the frames: the frames written so far are counted all the same.
                if self._error is None and not self._discard:
                    try:
                        self._update_count()
                    except OutputError as exc:
                        self._error = exc
                continue
            if data is None:
                return
            if self._error is None and not self._discard:
                try:
                    self._file.write(data)
                    self._wrote_frame()
                except OutputError as exc:
                    self._error = exc

    def _stop_writing(self, discard: bool) -> None:
        """Let the writing thread finish the queue (or drop it) and end."""
        if self._queue is None or self._thread is None:
            return
        if discard:
            self._discard = True
            while True:
                try:
                    self._queue.get_nowait()
                except queue.Empty:
                    break
        if self._thread.is_alive():
            self._queue.put(None)
            self._thread.join()

    def close(self) -> Path:
        """Finish the file: trailer of timestamps, frame count in the header, final name.

        Raises the `OutputError` of a failed write, leaving the file open for
        `close_after_error` (or `abort`).
        """
        self._stop_writing(discard=False)
        if self._error is not None:
            raise self._error
        try:
            self._write_trailer_and_count()
            return self._file.commit()
        except BaseException:
            self.abort()
            raise

    def _write_trailer_and_count(self) -> None:
        # From the end of the last frame, so a second attempt (a close interrupted and retried)
        # leaves one trailer, not two.
        self._file.truncate(HEADER_SIZE + self.frames_written * self.frame_bytes)
        stamps = self._stamps[:self.frames_written]
        self._file.write(stamps.tobytes() if _native_little() else _swapped(stamps))
        self._file.pwrite(struct.pack("<i", self.frames_written), FRAME_COUNT_OFFSET)

    def close_after_error(self) -> Path | None:
        """Keep what was written after a failure such as a full disk: the complete frames, with
        the trailer if it still fits and without it if not (it is optional). None when even
        that cannot be written; the file is then removed."""
        self._stop_writing(discard=True)
        complete = HEADER_SIZE + self.frames_written * self.frame_bytes
        try:
            self._file.truncate(complete)
            try:
                self._write_trailer_and_count()
            except OutputError:
                self._file.truncate(complete)
                self._file.pwrite(struct.pack("<i", self.frames_written), FRAME_COUNT_OFFSET)
            return self._file.commit()
        except OutputError:
            self.abort()
            return None

    def abort(self) -> None:
        self._stop_writing(discard=True)
        self._file.abort()

    def __enter__(self) -> SerWriter:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if exc_type is not None:
            self.abort()


def _native_little() -> bool:
    return struct.pack("=H", 1) == b"\x01\x00"


def _swapped(stamps: array.array[int]) -> bytes:
    copy = array.array("q", stamps)
    copy.byteswap()
    return copy.tobytes()


def file_bytes(width: int, height: int, img_type: str, frames: int) -> int:
    """Size of a finished SER file."""
    _, sample_bytes, planes = color_layout(img_type, None)
    return HEADER_SIZE + frames * (width * height * sample_bytes * planes + 8)
