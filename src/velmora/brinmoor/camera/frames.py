"""Frames: the camera's bytes, a numpy view of them, and what was known when they were taken."""

from __future__ import annotations

import os
from dataclasses import fields, replace
from datetime import datetime, timezone
from operator import attrgetter
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from velmora.brinmoor._version import __version__
from velmora.brinmoor.formats.metadata import FrameMetadata, Observation
from velmora.brinmoor.formats.roi import ImageType, bytes_per_pixel

from ._video import FrameCore
from .simulator import date_offset

__all__ = ["Frame", "FrameMetadata", "Observation", "frame_array"]

# SWCREATE of a frame written by `Frame.to_fits()` when its metadata names no software.
SOFTWARE: str = f"velmora.brinmoor.camera {__version__}"

# Every field of the record in order, read in one C call to copy a record cheaply.
_FIELD_VALUES = attrgetter(*(f.name for f in fields(FrameMetadata)))


def stamped(template: FrameMetadata, start: float, end: float, sequence: int) -> FrameMetadata:
    """A copy of `template` with its times (POSIX seconds, moved to the simulated date if one is
    set) and sequence number set."""
    record = FrameMetadata(*_FIELD_VALUES(template))
    offset = date_offset()
    record.start = datetime.fromtimestamp(start + offset, timezone.utc)
    record.end = datetime.fromtimestamp(end + offset, timezone.utc)
    record.sequence = sequence
    return record


# RAW16 pixels arrive little-endian; on a little-endian host this is plain uint16.
_RAW16 = np.dtype("<u2")


class Frame(FrameCore):
    """One image: `data` as the SDK delivered it, `array` a numpy view of it, and `metadata`.

    `array` is made without copying (read-only, as the bytes are):

    - RAW8 and Y8: `uint8`, shape (height, width);
    - RAW16: `uint16`, shape (height, width); values are the SDK's, left-aligned: a 12-bit
      sensor gives multiples of 16 up to 65520;
    - RGB24: `uint8`, shape (height, width, 3) in R, G, B order. The camera sends B, G, R; the
      array views those bytes with the last axis reversed, so it is not C-contiguous
      (`numpy.ascontiguousarray` makes a packed copy when one is needed).
    """

    # The fields live in FrameCore (native), so a stream makes its frames without running
    # Python code; this class adds what a program does with a frame.
    __slots__ = ()
    data: bytes
    _metadata: FrameMetadata
    _array: npt.NDArray[Any] | None

    def __init__(self, data: bytes, metadata: FrameMetadata, end: float | None = None,
                 previous_end: float = 0.0, sequence: int = 0) -> None:
        """A video frame gives `end`, its end time (POSIX seconds), the previous frame's and its
        sequence number; `metadata` is then the record of the settings it was taken with, and
        the frame's own record (its times and number) is made on first access, so a program
        that only looks at the pixels never pays for it."""
        self.data = data
        self._metadata = metadata
        self._end = end
        self._previous_end = previous_end
        self._sequence = sequence
        self._array = None

    def __reduce__(self) -> tuple[type[Frame], tuple[Any, ...]]:
        # Frames go to other processes (a pool that writes files) and through copy.copy.
        return (type(self), (self.data, self._metadata, self._end, self._previous_end,
                             self._sequence))

    @property
    def metadata(self) -> FrameMetadata:
        """The camera, its settings and the times of this frame."""
        end = self._end
        if end is not None:
            template = self._metadata
            # Frames follow each other: none starts before the previous one ended.
            start = max(end - template.exposure, self._previous_end)
            self._metadata = stamped(template, start, end, self._sequence)
            self._end = None
        return self._metadata

    @property
    def array(self) -> npt.NDArray[Any]:
        if self._array is None:
            roi = self._metadata.roi
            self._array = frame_array(self.data, roi.width, roi.height, roi.image_type)
        return self._array

    def to_fits(self, path: str | os.PathLike[str], *, overwrite: bool = False) -> Path:
        """Write the frame as a FITS file, with the header the capture tool writes too
        (`velmora.brinmoor.formats.fits`); needs Astropy. The file appears only when complete."""
        from velmora.brinmoor.formats import fits

        meta = self.metadata
        if meta.software is None:
            meta = replace(meta, software=SOFTWARE)
        return fits.write_fits(path, self.array, meta, overwrite=overwrite)

    def __repr__(self) -> str:
        m = self.metadata
        return f"<Frame {m.roi} from {m.camera}, {m.exposure:g} s at {m.start.isoformat()}>"


def frame_array(data: bytes, width: int, height: int, image_type: ImageType) -> npt.NDArray[Any]:
    """A view of a frame's bytes in the layout of `Frame.array`."""
    need = width * height * bytes_per_pixel(image_type)
    if len(data) < need:
        raise ValueError(
            f"frame has {len(data)} bytes, a {width}x{height} {image_type} frame needs {need}"
        )
    if image_type == "raw16":
        return np.frombuffer(data, dtype=_RAW16, count=width * height).reshape(height, width)
    pixels = np.frombuffer(data, dtype=np.uint8, count=need)
    if image_type == "rgb24":
        return pixels.reshape(height, width, 3)[:, :, ::-1]
    return pixels.reshape(height, width)
